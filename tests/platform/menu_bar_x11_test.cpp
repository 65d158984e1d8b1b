// The main window's menu bar in a real SDL window under a window manager on an
// X server of the test's own (Xvfb), in both drawing modes: the bar above the
// whole picture, items picked with the mouse (xdotool), the full-screen strip,
// and the bar back after it. Screens are kept as PNGs beside the build.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/frame_loop.h"
#include "app/menu_view.h"
#include "app/startup.h"
#include "child_helper.h"
#include "platform/sdl/real_platform.h"
#include "script/variable_store.h"
#include "support/headless_game.h"
#include "support/solid_layer.h"
#include "support/temp_folder.h"
#include "x_server.h"

namespace fs = std::filesystem;

namespace {

const std::string binary_dir = ZARVIK_BINARY_DIR;

void run(const std::string& command) { std::system((command + " >/dev/null 2>&1").c_str()); }

// Ticks the player until `done` (15 s at most).
template <typename Predicate>
bool run_until(Predicate done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!done() && std::chrono::steady_clock::now() < until) main_loop_pass();
  return done();
}

class MenuBarX11 : public testing::TestWithParam<bool> {};  // CPU drawing, else GPU drawing

TEST_P(MenuBarX11, BarAboveThePictureAndItemsPickedWithTheMouse) {
  const std::string tag = GetParam() ? "cpu" : "gpu";
  if (!fs::exists("/usr/bin/Xvfb") || !on_path("xdotool") || !on_path("import") || !on_path("openbox"))
    GTEST_SKIP() << "needs Xvfb, openbox, xdotool and ImageMagick's import";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a real X client under the leak checker";
#endif
  x_server x;
  ASSERT_TRUE(x.start("640x480x24"));
  x.use_for_sdl();
  const pid_t wm = start_child("/usr/bin/openbox", {}, {"DISPLAY=" + x.display});  // for full screen
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  temp_folder game, source;
  source.write("main.txt", std::string(R"(config title "BARGAME"
config size 320 240
config window_kind 1
global int chosen = 0
global int full = 0
*SYSTEM_START
menu_item path="bar/", caption="Bar", position=1
menu_item path="bar/file/", caption="File", position=1
menu_item path="bar/file/new", caption="New", position=1, id=31
menu_item path="bar/file/quit", caption="Quit", position=2, id=32
menu_item path="bar/help", caption="Help", position=2, id=40
window window=0, menu="bar/"
*idle
wait 1
chosen = @122
window window=0, fullscreen=full
goto idle
)"));
  ASSERT_EQ(std::system(("'" + binary_dir + "/kxtool' asm '" + source.path() + "main.txt' '" + game.path() +
                         "game.kpf' >/dev/null 2>&1").c_str()), 0);
  fs::create_symlink(binary_dir + "/RIRud.so", game.path() + "RIRud.so");
  if (GetParam()) game.write("kxcfg.dat", cpu_drawing_settings());
  std::string program = game.path() + "zarvik";
  char* argv[] = {program.data(), nullptr};
  std::unique_ptr<RealPlatform> real = make_real_platform(1, argv, {});
  ASSERT_TRUE(real && real->ui->has_display());
  reset_engine_for_next_run();  // a test process may have run games before
  init_module_paths();
  ASSERT_EQ(app_initialise(), 0);
  // A picture whose first row is red and last green: a shifted or covered picture shows.
  make_solid_layer("W0/bg", 320, 240, 0, 0, 0xFF406080);
  make_solid_layer("W0/top", 320, 1, 0, 0, 0xFFFF0000);
  make_solid_layer("W0/bottom", 320, 1, 0, 239, 0xFF00FF00);
  const uint32_t chosen_id = 1000, full_id = 1001;
  const std::string window = find_window("BARGAME");
  ASSERT_FALSE(window.empty());
  run("xdotool windowactivate --sync " + window);
  for (int i = 0; i < 30; ++i) main_loop_pass();

  std::vector<uint8_t> px;
  int w = 0, h = 0, cw = 0, ch = 0;
  auto at = [&](int x, int y) {
    const uint8_t* p = &px[(size_t(y) * w + x) * 4];
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  };
  auto shot = [&](const char* name) { run("import -window root '" + binary_dir + "/menu_bar_x11_" + tag + "_" + name + ".png'"); };
  // The user clicks the bar at window point (bx, by), then the menu item at
  // (dx, dy) of the menu's top-left corner; window = client in full screen.
  auto pick = [&](int bx, int by, int dx, int dy, int top, const char* name) {
    std::atomic<bool> done{false};
    std::thread user([&] {
      run("xdotool mousemove --window " + window + " " + std::to_string(bx) + " " + std::to_string(by) + " click 1");
      for (int i = 0; i < 2000 && !menu_view.open.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      run("xdotool mousemove --window " + window + " " + std::to_string(menu_view.x + dx) + " " +
          std::to_string(top + menu_view.y + dy));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      shot(name);
      run("xdotool click 1");
      done = true;
    });
    const bool closed = run_until([&] { return done.load() && menu_view.open.load() == 0; });
    user.join();
    return closed;
  };

  // Windowed: the client is the game's size and the window shows the bar,
  // then the whole picture right under it.
  ASSERT_TRUE(real->ui->client_size(0, &cw, &ch));
  EXPECT_EQ(cw * 1000 + ch, 320240);
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  ASSERT_EQ(w * 1000 + h, 320000 + 240 + menu_bar_height);
  EXPECT_EQ(at(300, 2), 0xF0F0F0u);
  EXPECT_EQ(at(300, menu_bar_height - 1), 0x808080u);  // the bar's bottom line
  for (int xx : {0, 319}) {
    EXPECT_EQ(at(xx, menu_bar_height), 0xFF0000u);
    EXPECT_EQ(at(xx, h - 1), 0x00FF00u);
  }
  int ink = 0;
  for (int xx = 0; xx < 40; ++xx)
    for (int yy = 2; yy < menu_bar_height - 2; ++yy) ink += at(xx, yy) == 0 ? 1 : 0;
  EXPECT_GT(ink, 20) << "\"File\" written on the bar";
  shot("bar");
  // The cursor over the picture's first row is at client row 0.
  run("xdotool mousemove --window " + window + " 5 " + std::to_string(menu_bar_height));
  int mx = -1, my = -1;
  EXPECT_TRUE(run_until([&] { return real->ui->cursor_position(0, &mx, &my) && mx == 5 && my == 0; }));
  // "File", then "Quit": the menu opens on the client's top row.
  ASSERT_TRUE(pick(12, 10, 30, 32, menu_bar_height, "menu"));
  EXPECT_EQ(menu_view.y.load(), 0);
  EXPECT_TRUE(run_until([&] { return get_int_element(chosen_id, 0) == 32; }));

  // Full screen: no strip until the mouse is at the top; on the strip "File", then "New".
  run("xdotool mousemove 320 400");
  set_numeric_element(full_id, 0, 1);
  ASSERT_TRUE(run_until([&] { return real->ui->client_size(0, &cw, &ch) && cw * 1000 + ch == 640480; }));
  for (int i = 0; i < 20; ++i) main_loop_pass();
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  EXPECT_EQ(at(300, 0), 0xFF0000u) << "no strip while the mouse is below it";
  EXPECT_EQ(at(300, 479), 0x00FF00u);
  run("xdotool mousemove 300 3");
  ASSERT_TRUE(run_until([] { return menu_bar_view.strip_shown.load() == 1; }));
  for (int i = 0; i < 5; ++i) main_loop_pass();
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  EXPECT_EQ(at(300, 2), 0xF0F0F0u);
  EXPECT_EQ(at(300, menu_bar_height + 2), 0x406080u);
  shot("strip");
  ASSERT_TRUE(pick(12, 10, 30, 12, 0, "strip_menu"));
  EXPECT_EQ(menu_view.y.load(), menu_bar_height);
  EXPECT_TRUE(run_until([&] { return get_int_element(chosen_id, 0) == 31; }));
  run("xdotool mousemove 300 300");
  EXPECT_TRUE(run_until([] { return menu_bar_view.strip_shown.load() == 0; }));

  // Back in a window, the bar is on the window again.
  set_numeric_element(full_id, 0, 0);
  ASSERT_TRUE(run_until([&] { return real->ui->client_size(0, &cw, &ch) && cw * 1000 + ch == 320240; }));
  for (int i = 0; i < 20; ++i) main_loop_pass();
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  EXPECT_EQ(h, 240 + menu_bar_height);
  EXPECT_EQ(at(300, 2), 0xF0F0F0u);
  EXPECT_EQ(at(300, menu_bar_height), 0xFF0000u);
  shot("windowed_again");
  shutdown_engine();
  reset_engine_for_next_run();
  real.reset();
  ::kill(wm, SIGTERM);
  wait_child(wm);
}

INSTANTIATE_TEST_SUITE_P(DrawingModes, MenuBarX11, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return std::string(i.param ? "Cpu" : "Gpu"); });

}  // namespace
