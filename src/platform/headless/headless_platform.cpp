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
  if (focused_window_ == window) focused_window_ = -1;  // no message to a window that is gone
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
  // As on a desktop: a window shown takes the focus, a hidden one gives it up.
  if (visible)
    move_focus_locked(window);
  else if (focused_window_ == window)
    move_focus_locked(-1);
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

void HeadlessUi::move_focus_locked(int window) {
  if (focused_window_ == window) return;
  auto activation = [&](int target, uint64_t active) {
    if (target < 0 || !windows_.count(target)) return;
    ui_event e;
    e.message = msg_activate;
    e.window = target;
    e.wparam = active;
    events_.push_back(e);
  };
  activation(focused_window_, 0);
  focused_window_ = window;
  activation(window, 1);
}

void HeadlessUi::release_due_events_locked() {
  if (!clock_ || timed_events_.empty()) return;
  const uint32_t now = clock_->tick_ms();
  auto due = [&](const timed_event& t) { return static_cast<int32_t>(now - t.at_ms) >= 0; };
  std::vector<timed_event> later;
  for (timed_event& t : timed_events_) {
    if (!due(t)) {
      later.push_back(std::move(t));
    } else if (t.focus) {
      move_focus_locked(t.event.window);
    } else {
      events_.push_back(std::move(t.event));
    }
  }
  timed_events_ = std::move(later);
}

void HeadlessUi::focus_window(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  move_focus_locked(window);
}

void HeadlessUi::post_event_at(uint32_t at_ms, const ui_event& event) {
  std::lock_guard<std::mutex> g(mutex_);
  timed_events_.push_back({at_ms, false, event});
}

void HeadlessUi::focus_window_at(uint32_t at_ms, int window) {
  std::lock_guard<std::mutex> g(mutex_);
  timed_event t;
  t.at_ms = at_ms;
  t.focus = true;
  t.event.window = window;
  timed_events_.push_back(t);
}

void HeadlessUi::attach_clock(Clock* clock) {
  std::lock_guard<std::mutex> g(mutex_);
  clock_ = clock;
}

bool HeadlessUi::poll_event(ui_event& out) {
  std::lock_guard<std::mutex> g(mutex_);
  release_due_events_locked();
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
  cursor_.visible = visible;
}

// ---- menus, cursor and tray icon (begin)
void HeadlessUi::warp_cursor(int window, int x, int y) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  cursor_x_ = x + (it->second.x < 0 ? 0 : it->second.x);
  cursor_y_ = y + (it->second.y < 0 ? 0 : it->second.y);
  calls_.push_back("warp_cursor " + std::to_string(x) + " " + std::to_string(y));
}

void HeadlessUi::set_system_cursor(int shape) {
  std::lock_guard<std::mutex> g(mutex_);
  cursor_.shape = shape;
  cursor_.bgra.clear();
  calls_.push_back("system_cursor " + std::to_string(shape));
}

bool HeadlessUi::set_colour_cursor(const uint8_t* bgra, int width, int height, int hot_x, int hot_y) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!bgra || width <= 0 || height <= 0 || hot_x < 0 || hot_y < 0 || hot_x >= width || hot_y >= height)
    return false;
  cursor_.shape = -1;
  cursor_.width = width;
  cursor_.height = height;
  cursor_.hot_x = hot_x;
  cursor_.hot_y = hot_y;
  cursor_.bgra.assign(bgra, bgra + static_cast<size_t>(width) * 4 * static_cast<size_t>(height));
  calls_.push_back("colour_cursor");
  return true;
}

int HeadlessUi::show_tray_icon(const ui_tray_icon& icon) {
  std::lock_guard<std::mutex> g(mutex_);
  tray_.shown = true;
  tray_.icon = icon;
  tray_.docked = tray_manager_;
  calls_.push_back("show_tray_icon");
  return tray_manager_ ? tray_docked : tray_no_manager;
}

void HeadlessUi::remove_tray_icon() {
  std::lock_guard<std::mutex> g(mutex_);
  tray_ = tray_record{};
  calls_.push_back("remove_tray_icon");
}

bool HeadlessUi::poll_menu_event(ui_event& out) {
  std::lock_guard<std::mutex> g(mutex_);
  if (menu_events_.empty()) return false;
  out = menu_events_.front();
  menu_events_.pop_front();
  return true;
}

void HeadlessUi::queue_menu_event(const ui_event& event) {
  std::lock_guard<std::mutex> g(mutex_);
  menu_events_.push_back(event);
}

void HeadlessUi::set_tray_manager(bool present) {
  std::lock_guard<std::mutex> g(mutex_);
  tray_manager_ = present;
}

HeadlessUi::cursor_record HeadlessUi::cursor() const {
  std::lock_guard<std::mutex> g(mutex_);
  return cursor_;
}

HeadlessUi::tray_record HeadlessUi::tray() const {
  std::lock_guard<std::mutex> g(mutex_);
  return tray_;
}
// ---- menus, cursor and tray icon (end)

void HeadlessUi::keyboard_state(uint8_t out[256]) {
  std::lock_guard<std::mutex> g(mutex_);
  for (int i = 0; i < 256; ++i) out[i] = keys_[i];
}

bool HeadlessUi::screen_cursor_position(int* x, int* y) {
  std::lock_guard<std::mutex> g(mutex_);
  *x = cursor_x_;
  *y = cursor_y_;
  return true;
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
  return it == frames_.end() ? headless_frame{} : it->second;
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
  ui.attach_clock(&clock);
  services.fonts = fonts.get();
  services.ui = &ui;
  services.files = files.get();
  services.audio = &audio;
  services.process = &process;
  services.libraries = &libraries;
  services.shared_memory = &shared_memory;
  services.flash = &flash;
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

bool HeadlessUi::desktop_mode(int* width, int* height, int* depth, int* refresh) {
  std::lock_guard<std::mutex> lock(mutex_);
  *width = desktop_[0];
  *height = desktop_[1];
  *depth = desktop_[2];
  *refresh = desktop_[3];
  return true;
}

void HeadlessUi::set_desktop_mode(int width, int height, int depth, int refresh) {
  std::lock_guard<std::mutex> lock(mutex_);
  desktop_[0] = width;
  desktop_[1] = height;
  desktop_[2] = depth;
  desktop_[3] = refresh;
}

void HeadlessUi::block_screen_saver(bool blocked) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back(blocked ? "block_screen_saver" : "allow_screen_saver");
}
