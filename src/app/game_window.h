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

#include "core/window_state.h"
#include "platform/platform.h"

struct cg_record;
struct object_node;

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
// Marks the window's picture for a full redraw and paints the client black
// at once (a screen mode changed under it).
void clear_window_black(int window);
// The frame step for each window: paints a hidden or empty window black, or
// asks for a paint when its layer was redrawn. Returns quit_flag.
int repaint_window_without_device(int window);

