// The decoded lets, calls and returns (decoded_let and decoded_transfer in
// script_code.h) and the loop end, inline: the scheduler runs them in its own
// loop rather than through a handler call each, and the handlers of
// control_flow.cpp wrap the same code, so both paths act alike. Anything the
// decoded forms cannot do goes to cmd_let, cmd_call or cmd_return.
#pragma once
#include <cstdint>
#include <string>

#include "core/error_report.h"
#include "resources/compiled_loaders.h"
#include "script/control_flow.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/system_values.h"
#include "script/task.h"
#include "script/variable_store.h"

// The handlers the decoded forms are given at install (the scheduler knows
// them by address).
int cmd_let_decoded();
int cmd_call_decoded();
int cmd_return_decoded();

// Internal to each file that runs them, so that they inline as a file's own
// helpers do.
namespace decoded_commands {
namespace {

// The deepest depth a stack may reach (frames 0..63; a depth of 64 is refused).
constexpr int max_depth = nesting_limit - 1;

// The scheduler runs the decoded forms (`in_loop`) without handing the
// instruction's records to running_instruction: only a handler reads them,
// so they are handed over when a form falls back to one. From their own
// handlers the records are already set.
[[gnu::always_inline]] inline void hand_over_records(const instruction_arguments& records) {
  running_instruction_record& ri = running_instruction;
  ri.argument_count = records.count;
  ri.arguments = records.first;
  ri.decoded_for = records.first;
}

// The general handler, for what the decoded forms cannot do.
template <bool in_loop>
[[gnu::noinline, gnu::cold]] int run_general(const script_code& code, uint32_t pc, command_handler handler) {
  if constexpr (in_loop) {
    hand_over_records(code.instruction_records[pc]);
    write_pending_result();
  }
  return handler();
}

// An element of a user variable in integer arithmetic; false where the
// record walk would report (missing variable) or yield a text.
inline bool read_int(uint32_t id, int64_t element, int64_t& out) {
  const variable_record* v = find_variable(id);
  if (!v) return false;
  const bool inside = element >= 0 && static_cast<uint64_t>(element) < v->element_count;
  if (v->type == variable_type_int) {
    out = inside ? v->int_values[element] : 0;
    return true;
  }
  if (v->type == variable_type_real) [[unlikely]] {
    out = saturate_to_int64(inside ? v->real_values[element] : 0.0);
    return true;
  }
  return false;
}

// The element offset of an array operand as the closing index record
// computes it; `inside` false when an index lies outside.
[[gnu::noinline]] inline bool element_offset(const decoded_let& d, const decoded_operand& o, bool target, int64_t& offset,
                           bool& inside, int64_t* indexes) {
  for (uint32_t j = 0; j < o.index_count; ++j) {
    const decoded_operand& x = d.indexes[o.first_index + j];
    if (x.kind == 0)
      indexes[j] = x.value;
    else if (!read_int(x.id, 0, indexes[j]))
      return false;
  }
  const variable_record* v = find_variable(o.id);
  if (!target && (!v || v->type == variable_type_none)) return false;
  uint32_t dims = v && v->type != variable_type_none ? v->dimension_count : 0;
  if (dims > max_dimension_count) dims = max_dimension_count;
  inside = o.index_count <= dims;
  offset = 0;
  for (uint32_t j = 0; j < o.index_count && inside; ++j) {
    if (static_cast<uint64_t>(indexes[j]) >= v->dimensions[j]) {
      inside = false;
      break;
    }
    uint64_t stride = 1;
    for (uint32_t k = j + 1; k < dims; ++k) stride *= v->dimensions[k];
    offset += static_cast<int64_t>(static_cast<uint64_t>(indexes[j]) * stride);
  }
  return true;
}

// A task or call value (ids 48..60) read as push_variable reads it: by the
// kind of its record; false for a text, which the general path handles. The
// system value functions hand these ids straight to the task hooks.
inline bool read_task_value(const variable_record* v, uint32_t id, int64_t element, int64_t& out) {
  write_pending_result();  // the hooks may look at the evaluator
  if (v->type == variable_type_int) {
    out = engine_facts.task_int_value ? engine_facts.task_int_value(id, element) : 0;
    return true;
  }
  if (v->type == variable_type_real) {
    out = saturate_to_int64(system_real_value(id, element));
    return true;
  }
  return false;
}

// A value operand: its value, and the last reference it leaves.
struct operand_result {
  int64_t value;
  uint32_t last_id;
  int64_t last_element;
  uint8_t last_prefix;
  bool referenced;
};

// A task or call value with one literal index (arg_int[2]): element_offset's
// rule for that one case.
[[gnu::noinline, gnu::cold]] inline bool read_task_element(const decoded_operand& o, int64_t index, operand_result& r) {
  const variable_record* v = find_variable(o.id);
  if (!v || v->type == variable_type_none) return false;
  const uint32_t dims = v->dimension_count > max_dimension_count ? max_dimension_count : v->dimension_count;
  if (dims < 1 || static_cast<uint64_t>(index) >= v->dimensions[0]) return false;
  uint64_t stride = 1;
  for (uint32_t k = 1; k < dims; ++k) stride *= v->dimensions[k];
  const int64_t offset = static_cast<int64_t>(static_cast<uint64_t>(index) * stride);
  r.last_id = o.id, r.last_element = offset, r.last_prefix = o.prefix, r.referenced = true;
  return read_task_value(v, o.id, offset, r.value);
}

// A call value with a literal index (kind 3): read_task_element's rule, with
// the one-dimensional integer record of these ids read from the frames.
// `arguments`: the running call's argument frame when the caller has it.
[[gnu::always_inline]] inline bool read_call_element(const decoded_operand& o, operand_result& r,
                                                     const call_frame* arguments) {
  const variable_record* v = find_variable(o.id);
  if (!v || v->type != variable_type_int || v->dimension_count != 1) return read_task_element(o, o.value, r);
  if (static_cast<uint64_t>(o.value) >= v->dimensions[0]) return false;
  r.last_id = o.id, r.last_element = o.value, r.last_prefix = o.prefix, r.referenced = true;
  // Kind 3 is decoded for values 1..16 only.
  if (o.value < 1 || o.value > call_value_count) __builtin_unreachable();
  if (engine_facts.task_int_value == &task_int_value) {
    if (arguments && o.id != 54)
      r.value = frame_int_argument(arguments, o.value);
    else
      r.value = call_int_value(current_task.record, o.id == 54, o.value);
  } else {
    write_pending_result();
    r.value = engine_facts.task_int_value ? engine_facts.task_int_value(o.id, o.value) : 0;
  }
  return true;
}

[[gnu::always_inline]] inline bool read_operand(const decoded_let& d, const decoded_operand& o, operand_result& r,
                                                const call_frame* arguments) {
  switch (o.kind) {
    case 0:
      r.value = o.value, r.referenced = false;
      return true;
    case 1:
      r.last_id = o.id, r.last_element = 0, r.last_prefix = o.prefix, r.referenced = true;
      return read_int(o.id, 0, r.value);
    case 3: return read_call_element(o, r, arguments);
    default: {
      if (o.id < first_user_variable && o.index_count == 1 && d.indexes[o.first_index].kind == 0)
        return read_task_element(o, d.indexes[o.first_index].value, r);
      int64_t indexes[max_index_count], offset;
      bool inside;
      if (!element_offset(d, o, false, offset, inside, indexes) || !inside) return false;
      r.last_id = o.id, r.last_element = offset, r.last_prefix = o.prefix, r.referenced = true;
      if (o.id < first_user_variable) {
        const variable_record* v = find_variable(o.id);
        return v && read_task_value(v, o.id, offset, r.value);
      }
      return read_int(o.id, offset, r.value);
    }
  }
}

// A decoded value in integer arithmetic, with what its evaluation would leave
// in the evaluator: the stack's real slot and the last reference.
struct value_result {
  int64_t value = 0;
  double real_value = 0.0;
  uint32_t last_id = 0;
  int64_t last_element = 0;
  uint8_t last_prefix = 0;
};

// False (nothing changed) wherever the general path must run: it reports or
// yields something other than an integer.
[[gnu::always_inline]] inline bool read_value(const decoded_let& d, value_result& out,
                                              const call_frame* arguments = nullptr) {
  operand_result left, right;
  if (!read_operand(d, d.left, left, arguments)) return false;
  int64_t x = left.value;
  const operand_result* last = left.referenced ? &left : nullptr;
  if (d.binary) {
    if (!read_operand(d, d.right, right, arguments)) return false;
    if (right.referenced) last = &right;
    const int64_t r = right.value;
    switch (d.binary) {
      case '+': x = wrap_add(x, r); break;
      case '-': x = wrap_sub(x, r); break;
      case '*': x = wrap_mul(x, r); break;
      case '/': x = r == 0 ? 0 : r == -1 ? static_cast<int64_t>(0 - static_cast<uint64_t>(x)) : x / r; break;
      case '%': x = r == 0 || r == -1 ? 0 : x % r; break;
      case 'A': x &= r; break;
      case 'O': x |= r; break;
      default: x ^= r; break;
    }
  }
  out.value = x;
  out.real_value = static_cast<double>(left.value);
  out.last_id = last ? last->last_id : 0;
  out.last_element = last ? last->last_element : 0;
  out.last_prefix = last ? last->last_prefix : 0;
  return true;
}

// In the scheduler's loop the part that is the same for every form waits
// (write_pending_result).
template <bool in_loop>
[[gnu::always_inline]] inline void leave_result_state(const value_result& r) {
  if constexpr (in_loop) {
    set_integer_result_values(r.value, r.real_value, r.last_id, r.last_element, r.last_prefix);
    integer_result_rest_pending = 1;
  } else {
    set_integer_result_state(r.value, r.real_value, r.last_id, r.last_element, r.last_prefix);
  }
}

// An element target's offset, -1 when its indexes lie outside; false where
// the general handler must run. Out of line: most targets are variables.
[[gnu::noinline, gnu::cold]] inline bool target_element(const decoded_let& d, int64_t& element) {
  int64_t indexes[max_index_count];
  bool inside;
  if (!element_offset(d, d.target, true, element, inside, indexes)) return false;
  if (!inside) element = -1;
  return true;
}

// The forms that end where the scheduler knows the task's code and position
// (unchanged code, `resume` its next instruction, already the task's pc) say
// so, and its loop goes on without reading them back.
constexpr uint32_t no_resume = UINT32_MAX;

template <bool in_loop>
[[gnu::always_inline]] inline int run_let(const script_code& code, uint32_t pc, uint32_t& resume) {
  const decoded_let& d = code.lets[code.let_index[pc]];
  // The general rule below for that shape: the literal leaves no reference.
  if (d.literal_step) {
    variable_record* target = find_variable(d.target.id);
    if (!target || target->type != variable_type_int) return run_general<in_loop>(code, pc, &cmd_let);
    const int64_t x = d.left.value;
    leave_result_state<in_loop>(value_result{x, static_cast<double>(x), 0, 0, 0});
    if (target->element_count > 0) {
      int64_t& a = target->int_values[0];
      a = d.assign_op == 0 ? x : d.assign_op == 1 ? wrap_add(a, x) : wrap_sub(a, x);
    }
    resume = pc + 1;
    return 0;
  }
  // The target: a variable, or an element (whose indexes may lie outside).
  const uint32_t id = d.target.id;
  int64_t element = 0;
  if (d.target.kind == 2 && !target_element(d, element)) return run_general<in_loop>(code, pc, &cmd_let);
  variable_record* target = find_variable(id);
  if (!target || target->type != variable_type_int) return run_general<in_loop>(code, pc, &cmd_let);
  value_result r;
  if (!read_value(d, r)) return run_general<in_loop>(code, pc, &cmd_let);
  // The evaluator's state as the value's evaluation leaves it.
  leave_result_state<in_loop>(r);
  // The common operators straight into the element, as the assignment table's
  // entries do (an element outside the variable is left alone); the others
  // through the table.
  if (d.assign_op <= 2) {
    if (element >= 0 && static_cast<uint64_t>(element) < target->element_count) {
      int64_t& a = target->int_values[element];
      a = d.assign_op == 0 ? r.value : d.assign_op == 1 ? wrap_add(a, r.value) : wrap_sub(a, r.value);
    }
    resume = pc + 1;
    return 0;
  }
  write_pending_result();
  assign_int_value(d.assign_op, id, element, r.value);
  return 0;
}

// A decoded form of a call or return value.
[[gnu::always_inline]] inline bool read_form(const decoded_let& d, value_result& r, const call_frame* arguments) {
  return read_value(d, r, arguments);
}

// An integer argument of a literal or a variable (kinds 1, 2), as binding
// evaluates it; false where the record walk must run.
[[gnu::always_inline]] inline bool read_plain_argument(const decoded_argument& a, value_result& r) {
  if (a.kind == 1) {
    r.value = a.value;
    r.real_value = static_cast<double>(a.value);
    r.last_id = 0, r.last_element = 0, r.last_prefix = 0;
    return true;
  }
  if (a.kind != 2 || !read_int(a.id, 0, r.value)) return false;
  r.real_value = static_cast<double>(r.value);
  r.last_id = a.id, r.last_element = 0, r.last_prefix = a.prefix;
  return true;
}

// Any decoded argument, its form (kind 3) included.
[[gnu::always_inline]] inline bool read_argument(const script_code& code, const decoded_argument& a, value_result& r,
                                                 const call_frame* arguments) {
  if (a.kind == 3) return read_form(code.argument_forms[static_cast<size_t>(a.value)], r, arguments);
  return read_plain_argument(a, r);
}

// Whether the running records are the instruction's decoded ones (a return
// without values has none). In the scheduler's loop they are; from the
// handlers, running_instruction tells.
template <bool in_loop>
[[gnu::always_inline]] inline bool running_decoded(const decoded_transfer& d) {
  if constexpr (in_loop)
    return running_instruction.decoded_base && (d.label_records || d.value_count);
  else
    return running_decoded_arguments() != nullptr;
}

// The values of a decoded call or return, read in record order as binding
// would read them; `last` is what the last evaluation leaves. False (nothing
// changed) where the general handler must run: a value the decoded forms
// cannot read, or records that are not the instruction's decoded ones.
template <bool in_loop>
[[gnu::always_inline]] inline bool read_transfer_values(const script_code& code, const decoded_transfer& d,
                                                        int64_t* values, value_result& last,
                                                        const call_frame* arguments = nullptr) {
  if (!running_decoded<in_loop>(d)) return false;
  const decoded_transfer_value* v = code.transfer_values.data() + d.first_value;
  // One value (as most returns have) or two plain ones (as many calls have)
  // without the loop's keeping.
  if (d.value_count == 1) {
    if (!read_argument(code, v[0].form, last, arguments)) return false;
    values[v[0].slot] = last.value;
    return true;
  }
  if (d.value_count == 2 && !d.forms) {
    if (!read_plain_argument(v[0].form, last)) return false;
    values[v[0].slot] = last.value;
    if (!read_plain_argument(v[1].form, last)) return false;
    values[v[1].slot] = last.value;
    return true;
  }
  // Values without a decoded form (literals and variables, as most call
  // values are) read in a loop with less to keep.
  if (!d.forms) {
    for (uint32_t k = 0; k < d.value_count; ++k) {
      // Each evaluation replaces what the one before it left.
      if (!read_plain_argument(v[k].form, last)) return false;
      values[v[k].slot] = last.value;
    }
    return true;
  }
  for (uint32_t k = 0; k < d.value_count; ++k) {
    if (!read_argument(code, v[k].form, last, arguments)) return false;
    values[v[k].slot] = last.value;
  }
  return true;
}

// Stores values 1..count into a frame's slots, as collect_values does for
// integers; slots not given are cleared and marked absent. Values given in
// slot order, one for every slot (`in_order`), as most are, need no mask.
[[gnu::always_inline]] inline void store_transfer_values(const decoded_transfer& d, const int64_t* values,
                                                         int64_t* ints, double* reals, std::string* texts,
                                                         uint8_t* present) {
  const uint32_t count = d.count;
  auto fill = [&](uint32_t k) {
    ints[k] = values[k];
    reals[k] = 0.0;
    // Most slots never held a text.
    if (!texts[k].empty()) [[unlikely]] texts[k].clear();
    present[k] = 1;
  };
  if (d.in_order) {
    if (count <= 2) {  // as most calls and returns are: unrolled
      if (count >= 1) fill(0);
      if (count == 2) fill(1);
    } else {
      for (uint32_t k = 0; k < count; ++k) fill(k);
    }
    return;
  }
  for (uint32_t k = 0; k < count; ++k) {
    const bool given = (d.given >> k) & 1;
    ints[k] = given ? values[k] : 0;
    reals[k] = 0.0;
    if (!texts[k].empty()) [[unlikely]] texts[k].clear();
    present[k] = given ? 1 : 0;
  }
}

// Points the task at a position of the script it runs, or of another one.
// A code record knows the script it was installed as, which is the loaded
// code of that script for as long as the record lives.
// In the scheduler's loop the task's code is the one running (`code`).
template <bool in_loop>
inline int continue_at(task_record* t, const script_code& code, uint32_t script_number, uint32_t position,
                       uint32_t& resume) {
  const script_code* own = in_loop ? &code : t->code;
  if (script_number == t->script_number && own && own->installed_as == script_number &&
      script_number < script_name_list.script_count) [[likely]] {
    t->pc = position;
    resume = position;
    return 0;
  }
  write_pending_result();
  return switch_task_to_script(t, script_number, position) == 0 ? 0 : -1;
}

// A call whose values are integers of the decoded shapes and whose label was
// resolved at load: the effects of cmd_call without the argument slots.
template <bool in_loop>
[[gnu::always_inline]] inline int run_call(const script_code& code, uint32_t pc, uint32_t& resume) {
  task_record* t = current_task.record;
  const int depth = t->call_depth;
  if (depth >= max_depth || !t->call_frames[depth] || !t->call_frames[depth + 1])
    return run_general<in_loop>(code, pc, &cmd_call);
  const decoded_transfer& d = code.transfers[code.transfer_index[pc]];
  const std::vector<compiled_label_record>& labels = label_table.labels;
  if (static_cast<size_t>(d.label) >= labels.size()) return run_general<in_loop>(code, pc, &cmd_call);
  const compiled_label_record* l = labels.data() + d.label;
  int64_t values[call_value_count];
  value_result last;
  if (!read_transfer_values<in_loop>(code, d, values, last)) return run_general<in_loop>(code, pc, &cmd_call);
  call_frame* here = t->call_frames[depth].get();
  call_frame* callee = t->call_frames[depth + 1].get();
  callee->argument_count = d.count;
  // A call of the label alone leaves the argument slots as they were.
  if (d.value_count) {
    leave_result_state<in_loop>(last);
    store_transfer_values(d, values, callee->int_args, callee->real_args, callee->text_args,
                          callee->argument_present);
  }
  here->return_index = pc + 1;
  here->return_script = t->script_number;
  here->call_line = code.line_table[pc];
  here->saved_block_depth = t->block_depth;
  here->saved_loop_depth = t->loop_depth;
  t->call_depth = static_cast<int8_t>(depth + 1);
  return continue_at<in_loop>(t, code, l->script_number, l->position, resume);
}

// A return whose values are integers of the decoded shapes.
template <bool in_loop>
[[gnu::always_inline]] inline int run_return(const script_code& code, uint32_t pc, uint32_t& resume) {
  task_record* t = current_task.record;
  const int depth = t->call_depth;
  if (depth <= 0 || !t->call_frames[depth] || !t->call_frames[depth - 1])
    return run_general<in_loop>(code, pc, &cmd_return);
  const decoded_transfer& d = code.transfers[code.transfer_index[pc]];
  int64_t values[call_value_count];
  value_result last;
  call_frame* f = t->call_frames[depth].get();
  // The return's own frame holds the arguments it reads (arg_int[1]).
  if (!read_transfer_values<in_loop>(code, d, values, last, f)) return run_general<in_loop>(code, pc, &cmd_return);
  if (d.value_count) leave_result_state<in_loop>(last);
  f->return_count = d.count;
  store_transfer_values(d, values, f->int_returns, f->real_returns, f->text_returns, f->return_present);
  t->call_depth = static_cast<int8_t>(depth - 1);
  const call_frame* back = t->call_frames[depth - 1].get();
  return continue_at<in_loop>(t, code, back->return_script, back->return_index, resume);
}

// The loop end: back to the body while the count lasts, else out of the loop.
[[gnu::always_inline]] inline int run_loop_end(uint32_t pc, uint32_t& resume) {
  task_record* t = current_task.record;
  if (t->loop_depth <= 0) {
    write_pending_result();
    report_error_at_line(108120, 1);
    return -1;
  }
  loop_frame* f = t->loop_frames[t->loop_depth - 1].get();
  if (f->limit != -1 && f->counter >= f->limit) {
    t->loop_depth = static_cast<int8_t>(t->loop_depth - 1);
    f->counter = 0;
    f->limit = 0;
    f->body_start = 0;
    resume = pc + 1;
    return 0;
  }
  f->counter += 1;
  t->pc = f->body_start;
  t->block_depth = static_cast<int8_t>(f->saved_block_depth);
  resume = f->body_start;
  return 0;
}

}  // namespace
}  // namespace decoded_commands
