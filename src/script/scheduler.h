// The scheduler: once per pass the frame tick walks the task tree and lets each
// runnable task execute instructions until a handler ends its turn. Also the
// pause while the main window is inactive and the debug escape.
#pragma once
#include <atomic>
#include <cstdint>

struct object_node;
struct task_record;
struct script_code;

// The pass counter is the frame tick's script tick
// (frame_counters.script_tick): a task runs at most once per pass, and the
// tick adds 1 before every pass.
struct scheduler_state_record {
  // Index of the running instruction, and the code it belongs to (error
  // places name its script and line even after a handler switched scripts).
  uint32_t current_pc = 0;
  const script_code* running_code = nullptr;
  uint16_t running_script = 0;
  uint8_t running = 0;  // a task's turn is under way
  int walk_depth = 0;   // nesting of run_script_threads (groups)
  // Debug escape: handler calls counted, corners seen (bits 1, 2, 4, 8).
  uint64_t handler_calls = 0;
  uint8_t corner_bits = 0;
  // Instructions executed since start (benchmarks and tests).
  uint64_t instructions = 0;
};
extern scheduler_state_record scheduler_state;

// Set by commands that want another pass over the task tree in this tick:
// the frame tick's re_run_flag.
extern std::atomic<uint8_t>& rerun_request;

// Inactive pause: the setting of command 80, the pause flag and its start.
struct inactive_pause_record {
  std::atomic<uint8_t> keep_running_inactive{1};
  std::atomic<uint8_t> paused{0};
  uint32_t pause_start = 0;
};
extern inactive_pause_record inactive_pause;

// What the scheduler asks of subsystems built elsewhere. Null entries take the
// stated default.
struct scheduler_hooks_record {
  // Advances a pending message of the task before its turn (the typesetter).
  // Null: no message window, so a message end is done at once.
  void (*advance_message)(task_record* task) = nullptr;
  // Whether the main window is active. Null: active.
  bool (*main_window_active)() = nullptr;
  // Pumps waiting window messages while paused; false when the engine is no
  // longer running. Null: nothing to pump.
  bool (*pump_messages)() = nullptr;
  // Cursor position in screen pixels for the debug escape; false when unknown.
  bool (*cursor_position)(int& x, int& y) = nullptr;
};
extern scheduler_hooks_record scheduler_hooks;

// One pass over the children of `group` (recursing into child groups). 0.
int run_script_threads(object_node* group);
// One pass over the task root: the frame tick's script step (after it added 1
// to the script tick). 0; errors end the run through quit_flag.
int run_script_threads();

int instruction_pre_hook();

void update_inactive_pause();
void pause_while_inactive();
void resume_after_inactive();

// The integer task and call values (engine_facts.task_int_value as
// install_scheduler sets it).
int64_t task_int_value(uint32_t id, int64_t element);

// Installs the error-place hook and the task system values; fills the task
// tree hooks. Called once at start-up, before the trees are made.
void install_scheduler();
// Back to the start-up state (tests and restart): tasks, scripts, counters.
void reset_scheduler();
