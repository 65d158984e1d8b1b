// The real program under a real audio backend: SDL's disk driver records what
// the player mixes while the offscreen video driver stands in for a display.
// A game whose listing plays a sound must reach the recorded output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sound_fixture.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

TEST(RealBinary, SoundCommandReachesSdlDiskOutput) {
  namespace fs = std::filesystem;
  const fs::path binary = fs::path(ZARVIK_BINARY_DIR) / "zarvik";
  if (!fs::exists(binary)) GTEST_SKIP() << "the zarvik program is not built";
  if (std::system("command -v timeout >/dev/null 2>&1") != 0) GTEST_SKIP() << "no timeout command";
  temp_folder game;
  // The game folder is the program's own folder: run a copy from there.
  fs::copy_file(binary, fs::path(game.path()) / "zarvik");
  const fs::path compression = fs::path(ZARVIK_BINARY_DIR) / "RIRud.so";
  if (fs::exists(compression)) fs::copy_file(compression, fs::path(game.path()) / "RIRud.so");
  game.write("game.kpf", build_game_pack("script main.txt\n"
                                         "*SYSTEM_START\n"
                                         "sound name=\"beep\", file=\"beep\", loop_count=1, play=1\n"
                                         "*idle\nwait 1\ngoto idle\n"));
  // One second of a 440 Hz tone, mono 16-bit at 22050 Hz.
  game.write("beep.wav", make_wave(1, 1, 22050, 16, 2, pcm16_bytes(tone_samples(22050, 1, 22050))));
  const std::string raw = game.path() + "out.raw";
  const std::string command = "cd '" + game.path() +
                              "' && SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE='" + raw +
                              "' SDL_VIDEODRIVER=offscreen timeout -s INT 3 ./zarvik >/dev/null 2>&1";
  std::system(command.c_str());
  std::vector<int16_t> heard = pcm16_samples(read_host_file(raw));
  if (heard.empty()) GTEST_SKIP() << "SDL's disk audio driver recorded nothing";
  // The mixer writes 44100 Hz stereo: about one second of sound between the
  // first and the last audible frame, the rest silence.
  size_t first = 0, last = 0;
  int peak = 0;
  bool any = false;
  for (size_t f = 0; f * 2 + 1 < heard.size(); ++f) {
    int m = std::max(std::abs(static_cast<int>(heard[f * 2])), std::abs(static_cast<int>(heard[f * 2 + 1])));
    if (m < 40) continue;
    if (!any) first = f;
    any = true;
    last = f + 1;
    peak = std::max(peak, m);
  }
  ASSERT_TRUE(any) << heard.size() << " samples recorded, all silent";
  EXPECT_GT(peak, 8000);
  EXPECT_NEAR((last - first) / 44100.0, 1.0, 0.05);
}
