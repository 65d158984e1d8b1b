// Script tasks: the payload of a task-tree node. A task holds its position in a
// compiled script, its waits and run flags, and the block, call and loop
// stacks the control-flow commands work on.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/object_tree.h"

struct script_code;

// Each of the three stacks holds at most this many frames; a depth that would
// reach it is error 101600.
constexpr int nesting_limit = 64;
// Values 1..16 of a call's arguments and return values, and of task parameters.
constexpr int call_value_count = 16;

struct block_frame {
  uint8_t saved_loop_depth = 0;
  uint32_t open_index = 0;  // the if instruction (continue executes it again)
  uint32_t end_index = 0;   // the block's end instruction
};

// Frame d + 1 holds the arguments of the callee running at depth d + 1 (and the
// values it returns); frame d holds the return position of the call made from
// depth d.
struct call_frame {
  int8_t saved_block_depth = 0;
  int8_t saved_loop_depth = 0;
  uint32_t return_index = 0;
  uint16_t return_script = 0;
  uint32_t call_line = 0;
  int64_t int_args[call_value_count] = {};
  double real_args[call_value_count] = {};
  std::string text_args[call_value_count];
  int64_t int_returns[call_value_count] = {};
  double real_returns[call_value_count] = {};
  std::string text_returns[call_value_count];
  uint8_t argument_count = 0;
  uint8_t argument_present[call_value_count] = {};
  uint8_t return_count = 0;
  uint8_t return_present[call_value_count] = {};
};

struct loop_frame {
  uint8_t saved_block_depth = 0;
  uint32_t body_start = 0;
  uint32_t end_index = 0;
  int64_t counter = 0;
  int64_t limit = 0;  // -1: endless
};

struct task_record {
  uint64_t last_pass = 0;        // pass counter when the task last ran
  uint8_t is_protected = 0;      // the SYSTEM task
  uint8_t message_wait = 0;      // set by message end until the text is done
  uint32_t message_mark[2] = {};
  uint8_t run_flag_a = 1, run_flag_b = 1;
  uint32_t wait_frames = 0;
  uint32_t wake_time = 0;        // clock ms; 0 = none
  uint32_t pc = 0;
  // The current script's code (instruction arrays, pool, lines); null until
  // the task is pointed at a label.
  const script_code* code = nullptr;
  uint16_t script_number = 0;
  int8_t block_depth = 0;
  std::unique_ptr<block_frame> block_frames[nesting_limit];
  int8_t call_depth = 0;
  std::unique_ptr<call_frame> call_frames[nesting_limit];
  int8_t loop_depth = 0;
  std::unique_ptr<loop_frame> loop_frames[nesting_limit];
  int64_t task_int_params[call_value_count] = {};
  double task_real_params[call_value_count] = {};
  std::string task_string_params[call_value_count];
  object_node* node = nullptr;  // the node this record is attached to
};

// Allocates the record and its first block, call and loop frames, sets both
// run flags and attaches it to the node. Null after reporting 100010.
task_record* create_task_record(object_node* node);
// The record of a task node (null for groups and bare nodes).
inline task_record* task_of(const object_node* node);

// Frames on demand (0..nesting_limit - 1); null after reporting 100010, or
// for a depth outside the stack.
block_frame* ensure_block_frame(task_record* task, int depth);
call_frame* ensure_call_frame(task_record* task, int depth);
loop_frame* ensure_loop_frame(task_record* task, int depth);
// Makes sure frames 0..depth of each stack exist, so a depth set by goto or a
// task state always has its frames. 0, or -1 after reporting 100010.
int ensure_task_frames(task_record* task, int block_depth, int loop_depth, int call_depth);

// The running task: set by the scheduler for the length of its turn.
struct current_task_record {
  task_record* record = nullptr;
  object_node* node = nullptr;
};
extern current_task_record current_task;

// The frame holding the running call's arguments, or null outside a call.
inline const call_frame* argument_frame(const task_record* t) {
  if (!t || t->call_depth <= 0) return nullptr;
  return t->call_frames[t->call_depth].get();
}
// The frame the last return wrote its values into.
inline const call_frame* return_frame(const task_record* t) {
  if (!t || t->call_depth + 1 >= nesting_limit) return nullptr;
  return t->call_frames[t->call_depth + 1].get();
}

// Integer argument number `element` (1..16) of the call frame `f`: 0 past
// the arguments it was given, or without a frame.
[[gnu::always_inline]] inline int64_t frame_int_argument(const call_frame* f, int64_t element) {
  const int i = static_cast<int>(element - 1);
  return f && i < f->argument_count ? f->int_args[i] : 0;
}

// An integer argument (returns false) or return value (true) of a task's
// running call, value number `element` (1..16; 0 outside them or the call).
[[gnu::always_inline]] inline int64_t call_int_value(const task_record* t, bool returns, int64_t element) {
  if (element < 1 || element > call_value_count) return 0;
  if (!returns) return frame_int_argument(argument_frame(t), element);
  const int i = static_cast<int>(element - 1);
  const call_frame* f = return_frame(t);
  return f && i < f->return_count ? f->int_returns[i] : 0;
}

// The payload hooks of the task tree: the SYSTEM node gets a protected record.
void install_task_tree_hooks();

// Creates a task node `name` directly under the task root with `priority` as
// its key and a fresh record. Null after a report.
object_node* create_task_node(const std::string& name, int32_t priority);
// Ends a task: detaches its node now and frees node and record after the
// scheduler's walk (which may still hold them).
void end_task(object_node* node);
// Frees the nodes ended so far (the walk calls it when it is done).
void free_ended_tasks();
// Frees every task node and record under the task root (tests and restart).
void destroy_task_payloads();

inline task_record* task_of(const object_node* node) {
  return node && !node->is_group ? static_cast<task_record*>(node->kind_record) : nullptr;
}
