// The focus pauses through a real SDL window on an X server of the test's own
// (Xvfb): another client's window takes the keyboard focus, the scripts, the
// play time and the sound hold; the focus comes back and they go on. Skips
// where Xvfb or xdotool is missing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "app/frame_loop.h"
#include "app/startup.h"
#include "child_helper.h"
#include "x_server.h"
#include "core/play_time.h"
#include "core/window_state.h"
#include "platform/sdl/real_platform.h"
#include "script/scheduler.h"
#include "script/variable_store.h"
#include "sound/sound_thread.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string binary_dir = ZARVIK_BINARY_DIR;

void focus(const std::string& window) {
  std::system(("xdotool windowfocus --sync " + window + " >/dev/null 2>&1").c_str());
}

}  // namespace

TEST(WindowFocusX11, AnotherWindowTakingTheFocusHoldsTheGameUntilItReturns) {
  if (!fs::exists("/usr/bin/Xvfb") || !on_path("xdotool") || !on_path("xmessage"))
    GTEST_SKIP() << "needs Xvfb, xdotool and xmessage";
#if defined(__SANITIZE_ADDRESS__)
  // The X and GL client libraries keep a few blocks past SDL's shutdown that
  // the leak checker reports without a frame to suppress them by; the same
  // focus rules run under the sanitizers through the headless tests.
  GTEST_SKIP() << "a real X client under the leak checker";
#endif
  x_server x;
  ASSERT_TRUE(x.start("800x600x24"));
  x.use_for_sdl();

  temp_folder game, source;
  source.write("main.txt", std::string(R"(config title "FOCUSGAME"
config size 320 240
config window_kind 1
global int frames = 0
*SYSTEM_START
wait 2
system_settings keep_running_inactive=0
*count
frames += 1
wait 1
goto count
)"));
  ASSERT_EQ(std::system(("'" + binary_dir + "/kxtool' asm '" + source.path() + "main.txt' '" + game.path() +
                         "game.kpf' >/dev/null 2>&1")
                            .c_str()),
            0);
  fs::create_symlink(binary_dir + "/RIRud.so", game.path() + "RIRud.so");
  game.write("kxcfg.dat", cpu_drawing_settings());  // no GPU fall-back box to answer
  std::string program = game.path() + "zarvik";
  char* argv[] = {program.data(), nullptr};
  std::unique_ptr<RealPlatform> real = make_real_platform(1, argv, {});
  ASSERT_NE(real, nullptr);
  ASSERT_TRUE(real->ui->has_display());
  reset_engine_for_next_run();  // a test process may have run games before
  init_module_paths();
  ASSERT_EQ(app_initialise(), 0);
  const uint32_t frames_id = 1000;  // the listing's first global

  auto run_until = [&](auto done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done() && std::chrono::steady_clock::now() < until) main_loop_pass();
    return done();
  };
  ASSERT_TRUE(run_until([] { return get_int_element(1000, 0) >= 3; }));
  const std::string game_window = find_window("FOCUSGAME");
  ASSERT_FALSE(game_window.empty());
  focus(game_window);
  window_state* main = game_window_record(0);
  ASSERT_TRUE(run_until([&] { return main->active.load() == 1 && inactive_pause.keep_running_inactive == 0; }));
  ASSERT_TRUE(run_until([] { return sound_thread.paused_by_focus.load() == 0; }));

  // Another client's window takes the focus; a helper thread watches the
  // hold and gives the focus back while the main thread runs the player.
  const pid_t other = start_child("/usr/bin/xmessage", {"-name", "OTHERAPP", "-title", "OTHERAPP", "other"},
                                  {"DISPLAY=" + x.display});
  const std::string other_window = find_window("OTHERAPP");
  ASSERT_FALSE(other_window.empty());
  std::atomic<bool> done{false}, held{false};
  std::atomic<int64_t> frames_held_start{-1}, frames_held_end{-2}, play_held_start{0}, play_held_end{0};
  std::thread user([&] {
    focus(other_window);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until &&
           !(inactive_pause.paused.load() == 1 && sound_thread.paused_by_focus.load() == 1))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    held = inactive_pause.paused.load() == 1 && sound_thread.paused_by_focus.load() == 1;
    frames_held_start = get_int_element(frames_id, 0);
    play_held_start = play_time_value(0, real->clock.tick_ms());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    frames_held_end = get_int_element(frames_id, 0);
    play_held_end = play_time_value(0, real->clock.tick_ms());
    focus(game_window);
    done = true;
  });
  ASSERT_TRUE(run_until([&] { return done.load(); }));
  user.join();
  EXPECT_TRUE(held.load());
  EXPECT_EQ(frames_held_end.load(), frames_held_start.load());
  EXPECT_LT(play_held_end - play_held_start, 50);  // 600 ms held, not counted
  ASSERT_TRUE(run_until([&] { return get_int_element(frames_id, 0) > frames_held_end + 5; }));
  EXPECT_EQ(inactive_pause.paused.load(), 0);
  EXPECT_TRUE(run_until([] { return sound_thread.paused_by_focus.load() == 0; }));

  ::kill(other, SIGTERM);
  wait_child(other);
  shutdown_engine();
  reset_engine_for_next_run();
  real.reset();
}
