// The main window's menu bar in a real SDL window on an X server of the
// test's own (Xvfb): the bar is drawn above the game's picture, the window is
// taller by the bar while the client keeps the game's size, and the user
// picks a menu item with the mouse (xdotool). The screens are kept as PNGs
// beside the build. Skips where the tools are missing.
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
#include "app/game_window.h"
#include "app/menu_view.h"
#include "app/startup.h"
#include "platform/sdl/real_platform.h"
#include "script/variable_store.h"
#include "support/headless_game.h"
#include "support/solid_layer.h"
#include "support/temp_folder.h"
#include "child_helper.h"
#include "x_server.h"

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

uint32_t pixel(const std::vector<uint8_t>& bgra, int width, int x, int y) {
  const uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
}

}  // namespace

// Both drawing modes present through the same window: GPU drawing (the
// settings' default) and CPU drawing.
class MenuBarX11 : public testing::TestWithParam<bool> {};

TEST_P(MenuBarX11, BarAboveThePictureAndItemsPickedWithTheMouse) {
  const bool cpu = GetParam();
  const std::string tag = cpu ? "cpu" : "gpu";
  if (!fs::exists("/usr/bin/Xvfb") || !on_path("xdotool") || !on_path("import") || !on_path("openbox") ||
      !on_path("xwininfo"))
    GTEST_SKIP() << "needs Xvfb, openbox, xwininfo, xdotool and ImageMagick's import";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a real X client under the leak checker";
#endif
  x_server x;
  ASSERT_TRUE(x.start("640x480x24", 460));
  ::setenv("DISPLAY", x.display.c_str(), 1);
  ::setenv("SDL_VIDEODRIVER", "x11", 1);
  ::setenv("SDL_AUDIODRIVER", "dummy", 1);
  // A window manager, for full screen.
  const pid_t wm = start_child("/usr/bin/openbox", {}, {"DISPLAY=" + x.display});
  std::this_thread::sleep_for(std::chrono::milliseconds(800));

  temp_folder game, source;
  source.write("main.txt", std::string(R"(config title "BARGAME"
config size 320 240
config window_kind 1
global int ready = 0
global int chosen = 0
global int go = 0
*SYSTEM_START
menu_item path="bar/", caption="Bar", position=1
menu_item path="bar/file/", caption="File", position=1
menu_item path="bar/file/new", caption="New", position=1, id=31
menu_item path="bar/file/quit", caption="Quit", position=2, id=32
menu_item path="bar/help", caption="Help", position=2, id=40
window window=0, menu="bar/"
ready = 1
*idle
wait 1
chosen = @122
if go == 1
go = 0
window window=0, fullscreen=1
end
if go == 2
go = 0
window window=0, fullscreen=0
end
goto idle
)"));
  ASSERT_EQ(std::system(("'" + binary_dir + "/kxtool' asm '" + source.path() + "main.txt' '" + game.path() +
                         "game.kpf' >/dev/null 2>&1")
                            .c_str()),
            0);
  fs::create_symlink(binary_dir + "/RIRud.so", game.path() + "RIRud.so");
  if (cpu) game.write("kxcfg.dat", cpu_drawing_settings());
  std::string program = game.path() + "zarvik";
  char* argv[] = {program.data(), nullptr};
  std::unique_ptr<RealPlatform> real = make_real_platform(1, argv, {});
  ASSERT_NE(real, nullptr);
  ASSERT_TRUE(real->ui->has_display());
  init_module_paths();
  ASSERT_EQ(app_initialise(), 0);
  make_solid_layer("W0/bg", 320, 240, 0, 0, 0xFF406080);
  // The picture's first row red and its last green: a shifted or covered picture shows.
  make_solid_layer("W0/top", 320, 1, 0, 0, 0xFFFF0000);
  make_solid_layer("W0/bottom", 320, 1, 0, 239, 0xFF00FF00);

  auto run_until = [&](auto done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done() && std::chrono::steady_clock::now() < until) main_loop_pass();
    return done();
  };
  const uint32_t ready_id = 1000, chosen_id = 1001, go_id = 1002;
  ASSERT_TRUE(run_until([] { return get_int_element(1000, 0) == 1; }));
  for (int i = 0; i < 20; ++i) main_loop_pass();
  (void)ready_id;

  // The client is the game's size; the X window is the bar taller.
  int cw = 0, ch = 0;
  ASSERT_TRUE(real->ui->client_size(0, &cw, &ch));
  EXPECT_EQ(cw, 320);
  EXPECT_EQ(ch, 240);
  const std::string window = find_window("BARGAME");
  ASSERT_FALSE(window.empty());
  EXPECT_NE(output_of("xwininfo -id " + window + " | grep Height").find(std::to_string(240 + menu_bar_height)),
            std::string::npos);
  run("xdotool windowactivate --sync " + window);
  for (int i = 0; i < 20; ++i) main_loop_pass();

  // What the window shows: the bar's face on the top rows, the picture whole below it.
  std::vector<uint8_t> px;
  int w = 0, h = 0;
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  ASSERT_EQ(w, 320);
  ASSERT_EQ(h, 240 + menu_bar_height);
  EXPECT_EQ(pixel(px, w, 300, 2), 0xF0F0F0u);
  EXPECT_EQ(pixel(px, w, 300, menu_bar_height - 1), 0x808080u);  // the bar's bottom line
  for (int xx : {0, 160, 319}) {
    EXPECT_EQ(pixel(px, w, xx, menu_bar_height), 0xFF0000u) << "the picture's first row, right under the bar";
    EXPECT_EQ(pixel(px, w, xx, menu_bar_height + 1), 0x406080u);
    EXPECT_EQ(pixel(px, w, xx, h - 1), 0x00FF00u) << "and its last row, whole";
  }
  int ink = 0;
  for (int xx = 0; xx < 60; ++xx)
    for (int yy = 2; yy < menu_bar_height - 2; ++yy) ink += pixel(px, w, xx, yy) == 0 ? 1 : 0;
  EXPECT_GT(ink, 20) << "\"File\" written on the bar";
  run("import -window root '" + binary_dir + "/menu_bar_x11_" + tag + "_bar.png'");

  // The cursor over the picture's top-left pixel is at client (5, 0).
  run("xdotool mousemove --window " + window + " 5 " + std::to_string(menu_bar_height));
  int mx = -1, my = -1;
  ASSERT_TRUE(run_until([&] { return real->ui->cursor_position(0, &mx, &my) && mx == 5 && my == 0; }));

  // The user clicks "File" on the bar, then "Quit" in the menu under it.
  std::atomic<bool> done{false};
  std::thread user([&] {
    run("xdotool mousemove --window " + window + " 12 10 click 1");
    if (wait_for([] { return menu_view.open.load() == 1; })) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      run("xdotool mousemove --window " + window + " " + std::to_string(menu_view.x + 30) + " " +
          std::to_string(menu_bar_height + menu_view.y + 32));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      run("import -window root '" + binary_dir + "/menu_bar_x11_" + tag + "_menu.png'");
      run("xdotool click 1");
    }
    done = true;
  });
  ASSERT_TRUE(run_until([&] { return done.load() && menu_view.open.load() == 0; }));
  user.join();
  EXPECT_EQ(menu_view.y.load(), 0);  // the menu opened on the client's top row, right under the bar
  EXPECT_TRUE(run_until([&] { return get_int_element(chosen_id, 0) == 32; }));

  // The picture came back whole where the menu was.
  for (int i = 0; i < 10; ++i) main_loop_pass();
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  EXPECT_EQ(pixel(px, w, 40, menu_bar_height + 30), 0x406080u);
  run("import -window root '" + binary_dir + "/menu_bar_x11_" + tag + "_after.png'");

  // Full screen: no bar on the window; the strip shows over the picture while
  // the mouse is at the top, and a press on it opens its menu under it.
  run("xdotool mousemove 320 400");
  set_numeric_element(go_id, 0, 1);
  ASSERT_TRUE(run_until([&] { return real->ui->client_size(0, &cw, &ch) && cw == 640 && ch == 480; }));
  for (int i = 0; i < 20; ++i) main_loop_pass();
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  ASSERT_EQ(h, 480);
  EXPECT_EQ(pixel(px, w, 300, 0), 0xFF0000u) << "no strip while the mouse is below it";
  EXPECT_EQ(pixel(px, w, 300, 479), 0x00FF00u);
  run("xdotool mousemove 300 3");
  ASSERT_TRUE(run_until([] { return menu_bar_view.strip_shown.load() == 1; }));
  for (int i = 0; i < 5; ++i) main_loop_pass();
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  EXPECT_EQ(pixel(px, w, 300, 2), 0xF0F0F0u);
  EXPECT_EQ(pixel(px, w, 300, menu_bar_height + 2), 0x406080u);
  run("import -window root '" + binary_dir + "/menu_bar_x11_" + tag + "_strip.png'");
  done = false;
  std::thread user2([&] {
    run("xdotool mousemove 12 10 click 1");
    if (wait_for([] { return menu_view.open.load() == 1; })) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      run("xdotool mousemove " + std::to_string(menu_view.x + 30) + " " + std::to_string(menu_view.y + 12));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      run("import -window root '" + binary_dir + "/menu_bar_x11_" + tag + "_strip_menu.png'");
      run("xdotool click 1");
    }
    done = true;
  });
  ASSERT_TRUE(run_until([&] { return done.load() && menu_view.open.load() == 0; }));
  user2.join();
  EXPECT_EQ(menu_view.y.load(), menu_bar_height);
  EXPECT_TRUE(run_until([&] { return get_int_element(chosen_id, 0) == 31; }));
  run("xdotool mousemove 300 300");
  EXPECT_TRUE(run_until([] { return menu_bar_view.strip_shown.load() == 0; }));

  // Back in a window, the bar is on the window again.
  set_numeric_element(go_id, 0, 2);
  ASSERT_TRUE(run_until([&] { return real->ui->client_size(0, &cw, &ch) && cw == 320 && ch == 240; }));
  for (int i = 0; i < 20; ++i) main_loop_pass();
  ASSERT_TRUE(real->ui->read_window_pixels(0, px, w, h));
  EXPECT_EQ(h, 240 + menu_bar_height);
  EXPECT_EQ(pixel(px, w, 300, 2), 0xF0F0F0u);
  EXPECT_EQ(pixel(px, w, 300, menu_bar_height), 0xFF0000u);
  EXPECT_EQ(pixel(px, w, 300, h - 1), 0x00FF00u);
  run("import -window root '" + binary_dir + "/menu_bar_x11_" + tag + "_windowed_again.png'");

  shutdown_engine();
  real.reset();
  ::kill(wm, SIGTERM);
  wait_child(wm);
}

INSTANTIATE_TEST_SUITE_P(DrawingModes, MenuBarX11, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return std::string(i.param ? "Cpu" : "Gpu"); });
