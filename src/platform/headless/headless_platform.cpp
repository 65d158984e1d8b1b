#include "platform/headless/headless_platform.h"

#include "platform/posix/host_files.h"

uint32_t HeadlessClock::tick_ms() {
  std::lock_guard<std::mutex> g(mutex_);
  return now_;
}

void HeadlessClock::sleep_ms(uint32_t ms) { advance(ms); }

local_time HeadlessClock::local_now() {
  std::lock_guard<std::mutex> g(mutex_);
  return local_;
}

void HeadlessClock::advance(uint32_t ms) {
  std::lock_guard<std::mutex> g(mutex_);
  now_ += ms;  // wraps like the real tick
}

void HeadlessClock::set(uint32_t now_ms) {
  std::lock_guard<std::mutex> g(mutex_);
  now_ = now_ms;
}

void HeadlessClock::set_local_time(const local_time& t) {
  std::lock_guard<std::mutex> g(mutex_);
  local_ = t;
}

bool HeadlessUi::create_window(int window, const window_desc& desc) {
  std::lock_guard<std::mutex> g(mutex_);
  windows_[window] = desc;
  visible_[window] = desc.visible;
  calls_.push_back("create_window " + std::to_string(window));
  return true;
}

void HeadlessUi::destroy_window(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  windows_.erase(window);
  visible_.erase(window);
  calls_.push_back("destroy_window " + std::to_string(window));
}

bool HeadlessUi::window_exists(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  return windows_.count(window) != 0;
}

void HeadlessUi::show_window(int window, bool visible) {
  std::lock_guard<std::mutex> g(mutex_);
  visible_[window] = visible;
  calls_.push_back(std::string(visible ? "show_window " : "hide_window ") + std::to_string(window));
}

void HeadlessUi::set_window_title(int window, const std::string& title) {
  std::lock_guard<std::mutex> g(mutex_);
  windows_[window].title = title;
  calls_.push_back("set_window_title " + std::to_string(window));
}

void HeadlessUi::raise_window(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("raise_window " + std::to_string(window));
}

void HeadlessUi::present(int window, const uint8_t* bgra, int width, int height, int stride, int dst_x, int dst_y) {
  std::lock_guard<std::mutex> g(mutex_);
  const window_desc& desc = windows_[window];
  headless_frame& f = frames_[window];
  if (f.width != desc.width || f.height != desc.height) {
    f.width = desc.width;
    f.height = desc.height;
    f.bgra.assign(static_cast<size_t>(f.width) * f.height * 4, 0);
  }
  for (int y = 0; y < height; ++y) {
    int ty = dst_y + y;
    if (ty < 0 || ty >= f.height) continue;
    for (int x = 0; x < width; ++x) {
      int tx = dst_x + x;
      if (tx < 0 || tx >= f.width) continue;
      const uint8_t* s = bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4;
      uint8_t* d = f.bgra.data() + (static_cast<size_t>(ty) * f.width + tx) * 4;
      d[0] = s[0], d[1] = s[1], d[2] = s[2], d[3] = s[3];
    }
  }
}

bool HeadlessUi::poll_event(ui_event& out) {
  std::lock_guard<std::mutex> g(mutex_);
  if (events_.empty()) return false;
  out = std::move(events_.front());
  events_.pop_front();
  return true;
}

void HeadlessUi::post_event(const ui_event& event) {
  std::lock_guard<std::mutex> g(mutex_);
  events_.push_back(event);
}

int HeadlessUi::message_box(const std::string& caption, const std::string& text, uint32_t flags) {
  std::lock_guard<std::mutex> g(mutex_);
  int answer;
  if (!replies_.empty()) {
    answer = replies_.front();
    replies_.pop_front();
  } else {
    // Unscripted boxes take their first button.
    uint32_t kind = flags & 0xF;
    answer = (kind == mb_yes_no || kind == mb_yes_no_cancel) ? id_yes : id_ok;
  }
  boxes_.push_back({caption, text, flags, answer});
  calls_.push_back("message_box");
  return answer;
}

int HeadlessUi::error_dialog(const std::string& title, const std::string& text, bool offer_edit) {
  std::lock_guard<std::mutex> g(mutex_);
  int answer = 0;
  if (!replies_.empty()) {
    answer = replies_.front();
    replies_.pop_front();
  }
  if (!offer_edit) answer = 0;
  boxes_.push_back({title, text, offer_edit ? 1u : 0u, answer});
  calls_.push_back("error_dialog");
  return answer;
}

bool HeadlessUi::client_size(int window, int* width, int* height) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return false;
  *width = it->second.width;
  *height = it->second.height;
  return true;
}

void HeadlessUi::set_client_size(int window, int width, int height) {
  user_resize(window, width, height, 0);
}

void HeadlessUi::user_resize(int window, int width, int height, int state) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  it->second.width = width;
  it->second.height = height;
  calls_.push_back("resize " + std::to_string(window) + " " + std::to_string(width) + "x" + std::to_string(height));
  ui_event e;
  e.message = msg_size;
  e.window = window;
  e.wparam = static_cast<uint64_t>(state);
  e.x = width;
  e.y = height;
  e.lparam = (width & 0xFFFF) | (static_cast<int64_t>(height & 0xFFFF) << 16);
  events_.push_back(e);
}

void HeadlessUi::invalidate(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  ui_event e;
  e.message = msg_paint;
  e.window = window;
  events_.push_back(e);
}

void HeadlessUi::restore_window(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("restore_window " + std::to_string(window));
}

void HeadlessUi::begin_window_drag(int window, int x, int y) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("begin_window_drag " + std::to_string(window) + " " + std::to_string(x) + " " + std::to_string(y));
}

void HeadlessUi::set_cursor_visible(bool visible) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back(visible ? "show_cursor" : "hide_cursor");
}

void HeadlessUi::keyboard_state(uint8_t out[256]) {
  std::lock_guard<std::mutex> g(mutex_);
  for (int i = 0; i < 256; ++i) out[i] = keys_[i];
}

bool HeadlessUi::cursor_position(int window, int* x, int* y) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return false;
  *x = cursor_x_ - (it->second.x < 0 ? 0 : it->second.x);
  *y = cursor_y_ - (it->second.y < 0 ? 0 : it->second.y);
  return true;
}

int HeadlessUi::joystick_count() {
  std::lock_guard<std::mutex> g(mutex_);
  return joystick_count_;
}

bool HeadlessUi::joystick_state(int id, ui_joystick_state& out) {
  std::lock_guard<std::mutex> g(mutex_);
  if (id < 0 || id >= 16 || id >= joystick_count_ || !joystick_connected_[id]) return false;
  out = joysticks_[id];
  return true;
}

void HeadlessUi::set_key(int virtual_key, bool down) {
  std::lock_guard<std::mutex> g(mutex_);
  if (virtual_key >= 0 && virtual_key < 256) keys_[virtual_key] = down ? 0x80 : 0;
}

void HeadlessUi::set_cursor(int screen_x, int screen_y) {
  std::lock_guard<std::mutex> g(mutex_);
  cursor_x_ = screen_x;
  cursor_y_ = screen_y;
}

void HeadlessUi::set_joystick_count(int count) {
  std::lock_guard<std::mutex> g(mutex_);
  joystick_count_ = count < 0 ? 0 : count > 16 ? 16 : count;
}

void HeadlessUi::set_joystick(int id, const ui_joystick_state& state, bool connected) {
  std::lock_guard<std::mutex> g(mutex_);
  if (id < 0 || id >= 16) return;
  joysticks_[id] = state;
  joystick_connected_[id] = connected;
}

void HeadlessUi::queue_reply(int answer) {
  std::lock_guard<std::mutex> g(mutex_);
  replies_.push_back(answer);
}

std::vector<HeadlessUi::box_record> HeadlessUi::boxes() const {
  std::lock_guard<std::mutex> g(mutex_);
  return boxes_;
}

std::vector<std::string> HeadlessUi::calls() const {
  std::lock_guard<std::mutex> g(mutex_);
  return calls_;
}

headless_frame HeadlessUi::frame(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = frames_.find(window);
  if (it == frames_.end()) return headless_frame{};
  headless_frame f = it->second;
  for (const auto& [key, o] : overlays_) {
    if (key.first != window) continue;
    for (int y = 0; y < o.pixels.height; ++y) {
      int ty = o.y + y;
      if (ty < 0 || ty >= f.height) continue;
      for (int x = 0; x < o.pixels.width; ++x) {
        int tx = o.x + x;
        if (tx < 0 || tx >= f.width) continue;
        const uint8_t* s = o.pixels.bgra.data() + (static_cast<size_t>(y) * o.pixels.width + x) * 4;
        uint8_t* d = f.bgra.data() + (static_cast<size_t>(ty) * f.width + tx) * 4;
        d[0] = s[0], d[1] = s[1], d[2] = s[2], d[3] = s[3];
      }
    }
  }
  return f;
}

bool HeadlessUi::set_clipboard_text(const std::string& sjis) {
  std::lock_guard<std::mutex> g(mutex_);
  clipboard_ = sjis;
  has_clipboard_ = true;
  calls_.push_back("set_clipboard_text");
  return true;
}

bool HeadlessUi::clipboard_text(std::string& sjis) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("clipboard_text");
  if (!has_clipboard_) return false;
  sjis = clipboard_;
  return true;
}

void HeadlessUi::start_text_input(int window, int x, int y, int width, int height) {
  std::lock_guard<std::mutex> g(mutex_);
  text_input_ = true;
  calls_.push_back("start_text_input " + std::to_string(window) + " " + std::to_string(x) + " " + std::to_string(y) +
                   " " + std::to_string(width) + "x" + std::to_string(height));
}

void HeadlessUi::stop_text_input() {
  std::lock_guard<std::mutex> g(mutex_);
  text_input_ = false;
  calls_.push_back("stop_text_input");
}

void HeadlessUi::set_overlay(int window, int slot, const uint8_t* bgra, int width, int height, int x, int y) {
  if (!bgra || width <= 0 || height <= 0) return;
  std::lock_guard<std::mutex> g(mutex_);
  overlay_record& o = overlays_[{window, slot}];
  o.pixels.width = width;
  o.pixels.height = height;
  o.pixels.bgra.assign(bgra, bgra + static_cast<size_t>(width) * height * 4);
  o.x = x;
  o.y = y;
}

void HeadlessUi::clear_overlay(int window, int slot) {
  std::lock_guard<std::mutex> g(mutex_);
  if (overlays_.erase({window, slot})) calls_.push_back("clear_overlay " + std::to_string(window) + " " + std::to_string(slot));
}

bool HeadlessUi::browse_for_folder(const std::string& initial, const std::string& title, std::string& chosen) {
  std::lock_guard<std::mutex> g(mutex_);
  folder_requests_.push_back({initial, title});
  calls_.push_back("browse_for_folder");
  if (folder_replies_.empty()) return false;
  auto reply = folder_replies_.front();
  folder_replies_.pop_front();
  if (reply.first) chosen = reply.second;
  return reply.first;
}

void HeadlessUi::set_clipboard(const std::string& sjis) {
  std::lock_guard<std::mutex> g(mutex_);
  clipboard_ = sjis;
  has_clipboard_ = true;
}

bool HeadlessUi::clipboard(std::string& sjis) const {
  std::lock_guard<std::mutex> g(mutex_);
  sjis = clipboard_;
  return has_clipboard_;
}

bool HeadlessUi::text_input_on() const {
  std::lock_guard<std::mutex> g(mutex_);
  return text_input_;
}

void HeadlessUi::type_text(int window, const std::string& sjis) {
  ui_event e;
  e.message = msg_text_input;
  e.window = window;
  e.text = sjis;
  post_event(e);
}

void HeadlessUi::compose_text(int window, const std::string& sjis, int caret) {
  ui_event e;
  e.message = msg_text_editing;
  e.window = window;
  e.text = sjis;
  e.x = caret;
  post_event(e);
}

void HeadlessUi::press_key(int window, int virtual_key) {
  ui_event e;
  e.window = window;
  e.wparam = static_cast<uint64_t>(virtual_key);
  e.message = msg_key_down;
  e.lparam = 1;
  post_event(e);
  e.message = msg_key_up;
  e.lparam = static_cast<int64_t>(1 | (1ull << 30) | (1ull << 31));
  post_event(e);
}

void HeadlessUi::click(int window, int x, int y) {
  ui_event e;
  e.window = window;
  e.x = x;
  e.y = y;
  e.lparam = (x & 0xFFFF) | (static_cast<int64_t>(y & 0xFFFF) << 16);
  e.message = msg_left_button_down;
  e.wparam = 1;
  post_event(e);
  e.message = msg_left_button_up;
  e.wparam = 0;
  post_event(e);
}

void HeadlessUi::queue_folder_reply(bool chosen, const std::string& folder_sjis) {
  std::lock_guard<std::mutex> g(mutex_);
  folder_replies_.push_back({chosen, folder_sjis});
}

std::vector<HeadlessUi::folder_request> HeadlessUi::folder_requests() const {
  std::lock_guard<std::mutex> g(mutex_);
  return folder_requests_;
}

headless_frame HeadlessUi::overlay(int window, int slot, int* x, int* y) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = overlays_.find({window, slot});
  if (it == overlays_.end()) return headless_frame{};
  if (x) *x = it->second.x;
  if (y) *y = it->second.y;
  return it->second.pixels;
}

window_desc HeadlessUi::window(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = windows_.find(window);
  return it == windows_.end() ? window_desc{} : it->second;
}

bool HeadlessUi::window_visible(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = visible_.find(window);
  return it != visible_.end() && it->second;
}

namespace {
std::string folder_with_slash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}
}  // namespace

HeadlessPlatform::HeadlessPlatform(const std::string& game_folder_host)
    : files(std::make_unique<PosixHostFiles>(game_folder_host)),
      process(folder_with_slash(game_folder_host) + "zarvik"),
      libraries(folder_with_slash(game_folder_host)),
      fonts(std::make_unique<FreeTypeFontRasterizer>(FreeTypeFontRasterizer::config_source::text,
                                                     FreeTypeFontRasterizer::ipa_fonts_config_text())) {
  services.clock = &clock;
  services.fonts = fonts.get();
  services.ui = &ui;
  services.files = files.get();
  services.audio = &audio;
  services.process = &process;
  services.libraries = &libraries;
  process.set_raise_listener([this] {
    ui_event e;
    e.message = msg_raise_request;
    ui.post_event(e);
  });
  install_platform(&services);
}

void HeadlessPlatform::use_font_config_file(const std::string& config_file_host) {
  fonts = std::make_unique<FreeTypeFontRasterizer>(FreeTypeFontRasterizer::config_source::file, config_file_host);
  services.fonts = fonts.get();
}

HeadlessPlatform::~HeadlessPlatform() {
  process.set_raise_listener({});
  process.release_single_instance();
  if (platform_installed() && &platform() == &services) install_platform(nullptr);
}
