// Menus, the tray icon and a colour cursor through a real SDL window on an X
// server of the test's own (Xvfb) with a system tray (trayer): the user opens
// the tray menu and a popup with the mouse (xdotool) and picks items; the
// screens are kept as PNGs beside the build. Skips where the tools are missing.
#include <gtest/gtest.h>

#include <signal.h>
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
#include "app/game_window.h"
#include "app/menu_view.h"
#include "app/startup.h"
#include "child_helper.h"
#include "x_server.h"
#include "platform/sdl/real_platform.h"
#include "script/variable_store.h"
#include "support/solid_layer.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"
#include "system/cursor_tray.h"

namespace fs = std::filesystem;

namespace {

const std::string binary_dir = ZARVIK_BINARY_DIR;

void run(const std::string& command) { std::system((command + " >/dev/null 2>&1").c_str()); }

template <typename Predicate>
bool wait_for(Predicate done, int seconds = 10) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

}  // namespace

TEST(MenuTrayX11, TrayDocksAndMenusAreDrawnAndChosenWithTheMouse) {
  if (!fs::exists("/usr/bin/Xvfb") || !on_path("xdotool") || !on_path("trayer") || !on_path("import"))
    GTEST_SKIP() << "needs Xvfb, xdotool, trayer and ImageMagick's import";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a real X client under the leak checker";
#endif
  x_server x;
  ASSERT_TRUE(x.start("640x480x24"));
  x.use_for_sdl();
  const pid_t tray = start_child("/usr/bin/trayer", {"--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                                                     "--width", "120", "--heighttype", "pixel", "--height", "24"},
                                 {"DISPLAY=" + x.display});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // trayer owns the tray selection

  temp_folder game, source;
  source.write("main.txt", std::string(R"(config title "MENUGAME"
config size 320 240
config window_kind 1
global int ready = 0
global int popup = 0
*SYSTEM_START
menu_item path="m/", caption="Menu", position=1
menu_item path="m/open", caption="Open", position=1, id=101
menu_item path="m/save", caption="Save as...", position=2, id=102, checked=1
menu_item path="m/sep", caption="", position=3
menu_item path="m/off", caption="Greyed", position=4, enabled=0
menu_item path="t/", caption="Tray", position=1
menu_item path="t/hello", caption="Hello", position=1, id=55
wait 5
tray_menu show=1, tooltip="ZARVIKTRAY", icon="ic", menu="t/"
cursor layer="cur", hot_x=3, hot_y=3
ready = 1
*idle
wait 1
if popup == 1
popup = 2
cursor x=40, y=40
popup_menu path="m/", show=1
end
goto idle
)"));
  ASSERT_EQ(std::system(("'" + binary_dir + "/kxtool' asm '" + source.path() + "main.txt' '" + game.path() +
                         "game.kpf' >/dev/null 2>&1")
                            .c_str()),
            0);
  fs::create_symlink(binary_dir + "/RIRud.so", game.path() + "RIRud.so");
  std::string program = game.path() + "zarvik";
  char* argv[] = {program.data(), nullptr};
  std::unique_ptr<RealPlatform> real = make_real_platform(1, argv, {});
  ASSERT_NE(real, nullptr);
  ASSERT_TRUE(real->ui->has_display());
  reset_engine_for_next_run();  // a test process may have run games before
  init_module_paths();
  ASSERT_EQ(app_initialise(), 0);
  // The icon and cursor layers, as a picture command would leave them.
  make_solid_layer("W0/ic", 16, 16, 0, 0, 0xFFE04020);
  make_solid_layer("W0/cur", 12, 12, 0, 0, 0xFF20C040);
  make_solid_layer("W0/bg", 320, 240, 0, 0, 0xFF406080);

  const uint32_t ready_id = 1000, popup_id = 1001;
  auto run_until = [&](auto done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done() && std::chrono::steady_clock::now() < until) main_loop_pass();
    return done();
  };
  ASSERT_TRUE(run_until([] { return get_int_element(1000, 0) == 1; }));
  (void)ready_id;
  EXPECT_EQ(tray_state.shown, 1);
  EXPECT_EQ(tray_state.docked, 1) << "the icon did not dock in trayer";
  EXPECT_TRUE(real->ui->tray_is_docked());
  EXPECT_TRUE(real->ui->colour_cursor_set()) << "the cursor from the layer was not made";
  const std::string game_window = find_window("MENUGAME");
  ASSERT_FALSE(game_window.empty());
  run("xdotool windowactivate --sync " + game_window);
  ASSERT_TRUE(run_until([] { return game_window_record(0)->active.load() == 1; }));
  for (int i = 0; i < 20; ++i) main_loop_pass();
  run("import -window root '" + binary_dir + "/menu_tray_x11_docked.png'");

  // The user right-clicks the tray icon and picks "Hello" from the tray menu.
  const std::string icon = find_window("ZARVIKTRAY");
  ASSERT_FALSE(icon.empty());
  std::atomic<bool> done{false};
  std::thread user([&] {
    run("xdotool mousemove --window " + icon + " 8 8 click 3");
    if (wait_for([] { return menu_view.open.load() == 1; })) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      run("import -window root '" + binary_dir + "/menu_tray_x11_traymenu.png'");
      run("xdotool mousemove --window " + game_window + " " + std::to_string(menu_view.x + 30) + " " +
          std::to_string(menu_view.y + 12) + " click 1");
    }
    done = true;
  });
  ASSERT_TRUE(run_until([&] { return done.load() && menu_view.open.load() == 0; }));
  user.join();
  ASSERT_TRUE(run_until([] { return window_events.last_menu_command.load() == 55; }));

  // The script opens a popup at (40, 40); the user picks the second item.
  set_numeric_element(popup_id, 0, 1);
  done = false;
  std::thread user2([&] {
    if (wait_for([] { return menu_view.open.load() == 1; })) {
      run("xdotool mousemove --window " + game_window + " " + std::to_string(menu_view.x + 30) + " " +
          std::to_string(menu_view.y + 32));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      run("import -window root '" + binary_dir + "/menu_tray_x11_popup.png'");
      run("xdotool click 1");
    }
    done = true;
  });
  ASSERT_TRUE(run_until([&] { return done.load() && menu_view.open.load() == 0; }));
  user2.join();
  EXPECT_EQ(menu_view.x.load(), 40);
  ASSERT_TRUE(run_until([] { return window_events.last_menu_command.load() == 102; }));

  // Again, chosen by keyboard: Down to "Open", Enter.
  set_numeric_element(popup_id, 0, 1);
  done = false;
  std::thread user3([&] {
    if (wait_for([] { return menu_view.open.load() == 1; })) run("xdotool key --delay 50 Down Return");
    done = true;
  });
  ASSERT_TRUE(run_until([&] { return done.load() && menu_view.open.load() == 0; }));
  user3.join();
  EXPECT_TRUE(run_until([] { return window_events.last_menu_command.load() == 101; }));

  shutdown_engine();
  reset_engine_for_next_run();
  real.reset();
  ::kill(tray, SIGTERM);
  wait_child(tray);
}
