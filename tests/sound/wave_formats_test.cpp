// WAV files in formats the player hands to the system's audio conversion
// service (FFmpeg here): made by ffmpeg and sox, played by a running game
// through the real start-up, and heard in the mix.
#include <gtest/gtest.h>

#include <cmath>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/engine_state.h"
#include "sound/sound_thread.h"

#include "sound_fixture.h"
#include "support/headless_game.h"

namespace {

bool ffmpeg_available() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

// Sign changes per second of the left channel over a stretch of the output:
// twice the tone's frequency.
double tone_frequency(const std::vector<int16_t>& stereo, size_t first_frame, size_t frames, int rate) {
  int changes = 0;
  int previous = 0;
  for (size_t f = first_frame; f < first_frame + frames && f * 2 < stereo.size(); ++f) {
    const int v = stereo[f * 2];
    if (std::abs(v) < 200) continue;
    const int sign = v > 0 ? 1 : -1;
    if (previous && sign != previous) ++changes;
    previous = sign;
  }
  return changes / 2.0 / (double(frames) / rate);
}

struct played {
  std::vector<int> errors;
  int debug_boxes = 0;
  std::vector<int16_t> output;
  int rate = 0;
};

// Plays every file (game-folder names) at once in a game and mixes 30 frames'
// worth of sound.
played play(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files) {
  std::string listing = "config window_kind 1\n*SYSTEM_START\n";
  for (size_t i = 0; i < files.size(); ++i)
    listing += "sound name=\"s" + std::to_string(i) + "\", file=\"" + files[i].first + "\", loop_count=0, play=1\n";
  listing += "*idle\nwait 1\ngoto idle\n";
  headless_game game(listing);
  game.write_file("kxcfg.dat", cpu_drawing_settings());
  for (const auto& [name, bytes] : files) game.write_file(name, bytes);
  played out;
  if (game.start() != 0) {
    ADD_FAILURE() << "the game did not start";
    return out;
  }
  // Headless sound keeps step with the virtual clock: each tick's span of
  // time is mixed before the next.
  game.run_ticks(40);
  {
    std::lock_guard<engine_mutex> lock(engine_lock);
    game.backend().audio.pull();
  }
  out.errors = game.error_codes();
  for (const auto& box : game.backend().ui.boxes()) out.debug_boxes += box.caption == "DEBUG Message" ? 1 : 0;
  out.output = game.backend().audio.output();
  out.rate = game.backend().audio.output_rate();
  return out;
}

}  // namespace

TEST(WaveFormats, ConvertedFormatsPlayAndMix) {
  if (!ffmpeg_available() || !sox_available()) GTEST_SKIP() << "ffmpeg or sox is missing";
  temp_folder work;
  const std::string w = work.path();
  struct format_case {
    const char* name;
    std::string command;  // writes w + name
  };
  const format_case cases[] = {
      {"mp3.wav", "ffmpeg -loglevel error -f lavfi -i sine=frequency=440:duration=2 -ar 22050 -c:a libmp3lame -b:a 64k "
                  "-f wav '" + w + "mp3.wav'"},
      {"gsm.wav", "sox -n -r 8000 -c 1 -e gsm-full-rate '" + w + "gsm.wav' synth 2 sine 440"},
      {"float.wav", "sox -n -r 22050 -c 2 -e floating-point -b 32 '" + w + "float.wav' synth 2 sine 440"},
      {"pcm24.wav", "sox -n -r 22050 -c 1 -b 24 '" + w + "pcm24.wav' synth 2 sine 440"},
      {"six.wav", "sox -n -r 22050 -c 6 -b 16 '" + w + "six.wav' synth 2 sine 440"},
  };
  std::vector<std::pair<std::string, std::vector<uint8_t>>> all;
  for (const format_case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(run_command(c.command), 0);
    std::vector<uint8_t> bytes = read_host_file(w + c.name);
    ASSERT_GT(bytes.size(), 44u);
    all.emplace_back(c.name, bytes);
  }
  // The tags the files carry: what the player had to convert.
  auto tag_of = [](const std::vector<uint8_t>& b) { return b[20] | (b[21] << 8); };
  EXPECT_EQ(tag_of(all[0].second), 0x55);  // MPEG layer 3
  EXPECT_EQ(tag_of(all[1].second), 0x31);  // GSM 6.10

  for (const auto& file : all) {
    SCOPED_TRACE(file.first);
    const played p = play({file});
    EXPECT_TRUE(p.errors.empty());
    EXPECT_EQ(p.debug_boxes, 0);
    ASSERT_GT(p.output.size(), size_t(p.rate) / 4);
    // A quarter of a second in the middle of what was mixed carries the tone.
    const size_t frames = p.output.size() / 2;
    EXPECT_NEAR(tone_frequency(p.output, frames / 4, size_t(p.rate) / 4, p.rate), 440.0, 25.0);
  }

  // All five at once: the mix holds the sum, louder than any one alone.
  const played one = play({all[2]});
  const played mix = play(all);
  EXPECT_TRUE(mix.errors.empty());
  EXPECT_EQ(mix.debug_boxes, 0);
  auto peak = [](const std::vector<int16_t>& s) {
    int m = 0;
    for (int16_t v : s) m = std::max(m, std::abs(int(v)));
    return m;
  };
  EXPECT_GT(peak(mix.output), peak(one.output));
}
