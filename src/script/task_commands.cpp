#include "script/task_commands.h"

#include <string>
#include <vector>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "script/argument_binding.h"
#include "script/expression.h"
#include "script/math_commands.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/task.h"
#include "script/task_state.h"
#include "script/variable_store.h"

namespace {

// A task path resolved against the task tree's current path.
struct task_path {
  std::string path;
  bool group = false;
};

// 0 with the resolved path; -1 after a report (the path routine's own, or
// 101293 for a name that resolves to nothing).
int resolve_task_path(int command, const std::string& name, task_path& out) {
  const int kind = resolve_object_path(out.path, name, object_current_path(tree_tasks), 0);
  if (kind < 0) return -1;
  if (out.path.empty()) {
    report_error_at_line_fmt(101293, 1, command_name(static_cast<unsigned>(command)), name);
    return -1;
  }
  out.group = kind == 1;
  return 0;
}

// The node of a resolved path, or null (a missing group on the way has been
// reported, which sets the quit flag).
object_node* find_task_node(const task_path& p) {
  return find_object_by_path(object_trees[tree_tasks].root, p.path, p.group ? find_group : find_leaf);
}

template <class F>
bool any_in_subtree(object_node* node, F test) {
  if (test(node)) return true;
  for (object_node* c = node->first_child; c; c = c->next_sibling)
    if (any_in_subtree(c, test)) return true;
  return false;
}

// Stops every task of a subtree from running again in this pass: the walk
// may still be iterating the detached group.
void stop_subtree(object_node* node) {
  if (task_record* t = task_of(node)) {
    t->run_flag_a = 0;
    t->run_flag_b = 0;
  }
  for (object_node* c = node->first_child; c; c = c->next_sibling) stop_subtree(c);
}

const std::string& script_source_name(uint32_t number) {
  static const std::string none;
  return number < script_name_list.names.size() ? script_name_list.names[number] : none;
}

// The full text of the state parameter. The argument slot holds 4095 bytes;
// a longer state text (deep stacks) kept in a text variable is read from the
// variable when the slot holds the start of exactly that text.
std::string state_argument(uint32_t parameter_id) {
  const uint32_t pos = argument_position(parameter_id);
  std::string slot(parameter_text(parameter_id), argument_slots.string_length[pos]);
  if (slot.size() + 1 < string_slot_size) return slot;
  const uint32_t id = argument_slots.variable_id[pos];
  if (variable_type_of(id) != variable_type_text) return slot;
  const char* whole = get_string_element(id, argument_slots.element_index[pos]);
  if (!whole) return slot;
  std::string_view w(whole);
  if (w.size() > slot.size() && w.substr(0, slot.size()) == slot) return std::string(w);
  return slot;
}

// Stores a number into an output element by the element's type (a text
// element reports 101140 through the store).
void store_number(const element_ref& out, int64_t value) { set_numeric_element(out.id, out.element, value); }
void store_text(const element_ref& out, const std::string& text) {
  set_string_element_n(out.id, out.element, text.data(), text.size());
}

}  // namespace

// ---------------------------------------------------------------- state texts

int encode_task_state(std::string& buffer, const task_record* t) {
  if (!t || t->block_depth < 0 || t->call_depth < 0 || t->loop_depth < 0 || t->block_depth > task_state_max_depth ||
      t->call_depth > task_state_max_depth || t->loop_depth > task_state_max_depth)
    return -1;
  task_state_image s;
  for (int i = 0; i < t->block_depth; ++i) {
    task_state_block b;
    if (const block_frame* f = t->block_frames[i].get()) b = {f->saved_loop_depth, f->open_index, f->end_index};
    s.blocks.push_back(b);
  }
  for (int i = 0; i < t->call_depth; ++i) {
    task_state_call c;
    if (const call_frame* f = t->call_frames[i].get())
      c = {f->saved_block_depth, f->saved_loop_depth, f->return_index, f->return_script};
    s.calls.push_back(c);
  }
  for (int i = 0; i < t->loop_depth; ++i) {
    task_state_loop l;
    if (const loop_frame* f = t->loop_frames[i].get()) l = {f->saved_block_depth, f->body_start, f->end_index, f->counter, f->limit};
    s.loops.push_back(l);
  }
  s.mark = t->message_mark[0];
  s.pc = t->pc;
  s.name = script_source_name(t->script_number);
  write_task_state(s, buffer);
  return static_cast<int>(buffer.size());
}

int decode_task_state(std::string_view text, task_record* t, int command_number) {
  if (!t) return -1;
  task_state_image s;
  const int read = parse_task_state(text, s);
  if (read < 0) {
    report_error_at_line(900000, 1);
    return -1;
  }
  // The script by its source name, compared without case.
  std::string wanted = s.name;
  lower_path_sjis(wanted);
  int64_t number = -1;
  if (!wanted.empty()) {
    for (size_t i = 0; i < script_name_list.names.size() && number < 0; ++i) {
      std::string n = script_name_list.names[i];
      lower_path_sjis(n);
      if (n == wanted) number = static_cast<int64_t>(i);
    }
  }
  if (number < 0) {
    report_error_at_line_fmt(102130, 1, command_name(static_cast<unsigned>(command_number)), s.name);
    return -1;
  }
  for (const task_state_call& c : s.calls)
    if (c.return_script >= script_name_list.script_count) {
      report_error_at_line(900000, 1);
      return -1;
    }
  // Everything that can fail runs before the task changes: the script, its
  // position in it, and the frames the depths need.
  if (!load_script_file(static_cast<uint32_t>(number))) return -1;
  const script_code* code = loaded_script_code(static_cast<uint32_t>(number));
  if (!code || s.pc >= code->instruction_count) {
    report_error_at_line(900000, 1);
    return -1;
  }
  const int blocks = static_cast<int>(s.blocks.size()), calls = static_cast<int>(s.calls.size()),
            loops = static_cast<int>(s.loops.size());
  if (ensure_task_frames(t, blocks, loops, calls) != 0) return -1;

  for (int i = 0; i < blocks; ++i) {
    block_frame& f = *t->block_frames[i];
    f.saved_loop_depth = s.blocks[i].saved_loop_depth;
    f.open_index = s.blocks[i].open_index;
    f.end_index = s.blocks[i].end_index;
  }
  for (int i = 0; i < calls; ++i) {
    call_frame& f = *t->call_frames[i];
    f.saved_block_depth = s.calls[i].saved_block_depth;
    f.saved_loop_depth = s.calls[i].saved_loop_depth;
    f.return_index = s.calls[i].return_index;
    f.return_script = s.calls[i].return_script;
  }
  for (int i = 0; i < loops; ++i) {
    loop_frame& f = *t->loop_frames[i];
    f.saved_block_depth = s.loops[i].saved_block_depth;
    f.body_start = s.loops[i].body_start;
    f.end_index = s.loops[i].end_index;
    f.counter = s.loops[i].counter;
    f.limit = s.loops[i].limit;
  }
  t->block_depth = static_cast<int8_t>(blocks);
  t->call_depth = static_cast<int8_t>(calls);
  t->loop_depth = static_cast<int8_t>(loops);
  t->message_mark[0] = s.mark;
  t->code = code;
  t->script_number = static_cast<uint16_t>(number);
  t->pc = s.pc;
  return read;
}

int64_t task_current_line(const task_record* t) {
  if (!t || !t->code) return 0;
  const std::vector<uint32_t>& lines = t->code->line_table;
  const scheduler_state_record& s = scheduler_state;
  if (t == current_task.record && s.running && s.running_code)
    return s.current_pc < s.running_code->line_table.size() ? s.running_code->line_table[s.current_pc] : 0;
  // The instruction before pc; a task that has not run yet sits at its first.
  const uint32_t at = t->pc ? t->pc - 1 : 0;
  return at < lines.size() ? lines[at] : 0;
}

// ---------------------------------------------------------------- 81

int cmd_script_list_query() {
  if (bind_command_arguments(81) != 0) return -1;
  element_ref out;
  if (!parameter_element(4, out)) return 0;
  const int64_t k = parameter_int(3);
  const int64_t count = script_name_list.script_count;
  if (parameter_given(1)) {
    store_number(out, count);
  } else if (parameter_given(2)) {
    const std::vector<uint32_t>& numbers = script_name_list.entry_values;
    store_number(out, k >= 1 && k <= count && static_cast<uint64_t>(k) <= numbers.size() ? numbers[k - 1] : 0);
  } else if (parameter_given(0)) {
    store_text(out, k >= 1 && k <= count ? script_source_name(static_cast<uint32_t>(k - 1)) : std::string());
  } else {
    store_number(out, 0);
  }
  return 0;
}

// ---------------------------------------------------------------- 82

int cmd_task_start() {
  if (bind_command_arguments(82) != 0) return -1;
  // Every value is read before anything that may evaluate again.
  const std::string name = parameter_text(0);
  const bool has_label = parameter_given(34);
  const std::string label = parameter_text(34);
  const bool has_state = parameter_given(35);
  const std::string state = has_state ? state_argument(35) : std::string();
  const bool has_priority = parameter_given(3);
  const uint32_t priority_op = has_priority ? argument_slots.assignment_operator[argument_position(3)] : 0;
  const int64_t priority_value = parameter_int(3);
  int64_t int_params[10], real_params[10];
  bool int_given[10], real_given[10];
  for (int i = 0; i < 10; ++i) {
    int_given[i] = parameter_given(static_cast<uint32_t>(4 + i));
    int_params[i] = parameter_int(static_cast<uint32_t>(4 + i));
    real_given[i] = parameter_given(static_cast<uint32_t>(14 + i));
    real_params[i] = parameter_int(static_cast<uint32_t>(14 + i));
  }

  task_path path;
  object_node* node = current_task.node;
  if (!name.empty()) {
    if (resolve_task_path(82, name, path) != 0) return -1;
    node = find_task_node(path);
    if (!node && quit_flag) return -1;
  }

  // Priority: the node's key (1 without a node), combined by the operator;
  // subtracting, multiplying and dividing never go below 1.
  int64_t priority = node ? node->key2 : 1;
  if (has_priority) {
    priority = (priority_op >= 2 && priority_op <= 4) ? apply_assign_mode_min(priority_op, priority, priority_value, 1)
                                                      : apply_assign_mode(priority_op, priority, priority_value);
    if (priority > INT32_MAX) priority = INT32_MAX;
    if (priority < INT32_MIN) priority = INT32_MIN;
    if (node) reorder_node(node, node->key1, static_cast<int32_t>(priority));
  }

  if (path.group) {
    // A group carries no code: it is made when missing, and only its
    // priority applies.
    if (!node && !create_object_by_path(object_trees[tree_tasks].root, path.path, 1, 0, static_cast<int32_t>(priority)))
      return -1;
    return 0;
  }

  // Without a name there is no task to make (no task runs).
  if (!node && (!has_label || path.path.empty())) {
    report_error_at_line_fmt(101400, 1, command_name(82), name);
    return -1;
  }

  task_record* task = task_of(node);
  if (has_label) {
    const int label_number = find_label(label);
    if (label_number < 0) {
      report_error_at_line_fmt(108180, 1, label);
      return -1;
    }
    if (!node) {
      node = create_task_node(path.path, static_cast<int32_t>(priority));
      if (!node) return -1;
      task = task_of(node);
    }
    if (!task || switch_task_to_label(task, label_number) != 0) return -1;
    for (int i = 0; i < call_value_count; ++i) {
      task->task_int_params[i] = 0;
      task->task_real_params[i] = 0.0;
      task->task_string_params[i].clear();
    }
    for (int i = 0; i < 10; ++i) {
      if (int_given[i]) task->task_int_params[i] = int_params[i];
      if (real_given[i]) task->task_real_params[i] = static_cast<double>(real_params[i]);
    }
  }
  if (!task) return 0;

  // Run flags keep their low byte; a nonzero value never turns into 0.
  auto flag = [](int64_t v) -> uint8_t { return v == 0 ? 0 : (v & 0xFF) ? static_cast<uint8_t>(v & 0xFF) : 1; };
  if (parameter_given(1)) task->run_flag_a = flag(parameter_int(1));
  if (parameter_given(2)) task->run_flag_b = flag(parameter_int(2));

  if (has_state && decode_task_state(state, task, 82) < 0) return -1;
  if (parameter_given(37)) rerun_request = 1;
  return 0;
}

// ---------------------------------------------------------------- 83

int cmd_task_delete() {
  if (bind_command_arguments(83) != 0) return -1;
  const std::string name = parameter_text(0);
  object_node* running = current_task.node;
  if (name.empty()) {
    task_record* t = current_task.record;
    if (!running || !t) return 0;
    if (t->is_protected) {
      report_error_at_line_fmt(101420, 1, command_name(83), running->name);
      return -1;
    }
    stop_subtree(running);
    end_task(running);
    return -1;
  }
  task_path path;
  if (resolve_task_path(83, name, path) != 0) return -1;
  object_node* node = find_task_node(path);
  if (!node && quit_flag) return -1;
  // SYSTEM by its name, or any path whose subtree holds a protected task (the
  // task root itself, "./SYSTEM", a group around it).
  if (path.path == "SYSTEM" ||
      (node && any_in_subtree(node, [](object_node* n) {
         const task_record* t = task_of(n);
         return t && t->is_protected;
       })) ||
      node == object_trees[tree_tasks].root) {
    report_error_at_line_fmt(101420, 1, command_name(83), name);
    return -1;
  }
  if (!node) {
    report_error_at_line_fmt(101400, 1, command_name(83), name);
    return -1;
  }
  const bool holds_running = running && any_in_subtree(node, [running](object_node* n) { return n == running; });
  // The node leaves the tree now; it and its records are freed after the
  // walk, which may be inside it.
  stop_subtree(node);
  end_task(node);
  return holds_running ? -1 : 0;
}

// ---------------------------------------------------------------- 84

int cmd_task_query() {
  if (bind_command_arguments(84) != 0) return -1;
  element_ref out;
  if (!parameter_element(1, out)) return 0;
  const std::string name = parameter_text(0);
  object_node* node = current_task.node;
  if (parameter_given(0) && !name.empty()) {
    task_path path;
    if (resolve_task_path(84, name, path) != 0) return -1;
    node = find_task_node(path);
    if (!node && quit_flag) return -1;
  }
  const task_record* t = task_of(node);
  const uint8_t out_type = variable_type_of(out.id);
  if (!t) {
    if (out_type == variable_type_text) store_text(out, std::string());
    else if (out_type == variable_type_real) set_real_element(out.id, out.element, 0.0);
    else store_number(out, 0);
    return 0;
  }

  if (parameter_given(2)) {
    if (out_type == variable_type_text) {
      report_error_at_line(101140, 1);
      return -1;
    }
    store_number(out, 1);
  }
  const call_frame* outer = t->call_depth > 0 ? t->call_frames[0].get() : nullptr;
  const uint32_t outer_script = outer ? outer->return_script : t->script_number;
  if (parameter_given(3)) store_number(out, t->run_flag_a);
  else if (parameter_given(4)) store_number(out, t->run_flag_b);
  else if (parameter_given(5)) store_number(out, node->key2);
  else if (parameter_given(6)) store_text(out, script_source_name(t->script_number));
  else if (parameter_given(9)) store_text(out, script_source_name(outer_script));
  else if (parameter_given(8)) store_number(out, task_current_line(t));
  else if (parameter_given(11)) store_number(out, outer ? static_cast<int64_t>(outer->call_line) : task_current_line(t));
  else if (parameter_given(12)) store_number(out, t->message_mark[0]);
  else if (parameter_given(13)) store_number(out, t->message_mark[1]);
  else if (parameter_given(16)) store_number(out, t->block_depth);
  else if (parameter_given(17)) store_number(out, t->call_depth);
  else if (parameter_given(18)) store_number(out, t->loop_depth);
  else if (parameter_given(10)) store_number(out, outer_script);
  else if (parameter_given(19)) {
    std::string text;
    if (encode_task_state(text, t) < 0) {
      report_error_at_line(900000, 1);
      return -1;
    }
    store_text(out, text);
  } else if (parameter_given(7) || !parameter_given(2)) {
    // The script number is the default answer; "exists" alone keeps its 1.
    store_number(out, t->script_number);
  }
  return 0;
}
