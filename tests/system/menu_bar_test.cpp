// The main window's menu bar through whole headless games: the window command
// gives window 0 a menu, the headless window carries the bar above its
// client, the user's presses on it open the menus, and in full screen the bar
// is a strip shown while the mouse is at the top.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/game_window.h"
#include "app/menu_view.h"
#include "script/variable_store.h"
#include "support/headless_game.h"

namespace {

constexpr uint32_t vk_return = 0x0D, vk_down = 0x28;

ui_event menu_event(uint32_t message, int x, int y, uint64_t wparam = 0) {
  ui_event e;
  e.message = message, e.x = x, e.y = y, e.wparam = wparam;
  return e;
}

const char* const bar_listing = R"(
config size 640 480
global int chosen = 0
global int drop = 0
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
if drop == 1
drop = 0
window window=0, menu=""
end
goto idle
)";

// The left edges of the bar's items: a dark (text) column more than 8 pixels
// after the last one starts an item.
std::vector<int> item_columns(const headless_frame& bar) {
  std::vector<int> starts;
  int last = -100;
  for (int x = 0; x < bar.width; ++x) {
    bool ink = false;
    for (int y = 2; y < bar.height - 2 && !ink; ++y) ink = bar.bgra[(size_t(y) * bar.width + x) * 4] < 0x60;
    if (!ink) continue;
    if (x - last > 8) starts.push_back(x);
    last = x;
  }
  return starts;
}

TEST(MenuBar, SitsAboveTheClientAndItsChoicesReachTheScript) {
  headless_game g(bar_listing);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  HeadlessUi& ui = g.backend().ui;
  const headless_frame bar = ui.menu_bar(0);
  ASSERT_EQ(bar.height, menu_bar_height);
  EXPECT_EQ(bar.width, 640);
  // The client keeps the game's size; the frame above it grew by the bar.
  int cw = 0, ch = 0, l = 0, t = 0, r = 0, b = 0;
  ASSERT_TRUE(ui.client_size(0, &cw, &ch));
  EXPECT_EQ(cw * 1000 + ch, 640480);
  ASSERT_TRUE(ui.window_frame_extents(0, &l, &t, &r, &b));
  EXPECT_EQ(t, menu_bar_height);
  const std::vector<int> items = item_columns(bar);
  ASSERT_EQ(items.size(), 2u) << "File and Help drawn on the bar";

  const ui_event down = menu_event(msg_key_down, 0, 0, vk_down), enter = menu_event(msg_key_down, 0, 0, vk_return);
  struct row {
    const char* what;
    int bar_x;                      // where the user presses on the bar
    std::vector<ui_event> in_menu;  // what the user then does in the open menu
    int chosen;
  } rows[] = {
      // "Quit", the second item under "File", clicked.
      {"submenu item by mouse", items[0] + 2,
       {menu_event(msg_left_button_down, 30, 32), menu_event(msg_left_button_up, 30, 32)}, 32},
      {"submenu item by keys", items[0] + 2, {down, enter}, 31},
      {"a top item without a menu", items[1] + 2, {}, 40},
      {"closed by another bar press", items[0] + 2, {menu_event(msg_nc_left_button_down, 10, -5, hit_menu)}, 0},
      {"beside the items", 600, {}, 0},
  };
  for (const row& rw : rows) {
    window_events.last_menu_command = 0;
    for (const ui_event& e : rw.in_menu) ui.queue_menu_event(e);
    ui.click_menu_bar(0, rw.bar_x, 10);
    g.run_ticks(3);
    EXPECT_EQ(window_events.last_menu_command.load(), rw.chosen) << rw.what;
    if (rw.chosen) {
      EXPECT_EQ(g.int_value("chosen"), rw.chosen) << rw.what;  // the script's own reading
    }
  }
  // "File" opened its menu on the client's top row, under its item.
  EXPECT_EQ(menu_view.y.load() * 1000 + menu_view.x.load(), 4);

  // Presses in the client and on the title are not the bar's.
  window_events.last_mouse_button = 0;
  menu_view.x = -1;  // a menu that opens moves it
  ui.click(0, items[0] + 2, 5);
  ui.post_event(menu_event(msg_nc_left_button_down, items[0] + 2, -30, hit_caption));
  g.run_ticks(3);
  EXPECT_EQ(window_events.last_mouse_button.load(), 1);
  // An empty name takes the bar away; a press on where it was opens nothing.
  set_numeric_element(g.variable_id("drop"), 0, 1);
  g.run_ticks(3);
  EXPECT_EQ(ui.menu_bar(0).height, 0);
  ASSERT_TRUE(ui.window_frame_extents(0, &l, &t, &r, &b));
  EXPECT_EQ(t, 0);
  ui.click_menu_bar(0, items[0] + 2, 10);
  g.run_ticks(3);
  EXPECT_EQ(menu_view.x.load(), -1);
}

TEST(MenuBar, FullScreenStripFollowsTheMouseAndTheBarComesBack) {
  headless_game g(bar_listing);
  g.prepare([](HeadlessPlatform& p) {
    headless_display d;  // offers the mode the game fits into
    ASSERT_TRUE(parse_headless_display("1920x1080+0+0@1440x1080", d));
    p.ui.set_displays({d});
  });
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  HeadlessUi& ui = g.backend().ui;
  ui.set_cursor(200, 400);
  set_numeric_element(g.variable_id("full"), 0, 1);
  g.run_ticks(3);
  ASSERT_TRUE(ui.window_fullscreen(0));
  EXPECT_EQ(ui.menu_bar(0).height, 0) << "no bar on a full-screen window";
  EXPECT_EQ(ui.overlay(0, overlay_slot_menu_strip).width, 0) << "the strip waits for the mouse";
  // Below the strip's rows (though above its height in the scaled picture's
  // own rows) it stays hidden, tick after tick.
  ui.set_cursor(200, menu_bar_height + 10);
  for (int i = 0; i < 3; ++i) {
    g.run_ticks(1);
    EXPECT_EQ(ui.overlay(0, overlay_slot_menu_strip).width, 0) << i;
  }

  // The mouse at the top shows the strip over the picture; a press on it
  // opens "File" below it and the user picks "Quit".
  ui.set_cursor(200, 3);
  g.run_ticks(2);
  int sx = -1, sy = -1;
  const headless_frame strip = ui.overlay(0, overlay_slot_menu_strip, &sx, &sy);
  ASSERT_EQ(strip.height, menu_bar_height);
  EXPECT_EQ(sx * 1000 + sy, 0);
  const std::vector<int> items = item_columns(strip);
  ASSERT_EQ(items.size(), 2u);
  window_events.last_mouse_button = 0;
  window_events.last_menu_command = 0;
  for (uint32_t k : {vk_down, vk_down, vk_return}) ui.queue_menu_event(menu_event(msg_key_down, 0, 0, k));
  ui.click(0, items[0] + 2, 10);
  g.run_ticks(3);
  EXPECT_EQ(window_events.last_menu_command.load(), 32);
  EXPECT_EQ(menu_view.y.load(), menu_bar_height);
  EXPECT_EQ(window_events.last_mouse_button.load(), 0) << "the strip's press is not the game's";

  // The mouse leaves the top rows: the strip hides and a press there is the game's.
  ui.set_cursor(200, 300);
  g.run_ticks(2);
  EXPECT_EQ(ui.overlay(0, overlay_slot_menu_strip).width, 0);
  ui.click(0, items[0] + 2, 10);
  g.run_ticks(2);
  EXPECT_EQ(window_events.last_mouse_button.load(), 1);

  // Back in a window the bar is on the window again, above the game-sized client.
  set_numeric_element(g.variable_id("full"), 0, 0);
  g.run_ticks(3);
  EXPECT_FALSE(ui.window_fullscreen(0));
  EXPECT_EQ(ui.menu_bar(0).height, menu_bar_height);
  int cw = 0, ch = 0;
  ASSERT_TRUE(ui.client_size(0, &cw, &ch));
  EXPECT_EQ(cw * 1000 + ch, 640480);
}

// In frame-thread mode the press reaches the window procedure on the main
// thread and the menu runs on the frame thread, as popups do.
TEST(MenuBar, PressOnTheFrameThread) {
  headless_game g(std::string("config frame_thread 1\n") + bar_listing);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  HeadlessUi& ui = g.backend().ui;
  window_events.last_menu_command = 0;
  for (uint32_t k : {vk_down, vk_down, vk_return}) ui.queue_menu_event(menu_event(msg_key_down, 0, 0, k));
  ui.click_menu_bar(0, 12, 10);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (window_events.last_menu_command.load() != 32 && std::chrono::steady_clock::now() < until) {
    g.run_ticks(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(window_events.last_menu_command.load(), 32);
}

}  // namespace
