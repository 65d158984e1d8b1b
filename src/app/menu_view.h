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

struct object_node;

// The tick's step: shows the pending popup set at the cursor and posts the
// choice.
void show_pending_popup_menu();
// Asks the tick to show `set` when it ends.
void request_popup_menu(int set);
// Shutdown: the built sets are dropped.

// Runs a menu of `items` with its top-left corner at client point (x, y) of
// a game window (the main one unless given) until an item is chosen (its id)
// or the menu is closed (0).
uint32_t run_menu(const std::vector<menu_item_model>& items, int x, int y, int window = 0);

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

// The menu bar (set 0), drawn by the player: windowed, as the window's bar
// above its client (Ui::set_menu_bar); in full screen, as a strip over the
// top rows of the picture (overlay slot overlay_slot_menu_strip) while the
// mouse is there.
constexpr int menu_bar_height = 20;
// Where the bar is, readable from any thread (the window procedure runs on
// the main thread, the tick may run on the frame thread).
struct menu_bar_view_record {
  std::atomic<int> window{-1};        // the window carrying it, -1 for none
  std::atomic<uint8_t> on_strip{0};   // full screen: on the strip
  std::atomic<uint8_t> strip_shown{0};
  // A press waiting for the tick: its window and bar coordinates.
  std::atomic<uint8_t> press_pending{0};
  std::atomic<int> press_window{0}, press_x{0}, press_y{0};
};
extern menu_bar_view_record menu_bar_view;
// menu_bar_hooks.build: set 0 from the node (a null node empties it) and the
// bar put on the window or the strip. 0, or -1 when the menus could not be
// made (the bar is then removed).
int build_menu_bar(int window, object_node* node, bool on_strip);
// menu_bar_hooks.show_strip.
void show_menu_bar_strip(bool shown);
// Draws the bar where it is with the bar's top items; false when set 0 is
// empty or no window carries it.
bool draw_menu_bar();
// A press at (x, y) of the bar (0 <= y < menu_bar_height): the item under it
// opens its menu below the bar (or is chosen when it has none) and the
// choice is posted as msg_command. True when the press was the bar's.
bool menu_bar_press(int x, int y);
// The window procedure's part: a left press on the bar of `window`, in bar
// coordinates, run by the tick when it ends (where popups run).
void request_menu_bar_press(int window, int x, int y);

// Layout of one drawn menu panel (exposed for tests).
struct menu_panel_layout {
  int width = 0, height = 0;
  std::vector<int> item_top;  // per item, from the panel's top
  std::vector<int> item_height;
};
menu_panel_layout layout_menu_panel(const std::vector<menu_item_model>& items);
