#include "app/frame_loop.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "core/engine_state.h"
#include "app/game_window.h"
#include "app/input.h"
#include "app/menu_view.h"
#include "graphics/layer_changes.h"
#include "app/pending_hooks.h"
#include "app/screen_modes.h"
#include "app/startup.h"
#include "core/worker_pool.h"
#include "graphics/compositor.h"
#include "script/scheduler.h"
#include "sound/movie_commands.h"
#include "core/engine_config.h"

pending_popup_record pending_popup;
message_loop_record message_loop;
bool (*window_event_filter)(const ui_event& event) = nullptr;

const frame_step_table default_frame_steps = {
    sample_input_for_frame,   run_script_threads,          propagate_layer_changes,
    render_window,            movie_playing,               update_fullscreen_menu_bar,
    repaint_window_without_device, reset_dirty_rects,      show_pending_popup_menu,
    poll_input,               game_wnd_proc,               present_movie_frame,
};
frame_step_table frame_steps = default_frame_steps;

namespace {
uint8_t frame_thread_state() {
  std::lock_guard lock(engine_lock);
  return frame_thread.state;
}
void set_frame_thread_state(uint8_t state) {
  std::lock_guard lock(engine_lock);
  frame_thread.state = state;
}
}  // namespace

int frame_tick() {
  ++frame_counters.frame_count;
  if (tick_suspended) return 0;
  if (quit_flag) return 1;
  if (pacing_state.device_countdown) --pacing_state.device_countdown;
  if (pacing_state.style_countdown && --pacing_state.style_countdown == 0 && !main_window_resizable())
    remove_main_window_thick_frame();
  frame_steps.sample_input();

  do {
    re_run_flag = 0;
    ++frame_counters.script_tick;
    int result = frame_steps.run_scripts();
    uint8_t was_quitting = quit_flag;
    if (result) quit_flag = 1;
    if (result || was_quitting) return 1;
  } while (re_run_flag);

  frame_steps.propagate_layer_changes();
  if (!pacing_state.skip_flag && !frame_steps.movie_playing()) {
    for (int window = 0; window < 4; ++window)
      if (frame_steps.render_window(window)) return 1;
  }
  // A movie runs on its own, like the child window it was: its picture
  // follows its clock whether or not the tick draws.
  if (frame_steps.present_movie) frame_steps.present_movie();
  if (!pacing_state.first_frame) {
    pacing_state.first_frame = 1;
    if (engine_config.main_window_kind == 1) platform().ui->show_window(0, true);
  }

  int late = pace_frame();
  frame_steps.update_fullscreen_menu_bar();
  if (!pacing_state.skip_flag && !frame_steps.movie_playing()) {
    for (int window = 0; window < 4; ++window)
      if (frame_steps.repaint_window(window)) return 1;
    count_frame();
    frame_steps.reset_dirty_rects();
  }
  if (pending_popup.menu_set || menu_bar_view.press_pending) {
    frame_steps.show_pending_popup_menu();
    pending_popup.menu_set = 0;
  }
  pacing_state.skip_flag = static_cast<uint8_t>(late);
  return quit_flag;
}

int pace_frame() {
  Clock* clock = platform().clock;
  // A rate of 0 (or below) would divide by zero: at least one frame a second.
  int32_t fps = pacing_state.frames_per_second < 1 ? 1 : pacing_state.frames_per_second;
  uint32_t step = static_cast<uint32_t>(65536000 / fps);
  uint32_t acc = (pacing_state.remainder & 0xFFFF) + step;
  pacing_state.remainder = acc;
  uint32_t period = acc >> 16;

  uint32_t now = clock->tick_ms();
  uint32_t elapsed = now - pacing_state.reference_ms;
  frame_thread.in_pacing = 1;
  int late = 0;
  if (elapsed < period) {
    clock->sleep_ms(period - elapsed);
    pacing_state.reference_ms += period;
    pacing_state.frame_now_ms = clock->tick_ms();
  } else {
    uint32_t lag = elapsed - period;
    if (lag >= 250) lag = 0;  // a stall (window drag, debugger) is forgotten, not caught up
    late = (pacing_state.frame_skip && static_cast<uint64_t>(lag) >= 3ull * period) ? 1 : 0;
    pacing_state.frame_now_ms = now + lag;
    pacing_state.reference_ms = now + lag;
  }
  if (frame_thread.enabled) {
    while (frame_thread.in_window_proc) clock->sleep_ms(0);
  }
  frame_thread.in_pacing = 0;

  if (pacing_state.frame_now_ms / 1000 != frame_counters.last_second_change / 1000) {
    frame_counters.ticks_last_second = frame_counters.ticks_this_second;
    frame_counters.frames_last_second = frame_counters.frames_this_second;
    frame_counters.frames_this_second = 0;
    frame_counters.last_second_change = pacing_state.frame_now_ms;
    frame_counters.ticks_this_second = 1;
  } else {
    ++frame_counters.ticks_this_second;
  }
  return late;
}

void count_frame() { ++frame_counters.frames_this_second; }

void request_close() {
  quit_flag = 1;
  set_main_window_close_mode(2);  // closing without confirmation
  message_loop.close_requested = 1;
  ui_event close;
  close.message = msg_close;
  close.window = 0;
  platform().ui->post_event(close);
}

void frame_thread_main() {
  set_frame_thread_state(frame_thread_running);
  // The stop signal ends the thread even if a report cleared quit_flag again.
  while (!stop_threads_signal && frame_tick() == 0) {
  }
  request_close();
  set_frame_thread_state(frame_thread_ended);
}

// Waits on another thread (the frame thread, a close in progress) take real
// time: only the thread that paces frames moves the clock, so a virtual clock
// does not race ahead while the main thread idles.
static void idle_wait_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void start_frame_thread() {
  // Marked started before the thread runs, so a shutdown right after start-up
  // still waits for it.
  set_frame_thread_state(frame_thread_running);
  frame_thread.thread = std::thread(frame_thread_main);
}

void wait_for_frame_thread() {
  if (frame_thread_state() == frame_thread_never_started) return;
  while (frame_thread_state() != frame_thread_ended) {
    take_waiting_events();  // the frame thread may be waiting for a dialog
    idle_wait_ms(1);
  }
  if (frame_thread.thread.joinable()) frame_thread.thread.join();
}

void take_waiting_events() {
  Ui* ui = platform().ui;
  ui_event event;
  while (ui->poll_event(event)) message_loop.held_events.push_back(std::move(event));
}

void pump_messages() {
  // Events are always taken from the Ui (it runs other threads' window and
  // dialog requests while it is polled), but handed to the window procedure
  // only while pumping is allowed. Events posted by the handlers themselves
  // (the close's quit) are taken in the same pump.
  for (;;) {
    take_waiting_events();
    if (message_loop.held_events.empty()) return;
    while (!message_loop.held_events.empty()) {
      // In frame-thread mode the main thread pumps only while the frame thread
      // sleeps in pacing and a worker is idle; once that thread has ended
      // nothing else would ever pump, so then it pumps freely.
      bool allowed = !frame_thread.enabled || (frame_thread.in_pacing && (worker_idle != 0 || !worker_threads_running())) ||
                     frame_thread_state() != frame_thread_running;
      if (!allowed) return;
      ui_event event = std::move(message_loop.held_events.front());
      message_loop.held_events.pop_front();
      if (event.message == msg_quit) {
        message_loop.running = 0;
        message_loop.exit_code = static_cast<int>(event.wparam);
        return;
      }
      if (window_event_filter && window_event_filter(event)) continue;
      frame_thread.in_window_proc = 1;
      frame_steps.window_proc(event);
      frame_thread.in_window_proc = 0;
    }
  }
}

int main_loop_pass() {
  int closing = 0;
  if (quit_flag) {
    // A quit set outside a tick (another thread, a window message) still
    // closes the main window once.
    if (!message_loop.close_requested) request_close();
    closing = 1;
  } else {
    frame_steps.poll_input();
    if (!frame_thread.enabled && frame_tick()) {
      request_close();
      closing = 1;
    }
  }
  pump_messages();
  return closing || !message_loop.running;
}

int run_message_loop() {
  message_loop.running = 1;
  pump_messages();
  while (message_loop.running) {
    // Nothing to tick on this thread: do not spin.
    const bool idle = quit_flag || frame_thread.enabled;
    main_loop_pass();
    if (idle) idle_wait_ms(1);
  }
  return message_loop.exit_code;
}
