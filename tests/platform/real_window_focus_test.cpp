// The player in a real SDL window on an X server of its own (Xvfb): another
// window takes the keyboard focus and gives it back (xdotool), and the
// scripts and the sound hold while the player is in the background, then go
// on. Skipped when Xvfb or xdotool is missing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "app/frame_loop.h"
#include "app/startup.h"
#include "core/engine_fixture.h"
#include "platform/sdl/real_platform.h"
#include "script/scheduler.h"
#include "script/variable_store.h"
#include "sound/sound_thread.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"
#include "x_server.h"

namespace {

// The X server connection's D-Bus side (the screen-saver inhibit) keeps
// allocations of its own for the process's life; they are not the player's.
struct system_libraries_may_keep_memory {
#if defined(__SANITIZE_ADDRESS__)
  system_libraries_may_keep_memory() { __lsan_disable(); }
  ~system_libraries_may_keep_memory() { __lsan_enable(); }
#endif
};

}  // namespace

TEST(RealWindowFocus, AnotherWindowTakingTheFocusHoldsScriptsAndSound) {
  if (!on_path("Xvfb") || !on_path("xdotool") || !on_path("xmessage")) GTEST_SKIP() << "Xvfb, xdotool or xmessage is missing";
  x_server x;
  ASSERT_TRUE(x.start("800x600x24"));
  x.use_for_sdl();
  [[maybe_unused]] system_libraries_may_keep_memory libraries_keep;

  reset_engine_records();
  temp_folder game;
  compiled_engine_config config;
  config.title = "FOCUSGAME";
  game.write("game.kpf", build_game_pack(R"(
config window_kind 1
global int frames = 0
*SYSTEM_START
*count
system_settings keep_running_inactive=0
frames += 1
wait 1
goto count
)",
                                         config));
  game.write("kxcfg.dat", cpu_drawing_settings());
  // The compression library beside the program, as a game ships it.
  const std::string library = std::string(ZARVIK_BINARY_DIR) + "/RIRud.so";
  std::system(("cp '" + library + "' '" + game.path() + "RIRud.so'").c_str());
  std::string program = game.path() + "zarvik";
  char* argv[] = {program.data(), nullptr};
  std::unique_ptr<RealPlatform> real = make_real_platform(1, argv);
  ASSERT_NE(real, nullptr);
  reset_engine_for_next_run();  // a test process may have run games before
  init_module_paths();
  ASSERT_EQ(app_initialise(), 0);
  const uint32_t frames_id = 1000;  // the listing's only variable

  // The driver: once the window is up, another window takes the focus for a
  // while, then the game's window gets it back.
  const std::string log = game.path() + "driver.log";
  const std::string d = "DISPLAY=" + x.display + " ";
  const std::string script =
      "(sleep 1.5; " + d + "xmessage -geometry 200x100+500+400 other & m=$!; sleep 0.7; " + d +
      "xdotool search --sync --name '^xmessage$' windowfocus --sync >/dev/null 2>&1; echo lost >> '" + log +
      "'; sleep 1.5; " + d + "xdotool search --name FOCUSGAME windowfocus --sync >/dev/null 2>&1; echo back >> '" +
      log + "'; sleep 0.3; kill $m) >/dev/null 2>&1 &";
  // The game's window needs the focus first.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::system((d + "xdotool search --sync --name FOCUSGAME windowfocus --sync >/dev/null 2>&1").c_str());
  std::system(script.c_str());

  std::atomic<bool> done{false};
  std::atomic<int> saw_paused{0}, saw_sound_held{0};
  std::thread watcher([&] {
    while (!done) {
      if (inactive_pause.paused.load()) saw_paused = 1;
      if (sound_thread.paused_by_focus.load()) saw_sound_held = 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  int64_t frames_before_loss = -1;
  while (std::chrono::steady_clock::now() < until) {
    if (main_loop_pass() != 0) break;
    if (frames_before_loss < 0 && saw_paused) frames_before_loss = get_int_element(frames_id, 0);
  }
  const int64_t frames_at_end = get_int_element(frames_id, 0);
  done = true;
  watcher.join();
  std::ifstream driver(log);
  std::string driver_text((std::istreambuf_iterator<char>(driver)), std::istreambuf_iterator<char>());

  EXPECT_NE(driver_text.find("lost"), std::string::npos);
  EXPECT_NE(driver_text.find("back"), std::string::npos);
  EXPECT_EQ(saw_paused.load(), 1);      // the scripts held while in the background
  EXPECT_EQ(saw_sound_held.load(), 1);  // and so did the sound
  EXPECT_EQ(inactive_pause.paused.load(), 0);  // both go on once the focus is back
  for (int i = 0; i < 500 && sound_thread.paused_by_focus.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(sound_thread.paused_by_focus.load(), 0);
  EXPECT_GT(frames_before_loss, 0);
  EXPECT_GT(frames_at_end, frames_before_loss + 5);
  shutdown_engine();
  reset_engine_for_next_run();
  real.reset();
  reset_engine_records();
}
