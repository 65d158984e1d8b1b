#include "platform/headless/headless_platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/ffmpeg/ffmpeg_audio_decoder.h"

#include "platform/posix/host_files.h"

uint32_t HeadlessClock::tick_ms() {
  std::lock_guard<std::mutex> g(mutex_);
  return base_ + static_cast<uint32_t>(elapsed_);
}

void HeadlessClock::sleep_ms(uint32_t ms) { advance(ms); }

void HeadlessClock::set_followed(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  followed_ = on;
}

void HeadlessClock::begin_following() {
  std::lock_guard<std::mutex> g(mutex_);
  if (!followed_ || followers_.count(std::this_thread::get_id())) return;
  followers_[std::this_thread::get_id()] = follower{};
  ++running_;
}

void HeadlessClock::end_following() {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = followers_.find(std::this_thread::get_id());
  if (it == followers_.end()) return;
  if (!it->second.waiting) --running_;
  followers_.erase(it);
  changed_.notify_all();
}

void HeadlessClock::follow_sleep_ms(uint32_t ms) {
  std::unique_lock<std::mutex> l(mutex_);
  auto it = followers_.find(std::this_thread::get_id());
  if (it == followers_.end()) {
    // Not following: real time, so the clock never moves from here.
    l.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  follower& f = it->second;
  f.wake = f.woken ? elapsed_ : elapsed_ + (ms ? ms : 1);
  f.woken = false;
  f.waiting = true;
  --running_;
  changed_.notify_all();
  changed_.wait(l, [&] { return !f.waiting; });
}

void HeadlessClock::wait_step_ms(uint32_t ms) {
  bool followed;
  {
    // With no thread following, nothing a waiter waits for moves with the
    // clock: it waits in real time and leaves the clock alone.
    std::lock_guard<std::mutex> g(mutex_);
    followed = followed_ && !followers_.empty();
  }
  if (followed) {
    advance(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

void HeadlessClock::wake_followers() {
  std::lock_guard<std::mutex> g(mutex_);
  // Due at this very instant: the next move of the clock (a wait step of 0
  // too) runs them before time goes on.
  for (auto& [id, f] : followers_) {
    if (f.waiting)
      f.wake = std::min(f.wake, elapsed_);
    else
      f.woken = true;
  }
}

local_time HeadlessClock::local_now() {
  std::lock_guard<std::mutex> g(mutex_);
  return local_;
}

void HeadlessClock::advance(uint32_t ms) {
  std::unique_lock<std::mutex> l(mutex_);
  const uint64_t target = elapsed_ + ms;
  for (;;) {
    // Followers that are awake finish their work at this instant first.
    changed_.wait(l, [&] { return running_ == 0; });
    uint64_t next = target;
    for (const auto& [id, f] : followers_)
      if (f.waiting && f.wake < next) next = f.wake;
    if (next > elapsed_) elapsed_ = next;
    bool woke = false;
    for (auto& [id, f] : followers_)
      if (f.waiting && f.wake <= elapsed_) {
        f.waiting = false;
        ++running_;
        woke = true;
      }
    if (!woke) {
      if (elapsed_ >= target) return;
      continue;
    }
    changed_.notify_all();
  }
}

void HeadlessClock::set(uint32_t now_ms) {
  std::lock_guard<std::mutex> g(mutex_);
  base_ = now_ms - static_cast<uint32_t>(elapsed_);
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
  placements_.erase(window);
  shapes_.erase(window);
  menu_bars_.erase(window);
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
  auto p = placements_.find(window);
  if (p != placements_.end()) p->second.minimised = false;
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
  // A size message tells the size the window has when it is read, as a real
  // window system's query would: one queued before a later change is not stale.
  if (out.message == msg_size) {
    auto it = windows_.find(out.window);
    if (it != windows_.end()) {
      out.x = it->second.width, out.y = it->second.height;
      out.lparam = (out.x & 0xFFFF) | (static_cast<int64_t>(out.y & 0xFFFF) << 16);
    }
  }
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
  auto p = placements_.find(window);
  if (p != placements_.end()) p->second.minimised = p->second.maximised = false;
}

void HeadlessUi::set_window_alpha(int window, int alpha) {
  std::lock_guard<std::mutex> g(mutex_);
  alpha_[window] = alpha;
  calls_.push_back("set_window_alpha " + std::to_string(window) + " " + std::to_string(alpha));
}

int HeadlessUi::window_alpha(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = alpha_.find(window);
  return it == alpha_.end() ? 256 : it->second;
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
  headless_frame f = it == frames_.end() ? headless_frame{} : it->second;
  // The movie picture over the frame (over the window when nothing was
  // presented yet), then the player's own boxes over both.
  auto m = movie_overlays_.find(window);
  if (m != movie_overlays_.end()) {
    if (f.width <= 0 || f.height <= 0) {
      auto w = windows_.find(window);
      if (w == windows_.end()) return f;
      f.width = w->second.width;
      f.height = w->second.height;
      f.bgra.assign(static_cast<size_t>(f.width) * f.height * 4, 0);
    }
    const headless_frame& p = m->second.picture;
    for (int y = 0; y < p.height; ++y) {
      int ty = m->second.y + y;
      if (ty < 0 || ty >= f.height) continue;
      for (int x = 0; x < p.width; ++x) {
        int tx = m->second.x + x;
        if (tx < 0 || tx >= f.width) continue;
        std::memcpy(f.bgra.data() + (static_cast<size_t>(ty) * f.width + tx) * 4,
                    p.bgra.data() + (static_cast<size_t>(y) * p.width + x) * 4, 4);
      }
    }
  }
  if (f.width <= 0 || f.height <= 0) return f;
  for (const auto& [key, o] : overlays_) {
    if (key.first != window) continue;
    for (int y = 0; y < o.pixels.height; ++y) {
      int ty = o.y + y;
      if (ty < 0 || ty >= f.height) continue;
      for (int x = 0; x < o.pixels.width; ++x) {
        int tx = o.x + x;
        if (tx < 0 || tx >= f.width) continue;
        const uint8_t* src = o.pixels.bgra.data() + (static_cast<size_t>(y) * o.pixels.width + x) * 4;
        uint8_t* d = f.bgra.data() + (static_cast<size_t>(ty) * f.width + tx) * 4;
        d[0] = src[0], d[1] = src[1], d[2] = src[2], d[3] = src[3];
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

void HeadlessUi::set_menu_bar(int window, const uint8_t* bgra, int width, int height) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!windows_.count(window)) return;
  if (!bgra || width <= 0 || height <= 0) {
    if (menu_bars_.erase(window)) calls_.push_back("menu_bar " + std::to_string(window) + " none");
    return;
  }
  headless_frame& f = menu_bars_[window];
  if (f.height != height) calls_.push_back("menu_bar " + std::to_string(window) + " " + std::to_string(height));
  f.width = width;
  f.height = height;
  f.bgra.assign(bgra, bgra + static_cast<size_t>(width) * height * 4);
}

headless_frame HeadlessUi::menu_bar(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = menu_bars_.find(window);
  return it == menu_bars_.end() ? headless_frame{} : it->second;
}

void HeadlessUi::click_menu_bar(int window, int x, int y) {
  int rows = 0;
  {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = menu_bars_.find(window);
    if (it != menu_bars_.end()) rows = it->second.height;
  }
  ui_event e;
  e.window = window;
  e.x = x;
  e.y = y - rows;
  e.lparam = (x & 0xFFFF) | (static_cast<int64_t>(e.y & 0xFFFF) << 16);
  e.wparam = hit_menu;
  e.message = msg_nc_left_button_down;
  post_event(e);
  e.message = msg_nc_left_button_up;
  post_event(e);
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

void HeadlessUi::show_overlay(int window, const uint8_t* bgra, int width, int height, int stride, int x, int y) {
  if (!bgra || width <= 0 || height <= 0 || stride < width * 4) return;
  std::lock_guard<std::mutex> g(mutex_);
  headless_overlay& o = movie_overlays_[window];
  o.x = x;
  o.y = y;
  o.picture.width = width;
  o.picture.height = height;
  o.picture.bgra.resize(static_cast<size_t>(width) * height * 4);
  for (int row = 0; row < height; ++row)
    std::memcpy(o.picture.bgra.data() + static_cast<size_t>(row) * width * 4, bgra + static_cast<size_t>(row) * stride,
                static_cast<size_t>(width) * 4);
  o.updates = ++overlay_updates_[window];
}

void HeadlessUi::clear_overlay(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  if (movie_overlays_.erase(window)) calls_.push_back("clear_overlay " + std::to_string(window));
}

bool HeadlessUi::overlay(int window, headless_overlay& out) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = movie_overlays_.find(window);
  if (it == movie_overlays_.end()) return false;
  out = it->second;
  return true;
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
  audio_decoder = make_ffmpeg_audio_decoder();
  services.audio_decoder = audio_decoder.get();
  services.gpu = &gpu;
  ffmpeg_movie_options movie_options;
  movie_options.wait_for_decoder = true;
  movies = std::make_unique<FfmpegMoviePlayer>(&ui, &audio, &clock, movie_options);
  services.movies = movies.get();
  services.flash = &flash;
  services.memory = &memory;
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
  movies.reset();
  process.set_raise_listener({});
  process.release_single_instance();
  if (platform_installed() && &platform() == &services) install_platform(nullptr);
}

bool HeadlessUi::desktop_mode(int* width, int* height, int* depth, int* refresh) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!displays_.empty()) {
    const ui_display_mode& m = displays_[0].desktop;
    desktop_[0] = m.width, desktop_[1] = m.height, desktop_[2] = m.depth, desktop_[3] = m.refresh;
  }
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
  displays_.clear();  // the default display follows the desktop mode
}

void HeadlessUi::block_screen_saver(bool blocked) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back(blocked ? "block_screen_saver" : "allow_screen_saver");
}

// ---------------------------------------------------------------- displays and placement

bool parse_headless_display(const std::string& text, headless_display& out) {
  out = headless_display{};
  int w = 0, h = 0, x = 0, y = 0, used = 0;
  const char* s = text.c_str();
  if (std::sscanf(s, "%dx%d%n", &w, &h, &used) != 2 || w <= 0 || h <= 0) return false;
  s += used;
  if (*s == '+' || *s == '-') {
    if (std::sscanf(s, "%d%d%n", &x, &y, &used) != 2) return false;
    s += used;
  }
  // Sizes and places a desktop could have; anything else is a typing error.
  auto fits = [](int v, int limit) { return v >= -limit && v <= limit; };
  if (w > 65535 || h > 65535 || !fits(x, 1000000) || !fits(y, 1000000)) return false;
  out.info.bounds = {x, y, w, h};
  out.info.usable = {x, y, w, h > 40 ? h - 40 : h};
  out.desktop = {w, h, 32, 60};
  out.modes.push_back(out.desktop);
  if (*s == '@') {
    ++s;
    while (*s) {
      int mw = 0, mh = 0;
      if (std::sscanf(s, "%dx%d%n", &mw, &mh, &used) != 2 || mw <= 0 || mh <= 0 || mw > 65535 || mh > 65535)
        return false;
      out.modes.push_back({mw, mh, 32, 60});
      s += used;
      if (*s == ',') ++s;
      else if (*s) return false;
    }
  } else if (*s) {
    return false;
  }
  return true;
}

void HeadlessUi::ensure_displays_locked() {
  if (!displays_.empty()) return;
  headless_display d;
  d.info.bounds = {0, 0, desktop_[0], desktop_[1]};
  d.info.usable = {0, 0, desktop_[0], desktop_[1] > 40 ? desktop_[1] - 40 : desktop_[1]};
  d.info.name = "Headless Display";
  d.desktop = {desktop_[0], desktop_[1], desktop_[2], desktop_[3]};
  d.modes = {d.desktop, {1280, 720, 32, 60}, {1024, 768, 32, 60}, {800, 600, 32, 60}, {640, 480, 32, 60}};
  displays_.push_back(d);
}

int HeadlessUi::display_of_window_locked(int window) const {
  auto it = windows_.find(window);
  if (it == windows_.end()) return -1;
  auto p = placements_.find(window);
  int x = p != placements_.end() ? p->second.x : std::max(0, it->second.x);
  int y = p != placements_.end() ? p->second.y : std::max(0, it->second.y);
  int cx = x + it->second.width / 2, cy = y + it->second.height / 2;
  for (size_t i = 0; i < displays_.size(); ++i) {
    const ui_rect& b = displays_[i].info.bounds;
    if (cx >= b.x && cy >= b.y && cx < b.x + b.width && cy < b.y + b.height) return static_cast<int>(i);
  }
  return 0;  // the nearest: the primary one
}

void HeadlessUi::set_displays(std::vector<headless_display> displays) {
  std::lock_guard<std::mutex> g(mutex_);
  displays_ = std::move(displays);
  current_modes_.clear();
  if (!displays_.empty()) {
    const ui_display_mode& m = displays_[0].desktop;
    desktop_[0] = m.width, desktop_[1] = m.height, desktop_[2] = m.depth, desktop_[3] = m.refresh;
  }
}

void HeadlessUi::set_fullscreen_fails(bool fails) {
  std::lock_guard<std::mutex> g(mutex_);
  fullscreen_fails_ = fails;
}

void HeadlessUi::set_frame_extents(int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> g(mutex_);
  frame_[0] = left, frame_[1] = top, frame_[2] = right, frame_[3] = bottom;
}

int HeadlessUi::display_count() {
  std::lock_guard<std::mutex> g(mutex_);
  ensure_displays_locked();
  return static_cast<int>(displays_.size());
}

bool HeadlessUi::display_info(int display, ui_display& out) {
  std::lock_guard<std::mutex> g(mutex_);
  ensure_displays_locked();
  if (display < 0 || display >= static_cast<int>(displays_.size())) return false;
  out = displays_[display].info;
  return true;
}

int HeadlessUi::display_mode_count(int display) {
  std::lock_guard<std::mutex> g(mutex_);
  ensure_displays_locked();
  if (display < 0 || display >= static_cast<int>(displays_.size())) return 0;
  return static_cast<int>(displays_[display].modes.size());
}

bool HeadlessUi::display_mode(int display, int index, ui_display_mode& out) {
  std::lock_guard<std::mutex> g(mutex_);
  ensure_displays_locked();
  if (display < 0 || display >= static_cast<int>(displays_.size())) return false;
  const auto& modes = displays_[display].modes;
  if (index < 0 || index >= static_cast<int>(modes.size())) return false;
  out = modes[index];
  return true;
}

int HeadlessUi::window_display(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  ensure_displays_locked();
  return display_of_window_locked(window);
}

bool HeadlessUi::enter_fullscreen(int window, int display, const ui_display_mode* mode) {
  std::lock_guard<std::mutex> g(mutex_);
  ensure_displays_locked();
  std::string line = "enter_fullscreen " + std::to_string(window) + " display " + std::to_string(display);
  line += mode ? " mode " + std::to_string(mode->width) + "x" + std::to_string(mode->height) + "x" +
                     std::to_string(mode->depth)
               : std::string(" desktop");
  calls_.push_back(line);
  auto it = windows_.find(window);
  if (fullscreen_fails_ || it == windows_.end() || display < 0 || display >= static_cast<int>(displays_.size()))
    return false;
  if (mode) {
    bool offered = false;
    for (const ui_display_mode& m : displays_[display].modes)
      offered |= m.width == mode->width && m.height == mode->height && m.depth == mode->depth;
    if (!offered) return false;
    current_modes_[display] = *mode;
  }
  placement_record& p = placements_[window];
  const ui_rect& b = displays_[display].info.bounds;
  if (!p.fullscreen) p.windowed_width = it->second.width, p.windowed_height = it->second.height;
  p.fullscreen = true;
  p.x = b.x, p.y = b.y;
  int w = mode ? mode->width : b.width, h = mode ? mode->height : b.height;
  it->second.width = w;
  it->second.height = h;
  ui_event e;
  e.message = msg_size;
  e.window = window;
  e.x = w, e.y = h;
  e.lparam = (w & 0xFFFF) | (static_cast<int64_t>(h & 0xFFFF) << 16);
  events_.push_back(e);
  return true;
}

bool HeadlessUi::leave_fullscreen(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("leave_fullscreen " + std::to_string(window));
  auto p = placements_.find(window);
  if (p == placements_.end() || !p->second.fullscreen) return false;
  p->second.fullscreen = false;
  current_modes_.clear();
  auto it = windows_.find(window);
  if (it != windows_.end() && p->second.windowed_width > 0) {
    it->second.width = p->second.windowed_width;
    it->second.height = p->second.windowed_height;
    ui_event e;
    e.message = msg_size;
    e.window = window;
    e.x = it->second.width, e.y = it->second.height;
    events_.push_back(e);
  }
  return true;
}

bool HeadlessUi::window_position(int window, int* x, int* y) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return false;
  auto p = placements_.find(window);
  *x = p != placements_.end() ? p->second.x : std::max(0, it->second.x);
  *y = p != placements_.end() ? p->second.y : std::max(0, it->second.y);
  return true;
}

void HeadlessUi::move_window(int window, int x, int y) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("move_window " + std::to_string(window) + " " + std::to_string(x) + " " + std::to_string(y));
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  placement_record& p = placements_[window];
  p.x = x, p.y = y;
  // The cursor stays where it is on the screen; clients are placed by x, y.
  it->second.x = x, it->second.y = y;
  ui_event e;
  e.message = msg_move;
  e.window = window;
  e.x = x, e.y = y;
  events_.push_back(e);
}

bool HeadlessUi::window_frame_extents(int window, int* left, int* top, int* right, int* bottom) {
  std::lock_guard<std::mutex> g(mutex_);
  *left = frame_[0], *top = frame_[1], *right = frame_[2], *bottom = frame_[3];
  auto bar = menu_bars_.find(window);
  if (bar != menu_bars_.end()) *top += bar->second.height;  // the bar sits above the client
  return windows_.count(window) != 0;
}

void HeadlessUi::set_window_size_limits(int window, int min_width, int min_height, int max_width, int max_height) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("size_limits " + std::to_string(window) + " " + std::to_string(min_width) + "x" +
                   std::to_string(min_height) + " " + std::to_string(max_width) + "x" + std::to_string(max_height));
  placement_record& p = placements_[window];
  p.min_width = min_width, p.min_height = min_height, p.max_width = max_width, p.max_height = max_height;
}

void HeadlessUi::set_window_resizable(int window, bool resizable) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("resizable " + std::to_string(window) + " " + (resizable ? "1" : "0"));
  placements_[window].resizable = resizable;
  auto it = windows_.find(window);
  if (it != windows_.end()) it->second.resizable = resizable;
}

void HeadlessUi::set_window_opacity(int window, int alpha) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("opacity " + std::to_string(window) + " " + std::to_string(alpha));
  placements_[window].opacity = alpha;
}

void HeadlessUi::flash_window(int window, int count, int interval_ms) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("flash " + std::to_string(window) + " " + std::to_string(count) + " " +
                   std::to_string(interval_ms));
}

void HeadlessUi::set_window_stacking(int window, ui_stacking where) {
  static const char* const names[] = {"top", "topmost", "bottom", "behind_main"};
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("stacking " + std::to_string(window) + " " + names[static_cast<int>(where)]);
  placements_[window].stacking = where;
}

bool HeadlessUi::set_window_shape(int window, const std::vector<ui_rect>& rects) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("shape " + std::to_string(window) + " " + std::to_string(rects.size()));
  if (!windows_.count(window)) return false;
  shapes_[window] = rects;
  return true;
}

void HeadlessUi::minimise_window(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("minimise_window " + std::to_string(window));
  placements_[window].minimised = true;
}

void HeadlessUi::maximise_window(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("maximise_window " + std::to_string(window));
  placements_[window].maximised = true;
}

bool HeadlessUi::window_minimised(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  auto p = placements_.find(window);
  return p != placements_.end() && p->second.minimised;
}

bool HeadlessUi::window_maximised(int window) {
  std::lock_guard<std::mutex> g(mutex_);
  auto p = placements_.find(window);
  return p != placements_.end() && p->second.maximised;
}

void HeadlessUi::warp_cursor(int screen_x, int screen_y) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("warp_cursor " + std::to_string(screen_x) + " " + std::to_string(screen_y));
  cursor_x_ = screen_x;
  cursor_y_ = screen_y;
}

bool HeadlessUi::window_fullscreen(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto p = placements_.find(window);
  return p != placements_.end() && p->second.fullscreen;
}

ui_display_mode HeadlessUi::current_mode(int display) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = current_modes_.find(display);
  if (it != current_modes_.end()) return it->second;
  if (display >= 0 && display < static_cast<int>(displays_.size())) return displays_[display].desktop;
  return {desktop_[0], desktop_[1], desktop_[2], desktop_[3]};
}

std::vector<ui_rect> HeadlessUi::window_shape(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = shapes_.find(window);
  return it == shapes_.end() ? std::vector<ui_rect>{} : it->second;
}

HeadlessUi::placement_record HeadlessUi::placement(int window) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = placements_.find(window);
  return it == placements_.end() ? placement_record{} : it->second;
}
