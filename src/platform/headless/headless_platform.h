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
  int joystick_count() override;
  bool joystick_state(int id, ui_joystick_state& out) override;
  // Boxes are answered by the events queued before they open.
  bool has_user() const override { return false; }
  // The clipboard lives in the process (another HeadlessUi does not see it).
  bool set_clipboard_text(const std::string& sjis) override;
  bool clipboard_text(std::string& sjis) override;
  void start_text_input(int window, int x, int y, int width, int height) override;
  void stop_text_input() override;
  void set_overlay(int window, int slot, const uint8_t* bgra, int width, int height, int x, int y) override;
  void clear_overlay(int window, int slot) override;
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
  void set_joystick_count(int count);
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
  headless_frame frame(int window) const;
  window_desc window(int window) const;
  bool window_visible(int window) const;

 private:
  mutable std::mutex mutex_;
  std::deque<ui_event> events_;
  std::deque<int> replies_;
  std::vector<box_record> boxes_;
  std::vector<std::string> calls_;
  std::map<int, window_desc> windows_;
  std::map<int, bool> visible_;
  std::map<int, headless_frame> frames_;
  uint8_t keys_[256] = {};
  int cursor_x_ = -100000, cursor_y_ = -100000;
  int joystick_count_ = 0;
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
  std::deque<std::pair<bool, std::string>> folder_replies_;
  std::vector<folder_request> folder_requests_;
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

  // The same FreeType code as the real backend, on the Debian IPA fonts only
  // (so frames do not depend on the machine's other fonts), until a test
  // points it at a fontconfig file of its own.
  std::unique_ptr<FreeTypeFontRasterizer> fonts;
  void use_font_config_file(const std::string& config_file_host);
};
