#include "script/argument_binding.h"

#include <cstring>
#include <new>
#include <string>

#include "core/error_report.h"
#include "resources/command_table.h"
#include "core/engine_config.h"
#include "script/expression.h"
#include "script/system_values.h"
#include "script/variable_store.h"

running_instruction_record running_instruction;
uint8_t command_arg_slots[parameter_id_limit];
argument_slots_record argument_slots;

namespace {

// Bounds of the range-check codes 3..23 (by code; other entries unused).
constexpr int32_t range_min[29] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1, 0,
                                   0, 1, 128, 0, 1, 0, 1, 16, 128, 0, 0, 0, 0, 0};
constexpr int32_t range_max[29] = {0,    0,    0,    1,    2,    3,    3,    4,    8,    8,
                                   15,   18,   256,  256,  512,  1024, 1024, 1024, 2048, 2048,
                                   8192, 8192, 8192, 8192, 0,    0,    0,    0,    0};

int64_t main_logical_width() {
  return engine_facts.main_logical_width ? engine_facts.main_logical_width() : engine_config.main_width;
}
int64_t main_logical_height() {
  return engine_facts.main_logical_height ? engine_facts.main_logical_height() : engine_config.main_height;
}

// Bounds of a u32-compared code, or false for the codes tested otherwise.
bool u32_bounds(uint32_t code, int64_t& min, int64_t& max) {
  if (code >= 3 && code <= 23) {
    min = range_min[code];
    max = range_max[code];
    return true;
  }
  if (code == 26 || code == 27) {
    min = 0;
    max = (code == 26 ? main_logical_width() : main_logical_height()) - 1;
    return true;
  }
  return false;
}

inline uint32_t low32(int64_t v) { return static_cast<uint32_t>(static_cast<uint64_t>(v)); }

// Tests and reports; 0 when the value passes.
int check_and_report(uint32_t code, int64_t value, const std::string& command, const std::string& parameter) {
  int error = range_check_error(code, value);
  if (!error) return 0;
  switch (error) {
    case 101010:
      report_error_at_line_fmt(error, 1, command, parameter, value, static_cast<int64_t>(code == 2 ? 1 : 0));
      break;
    case 101000: {
      int64_t min = 0, max = 0;
      u32_bounds(code, min, max);
      report_error_at_line_fmt(error, 1, command, parameter, value, min, max);
      break;
    }
    case 101210: report_error_at_line_fmt(error, 1, command, parameter, value, int64_t{3}); break;
    default: report_error_at_line_fmt(error, 1, command, parameter, value); break;
  }
  return -1;
}

// A decoded integer argument in integer arithmetic, leaving the evaluator as
// the record walk would; false (nothing changed) for a variable that is
// missing or holds texts, which the record walk then handles and reports.
bool decoded_int(const decoded_argument& d, int64_t& out) {
  if (d.kind == 1) {
    out = d.value;
    set_integer_result_state(out, static_cast<double>(out), 0, 0, 0);
    return true;
  }
  if (d.kind != 2) return false;
  const variable_record* v = find_variable(d.id);
  if (!v) return false;
  const bool inside = v->element_count > 0;
  if (v->type == variable_type_int)
    out = inside ? v->int_values[0] : 0;
  else if (v->type == variable_type_real)
    out = saturate_to_int64(inside ? v->real_values[0] : 0.0);
  else
    return false;
  set_integer_result_state(out, static_cast<double>(out), d.id, 0, d.prefix);
  return true;
}

int bind(int command_number, bool call_form) {
  // A copy of zeros compiles to a few vector stores, where a memset of this
  // size becomes a slow-starting string store.
  static const uint8_t no_slots[sizeof command_arg_slots] = {};
  std::memcpy(command_arg_slots, no_slots, sizeof command_arg_slots);
  const running_instruction_record& ri = running_instruction;
  const command_definition_record* command =
      command_number >= 0 && static_cast<size_t>(command_number) < command_table.commands.size()
          ? &command_table.commands[static_cast<size_t>(command_number)]
          : nullptr;
  static const std::string no_name;
  const std::string& command_name = command ? command->name : no_name;
  uint32_t count = ri.argument_count;
  if (count >= argument_position_limit) count = argument_position_limit - 1;
  if (count && !ri.arguments) {
    report_error_at_line(900030, 1);
    return -1;
  }
  argument_slots_record& s = argument_slots;
  const decoded_argument* decoded = running_decoded_arguments();
  for (uint32_t i = 1; i <= count; ++i) {
    const argument_record& a = ri.arguments[i - 1];
    s.parameter_id[i] = a.parameter_id;
    s.value_type[i] = a.value_type;
    s.assignment_operator[i] = a.assignment_operator;
    s.length[i] = a.length;
    s.offset[i] = a.offset;
    s.integer_value[i] = 0;
    s.variable_id[i] = 0;
    s.element_index[i] = 0;
    s.whole_array[i] = 0;
    s.prefix[i] = 0;
    // A parameter the command does not have, or an expression outside the
    // pool, is damaged code.
    if (a.parameter_id >= parameter_id_limit || !command || a.parameter_id >= command->parameters.size()) {
      report_error_at_line(900030, 1);
      return -1;
    }
    command_arg_slots[a.parameter_id] = static_cast<uint8_t>(i);
    const command_parameter_record& p = command->parameters[a.parameter_id];
    const uint8_t* bytes = nullptr;
    const bool in_pool =
        static_cast<uint64_t>(a.offset) + a.length <= ri.expression_pool_size && (ri.expression_pool || !a.length);
    if (p.kind == param_kind_integer || p.kind == param_kind_string) {
      if (!in_pool) {
        report_error_at_line(900030, 1);
        return -1;
      }
    }
    // A raw record is not evaluated here and may carry a jump target in its
    // length field (the loop's end): it gets no pointer when it does not lie
    // in the pool, and the handler that reads it checks it itself.
    if (in_pool) bytes = ri.expression_pool ? ri.expression_pool + a.offset : nullptr;
    if (p.kind == param_kind_integer) {
      int64_t v;
      const decoded_argument* d = decoded ? &decoded[i - 1] : nullptr;
      if (!(d && d->kind && in_pool && (a.value_type == 1 || a.value_type == 3) && decoded_int(*d, v))) {
        v = eval_int_by_value_type(a.value_type, bytes, a.length);
        if (expression_state.failed) return -1;
      }
      s.integer_value[i] = v;
    } else if (p.kind == param_kind_string) {
      if (!s.string_value[i]) {
        s.string_value[i] = new (std::nothrow) char[string_slot_size];
        if (!s.string_value[i]) {
          report_error_at_line(100010, 1);
          return -1;
        }
        s.string_value[i][0] = 0;
      }
      int n = call_form ? eval_to_string(s.string_value[i], bytes, a.length)
                        : eval_string_by_value_type(a.value_type, s.string_value[i], bytes, a.length);
      if (n < 0) return -1;
      s.string_length[i] = static_cast<uint32_t>(n);
    } else {
      s.raw_pointer[i] = bytes;
      continue;
    }
    s.variable_id[i] = expression_state.last_variable_id;
    s.element_index[i] = expression_state.last_element;
    s.whole_array[i] = expression_state.last_whole_array;
    s.prefix[i] = expression_state.last_prefix;
    // Only integer parameters write the value the check tests.
    if (p.kind == param_kind_integer &&
        check_and_report(p.range_check, s.integer_value[i], command_name, p.name) != 0)
      return -1;
  }
  return 0;
}

}  // namespace

int range_check_error(uint32_t code, int64_t value) {
  switch (code) {
    case 1: return value >= 0 ? 0 : 101010;
    case 2: return value >= 1 ? 0 : 101010;
    case 24: return low32(static_cast<int64_t>(static_cast<uint64_t>(value) + 1)) <= 0x1000000u ? 0 : 101020;
    case 25: return low32(value) <= 0xFFFFFFu ? 0 : 101030;
    case 28:
      if (value < 0) return 101220;
      return value > 3 ? 101210 : 0;
    default: break;
  }
  int64_t min, max;
  if (!u32_bounds(code, min, max)) return 0;
  uint32_t v = low32(value);
  return (v < low32(min) || v > low32(max)) ? 101000 : 0;
}

int bind_command_arguments(int command_number) { return bind(command_number, false); }
int bind_call_arguments(int command_number) { return bind(command_number, true); }

int64_t parameter_int(uint32_t parameter_id, int64_t fallback) {
  uint32_t pos = argument_position(parameter_id);
  return pos ? argument_slots.integer_value[pos] : fallback;
}

const char* parameter_text(uint32_t parameter_id) {
  uint32_t pos = argument_position(parameter_id);
  if (!pos || !argument_slots.string_value[pos]) return "";
  return argument_slots.string_value[pos];
}

namespace {
inline int64_t wrap_div(int64_t a, int64_t b) {
  return b == -1 ? static_cast<int64_t>(0 - static_cast<uint64_t>(a)) : a / b;
}
}  // namespace

int64_t apply_assign_mode(uint32_t op, int64_t old, int64_t x) {
  switch (op) {
    case 0: return x;
    case 1: return wrap_add(old, x);
    case 2: return wrap_sub(old, x);
    case 3: return wrap_mul(old, x);
    case 4: return x == 0 ? old : wrap_div(old, x);
    default: return old;
  }
}

int64_t apply_assign_mode_clamped(uint32_t op, int64_t old, int64_t x, int64_t min, int64_t max) {
  int64_t v;
  switch (op) {
    case 0: return x;
    case 1:
      v = wrap_add(old, x);
      return v > max ? max : v;
    case 2:
      v = wrap_sub(old, x);
      return v < min ? min : v;
    case 3: v = wrap_mul(old, x); break;
    case 4:
      if (x == 0) return old;
      v = wrap_div(old, x);
      break;
    default: return old;
  }
  if (v > max) return max;
  if (v < min) return min;
  return v;
}

int64_t apply_assign_mode_min(uint32_t op, int64_t old, int64_t x, int64_t min) {
  int64_t v;
  switch (op) {
    case 0: return x;
    case 1: return wrap_add(old, x);
    case 2: v = wrap_sub(old, x); break;
    case 3: v = wrap_mul(old, x); break;
    case 4:
      if (x == 0) return old;
      v = wrap_div(old, x);
      break;
    default: return old;
  }
  return v < min ? min : v;
}
