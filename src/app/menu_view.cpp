#include "app/menu_view.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>
#include <memory>
#include <string>

#include "app/frame_loop.h"
#include "app/game_window.h"
#include "core/engine_state.h"
#include "core/frame_state.h"
#include "core/window_state.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"

menu_view_record menu_view;
menu_bar_view_record menu_bar_view;

namespace {

int menu_window = 0;  // the game window the open menu is drawn in

std::mutex routed_lock;
std::deque<ui_event> routed_events;  // input of the open menu, from the main thread

bool on_frame_thread() {
  return frame_thread.enabled && frame_thread.thread.get_id() == std::this_thread::get_id();
}

bool next_menu_event(Ui* ui, ui_event& e) {
  // A Ui nobody answers serves its scripted menu input to any thread.
  if (!on_frame_thread() || !ui->interactive()) return ui->poll_menu_event(e);
  std::lock_guard<std::mutex> g(routed_lock);
  if (routed_events.empty()) return false;
  e = routed_events.front();
  routed_events.pop_front();
  return true;
}

constexpr int item_height = 20, separator_height = 7, text_left = 22, text_right = 24, min_width = 80;
constexpr int font_cell = 14;
constexpr uint32_t vk_return = 0x0D, vk_escape = 0x1B, vk_left = 0x25, vk_up = 0x26, vk_right = 0x27,
                   vk_down = 0x28;
// Colours (B, G, R).
constexpr uint32_t colour_face = 0xF0F0F0, colour_frame = 0x808080, colour_hover = 0xD77800,
                   colour_text = 0x000000, colour_grey = 0xA0A0A0, colour_hover_text = 0xFFFFFF;

std::unique_ptr<RasterFont>& menu_font() {
  static std::unique_ptr<RasterFont> font;
  if (!font && platform_installed() && platform().fonts)
    font = platform().fonts->open_font(utf8_to_sjis("ＭＳ ゴシック"), font_cell, false);
  return font;
}

int text_width(const std::string& sjis) {
  auto& f = menu_font();
  if (!f) return static_cast<int>(sjis.size()) * font_cell / 2;
  uint8_t scratch[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  return f->draw_text(sjis, 0, 0, scratch, 4, 1, 1);
}

struct panel {
  const std::vector<menu_item_model>* items = nullptr;
  int x = 0, y = 0;
  menu_panel_layout layout;
  int hover = -1;
};

void fill(std::vector<uint8_t>& px, int w, int x0, int y0, int x1, int y1, uint32_t c) {
  const int h = static_cast<int>(px.size() / 4 / static_cast<size_t>(w));
  for (int y = std::max(0, y0); y < std::min(h, y1); ++y)
    for (int x = std::max(0, x0); x < std::min(w, x1); ++x) {
      uint8_t* d = &px[(static_cast<size_t>(y) * w + x) * 4];
      d[0] = c & 0xFF, d[1] = (c >> 8) & 0xFF, d[2] = (c >> 16) & 0xFF, d[3] = 0xFF;
    }
}

// Text through the font layer: a one-bit page, ink where bits are cleared.
void draw_text(std::vector<uint8_t>& px, int w, int x, int y, const std::string& sjis, uint32_t c) {
  auto& f = menu_font();
  const int tw = text_width(sjis) + 2, th = font_cell + 2;
  if (!f || tw <= 0) return;
  const int stride = (tw + 7) / 8;
  std::vector<uint8_t> bits(static_cast<size_t>(stride) * th, 0xFF);
  f->draw_text(sjis, 0, 0, bits.data(), stride, tw, th);
  for (int yy = 0; yy < th; ++yy)
    for (int xx = 0; xx < tw; ++xx)
      if (!(bits[static_cast<size_t>(yy) * stride + xx / 8] & (0x80 >> (xx % 8)))) fill(px, w, x + xx, y + yy, x + xx + 1, y + yy + 1, c);
}

bool selectable(const menu_item_model& m) { return !m.separator && !m.greyed; }

void draw_panel(const panel& p) {
  const menu_panel_layout& l = p.layout;
  std::vector<uint8_t> px(static_cast<size_t>(l.width) * 4 * l.height);
  fill(px, l.width, 0, 0, l.width, l.height, colour_frame);
  fill(px, l.width, 1, 1, l.width - 1, l.height - 1, colour_face);
  for (size_t i = 0; i < p.items->size(); ++i) {
    const menu_item_model& m = (*p.items)[i];
    const int top = l.item_top[i];
    if (m.separator) {
      fill(px, l.width, 4, top + 3, l.width - 4, top + 4, colour_frame);
      continue;
    }
    const bool hover = static_cast<int>(i) == p.hover && !m.greyed;
    if (hover) fill(px, l.width, 2, top, l.width - 2, top + item_height, colour_hover);
    const uint32_t ink = m.greyed ? colour_grey : hover ? colour_hover_text : colour_text;
    const int ty = top + (item_height - font_cell) / 2;
    if (m.checked) {  // a tick mark
      for (int k = 0; k < 3; ++k) fill(px, l.width, 6 + k, ty + 7 + k, 7 + k, ty + 9 + k, ink);
      for (int k = 0; k < 6; ++k) fill(px, l.width, 9 + k, ty + 9 - k, 10 + k, ty + 11 - k, ink);
    }
    draw_text(px, l.width, text_left, ty, m.caption, ink);
    if (m.has_submenu)  // a small arrow
      for (int k = 0; k < 4; ++k)
        fill(px, l.width, l.width - 12 + k, ty + 3 + k, l.width - 11 + k, ty + 11 - k, ink);
  }
  if (Ui* ui = platform().ui) ui->present(menu_window, px.data(), l.width, l.height, l.width * 4, p.x, p.y);
}

void redraw(std::vector<panel>& panels, bool restore) {
  if (restore) {
    if (window_state* w = game_window_record(menu_window)) repaint_window(*w, true);
  }
  for (const panel& p : panels) draw_panel(p);
}

int hit_item(const panel& p, int x, int y) {
  if (x < p.x || y < p.y || x >= p.x + p.layout.width || y >= p.y + p.layout.height) return -2;  // outside
  for (size_t i = 0; i < p.items->size(); ++i)
    if (y - p.y >= p.layout.item_top[i] && y - p.y < p.layout.item_top[i] + p.layout.item_height[i])
      return static_cast<int>(i);
  return -1;
}

// Places a panel inside the client: moved left or up when it would cross
// the right or bottom edge.
void place(panel& p, int x, int y) {
  int cw = screen_state.client_width, ch = screen_state.client_height;
  if (menu_window != 0 && !platform().ui->client_size(menu_window, &cw, &ch)) cw = ch = 0;
  const window_state* owner = game_window_record(menu_window);
  if ((cw <= 0 || ch <= 0) && owner) cw = owner->logical_width, ch = owner->logical_height;
  if (cw > 0 && x + p.layout.width > cw) x = std::max(0, cw - p.layout.width);
  if (ch > 0 && y + p.layout.height > ch) y = std::max(0, ch - p.layout.height);
  p.x = x, p.y = y;
}

void open_submenu(std::vector<panel>& panels, size_t level, int item) {
  panels.resize(level + 1);
  const panel& parent = panels[level];
  const menu_item_model& m = (*parent.items)[static_cast<size_t>(item)];
  if (!m.has_submenu || m.greyed || m.submenu.empty()) return;
  panel child;
  child.items = &m.submenu;
  child.layout = layout_menu_panel(m.submenu);
  place(child, parent.x + parent.layout.width - 2, parent.y + parent.layout.item_top[static_cast<size_t>(item)]);
  panels.push_back(std::move(child));
}

int step_hover(const panel& p, int from, int dir) {
  const int n = static_cast<int>(p.items->size());
  const int start = from >= 0 ? from : dir > 0 ? -1 : n;
  for (int k = 1; k <= n; ++k) {
    const int i = ((start + dir * k) % n + n) % n;
    if (selectable((*p.items)[static_cast<size_t>(i)])) return i;
  }
  return from;
}

}  // namespace

menu_panel_layout layout_menu_panel(const std::vector<menu_item_model>& items) {
  menu_panel_layout l;
  int y = 2, w = min_width;
  for (const menu_item_model& m : items) {
    const int h = m.separator ? separator_height : item_height;
    l.item_top.push_back(y);
    l.item_height.push_back(h);
    y += h;
    if (!m.separator) w = std::max(w, text_left + text_width(m.caption) + text_right);
  }
  l.width = w;
  l.height = y + 2;
  return l;
}

uint32_t run_menu(const std::vector<menu_item_model>& items, int x, int y, int window) {
  Ui* ui = platform_installed() ? platform().ui : nullptr;
  if (!ui || items.empty() || !game_window_record(window)) return 0;
  menu_window = window;
  std::vector<panel> panels(1);
  panels[0].items = &items;
  panels[0].layout = layout_menu_panel(items);
  place(panels[0], x, y);
  redraw(panels, false);
  menu_view.x = panels[0].x, menu_view.y = panels[0].y;
  menu_view.width = panels[0].layout.width, menu_view.height = panels[0].layout.height;
  menu_view.open = 1;
  uint32_t chosen = 0;
  std::vector<ui_event> deferred;
  bool done = false;
  bool restore = false;
  while (!done) {
    ui_event e;
    if (!next_menu_event(ui, e)) {
      if (!ui->interactive() || quit_flag) break;
      platform().clock->sleep_ms(10);
      continue;
    }
    switch (e.message) {
      case msg_mouse_move: {
        for (size_t level = panels.size(); level-- > 0;) {
          const int hit = hit_item(panels[level], e.x, e.y);
          if (hit == -2) continue;
          if (hit != panels[level].hover) {
            panels[level].hover = hit;
            const size_t before = panels.size();
            panels.resize(level + 1);
            if (hit >= 0) open_submenu(panels, level, hit);
            restore = panels.size() < before;
            redraw(panels, restore);
          }
          break;
        }
        break;
      }
      case msg_left_button_up:
      case msg_right_button_up:
      case msg_left_button_down:
      case msg_right_button_down: {
        bool inside = false;
        for (size_t level = panels.size(); level-- > 0;) {
          const int hit = hit_item(panels[level], e.x, e.y);
          if (hit == -2) continue;
          inside = true;
          const bool release = e.message == msg_left_button_up || e.message == msg_right_button_up;
          if (hit >= 0 && release) {
            const menu_item_model& m = (*panels[level].items)[static_cast<size_t>(hit)];
            if (selectable(m) && !m.has_submenu) {
              chosen = m.id;
              done = true;
            }
          }
          break;
        }
        // A press outside every panel closes the menu.
        if (!inside && (e.message == msg_left_button_down || e.message == msg_right_button_down)) done = true;
        break;
      }
      case msg_nc_left_button_down:  // on the menu bar or the title: the menu closes
        done = true;
        break;
      case msg_key_down: {
        panel& p = panels.back();
        const uint32_t key = static_cast<uint32_t>(e.wparam);
        if (key == vk_down || key == vk_up) {
          p.hover = step_hover(p, p.hover, key == vk_down ? 1 : -1);
          redraw(panels, false);
        } else if (key == vk_right || key == vk_return) {
          if (p.hover >= 0) {
            const menu_item_model& m = (*p.items)[static_cast<size_t>(p.hover)];
            if (m.has_submenu) {
              open_submenu(panels, panels.size() - 1, p.hover);
              if (panels.size() > 1) panels.back().hover = step_hover(panels.back(), -1, 1);
              redraw(panels, false);
            } else if (key == vk_return && selectable(m)) {
              chosen = m.id;
              done = true;
            }
          }
        } else if (key == vk_left || key == vk_escape) {
          if (panels.size() > 1) {
            panels.pop_back();
            redraw(panels, true);
          } else if (key == vk_escape) {
            done = true;
          }
        }
        break;
      }
      case msg_quit:
      case msg_close:
      case msg_destroy:
        if (!on_frame_thread()) ui->post_event(e);  // the loop handles it after the menu
        done = true;
        break;
      case msg_mouse_wheel:
      case msg_nc_mouse_move:
      case msg_nc_left_button_up:
      case msg_key_up:
      case msg_char:
      case msg_middle_button_down:
      case msg_middle_button_up:
      case msg_left_button_double:
        break;  // input while the menu is open belongs to the menu
      default:
        deferred.push_back(e);  // focus, size, paint...: the window hears of them afterwards
        break;
    }
  }
  if (!on_frame_thread())
    for (const ui_event& d : deferred) ui->post_event(d);
  menu_view.open = 0;
  {
    std::lock_guard<std::mutex> g(routed_lock);
    routed_events.clear();
  }
  if (window_state* w = game_window_record(menu_window)) repaint_window(*w, true);
  return chosen;
}

bool route_event_to_menu(const ui_event& e) {
  if (!menu_view.open || !frame_thread.enabled) return false;
  switch (e.message) {
    case msg_mouse_move:
    case msg_left_button_down:
    case msg_left_button_up:
    case msg_right_button_down:
    case msg_right_button_up:
    case msg_nc_mouse_move:
    case msg_nc_left_button_down:
    case msg_nc_left_button_up:
    case msg_key_down:
    case msg_close: {
      std::lock_guard<std::mutex> g(routed_lock);
      routed_events.push_back(e);
      return e.message != msg_close;  // the close goes on to the window too
    }
    default:
      return false;
  }
}

namespace {

struct bar_layout {
  std::vector<int> left, width;
  int strip_width = 0;
};

bar_layout layout_bar(const std::vector<menu_item_model>& items, int window) {
  bar_layout b;
  int x = 4;
  for (const menu_item_model& m : items) {
    const int w = m.separator ? 8 : text_width(m.caption) + 16;
    b.left.push_back(x);
    b.width.push_back(w);
    x += w;
  }
  // As wide as the client; the Ui widens a narrower picture when the window grows.
  int cw = 0, ch = 0;
  if (platform_installed() && platform().ui->client_size(window, &cw, &ch)) b.strip_width = cw;
  if (b.strip_width <= 0)
    if (const window_state* w = game_window_record(window)) b.strip_width = w->logical_width;
  b.strip_width = std::max(b.strip_width, x + 4);
  return b;
}

std::vector<menu_item_model> bar_items() {
  std::lock_guard<std::mutex> g(menu_sets_lock);
  return menu_sets[menu_set_bar].items;
}

// Draws the bar with item `hover` lit where it is: the window's bar, or the
// strip while it shows. False when there is nowhere to draw it.
bool draw_bar(const std::vector<menu_item_model>& items, int hover) {
  Ui* ui = platform_installed() ? platform().ui : nullptr;
  const int window = menu_bar_view.window;
  if (!ui || window < 0) return false;
  const bool strip = menu_bar_view.on_strip != 0;
  if (strip && !menu_bar_view.strip_shown) return false;
  const bar_layout b = layout_bar(items, window);
  std::vector<uint8_t> px(static_cast<size_t>(b.strip_width) * 4 * menu_bar_height);
  fill(px, b.strip_width, 0, 0, b.strip_width, menu_bar_height, colour_face);
  fill(px, b.strip_width, 0, menu_bar_height - 1, b.strip_width, menu_bar_height, colour_frame);
  for (size_t i = 0; i < items.size(); ++i) {
    const menu_item_model& m = items[i];
    if (m.separator) continue;
    const bool lit = static_cast<int>(i) == hover && !m.greyed;
    if (lit) fill(px, b.strip_width, b.left[i], 1, b.left[i] + b.width[i], menu_bar_height - 2, colour_hover);
    draw_text(px, b.strip_width, b.left[i] + 8, (menu_bar_height - font_cell) / 2 - 1, m.caption,
              m.greyed ? colour_grey : lit ? colour_hover_text : colour_text);
  }
  if (strip)
    ui->set_overlay(window, overlay_slot_menu_strip, px.data(), b.strip_width, menu_bar_height, 0, 0);
  else
    ui->set_menu_bar(window, px.data(), b.strip_width, menu_bar_height);
  return true;
}

// Takes the bar off wherever it is.
void remove_bar() {
  const int window = menu_bar_view.window.exchange(-1);
  if (window >= 0 && platform_installed()) {
    platform().ui->set_menu_bar(window, nullptr, 0, 0);
    if (menu_bar_view.strip_shown) platform().ui->clear_overlay(window, overlay_slot_menu_strip);
  }
  menu_bar_view.on_strip = 0;
  menu_bar_view.strip_shown = 0;
  menu_bar_view.press_pending = 0;
}

}  // namespace

int build_menu_bar(int window, object_node* node, bool on_strip) {
  if (!node) {
    // Another window's bar stays: this one had none.
    const int holder = menu_bar_view.window;
    if (holder >= 0 && holder != window) return 0;
    remove_bar();
    std::lock_guard<std::mutex> g(menu_sets_lock);
    menu_sets[menu_set_bar] = menu_set_model{};
    return 0;
  }
  const int result = rebuild_menu_set(menu_set_bar, node);
  // Set 0 is the one bar: a window that had it loses it to this one.
  const int holder = menu_bar_view.window;
  if (holder >= 0 && (holder != window || (menu_bar_view.on_strip != 0) != on_strip)) remove_bar();
  if (result != 0) {
    remove_bar();
    return -1;
  }
  menu_bar_view.on_strip = on_strip ? 1 : 0;
  menu_bar_view.window = window;
  const std::vector<menu_item_model> items = bar_items();
  // An empty menu still takes its place: the window's bar is there, empty.
  draw_bar(items, -1);
  return 0;
}

void show_menu_bar_strip(bool shown) {
  const int window = menu_bar_view.window;
  if (window < 0 || !menu_bar_view.on_strip) {
    menu_bar_view.strip_shown = 0;
    return;
  }
  if ((menu_bar_view.strip_shown != 0) == shown) return;
  menu_bar_view.strip_shown = shown ? 1 : 0;
  if (shown)
    draw_bar(bar_items(), -1);
  else if (platform_installed())
    platform().ui->clear_overlay(window, overlay_slot_menu_strip);
}

bool draw_menu_bar() {
  const std::vector<menu_item_model> items = bar_items();
  if (items.empty()) return false;
  return draw_bar(items, -1);
}

bool menu_bar_press(int x, int y) {
  const std::vector<menu_item_model> items = bar_items();
  const int window = menu_bar_view.window;
  if (items.empty() || window < 0 || y < 0 || y >= menu_bar_height) return false;
  if (menu_bar_view.on_strip && !menu_bar_view.strip_shown) return false;
  const bar_layout b = layout_bar(items, window);
  // The menu opens just below the bar: the client's top row for a window's
  // bar, the row under the strip in full screen.
  const int menu_y = menu_bar_view.on_strip ? menu_bar_height : 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (x < b.left[i] || x >= b.left[i] + b.width[i]) continue;
    const menu_item_model& m = items[i];
    if (m.separator || m.greyed) return true;
    draw_bar(items, static_cast<int>(i));
    uint32_t chosen = m.id;
    if (m.has_submenu) chosen = run_menu(m.submenu, b.left[i], menu_y, window);
    draw_bar(items, -1);
    if (chosen) {
      ui_event e;
      e.message = msg_command;
      e.window = window;
      e.wparam = chosen;
      if (Ui* ui = platform().ui) ui->post_event(e);
    }
    return true;
  }
  return true;
}

void request_menu_bar_press(int window, int x, int y) {
  menu_bar_view.press_window = window;
  menu_bar_view.press_x = x;
  menu_bar_view.press_y = y;
  menu_bar_view.press_pending = 1;
}

void request_popup_menu(int set) {
  if (set == menu_set_popup || set == menu_set_tray) pending_popup.menu_set = static_cast<uint8_t>(set);
}

void show_pending_popup_menu() {
  if (menu_bar_view.press_pending.exchange(0)) {
    // A press on a bar that has since moved to another window is dropped.
    if (menu_bar_view.press_window == menu_bar_view.window)
      menu_bar_press(menu_bar_view.press_x, menu_bar_view.press_y);
  }
  const int set = pending_popup.menu_set;
  if (set <= 0 || set >= menu_set_count) return;
  std::vector<menu_item_model> items;
  {
    std::lock_guard<std::mutex> g(menu_sets_lock);
    const menu_set_model& s = menu_sets[set];
    // The first submenu of the set: the items under "MENUSET".
    if (!s.items.empty()) items = s.items[0].submenu;
  }
  int x = 0, y = 0;
  Ui* ui = platform().ui;
  if (ui) ui->cursor_position(0, &x, &y);
  const uint32_t chosen = run_menu(items, x, y);
  ui_event e;
  e.message = msg_command;
  e.window = 0;
  e.wparam = chosen;
  if (ui) ui->post_event(e);
}

