#include "system/system_dialogs.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/engine_state.h"
#include "core/sjis.h"

system_dialog_record system_dialogs;

namespace {

enum : uint32_t {
  vk_back = 0x08,
  vk_return = 0x0D,
  vk_escape = 0x1B,
  vk_end = 0x23,
  vk_home = 0x24,
  vk_left = 0x25,
  vk_right = 0x27,
  vk_delete = 0x2E,
};

constexpr int overlay_edit = 0, overlay_modal = 1;

// ------------------------------------------------------------ line editing

// One line of Shift-JIS text with a caret (a byte offset on a character
// boundary) and the input method's composition.
struct line_editor {
  std::string text;
  size_t caret = 0;
  std::string composition;
  size_t limit = edit_box_limit;

  size_t previous_boundary(size_t pos) const {
    size_t p = 0, last = 0;
    while (p < pos && p < text.size()) {
      last = p;
      p = sjis_next(text, p);
    }
    return last;
  }
  void set(const std::string& t) {
    text = cut_to_limit(t, limit);
    caret = text.size();
    composition.clear();
  }
  static std::string cut_to_limit(const std::string& t, size_t limit) {
    size_t p = 0;
    while (p < t.size()) {
      size_t n = sjis_next(t, p);
      if (n > limit || n > t.size()) break;
      p = n;
    }
    return t.substr(0, p);
  }
  // Typed text: whole characters while they fit the limit; control bytes dropped.
  void insert(const std::string& typed) {
    for (size_t p = 0; p < typed.size();) {
      size_t n = sjis_char_length(typed, p);
      if (p + n > typed.size()) break;
      if (n == 1 && static_cast<uint8_t>(typed[p]) < 0x20) {
        p += 1;
        continue;
      }
      if (text.size() + n > limit) break;
      text.insert(caret, typed, p, n);
      caret += n;
      p += n;
    }
  }
  // Keys the box takes; true when it handled the key.
  bool key(uint32_t vk) {
    switch (vk) {
      case vk_back:
        if (caret > 0) {
          size_t b = previous_boundary(caret);
          text.erase(b, caret - b);
          caret = b;
        }
        return true;
      case vk_delete:
        if (caret < text.size()) text.erase(caret, sjis_next(text, caret) - caret);
        return true;
      case vk_left: caret = previous_boundary(caret); return true;
      case vk_right:
        if (caret < text.size()) caret = std::min(text.size(), sjis_next(text, caret));
        return true;
      case vk_home: caret = 0; return true;
      case vk_end: caret = text.size(); return true;
      default: return false;
    }
  }
};

// ------------------------------------------------------------ drawing

struct canvas {
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;
  canvas(int w, int h) : width(w), height(h), bgra(static_cast<size_t>(w) * h * 4, 0) {}
  void fill(int x0, int y0, int w, int h, uint32_t rgb) {
    for (int y = std::max(0, y0); y < std::min(height, y0 + h); ++y)
      for (int x = std::max(0, x0); x < std::min(width, x0 + w); ++x) put(x, y, rgb);
  }
  void frame(int x0, int y0, int w, int h, uint32_t rgb) {
    fill(x0, y0, w, 1, rgb);
    fill(x0, y0 + h - 1, w, 1, rgb);
    fill(x0, y0, 1, h, rgb);
    fill(x0 + w - 1, y0, 1, h, rgb);
  }
  void put(int x, int y, uint32_t rgb) {
    uint8_t* d = bgra.data() + (static_cast<size_t>(y) * width + x) * 4;
    d[0] = rgb & 0xFF, d[1] = (rgb >> 8) & 0xFF, d[2] = (rgb >> 16) & 0xFF, d[3] = 0xFF;
  }
};

// The box font: 14 pixels, normal weight, the system's default face.
RasterFont* box_font() {
  static std::mutex m;
  static std::unique_ptr<RasterFont> font;
  static FontRasterizer* made_by = nullptr;
  std::lock_guard<std::mutex> g(m);
  FontRasterizer* r = platform_installed() ? platform().fonts : nullptr;
  if (!r) return nullptr;
  if (made_by != r) {
    font = r->open_font(utf8_to_sjis("ＭＳ ゴシック"), 14, false);
    if (!font) font = r->open_font("", 14, false);
    made_by = r;
  }
  return font.get();
}

int text_width(const std::string& sjis) {
  RasterFont* f = box_font();
  if (!f || sjis.empty()) return 0;
  uint8_t dummy = 0xFF;
  return f->draw_text(sjis, 0, 0, &dummy, 1, 0, 0);
}

// Text at (x, y) (top of the 14-pixel cell), clipped to the clip rectangle.
void draw_text(canvas& c, int x, int y, const std::string& sjis, uint32_t rgb, int cx, int cy, int cw, int ch) {
  RasterFont* f = box_font();
  cx = std::max(0, cx), cy = std::max(0, cy);
  cw = std::min(cw, c.width - cx), ch = std::min(ch, c.height - cy);
  if (!f || sjis.empty() || cw <= 0 || ch <= 0) return;
  int stride = (cw + 7) / 8;
  std::vector<uint8_t> bits(static_cast<size_t>(stride) * ch, 0xFF);
  f->draw_text(sjis, x - cx, y - cy, bits.data(), stride, cw, ch);
  for (int yy = 0; yy < ch; ++yy)
    for (int xx = 0; xx < cw; ++xx)
      if (!(bits[static_cast<size_t>(yy) * stride + xx / 8] & (0x80 >> (xx % 8)))) c.put(cx + xx, cy + yy, rgb);
}

// A sunken white field with the editor's text, scrolled so the caret shows.
void draw_field(canvas& c, int x, int y, int w, int h, const line_editor& e, bool focused) {
  c.fill(x, y, w, h, 0xFFFFFF);
  c.frame(x, y, w, h, 0x808080);
  const int pad = 2, text_y = y + (h - 14) / 2;
  std::string before = e.text.substr(0, e.caret), after = e.text.substr(e.caret);
  int caret_x = text_width(before) + text_width(e.composition);
  int scroll = std::max(0, caret_x - (w - 2 * pad - 2));
  int tx = x + pad - scroll;
  draw_text(c, tx, text_y, before, 0x000000, x + 1, y + 1, w - 2, h - 2);
  int comp_x = tx + text_width(before);
  if (!e.composition.empty()) {
    int cw = text_width(e.composition);
    draw_text(c, comp_x, text_y, e.composition, 0x000080, x + 1, y + 1, w - 2, h - 2);
    for (int xx = std::max(comp_x, x + 1); xx < std::min(comp_x + cw, x + w - 1); ++xx)
      if (text_y + 14 < y + h - 1) c.put(xx, text_y + 14, 0x000080);
  }
  int after_x = comp_x + text_width(e.composition);
  draw_text(c, after_x, text_y, after, 0x000000, x + 1, y + 1, w - 2, h - 2);
  if (focused && after_x >= x + 1 && after_x < x + w - 1) c.fill(after_x, text_y, 1, 14, 0x000000);
}

void draw_button(canvas& c, int x, int y, int w, int h, const std::string& label, bool is_default) {
  c.fill(x, y, w, h, 0xE0E0E0);
  c.frame(x, y, w, h, is_default ? 0x000000 : 0x808080);
  int tw = text_width(label);
  draw_text(c, x + (w - tw) / 2, y + (h - 14) / 2, label, 0x000000, x + 1, y + 1, w - 2, h - 2);
}

// ------------------------------------------------------------ state

std::mutex state_mutex;

struct edit_box_state {
  bool exists = false;
  bool focused = false;
  int x = 0, y = 0, w = 0, h = 0;
  line_editor editor;
};
edit_box_state edit_box;

struct modal_state {
  bool open = false;
  bool is_input = false;
  bool can_cancel = false;
  int result = -1;  // -1 while open
  std::string caption, prompt;
  line_editor editor;
  int x = 0, y = 0, w = 0, h = 0;  // in the window's client
  int ok_x = 0, cancel_x = 0, button_y = 0;
};
modal_state modal;
// Events that arrived after the open box had its answer: handed back to the
// Ui when it closes, so typing ahead reaches the next box or the game.
std::vector<ui_event> typed_ahead;

constexpr int button_w = 80, button_h = 22;

// Renders under the lock; the Ui is called after it is released (a Ui call
// from the frame thread waits for the main thread, which may be in the filter).
struct rendered {
  bool show = false;
  int x = 0, y = 0;
  std::unique_ptr<canvas> pixels;
};

rendered render_edit_box_locked() {
  rendered r;
  if (!edit_box.exists || edit_box.w <= 0 || edit_box.h <= 0) return r;
  r.show = true;
  r.x = edit_box.x, r.y = edit_box.y;
  r.pixels = std::make_unique<canvas>(edit_box.w, edit_box.h);
  draw_field(*r.pixels, 0, 0, edit_box.w, edit_box.h, edit_box.editor, edit_box.focused);
  return r;
}

rendered render_modal_locked() {
  rendered r;
  if (!modal.open) return r;
  r.show = true;
  r.x = modal.x, r.y = modal.y;
  r.pixels = std::make_unique<canvas>(modal.w, modal.h);
  canvas& c = *r.pixels;
  c.fill(0, 0, modal.w, modal.h, 0xF0F0F0);
  c.frame(0, 0, modal.w, modal.h, 0x404040);
  c.fill(1, 1, modal.w - 2, 20, 0x203880);
  draw_text(c, 6, 4, modal.caption, 0xFFFFFF, 1, 1, modal.w - 2, 20);
  draw_text(c, 10, 30, modal.prompt, 0x000000, 1, 22, modal.w - 2, 40);
  if (modal.is_input) {
    draw_field(c, 10, 52, modal.w - 20, 22, modal.editor, true);
    draw_button(c, modal.ok_x - modal.x, modal.button_y - modal.y, button_w, button_h, "OK", true);
    if (modal.can_cancel)
      draw_button(c, modal.cancel_x - modal.x, modal.button_y - modal.y, button_w, button_h,
                  utf8_to_sjis("キャンセル"), false);
  }
  return r;
}

void show(int slot, const rendered& r) {
  Ui* ui = platform().ui;
  if (r.show)
    ui->set_overlay(0, slot, r.pixels->bgra.data(), r.pixels->width, r.pixels->height, r.x, r.y);
  else
    ui->clear_overlay(0, slot);
}

void refresh_edit_box() {
  rendered r;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    r = render_edit_box_locked();
  }
  show(overlay_edit, r);
}

void refresh_modal() {
  rendered r;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    r = render_modal_locked();
  }
  show(overlay_modal, r);
}

bool inside(int px, int py, int x, int y, int w, int h) { return px >= x && py >= y && px < x + w && py < y + h; }

// The filter's part for the modal box (state_mutex held). True when taken.
bool modal_event_locked(const ui_event& e, bool& redraw) {
  if (modal.result >= 0) {
    switch (e.message) {
      case msg_text_input: case msg_text_editing: case msg_key_down: case msg_key_up: case msg_sys_key_down:
      case msg_sys_key_up: case msg_char: case msg_left_button_down: case msg_left_button_up:
        typed_ahead.push_back(e);
        return true;
      default:
        return false;
    }
  }
  switch (e.message) {
    case msg_text_input:
      if (modal.is_input) modal.editor.insert(e.text), modal.editor.composition.clear(), redraw = true;
      return true;
    case msg_text_editing:
      if (modal.is_input) modal.editor.composition = e.text, redraw = true;
      return true;
    case msg_key_down:
    case msg_sys_key_down:
      if (e.wparam == vk_return && modal.is_input) {
        modal.result = 1;
      } else if (e.wparam == vk_escape && modal.can_cancel) {
        modal.result = 0;
      } else if (modal.is_input && modal.editor.key(static_cast<uint32_t>(e.wparam))) {
        redraw = true;
      }
      return true;
    case msg_key_up:
    case msg_sys_key_up:
    case msg_char:
    case msg_mouse_move:
    case msg_left_button_up:
    case msg_right_button_down:
    case msg_right_button_up:
    case msg_middle_button_down:
    case msg_middle_button_up:
    case msg_mouse_wheel:
      return true;  // the game underneath gets nothing while the box is up
    case msg_left_button_down:
      if (modal.is_input && inside(e.x, e.y, modal.ok_x, modal.button_y, button_w, button_h)) modal.result = 1;
      if (modal.can_cancel && inside(e.x, e.y, modal.cancel_x, modal.button_y, button_w, button_h)) modal.result = 0;
      return true;
    default:
      return false;  // paint, size, close and the rest go on as usual
  }
}

bool edit_event_locked(const ui_event& e, bool& redraw, bool& focus_changed) {
  switch (e.message) {
    case msg_text_input:
      if (!edit_box.focused) return false;
      edit_box.editor.insert(e.text);
      edit_box.editor.composition.clear();
      redraw = true;
      return true;
    case msg_text_editing:
      if (!edit_box.focused) return false;
      edit_box.editor.composition = e.text;
      redraw = true;
      return true;
    case msg_key_down:
      if (!edit_box.focused) return false;
      if (edit_box.editor.key(static_cast<uint32_t>(e.wparam))) {
        redraw = true;
        return true;
      }
      return false;
    case msg_left_button_down:
      if (inside(e.x, e.y, edit_box.x, edit_box.y, edit_box.w, edit_box.h)) {
        if (!edit_box.focused) focus_changed = true;
        edit_box.focused = true;
        redraw = true;
        return true;
      }
      return false;
    default:
      return false;
  }
}

void apply_text_input(bool on) {
  Ui* ui = platform().ui;
  int x, y, w, h;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    x = edit_box.x, y = edit_box.y, w = edit_box.w, h = edit_box.h;
  }
  if (on)
    ui->start_text_input(0, x, y, w, h);
  else
    ui->stop_text_input();
}

}  // namespace

// ------------------------------------------------------------ edit box

void create_edit_box(const std::string& text, int x, int y, int w, int h) {
  bool was_focused;
  {
    // A second box replaces the first: one box, one text, nothing left behind.
    std::lock_guard<std::mutex> g(state_mutex);
    was_focused = edit_box.exists && edit_box.focused;
    edit_box = edit_box_state{};
    edit_box.exists = true;
    edit_box.x = x, edit_box.y = y, edit_box.w = std::max(0, w), edit_box.h = std::max(0, h);
    edit_box.editor.limit = edit_box_limit;
    edit_box.editor.set(text);
  }
  if (was_focused) apply_text_input(false);
  refresh_edit_box();
}

void close_edit_box() {
  bool had, focused;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    had = edit_box.exists;
    focused = edit_box.focused;
    edit_box = edit_box_state{};
  }
  if (!had) return;  // a closed box has no handle left to act on
  if (focused) apply_text_input(false);
  platform().ui->clear_overlay(0, overlay_edit);
}

bool edit_box_exists() {
  std::lock_guard<std::mutex> g(state_mutex);
  return edit_box.exists;
}

void set_edit_box_text(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(state_mutex);
    if (!edit_box.exists) return;
    edit_box.editor.set(text);
  }
  refresh_edit_box();
}

std::string edit_box_text() {
  std::lock_guard<std::mutex> g(state_mutex);
  if (!edit_box.exists) return {};
  return line_editor::cut_to_limit(edit_box.editor.text, edit_box_read_limit);
}

void set_edit_box_focus(bool focused) {
  {
    std::lock_guard<std::mutex> g(state_mutex);
    if (!edit_box.exists || edit_box.focused == focused) return;
    edit_box.focused = focused;
    if (!focused) edit_box.editor.composition.clear();
  }
  apply_text_input(focused);
  refresh_edit_box();
}

bool edit_box_focused() {
  std::lock_guard<std::mutex> g(state_mutex);
  return edit_box.exists && edit_box.focused;
}

// ------------------------------------------------------------ modal boxes

bool (*modal_wait_hook)(uint32_t ms) = nullptr;

bool modal_wait_step(uint32_t ms) {
  if (modal_wait_hook) return modal_wait_hook(ms);
  platform().clock->sleep_ms(ms);
  return !quit_flag && !stop_threads_signal;
}

int run_input_box(const std::string& caption, const std::string& prompt, const std::string& initial, size_t limit,
                  bool can_cancel, std::string& out) {
  Ui* ui = platform().ui;
  int cw = 0, ch = 0;
  if (!ui->window_exists(0) || !ui->client_size(0, &cw, &ch)) return -1;
  int field_x, field_y, field_w;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    if (modal.open) return -1;
    modal = modal_state{};
    modal.open = modal.is_input = true;
    modal.can_cancel = can_cancel;
    modal.caption = caption;
    modal.prompt = prompt;
    modal.editor.limit = (limit == 0 || limit > input_text_limit - 1) ? input_text_limit - 1 : limit;
    modal.editor.set(initial);
    modal.w = std::min(360, std::max(200, cw));
    modal.h = 116;
    modal.x = std::max(0, (cw - modal.w) / 2);
    modal.y = std::max(0, (ch - modal.h) / 2);
    modal.button_y = modal.y + modal.h - button_h - 10;
    modal.ok_x = modal.x + modal.w - (can_cancel ? 2 : 1) * (button_w + 10);
    modal.cancel_x = modal.x + modal.w - (button_w + 10);
    field_x = modal.x + 10, field_y = modal.y + 52, field_w = modal.w - 20;
  }
  ui->start_text_input(0, field_x, field_y, field_w, 22);
  refresh_modal();
  int result = -1;
  for (;;) {
    {
      std::lock_guard<std::mutex> g(state_mutex);
      result = modal.result;
    }
    if (result >= 0) break;
    if (!modal_wait_step(10)) break;
    if (!ui->has_user()) {
      // Nobody to type: the input that was waiting has been taken, the box
      // takes OK with its text (as an unanswered message box takes its first
      // button).
      std::lock_guard<std::mutex> g(state_mutex);
      if (modal.result < 0) modal.result = 1;
    }
  }
  std::vector<ui_event> ahead;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    if (result == 1) out = modal.editor.text;
    modal = modal_state{};
    ahead.swap(typed_ahead);
  }
  for (const ui_event& e : ahead) ui->post_event(e);
  ui->clear_overlay(0, overlay_modal);
  // The edit box, when it has the focus, takes the text input back.
  if (edit_box_focused())
    apply_text_input(true);
  else
    ui->stop_text_input();
  return result;
}

void run_notice_box(const std::string& caption, const std::string& text, int ticks) {
  Ui* ui = platform().ui;
  int cw = 0, ch = 0;
  if (!ui->window_exists(0) || !ui->client_size(0, &cw, &ch)) return;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    if (modal.open) return;
    modal = modal_state{};
    modal.open = true;
    modal.caption = caption;
    modal.prompt = text;
    modal.w = std::min(260, std::max(160, cw));
    modal.h = 64;
    modal.x = std::max(0, (cw - modal.w) / 2);
    modal.y = std::max(0, (ch - modal.h) / 2);
  }
  refresh_modal();
  // A 100 ms timer: the tenth tick closes it.
  for (int tick = 0; tick < ticks; ++tick)
    if (!modal_wait_step(100)) break;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    modal = modal_state{};
  }
  ui->clear_overlay(0, overlay_modal);
}

bool system_dialog_event_filter(const ui_event& e) {
  if (e.window != 0) return false;
  bool redraw_modal = false, redraw_edit = false, focus_changed = false, taken = false;
  {
    std::lock_guard<std::mutex> g(state_mutex);
    if (modal.open)
      taken = modal_event_locked(e, redraw_modal);
    else if (edit_box.exists)
      taken = edit_event_locked(e, redraw_edit, focus_changed);
  }
  if (focus_changed) apply_text_input(true);
  if (redraw_modal) refresh_modal();
  if (redraw_edit) refresh_edit_box();
  return taken;
}

void reset_system_dialogs() {
  std::lock_guard<std::mutex> g(state_mutex);
  edit_box = edit_box_state{};
  modal = modal_state{};
  system_dialogs = system_dialog_record{};
}
