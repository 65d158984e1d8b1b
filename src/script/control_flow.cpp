#include "script/control_flow.h"

#include <cstring>
#include <string>

#include "core/error_report.h"
#include "core/frame_state.h"
#include "core/object_tree.h"
#include "format/byte_io.h"
#include "platform/platform.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "script/argument_binding.h"
#include "script/decoded_commands.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/system_values.h"
#include "script/task.h"
#include "script/variable_store.h"

run_settings_record run_settings;
control_flow_hooks_record control_flow_hooks;
control_flow_values_record control_flow_values;

namespace {

enum : int {
  cmd_no_else_if = 11,
  cmd_no_goto = 32,
  cmd_no_call = 33,
  cmd_no_if = 34,
  cmd_no_else = 35,
  cmd_no_break = 36,
  cmd_no_continue = 37,
  cmd_no_end = 38,
  cmd_no_let = 43,
  cmd_no_loop = 45,
  cmd_no_loop_break = 46,
  cmd_no_loop_continue = 47,
  cmd_no_return = 66,
};

// The deepest depth a stack may reach (frames 0..63; a depth of 64 is refused).
constexpr int max_depth = nesting_limit - 1;

task_record* task() { return current_task.record; }

// The running instruction's argument record at a position (0-based), or null
// after reporting damaged code.
const argument_record* record_at(uint32_t index) {
  if (index >= running_instruction.argument_count || !running_instruction.arguments) {
    report_error_at_line(900030, 1);
    return nullptr;
  }
  return &running_instruction.arguments[index];
}

// The expression bytes of a record, checked against the pool.
bool expression_of(const argument_record& a, const uint8_t*& bytes) {
  if (static_cast<uint64_t>(a.offset) + a.length > running_instruction.expression_pool_size ||
      (!running_instruction.expression_pool && a.length)) {
    report_error_at_line(900030, 1);
    return false;
  }
  bytes = running_instruction.expression_pool ? running_instruction.expression_pool + a.offset : nullptr;
  return true;
}

// Integer value of a record; false when the evaluation failed (reported).
bool record_int(const argument_record& a, int64_t& out) {
  const uint8_t* bytes;
  if (!expression_of(a, bytes)) return false;
  out = eval_to_int(bytes, a.length);
  return !expression_state.failed;
}

bool record_real(const argument_record& a, double& out) {
  const uint8_t* bytes;
  if (!expression_of(a, bytes)) return false;
  out = eval_to_float(bytes, a.length);
  return !expression_state.failed;
}

bool record_text(const argument_record& a, std::string& out, bool by_value_type) {
  const uint8_t* bytes;
  if (!expression_of(a, bytes)) return false;
  static char buffer[string_slot_size];
  int n = by_value_type ? eval_string_by_value_type(a.value_type, buffer, bytes, a.length)
                        : eval_to_string(buffer, bytes, a.length);
  if (n < 0) return false;
  out.assign(buffer, static_cast<size_t>(n));
  return true;
}

void report_misplaced(int command, int opener) {
  report_error_at_line_fmt(101300, 1, command_name(static_cast<unsigned>(command)),
                           command_name(static_cast<unsigned>(opener)));
}
void report_too_deep(int command) {
  report_error_at_line_fmt(101600, 1, command_name(static_cast<unsigned>(command)), int64_t{nesting_limit});
}

// The running call's caller frame, whose saved depths are the base of the
// depths a label records (labels count depths from their subroutine's start).
const call_frame* caller_frame(const task_record* t) {
  if (t->call_depth <= 0) return nullptr;
  return t->call_frames[t->call_depth - 1].get();
}

// Level count n of break and continue (parameter 0, default 1).
int64_t level_count() { return parameter_int(0, 1); }

int declare_command(int command, uint8_t type) {
  if (bind_command_arguments(command) != 0) return -1;
  const argument_record* target = record_at(0);
  const argument_record* value = target ? record_at(1) : nullptr;
  if (!value) return -1;
  const uint8_t* bytes;
  if (!expression_of(*target, bytes)) return -1;
  if (evaluate_target(bytes, target->length) != 0) return -1;
  const uint32_t id = expression_state.last_variable_id;
  uint32_t dims[max_dimension_count] = {};
  uint32_t count = expression_state.target_index_count;
  if (count > max_dimension_count) {
    report_error_at_line(107010, 1);
    return -1;
  }
  for (uint32_t i = 0; i < count; ++i) {
    int64_t size = expression_state.target_indexes[i];
    // Sizes outside 1..4,000,000 give the element-count errors, not a wrapped size.
    if (size <= 0)
      dims[i] = 0;
    else if (size > static_cast<int64_t>(max_variable_elements))
      dims[i] = static_cast<uint32_t>(max_variable_elements + 1);
    else
      dims[i] = static_cast<uint32_t>(size);
  }
  // A declaration without sizes is one element.
  if (count == 0) {
    count = 1;
    dims[0] = 1;
  }
  if (!expression_of(*value, bytes)) return -1;
  if (type == variable_type_int) {
    int64_t v = eval_int_by_value_type(value->value_type, bytes, value->length);
    if (expression_state.failed) return -1;
    return declare_int_variable(id, count, dims, v) == 0 ? 0 : -1;
  }
  if (type == variable_type_real) {
    double v = eval_real_by_value_type(value->value_type, bytes, value->length);
    if (expression_state.failed) return -1;
    return declare_real_variable(id, count, dims, v) == 0 ? 0 : -1;
  }
  static char buffer[string_slot_size];
  int n = eval_string_by_value_type(value->value_type, buffer, bytes, value->length);
  if (n < 0) return -1;
  return declare_string_variable(id, count, dims, buffer, static_cast<size_t>(n)) == 0 ? 0 : -1;
}

// Values 1..count of a call or return: integer (parameter base_int + i),
// real (base_int + 16 + i, raw, real arithmetic) or text (base_int + 32 + i).
bool collect_values(uint32_t base, uint8_t count, int64_t* ints, double* reals, std::string* texts,
                    uint8_t* present) {
  for (uint32_t i = 1; i <= count; ++i) {
    const uint32_t k = i - 1;
    ints[k] = 0;
    reals[k] = 0.0;
    texts[k].clear();
    present[k] = 1;
    if (parameter_given(base + i)) {
      ints[k] = parameter_int(base + i);
    } else if (parameter_given(base + 16 + i)) {
      const argument_record& a = running_instruction.arguments[argument_position(base + 16 + i) - 1];
      if (!record_real(a, reals[k])) return false;
    } else if (parameter_given(base + 32 + i)) {
      texts[k] = parameter_text(base + 32 + i);
    } else {
      present[k] = 0;
    }
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- blocks

int cmd_if() {
  task_record* t = task();
  const argument_record* cond = record_at(0);
  const argument_record* false_target = cond ? record_at(1) : nullptr;
  const argument_record* end = false_target ? record_at(2) : nullptr;
  if (!end) return -1;
  const int depth = t->block_depth;
  // The limit is checked before any frame is touched.
  if (depth >= max_depth) {
    report_too_deep(cmd_no_if);
    return -1;
  }
  block_frame* f = ensure_block_frame(t, depth);
  if (!f || !ensure_block_frame(t, depth + 1)) return -1;
  f->saved_loop_depth = static_cast<uint8_t>(t->loop_depth);
  f->open_index = scheduler_state.current_pc;
  f->end_index = end->length;
  t->block_depth = static_cast<int8_t>(depth + 1);
  int64_t v = 0;
  if (!record_int(*cond, v)) return -1;
  if (v == 0) t->pc = false_target->length ? false_target->length : end->length;
  return 0;
}

int cmd_else_if() {
  task_record* t = task();
  if (t->block_depth <= 0) {
    report_misplaced(cmd_no_else_if, cmd_no_if);
    return -1;
  }
  if (running_instruction.argument_count == 0) return 0;
  const argument_record* cond = record_at(0);
  if (!cond) return -1;
  int64_t v = 0;
  if (!record_int(*cond, v)) return -1;
  if (v != 0) return 0;
  uint32_t target = running_instruction.argument_count >= 2 ? running_instruction.arguments[1].length : 0;
  t->pc = target ? target : t->block_frames[t->block_depth - 1]->end_index;
  return 0;
}

int cmd_else() {
  task_record* t = task();
  if (t->block_depth <= 0) {
    report_misplaced(cmd_no_else, cmd_no_if);
    return -1;
  }
  t->pc = t->block_frames[t->block_depth - 1]->end_index;
  return 0;
}

int cmd_end_block() {
  task_record* t = task();
  if (t->block_depth <= 0) {
    report_misplaced(cmd_no_end, cmd_no_if);
    return -1;
  }
  t->block_depth = static_cast<int8_t>(t->block_depth - 1);
  t->block_frames[t->block_depth]->end_index = 0;
  return 0;
}

int cmd_break() {
  if (bind_command_arguments(cmd_no_break) != 0) return -1;
  task_record* t = task();
  const int64_t n = level_count();
  if (n <= 0) return 0;
  const int64_t d = t->block_depth;
  if (n >= d + 1) {
    report_misplaced(cmd_no_break, cmd_no_if);
    return -1;
  }
  const block_frame* f = t->block_frames[d - n].get();
  t->block_depth = static_cast<int8_t>(d - n + 1);
  t->pc = f->end_index;
  t->loop_depth = static_cast<int8_t>(f->saved_loop_depth);
  return 0;
}

int cmd_continue() {
  if (bind_command_arguments(cmd_no_continue) != 0) return -1;
  task_record* t = task();
  const int64_t n = level_count();
  if (n <= 0) return 0;
  const int64_t d = t->block_depth;
  if (n >= d + 1) {
    report_misplaced(cmd_no_continue, cmd_no_if);
    return -1;
  }
  const block_frame* f = t->block_frames[d - n].get();
  t->block_depth = static_cast<int8_t>(d - n);
  t->pc = f->open_index;
  t->loop_depth = static_cast<int8_t>(f->saved_loop_depth);
  return 0;
}

// ---------------------------------------------------------------- loops

int cmd_loop() {
  if (bind_command_arguments(cmd_no_loop) != 0) return -1;
  task_record* t = task();
  if (running_instruction.argument_count < 2) {
    report_error_at_line(900030, 1);
    return -1;
  }
  const int depth = t->loop_depth;
  if (depth >= max_depth) {
    report_too_deep(cmd_no_loop);
    return -1;
  }
  loop_frame* f = ensure_loop_frame(t, depth);
  if (!f || !ensure_loop_frame(t, depth + 1)) return -1;
  f->saved_block_depth = static_cast<uint8_t>(t->block_depth);
  f->body_start = scheduler_state.current_pc + 1;
  f->end_index = running_instruction.arguments[1].length;
  f->counter = 1;
  f->limit = argument_slots.integer_value[1];
  t->loop_depth = static_cast<int8_t>(depth + 1);
  if (f->limit == 0) {
    f->counter = 0;
    t->pc = f->end_index;
  }
  return 0;
}

int cmd_loop_end() {
  uint32_t resume;
  return decoded_commands::run_loop_end(scheduler_state.current_pc, resume);
}

namespace {
int leave_loops(int command, bool clear) {
  if (bind_command_arguments(command) != 0) return -1;
  task_record* t = task();
  const int64_t n = level_count();
  if (n <= 0) return 0;
  const int64_t l = t->loop_depth;
  if (n >= l + 1) {
    report_misplaced(command, cmd_no_loop);
    return -1;
  }
  loop_frame* f = t->loop_frames[l - n].get();
  t->loop_depth = static_cast<int8_t>(l - n + 1);
  t->pc = f->end_index;
  t->block_depth = static_cast<int8_t>(f->saved_block_depth);
  if (clear) {
    f->counter = 0;
    f->limit = 0;
  }
  return 0;
}
}  // namespace

int cmd_loop_break() { return leave_loops(cmd_no_loop_break, true); }
int cmd_loop_continue() { return leave_loops(cmd_no_loop_continue, false); }

// ---------------------------------------------------------------- labels, calls

int cmd_goto() {
  task_record* t = task();
  const argument_record* a = record_at(0);
  if (!a) return -1;
  int label;
  if (a->length >= resolved_label_flag) {
    label = static_cast<int>(a->length & 0x0FFFFFFF);
  } else {
    std::string name;
    if (!record_text(*a, name, true)) return -1;
    label = find_label(name);
    if (label < 0) {
      report_error_at_line_fmt(108180, 1, name);
      return -1;
    }
  }
  if (static_cast<size_t>(label) >= label_table.labels.size()) {
    report_error_at_line_fmt(104010, 1, "kxbin\\kxl.kbn");
    return -1;
  }
  const compiled_label_record& l = label_table.labels[static_cast<size_t>(label)];
  int block = l.block_depth, loop = l.loop_depth;
  if (const call_frame* base = caller_frame(t)) {
    block += base->saved_block_depth;
    loop += base->saved_loop_depth;
  }
  if (block > max_depth || loop > max_depth) {
    report_too_deep(block > max_depth ? cmd_no_if : cmd_no_loop);
    return -1;
  }
  // Depths never stand without their frames.
  if (ensure_task_frames(t, block, loop, t->call_depth) != 0) return -1;
  t->block_depth = static_cast<int8_t>(block);
  t->loop_depth = static_cast<int8_t>(loop);
  return switch_task_to_label(t, label) == 0 ? 0 : -1;
}

int cmd_call() {
  if (bind_call_arguments(cmd_no_call) != 0) return -1;
  task_record* t = task();
  const int depth = t->call_depth;
  if (depth >= max_depth) {
    report_too_deep(cmd_no_call);
    return -1;
  }
  // The label: pre-resolved into the 16-bit field, else looked up by name.
  const uint32_t label_pos = argument_position(0);
  if (!label_pos) {
    report_error_at_line(900030, 1);
    return -1;
  }
  const argument_record& la = running_instruction.arguments[label_pos - 1];
  int label = la.value_type | (la.assignment_operator << 8);
  if (label == 0) {
    std::string name;
    if (!record_text(la, name, false)) return -1;
    label = find_label(name);
    if (label < 0) {
      report_error_at_line_fmt(108180, 1, name);
      return -1;
    }
  }
  call_frame* here = ensure_call_frame(t, depth);
  call_frame* callee = here ? ensure_call_frame(t, depth + 1) : nullptr;
  if (!callee) return -1;
  const uint8_t flag = scheduler_state.running_code->flags[scheduler_state.current_pc];
  // The flag byte may say up to 255 values; there are 16 slots.
  const uint8_t count = flag > call_value_count ? call_value_count : flag;
  callee->argument_count = count;
  const bool label_only = running_instruction.argument_count == 1 && la.parameter_id == 0;
  if (!label_only &&
      !collect_values(0, count, callee->int_args, callee->real_args, callee->text_args, callee->argument_present))
    return -1;
  here->return_index = scheduler_state.current_pc + 1;
  here->return_script = t->script_number;
  here->call_line = scheduler_state.running_code->line_table[scheduler_state.current_pc];
  here->saved_block_depth = t->block_depth;
  here->saved_loop_depth = t->loop_depth;
  t->call_depth = static_cast<int8_t>(depth + 1);
  return switch_task_to_label(t, label) == 0 ? 0 : -1;
}

int cmd_return() {
  task_record* t = task();
  if (t->call_depth <= 0) {
    if (t->is_protected) {
      report_misplaced(cmd_no_return, cmd_no_call);
      return -1;
    }
    end_task(current_task.node);
    return -1;
  }
  if (bind_command_arguments(cmd_no_return) != 0) return -1;
  call_frame* f = t->call_frames[t->call_depth].get();
  const uint8_t flag = scheduler_state.running_code->flags[scheduler_state.current_pc];
  const uint8_t count = flag > call_value_count ? call_value_count : flag;
  f->return_count = count;
  // Return value i is parameter i - 1 (integer), i + 15 (real), i + 31 (text).
  for (uint32_t i = 1; i <= count; ++i) {
    const uint32_t k = i - 1;
    f->int_returns[k] = 0;
    f->real_returns[k] = 0.0;
    f->text_returns[k].clear();
    f->return_present[k] = 1;
    if (parameter_given(i - 1)) {
      f->int_returns[k] = parameter_int(i - 1);
    } else if (parameter_given(i + 15)) {
      if (!record_real(running_instruction.arguments[argument_position(i + 15) - 1], f->real_returns[k])) return -1;
    } else if (parameter_given(i + 31)) {
      f->text_returns[k] = parameter_text(i + 31);
    } else {
      f->return_present[k] = 0;
    }
  }
  t->call_depth = static_cast<int8_t>(t->call_depth - 1);
  const call_frame* back = t->call_frames[t->call_depth].get();
  return switch_task_to_script(t, back->return_script, back->return_index) == 0 ? 0 : -1;
}

int cmd_label_exists() {
  if (bind_command_arguments(42) != 0) return -1;
  if (!parameter_given(2)) return 0;
  const uint32_t out = argument_position(1);
  if (!out) return 0;
  const int found = find_label(std::string(parameter_text(0))) >= 0 ? 1 : 0;
  const uint32_t id = argument_slots.variable_id[out];
  const int64_t element = argument_slots.element_index[out];
  const variable_record* v = find_variable(id);
  if (!v || element < 0 || static_cast<uint64_t>(element) >= v->element_count) return 0;
  if (v->type == variable_type_real)
    set_real_element(id, element, found ? 1.0 : 0.0);
  else
    set_numeric_element(id, element, found);
  return 0;
}

// ---------------------------------------------------------------- assignment

int cmd_let() {
  const argument_record* target = record_at(0);
  const argument_record* value = target ? record_at(1) : nullptr;
  if (!value) return -1;
  const uint8_t* bytes;
  if (!expression_of(*target, bytes)) return -1;
  if (evaluate_target(bytes, target->length) != 0) return -1;
  const uint32_t id = expression_state.last_variable_id;
  const int64_t element = expression_state.last_element;
  const uint32_t op = value->assignment_operator;

  if (id >= first_user_variable) {
    const variable_record* v = find_variable(id);
    const uint8_t type = v ? v->type : static_cast<uint8_t>(variable_type_none);
    if (type == variable_type_int) {
      int64_t x = 0;
      if (!record_int(*value, x)) return -1;
      return assign_int_value(op, id, element, x) == 0 ? 0 : -1;
    }
    if (type == variable_type_real) {
      double x = 0;
      if (!record_real(*value, x)) return -1;
      return assign_real_value(op, id, element, x) == 0 ? 0 : -1;
    }
    if (type == variable_type_text) {
      if (op > 1) {
        report_error_at_line(101140, 1);
        return -1;
      }
      std::string text;
      if (!record_text(*value, text, true)) return -1;
      if (op == 1) {
        const char* old = get_string_element(id, element);
        const size_t old_length = old ? std::strlen(old) : 0;
        // The joined text must stay below 4096 bytes, else nothing changes.
        if (old_length + text.size() >= string_slot_size) return 0;
        text.insert(0, old ? old : "", old_length);
      }
      set_string_element_n(id, element, text.data(), text.size());
      return 0;
    }
    report_error_at_line(101140, 1);
    return -1;
  }

  // System variables: only the settable ones.
  const bool text_id = id == 112 || id == 113 || id == 118 || id == 121;
  if (text_id) {
    std::string text;
    if (!record_text(*value, text, true)) return -1;
    if (id == 118)
      set_object_current_path(tree_layers, text);
    else if (id == 121)
      set_object_current_path(tree_menus, text);
    else if (control_flow_hooks.set_message_text)
      control_flow_hooks.set_message_text(id == 112 ? 0 : 1, text);
    return 0;
  }
  const bool int_id = id == 15 || (id >= 107 && id <= 110) || id == 122 || id == 134 || id == 135 || id == 136 ||
                      (id >= 137 && id <= 404);
  if (!int_id) {
    report_error_at_line_fmt(101150, 1, command_name(cmd_no_let));
    return -1;
  }
  int64_t x = 0;
  if (!record_int(*value, x)) return -1;
  if (op != 0) x = apply_assign_mode(op, system_int_value(id, element), x);
  if (id == 15) {
    if (control_flow_hooks.set_file_list_count) control_flow_hooks.set_file_list_count(x);
  } else if (id == 134) {
    if (element >= 0 && element <= INT32_MAX) set_system_value(static_cast<int>(element), x);
  } else if (id >= 137) {
    if (control_flow_hooks.set_input_value) control_flow_hooks.set_input_value(id, element, x);
  } else {
    set_kept_system_value(id, x);
  }
  return 0;
}

// ---------------------------------------------------------------- decoded lets

namespace {

// System ids whose reads only look at the running task (loop counter, call
// arguments and return values, task parameters): reading them twice, once
// decoded and once on the general path, changes nothing.
inline bool is_task_value(uint32_t id) { return id >= 48 && id <= 60; }

// Decodes one operand at `pos`: an integer literal record, a user variable
// record, or an array element whose indexes are literals or variables.
bool decode_operand(const uint8_t* bytes, uint32_t length, uint32_t& pos, decoded_operand& out, decoded_let& d,
                    uint8_t& next_index, bool target) {
  auto record = [&](uint32_t at, uint8_t& kind, uint32_t& n) {
    if (length - at < 3) return false;
    kind = bytes[at];
    n = get_u16(bytes + at + 1);
    return n <= length - at - 3;
  };
  auto scalar = [&](uint8_t kind, const uint8_t* p, uint32_t n, decoded_operand& o) {
    switch (kind) {
      case 'B': if (n < 1) return false; o.kind = 0, o.value = static_cast<int8_t>(p[0]); return true;
      case 'W': if (n < 2) return false; o.kind = 0, o.value = static_cast<int16_t>(get_u16(p)); return true;
      case 'I': if (n < 4) return false; o.kind = 0, o.value = static_cast<int32_t>(get_u32(p)); return true;
      case 'L': if (n < 8) return false; o.kind = 0, o.value = static_cast<int64_t>(get_u64(p)); return true;
      case 'H':
        if (n < 3 || get_u16(p + 1) < first_user_variable) return false;
        o.kind = 1, o.id = get_u16(p + 1), o.prefix = p[0] == '`' ? 1 : p[0] == '#' ? 2 : 0;
        return true;
      default: return false;
    }
  };
  uint8_t kind;
  uint32_t n;
  if (pos >= length || !record(pos, kind, n)) return false;
  const uint8_t* p = bytes + pos + 3;
  pos += 3 + n;
  if (kind != 'V') {
    if (target && kind != 'H') return false;
    return scalar(kind, p, n, out);
  }
  if (n < 3) return false;
  const uint32_t array_id = get_u16(p + 1);
  if (array_id < first_user_variable && (target || !is_task_value(array_id))) return false;
  out.kind = 2, out.id = array_id, out.prefix = p[0] == '`' ? 1 : p[0] == '#' ? 2 : 0;
  out.first_index = next_index;
  out.index_count = 0;
  for (;;) {
    if (pos >= length || !record(pos, kind, n)) return false;
    p = bytes + pos + 3;
    pos += 3 + n;
    if (kind == ')') return true;
    if (kind == ',') continue;
    if (out.index_count >= max_index_count || next_index >= 16) return false;
    if (!scalar(kind, p, n, d.indexes[next_index])) return false;
    ++next_index;
    ++out.index_count;
  }
}

// arg_int[n] and ret_int[n] with a literal n of 1..16: read straight from
// the call frames when the running values are the scheduler's.
void mark_call_value(decoded_let& d, decoded_operand& o) {
  if (o.kind != 2 || o.index_count != 1 || d.indexes[o.first_index].kind != 0) return;
  if (o.id != 49 && o.id != 50 && o.id != 54) return;
  const int64_t n = d.indexes[o.first_index].value;
  if (n < 1 || n > call_value_count) return;
  o.kind = 3;
  o.value = d.indexes[o.first_index].value;
}

// The value side: one operand, or two joined by one integer operator.
bool decode_value(const uint8_t* value, uint32_t length, decoded_let& d, uint8_t& next_index) {
  uint32_t pos = 0;
  if (!decode_operand(value, length, pos, d.left, d, next_index, false)) return false;
  mark_call_value(d, d.left);
  if (pos < length) {
    if (!decode_operand(value, length, pos, d.right, d, next_index, false)) return false;
    mark_call_value(d, d.right);
    if (length - pos != 3 || get_u16(value + pos + 1) != 0) return false;
    const uint8_t op = value[pos];
    if (op != '+' && op != '-' && op != '*' && op != '/' && op != '%' && op != 'A' && op != 'O' && op != '^')
      return false;
    d.binary = op;
  }
  return true;
}

bool decode_let(const script_code& code, uint32_t pc, decoded_let& d) {
  if (code.argument_counts[pc] < 2) return false;
  const argument_record* args = code.arguments.data() + code.first_argument[pc];
  if (args[1].assignment_operator >= assign_op_count) return false;
  for (int k = 0; k < 2; ++k)
    if (static_cast<uint64_t>(args[k].offset) + args[k].length > code.expression_pool.size() || !args[k].length)
      return false;
  const uint8_t* pool = code.expression_pool.data();
  uint8_t next_index = 0;
  uint32_t pos = 0;
  if (!decode_operand(pool + args[0].offset, args[0].length, pos, d.target, d, next_index, true) ||
      pos != args[0].length)
    return false;
  if (!decode_value(pool + args[1].offset, args[1].length, d, next_index)) return false;
  d.assign_op = args[1].assignment_operator;
  d.literal_step = d.target.kind == 1 && d.left.kind == 0 && !d.binary && d.assign_op <= 2 ? 1 : 0;
  return true;
}

}  // namespace

// The decoded handlers run the scheduler's own inline code.
int cmd_let_decoded() {
  uint32_t resume;
  return decoded_commands::run_let<false>(*scheduler_state.running_code, scheduler_state.current_pc, resume);
}
int cmd_call_decoded() {
  uint32_t resume;
  return decoded_commands::run_call<false>(*scheduler_state.running_code, scheduler_state.current_pc, resume);
}
int cmd_return_decoded() {
  uint32_t resume;
  return decoded_commands::run_return<false>(*scheduler_state.running_code, scheduler_state.current_pc, resume);
}

namespace {

// Whether a call or return can run decoded: every value record an integer
// value (parameter first_value_id + 0..15) given once, with a decoded form;
// a call's label record (parameter 0) once, resolved at load. The command
// table (installed at system start, before any script) must declare them as
// the binding would treat them so: the label raw, the values integers without
// a range check.
bool decodable_transfer(const script_code& code, uint32_t pc, int command_number, uint32_t first_value_id) {
  if (static_cast<size_t>(command_number) >= command_table.commands.size()) return false;
  const std::vector<command_parameter_record>& params =
      command_table.commands[static_cast<size_t>(command_number)].parameters;
  const uint32_t count = code.argument_counts[pc];
  const argument_record* args = code.arguments.data() + code.first_argument[pc];
  const decoded_argument* decoded = code.decoded_arguments.data() + code.first_argument[pc];
  uint32_t seen = 0;
  uint32_t labels = 0;
  for (uint32_t k = 0; k < count; ++k) {
    const argument_record& a = args[k];
    if (a.parameter_id >= params.size()) return false;
    const command_parameter_record& p = params[a.parameter_id];
    if (a.parameter_id < first_value_id) {
      if ((a.value_type | (a.assignment_operator << 8)) == 0 || p.kind != param_kind_raw) return false;
      ++labels;
      continue;
    }
    if (p.kind != param_kind_integer || p.range_check != 0) return false;
    const uint32_t slot = a.parameter_id - first_value_id;
    if (slot >= call_value_count || ((seen >> slot) & 1)) return false;
    if ((a.value_type != 1 && a.value_type != 3) || decoded[k].kind == 0) return false;
    seen |= 1u << slot;
  }
  return labels == first_value_id;
}

// The record of a call or return that decodable_transfer accepted: its
// values in record order, the label (the last label record, as binding
// leaves it) and the slot count of the flag byte.
decoded_transfer lay_out_transfer(script_code& code, uint32_t pc, uint32_t first_value_id) {
  decoded_transfer d;
  d.first_value = static_cast<uint32_t>(code.transfer_values.size());
  const uint8_t flag = code.flags[pc];
  d.count = flag > call_value_count ? call_value_count : flag;
  for (uint32_t k = code.first_argument[pc]; k < code.first_argument[pc] + code.argument_counts[pc]; ++k) {
    const argument_record& a = code.arguments[k];
    if (a.parameter_id < first_value_id) {
      d.label = a.value_type | (a.assignment_operator << 8);
      continue;
    }
    decoded_transfer_value v;
    v.form = code.decoded_arguments[k];
    v.slot = static_cast<uint8_t>(a.parameter_id - first_value_id);
    d.given |= 1u << v.slot;
    if (v.form.kind == 3) d.forms = 1;
    code.transfer_values.push_back(v);
    ++d.value_count;
  }
  d.label_records = first_value_id != 0 ? 1 : 0;
  d.in_order = d.value_count == d.count ? 1 : 0;
  for (uint32_t k = 0; k < d.value_count && d.in_order; ++k)
    if (code.transfer_values[d.first_value + k].slot != k) d.in_order = 0;
  return d;
}

}  // namespace

void decode_simple_lets(script_code& code) {
  // Arguments of one integer literal or one user variable, for binding.
  code.decoded_arguments.assign(code.arguments.size(), decoded_argument{});
  for (size_t k = 0; k < code.arguments.size(); ++k) {
    const argument_record& a = code.arguments[k];
    if (static_cast<uint64_t>(a.offset) + a.length > code.expression_pool.size() || a.length < 3) continue;
    const uint8_t* p = code.expression_pool.data() + a.offset;
    const uint32_t n = get_u16(p + 1);
    if (n != a.length - 3) continue;  // exactly one record
    decoded_argument& d = code.decoded_arguments[k];
    const uint8_t* payload = p + 3;
    switch (p[0]) {
      case 'B': if (n >= 1) d.kind = 1, d.value = static_cast<int8_t>(payload[0]); break;
      case 'W': if (n >= 2) d.kind = 1, d.value = static_cast<int16_t>(get_u16(payload)); break;
      case 'I': if (n >= 4) d.kind = 1, d.value = static_cast<int32_t>(get_u32(payload)); break;
      case 'L': if (n >= 8) d.kind = 1, d.value = static_cast<int64_t>(get_u64(payload)); break;
      case 'H':
        if (n >= 3 && get_u16(payload + 1) >= first_user_variable) {
          d.kind = 2;
          d.id = get_u16(payload + 1);
          d.prefix = payload[0] == '`' ? 1 : payload[0] == '#' ? 2 : 0;
        }
        break;
      default: break;
    }
  }
  // Values of calls and returns of the let's value shape (task and call
  // values, one operator), which binding's own decoded kinds do not cover.
  code.argument_forms.clear();
  for (uint32_t pc = 0; pc < code.instruction_count; ++pc) {
    if (code.commands[pc] != cmd_no_call && code.commands[pc] != cmd_no_return) continue;
    for (uint32_t k = code.first_argument[pc]; k < code.first_argument[pc] + code.argument_counts[pc]; ++k) {
      const argument_record& a = code.arguments[k];
      if (code.decoded_arguments[k].kind != 0 || !a.length ||
          static_cast<uint64_t>(a.offset) + a.length > code.expression_pool.size())
        continue;
      decoded_let form;
      uint8_t next_index = 0;
      if (!decode_value(code.expression_pool.data() + a.offset, a.length, form, next_index)) continue;
      code.decoded_arguments[k].kind = 3;
      code.decoded_arguments[k].value = static_cast<int64_t>(code.argument_forms.size());
      code.argument_forms.push_back(form);
    }
  }
  code.transfers.clear();
  code.transfer_values.clear();
  code.transfer_index.assign(code.instruction_count, UINT32_MAX);
  for (uint32_t pc = 0; pc < code.instruction_count; ++pc) {
    const bool call = code.commands[pc] == cmd_no_call && code.handlers[1][pc] == &cmd_call &&
                      decodable_transfer(code, pc, cmd_no_call, 1);
    const bool ret = !call && code.commands[pc] == cmd_no_return && code.handlers[1][pc] == &cmd_return &&
                     decodable_transfer(code, pc, cmd_no_return, 0);
    if (!call && !ret) continue;
    code.transfer_index[pc] = static_cast<uint32_t>(code.transfers.size());
    code.transfers.push_back(lay_out_transfer(code, pc, call ? 1 : 0));
    code.handlers[1][pc] = call ? &cmd_call_decoded : &cmd_return_decoded;
  }
  code.lets.clear();
  code.let_index.assign(code.instruction_count, UINT32_MAX);
  for (uint32_t pc = 0; pc < code.instruction_count; ++pc) {
    if (code.commands[pc] != cmd_no_let || code.handlers[1][pc] != &cmd_let) continue;
    decoded_let d;
    if (!decode_let(code, pc, d)) continue;
    code.let_index[pc] = static_cast<uint32_t>(code.lets.size());
    code.lets.push_back(d);
    code.handlers[1][pc] = &cmd_let_decoded;
  }
}

int cmd_declare_int_var() { return declare_command(40, variable_type_int); }
int cmd_declare_real_var() { return declare_command(24, variable_type_real); }
int cmd_declare_string_variable() { return declare_command(79, variable_type_text); }

// ---------------------------------------------------------------- waits and settings

int cmd_wait() {
  if (bind_command_arguments(91) != 0) return -1;
  task_record* t = task();
  const int64_t frames = parameter_int(0, 0);
  if (parameter_given(0) && frames != 0) {
    t->wait_frames = static_cast<uint32_t>(frames);
    return -1;
  }
  const int64_t ms = parameter_int(1, 0);
  if (parameter_given(1) && ms != 0) {
    const uint32_t now = platform_installed() && platform().clock ? platform().clock->tick_ms() : 0;
    uint32_t wake = now + static_cast<uint32_t>(ms);
    // 0 means "no wake time": a wake time that lands on 0 waits 1 ms longer.
    t->wake_time = wake ? wake : 1;
    return -1;
  }
  return 0;
}

int cmd_message_end() {
  task_record* t = task();
  t->message_mark[0] = t->message_mark[1] = 0;
  if (running_instruction.argument_count && running_instruction.arguments) {
    const argument_record& a = running_instruction.arguments[0];
    t->message_mark[0] = static_cast<uint32_t>(a.parameter_id) | (static_cast<uint32_t>(a.unused) << 8) |
                         (static_cast<uint32_t>(a.value_type) << 16) |
                         (static_cast<uint32_t>(a.assignment_operator) << 24);
    t->message_mark[1] = a.length;
  }
  if (!control_flow_hooks.message_end || !control_flow_hooks.message_end()) control_flow_values.message_end_pending = 1;
  t->message_wait = 1;
  return -1;
}

int cmd_frame_rate() {
  if (bind_command_arguments(27) != 0) return -1;
  // Pacing takes the rate from the next frame on; the per-second counters
  // start a new second.
  if (parameter_given(0)) {
    pacing_state.frames_per_second = static_cast<int32_t>(parameter_int(0));
    restart_second_counters();
  }
  if (parameter_given(1)) pacing_state.frame_skip = static_cast<uint8_t>(parameter_int(1) != 0);
  return 0;
}

int cmd_run_settings() {
  if (bind_command_arguments(39) != 0) return -1;
  if (parameter_given(0)) run_settings.input_setting_a = parameter_int(0);
  if (parameter_given(1)) run_settings.input_setting_b = parameter_int(1);
  if (parameter_given(2)) {
    const int64_t v = parameter_int(2);
    if (run_settings.input_switch == 1 && v == 0) {
      run_settings.pending_state = 2;
      run_settings.switch_active = 0;
    } else if (run_settings.input_switch == 0 && v == 1) {
      run_settings.pending_state = 1;
      run_settings.switch_active = 1;
    }
    run_settings.input_switch = v;
  }
  return 0;
}
