// Screen modes and monitors: the monitor list, the output size chosen for a
// scaling policy, the switches between windowed and full-screen display, the
// main window's size limits and monitor changes, and the menu bar's place
// (the window, or in full screen a strip shown at the top edge).
#pragma once
#include <cstdint>
#include <string>

#include "core/window_state.h"

struct object_node;

constexpr int monitor_max = 16;

struct monitor_entry {
  int32_t x = 0, y = 0, width = 0, height = 0;
  int32_t usable_x = 0, usable_y = 0, usable_width = 0, usable_height = 0;
  std::string name;  // UTF-8, as the system names the display
};

struct monitor_list_record {
  monitor_entry monitors[monitor_max];
  int count = 0;
  int chosen = 0;  // the main window's monitor
  std::string chosen_name;
};
extern monitor_list_record monitor_list;

// Fills the list from the platform's displays: at most 16; without any, one
// monitor of the desktop size at (0, 0).
void enumerate_monitors();
// The index of the monitor that holds the window's centre, always one with a
// valid entry (the first valid one when the platform names none or one past
// the list); its name goes to `name` when given.
int find_window_monitor(int window, std::string* name);

// Output size for a game of w x h shown in an available area, by the scaling
// policy of kxcfg.dat slot 7 (0 game size, 1 fit, 2 fill, 3 stretch); a
// maximised window always fits. Sets the scaling mode and reallocates the
// frame buffer when the size changed. A zero size anywhere changes nothing.
void choose_output_size(int game_width, int game_height, int available_width, int available_height);

// The smallest display mode of `display` with the desktop's aspect
// (width * 1000 / height), at least the game size and of `depth` bits. False
// when none qualifies.
bool find_best_display_mode(int display, int game_width, int game_height, int desktop_width, int desktop_height,
                            int depth, int* width, int* height);

// Switches the main window to full screen (on) or back. 1 only when the
// display really changed; 0 when it already was so or the switch failed (a
// failed switch always ends windowed).
int set_fullscreen(int on);
bool in_fullscreen();
// In full screen: the game now is width x height (the settings command's
// client size); the screen mode is set again for it and the window cleared
// to black. A failed mode ends windowed, as any failed switch does.
void set_fullscreen_game_size(int width, int height);
int switch_to_fullscreen();
// Keeps the output and frame sizes of the window as it is, for the way back
// from full screen or maximised.
void save_output_and_frame_sizes();
int switch_to_windowed();
// The display part of the two switches; -1 when the mode could not be had
// (the window is windowed again).
int set_fullscreen_mode_gdi(int display);
void switch_to_windowed_gdi();

// The main window's smallest and largest client for a user's drag (a quarter
// of the game's shorter side; the largest of the game's aspect on the
// desktop), handed to the platform.
void on_get_min_max_info();
// The main window moved: follow its monitor (desktop size, size limits, and a
// device reset in GPU mode when the monitor changed).
void on_move_monitor();

// The one place screen changes ask the GPU drawing for a device reset: sets
// screen_state.device_reset_requested in GPU drawing mode.
void request_device_reset();
void withdraw_device_reset();

// ---- the menu bar's place. The bar itself (set 0, drawn by the player on
// the window or the strip) is the menu view's, which start-up puts into
// menu_bar_hooks.
struct menu_bar_record {
  object_node* node[game_window_count] = {};  // each window's bar definition, null for none
  uint8_t on_strip = 0;     // full screen: window 0's bar lives on the strip
  uint8_t strip_shown = 0;  // the strip is showing at the top edge
  int32_t strip_height = 20;
};
extern menu_bar_record menu_bar;

struct menu_bar_hook_table {
  // Builds (or with a null node removes) the bar of a window, on the strip
  // when `on_strip`. 0, or -1 when a menu could not be made.
  int (*build)(int window, object_node* node, bool on_strip) = nullptr;
  void (*show_strip)(bool shown) = nullptr;
};
extern menu_bar_hook_table menu_bar_hooks;

// The bar of `window` from a menu definition path (resolved in the menu
// tree); an empty name removes it. 0, or -1 after reporting 101250.
int rebuild_menu_bar(const std::string& menu_name, int window);
void create_menu_popup_window();
// Each tick: in full screen the strip shows while the mouse is on the top
// rows and hides when it leaves them; windowed it is hidden.
void update_fullscreen_menu_bar();
void destroy_menu_handles();
