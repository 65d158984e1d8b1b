// The real program in a real X window on a machine where no sound output
// opens (SDL's audio driver named in SDL_AUDIODRIVER does not exist, or the
// disk driver must write where it cannot): the game runs on at its frame
// rate. The demo's opening movie ends and its scene moves; a listing that
// plays a sound and waits for its end goes on past the wait.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "child_helper.h"
#include "image/decode_png.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"
#include "x_server.h"

namespace {

namespace fs = std::filesystem;

struct no_device_case {
  const char* name;
  std::vector<std::string> environment;  // SDL_AUDIODRIVER and friends
};
// Shown in the test's name: the environment, not the record's bytes.
void PrintTo(const no_device_case& c, std::ostream* os) {
  for (const std::string& e : c.environment) *os << e << ' ';
}

// Every way a sound output fails to open that SDL lets a test arrange.
std::vector<no_device_case> no_device_cases() {
  return {{"UnknownDriver", {"SDL_AUDIODRIVER=zarvik-no-such-driver"}},
          {"DiskDriverCannotWrite", {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=/proc/zarvik-no-such-folder/out.raw"}}};
}

struct window_shot {
  picture_buffer p;
  ~window_shot() { free_picture_buffer(p); }
  // R, G, B of a pixel.
  void rgb(int x, int y, int& r, int& g, int& b) const {
    const uint8_t* q = p.pixels + (static_cast<size_t>(y) * p.width + x) * 4;
    b = q[0], g = q[1], r = q[2];
  }
};

bool take_shot(const temp_folder& folder, const std::string& display, const std::string& window,
               const std::string& name, window_shot& out) {
  const std::string command =
      "import -display " + display + " -window " + window + " 'png:" + folder.path() + name + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return false;
  const std::vector<uint8_t> bytes = folder.read(name);
  const std::string path = folder.path() + name;
  free_picture_buffer(out.p);
  out.p = picture_buffer{};
  return !bytes.empty() && decode_png(bytes.data(), bytes.size(), path, out.p) == 0 && out.p.width >= 640 &&
         out.p.height >= 480;
}

bool same_pixels(const window_shot& a, const window_shot& b) {
  if (a.p.width != b.p.width || a.p.height != b.p.height) return false;
  return std::equal(a.p.pixels, a.p.pixels + static_cast<size_t>(a.p.width) * a.p.height * 4, b.p.pixels);
}

bool tools_present() { return on_path("Xvfb") && on_path("xdotool") && on_path("import"); }

void copy_program(const temp_folder& game) {
  fs::copy_file(fs::path(ZARVIK_BINARY_DIR) / "zarvik", fs::path(game.path()) / "zarvik");
  const fs::path compression = fs::path(ZARVIK_BINARY_DIR) / "RIRud.so";
  if (fs::exists(compression)) fs::copy_file(compression, fs::path(game.path()) / "RIRud.so");
}

std::vector<std::string> child_environment(const x_server& x, const no_device_case& c) {
  std::vector<std::string> env{"DISPLAY=" + x.display, "SDL_VIDEODRIVER=x11"};
  env.insert(env.end(), c.environment.begin(), c.environment.end());
  return env;
}

class NoSoundDevice : public ::testing::TestWithParam<no_device_case> {};

}  // namespace

// The demo as `make run` lays it out: its movie's picture is colour bars (red
// on the left), its scene a dark blue sky. The movie must give way to the
// scene, and two shots of the scene must differ.
TEST_P(NoSoundDevice, TheDemoMovieEndsAndTheSceneMoves) {
  const fs::path built = fs::path(ZARVIK_BINARY_DIR) / "demo";
  if (!tools_present()) GTEST_SKIP() << "Xvfb, xdotool or ImageMagick's import is missing";
  if (!fs::exists(built / "demo.kpf") || !fs::exists(built / "movie" / "opening.mpg"))
    GTEST_SKIP() << "the demo and its movie are not built";
  temp_folder game;
  copy_program(game);
  fs::copy_file(built / "demo.kpf", fs::path(game.path()) / "demo.kpf");
  fs::create_directories(fs::path(game.path()) / "movie");
  fs::copy_file(built / "movie" / "opening.mpg", fs::path(game.path()) / "movie" / "opening.mpg");
  game.write("kxcfg.dat", cpu_drawing_settings());

  x_server x;
  ASSERT_TRUE(x.start("1024x768x24"));
  const pid_t pid = start_child(game.path() + "zarvik", {}, child_environment(x, GetParam()));
  ASSERT_GT(pid, 0);
  const std::string window = [&] {
    setenv("DISPLAY", x.display.c_str(), 1);
    return find_window("ZARVIK");
  }();
  ASSERT_FALSE(window.empty()) << "no game window";

  // The movie lasts three seconds; start-up under a sanitizer on a busy
  // machine may take many more, so the wait is long (a frozen player never
  // gets there at all).
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  window_shot shot;
  bool saw_movie = false, saw_scene = false;
  while (!saw_scene && seconds() < 60.0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!take_shot(game, x.display, window, "shot.png", shot)) continue;
    int r, g, b;
    shot.rgb(10, 100, r, g, b);
    if (r > 180 && g < 80 && b < 80) saw_movie = true;
    if (b > 90 && b > r + 40 && b > g + 40) saw_scene = true;
  }
  EXPECT_TRUE(saw_movie) << "the opening movie was never seen";
  EXPECT_TRUE(saw_scene) << "the movie never gave way to the scene";
  window_shot a, b;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(take_shot(game, x.display, window, "a.png", a));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(take_shot(game, x.display, window, "b.png", b));
  EXPECT_FALSE(same_pixels(a, b)) << "the scene stands still";
  kill(pid, SIGKILL);
  wait_child(pid);
}

// A listing that plays a sound and waits, frame by frame, until it stops
// playing, then quits: without a device sound is off, the query answers "not
// playing", and the player ends by itself.
TEST_P(NoSoundDevice, AListingWaitingForItsSoundToEndGoesOn) {
  if (!tools_present()) GTEST_SKIP() << "Xvfb, xdotool or ImageMagick's import is missing";
  temp_folder game;
  copy_program(game);
  game.write("game.kpf", build_game_pack("config title \"ZARVIK\"\nglobal int p = 0\n"
                                         "script main.txt\n*SYSTEM_START\n"
                                         "sound name=\"beep\", file=\"beep\", loop_count=1, play=1\n"
                                         "*wait_end\nsound_query name=\"beep\", playing=1, output=p\n"
                                         "if p == 1\n  wait 1\n  goto wait_end\nend\n"
                                         "quit\n*idle\nwait 1\ngoto idle\n"));
  // Two seconds of a quiet DC level, mono 8-bit: any device would need two
  // seconds of samples to end it.
  std::vector<uint8_t> wave = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                               1,   0,   1,   0,   0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0,
                               'd', 'a', 't', 'a', 0x80, 0x3E, 0, 0};
  wave.resize(wave.size() + 16000, 140);
  const uint32_t riff = static_cast<uint32_t>(wave.size() - 8);
  for (int i = 0; i < 4; ++i) wave[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
  game.write("beep.wav", wave);

  x_server x;
  ASSERT_TRUE(x.start("800x600x24"));
  const pid_t pid = start_child(game.path() + "zarvik", {}, child_environment(x, GetParam()));
  ASSERT_GT(pid, 0);
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended) << "the player hung in the wait for its sound";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

INSTANTIATE_TEST_SUITE_P(Drivers, NoSoundDevice, ::testing::ValuesIn(no_device_cases()),
                         [](const ::testing::TestParamInfo<no_device_case>& i) { return std::string(i.param.name); });
