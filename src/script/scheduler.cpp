#include "script/scheduler.h"

#include <mutex>
#include <optional>
#include <string>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/frame_state.h"
#include "core/play_time.h"
#include "core/sjis.h"
#include "format/compiled_files.h"
#include "platform/platform.h"
#include "resources/compiled_loaders.h"
#include "core/engine_config.h"
#include "script/argument_binding.h"
#include "script/decoded_commands.h"
#include "script/script_code.h"
#include "script/system_values.h"
#include "script/task.h"

scheduler_state_record scheduler_state;
std::atomic<uint8_t>& rerun_request = re_run_flag;
inactive_pause_record inactive_pause;
scheduler_hooks_record scheduler_hooks;

namespace {

uint32_t clock_now() { return platform_installed() && platform().clock ? platform().clock->tick_ms() : 0; }

// The place of the running instruction for error reports.
std::optional<script_place> running_place() {
  const scheduler_state_record& s = scheduler_state;
  if (!s.running || !s.running_code) return std::nullopt;
  script_place place;
  if (s.running_script < script_name_list.names.size()) place.file_name = script_name_list.names[s.running_script];
  if (s.current_pc < s.running_code->line_table.size())
    place.line = static_cast<int>(s.running_code->line_table[s.current_pc]);
  return place;
}

// Debug escape: every 1024th handler call looks at the cursor; the four
// corners touched in any order ask whether to quit.
void debug_escape_check() {
  scheduler_state_record& s = scheduler_state;
  if ((++s.handler_calls & 1023) != 0) return;
  int x = 0, y = 0;
  if (!scheduler_hooks.cursor_position || !scheduler_hooks.cursor_position(x, y)) return;
  const int64_t w = engine_facts.screen_width, h = engine_facts.screen_height;
  if (x <= 8 && y <= 8)
    s.corner_bits |= 1;
  else if (x <= 8 && y >= h - 9)
    s.corner_bits |= 2;
  else if (x >= w - 9 && y <= 8)
    s.corner_bits |= 4;
  else if (x >= w - 9 && y >= h - 9)
    s.corner_bits |= 8;
  if (s.corner_bits != 15) return;
  s.corner_bits = 0;
  static const std::string text =
      utf8_to_sjis("マウスによる画面四隅への移動を検出しました。\n\n強制的に終了します。よろしいですか？");
  static const std::string caption = utf8_to_sjis("[デバッグ機能]");
  if (platform_installed() && platform().ui &&
      platform().ui->message_box(caption, text, mb_yes_no | mb_icon_information) == id_yes)
    quit_flag = 1;
}

// What the dispatch reads of one script, taken from its code record when the
// task's code changes (and at the start of every turn, so that changes made
// to a script's arrays between turns are seen).
struct dispatch_view {
  const script_code* code = nullptr;
  uint32_t instruction_count = 0;
  const instruction_arguments* records = nullptr;
  const command_handler* handlers[2] = {nullptr, nullptr};

  void take(const script_code* c) {
    code = c;
    instruction_count = c->instruction_count;
    if (c->instruction_records.size() != c->instruction_count) lay_out_instruction_records(*c);
    records = c->instruction_records.data();
    handlers[0] = c->handlers[0].data();
    handlers[1] = c->handlers[1].data();
    running_instruction_record& ri = running_instruction;
    ri.expression_pool = c->expression_pool.data();
    ri.expression_pool_size = static_cast<uint32_t>(c->expression_pool.size());
    ri.decoded_base = c->decoded_arguments.empty() ? nullptr : c->decoded_arguments.data();
    ri.argument_base = c->arguments.data();
  }
  // 0: the pre-hook's array, while the scripts are paused.
  static int array() { return (inactive_pause.keep_running_inactive || !inactive_pause.paused) ? 1 : 0; }
};

// Running off the end of a script, or a jump outside it, is damaged code.
[[gnu::noinline, gnu::cold]] void report_damaged(const task_record* task, const script_code* code) {
  write_pending_result();
  scheduler_state_record& s = scheduler_state;
  s.running_code = code;
  s.running_script = task->script_number;
  s.current_pc = code && code->instruction_count ? code->instruction_count - 1 : 0;
  report_error_at_line_fmt(104010, 1, code_file_name(task->script_number));
}

// One task's turn: instructions until a handler ends it or a quit is pending.
// The debug escape's check is compiled into its own loop, so the loop of a
// game without the debug switch tests nothing for it.
template <bool debug>
void run_instructions(task_record* task) {
  scheduler_state_record& s = scheduler_state;
  dispatch_view view;
  // Where a decoded form left the task in its own code: its next instruction,
  // already in task->pc (no_resume: read the task).
  uint32_t resume = decoded_commands::no_resume;
  // The handler array: the pre-hook's while paused (unless the setting keeps
  // the scripts running). Chosen again whenever the task is read and after a
  // loop end, so a pause set meanwhile (by a handler, or by the window's
  // thread, whose store may as well have come a few instructions later) is
  // seen before any loop goes round again.
  const command_handler* handlers = nullptr;
  while (!quit_flag) {
    const script_code* code = view.code;
    uint32_t pc = resume;
    if (resume == decoded_commands::no_resume) {
      code = task->code;
      // (A task without code meets the view's empty one, of no instructions.)
      if (code != view.code) [[unlikely]] {
        if (!code) {
          report_damaged(task, code);
          break;
        }
        view.take(code);
      }
      pc = task->pc;
      handlers = view.handlers[view.array()];
    }
    resume = decoded_commands::no_resume;
    if (pc >= view.instruction_count) [[unlikely]] {
      report_damaged(task, code);
      break;
    }
    s.current_pc = pc;
    s.running_code = code;
    s.running_script = task->script_number;
    task->pc = pc + 1;
    ++s.instructions;
    // The decoded forms and the loop end run here, without a handler call;
    // they are known by their handlers, so a replaced handler still runs.
    // Only a handler reads the running instruction's records, so the decoded
    // forms hand them over only when they fall back to one.
    const command_handler handler = handlers[pc];
    int yield;
    if (handler == &cmd_let_decoded) {
      yield = decoded_commands::run_let<true>(*code, pc, resume);
    } else if (handler == &cmd_loop_end) {
      yield = decoded_commands::run_loop_end(pc, resume);
      handlers = view.handlers[view.array()];
    } else if (handler == &cmd_call_decoded) {
      yield = decoded_commands::run_call<true>(*code, pc, resume);
    } else if (handler == &cmd_return_decoded) {
      yield = decoded_commands::run_return<true>(*code, pc, resume);
    } else {
      decoded_commands::hand_over_records(view.records[pc]);
      write_pending_result();
      yield = handler();
    }
    if constexpr (debug) {
      write_pending_result();
      debug_escape_check();
      resume = decoded_commands::no_resume;
    }
    if (yield != 0) break;
  }
  write_pending_result();
}

void run_task(task_record* task) {
  scheduler_state_record& s = scheduler_state;
  s.running = 1;
  if (engine_config.debug_switch != 0)
    run_instructions<true>(task);
  else
    run_instructions<false>(task);
  s.running = 0;
}

}  // namespace

int run_script_threads(object_node* group) {
  if (!group) return 0;
  scheduler_state_record& s = scheduler_state;
  ++s.walk_depth;
  for (int64_t k = group->child_count; k >= 1; --k) {
    if (quit_flag) break;
    object_node* node = nth_child(group, k);
    if (!node) continue;
    if (node->is_group) {
      run_script_threads(node);
      continue;
    }
    task_record* task = task_of(node);
    if (!task || !task->run_flag_a || !task->run_flag_b) continue;
    current_task.record = task;
    current_task.node = node;
    const uint64_t pass = frame_counters.script_tick;
    if (task->last_pass == pass) continue;
    task->last_pass = pass;
    if (scheduler_hooks.advance_message)
      scheduler_hooks.advance_message(task);
    else
      task->message_wait = 0;  // no message window: the text is done at once
    if (task->message_wait) continue;
    if (task->wait_frames) --task->wait_frames;
    // Signed difference: a wake time just past the clock's wrap is still ahead.
    if (task->wake_time && static_cast<int32_t>(clock_now() - task->wake_time) >= 0) task->wake_time = 0;
    if (task->wait_frames || task->wake_time) continue;
    run_task(task);
  }
  if (--s.walk_depth == 0) {
    current_task = current_task_record{};
    // Tasks ended during the walk are freed only now: the walk held them.
    free_ended_tasks();
  }
  return 0;
}

int run_script_threads() { return run_script_threads(object_trees[tree_tasks].root); }

int instruction_pre_hook() {
  while (inactive_pause.paused) {
    update_inactive_pause();
    if (scheduler_hooks.pump_messages && !scheduler_hooks.pump_messages()) return 1;
    if (quit_flag) return 1;
    if (!inactive_pause.paused) break;
    if (platform_installed() && platform().clock) platform().clock->sleep_ms(10);
  }
  const script_code* code = scheduler_state.running_code;
  const uint32_t pc = scheduler_state.current_pc;
  if (!code || pc >= code->instruction_count) return 1;
  return code->handlers[1][pc]();
}

void update_inactive_pause() {
  if (inactive_pause.keep_running_inactive) {
    inactive_pause.paused = 0;
    return;
  }
  const bool active = scheduler_hooks.main_window_active ? scheduler_hooks.main_window_active() : true;
  if (!active && !inactive_pause.paused)
    pause_while_inactive();
  else if (active && inactive_pause.paused)
    resume_after_inactive();
}

void pause_while_inactive() {
  std::lock_guard<engine_mutex> lock(engine_lock);
  if (inactive_pause.paused) return;
  inactive_pause.paused = 1;
  inactive_pause.pause_start = clock_now();
  hold_play_time(play_time_hold_inactive, inactive_pause.pause_start);
}

void resume_after_inactive() {
  std::lock_guard<engine_mutex> lock(engine_lock);
  if (!inactive_pause.paused) return;
  inactive_pause.paused = 0;
  // The paused span leaves the running play-time counters.
  release_play_time(play_time_hold_inactive, clock_now());
  inactive_pause.pause_start = 0;
}

// ---------------------------------------------------------------- task system values

namespace {

// Value number 1..16 as an array index, or -1.
int value_index(int64_t element) { return element >= 1 && element <= call_value_count ? static_cast<int>(element - 1) : -1; }

}  // namespace

int64_t task_int_value(uint32_t id, int64_t element) {
  const task_record* t = current_task.record;
  if (id == 116) {
    object_node* root = object_trees[tree_tasks].root;
    return root ? root->child_count : 0;
  }
  if (!t) return 0;
  if (id == 48) {
    if (t->loop_depth <= 0) return 0;
    const loop_frame* f = t->loop_frames[t->loop_depth - 1].get();
    return f ? f->counter : 0;
  }
  const int i = value_index(element);
  if (i < 0) return 0;
  if (id == 49 || id == 50) return call_int_value(t, false, element);
  if (id == 54) return call_int_value(t, true, element);
  if (id == 53) {
    const call_frame* f = argument_frame(t);
    return f && i < f->argument_count ? f->argument_present[i] : 0;
  }
  if (id == 57) {
    const call_frame* f = return_frame(t);
    return f && i < f->return_count ? f->return_present[i] : 0;
  }
  if (id == 58) return t->task_int_params[i];
  return 0;
}

namespace {

double task_real_value(uint32_t id, int64_t element) {
  const task_record* t = current_task.record;
  const int i = value_index(element);
  if (!t || i < 0) return 0.0;
  if (id == 51) {
    const call_frame* f = argument_frame(t);
    return f && i < f->argument_count ? f->real_args[i] : 0.0;
  }
  if (id == 55) {
    const call_frame* f = return_frame(t);
    return f && i < f->return_count ? f->real_returns[i] : 0.0;
  }
  if (id == 59) return t->task_real_params[i];
  return 0.0;
}

std::string task_text_value(uint32_t id, int64_t element) {
  if (id == 115) return current_task.node ? current_task.node->name : std::string();
  const task_record* t = current_task.record;
  const int i = value_index(element);
  if (!t || i < 0) return {};
  if (id == 52) {
    const call_frame* f = argument_frame(t);
    return f && i < f->argument_count ? f->text_args[i] : std::string();
  }
  if (id == 56) {
    const call_frame* f = return_frame(t);
    return f && i < f->return_count ? f->text_returns[i] : std::string();
  }
  if (id == 60) return t->task_string_params[i];
  return {};
}

int64_t scheduler_pass_value() { return static_cast<int64_t>(frame_counters.script_tick); }
int64_t frame_counter_value() { return static_cast<int64_t>(frame_counters.frame_count); }

}  // namespace

void install_scheduler() {
  current_script_place = running_place;
  engine_facts.task_int_value = task_int_value;
  engine_facts.task_real_value = task_real_value;
  engine_facts.task_text_value = task_text_value;
  engine_facts.scheduler_pass_counter = scheduler_pass_value;
  engine_facts.frame_counter = frame_counter_value;
  install_task_tree_hooks();
}

void reset_scheduler() {
  destroy_task_payloads();
  reset_script_files();
  scheduler_state = scheduler_state_record{};
  rerun_request = 0;
  inactive_pause.keep_running_inactive = 1;  // on until the settings command turns it off
  inactive_pause.paused = 0;
  inactive_pause.pause_start = 0;
  current_task = current_task_record{};
}
