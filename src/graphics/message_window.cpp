#include "graphics/message_window.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "core/error_report.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/layer_commands.h"
#include "graphics/layer_record.h"
#include "platform/platform.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script/control_flow.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/system_values.h"
#include "script/task.h"
#include "script/variable_store.h"

message_window_record* message_window = nullptr;
typesetter_state_record typesetter_state;
message_input_hooks_record message_input_hooks;

namespace {

constexpr int message_set_command = 85;
constexpr int message_query_command = 86;
constexpr int text_append_command = 95;
constexpr int text_value_command = 99;

uint32_t now_ms() { return platform_installed() && platform().clock ? platform().clock->tick_ms() : 0; }

int64_t key_value(int code) {
  if (code == message_key_none || !message_input_hooks.key_value) return 0;
  return message_input_hooks.key_value(code);
}
bool skip_key_held() {
  for (int code : typesetter_state.skip_keys)
    if (key_value(code) > 0) return true;
  return false;
}
bool advance_key_pressed() {
  for (int code : typesetter_state.advance_keys)
    if (key_value(code) == 1) return true;
  return false;
}

// ---------------------------------------------------------------- appending

bool steps_fit(const message_window_record& mw, int n) { return mw.command_count + n <= message_step_limit; }

void store_step(message_window_record& mw, char command, int16_t delay) {
  const int k = mw.command_count;
  mw.commands[k] = command;
  mw.commands[k + 1] = 0;
  mw.widths[k] = static_cast<int16_t>(mw.char_width);
  mw.heights[k] = static_cast<int16_t>(mw.char_height);
  mw.delays[k] = delay;
  mw.colours[k] = mw.colour;
  mw.second_colours[k] = mw.second_colour;
  mw.gradients[k] = mw.gradient;
  mw.rotations[k] = mw.rotation;
  mw.bolds[k] = mw.bold;
  mw.command_count = k + 1;
}

// Character steps for `text` (already bounded by the caller) and its bytes.
// A lead byte with nothing after it is a single-byte character, so it never
// takes the terminator as its trail byte.
int append_characters(message_window_record& mw, std::string_view text) {
  int chars = 0;
  for (size_t i = 0; i < text.size(); i += sjis_char_length(text, i)) ++chars;
  if (!steps_fit(mw, chars)) {
    report_error_at_line(102000, 1);
    return -1;
  }
  for (size_t i = 0; i < text.size();) {
    const size_t n = sjis_char_length(text, i);
    const int16_t delay = static_cast<int16_t>(n == 2 ? mw.char_delay : mw.char_delay / 2);
    store_step(mw, n == 2 ? '2' : '1', delay);
    i += n;
  }
  std::memcpy(mw.text + mw.text_length, text.data(), text.size());
  mw.text_length += static_cast<int32_t>(text.size());
  mw.text[mw.text_length] = 0;
  return 0;
}

// ---------------------------------------------------------------- typesetting

bool steps_remain(const message_window_record& mw) { return mw.command_pos < mw.command_count; }

void release_click_wait(message_window_record& mw) {
  mw.waiting_for_click = 0;
  mw.restart_timing = 1;
  if (mw.command_pos < mw.command_count) ++mw.command_pos;
}

struct page_geometry {
  object_node* layer;
  cg_record* record;
  int32_t width, height;
};

// Draws the character of step k at the text position; the pen moves by its
// advance and the text position by its bytes.
void draw_step(message_window_record& mw, const page_geometry& g, int k) {
  if (mw.text_pos >= mw.text_length) return;  // skipped text (a full page) or a text cut by a script
  size_t n = mw.commands[k] == '2' ? 2 : 1;
  if (static_cast<size_t>(mw.text_length - mw.text_pos) < n) n = 1;
  std::string_view ch(mw.text + mw.text_pos, n);
  select_font_slot(0);
  const int advance = draw_text_glyph(ch, mw.colours[k], mw.second_colours[k], mw.gradients[k], mw.rotations[k],
                                      mw.widths[k], mw.heights[k], mw.bolds[k], mw.glyph_mode, 0, mw.pen_x,
                                      mw.pen_y, mw.overlay_glyphs, g.layer);
  mw.pen_x += advance;
  mw.text_pos += static_cast<int32_t>(n);
}

bool is_double(const message_window_record& mw, int k) { return mw.commands[k] == '2'; }

// Whether the double-byte character at text position pos is `sjis` (2 bytes).
bool text_is(const message_window_record& mw, int32_t pos, const std::string& sjis) {
  return pos >= 0 && pos + 2 <= mw.text_length && sjis.size() == 2 && mw.text[pos] == sjis[0] &&
         mw.text[pos + 1] == sjis[1];
}

// The marks the line breaker looks at, converted once.
struct break_marks {
  std::string exclamation, question, brackets[3];
  std::string no_line_start[23];  // may not begin a line
};

const break_marks& marks() {
  static const break_marks m = [] {
    break_marks r;
    r.exclamation = utf8_to_sjis("！");
    r.question = utf8_to_sjis("？");
    const char* const brackets[3] = {"「", "『", "（"};
    for (int i = 0; i < 3; ++i) r.brackets[i] = utf8_to_sjis(brackets[i]);
    const char* const closing[23] = {"）", "』", "」", "、", "。", "ッ", "ョ", "ュ", "ャ", "ォ", "ェ", "ゥ",
                                     "ィ", "ァ", "っ", "ょ", "ゅ", "ゃ", "ぉ", "ぇ", "ぅ", "ぃ", "ぁ"};
    for (int i = 0; i < 23; ++i) r.no_line_start[i] = utf8_to_sjis(closing[i]);
    return r;
  }();
  return m;
}

bool no_line_start(const message_window_record& mw, int32_t pos) {
  for (const std::string& c : marks().no_line_start)
    if (text_is(mw, pos, c)) return true;
  return false;
}

bool opening_bracket(const message_window_record& mw, int32_t pos) {
  for (const std::string& c : marks().brackets)
    if (text_is(mw, pos, c)) return true;
  return false;
}

// The page is full when the next line would not fit: the rest of the text is
// skipped.
bool page_full(message_window_record& mw, const page_geometry& g, int k) {
  const int next_height = k + 1 < message_buffer_size ? mw.heights[k + 1] : 0;
  if (mw.pen_y + next_height + 2 >= g.height) {
    mw.text_pos = mw.text_length;
    return true;
  }
  return false;
}

// New line inside the breaker; true when the page is then full.
bool break_line(message_window_record& mw, const page_geometry& g, int k) {
  mw.pen_x = 0;
  mw.pen_y += mw.heights[k];
  return page_full(mw, g, k);
}

// The line breaker before the character of step k; true when it handled the
// step (drawn or skipped), false when the caller draws it.
bool break_before(message_window_record& mw, const page_geometry& g, int& k) {
  const int w = mw.widths[k];
  if (page_full(mw, g, k)) return true;
  if (mw.pen_x + 2 + w >= g.width) return break_line(mw, g, k);
  if (mw.pen_x + 2 + 2 * w < g.width) {
    if (mw.pen_x + 2 + 4 * w < g.width || !is_double(mw, k)) return false;
    const int32_t pos = mw.text_pos;
    if (text_is(mw, pos, marks().exclamation) && k + 1 < mw.command_count && is_double(mw, k + 1) &&
        text_is(mw, pos + 2, marks().question)) {
      draw_step(mw, g, k);
      ++k;
      draw_step(mw, g, k);
      return true;
    }
    // No opening bracket at a line end.
    if (opening_bracket(mw, pos)) return break_line(mw, g, k);
    return false;
  }
  // Room for this character only.
  if (is_double(mw, k) && no_line_start(mw, mw.text_pos)) {
    draw_step(mw, g, k);
    return true;
  }
  return break_line(mw, g, k);
}

// Whether the character of step k must wait for its delay.
bool delay_pending(message_window_record& mw, int k) {
  if (typesetter_state.instant_text || mw.text_pos == 0) return false;
  const uint32_t d = static_cast<uint32_t>(static_cast<uint16_t>(mw.delays[k]));
  // Adding the delay (not taking the current time) lets late characters
  // catch up within one frame.
  if (now_ms() - typesetter_state.last_char_time < d) return true;
  typesetter_state.last_char_time += d;
  return false;
}

void clear_page(const page_geometry& g) {
  if (!g.record || !g.record->pixels) return;
  std::memset(g.record->pixels, 0, static_cast<size_t>(g.record->width) * 4 * g.record->height);
  mark_layer_dirty(g.layer);
}

void run_steps(message_window_record& mw) {
  page_geometry g{};
  g.layer = message_layer();
  g.record = layer_record(g.layer);
  if (!g.record) g.layer = nullptr;
  g.width = g.record ? g.record->width : 0;
  g.height = g.record ? g.record->height : 0;
  while (mw.command_pos < mw.command_count) {
    if (mw.restart_timing) {
      mw.restart_timing = 0;
      typesetter_state.last_char_time = now_ms();
    }
    int k = mw.command_pos;
    const char c = mw.commands[k];
    if (c == '1' || c == '2') {
      if (delay_pending(mw, k)) break;
      if (!g.layer) {
        // No layer: the text is consumed without drawing.
        size_t n = c == '2' ? 2 : 1;
        if (mw.text_pos < mw.text_length) mw.text_pos += static_cast<int32_t>(std::min<size_t>(n, mw.text_length - mw.text_pos));
      } else if (!break_before(mw, g, k)) {
        draw_step(mw, g, k);
      }
    } else if (c == 'C') {
      mw.waiting_for_click = 1;
      typesetter_state.instant_text = 0;
      break;
    } else if (c == 'E') {
    } else if (c == 'P' || c == 'p') {
      clear_page(g);
      mw.pen_x = mw.pen_y = 0;
    } else if (c == 'R' || c == 'r') {
      mw.pen_x = 0;
      mw.pen_y += mw.heights[k];
    } else {
      report_error(900010, 1);
      break;
    }
    mw.command_pos = k + 1;
  }
  typesetter_state.instant_text = 0;
}

// ---------------------------------------------------------------- hooks

void mirror_slot0(const font_slot_record& s) {
  if (!message_window) return;
  message_window_record& mw = *message_window;
  mw.char_width = s.char_width;
  mw.char_height = s.char_height;
  mw.bold = s.bold;
  mw.colour = s.colour;
  mw.second_colour = s.second_colour;
  mw.gradient = s.gradient;
  mw.rotation = s.rotation;
  mw.glyph_mode = s.glyph_mode;
  mw.overlay_glyphs = s.overlay_glyphs;
}

font_slot_record window_font() {
  font_slot_record s;
  if (!message_window) return font_slots[0];
  const message_window_record& mw = *message_window;
  s.char_width = mw.char_width;
  s.char_height = mw.char_height;
  s.bold = mw.bold;
  s.colour = mw.colour;
  s.second_colour = mw.second_colour;
  s.gradient = mw.gradient;
  s.rotation = mw.rotation;
  s.glyph_mode = mw.glyph_mode;
  s.overlay_glyphs = mw.overlay_glyphs;
  return s;
}

// System texts 112 (the text) and 113 (the command string).
std::string read_message_text(int which) {
  if (!message_window) return {};
  const message_window_record& mw = *message_window;
  return which == 0 ? std::string(mw.text, static_cast<size_t>(mw.text_length))
                    : std::string(mw.commands, static_cast<size_t>(mw.command_count));
}

void write_message_text(int which, const std::string& text) {
  if (!message_window) return;
  message_window_record& mw = *message_window;
  const size_t n = std::min<size_t>(text.size(), message_buffer_size - 1);
  char* buffer = which == 0 ? mw.text : mw.commands;
  std::memset(buffer, 0, message_buffer_size);
  std::memcpy(buffer, text.data(), n);
  if (which == 0) {
    mw.text_length = static_cast<int32_t>(n);
    if (mw.text_pos > mw.text_length) mw.text_pos = mw.text_length;
  } else {
    mw.command_count = static_cast<int32_t>(n);
    if (mw.command_pos > mw.command_count) mw.command_pos = mw.command_count;
  }
}

bool message_end_hook() { return message_window_end(); }

// ---------------------------------------------------------------- command helpers

int64_t combined(uint32_t parameter_id, int64_t current, int64_t lo, int64_t hi) {
  const uint32_t pos = argument_position(parameter_id);
  return apply_assign_mode_clamped(argument_slots.assignment_operator[pos], current,
                                   argument_slots.integer_value[pos], lo, hi);
}

void store_output_int(uint32_t parameter_id, int64_t value) {
  const uint32_t pos = argument_position(parameter_id);
  if (!pos || !argument_slots.variable_id[pos]) return;
  set_numeric_element(argument_slots.variable_id[pos], argument_slots.element_index[pos], value);
}

object_node* find_layer(const std::string& path) {
  std::string resolved;
  return find_named_layer(path, resolved, message_set_command);
}

bool switch_on(uint32_t parameter_id) { return parameter_given(parameter_id) && parameter_int(parameter_id) == 1; }

}  // namespace

// ---------------------------------------------------------------- interface

object_node* message_layer() { return layer_links.message_layer; }

int init_message_window() {
  delete message_window;
  message_window = new (std::nothrow) message_window_record();
  if (!message_window) return 1;
  typesetter_state = typesetter_state_record{};
  reset_message_window();
  scheduler_hooks.advance_message = process_message_text;
  control_flow_hooks.message_end = message_end_hook;
  control_flow_hooks.set_message_text = write_message_text;
  engine_facts.message_text = read_message_text;
  mirror_font_slot0 = mirror_slot0;
  message_window_font = window_font;
  return 0;
}

void release_message_window() {
  delete message_window;
  message_window = nullptr;
  if (scheduler_hooks.advance_message == process_message_text) scheduler_hooks.advance_message = nullptr;
  if (control_flow_hooks.message_end == message_end_hook) control_flow_hooks.message_end = nullptr;
  if (control_flow_hooks.set_message_text == write_message_text) control_flow_hooks.set_message_text = nullptr;
  if (engine_facts.message_text == read_message_text) engine_facts.message_text = nullptr;
  if (mirror_font_slot0 == mirror_slot0) mirror_font_slot0 = nullptr;
  if (message_window_font == window_font) message_window_font = nullptr;
}

void reset_message_window() {
  if (!message_window || !message_window->reset_pending) return;
  message_window_record& mw = *message_window;
  mw.reset_pending = 0;
  mw.text_length = mw.command_count = mw.text_pos = mw.command_pos = 0;
  mw.restart_timing = 1;
  std::memset(mw.text, 0, sizeof mw.text);
  std::memset(mw.commands, 0, sizeof mw.commands);
  std::memset(mw.widths, 0, sizeof mw.widths);
  std::memset(mw.heights, 0, sizeof mw.heights);
  std::memset(mw.delays, 0, sizeof mw.delays);
  std::memset(mw.colours, 0, sizeof mw.colours);
  std::memset(mw.second_colours, 0, sizeof mw.second_colours);
  std::memset(mw.gradients, 0, sizeof mw.gradients);
  std::memset(mw.rotations, 0, sizeof mw.rotations);
  std::memset(mw.bolds, 0, sizeof mw.bolds);
}

void process_message_text(task_record* task) {
  if (!task || !task->message_wait) return;
  if (!message_window) {  // no window: the text is done at once
    task->message_wait = 0;
    return;
  }
  message_window_record& mw = *message_window;
  if (mw.is_open == 1) {
    const bool skip = skip_key_held();
    if (skip) {
      if (mw.waiting_for_click)
        release_click_wait(mw);
      else
        typesetter_state.instant_text = 1;
    }
    run_steps(mw);
    if (mw.command_count > 0) {
      if (!advance_key_pressed() && !skip) {
        if (steps_remain(mw)) return;
      } else if (mw.waiting_for_click) {
        release_click_wait(mw);
      } else if (steps_remain(mw)) {
        typesetter_state.instant_text = 1;
      }
    }
    if (steps_remain(mw)) return;
    if (mw.command_count > 0) mw.reset_pending = 1;
  }
  reset_message_window();
  task->message_wait = 0;
}

int append_message_control_step(char command) {
  if (!message_window) return 0;
  message_window_record& mw = *message_window;
  if (!steps_fit(mw, 1)) {
    report_error_at_line(102000, 1);
    return -1;
  }
  store_step(mw, command, 0);
  return 0;
}

bool message_window_end() {
  if (!message_window) return false;
  message_window_record& mw = *message_window;
  const bool open = mw.is_open == 1;
  char steps[4];
  int n = 0;
  if (open) {
    if (mw.end_click_wait) steps[n++] = 'C';
    if (mw.end_new_line) steps[n++] = 'R';
    if (mw.end_new_page) steps[n++] = 'P';
  } else {
    mw.reset_pending = 1;
  }
  steps[n++] = 'E';
  // All or nothing: a half-appended end would leave a click wait without its page.
  if (!steps_fit(mw, n)) {
    report_error_at_line(102000, 1);
    return open;
  }
  for (int i = 0; i < n; ++i) store_step(mw, steps[i], 0);
  return open;
}

// ---------------------------------------------------------------- commands

int cmd_message_window_set() {
  enum : uint32_t { p_layer, p_open, p_advance1, p_skip1 = 6, p_delay = 10, p_new_line, p_new_page, p_line_lower,
                    p_page_lower, p_click, p_reset, p_end_line, p_end_page, p_end_click };
  if (bind_command_arguments(message_set_command) != 0) return -1;
  if (!message_window) return 0;
  message_window_record& mw = *message_window;
  if (parameter_given(p_layer)) {
    object_node* node = find_layer(parameter_text(p_layer));
    if (!node) return -1;
    set_message_layer(node);
  }
  if (parameter_given(p_open)) mw.is_open = static_cast<uint8_t>(combined(p_open, mw.is_open, 0, 1));
  for (uint32_t i = 0; i < 4; ++i) {
    if (parameter_given(p_advance1 + i)) {
      int64_t v = combined(p_advance1 + i, typesetter_state.advance_keys[i], 0, message_key_none);
      typesetter_state.advance_keys[i] = v == 0 ? message_key_none : static_cast<int32_t>(v);
    }
    if (parameter_given(p_skip1 + i)) {
      int64_t v = combined(p_skip1 + i, typesetter_state.skip_keys[i], 0, message_key_none);
      typesetter_state.skip_keys[i] = v == 0 ? message_key_none : static_cast<int32_t>(v);
    }
  }
  // Delays are kept per step in 16 bits.
  if (parameter_given(p_delay)) mw.char_delay = static_cast<int32_t>(combined(p_delay, mw.char_delay, 0, INT16_MAX));
  if (switch_on(p_click)) {
    if (append_message_control_step('C') != 0) return -1;
    if (mw.is_open == 1) return -1;
  }
  if (switch_on(p_new_line) && append_message_control_step('R') != 0) return -1;
  if (switch_on(p_new_page) && append_message_control_step('P') != 0) return -1;
  if (switch_on(p_line_lower) && append_message_control_step('r') != 0) return -1;
  if (switch_on(p_page_lower) && append_message_control_step('p') != 0) return -1;
  if (switch_on(p_reset)) {
    mw.reset_pending = 1;
    reset_message_window();
  }
  if (parameter_given(p_end_line)) mw.end_new_line = static_cast<int32_t>(combined(p_end_line, mw.end_new_line, 0, 1));
  if (parameter_given(p_end_page)) mw.end_new_page = static_cast<int32_t>(combined(p_end_page, mw.end_new_page, 0, 1));
  if (parameter_given(p_end_click))
    mw.end_click_wait = static_cast<int32_t>(combined(p_end_click, mw.end_click_wait, 0, 1));
  return 0;
}

int cmd_message_window_query() {
  enum : uint32_t { p_layer, p_open, p_pen_x, p_pen_y, p_waiting, p_end_line, p_end_page, p_end_click, p_output };
  if (bind_command_arguments(message_query_command) != 0) return -1;
  if (!message_window) return 0;
  const message_window_record& mw = *message_window;
  const struct {
    uint32_t id;
    int64_t value;
  } answers[] = {{p_open, mw.is_open},        {p_pen_x, mw.pen_x},           {p_pen_y, mw.pen_y},
                 {p_waiting, mw.waiting_for_click}, {p_end_line, mw.end_new_line}, {p_end_page, mw.end_new_page},
                 {p_end_click, mw.end_click_wait}};
  for (const auto& a : answers) {
    if (parameter_given(a.id)) {
      store_output_int(p_output, a.value);
      break;
    }
  }
  return 0;
}

int cmd_text_append() {
  if (bind_command_arguments(text_append_command) != 0) return -1;
  const uint32_t pos = argument_position(0);
  return append_message_text(pos ? std::string_view(parameter_text(0), argument_slots.string_length[pos]) : "");
}

int append_message_text(std::string_view text) {
  if (!message_window) return 0;
  message_window_record& mw = *message_window;
  if (mw.text_length + static_cast<int64_t>(text.size()) >= message_buffer_size - 1) {
    report_error_at_line(102000, 1);
    return -1;
  }
  return append_characters(mw, text);
}

int cmd_text_append_value() {
  if (bind_command_arguments(text_value_command) != 0) return -1;
  if (!message_window) return 0;
  message_window_record& mw = *message_window;
  const uint32_t pos = argument_position(0);
  if (!pos) return 0;
  // Strings are shorter than 4096 bytes; numbers far shorter.
  static char buffer[string_slot_size + 512];
  const uint8_t* bytes = argument_slots.raw_pointer[pos];
  const uint32_t length = argument_slots.length[pos];
  const uint32_t type = argument_slots.value_type[pos];
  int n = 0;
  if (type == 1) {
    n = std::snprintf(buffer, sizeof buffer, "%" PRId64, eval_int_by_value_type(type, bytes, length));
  } else if (type == 2) {
    n = std::snprintf(buffer, sizeof buffer, "%f", eval_real_by_value_type(type, bytes, length));
  } else {
    n = eval_string_by_value_type(type, buffer, bytes, length);
  }
  if (expression_state.failed || n < 0) return -1;
  if (n >= static_cast<int>(sizeof buffer)) n = static_cast<int>(sizeof buffer) - 1;
  std::string text(buffer, static_cast<size_t>(n));
  if (mw.text_length + static_cast<int64_t>(text.size()) > message_buffer_size - 3) {
    report_error_at_line(102000, 1);
    return -1;
  }
  if (text.size() > 1024) {
    report_error_at_line(102030, 1);
    return -1;
  }
  for (size_t i = 0; i < text.size(); i += sjis_char_length(text, i)) {
    if (sjis_char_length(text, i) == 1) {
      const uint8_t b = static_cast<uint8_t>(text[i]);
      if (b < 32 || b > 126) text[i] = ' ';
    }
  }
  return append_characters(mw, text);
}
