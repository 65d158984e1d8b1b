// Menus drawn by the player in the main window: a popup menu (set 1 or the
// tray's set 2) opened at the cursor, with hover, keyboard navigation, greyed
// and checked items, separators and submenus. The chosen item's id reaches
// the window procedure as a msg_command, 0 when nothing was chosen.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

#include "system/menus.h"

// The tick's step: shows the pending popup set at the cursor and posts the
// choice.
void show_pending_popup_menu();
// Asks the tick to show `set` when it ends.
void request_popup_menu(int set);
// Shutdown: the built sets are dropped.

// Runs a menu of `items` with its top-left corner at client point (x, y) of
// the main window until an item is chosen (its id) or the menu is closed (0).
uint32_t run_menu(const std::vector<menu_item_model>& items, int x, int y);

// The menu on screen, readable from any thread (screenshots and the
// real-window tests): whether one is open and where its first panel is.
struct menu_view_record {
  std::atomic<uint8_t> open{0};
  std::atomic<int> x{0}, y{0}, width{0}, height{0};
};
extern menu_view_record menu_view;

// Frame-thread mode: the menu runs on the frame thread while the main thread
// takes the window's events; the window procedure hands the input of an open
// menu over here. True when the event went to the menu.
bool route_event_to_menu(const ui_event& e);

// The main window's menu bar (set 0), drawn as a strip across the top of the
// client: the call points for the screen-mode code, which decides where the
// strip goes (above the picture in a window, over it in full screen).
constexpr int menu_bar_height = 20;
// Draws the strip with the bar's top items; false when set 0 is empty.
bool draw_menu_bar();
// A press at client point (x, y): inside the strip, the item under it opens
// its menu below it (or is chosen when it has none) and the choice is posted
// as msg_command. True when the press was the bar's.
bool menu_bar_press(int x, int y);

// Layout of one drawn menu panel (exposed for tests).
struct menu_panel_layout {
  int width = 0, height = 0;
  std::vector<int> item_top;  // per item, from the panel's top
  std::vector<int> item_height;
};
menu_panel_layout layout_menu_panel(const std::vector<menu_item_model>& items);
