// The game windows' records that the subsystems read: one window_state per
// window 0..3, the main window's screen state, the CPU frame buffer and the
// frame hand-over of frame-thread mode. The window procedure and the window
// steps live with the program (app/game_window).
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
  // ---- screen modes
  uint8_t frame_change_pending = 0;  // the sizing border changed; on_size re-fits the frame
  uint8_t device_flag_at_entry = 0;  // the device-assisted switch flag when full screen began
  int32_t fullscreen_depth = 32;     // the desktop depth
  // Set by screen changes in GPU drawing mode; the GPU drawing resets its
  // device and clears it.
  std::atomic<uint8_t> device_reset_requested{0};
};
extern screen_state_record screen_state;

// The main window's frame and the sizes around it.
struct frame_buffer_record {
  std::vector<uint8_t> pixels;  // BGRA, w*4 + w*4*h + 4 bytes
  int frame_width = 0, frame_height = 0;
  int output_width = 0, output_height = 0;
};
extern frame_buffer_record cpu_frame_buffer;

// The frame-buffer rule: (re)sizes `buffer` for a w x h BGRA frame to
// w*4 + w*4*h + 4 bytes. A width above 8192 shows "ＣＧサイズが大きすぎます。"
// and reports 100010; a size that cannot be had (non-positive, or the
// allocation fails) logs "メモリ確保エラーです。" and reports 104030. On any
// failure the old buffer is kept as it was. 0 on success, -1 on failure.
int apply_frame_buffer_rule(std::vector<uint8_t>& buffer, int width, int height);

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
