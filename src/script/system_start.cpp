#include "script/system_start.h"

#include "core/error_report.h"
#include "core/object_tree.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/task.h"
#include "script/variable_store.h"

int system_start() {
  if (load_error_texts() != 0) return -1;
  if (load_command_table() != 0) return -1;
  if (load_variable_table() != 0) return -1;
  if (create_variable_table(variable_counts.variable_count, variable_counts.system_value_114) != 0) return -1;
  if (load_script_name_list() != 0) return -1;
  reset_script_files();
  script_file_records.codes.resize(script_name_list.script_count);
  script_file_records.states.resize(script_name_list.script_count, script_not_loaded);
  if (load_variable_image() != 0) return -1;
  set_initial_variable_image(initial_variable_image);
  if (init_static_variables(-1) != 0) return -1;
  if (load_label_table() != 0) return -1;

  const int label = find_label("SYSTEM_START");
  if (label < 0) {
    report_error_fmt(108180, 1, "SYSTEM_START");
    return -1;
  }
  object_node* root = object_trees[tree_tasks].root;
  object_node* system = root ? find_object_by_path(root, "SYSTEM", find_leaf) : nullptr;
  task_record* task = task_of(system);
  if (!task) return -1;
  const compiled_label_record& l = label_table.labels[static_cast<size_t>(label)];
  if (l.block_depth > nesting_limit - 1 || l.loop_depth > nesting_limit - 1) return -1;
  if (ensure_task_frames(task, l.block_depth, l.loop_depth, 0) != 0) return -1;
  if (switch_task_to_label(task, label) != 0) return -1;
  task->block_depth = static_cast<int8_t>(l.block_depth);
  task->loop_depth = static_cast<int8_t>(l.loop_depth);
  return 0;
}
