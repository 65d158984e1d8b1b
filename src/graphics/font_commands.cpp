// Commands 25 (font settings) and 26 (font information).
#include <cstdint>
#include <string>

#include "core/error_report.h"
#include "graphics/fonts.h"
#include "graphics/pixel_kernels.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script/variable_store.h"

namespace {

constexpr int font_settings_command = 25;
constexpr int font_info_command = 26;

const std::string& parameter_name(int command, uint32_t parameter_id) {
  static const std::string none;
  const command_parameter_record* p = command_parameter(static_cast<unsigned>(command), parameter_id);
  return p ? p->name : none;
}

// The argument of a given parameter combined with `current` by its operator.
int64_t combined(uint32_t parameter_id, int64_t current, int64_t lo, int64_t hi) {
  uint32_t pos = argument_position(parameter_id);
  return apply_assign_mode_clamped(argument_slots.assignment_operator[pos], current,
                                   argument_slots.integer_value[pos], lo, hi);
}

// Face numbers are 1-based for scripts: 0 when fine, else reported.
int check_face_number(int command, uint32_t parameter_id, int64_t n) {
  if (n < 1) {
    report_error_at_line_fmt(101010, 1, command_name(command), parameter_name(command, parameter_id), n,
                             int64_t{1});
    return -1;
  }
  if (n > face_count()) {
    report_error_at_line_fmt(101240, 1, command_name(command), parameter_name(command, parameter_id), n,
                             static_cast<int64_t>(face_count()));
    return -1;
  }
  return 0;
}

// Results go to the variable element the output parameter names.
void store_output_int(uint32_t parameter_id, int64_t value) {
  uint32_t pos = argument_position(parameter_id);
  if (!pos || !argument_slots.variable_id[pos]) return;
  set_numeric_element(argument_slots.variable_id[pos], argument_slots.element_index[pos], value);
}

void store_output_text(uint32_t parameter_id, const std::string& text) {
  uint32_t pos = argument_position(parameter_id);
  if (!pos || !argument_slots.variable_id[pos]) return;
  set_string_element_n(argument_slots.variable_id[pos], argument_slots.element_index[pos], text.data(),
                       text.size());
}

int font_settings(font_slot_record& f) {
  enum : uint32_t { p_slot, p_face_number, p_face_name, p_glyph_mode, p_colour, p_second_colour, p_gradient,
                    p_rotation, p_overlay, p_width, p_height, p_bold };
  if (parameter_given(p_face_number)) {
    int64_t n = combined(p_face_number, current_face_index() + 1, 1, face_count());
    if (check_face_number(font_settings_command, p_face_number, n) != 0) return -1;
    select_face(static_cast<int>(n - 1));
  }
  if (parameter_given(p_face_name)) select_font_by_name(parameter_text(p_face_name));
  if (parameter_given(p_glyph_mode)) {
    uint32_t pos = argument_position(p_glyph_mode);
    f.glyph_mode = static_cast<uint8_t>(apply_assign_mode(argument_slots.assignment_operator[pos], f.glyph_mode,
                                                          argument_slots.integer_value[pos]));
  }
  // A plain assignment is stored as given (the byte fields keep its low byte).
  if (parameter_given(p_colour)) f.colour = static_cast<int32_t>(combined(p_colour, f.colour, 0, 0xFFFFFF));
  if (parameter_given(p_second_colour))
    f.second_colour = static_cast<int32_t>(combined(p_second_colour, f.second_colour, 0, 0xFFFFFF));
  if (parameter_given(p_gradient)) f.gradient = static_cast<uint8_t>(combined(p_gradient, f.gradient, 0, 8));
  if (parameter_given(p_rotation)) f.rotation = static_cast<uint8_t>(combined(p_rotation, f.rotation, 0, 8));
  if (parameter_given(p_overlay))
    f.overlay_glyphs = static_cast<uint8_t>(combined(p_overlay, f.overlay_glyphs, 0, 1));
  if (parameter_given(p_width))
    f.char_width = static_cast<int32_t>(combined(p_width, f.char_width, 0, max_glyph_cell));
  if (parameter_given(p_height))
    f.char_height = static_cast<int32_t>(combined(p_height, f.char_height, 0, max_glyph_cell));
  if (parameter_given(p_bold)) f.bold = static_cast<uint8_t>(combined(p_bold, f.bold, 0, 1));
  return 0;
}

}  // namespace

int cmd_font_settings() {
  if (bind_command_arguments(font_settings_command) != 0) return -1;
  installed_font_list& list = pixel_kernels.fonts;
  int64_t slot = list.current_slot;
  if (parameter_given(0)) {
    uint32_t pos = argument_position(0);
    slot = apply_assign_mode(argument_slots.assignment_operator[pos], slot, argument_slots.integer_value[pos]);
    // Eight slots: any other number would index past them.
    if (slot < 0 || slot >= font_slot_count) {
      report_error_at_line_fmt(101000, 1, command_name(font_settings_command),
                               parameter_name(font_settings_command, 0), slot, int64_t{0},
                               int64_t{font_slot_count - 1});
      list.current_slot = 0;
      return -1;
    }
  }
  select_font_slot(static_cast<int>(slot));
  int result = font_settings(font_slots[slot]);
  if (slot == 0 && mirror_font_slot0) mirror_font_slot0(font_slots[0]);
  list.current_slot = 0;
  return result;
}

int cmd_font_info() {
  enum : uint32_t { p_face_number, p_face_name, p_glyph_mode, p_colour, p_second_colour, p_gradient, p_rotation,
                    p_overlay, p_width, p_height, p_bold, p_count, p_zero, p_non_japanese, p_advance, p_char_height,
                    p_unused, p_character, p_output };
  if (bind_command_arguments(font_info_command) != 0) return -1;
  const font_slot_record mw = message_window_font ? message_window_font() : font_slots[0];
  // The first attribute asked for is the answer.
  const struct {
    uint32_t id;
    int64_t value;
  } attributes[] = {
      {p_glyph_mode, mw.glyph_mode}, {p_colour, mw.colour},         {p_second_colour, mw.second_colour},
      {p_gradient, mw.gradient},     {p_rotation, mw.rotation},     {p_overlay, mw.overlay_glyphs},
      {p_width, mw.char_width},      {p_height, mw.char_height},    {p_bold, mw.bold},
  };
  for (const auto& a : attributes) {
    if (parameter_given(a.id)) {
      store_output_int(p_output, a.value);
      return 0;
    }
  }
  auto face_number = [&](int64_t& n) {
    n = parameter_given(p_face_number) ? parameter_int(p_face_number) : current_face_index() + 1;
    return check_face_number(font_info_command, p_face_number, n);
  };
  if (parameter_given(p_count) && parameter_int(p_count) == 1) {
    store_output_int(p_output, face_count());
  } else if (parameter_given(p_zero)) {
    store_output_int(p_output, 0);
  } else if (parameter_given(p_advance) || parameter_given(p_char_height)) {
    glyph_metrics m = render_glyph(parameter_text(p_character), mw.char_width, mw.char_height, mw.bold,
                                   mw.glyph_mode);
    store_output_int(p_output, parameter_given(p_advance) ? m.advance : m.height);
  } else if (parameter_given(p_face_name) && parameter_int(p_face_name) == 1) {
    int64_t n = 0;
    if (face_number(n) != 0) return -1;
    store_output_text(p_output, face_name(static_cast<int>(n - 1)));
  } else if (parameter_given(p_non_japanese) && parameter_int(p_non_japanese) == 1) {
    int64_t n = 0;
    if (face_number(n) != 0) return -1;
    store_output_int(p_output, face_non_japanese(static_cast<int>(n - 1)));
  } else {
    store_output_int(p_output, 0);
  }
  return 0;
}
