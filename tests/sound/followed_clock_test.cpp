// Whole games on the followed virtual clock: the sound thread's cycles fall on
// the same virtual instants on every run, so the mixed output is the same
// bytes each time and the timing of setters, fades and loop ends is exact.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "sound_fixture.h"
#include "support/headless_game.h"

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

game_run run_game(const std::string& listing, int frames, const std::vector<std::string>& names) {
  game_run r;
  headless_game game(listing);
  game.add_resource("dc.wav", level_wave(3000, 16383), 5);
  game.add_resource("short.wav", level_wave(300, 12000), 5);
  game.add_resource("tone.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(tone_samples(22050, 1, 22050))), 5);
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

}  // namespace

// A setter runs at the sound thread's next cycle, at most 20 ms of game time
// after the frame that gave it, and the query then answers the new value.
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
  // The change falls inside the one cycle after the setter.
  double changed = -1;
  for (double ms = set_at - 1; ms < set_at + 40; ms += 0.25)
    if (level_at(r, ms) != 16383) {
      changed = ms;
      break;
    }
  EXPECT_GE(changed, set_at);
  EXPECT_LE(changed, set_at + 21);
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
  std::atomic<bool> registered{false};
  std::thread follower([&] {
    clock.begin_following();
    registered = true;
    for (uint32_t step : {3u, 20u, 20u, 5u, 1u}) {
      clock.follow_sleep_ms(step);
      woke.push_back(clock.tick_ms());  // the driver is held while this runs
    }
    clock.end_following();
  });
  while (!registered) std::this_thread::yield();
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
