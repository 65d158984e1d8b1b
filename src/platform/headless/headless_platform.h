// The headless backend: runs the real engine on virtual time, answers every
// dialog from a script of replies and keeps every presented frame as pixels.
#pragma once
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ffmpeg/ffmpeg_movie.h"
#include "platform/freetype/freetype_fonts.h"
#include "platform/headless/headless_audio.h"
#include "platform/gpu/gpu_system.h"
#include "platform/headless/headless_process.h"
#include "platform/posix/memory_hints.h"
#include "platform/posix/no_flash.h"
#include "platform/platform.h"

// Virtual time: tick_ms() returns the virtual now; sleep_ms() advances it, so
// paced loops run at full speed with exact frame timing.
//
// Followed time (on for whole headless runs, set_followed): a following
// thread's follow_sleep_ms blocks until the clock is advanced to its wake
// time; advancing stops at every such wake time, lets the follower run and
// waits until it sleeps again (or stops following) before going on. Without
// it, followers sleep real time and tests step them by hand.
class HeadlessClock final : public Clock {
 public:
  uint32_t tick_ms() override;
  void sleep_ms(uint32_t ms) override;
  local_time local_now() override;
  void begin_following() override;
  void end_following() override;
  void follow_sleep_ms(uint32_t ms) override;
  void wait_step_ms(uint32_t ms) override;
  void wake_followers() override;
  void advance(uint32_t ms);
  void set(uint32_t now_ms);
  void set_local_time(const local_time& t);
  void set_followed(bool on);

 private:
  struct follower {
    bool waiting = false;
    uint64_t wake = 0;
    bool woken = false;  // woken while awake: its next sleep ends at once
  };
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t elapsed_ = 0;  // virtual ms advanced so far (never wraps)
  uint32_t base_ = 0;     // tick = base + elapsed, wrapping like the real tick
  bool followed_ = false;
  std::map<std::thread::id, follower> followers_;
  int running_ = 0;  // followers awake (not in follow_sleep_ms)
  local_time local_{2026, 1, 2, 3, 4, 5, 0, 5};
};

// A fake display for the headless Ui: where it lies, its usable part, its
// name, its desktop mode and the modes it offers.
struct headless_display {
  ui_display info;
  ui_display_mode desktop;
  std::vector<ui_display_mode> modes;
};
// "1920x1080", "1920x1080+1920+0" or "1920x1080+1920+0@1024x768,800x600":
// size, offset, then the modes besides the desktop's (32 bits, 60 Hz). The
// usable part is the bounds less 40 rows at the bottom. False when malformed.
bool parse_headless_display(const std::string& text, headless_display& out);

struct headless_frame {
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;  // width * 4 bytes per row
};

// A picture shown over a window's client (a movie frame) at (x, y).
struct headless_overlay {
  int x = 0, y = 0;
  headless_frame picture;
  uint64_t updates = 0;  // pictures shown since the window's first
};

class HeadlessUi final : public Ui {
 public:
  bool create_window(int window, const window_desc& desc) override;
  void destroy_window(int window) override;
  bool window_exists(int window) const override;
  void show_window(int window, bool visible) override;
  void set_window_title(int window, const std::string& title) override;
  void raise_window(int window) override;
  void present(int window, const uint8_t* bgra, int width, int height, int stride, int dst_x, int dst_y) override;
  bool poll_event(ui_event& out) override;
  void post_event(const ui_event& event) override;
  int message_box(const std::string& caption, const std::string& text, uint32_t flags) override;
  int error_dialog(const std::string& title, const std::string& text, bool offer_edit) override;
  bool client_size(int window, int* width, int* height) const override;
  void set_client_size(int window, int width, int height) override;
  void invalidate(int window) override;
  void restore_window(int window) override;
  void begin_window_drag(int window, int x, int y) override;
  void set_window_alpha(int window, int alpha) override;
  int window_alpha(int window) const;  // 256 until set
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
  void show_overlay(int window, const uint8_t* bgra, int width, int height, int stride, int x, int y) override;
  void clear_overlay(int window) override;
  // ---- menus, cursor and tray icon (begin)
  void warp_cursor(int window, int x, int y) override;
  void set_system_cursor(int shape) override;
  bool set_colour_cursor(const uint8_t* bgra, int width, int height, int hot_x, int hot_y) override;
  int show_tray_icon(const ui_tray_icon& icon) override;
  void remove_tray_icon() override;
  bool interactive() const override { return false; }
  // Menus the player opens take only the events queued for them here (the
  // user's clicks and keys in a menu), then close.
  bool poll_menu_event(ui_event& out) override;
  void queue_menu_event(const ui_event& event);
  // Test side: the desktop has a system tray (none until set).
  void set_tray_manager(bool present);
  struct cursor_record {
    bool visible = true;
    int shape = 0;             // system cursor shape, -1 for a colour cursor
    int width = 0, height = 0, hot_x = 0, hot_y = 0;
    std::vector<uint8_t> bgra;  // the colour cursor's picture
  };
  cursor_record cursor() const;
  struct tray_record {
    bool shown = false, docked = false;
    ui_tray_icon icon;
  };
  tray_record tray() const;
  // ---- menus, cursor and tray icon (end)

  // Test side.
  // The fake displays (one 1920 x 1080 display with a few modes until set);
  // the first is the primary one, whose desktop mode desktop_mode reports.
  void set_displays(std::vector<headless_display> displays);
  // The next full-screen switches fail (as a driver refusing the mode would).
  void set_fullscreen_fails(bool fails);
  // What the frame adds around a client (left, top, right, bottom; 0 until set).
  void set_frame_extents(int left, int top, int right, int bottom);
  bool window_fullscreen(int window) const;
  ui_display_mode current_mode(int display) const;
  std::vector<ui_rect> window_shape(int window) const;
  struct placement_record {
    int x = 0, y = 0;
    int opacity = 255;
    bool resizable = false, minimised = false, maximised = false, fullscreen = false;
    int min_width = 0, min_height = 0, max_width = 0, max_height = 0;
    ui_stacking stacking = ui_stacking::top;
    int windowed_width = 0, windowed_height = 0;  // the client before full screen
  };
  placement_record placement(int window) const;
  // Boxes are answered by the events queued before they open.
  bool has_user() const override { return false; }
  // The clipboard lives in the process (another HeadlessUi does not see it).
  bool set_clipboard_text(const std::string& sjis) override;
  bool clipboard_text(std::string& sjis) override;
  void start_text_input(int window, int x, int y, int width, int height) override;
  void stop_text_input() override;
  void set_overlay(int window, int slot, const uint8_t* bgra, int width, int height, int x, int y) override;
  void clear_overlay(int window, int slot) override;
  void set_menu_bar(int window, const uint8_t* bgra, int width, int height) override;
  // Answers from queue_folder_reply; cancelled without one.
  bool browse_for_folder(const std::string& initial, const std::string& title, std::string& chosen) override;

  // Test side.
  // What another program put on the clipboard.
  void set_clipboard(const std::string& sjis);
  bool clipboard(std::string& sjis) const;
  bool text_input_on() const;
  // The user types: msg_text_input with the text, or a key pressed and released.
  void type_text(int window, const std::string& sjis);
  void compose_text(int window, const std::string& sjis, int caret);
  void press_key(int window, int virtual_key);
  void click(int window, int x, int y);
  // The window's menu bar picture (width 0 when it has none); the window's
  // frame adds its height at the top.
  headless_frame menu_bar(int window) const;
  // The user clicks the menu bar at (x, y) of the bar: a non-client press
  // and release above the client.
  void click_menu_bar(int window, int x, int y);
  // The next folder chooser answer: the chosen folder, or cancelled.
  void queue_folder_reply(bool chosen, const std::string& folder_sjis = "");
  struct folder_request {
    std::string initial, title;
  };
  std::vector<folder_request> folder_requests() const;
  // A box the player drew over the frame (slot 0 edit box, 1 modal box);
  // width 0 when none.
  headless_frame overlay(int window, int slot, int* x = nullptr, int* y = nullptr) const;
  // Input the next keyboard_state / cursor_position / joystick_state report.
  void set_key(int virtual_key, bool down);
  // The cursor in screen coordinates; a window's client starts at its
  // window_desc x, y (0 when the platform placed it).
  void set_cursor(int screen_x, int screen_y);
  // The user moves the keyboard focus: window `window` gains it (the others
  // lose theirs) or, with -1, another program takes it. Each window whose
  // state changes gets its msg_activate.
  void focus_window(int window);
  // An event that poll_event hands out only once the clock reaches `at_ms`
  // (user actions at a moment of virtual time). Needs attach_clock.
  void post_event_at(uint32_t at_ms, const ui_event& event);
  void focus_window_at(uint32_t at_ms, int window);
  void attach_clock(Clock* clock);
  void set_joystick_count(int count);
  // The fake display's desktop mode (1920 x 1080, 32 bits, 60 Hz until set).
  void set_desktop_mode(int width, int height, int depth, int refresh);
  void set_joystick(int id, const ui_joystick_state& state, bool connected = true);
  // frame() is what the user sees: the presented frame with the player's
  // boxes over it.
  // The user resizes (state 0 restored, 1 minimised, 2 maximised): the client
  // takes the size and a msg_size arrives.
  void user_resize(int window, int width, int height, int state);
  struct box_record {
    std::string caption, text;  // Shift-JIS
    uint32_t flags = 0;
    int answer = 0;
  };
  void queue_reply(int answer);  // next message box / dialog answer
  std::vector<box_record> boxes() const;
  std::vector<std::string> calls() const;  // one line per call, for order checks
  // What the window shows: the presented frame with the overlay over it.
  headless_frame frame(int window) const;
  // The overlay alone; false when none is shown.
  bool overlay(int window, headless_overlay& out) const;
  window_desc window(int window) const;
  bool window_visible(int window) const;

 private:
  mutable std::mutex mutex_;
  std::deque<ui_event> events_;
  struct timed_event {
    uint32_t at_ms = 0;
    bool focus = false;  // a focus move to `event.window` rather than an event
    ui_event event;
  };
  std::vector<timed_event> timed_events_;  // in posting order
  Clock* clock_ = nullptr;
  int focused_window_ = -1;  // -1: another program has the focus
  void move_focus_locked(int window);
  void release_due_events_locked();
  std::deque<int> replies_;
  std::vector<box_record> boxes_;
  std::vector<std::string> calls_;
  std::map<int, window_desc> windows_;
  std::map<int, bool> visible_;
  std::map<int, int> alpha_;
  std::map<int, headless_frame> frames_;
  std::map<int, headless_overlay> movie_overlays_;  // the movie picture (show_overlay)
  std::map<int, uint64_t> overlay_updates_;
  uint8_t keys_[256] = {};
  int cursor_x_ = -100000, cursor_y_ = -100000;
  int joystick_count_ = 0;
  int desktop_[4] = {1920, 1080, 32, 60};
  std::vector<headless_display> displays_;
  std::map<int, ui_display_mode> current_modes_;  // displays switched away from their desktop mode
  std::map<int, placement_record> placements_;
  std::map<int, std::vector<ui_rect>> shapes_;
  bool fullscreen_fails_ = false;
  int frame_[4] = {0, 0, 0, 0};
  void ensure_displays_locked();
  int display_of_window_locked(int window) const;
  ui_joystick_state joysticks_[16];
  bool joystick_connected_[16] = {};
  bool has_clipboard_ = false;
  std::string clipboard_;
  bool text_input_ = false;
  struct overlay_record {
    headless_frame pixels;
    int x = 0, y = 0;
  };
  std::map<std::pair<int, int>, overlay_record> overlays_;
  std::map<int, headless_frame> menu_bars_;
  std::deque<std::pair<bool, std::string>> folder_replies_;
  std::vector<folder_request> folder_requests_;
  cursor_record cursor_;
  std::deque<ui_event> menu_events_;
  tray_record tray_;
  bool tray_manager_ = false;
};

// Owns one headless service of each kind and installs them. The process
// service's program path is game folder + "zarvik" and its per-user folders lie
// under the game folder; libraries are searched in the game folder until the
// test points `libraries` elsewhere. A raise request from a second headless
// start arrives as a msg_raise_request event in `ui`, as with the real Ui.
struct HeadlessPlatform {
  explicit HeadlessPlatform(const std::string& game_folder_host);
  ~HeadlessPlatform();
  HeadlessPlatform(const HeadlessPlatform&) = delete;
  HeadlessPlatform& operator=(const HeadlessPlatform&) = delete;

  Platform services;
  HeadlessClock clock;
  HeadlessUi ui;
  std::unique_ptr<HostFiles> files;
  HeadlessAudioDevice audio{&clock};
  HeadlessProcess process;
  HeadlessLibraries libraries;
  HeadlessSharedMemory shared_memory;
  // The same audio conversion service as the real backend.
  std::unique_ptr<AudioDecoder> audio_decoder;
  // Our own rasteriser unless a run chooses otherwise (set before start-up):
  // frames then do not depend on the machine's GPU.
  StandardGpuSystem gpu{gpu_choice::software};
  NoFlashBackend flash;  // a test may point services.flash at a fake
  PosixMemoryHints memory;  // the real hints: they change only the speed

  // The same FreeType code as the real backend, on the Debian IPA fonts only
  // (so frames do not depend on the machine's other fonts), until a test
  // points it at a fontconfig file of its own.
  std::unique_ptr<FreeTypeFontRasterizer> fonts;
  void use_font_config_file(const std::string& config_file_host);

  // The real FFmpeg player on the headless Ui and mixer; it waits for its
  // decoder, so movie frames and sound follow virtual time exactly.
  std::unique_ptr<FfmpegMoviePlayer> movies;
};
