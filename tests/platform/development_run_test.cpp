// The development run through the real player on SDL's offscreen driver: the
// player started from a game folder that holds a listing, its pictures and
// sounds and kxtool as the compiler, with no pack and no compiled file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_helper.h"
#include "app/frame_loop.h"
#include "app/startup.h"
#include "format/compiler_link_format.h"
#include "image/decode_png.h"
#include "platform/headless/headless_platform.h"
#include "app/headless_run.h"
#include "platform/posix/shared_memory.h"
#include "platform/sdl/real_platform.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string binary_dir = ZARVIK_BINARY_DIR;

int run_tool(const std::string& arguments) {
  const std::string command = "'" + binary_dir + "/kxtool' " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A game folder as an author keeps it, with the player and its compression
// library linked in as `make run` does.
void make_development_folder(const temp_folder& game, const std::string& listing_file) {
  fs::copy_file(listing_file, game.path() + "main.txt");
  fs::create_directories(game.path() + "system/ZIVer");
  fs::create_symlink(binary_dir + "/kxtool", game.path() + "system/ZIVer/ZIVer");
  fs::create_symlink(binary_dir + "/zarvik", game.path() + "zarvik");
  fs::create_symlink(binary_dir + "/RIRud.so", game.path() + "RIRud.so");
}

bool shm_left(const std::string& folder) {
  struct stat st {};
  for (const char* name : {compiler_link_block_a_name, compiler_link_block_b_name})
    if (::stat(("/dev/shm" + shared_memory_host_name(name, folder)).c_str(), &st) == 0) return true;
  return false;
}

}  // namespace

TEST(DevelopmentRun, RealPlayerOnTheOffscreenDriverShowsThePackedDemosFrames) {
  const std::string pack = binary_dir + "/demo/demo.kpf";
  if (!fs::exists(pack)) GTEST_SKIP() << "the demo pack is not built";
  temp_folder game, frames;
  make_development_folder(game, std::string(ZARVIK_SOURCE_DIR) + "/demo/main.txt");
  ASSERT_EQ(run_tool("pictures '" + game.path() + "'"), 0);
  ASSERT_EQ(run_tool("sounds '" + game.path() + "'"), 0);
  // The pack alone in a folder of its own (the built one has the movie beside it).
  temp_folder packed;
  fs::copy_file(pack, packed.path() + "demo.kpf");
  ASSERT_EQ(run_tool("run '" + packed.path() + "demo.kpf' --frames 180 --every 30 --out '" + frames.path() + "'"), 0);

  // The offscreen driver for this case only: later cases in the process open
  // real displays.
  const char* old_driver = std::getenv("SDL_VIDEODRIVER");
  struct driver_restore {
    std::optional<std::string> value;
    ~driver_restore() { value ? ::setenv("SDL_VIDEODRIVER", value->c_str(), 1) : ::unsetenv("SDL_VIDEODRIVER"); }
  } restore{old_driver ? std::optional<std::string>(old_driver) : std::nullopt};
  ::setenv("SDL_VIDEODRIVER", "offscreen", 1);
  ::setenv("SDL_AUDIODRIVER", "dummy", 1);
  std::string program = game.path() + "zarvik";
  char* argv[] = {program.data(), nullptr};
  sdl_ui_options options;
  options.force_offscreen = true;
  std::unique_ptr<RealPlatform> real = make_real_platform(1, argv, options);
  ASSERT_NE(real, nullptr);
  // Frames at fixed virtual times, so the typesetter's timing matches the
  // headless run of the pack; every other service is the real one.
  HeadlessClock clock;
  clock.set_followed(true);  // the sound thread keeps step, as in kxtool run
  real->services.clock = &clock;
  reset_engine_for_next_run();  // a test process may have run games before
  init_module_paths();
  ASSERT_EQ(app_initialise(), 0);
  EXPECT_FALSE(shm_left(game.path()));
  for (int f = 1; f <= 180; ++f) {
    ASSERT_EQ(main_loop_pass(), 0) << "closed at frame " << f;
    if (f % 30) continue;
    SCOPED_TRACE(f);
    int width = 0, height = 0;
    std::vector<uint8_t> shown;
    ASSERT_TRUE(composited_main_frame(width, height, shown));
    char name[32];
    std::snprintf(name, sizeof name, "frame_%05d.png", f);
    std::vector<uint8_t> png;
    FILE* in = std::fopen((frames.path() + name).c_str(), "rb");
    ASSERT_NE(in, nullptr);
    for (int c; (c = std::fgetc(in)) != EOF;) png.push_back(static_cast<uint8_t>(c));
    std::fclose(in);
    picture_buffer expected;
    ASSERT_EQ(decode_png(png.data(), png.size(), name, expected), 0);
    ASSERT_EQ(expected.width, width);
    ASSERT_EQ(expected.height, height);
    size_t differing = 0;
    for (size_t i = 0; i < shown.size(); i += 4)
      if (std::memcmp(&shown[i], expected.pixels + i, 3) != 0) ++differing;  // the window shows no alpha
    free_picture_buffer(expected);
    EXPECT_EQ(differing, 0u);
  }
  EXPECT_FALSE(fs::exists(game.path() + "kxbin"));
  shutdown_engine();
  reset_engine_for_next_run();
  real.reset();
}

TEST(DevelopmentRun, ThePlayerProgramRunsAnEditedListing) {
  temp_folder game, listing;
  listing.write("main.txt", std::string("config title \"DEV\"\n"
                                        "global int n = 7\n"
                                        "*SYSTEM_START\n"
                                        "save_value file=\"started\", val_id=1, variable=n\n"
                                        "*idle\n"
                                        "wait 1\n"
                                        "goto idle\n"));
  make_development_folder(game, listing.path() + "main.txt");
  const pid_t pid = start_child(game.path() + "zarvik", {},
                                {"SDL_VIDEODRIVER=offscreen", "SDL_AUDIODRIVER=dummy"});
  ASSERT_GT(pid, 0);
  // The script ran: its save file appears.
  const bool saved = wait_for_file(game.path() + "save/started.sd");
  ::kill(pid, SIGTERM);  // ends the player as its own close does, without the question
  const int status = wait_child(pid);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(game.path() + "kxbin"));
  EXPECT_FALSE(shm_left(game.path()));
}
