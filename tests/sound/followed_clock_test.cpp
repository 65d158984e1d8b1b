// Whole games on the followed virtual clock: the sound thread's cycles fall on
// the same virtual instants on every run, so the mixed output is the same
// bytes each time and the timing of setters, fades and loop ends is exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/clock.h"
#include "sound_fixture.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

namespace {

// A mono 16-bit sound at 22050 Hz holding one level throughout.
std::vector<uint8_t> level_wave(int ms, int16_t level) {
  std::vector<int16_t> s(static_cast<size_t>(22050) * ms / 1000, level);
  return make_wave(1, 1, 22050, 16, 2, pcm16_bytes(s));
}

struct game_run {
  std::vector<int16_t> out;  // stereo frames
  int rate = 0;
  std::map<std::string, int64_t> values;
};

// One second at 4000, then two seconds at 12000.
std::vector<uint8_t> two_level_wave() {
  std::vector<int16_t> s(static_cast<size_t>(22050) * 3, 12000);
  std::fill(s.begin(), s.begin() + 22050, int16_t{4000});
  return make_wave(1, 1, 22050, 16, 2, pcm16_bytes(s));
}

void add_sounds(headless_game& game) {
  game.add_resource("dc.wav", level_wave(3000, 16383), 5);
  game.add_resource("short.wav", level_wave(300, 12000), 5);
  game.add_resource("tone.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(tone_samples(22050, 1, 22050))), 5);
  game.add_resource("two.wav", two_level_wave(), 5);
}

game_run run_game(const std::string& listing, int frames, const std::vector<std::string>& names) {
  game_run r;
  headless_game game(listing);
  add_sounds(game);
  if (game.start() != 0) {
    ADD_FAILURE() << "the game did not start";
    return r;
  }
  game.run_ticks(frames);
  EXPECT_TRUE(game.errors().empty()) << (game.errors().empty() ? "" : game.errors()[0].text_utf8);
  for (const std::string& n : names) r.values[n] = game.int_value(n);
  {
    std::lock_guard<engine_mutex> lock(engine_lock);
    game.backend().audio.pull();
    r.out = game.backend().audio.output();
  }
  r.rate = game.backend().audio.output_rate();
  return r;
}

int level_at(const game_run& r, double ms) {
  size_t f = static_cast<size_t>(ms * r.rate / 1000.0);
  return f * 2 < r.out.size() ? std::abs(static_cast<int>(r.out[f * 2])) : -1;
}

int level_of_frame(const game_run& r, size_t f) {
  return f * 2 < r.out.size() ? std::abs(static_cast<int>(r.out[f * 2])) : -1;
}

// First and last audible frame, in ms.
std::pair<double, double> audible_span(const game_run& r) {
  size_t first = 0, last = 0;
  bool any = false;
  for (size_t f = 0; f * 2 + 1 < r.out.size(); ++f) {
    if (std::abs(static_cast<int>(r.out[f * 2])) < 200) continue;
    if (!any) first = f;
    any = true;
    last = f + 1;
  }
  return {first * 1000.0 / r.rate, last * 1000.0 / r.rate};
}

// A follower thread on `clock` that sleeps each of `steps` in turn and notes
// the tick it woke at (the driver is held while it runs); after the sleep
// numbered `wake_itself` it wakes the followers while awake. Returns once the
// thread follows the clock.
std::thread start_follower(HeadlessClock& clock, std::vector<uint32_t>& woke, std::vector<uint32_t> steps,
                           int wake_itself = -1) {
  std::atomic<bool> registered{false};
  std::thread t([&clock, &woke, &registered, steps, wake_itself] {
    clock.begin_following();
    registered = true;
    for (size_t i = 0; i < steps.size(); ++i) {
      clock.follow_sleep_ms(steps[i]);
      woke.push_back(clock.tick_ms());
      if (static_cast<int>(i) == wake_itself) clock.wake_followers();
    }
    clock.end_following();
  });
  while (!registered) std::this_thread::yield();
  return t;
}

}  // namespace

// A setter is carried out at the instant of the frame that gave it (the
// request wakes the sound thread), and the query then answers the new value.
TEST(FollowedClock, SetterTakesEffectAtTheNextCycleAndTheQueryFollows) {
  const std::string listing =
      "global int after = -1\nglobal int set_at = -1\n"
      "script main.txt\n*SYSTEM_START\n"
      "sound name=\"s\", file=\"dc.wav\", play=1\n"
      "wait 20\n"
      "set_at = clock\n"
      "sound name=\"s\", volume=64\n"
      "wait 2\n"
      "sound_query name=\"s\", output=after, volume=1\n"
      "*idle\nwait 1\ngoto idle\n";
  game_run r = run_game(listing, 60, {"after", "set_at"});
  EXPECT_EQ(r.values["after"], 64);
  const double set_at = static_cast<double>(r.values["set_at"]);
  ASSERT_GT(set_at, 300.0);
  EXPECT_EQ(level_at(r, 100), 16383);
  EXPECT_EQ(level_at(r, set_at - 1), 16383);
  const int quiet = level_at(r, set_at + 21);
  EXPECT_LT(quiet, 16383 / 2);
  EXPECT_GT(quiet, 0);
  EXPECT_EQ(level_at(r, 900), quiet);
  // The change falls on the setter's own instant.
  double changed = -1;
  for (double ms = set_at - 1; ms < set_at + 40; ms += 0.25)
    if (level_at(r, ms) != 16383) {
      changed = ms;
      break;
    }
  EXPECT_GE(changed, set_at);
  EXPECT_LE(changed, set_at + 0.25);
}

// What frame N asks of a sound is heard from frame N's instant on (the clock
// value its scripts read), to the sample: a start, a seek (the file set again
// with a start position), a volume change, the end of a fade. Each case runs
// its set-up, waits 30 frames, notes the clock and gives its command.
TEST(FollowedClock, WhatAFrameAsksForSoundsFromThatFramesInstant) {
  struct timing_case {
    const char* what;
    const char* setup;
    const char* command;
    int before;        // level just before the instant (-1: any)
    int after;         // level just after it (-1: quieter than before, not silent)
    double ends_after;  // ms after the instant from which all is silent (0: not checked)
  };
  const timing_case cases[] = {
      {"start", "", "sound name=\"s\", file=\"dc.wav\", play=1", 0, 16383, 0},
      {"seek", "sound name=\"s\", file=\"two.wav\", play=1", "sound name=\"s\", file=\"two.wav\", start=1000, play=1",
       4000, 12000, 0},
      {"volume", "sound name=\"s\", file=\"dc.wav\", play=1", "sound name=\"s\", volume=64", 16383, -1, 0},
      {"stop", "sound name=\"s\", file=\"dc.wav\", play=1", "sound name=\"s\", play=0", 16383, 0, 0},
      {"fade out", "sound name=\"s\", file=\"dc.wav\", play=1", "sound name=\"s\", play=0, fade_time=200", 16383,
       16383, 200},
  };
  for (const timing_case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string listing = std::string("global int at = -1\nscript main.txt\n*SYSTEM_START\n") + c.setup +
                                "\nwait 30\nat = clock\n" + c.command + "\n*idle\nwait 1\ngoto idle\n";
    game_run r = run_game(listing, 60, {"at"});
    const int64_t at = r.values["at"];
    ASSERT_GT(at, 400);
    // The game's clock starts at 0 with the device's first frame.
    const size_t instant = static_cast<size_t>(at) * static_cast<size_t>(r.rate) / 1000;
    if (c.before >= 0) {
      EXPECT_EQ(level_of_frame(r, instant - 2), c.before);
    }
    const int after = level_of_frame(r, instant + 1);
    if (c.after >= 0) {
      EXPECT_EQ(after, c.after);
    } else {
      EXPECT_GT(after, 0);
      EXPECT_LT(after, c.before / 2);
    }
    if (c.ends_after > 0) {
      EXPECT_GT(level_at(r, at + c.ends_after - 1), 0);
      EXPECT_EQ(level_at(r, at + c.ends_after + 0.1), 0);
    }
  }
}

// The same through `kxtool run`, as a game author runs a game: the WAV it
// writes holds a sound started in frame 31 from that frame's first sample on
// (frame 31 begins after 30 periods of 16.16 ms steps: 499 ms at 60 frames a
// second), and two runs write the same bytes.
TEST(FollowedClock, KxtoolRunMixesASoundFromItsFramesFirstSample) {
  namespace fs = std::filesystem;
  const fs::path kxtool = fs::path(ZARVIK_BINARY_DIR) / "kxtool";
  if (!fs::exists(kxtool)) GTEST_SKIP() << "kxtool is not built";
  temp_folder game;
  game.write("game.kpf", build_game_pack("script main.txt\n*SYSTEM_START\nwait 30\n"
                                         "sound name=\"s\", file=\"dc\", play=1\n*idle\nwait 1\ngoto idle\n"));
  game.write("dc.wav", level_wave(1000, 16383));
  std::vector<std::vector<uint8_t>> wavs;
  for (int run = 0; run < 2; ++run) {
    const std::string out = game.path() + "run" + std::to_string(run);
    const std::string command = "'" + kxtool.string() + "' run '" + game.path() + "' --frames 60 --every 60 --out '" +
                                out + "' --audio '" + out + "/sound.wav' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    wavs.push_back(read_host_file(out + "/sound.wav"));
  }
  ASSERT_GT(wavs[0].size(), 44u);
  EXPECT_TRUE(wavs[0] == wavs[1]) << "two runs mixed different bytes";
  // The samples of the "data" chunk: stereo 16-bit at the rate in "fmt ".
  const std::vector<uint8_t>& w = wavs[0];
  const uint32_t rate = w[24] | w[25] << 8 | w[26] << 16 | static_cast<uint32_t>(w[27]) << 24;
  size_t data = 12;
  while (data + 8 <= w.size() && std::string(w.begin() + data, w.begin() + data + 4) != "data")
    data += 8 + (w[data + 4] | w[data + 5] << 8 | w[data + 6] << 16 | static_cast<size_t>(w[data + 7]) << 24);
  ASSERT_LT(data + 8, w.size());
  const std::vector<int16_t> samples = pcm16_samples(std::vector<uint8_t>(w.begin() + data + 8, w.end()));
  size_t first = samples.size();
  for (size_t i = 0; i < samples.size(); i += 2)
    if (samples[i] != 0) {
      first = i / 2;
      break;
    }
  const uint64_t frame_31_ms = (30ull * (65536000 / 60)) >> 16;
  EXPECT_EQ(frame_31_ms, 499u);
  EXPECT_EQ(first, frame_31_ms * rate / 1000);
  EXPECT_EQ(samples[first * 2], 16383);
}

// No sound output: sound is off, so a listing that plays a sound and waits
// for its end goes on at once; with a device it waits the sound's length.
TEST(FollowedClock, AWaitForASoundsEndGoesOnWithoutADevice) {
  const std::string listing =
      "global int p = 0\nglobal int waited = -1\n"
      "script main.txt\n*SYSTEM_START\n"
      "sound name=\"s\", file=\"short.wav\", loop_count=1, play=1\n"
      "*wait_end\nsound_query name=\"s\", playing=1, output=p\n"
      "if p == 1\n  wait 1\n  goto wait_end\nend\n"
      "waited = frame_count\n*idle\nwait 1\ngoto idle\n";
  for (bool device : {true, false}) {
    SCOPED_TRACE(device ? "with a device" : "without a device");
    headless_game game(listing);
    add_sounds(game);
    if (!device) game.prepare([](HeadlessPlatform& p) { p.audio.set_open_result(false); });
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(40);
    EXPECT_TRUE(game.errors().empty());
    const int64_t waited = game.int_value("waited");
    if (device) {
      // 300 ms of sound: 18 frames and a cycle or so.
      EXPECT_GE(waited, 18);
      EXPECT_LE(waited, 22);
    } else {
      EXPECT_EQ(waited, 1);
      EXPECT_EQ(game.backend().audio.voice_count(), 0u);
    }
  }
}

// A 300 ms sound with loop count 3 sounds for exactly 900 ms; a 400 ms fade-in
// rises over 400 ms.
TEST(FollowedClock, LoopCountAndFadeFollowGameTime) {
  game_run loops = run_game(
      "script main.txt\n*SYSTEM_START\nsound name=\"t\", file=\"short.wav\", loop_count=3, play=1\n"
      "*idle\nwait 1\ngoto idle\n",
      150, {});
  auto [first, last] = audible_span(loops);
  EXPECT_NEAR(last - first, 900.0, 1.0);

  game_run fade = run_game(
      "script main.txt\n*SYSTEM_START\nsound name=\"s\", file=\"dc.wav\", play=1, fade_time=400\n"
      "*idle\nwait 1\ngoto idle\n",
      90, {});
  auto [start, end] = audible_span(fade);
  EXPECT_LT(level_at(fade, start + 100), level_at(fade, start + 300));
  EXPECT_LT(level_at(fade, start + 300), 16383);
  EXPECT_EQ(level_at(fade, start + 430), 16383);
}

// The same game twice: the same bytes.
TEST(FollowedClock, TheSameGameMixesTheSameBytesEveryRun) {
  const std::string listing =
      "script main.txt\n*SYSTEM_START\n"
      "sound name=\"a\", file=\"tone.wav\", loop_count=0, loop_start=200, loop_end=700, play=1, fade_time=300\n"
      "sound name=\"b\", file=\"short.wav\", loop_count=2, play=1, pan=100\n"
      "wait 17\nsound name=\"a\", volume=90, frequency=300\n"
      "wait 23\nsound name=\"a\", play=0, fade_time=500\n"
      "*idle\nwait 1\ngoto idle\n";
  game_run one = run_game(listing, 120, {});
  game_run two = run_game(listing, 120, {});
  ASSERT_GT(one.out.size(), 0u);
  EXPECT_TRUE(one.out == two.out);
}

// The clock itself: a follower wakes exactly at each wake time however the
// driver's steps fall, and the driver waits for it to sleep again.
TEST(FollowedClock, FollowerWakesAtItsVirtualInstants) {
  HeadlessClock clock;
  clock.set(1000);
  clock.set_followed(true);
  std::vector<uint32_t> woke;
  std::thread follower = start_follower(clock, woke, {3, 20, 20, 5, 1});
  clock.sleep_ms(16);
  clock.wait_step_ms(17);  // a waiter moves the clock while someone follows
  for (uint32_t step : {0u, 16u, 1u}) clock.sleep_ms(step);
  EXPECT_EQ(clock.tick_ms(), 1050u);
  follower.join();
  EXPECT_EQ(woke, (std::vector<uint32_t>{1003, 1023, 1043, 1048, 1049}));
  // Nobody follows any more: a waiter leaves the clock alone.
  clock.wait_step_ms(3);
  EXPECT_EQ(clock.tick_ms(), 1050u);
}

// A wake makes a sleeping follower due at the current instant: the next move
// of the clock, even one of 0 ms, runs it there, and later sleeps keep their
// lengths from that instant. A wake while the follower is awake ends its next
// sleep at once.
TEST(FollowedClock, AWakeRunsTheFollowerAtTheCurrentInstant) {
  HeadlessClock clock;
  clock.set(2000);
  clock.set_followed(true);
  std::vector<uint32_t> woke;
  // Awake after its second sleep it wakes itself: the third sleep ends at once.
  std::thread follower = start_follower(clock, woke, {20, 20, 20, 20}, 1);
  clock.wait_step_ms(0);  // the follower is asleep until 2020
  clock.sleep_ms(5);
  clock.wake_followers();
  clock.wait_step_ms(0);  // runs it at 2005 without moving time
  EXPECT_EQ(clock.tick_ms(), 2005u);
  clock.sleep_ms(40);  // 2025, then at once again (its own wake), then 2045
  follower.join();
  EXPECT_EQ(woke, (std::vector<uint32_t>{2005, 2025, 2025, 2045}));
}

// The real clock: a follower's sleep ends as soon as it is woken, and a wake
// given while it was awake ends its next sleep at once.
TEST(FollowedClock, TheRealClockEndsAFollowersSleepWhenWoken) {
  PosixClock clock;
  const auto start = std::chrono::steady_clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    clock.wake_followers();
  });
  clock.follow_sleep_ms(60000);
  waker.join();
  clock.wake_followers();
  clock.follow_sleep_ms(60000);
  // Not a timing assertion: without the wake each sleep would last a minute.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}
