#include "script/task.h"

#include <new>
#include <vector>

#include "core/error_report.h"

current_task_record current_task;

namespace {

// Nodes ended while the walk may still hold them.
std::vector<object_node*> ended_tasks;

template <class F>
F* ensure_frame(std::unique_ptr<F>* frames, int depth) {
  if (depth < 0 || depth >= nesting_limit) return nullptr;
  if (!frames[depth]) {
    frames[depth].reset(new (std::nothrow) F());
    if (!frames[depth]) {
      report_error(100010, 1);
      return nullptr;
    }
  }
  return frames[depth].get();
}

int task_first_node(object_node* node) {
  if (node->is_group) return 0;  // the empty group beside SYSTEM carries no record
  task_record* t = create_task_record(node);
  if (!t) return -1;
  if (node->name == "SYSTEM") t->is_protected = 1;
  return 0;
}

void free_task_node(object_node* node) {
  delete static_cast<task_record*>(node->is_group ? nullptr : node->kind_record);
  node->kind_record = nullptr;
  free_object_node(node);
}

void free_subtree(object_node* node) {
  object_node* c = node->first_child;
  while (c) {
    object_node* next = c->next_sibling;
    free_subtree(c);
    c = next;
  }
  free_task_node(node);
}

}  // namespace

task_record* create_task_record(object_node* node) {
  task_record* t = new (std::nothrow) task_record();
  if (!t || !ensure_block_frame(t, 0) || !ensure_call_frame(t, 0) || !ensure_loop_frame(t, 0)) {
    delete t;
    report_error(100010, 1);
    return nullptr;
  }
  t->run_flag_a = 1;
  t->run_flag_b = 1;
  t->node = node;
  if (node) node->kind_record = t;
  return t;
}

block_frame* ensure_block_frame(task_record* task, int depth) { return ensure_frame(task->block_frames, depth); }
call_frame* ensure_call_frame(task_record* task, int depth) { return ensure_frame(task->call_frames, depth); }
loop_frame* ensure_loop_frame(task_record* task, int depth) { return ensure_frame(task->loop_frames, depth); }

int ensure_task_frames(task_record* task, int block_depth, int loop_depth, int call_depth) {
  for (int d = 0; d <= block_depth && d < nesting_limit; ++d)
    if (!ensure_block_frame(task, d)) return -1;
  for (int d = 0; d <= loop_depth && d < nesting_limit; ++d)
    if (!ensure_loop_frame(task, d)) return -1;
  for (int d = 0; d <= call_depth && d < nesting_limit; ++d)
    if (!ensure_call_frame(task, d)) return -1;
  return 0;
}

void install_task_tree_hooks() {
  object_tree_hooks[tree_tasks].root = nullptr;
  object_tree_hooks[tree_tasks].first_node = task_first_node;
}

object_node* create_task_node(const std::string& name, int32_t priority) {
  object_node* root = object_trees[tree_tasks].root;
  if (!root) return nullptr;
  object_node* node = create_object_by_path(root, name, 0, 0, priority);
  if (!node) return nullptr;
  if (!create_task_record(node)) {
    detach_node(node);
    free_object_node(node);
    return nullptr;
  }
  return node;
}

void end_task(object_node* node) {
  if (!node) return;
  detach_node(node);
  for (object_node* n : ended_tasks)
    if (n == node) return;
  ended_tasks.push_back(node);
}

void free_ended_tasks() {
  std::vector<object_node*> nodes;
  nodes.swap(ended_tasks);
  for (object_node* n : nodes) {
    if (current_task.node == n) current_task = current_task_record{};
    free_subtree(n);
  }
}

void destroy_task_payloads() {
  free_ended_tasks();
  object_node* root = object_trees[tree_tasks].root;
  if (!root) return;
  object_node* c = root->first_child;
  while (c) {
    object_node* next = c->next_sibling;
    free_subtree(c);
    c = next;
  }
  delete root;
  object_trees[tree_tasks].root = nullptr;
  object_trees[tree_tasks].current_path.clear();
}
