// The headless backend: runs the real engine on virtual time, answers every
// dialog from a script of replies and keeps every presented frame as pixels.
#pragma once
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/freetype/freetype_fonts.h"
#include "platform/headless/headless_audio.h"
#include "platform/headless/headless_process.h"
#include "platform/posix/no_flash.h"
#include "platform/platform.h"

// Virtual time: tick_ms() returns the virtual now; sleep_ms() advances it, so
// paced loops run at full speed with exact frame timing.
class HeadlessClock final : public Clock {
 public:
  uint32_t tick_ms() override;
  void sleep_ms(uint32_t ms) override;
  local_time local_now() override;
  void advance(uint32_t ms);
  void set(uint32_t now_ms);
  void set_local_time(const local_time& t);

 private:
  mutable std::mutex mutex_;
  uint32_t now_ = 0;
  local_time local_{2026, 1, 2, 3, 4, 5, 0, 5};
};

struct headless_frame {
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;  // width * 4 bytes per row
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
  void set_cursor_visible(bool visible) override;
  void keyboard_state(uint8_t out[256]) override;
  bool cursor_position(int window, int* x, int* y) override;
  bool screen_cursor_position(int* x, int* y) override;
  void block_screen_saver(bool blocked) override;
  int joystick_count() override;
  bool desktop_mode(int* width, int* height, int* depth, int* refresh) override;
  bool joystick_state(int id, ui_joystick_state& out) override;
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
  headless_frame frame(int window) const;
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
  std::map<int, headless_frame> frames_;
  uint8_t keys_[256] = {};
  int cursor_x_ = -100000, cursor_y_ = -100000;
  int joystick_count_ = 0;
  int desktop_[4] = {1920, 1080, 32, 60};
  ui_joystick_state joysticks_[16];
  bool joystick_connected_[16] = {};
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
  NoFlashBackend flash;  // a test may point services.flash at a fake

  // The same FreeType code as the real backend, on the Debian IPA fonts only
  // (so frames do not depend on the machine's other fonts), until a test
  // points it at a fontconfig file of its own.
  std::unique_ptr<FreeTypeFontRasterizer> fonts;
  void use_font_config_file(const std::string& config_file_host);
};
