// Task commands: the script list query (81), starting and configuring tasks
// (82), deleting tasks and groups (83), querying tasks (84); and the task-state
// text of a task record.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct task_record;

int cmd_script_list_query();  // 81
int cmd_task_start();         // 82
int cmd_task_delete();        // 83
int cmd_task_query();         // 84

// Writes the task's state text into `buffer`; its length, or -1 when the
// task's depths lie outside 0..63.
int encode_task_state(std::string& buffer, const task_record* task);
// Restores a task from a state text: checks the whole text first (900000 for
// a wrong magic or a damaged text, 102130 with `command_number`'s name for a
// script name not in the script list, 100010 when frames cannot be made),
// then commits depths, frames, mark, position and script (loaded when needed).
// The characters read, or -1 with the task unchanged.
int decode_task_state(std::string_view text, task_record* task, int command_number = 82);

// The source line of a task's current instruction: for the running task the
// running instruction, else the instruction before its pc (instruction 0 when
// pc is 0); 0 without code.
int64_t task_current_line(const task_record* task);
