// The real program under a real audio backend: SDL's disk driver records what
// the player mixes while the offscreen video driver stands in for a display.
// A game whose listing plays a sound must reach the recorded output.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sound_fixture.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

TEST(RealBinary, SoundCommandReachesSdlDiskOutput) {
  namespace fs = std::filesystem;
  const fs::path binary = fs::path(ZARVIK_BINARY_DIR) / "zarvik";
  if (!fs::exists(binary)) GTEST_SKIP() << "the zarvik program is not built";
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
  // The mixer writes 44100 Hz stereo: the audible span of the recording.
  struct span {
    size_t first = 0, last = 0, frames = 0;
    int peak = 0;
    bool any = false;
  };
  auto audible = [](const std::vector<int16_t>& heard) {
    span s;
    s.frames = heard.size() / 2;
    for (size_t f = 0; f < s.frames; ++f) {
      int m = std::max(std::abs(static_cast<int>(heard[f * 2])), std::abs(static_cast<int>(heard[f * 2 + 1])));
      if (m < 40) continue;
      if (!s.any) s.first = f;
      s.any = true;
      s.last = f + 1;
      s.peak = std::max(s.peak, m);
    }
    return s;
  };
  // The player runs until the recording holds the tone and half a second of
  // silence after it (start-up under a sanitizer on a busy machine can take
  // seconds), then gets the interrupt a user's Ctrl+C sends.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(game.path().c_str()) != 0) _exit(120);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(121);
    execl("./zarvik", "./zarvik", static_cast<char*>(nullptr));
    _exit(122);
  }
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  int status = 0;
  bool ended = false;
  while (seconds() < 30.0) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      break;
    }
    const span s = audible(pcm16_samples(read_host_file(raw)));
    if (s.any && s.frames >= s.last + 22050) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!ended) {
    kill(pid, SIGINT);
    const double signalled = seconds();
    while (!ended && seconds() < signalled + 10.0) {
      if (waitpid(pid, &status, WNOHANG) == pid) ended = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  EXPECT_TRUE(ended) << "the player did not end on the interrupt";
  std::vector<int16_t> heard = pcm16_samples(read_host_file(raw));
  if (heard.empty()) GTEST_SKIP() << "SDL's disk audio driver recorded nothing";
  // About one second of sound between the first and the last audible frame.
  const span s = audible(heard);
  ASSERT_TRUE(s.any) << heard.size() << " samples recorded, all silent";
  EXPECT_GT(s.peak, 8000);
  EXPECT_NEAR((s.last - s.first) / 44100.0, 1.0, 0.05);
}
