// The mouse cursor (command 59: visibility modes with automatic hiding,
// warping, system shapes, a colour cursor from a layer) and the tray icon
// with its menu (command 87).
#pragma once
#include <cstdint>
#include <string>

constexpr int cursor_picture_max = 256;   // width and height of a cursor from a layer
constexpr size_t tray_tooltip_max = 127;  // bytes, without the terminator
constexpr int tray_icon_size = 16;

struct cursor_state_record {
  uint8_t request = 0;         // 0 none, 1 show, 2 hide (applied by the input sampling)
  uint8_t forced_visible = 1;  // the player shows the cursor (start-up shows it)
  uint8_t auto_hide = 0;       // hide after hide_delay_ms without input
  uint8_t mode = 2;            // 0 hidden, 1 hidden when idle, 2 shown
  uint32_t hide_delay_ms = 2500;
  uint8_t shown = 1;           // what the window system was last told
};
extern cursor_state_record cursor_state;

struct tray_state_record {
  uint8_t shown = 0;
  uint8_t docked = 0;        // a system tray holds the icon
  uint8_t no_tray_logged = 0;
  std::string tooltip;       // Shift-JIS
};
extern tray_state_record tray_state;

// Shows the cursor once per hidden period: clears the main window's idle
// flag and requests it shown.
void force_cursor_visible();
// Hands a pending request to the window system and clears it.
void apply_cursor_show_request();
// The input sampling's step: hides the cursor once the main window has been
// idle for the delay, shows it on the wake-up inputs it is given.
void update_cursor_auto_hide(uint32_t now, bool key_down, bool wake);

// Removes the tray icon (command 87 with 0, window 0 destroyed, shutdown).
void remove_tray_icon();
// A click on the tray icon (the mouse message of its callback): true when
// the tray menu should open.
bool tray_click_opens_menu(uint32_t mouse_message);

int cmd_mouse_cursor();    // 59
int cmd_tray_icon_menu();  // 87
