// The real Ui on SDL2: game windows, frame presentation through a streaming
// BGRA texture, events translated into the engine's message codes, message
// boxes and the error dialog.
//
// SDL's window and event work must run on the thread that created the Ui (the
// main thread). Calls from any other thread (the frame thread) are queued and
// run by the main thread inside poll_event() or serve_requests(); the caller
// blocks until its request is done.
#pragma once
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/sdl/x11_tray.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;
struct SDL_Rect;
union SDL_Event;
struct sdl_request;

struct sdl_ui_options {
  // Use the offscreen video and dummy audio drivers even when a display is
  // there (tests). Without DISPLAY and WAYLAND_DISPLAY they are used anyway.
  bool force_offscreen = false;
};

class SdlUi final : public Ui {
 public:
  explicit SdlUi(const sdl_ui_options& options = {});
  ~SdlUi() override;
  SdlUi(const SdlUi&) = delete;
  SdlUi& operator=(const SdlUi&) = delete;

  // False when SDL's video could not be started with any driver.
  bool ready() const { return ready_; }
  // False with the offscreen driver: message boxes then go to stderr and
  // take their default answer.
  bool has_display() const { return has_display_; }
  std::string video_driver() const { return driver_; }

  bool create_window(int window, const window_desc& desc) override;
  void destroy_window(int window) override;
  bool window_exists(int window) const override;
  void show_window(int window, bool visible) override;
  void set_window_title(int window, const std::string& title) override;
  void raise_window(int window) override;
  void present(int window, const uint8_t* bgra, int width, int height, int stride, int dst_x = 0,
               int dst_y = 0) override;
  bool poll_event(ui_event& out) override;
  void post_event(const ui_event& event) override;
  int message_box(const std::string& caption, const std::string& text, uint32_t flags) override;
  int error_dialog(const std::string& title, const std::string& text, bool offer_edit) override;
  bool client_size(int window, int* width, int* height) const override;
  void set_client_size(int window, int width, int height) override;
  void restore_window(int window) override;
  void begin_window_drag(int window, int x, int y) override;
  void set_window_alpha(int window, int alpha) override;
  void set_cursor_visible(bool visible) override;
  void keyboard_state(uint8_t out[256]) override;
  bool cursor_position(int window, int* x, int* y) override;
  bool screen_cursor_position(int* x, int* y) override;
  void block_screen_saver(bool blocked) override;
  int joystick_count() override;
  bool desktop_mode(int* width, int* height, int* depth, int* refresh) override;
  bool joystick_state(int id, ui_joystick_state& out) override;
  // ---- displays and window placement
  int display_count() override;
  bool display_info(int display, ui_display& out) override;
  int display_mode_count(int display) override;
  bool display_mode(int display, int index, ui_display_mode& out) override;
  int window_display(int window) override;
  bool enter_fullscreen(int window, int display, const ui_display_mode* mode) override;
  bool leave_fullscreen(int window) override;
  bool window_position(int window, int* x, int* y) override;
  void move_window(int window, int x, int y) override;
  bool window_frame_extents(int window, int* left, int* top, int* right, int* bottom) override;
  void set_window_size_limits(int window, int min_width, int min_height, int max_width, int max_height) override;
  void set_window_resizable(int window, bool resizable) override;
  void set_window_opacity(int window, int alpha) override;
  void flash_window(int window, int count, int interval_ms) override;
  void set_window_stacking(int window, ui_stacking where) override;
  bool set_window_shape(int window, const std::vector<ui_rect>& rects) override;
  void minimise_window(int window) override;
  void maximise_window(int window) override;
  bool window_minimised(int window) override;
  bool window_maximised(int window) override;
  void warp_cursor(int screen_x, int screen_y) override;
  void set_display_lost_handler(void (*handler)(const char* what)) override;
  bool has_user() const override { return has_display_; }
  bool set_clipboard_text(const std::string& sjis) override;
  bool clipboard_text(std::string& sjis) override;
  void start_text_input(int window, int x, int y, int width, int height) override;
  void stop_text_input() override;
  void set_overlay(int window, int slot, const uint8_t* bgra, int width, int height, int x, int y) override;
  void clear_overlay(int window, int slot) override;
  void set_menu_bar(int window, const uint8_t* bgra, int width, int height) override;
  // The desktop's chooser (zenity, started by argv) when it is installed.
  bool browse_for_folder(const std::string& initial, const std::string& title, std::string& chosen) override;
  void show_overlay(int window, const uint8_t* bgra, int width, int height, int stride, int x, int y) override;
  void clear_overlay(int window) override;
  // ---- menus, cursor and tray icon (begin)
  void warp_cursor(int window, int x, int y) override;
  void set_system_cursor(int shape) override;
  bool set_colour_cursor(const uint8_t* bgra, int width, int height, int hot_x, int hot_y) override;
  int show_tray_icon(const ui_tray_icon& icon) override;
  void remove_tray_icon() override;
  bool tray_is_docked() const;
  bool colour_cursor_set() const { return colour_cursor_; }
  // ---- menus, cursor and tray icon (end)

  // Runs the requests other threads have queued. The main thread must call it
  // (or poll_event) while it waits for a thread that may use the Ui.
  bool serve_requests() override;
  // Draws the window again and reads back what the renderer holds (BGRA rows
  // of width * 4 bytes, a menu bar's rows first); for tests and screenshots.
  bool read_window_pixels(int window, std::vector<uint8_t>& bgra, int& width, int& height);
  // SDL's id of a game window (0 when it does not exist); tests push events with it.
  uint32_t sdl_window_id(int window) const;

 private:
  struct game_window {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    int width = 0, height = 0;
    // The player's own boxes over the frame, in client coordinates.
    SDL_Texture* overlay[3] = {nullptr, nullptr, nullptr};
    int overlay_rect[3][4] = {};
    // The menu bar: the top `bar_height` rows of the SDL window, above the
    // client; its picture is bar_width wide.
    SDL_Texture* bar = nullptr;
    int bar_width = 0, bar_height = 0;
    // The movie picture under them, in client (texture) coordinates.
    SDL_Texture* movie_overlay = nullptr;
    int movie_overlay_width = 0, movie_overlay_height = 0;
    int movie_overlay_x = 0, movie_overlay_y = 0;
    bool movie_overlay_shown = false;
  };

  void call_on_main(const std::function<void()>& job);
  bool make_texture(game_window& w, int width, int height);
  void follow_window_drag();
  void open_controller(int device_index);
  void close_controller(int32_t instance_id);
  void pump_sdl_events();
  void translate(const SDL_Event& e);
  int window_index_for_id(uint32_t id) const;
  // Rows of the window's menu bar above its client (main thread).
  int bar_rows(int window) const;
  void redraw(game_window& w);
  void draw_contents(game_window& w);
  // Where a client rectangle lands in the renderer's output.
  void client_to_output(const game_window& w, int x, int y, int width, int height, SDL_Rect* out) const;
  void push_event(ui_event e);
  void destroy_window_main(int window);
  int show_box_main(const std::string& caption_utf8, const std::string& text_utf8, uint32_t sdl_flags,
                    const std::vector<std::pair<int, std::string>>& buttons, int default_id, int escape_id,
                    int fallback_id);

  bool ready_ = false;
  bool has_display_ = false;
  bool software_renderer_ = false;
  std::string driver_;
  std::thread::id main_thread_;

  std::map<int, game_window> windows_;  // main thread only
  std::atomic<uint32_t> existing_{0};   // bit per game window, readable anywhere
  std::map<uint32_t, int> id_to_window_;
  mutable std::mutex ids_mutex_;

  std::mutex events_mutex_;
  std::deque<ui_event> events_;

  std::mutex requests_mutex_;
  std::deque<std::shared_ptr<sdl_request>> requests_;
  bool closed_ = false;

  // Client sizes, readable from any thread.
  std::map<int, std::pair<int, int>> client_sizes_;  // under ids_mutex_

  // A window moved with the mouse (begin_window_drag), main thread only.
  int drag_window_ = -1;
  int drag_x_ = 0, drag_y_ = 0;

  // Game controllers (or plain joysticks) by engine id 0..15; main thread only.
  struct pad {
    void* controller = nullptr;  // SDL_GameController*
    void* joystick = nullptr;    // SDL_Joystick* (plain joystick, no mapping)
    int32_t instance_id = -1;
  };
  pad pads_[16];
  bool pads_ready_ = false;

  bool dropping_ = false;
  uint32_t drop_window_id_ = 0;
  std::vector<std::string> drop_files_;
  // ---- menus, cursor and tray icon (begin), main thread only
  void* cursor_ = nullptr;        // SDL_Cursor* now set
  std::unique_ptr<X11Tray> tray_;
  // Where warp_cursor put the cursor, until the motion it causes arrives
  // (SDL's own mouse state follows only its events).
  int warp_window_ = -1, warp_x_ = 0, warp_y_ = 0;
  std::atomic<bool> colour_cursor_{false};
  // ---- menus, cursor and tray icon (end)
};

// Windows virtual-key code for an SDL scancode, 0 when unmapped. The one table
// of the mapping; the input code extends it here.
uint32_t virtual_key_for_scancode(int scancode);
// The side-specific code of a modifier scancode (left/right Shift, Ctrl,
// Alt: 0xA0..0xA5), 0 for other keys.
uint32_t side_virtual_key_for_scancode(int scancode);
// A controller axis (-32768..32767) in the engine's range 0..65535 with the
// centre at 32767; readings inside the dead zone are exactly the centre.
uint32_t joystick_axis_value(int sdl_axis, int dead_zone = 8000);
