// The sound commands in whole games: listings run through the headless
// harness, the sound thread runs for real, and the headless device's captured
// output is checked for what the commands asked.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "sound/sound_player.h"
#include "sound/sound_thread.h"
#include "sound_fixture.h"
#include "support/headless_game.h"

namespace {

// A quick pacing sleep so that the test keeps step with the thread cheaply.
void short_sleep(uint32_t) { std::this_thread::sleep_for(std::chrono::microseconds(200)); }

// Always positive, so silence (0) is told apart from the sound.
std::vector<int16_t> positive_tone(size_t frames) {
  std::vector<int16_t> s(frames);
  for (size_t i = 0; i < frames; ++i) s[i] = static_cast<int16_t>(8000 + static_cast<int>(i % 100) * 50);
  return s;
}

std::vector<int16_t> positive_sine(size_t frames, int rate) {
  std::vector<int16_t> s(frames);
  for (size_t i = 0; i < frames; ++i)
    s[i] = static_cast<int16_t>(9000 + 4000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / rate));
  return s;
}

struct heard_span {
  size_t first = 0, last = 0;  // frames (stereo pairs), last exclusive
  int peak = 0;
  bool any = false;
};

heard_span span_of(const std::vector<int16_t>& out, size_t from = 0) {
  heard_span h;
  for (size_t f = from; f * 2 + 1 < out.size(); ++f) {
    int l = std::abs(static_cast<int>(out[f * 2])), r = std::abs(static_cast<int>(out[f * 2 + 1]));
    int m = std::max(l, r);
    if (m < 40) continue;  // below the codec's noise floor
    if (!h.any) h.first = f;
    h.any = true;
    h.last = f + 1;
    h.peak = std::max(h.peak, m);
  }
  return h;
}

class SoundGame : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_sleep_ = sound_thread.sleep_ms;
    sound_thread.sleep_ms = short_sleep;
  }
  void TearDown() override { sound_thread.sleep_ms = saved_sleep_; }

  // One frame tick, then two whole sound cycles, so the thread has seen the
  // tick's time before the next one moves the clock again.
  static int tick(headless_game& g) {
    int rc = g.tick();
    uint64_t c = sound_thread.cycles.load();
    while (sound_thread.cycles.load() < c + 2 && sound_thread.state.load() == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    return rc;
  }
  // Ticks until `ms` of virtual time have passed.
  static void run_for(headless_game& g, uint32_t ms) {
    uint32_t end = g.now_ms() + ms;
    while (g.now_ms() < end)
      if (tick(g) != 0) break;
  }
  static std::vector<int16_t> output(headless_game& g) {
    std::lock_guard<engine_mutex> lock(engine_lock);
    g.backend().audio.pull();
    return g.backend().audio.output();
  }
  static int rate(headless_game& g) { return g.backend().audio.output_rate(); }

  void (*saved_sleep_)(uint32_t) = nullptr;
};

const char* const prelude =
    "global int v = -1\n"
    "global int w = -1\n"
    "global string s = \"?\"\n"
    "script main.txt\n"
    "*SYSTEM_START\n";

}  // namespace

TEST_F(SoundGame, WaveAndOggPlayOnceForTheirLength) {
  headless_game g(std::string(prelude) +
                  "sound name=\"a\", file=\"tone\", loop_count=1, play=1\n"
                  "sound_query name=\"a\", output=v, codec=1\n"
                  "sound_query name=\"a\", output=w, length=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("tone.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(22050 * 3 / 10))));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 1000);
  EXPECT_EQ(g.int_value("v"), 2);    // WAV
  EXPECT_EQ(g.int_value("w"), 300);  // ms
  heard_span h = span_of(output(g));
  ASSERT_TRUE(h.any) << "nothing reached the device";
  double ms = (h.last - h.first) * 1000.0 / rate(g);
  EXPECT_NEAR(ms, 300.0, 2.0);
  EXPECT_NEAR(h.peak, 8000 + 99 * 50, 60);
  EXPECT_TRUE(g.error_codes().empty());
}

TEST_F(SoundGame, OggPlaysThroughTheCommand) {
  headless_game g(std::string(prelude) +
                  "sound name=\"music/\"\n"
                  "sound name=\"music/o\", file=\"song\", loop_count=1, play=1\n"
                  "sound_query name=\"music/o\", output=v, codec=1\n"
                  "sound_query name=\"music/o\", output=w, rate=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("song.ogg", encode_ogg(positive_sine(44100 / 2, 44100), 1, 44100, 7));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 1200);
  EXPECT_EQ(g.int_value("v"), 1);  // Ogg
  EXPECT_EQ(g.int_value("w"), 44100);
  heard_span h = span_of(output(g));
  ASSERT_TRUE(h.any);
  double ms = (h.last - h.first) * 1000.0 / rate(g);
  EXPECT_NEAR(ms, 500.0, 10.0);
  EXPECT_GT(h.peak, 11000);
  EXPECT_TRUE(g.error_codes().empty());
}

TEST_F(SoundGame, LoopCountAndVolumeThroughTheCommand) {
  // Three passes of 200 ms at volume 128 (a quarter of the amplitude).
  headless_game g(std::string(prelude) +
                  "sound name=\"a\", file=\"tone.wav\", loop_count=3, volume=128\n"
                  "sound name=\"a\", play=1\n"
                  "*idle\nwait 1\n"
                  "sound_query name=\"a\", output=v, playing=1\n"
                  "sound_query name=\"a\", output=w, passes=1\n"
                  "goto idle\n");
  g.write_file("tone.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(22050 / 5))));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 1500);
  heard_span h = span_of(output(g));
  ASSERT_TRUE(h.any);
  double ms = (h.last - h.first) * 1000.0 / rate(g);
  EXPECT_NEAR(ms, 600.0, 3.0);
  EXPECT_NEAR(h.peak, (8000 + 99 * 50) / 4, 40);
  EXPECT_EQ(g.int_value("v"), 0);  // the tracker stopped it after the third pass
  EXPECT_EQ(g.int_value("w"), 0);
}

TEST_F(SoundGame, PauseKeepsThePositionAndStopFadesOut) {
  headless_game g(std::string(prelude) +
                  "sound name=\"a\", file=\"tone.wav\", play=1\n"
                  "wait 300 ms\n"
                  "sound name=\"a\", pause=1\n"
                  "sound_query name=\"a\", output=v, paused=1\n"
                  "wait 300 ms\n"
                  "sound name=\"a\", pause=0\n"
                  "wait 300 ms\n"
                  "sound name=\"a\", play=0, fade_time=100\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("tone.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(22050 * 2))));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 2000);
  EXPECT_EQ(g.int_value("v"), 1);
  std::vector<int16_t> out = output(g);
  heard_span h = span_of(out);
  ASSERT_TRUE(h.any);
  // 300 ms, a 300 ms gap, 300 ms and the 100 ms fade: about 1 s from the
  // first sound to the last, of which about 700 ms are heard.
  double ms = (h.last - h.first) * 1000.0 / rate(g);
  EXPECT_NEAR(ms, 1000.0, 40.0);
  size_t loud = 0;
  for (size_t f = h.first; f < h.last; ++f)
    if (std::abs(static_cast<int>(out[f * 2])) >= 40) ++loud;
  EXPECT_NEAR(loud * 1000.0 / rate(g), 700.0, 40.0);
}

TEST_F(SoundGame, QueriesOfMissingSoundsCreateNothing) {
  headless_game g(std::string(prelude) +
                  "v = 5\n"
                  "sound_query name=\"none\", output=v, playing=1\n"
                  "s = \"x\"\n"
                  "sound_query name=\"none\", output=s, file=1\n"
                  "sound name=\"plain\", volume=100\n"
                  "sound_query name=\"plain\", output=w, volume=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(g.start(), 0);
  run_for(g, 100);
  EXPECT_EQ(g.int_value("v"), 0);
  EXPECT_EQ(g.text_value("s"), "");
  EXPECT_EQ(g.int_value("w"), 0);
  std::lock_guard<engine_mutex> lock(engine_lock);
  object_node* s0 = find_child_by_name(sound_tree_root(), "S0");
  ASSERT_NE(s0, nullptr);
  EXPECT_EQ(s0->first_child, nullptr);
}

TEST_F(SoundGame, NewFileOnAPlayingSoundReplacesIt) {
  headless_game g(std::string(prelude) +
                  "sound name=\"a\", file=\"one.wav\", play=1\n"
                  "wait 100 ms\n"
                  "sound name=\"a\", file=\"two.ogg\"\n"
                  "sound_query name=\"a\", output=v, playing=1\n"
                  "sound_query name=\"a\", output=w, codec=1\n"
                  "sound_query name=\"a\", output=s, file=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("one.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(22050))));
  g.write_file("two.ogg", encode_ogg(positive_sine(22050 / 2, 22050), 1, 22050, 3));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 300);
  EXPECT_EQ(g.int_value("v"), 0);  // stopped and loaded, not playing
  EXPECT_EQ(g.int_value("w"), 1);
  EXPECT_EQ(g.text_value("s"), "two.ogg");
}

TEST_F(SoundGame, DeletingAGroupRemovesEverySoundBelowIt) {
  headless_game g(std::string(prelude) +
                  "sound name=\"g/\"\n"
                  "sound name=\"g/h/\"\n"
                  "sound name=\"g/a\", file=\"t.wav\", play=1\n"
                  "sound name=\"g/h/b\", file=\"t.wav\", play=1\n"
                  "sound name=\"c\", file=\"t.wav\"\n"
                  "wait 100 ms\n"
                  "sound_delete name=\"g/\"\n"
                  "sound_query name=\"c\", output=v, loaded=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("t.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(22050))));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 400);
  EXPECT_EQ(g.int_value("v"), 1);
  std::lock_guard<engine_mutex> lock(engine_lock);
  object_node* s0 = find_child_by_name(sound_tree_root(), "S0");
  ASSERT_NE(s0, nullptr);
  ASSERT_NE(s0->first_child, nullptr);
  EXPECT_EQ(s0->first_child->name, "c");
  EXPECT_EQ(s0->first_child->next_sibling, nullptr);
  EXPECT_EQ(object_index_entry_count(s0), 1);
}

TEST_F(SoundGame, RefusedArgumentsAreReported) {
  // A file for a group path; a pan outside 0..512.
  for (const char* line : {"sound name=\"g/\", file=\"t.wav\"\n", "sound name=\"a\", file=\"t.wav\", pan=513\n"}) {
    headless_game g(std::string(prelude) + line + "*idle\nwait 1\ngoto idle\n");
    g.write_file("t.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(2205))));
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(3);
    std::vector<int> codes = g.error_codes();
    ASSERT_FALSE(codes.empty()) << line;
    EXPECT_TRUE(g.quitting()) << line;
  }
}

TEST_F(SoundGame, WaitsGiveUpWhenTheSoundThreadEnds) {
  // The load fails fatally on the sound thread (not an Ogg file): the thread
  // shows its message and ends; the command waiting for the load returns and
  // the game closes instead of hanging.
  headless_game g(std::string(prelude) +
                  "sound name=\"a\", file=\"bad.ogg\", play=1, pause=1\n"
                  "v = 1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("bad.ogg", std::vector<uint8_t>(300, 0x41));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(20);
  EXPECT_TRUE(g.quitting());
  auto boxes = g.backend().ui.boxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().caption, "DEBUG Message");
  EXPECT_EQ(sjis_to_utf8(boxes.back().text).rfind("エラー番号：1030", 0), 0u);
}

TEST_F(SoundGame, LongFileNamesAreCutNotOverrun) {
  // A 300-byte resolved name: the queue and the record keep 260 bytes, so the
  // cut name is not found (reported by the sound thread), and nothing overruns.
  std::string folder;
  for (int i = 0; i < 6; ++i) folder += std::string(45, static_cast<char>('a' + i)) + "/";
  std::string name = folder + "tone.wav";
  ASSERT_GT(name.size(), 280u);
  headless_game g(std::string(prelude) + "sound name=\"a\", file=\"" + name + "\"\n" +
                  "sound_query name=\"a\", output=s, file=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file(name, make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(2205))));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(20);
  auto boxes = g.backend().ui.boxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(sjis_to_utf8(boxes.back().text).rfind("エラー番号：1020", 0), 0u);
  std::lock_guard<engine_mutex> lock(engine_lock);
  object_node* a = find_object_by_path(sound_tree_root(), "S0/a", find_leaf);
  ASSERT_NE(a, nullptr);
  std::string resolved = name;  // the resolver's separators are '\\'
  for (char& c : resolved)
    if (c == '/') c = '\\';
  EXPECT_EQ(std::string(sound_node_record(a)->name), resolved.substr(0, 260));
}

TEST_F(SoundGame, VolumeWithPlayFadesInAndQueriesReadTheRecord) {
  headless_game g(std::string(prelude) +
                  "global int q[8]\n"
                  "sound name=\"a\", file=\"tone.wav\", volume=128, play=1, fade_time=400, pan=100, frequency=300\n"
                  "wait 100 ms\n"
                  "sound_query name=\"a\", output=v, volume=1\n"
                  "wait 500 ms\n"
                  "sound_query name=\"a\", output=w, volume=1\n"
                  "sound_query name=\"a\", output=q[0], pan=1\n"
                  "sound_query name=\"a\", output=q[1], frequency=1\n"
                  "sound_query name=\"a\", output=q[2], channels=1\n"
                  "sound_query name=\"a\", output=q[3], bits=1\n"
                  "sound_query name=\"a\", output=q[4], length=1\n"
                  "sound_query name=\"a\", output=q[5], position=1\n"
                  "sound_query name=\"a\", output=q[6], bits=1, data_form=1, rate=1\n"
                  "sound_query name=\"a\", output=q[7], playing=1, volume=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("tone.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(22050 * 2))));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 800);
  EXPECT_GT(g.int_value("v"), 0);  // on its way up
  EXPECT_LT(g.int_value("v"), 128);
  EXPECT_EQ(g.int_value("w"), 128);  // arrived
  EXPECT_EQ(g.int_value("q", 0), 100);
  EXPECT_EQ(g.int_value("q", 1), 300);
  EXPECT_EQ(g.int_value("q", 2), 1);
  EXPECT_EQ(g.int_value("q", 3), 16);
  EXPECT_EQ(g.int_value("q", 4), 2000);
  EXPECT_GT(g.int_value("q", 5), 500);  // 600 ms at 1.17 times the rate, less the first cycle
  EXPECT_EQ(g.int_value("q", 6), 0);  // the last given (data form: PCM) stays
  EXPECT_EQ(g.int_value("q", 7), 1);  // the first state switch (playing) answers
  EXPECT_TRUE(g.error_codes().empty());
}

// A sound's file name queried into an integer variable is a wrong variable
// type; the message reads whole (no placeholder left in it).
TEST_F(SoundGame, FileNameIntoANumberIsRefusedWithAWholeMessage) {
  headless_game g(std::string(prelude) +
                  "sound name=\"a\", file=\"t.wav\"\n"
                  "sound_query name=\"a\", output=v, file=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  g.write_file("t.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(positive_tone(22050))));
  ASSERT_EQ(g.start(), 0);
  run_for(g, 100);
  ASSERT_EQ(g.error_codes(), std::vector<int>{101140});
  EXPECT_EQ(g.errors()[0].text_utf8.find('%'), std::string::npos) << g.errors()[0].text_utf8;
  EXPECT_NE(g.errors()[0].text_utf8.find("cannot be assigned"), std::string::npos) << g.errors()[0].text_utf8;
}
