#include "image/cg_command.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "core/error_report.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/fonts.h"
#include "graphics/layer_commands.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "image/cg_command_operations.h"
#include "image/cg_filters.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script/expression.h"

namespace {

constexpr int cg_command_number = 2;

// Parameter n of the command is parameter_id n - 1.
constexpr uint32_t param(int n) { return static_cast<uint32_t>(n - 1); }
bool given(int n) { return parameter_given(param(n)); }
int64_t value_of(int n) { return parameter_int(param(n)); }

std::string text(int n) {
  const uint32_t pos = argument_position(param(n));
  if (!pos || !argument_slots.string_value[pos]) return std::string();
  return std::string(argument_slots.string_value[pos], argument_slots.string_length[pos]);
}

const std::string& name() { return command_name(cg_command_number); }
std::string parameter_name(int n) {
  const command_parameter_record* p = command_parameter(cg_command_number, param(n));
  return p ? p->name : std::string();
}

// Raw parameters 6 and 7: evaluated here by their bound kind; absent gives 0.
bool raw_value(int n, int64_t& out) {
  out = 0;
  const uint32_t pos = argument_position(param(n));
  if (!pos || !argument_slots.length[pos]) return true;
  out = eval_int_by_value_type(argument_slots.value_type[pos], argument_slots.raw_pointer[pos],
                               argument_slots.length[pos]);
  return !expression_state.failed;
}

int64_t saturating_mul(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_mul_overflow(a, b, &r))
    return (a < 0) != (b < 0) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  return r;
}

// The value check: the low 32 bits as an unsigned number, so a negative
// value fails it.
bool value_within(int64_t value, uint32_t max) {
  if (static_cast<uint32_t>(static_cast<uint64_t>(value)) <= max) return true;
  report_error_at_line_fmt(101000, 1, name(), parameter_name(6), value, int64_t{0}, int64_t{max});
  return false;
}

bool rect_absent() { return !given(9) && !given(10) && !given(11) && !given(12); }

bool refuse(int code, int selector) {
  report_error_at_line_fmt(code, 1, name(), parameter_name(selector));
  return false;
}

// A further layer's node: resolved, refused as a group, made when missing.
// Null after a report.
object_node* further_layer(int n, object_node* first) {
  if (!given(n)) return first;  // a gap before a later layer names the first layer
  std::string resolved;
  const int kind = resolve_object_path(resolved, text(n), object_current_path(tree_layers), 0);
  if (kind < 0) return nullptr;
  if (kind == 1) {
    report_error_at_line_fmt(101291, 1, name());
    return nullptr;
  }
  object_node* root = object_trees[tree_layers].root;
  object_node* node = find_object_by_path(root, resolved, find_leaf);
  if (!node) {
    node = create_object_by_path(root, resolved, 0, 1, 0);
    if (!node) return nullptr;
    if (!attach_new_cg_record(node)) {
      free_layer_node(node);
      return nullptr;
    }
  } else if (!layer_record(node) && !attach_new_cg_record(node)) {
    return nullptr;
  }
  mark_layer_dirty(node);
  return node;
}

struct cg_call {
  object_node* first = nullptr;
  object_node* layers[3] = {nullptr, nullptr, nullptr};  // second, third, fourth
  int n = 0;
  int64_t width = 1, height = 1;
  int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;           // after step 5
  int64_t given_x1 = 0, given_y1 = 0, given_x2 = 0, given_y2 = 0;  // with defaults, never clamped
  int64_t x1_100 = 0, y1_100 = 0, x2_100 = 0, y2_100 = 0;
  int64_t target_w = 0, target_h = 0, target_w100 = 0, target_h100 = 0;
  int64_t value = 0, value2 = 0;
};

int result_of(int r) { return r == 0 ? 0 : -1; }

// The filters take the rectangle clamped to the picture with its corners in
// order; a rectangle whose last corner lies before its first is refused.
int filter(const cg_call& c, int op, int fill_mode = cg_fill_none) {
  const int64_t x1 = std::clamp<int64_t>(c.x1, 0, std::max<int64_t>(0, c.width - 1));
  const int64_t y1 = std::clamp<int64_t>(c.y1, 0, std::max<int64_t>(0, c.height - 1));
  const int64_t x2 = std::clamp<int64_t>(c.x2, 0, std::max<int64_t>(0, c.width - 1));
  const int64_t y2 = std::clamp<int64_t>(c.y2, 0, std::max<int64_t>(0, c.height - 1));
  if (x2 < x1) {
    report_error_at_line_fmt(101000, 1, name(), parameter_name(11), c.x2, x1, c.width - 1);
    return -1;
  }
  if (y2 < y1) {
    report_error_at_line_fmt(101000, 1, name(), parameter_name(12), c.y2, y1, c.height - 1);
    return -1;
  }
  return result_of(apply_cg_filter(op, c.first, c.layers[0], x1, y1, x2, y2, c.value, c.value2, c.n, fill_mode));
}

cg_operation_call operation(const cg_call& c, cg_operation kind) {
  cg_operation_call o;
  o.kind = kind;
  o.first = c.first;
  o.second = c.n >= 1 ? c.layers[0] : nullptr;
  o.third = c.n >= 2 ? c.layers[1] : nullptr;
  o.n = c.n;
  o.value = c.value;
  o.value2 = c.value2;
  return o;
}

// Target size of the resizes: parameters 19 and 20 in whole pixels, 1..8192.
bool target_size_valid(const cg_call& c) {
  const int64_t w = c.target_w100 / 100, h = c.target_h100 / 100;
  if (w < 1 || w > cg_max_width) {
    report_error_at_line_fmt(101000, 1, name(), parameter_name(13), c.target_w, int64_t{1}, int64_t{cg_max_width});
    return false;
  }
  if (h < 1 || h > cg_max_width) {
    report_error_at_line_fmt(101000, 1, name(), parameter_name(14), c.target_h, int64_t{1}, int64_t{cg_max_width});
    return false;
  }
  return true;
}

int resize(const cg_call& c, int method) {
  if (!target_size_valid(c)) return -1;
  cg_operation_call o = operation(c, cg_operation::resize);
  o.x1 = c.x1_100;
  o.y1 = c.y1_100;
  o.x2 = c.x2_100;
  o.y2 = c.y2_100;
  o.target_width = c.target_w100;
  o.target_height = c.target_h100;
  o.method = method;
  return result_of(run_cg_operation(o));
}

int rotation(const cg_call& c, cg_operation kind, int selector, int mode) {
  if (!rect_absent()) {
    refuse(101282, selector);
    return -1;
  }
  cg_operation_call o = operation(c, kind);
  o.x2 = c.width - 1;
  o.y2 = c.height - 1;
  o.method = mode;
  return result_of(run_cg_operation(o));
}

// Rows 33 to 38: position as given.
int layer_copy(const cg_call& c, cg_operation kind, int selector) {
  if (c.n < 1) {
    refuse(101298, selector);
    return -1;
  }
  cg_operation_call o = operation(c, kind);
  o.x1 = c.given_x1;
  o.y1 = c.given_y1;
  return result_of(run_cg_operation(o));
}

void draw_text(const cg_call& c) {
  const std::string t = text(8);
  const int slot = std::clamp<int>(pixel_kernels.fonts.current_slot, 0, font_slot_count - 1);
  const font_slot_record& s = font_slots[slot];
  int64_t x = c.x1;
  const int y = int(std::clamp<int64_t>(c.y1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
  const int extra = int(std::clamp<int64_t>(c.value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
  for (size_t pos = 0; pos < t.size();) {
    const size_t len = sjis_char_length(t, pos);
    const int px = int(std::clamp<int64_t>(x, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    x += draw_text_glyph(std::string_view(t).substr(pos, len), s.colour, s.second_colour, s.gradient, s.rotation,
                         s.char_width, s.char_height, s.bold, s.glyph_mode, extra, px, y, s.overlay_glyphs, c.first);
    pos += len;
  }
}

// Step 7: the selectors in their order.
int run_selectors(cg_call& c) {
  if (given(21)) return resize(c, 10);
  if (given(22)) return resize(c, int(20 + value_of(22)));
  if (given(23)) return resize(c, int(30 + value_of(23)));
  if (given(24)) return resize(c, int(40 + value_of(24)));
  if (given(25)) return resize(c, int(50 + value_of(25)));
  if (given(26)) return rotation(c, cg_operation::rotate, 26, int(10 + value_of(26)));
  if (given(27)) return rotation(c, cg_operation::rotate_bilinear, 27, 0);

  struct filter_row {
    int selector;
    uint32_t max;  // value check; 0xFFFFFFFF: none
    int op;
    int rect_error;  // the rectangle parameters must be absent, else this code
  };
  constexpr uint32_t none = 0xFFFFFFFFu;
  static constexpr filter_row filters[] = {
      {28, 256, cg_filter_monochrome, 0},      {29, 0xFFFFFF, cg_filter_tone, 0},
      {30, 0xFFFFFF, cg_filter_sepia, 0},      {39, 256, cg_filter_brightness, 0},
      {40, 256, cg_filter_threshold, 0},       {41, 1, cg_filter_flip, 0},
      {42, 1, cg_filter_mirror, 0},            {43, 256, cg_filter_mosaic, 101283},
      {44, 256, cg_filter_weighted_blur, 0},   {45, 256, cg_filter_horizontal_blur, 0},
      {46, 256, cg_filter_vertical_blur, 0},   {47, 256, cg_filter_box_blur, 0},
      {48, 256, cg_filter_weighted_shadow, 0}, {49, 256, cg_filter_box_shadow, 0},
      {50, 256, cg_filter_shuffle, 101284},    {51, none, cg_filter_horizontal_wave, 0},
      {52, none, cg_filter_vertical_wave, 0},  {53, none, cg_filter_double_wave, 0},
      {58, none, cg_filter_swirl, 0},          {54, 1, cg_filter_negative, 0},
  };
  for (const filter_row& row : filters) {
    if (!given(row.selector)) continue;
    if (row.max != none && !value_within(c.value, row.max)) return -1;
    if (row.rect_error && !rect_absent()) {
      refuse(row.rect_error, row.selector);
      return -1;
    }
    return filter(c, row.op);
  }
  if (given(55)) return filter(c, cg_filter_fill, cg_fill_colour);
  if (given(56)) return filter(c, cg_filter_fill, cg_fill_alpha);
  if (given(57)) return filter(c, cg_filter_fill, cg_fill_pixel);

  if (given(59)) select_font_slot(int(std::clamp<int64_t>(value_of(59), -1, font_slot_count)));
  if (given(60)) {
    if (!given(8)) return -1;
    draw_text(c);
  }

  if (given(31)) return layer_copy(c, cg_operation::alpha_copy, 31);
  if (given(32)) return layer_copy(c, cg_operation::faded_alpha_copy, 32);
  if (given(33)) return layer_copy(c, cg_operation::mix, 33);
  if (given(34)) {
    if (c.n < 1) {
      refuse(101298, 34);
      return -1;
    }
    return 0;
  }
  if (given(35)) return layer_copy(c, cg_operation::difference_copy, 35);
  if (given(36)) return layer_copy(c, cg_operation::common_copy, 36);
  if (given(37)) {
    if (!value_within(c.value, 15)) return -1;
    return result_of(run_cg_operation(operation(c, cg_operation::trim)));
  }
  if (given(38)) {
    cg_operation_call o = operation(c, cg_operation::canvas);
    o.x1 = c.given_x1;  // left
    o.y1 = c.given_y1;  // top
    o.x2 = c.given_x2;  // right
    o.y2 = c.given_y2;  // bottom
    return result_of(run_cg_operation(o));
  }
  for (int selector : {61, 62}) {
    if (!given(selector)) continue;
    if (c.n < 1) {
      refuse(101296, selector);
      return -1;
    }
    return filter(c, selector == 61 ? cg_filter_copy_attributes : cg_filter_copy);
  }
  for (int selector : {63, 64}) {
    if (!given(selector)) continue;
    if (!rect_absent()) {
      refuse(101281, selector);
      return -1;
    }
    if (c.n < 1) {
      refuse(101297, selector);
      return -1;
    }
    return result_of(swap_layers(c.first, c.layers[0], selector == 63 ? 1 : 2));
  }
  if (given(65)) {
    if (run_cg_operation(operation(c, cg_operation::refresh_textures)) != 0) return -1;
    if (layer_command_hooks.mark_scene_dirty) layer_command_hooks.mark_scene_dirty();
    return 0;
  }
  if (given(66)) return result_of(run_cg_operation(operation(c, cg_operation::capture_screen)));

  select_font_slot(0);
  return 0;
}

}  // namespace

int cmd_cg_process() {
  if (bind_command_arguments(cg_command_number) != 0) return -1;
  object_node* root = object_trees[tree_layers].root;

  // Step 2: the first layer; a missing one is no error.
  std::string resolved;
  const int kind = resolve_object_path(resolved, text(1), object_current_path(tree_layers), 0);
  if (kind < 0) return -1;
  cg_call c;
  c.first = root && !resolved.empty() ? find_object_by_path(root, resolved, kind == 1 ? find_group : find_leaf)
                                      : nullptr;
  cg_record* record = layer_record(c.first);
  if (!record) return 0;

  // Step 3: a group is re-composited over its whole picture first.
  if (kind == 1) {
    record->redraw_flags[0] = record->redraw_flags[1] = 1;
    layer_rect whole = layer_rect_at(0, 0, record->width, record->height);
    union_dirty_rect(whole, record, 0);
    redraw_whole_cg(c.first);
  }

  // Step 4: the further layers.
  c.n = given(4) ? 3 : given(3) ? 2 : given(2) ? 1 : 0;
  for (int i = 0; i < c.n; ++i) {
    c.layers[i] = further_layer(2 + i, c.first);
    if (!c.layers[i]) return -1;
  }

  // Step 5: rectangle, sizes and their defaults.
  c.width = record->loaded_width;
  c.height = record->loaded_height;
  c.given_x1 = given(9) ? value_of(9) : 0;
  c.given_y1 = given(10) ? value_of(10) : 0;
  c.given_x2 = given(11) ? value_of(11) : c.width - 1;
  c.given_y2 = given(12) ? value_of(12) : c.height - 1;
  c.target_w = given(13) ? value_of(13) : 0;
  c.target_h = given(14) ? value_of(14) : 0;
  c.x1_100 = given(15) ? value_of(15) : saturating_mul(c.given_x1, 100);
  c.y1_100 = given(16) ? value_of(16) : saturating_mul(c.given_y1, 100);
  c.x2_100 = given(17) ? value_of(17) : saturating_mul(c.given_x2, 100);
  c.y2_100 = given(18) ? value_of(18) : saturating_mul(c.given_y2, 100);
  c.target_w100 = given(19) ? value_of(19) : saturating_mul(c.target_w, 100);
  c.target_h100 = given(20) ? value_of(20) : saturating_mul(c.target_h, 100);
  c.x1 = c.given_x1;
  c.y1 = c.given_y1;
  c.x2 = c.given_x2;
  c.y2 = c.given_y2;
  bool clamp = true;
  for (int p : {21, 22, 23, 24, 25, 31, 32, 33, 34, 35, 36, 38})
    if (given(p)) clamp = false;
  if (clamp) {
    const int64_t xm = std::max<int64_t>(0, c.width - 1), ym = std::max<int64_t>(0, c.height - 1);
    c.x1 = std::clamp<int64_t>(c.x1, 0, xm);
    c.x2 = std::clamp<int64_t>(c.x2, 0, xm);
    c.y1 = std::clamp<int64_t>(c.y1, 0, ym);
    c.y2 = std::clamp<int64_t>(c.y2, 0, ym);
    c.x1_100 = std::clamp<int64_t>(c.x1_100, 0, xm * 100);
    c.x2_100 = std::clamp<int64_t>(c.x2_100, 0, xm * 100);
    c.y1_100 = std::clamp<int64_t>(c.y1_100, 0, ym * 100);
    c.y2_100 = std::clamp<int64_t>(c.y2_100, 0, ym * 100);
  }

  // Step 6: the two values.
  if (!raw_value(6, c.value) || !raw_value(7, c.value2)) return -1;
  return run_selectors(c);
}
