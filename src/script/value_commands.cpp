#include "script/value_commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/error_report.h"
#include "core/sjis.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script/expression.h"
#include "script/math_commands.h"
#include "script/sjis_text.h"
#include "script/variable_store.h"

namespace {

// The four array messages (system-modal boxes without an owner).
const std::string& message(int which) {
  static const std::string texts[4] = {
      utf8_to_sjis("配列サイズを変更しようとしましたが、この変数は１次元配列ではありません。"),
      utf8_to_sjis("変更後の配列サイズが不正です。"),
      utf8_to_sjis("配列挿入処理をしようとしましたが、この変数は１次元配列ではありません。"),
      utf8_to_sjis("配列削除処理をしようとしましたが、この変数は１次元配列ではありません。"),
  };
  return texts[which];
}
enum { msg_resize_not_1d = 0, msg_bad_size = 1, msg_insert_not_1d = 2, msg_delete_not_1d = 3 };

void show_array_message(int which) { show_message_box("", "%s", message(which)); }

std::string element_text(const element_ref& r) {
  const char* t = get_string_element(r.id, r.element);
  return t ? std::string(t) : std::string();
}

bool is_text(uint32_t id) { return variable_type_of(id) == variable_type_text; }
bool is_number(uint32_t id) {
  uint8_t t = variable_type_of(id);
  return t == variable_type_int || t == variable_type_real;
}

variable_record* one_dimensional(uint32_t id) {
  variable_record* v = find_variable(id);
  if (!v || v->type == variable_type_none || v->dimension_count != 1 || v->element_count == 0) return nullptr;
  return v;
}

// Moves element `from` to `to` (text pointers and capacities move with it).
void move_element(variable_record& v, uint64_t to, uint64_t from) {
  switch (v.type) {
    case variable_type_int: v.int_values[to] = v.int_values[from]; break;
    case variable_type_real: v.real_values[to] = v.real_values[from]; break;
    default:
      v.text_values[to] = v.text_values[from];
      v.text_capacities[to] = v.text_capacities[from];
      break;
  }
}

// Element `at` receives `spare` (for texts: the block that dropped out of the
// array, emptied) or 0.
void clear_element(variable_record& v, uint64_t at, char* spare, uint32_t spare_capacity) {
  switch (v.type) {
    case variable_type_int: v.int_values[at] = 0; break;
    case variable_type_real: v.real_values[at] = 0.0; break;
    default:
      if (spare && spare_capacity) spare[0] = 0;
      v.text_values[at] = spare;
      v.text_capacities[at] = spare ? spare_capacity : 0;
      break;
  }
}

// Substring (erase = false) or erase of `count` characters from character
// `start` (1-based; 0 and 1 both the first). 0, or the error code.
int cut_text(const std::string& text, int64_t start, int64_t count, bool erase, std::string& out) {
  const size_t chars = sjis_char_count(text);
  const uint64_t first = start <= 1 ? 0 : static_cast<uint64_t>(start) - 1;
  if (first > chars) return erase ? 120110 : 120010;
  if (count < 0 || static_cast<uint64_t>(count) > chars - first) return erase ? 120120 : 120020;
  const size_t from = sjis_char_offset(text, first);
  const size_t to = from + sjis_char_offset(std::string_view(text).substr(from), static_cast<size_t>(count));
  if (erase) out = text.substr(0, from) + text.substr(to);
  else out = text.substr(from, to - from);
  return 0;
}

// Parameter 6: one text and one number between source and destination.
int convert_number_text(const element_ref& src, const element_ref& dst) {
  const bool src_text = is_text(src.id), dst_text = is_text(dst.id);
  if (!((src_text && is_number(dst.id)) || (dst_text && is_number(src.id)))) {
    report_error_at_line(108200, 1);
    return -1;
  }
  if (!src_text) {
    char buf[400];
    if (variable_type_of(src.id) == variable_type_int)
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(get_int_element(src.id, src.element)));
    else
      std::snprintf(buf, sizeof buf, "%f", get_real_element(src.id, src.element));
    set_string_element(dst.id, dst.element, buf);
    return 0;
  }
  bool is_real = false;
  int64_t i = 0;
  double d = 0.0;
  if (!parse_number_text(element_text(src), is_real, i, d)) {
    report_error_at_line(108210, 1);
    return -1;
  }
  if (is_real) set_real_element(dst.id, dst.element, d);
  else set_numeric_element(dst.id, dst.element, i);
  return 0;
}

int resize_by_operator(uint32_t id) {
  variable_record* v = one_dimensional(id);
  if (!v) {
    show_array_message(msg_resize_not_1d);
    return -1;
  }
  const uint32_t pos = argument_position(13);
  const int64_t size = apply_assign_mode(argument_slots.assignment_operator[pos],
                                         static_cast<int64_t>(v->element_count), argument_slots.integer_value[pos]);
  if (size <= 0) {
    show_array_message(msg_bad_size);
    return -1;
  }
  // resize_array_1d refuses more than 4,000,000 elements (101100) before it
  // allocates anything.
  if (static_cast<uint64_t>(size) == v->element_count) return 0;
  return resize_array_1d(id, size);
}

}  // namespace

bool parse_number_text(std::string_view t, bool& is_real, int64_t& int_value, double& real_value) {
  is_real = false;
  int_value = 0;
  real_value = 0.0;
  if (t.empty()) return true;
  if (t.size() >= 2 && t[0] == '0' && t[1] == 'x') {
    uint64_t v = 0;
    int digits = 0;
    for (size_t i = 2; i < t.size(); ++i) {
      char c = t[i];
      if (c == 'h' || c == 'H') break;
      int h = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (h < 0 || digits == 16) return false;
      v = (v << 4) | static_cast<uint64_t>(h);
      ++digits;
    }
    if (!digits) return false;
    int_value = static_cast<int64_t>(v);
    real_value = static_cast<double>(int_value);
    return true;
  }
  bool point = false;
  for (char c : t) {
    if (c == '.') point = true;
    else if (!(c >= '0' && c <= '9') && c != '-') return false;
  }
  if (point) {
    std::string s(t);
    real_value = std::strtod(s.c_str(), nullptr);
    int_value = saturate_to_int64(real_value);
    is_real = true;
    return true;
  }
  int_value = saturating_decimal_to_int64(t);
  real_value = static_cast<double>(int_value);
  return true;
}

int array_insert_element(uint32_t id, int64_t index) {
  variable_record* v = one_dimensional(id);
  if (!v || index < 0 || static_cast<uint64_t>(index) >= v->element_count) return -1;
  const uint64_t n = v->element_count, at = static_cast<uint64_t>(index);
  // The last element drops out; its text block is reused for the new one.
  char* spare = v->type == variable_type_text ? v->text_values[n - 1] : nullptr;
  uint32_t spare_capacity = v->type == variable_type_text ? v->text_capacities[n - 1] : 0;
  for (uint64_t k = n - 1; k > at; --k) move_element(*v, k, k - 1);
  clear_element(*v, at, spare, spare_capacity);
  return 0;
}

int array_remove_element(uint32_t id, int64_t index) {
  variable_record* v = one_dimensional(id);
  if (!v || index < 0 || static_cast<uint64_t>(index) >= v->element_count) return -1;
  const uint64_t n = v->element_count, at = static_cast<uint64_t>(index);
  char* spare = v->type == variable_type_text ? v->text_values[at] : nullptr;
  uint32_t spare_capacity = v->type == variable_type_text ? v->text_capacities[at] : 0;
  for (uint64_t k = at; k + 1 < n; ++k) move_element(*v, k, k + 1);
  clear_element(*v, n - 1, spare, spare_capacity);
  return 0;
}

int cmd_string_array_util() {
  if (bind_command_arguments(89) != 0) return -1;
  element_ref src;
  if (!parameter_element(0, src)) return 0;
  element_ref dst = src;
  parameter_element(1, dst);

  if (parameter_given(6)) return convert_number_text(src, dst);

  if (parameter_given(3) || parameter_given(2)) {
    const bool erase = !parameter_given(3);
    if (!is_text(src.id) || !is_text(dst.id)) {
      report_error_at_line(108220, 1);
      return -1;
    }
    std::string part;
    const int error = cut_text(element_text(src), parameter_int(4), parameter_int(5), erase, part);
    if (error) {
      report_error_at_line(error, 1);
      return -1;
    }
    set_string_element_n(dst.id, dst.element, part.data(), part.size());
    return 0;
  }

  // Width and case conversions, each from the source text into the
  // destination (so with no destination they follow one another).
  static const int text_order[] = {11, 12, 7, 8, 9, 10};
  for (int p : text_order) {
    if (!parameter_given(static_cast<uint32_t>(p))) continue;
    if (!is_text(src.id) || !is_text(dst.id)) {
      report_error_at_line(108220, 1);
      return -1;
    }
    std::string text = element_text(src);
    switch (p) {
      case 11: text = sjis_to_fullwidth(text); break;
      case 12: text = sjis_to_halfwidth(text); break;
      case 7: upper_ascii_sjis(text); break;
      case 8: upper_sjis(text); break;
      case 9: lower_ascii_sjis(text); break;
      default: lower_sjis(text); break;
    }
    set_string_element_n(dst.id, dst.element, text.data(), text.size());
  }

  if (parameter_given(13) && resize_by_operator(src.id) != 0) return -1;
  if (parameter_given(14)) {
    if (!one_dimensional(src.id)) {
      show_array_message(msg_insert_not_1d);
      return -1;
    }
    if (array_insert_element(src.id, parameter_int(14)) != 0) {
      report_error_at_line(107010, 1);
      return -1;
    }
  }
  if (parameter_given(15)) {
    if (!one_dimensional(src.id)) {
      show_array_message(msg_delete_not_1d);
      return -1;
    }
    if (array_remove_element(src.id, parameter_int(15)) != 0) {
      report_error_at_line(107010, 1);
      return -1;
    }
  }
  return 0;
}

namespace {

// Parameter 14: the first element from `start` equal to the wanted value, or -1.
int64_t search_array(uint32_t id, int64_t start) {
  const variable_record* v = find_variable(id);
  if (!v || v->type == variable_type_none || v->dimension_count != 1) return -1;
  if (start < 0 || static_cast<uint64_t>(start) >= v->element_count) return -1;
  const uint64_t n = v->element_count;
  switch (v->type) {
    case variable_type_int: {
      const int64_t want = parameter_int(16);
      for (uint64_t k = static_cast<uint64_t>(start); k < n; ++k)
        if (v->int_values[k] == want) return static_cast<int64_t>(k);
      return -1;
    }
    case variable_type_real: {
      double want = 0.0;
      if (uint32_t pos = argument_position(17); pos && argument_slots.length[pos]) {
        want = eval_real_by_value_type(argument_slots.value_type[pos], argument_slots.raw_pointer[pos],
                                       argument_slots.length[pos]);
        if (expression_state.failed) return -2;
      }
      for (uint64_t k = static_cast<uint64_t>(start); k < n; ++k)
        if (v->real_values[k] == want) return static_cast<int64_t>(k);
      return -1;
    }
    default: {
      const char* want = parameter_text(18);
      for (uint64_t k = static_cast<uint64_t>(start); k < n; ++k)
        if (v->text_values[k] && std::strcmp(v->text_values[k], want) == 0) return static_cast<int64_t>(k);
      return -1;
    }
  }
}

// Parameter 15: the index of the first byte-wise smallest text in start..end.
int64_t smallest_text(uint32_t id, int64_t start, int64_t end) {
  const variable_record* v = find_variable(id);
  if (!v || v->type != variable_type_text || v->element_count == 0) return -1;
  const int64_t last = static_cast<int64_t>(v->element_count) - 1;
  if (end > last) end = last;
  if (start < 0 || start > end) return -1;
  // strcmp compares as unsigned char: byte-wise order for Shift-JIS too.
  auto text = [&](int64_t k) { return v->text_values[k] ? v->text_values[k] : ""; };
  int64_t best = start;
  for (int64_t k = start + 1; k <= end; ++k)
    if (std::strcmp(text(k), text(best)) < 0) best = k;
  return best;
}

// Parameters 5..12: dimension 1..8; 0 when none is given.
int first_given_dimension() {
  for (int p = 5; p <= 12; ++p)
    if (parameter_given(static_cast<uint32_t>(p))) return p - 4;
  return 0;
}

}  // namespace

int cmd_variable_info() {
  if (bind_command_arguments(90) != 0) return -1;
  element_ref var, out;
  if (!parameter_element(0, var) || !parameter_element(1, out)) return 0;
  const variable_record* v = find_variable(var.id);
  int64_t result = 0;
  if (parameter_given(2)) {
    result = variable_type_of(var.id);
  } else if (parameter_given(3)) {
    if (!is_text(var.id)) {
      report_error_at_line(108220, 1);
      return -1;
    }
    const std::string text = element_text(var);
    if (text.empty()) {
      report_error_at_line_fmt(101450, 1, command_name(90), command_parameter(90, 3) ? command_parameter(90, 3)->name : "");
      return -1;
    }
    result = sjis_char_length(text, 0) == 2 ? 2 : 1;
  } else if (parameter_given(4)) {
    result = v ? v->dimension_count : 0;
  } else if (int dim = first_given_dimension(); dim) {
    result = v && dim <= v->dimension_count ? v->dimensions[dim - 1] : 0;
  } else if (parameter_given(13)) {
    if (!is_text(var.id)) {
      report_error_at_line(108220, 1);
      return -1;
    }
    result = static_cast<int64_t>(sjis_char_count(element_text(var)));
  } else if (parameter_given(14)) {
    result = search_array(var.id, parameter_int(19, 0));
    if (result == -2) return -1;
  } else if (parameter_given(15)) {
    if (!is_text(var.id)) {
      report_error_at_line(108220, 1);
      return -1;
    }
    const int64_t last = v ? static_cast<int64_t>(v->element_count) - 1 : -1;
    result = smallest_text(var.id, parameter_int(19, 0), parameter_given(20) ? parameter_int(20) : last);
  } else {
    return 0;
  }
  set_numeric_element(out.id, out.element, result);
  return 0;
}
