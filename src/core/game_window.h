// Game windows: window 0 (the main window, made at start-up) and sub windows
// 1..3, one window_state each; the window procedure shared by all of them
// (close confirmation, minimise and maximise bookkeeping, dropped files,
// dragging a window by a layer, mouse and keys, repaint).
//
// A window's attached layer (the root it composites) and its own surface
// record live in layer_links.windows[index] (graphics/layer_record.h), so the
// layer code can drop a reference when it frees the node.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

struct cg_record;
struct object_node;

constexpr int game_window_count = 4;
constexpr size_t window_title_max = 262;  // the 263-byte title buffer, NUL included

enum window_close_mode : uint8_t {
  close_recorded = 0,      // the close button is only recorded for the script
  close_confirm = 1,       // "終了します。よろしいですか？"
  close_unconfirmed = 2,   // closing without confirmation (request_close)
  close_window_only = 3,   // sub windows: close without ending the program
};

struct window_state {
  int32_t index = 0;
  int32_t x = 0, y = 0;  // requested screen position (command 92)
  int32_t logical_width = 0, logical_height = 0;
  int32_t alpha = 256;  // 0..255 for layered windows; 256 opaque
  uint8_t kind = 0;     // 0 hidden, 1 shown at the first frame (window 0) or shown now
  uint8_t class_registered = 0;
  std::atomic<uint8_t> close_mode{close_confirm};
  uint8_t maximise_allowed = 0;
  uint8_t minimise_allowed = 1;
  std::string title;      // Shift-JIS, at most window_title_max bytes
  std::string menu_name;  // the menu definition path of the window's menu bar
  // Presentation: scale in percent and the display rectangle (x0, y0, x1, y1).
  int32_t scale = 100;
  int32_t display_rect[4] = {0, 0, 0, 0};
  // Where the presented picture starts inside the client (full screen and
  // maximised centre it); poll_input subtracts it from the cursor.
  std::atomic<int32_t> picture_offset_x{0}, picture_offset_y{0};
  // The frame's bitmap header as set before each blit.
  int32_t bitmap_width = 0, bitmap_height = 0;
  std::atomic<uint8_t> has_window{0};  // the window handle exists
  std::atomic<uint8_t> active{0};
  std::atomic<uint8_t> minimised{0};
  // Mouse in logical client coordinates, written by the input sampling.
  int32_t mouse_x = 0, mouse_y = 0;
  uint8_t mouse_outside_picture = 1;
  uint8_t mouse_outside_client = 1;
  uint8_t show_cursor_on_move = 1, show_cursor_on_click = 1, show_cursor_on_wheel = 1;
  uint8_t cursor_hidden = 0;
  uint32_t cursor_hidden_time = 0;
  // repaint_window_without_device asked for a paint that has not come yet.
  std::atomic<uint8_t> repaint_flag{0};
  std::atomic<uint8_t> paint_posted{0};
};

// The four records (made by create_window_states, never freed) and whether
// each window exists (-1 no window, 1 created).
struct window_states_record {
  window_state* windows[game_window_count] = {};
  std::atomic<int8_t> created[game_window_count] = {-1, -1, -1, -1};
};
extern window_states_record window_states;

inline window_state* game_window_record(int window) {
  return window >= 0 && window < game_window_count ? window_states.windows[window] : nullptr;
}

// What the window procedure records for scripts. The ids of the values the
// scripts read (kept_system_values) are given beside each field.
struct window_events_record {
  std::atomic<int64_t> close_pressed{0};     // 107: window index + 1
  std::atomic<int64_t> minimise_pressed{0};  // 108: window index + 1
  std::atomic<int64_t> maximise_pressed{0};  // 109: window index + 1
  std::atomic<int64_t> title_double_click{0};  // 110: window index + 1
  std::atomic<int64_t> last_menu_command{0};   // 122
  std::atomic<int64_t> last_key{0};            // 135: the last key pressed (virtual-key code)
  std::atomic<int64_t> last_mouse_button{0};   // 136: 1 left, 2 right, 4 middle
  std::atomic<uint8_t> drag_pause_option{0};   // the system call's title-drag pause
  std::atomic<uint8_t> drag_paused{0};
  std::atomic<uint8_t> dialog_open{0};
};
extern window_events_record window_events;
// The tick carries what the window procedure recorded into the values scripts
// read (ids 107..110, 122, 135, 136), so only the tick's thread writes them.
void take_window_events();

// Dragging a window by a layer (command 92): a left press inside the main
// window on a pixel of this layer whose colour is not black starts a title-bar
// drag of `window`. The window procedure only records the press; the next
// input sampling, on the thread that owns the layer tree, looks at the layer
// (checked against the live tree first, so a deleted layer is never read).
struct window_drag_record {
  object_node* layer = nullptr;  // tick thread only
  int window = 0;                // the window to drag (0..3)
  std::mutex lock;               // guards the recorded press
  uint8_t press_pending = 0;
  int press_x = 0, press_y = 0;  // logical, main window
  int client_x = 0, client_y = 0;
};
extern window_drag_record window_drag;
void set_window_drag_layer(object_node* layer, int window);
// Step 9 of the input sampling: a recorded press on the drag layer starts the drag.
void take_layer_drag_press();

// Main-window screen state the window code needs (windowed only here).
struct screen_state_record {
  std::atomic<uint8_t> fullscreen{0};
  std::atomic<uint8_t> maximised{0};
  uint8_t maximising = 0;
  uint8_t restore_pending = 0;
  uint8_t resizable = 0;       // the main window may be resized by the user
  uint8_t scaling_mode = 0;    // 0 none, 1 fit by width, 2 fit by height, 3 stretch
  int32_t saved_output_width = 0, saved_output_height = 0;
  int32_t saved_frame_width = 0, saved_frame_height = 0;
  // The main window's client size as the platform last reported it.
  std::atomic<int32_t> client_width{0}, client_height{0};
  // The main window's client changed size: the GPU device is rebuilt before
  // its next scene (taken by the scene drawing).
  std::atomic<uint8_t> device_reset_request{0};
};
extern screen_state_record screen_state;

// Output size for a game of w x h shown in an available area, by the scaling
// policy of kxcfg.dat slot 7 (0 game size, 1 fit, 2 fill, 3 stretch); a
// maximised window always fits. Reallocates the frame buffer when it changed.
void choose_output_size(int game_width, int game_height, int available_width, int available_height);

int create_window_states();  // 0, or -1 when a record cannot be made
void init_window_state(window_state& record, int index);
// Presentation defaults, the bitmap header and the title; sub windows get kind
// 1; alpha 256, close mode 1, minimise allowed, maximise for window 0 only.
void init_window_bitmap(int window, const std::string& title);
// Makes the platform window of the record's logical size (width x height) and
// its own surface record. 1 on success, 0 on failure (100010 reported when the
// surface cannot be made).
int create_game_window(int window, int width, int height, const std::string& title);

// The window procedure: every event of every game window goes through here.
void game_wnd_proc(const ui_event& event);
// The system commands (close, minimise, maximise, restore...): true when the
// command may go on, false when it is consumed.
bool on_sys_command(window_state& record, uint32_t command);

void set_main_window_close_mode(uint8_t mode);
// Sets a window's kind (0 hidden, 1 shown) for the window and its layer link.
void set_window_kind(int window, uint8_t kind);
bool main_window_resizable();
void remove_main_window_thick_frame();

// Presents the window's current frame (a paint).
void repaint_window(window_state& record, bool whole);
// The frame step for each window: paints a hidden or empty window black, or
// asks for a paint when its layer was redrawn. Returns quit_flag.
int repaint_window_without_device(int window);

// Frame hand-over for frame-thread mode: the frame thread copies what changed
// into `pixels` under the lock; the main thread presents from it under the
// same lock, so it never reads a picture the frame thread is drawing or
// freeing. The copy carries the picture buffer's spare row and bytes.
struct frame_handover {
  std::mutex lock;
  std::vector<uint8_t> pixels;
  int32_t width = 0, height = 0;
  int64_t x = 0, y = 0;  // the root layer's position
  int64_t rect[4] = {0, 0, -1, -1};  // changed area not yet presented (x0, y0, x1, y1)
  uint8_t valid = 0;
};
extern frame_handover frame_handovers[game_window_count];
