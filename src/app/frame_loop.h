// The main thread's message loop, the frame tick, its pacing and the optional
// frame thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <thread>

#include "core/frame_state.h"
#include "platform/platform.h"

// The popup menu a script asked for, shown at the end of the tick.
struct pending_popup_record {
  uint8_t menu_set = 0;  // 0 = none
  int x = 0, y = 0;
};
extern pending_popup_record pending_popup;

// The main thread's loop state.
struct message_loop_record {
  std::atomic<uint8_t> running{1};  // cleared by msg_quit (read by the frame thread)
  int exit_code = 0;    // the wparam of that msg_quit
  std::atomic<uint8_t> close_requested{0};  // request_close has posted the close
  std::deque<ui_event> held_events;  // taken from the Ui, not yet dispatched (main thread only)
};
extern message_loop_record message_loop;

// The steps a tick calls into other subsystems. Filled with the engine's own
// functions; a test may put counting stand-ins in.
struct frame_step_table {
  void (*sample_input)();
  int (*run_scripts)();  // one pass over the task tree; nonzero = quit
  void (*propagate_layer_changes)();
  int (*render_window)(int window);
  bool (*movie_playing)();
  void (*update_fullscreen_menu_bar)();
  int (*repaint_window)(int window);
  void (*reset_dirty_rects)();
  void (*show_pending_popup_menu)();
  void (*poll_input)();
  void (*window_proc)(const ui_event& event);
  void (*present_movie)();  // every tick: the movie's picture, when one is open
};
// The engine's own steps; tests swap entries and restore from here.
extern const frame_step_table default_frame_steps;
extern frame_step_table frame_steps;

int frame_tick();  // nonzero when the program must close
int pace_frame();  // 1 when late enough to skip drawing
void request_close();
void count_frame();
void frame_thread_main();
void start_frame_thread();
// Waits (1 ms polls under engine_lock) until the frame thread has ended.
void wait_for_frame_thread();

// Takes every event waiting in the Ui into message_loop.held_events. Polling
// also serves the window and dialog requests of other threads, so the main
// thread calls it whenever it waits.
void take_waiting_events();
// Dispatches the waiting events while pumping is allowed; msg_quit clears
// message_loop.running.
void pump_messages();
// One pass of the main thread's loop: input, the tick (unless the frame thread
// runs it) and the window messages. Nonzero once the program is closing.
// Headless runs drive the player pass by pass through it.
int main_loop_pass();
// Set by the system services: sees each event before the window procedure
// and takes it (true) when the player's own box has it (edit box, input box).
extern bool (*window_event_filter)(const ui_event& event);
// The main thread's loop after start-up; returns the exit code.
int run_message_loop();
