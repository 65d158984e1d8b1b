// The real program, under SDL's offscreen and dummy drivers, with and without
// the frame thread, on games whose sounds are damaged or whose commands fail
// while another thread waits: the error box is shown (offscreen, the Ui writes
// it to standard error), the game ends by itself with a failure status, and a
// SIGTERM ends a running player within a few seconds (generous: start-up and
// shutdown under a sanitizer on a busy machine are slow).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "format/pack_format.h"
#include "sound_fixture.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

std::string sjis_free_text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

struct player_result {
  bool ended_by_itself = false;  // false: it had to be signalled
  bool ended_after_signal = false;
  int status = -1;  // exit status, or -1 when killed by a signal
  double seconds = 0;
  std::string err;
};

// Runs ./zarvik in `folder` with the given drivers. A player still running
// after `patience` seconds gets SIGTERM and five more seconds.
player_result run_player(const std::string& folder, const char* video, double patience) {
  player_result r;
  const std::string err_path = folder + "stderr.txt";
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(120);
    setenv("SDL_VIDEODRIVER", video, 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    if (!freopen("/dev/null", "w", stdout) || !freopen(err_path.c_str(), "w", stderr)) _exit(121);
    execl("./zarvik", "./zarvik", static_cast<char*>(nullptr));
    _exit(122);
  }
  if (pid < 0) return r;
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  int wstatus = 0;
  auto wait_until = [&](double limit) {
    while (elapsed() < limit) {
      if (waitpid(pid, &wstatus, WNOHANG) == pid) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  if (wait_until(patience)) {
    r.ended_by_itself = true;
  } else {
    kill(pid, SIGTERM);
    const double signalled = elapsed();
    if (wait_until(signalled + 5.0)) {
      r.ended_after_signal = true;
    } else {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
    }
  }
  r.seconds = elapsed();
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  r.err = sjis_free_text(read_host_file(err_path));
  return r;
}

// A game folder with the program, the compression library and a game pack.
void make_game(const temp_folder& game, const std::string& listing, bool frame_thread) {
  fs::copy_file(fs::path(ZARVIK_BINARY_DIR) / "zarvik", fs::path(game.path()) / "zarvik");
  const fs::path compression = fs::path(ZARVIK_BINARY_DIR) / "RIRud.so";
  if (fs::exists(compression)) fs::copy_file(compression, fs::path(game.path()) / "RIRud.so");
  compiled_engine_config config;
  config.frame_thread_mode = frame_thread ? 1 : 0;
  game.write("game.kpf", build_game_pack(listing, config));
}

// A pack of its own holding one stored sound whose bytes are damaged in two
// blocks, past what the entry's parity can repair.
std::vector<uint8_t> damaged_sound_pack(const std::vector<uint8_t>& wave) {
  pack_writer_entry e;
  e.name = "broken.wav";
  e.data = wave;
  e.type = 0xFF;  // from the suffix: a WAV
  std::vector<uint8_t> pack;
  if (!build_pack({e}, pack)) return {};
  // The stored bytes are the only place the wave's "data" text appears.
  for (size_t i = 0; i + 4 <= pack.size(); ++i)
    if (std::string(pack.begin() + i, pack.begin() + i + 4) == "RIFF") {
      pack[i + 10] ^= 0xFF;
      pack[i + wave.size() - 1] ^= 0xFF;
      break;
    }
  return pack;
}

const char* const play_listing =
    "script main.txt\n*SYSTEM_START\nsound name=\"s\", file=\"%s\", play=1\n*idle\nwait 1\ngoto idle\n";

std::string with_file(const char* file) {
  std::string s = play_listing;
  s.replace(s.find("%s"), 2, file);
  return s;
}

bool program_built() { return fs::exists(fs::path(ZARVIK_BINARY_DIR) / "zarvik"); }

}  // namespace

TEST(RealPlayerFailure, DamagedSoundsEndThePlayerWithAFailureStatus) {
  if (!program_built()) GTEST_SKIP() << "the zarvik program is not built";
  const std::vector<uint8_t> tone = pcm16_bytes(tone_samples(22050, 1, 22050));
  const std::vector<uint8_t> good = make_wave(1, 1, 22050, 16, 2, tone);
  const struct {
    const char* name;
    const char* file;
    const char* shown;  // part of the box's text
  } damages[] = {
      {"empty ogg", "bad.ogg", "oggファイルとして正しく認識できませんでした"},
      {"unknown wav format", "odd.wav", "サウンド関係で内部エラーが発生しました"},
      {"damaged pack entry", "broken.wav", "パックファイル中に破損ファイルが見つかりました"},
  };
  for (const char* video : {"offscreen", "dummy"}) {
    for (bool frame_thread : {false, true}) {
      for (const auto& d : damages) {
        SCOPED_TRACE(std::string(video) + (frame_thread ? ", frame thread, " : ", no frame thread, ") + d.name);
        temp_folder game;
        make_game(game, with_file(d.file), frame_thread);
        game.write("bad.ogg", std::vector<uint8_t>());
        game.write("odd.wav", make_wave(0x7A7A, 1, 22050, 16, 2, tone));
        game.write("sound.kpf", damaged_sound_pack(good));
        player_result r = run_player(game.path(), video, 20.0);
        EXPECT_TRUE(r.ended_by_itself) << r.err;
        EXPECT_NE(r.status, 0) << r.err;
        EXPECT_NE(r.status, -1) << r.err;
        EXPECT_NE(r.err.find(d.shown), std::string::npos) << r.err;
      }
    }
  }
}

// Errors reported by the thread that runs the scripts while it holds the
// engine lock (a sound path through a missing group), and a
// plain running game: the player ends by itself, or soon after SIGTERM.
TEST(RealPlayerFailure, ReportsUnderTheLockAndSigtermEndThePlayer) {
  if (!program_built()) GTEST_SKIP() << "the zarvik program is not built";
  const std::vector<uint8_t> good = make_wave(1, 1, 22050, 16, 2, pcm16_bytes(tone_samples(22050, 1, 22050)));
  for (const char* video : {"offscreen", "dummy"}) {
    for (bool frame_thread : {false, true}) {
      SCOPED_TRACE(std::string(video) + (frame_thread ? ", frame thread" : ", no frame thread"));
      {
        temp_folder game;
        make_game(game,
                  "script main.txt\n*SYSTEM_START\nsound name=\"s\", file=\"good.wav\", play=1\n"
                  "wait 3\nsound name=\"missing/s\", file=\"good.wav\", play=1\n*idle\nwait 1\ngoto idle\n",
                  frame_thread);
        game.write("good.wav", good);
        player_result r = run_player(game.path(), video, 20.0);
        EXPECT_TRUE(r.ended_by_itself) << r.err;
        EXPECT_NE(r.status, 0) << r.err;
        EXPECT_NE(r.status, -1) << r.err;
        EXPECT_NE(r.err.find("ZARVIK Debug Info."), std::string::npos) << r.err;
      }
      {
        temp_folder game;
        make_game(game, with_file("good.wav"), frame_thread);
        game.write("good.wav", good);
        // The signal must find the player running: until its window system is
        // up, SIGTERM still has its default action, and a loaded machine can
        // take more than a second or two to get there.
        player_result r = run_player(game.path(), video, 4.0);
        EXPECT_FALSE(r.ended_by_itself) << r.err;
        EXPECT_TRUE(r.ended_after_signal) << r.err;
        EXPECT_EQ(r.status, 0) << r.err;
      }
    }
  }
}
