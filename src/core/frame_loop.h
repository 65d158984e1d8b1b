// The main thread's message loop, the frame tick, its pacing and the optional
// frame thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <thread>

#include "platform/platform.h"

// Counters the scripts read.
struct frame_counters_record {
  uint64_t frame_count = 0;  // +1 at the start of every tick
  uint64_t script_tick = 0;  // +1 before every pass over the task tree
  uint32_t ticks_this_second = 0;
  uint32_t frames_this_second = 0;  // drawn frames
  uint32_t ticks_last_second = 0;   // published at each second change
  uint32_t frames_last_second = 0;
  uint32_t last_second_change = 0;  // ms, clock tick scale
};
extern frame_counters_record frame_counters;

struct pacing_state_record {
  uint32_t remainder = 0;      // 16.16 ms; only the low 16 bits carry over
  uint32_t reference_ms = 0;   // when the previous frame was due
  uint32_t frame_now_ms = 0;   // when this tick was released
  int32_t frames_per_second = 60;
  uint8_t frame_skip = 0;      // the engine configuration's frame-skip switch
  uint8_t skip_flag = 0;       // the previous frame was late: skip drawing
  uint8_t first_frame = 0;     // set by the first tick that reaches drawing
  uint8_t device_countdown = 0;
  uint8_t style_countdown = 0;  // 20 after leaving full screen
};
extern pacing_state_record pacing_state;

// Set by commands that need another pass over the task tree in the same tick.
extern std::atomic<uint8_t> re_run_flag;
// Set while the close confirmation is open: ticks then do nothing.
extern std::atomic<uint8_t> tick_suspended;

// The frame thread and the two hand-over bytes between it and the main thread.
enum : uint8_t { frame_thread_never_started = 0xFF, frame_thread_running = 0, frame_thread_ended = 9 };
struct frame_thread_record {
  uint8_t enabled = 0;  // frame-thread mode (engine configuration)
  uint8_t state = frame_thread_never_started;  // read and written under engine_lock
  std::atomic<uint8_t> in_pacing{0};
  std::atomic<uint8_t> in_window_proc{0};
  std::thread thread;
};
extern frame_thread_record frame_thread;

// The popup menu a script asked for, shown at the end of the tick.
struct pending_popup_record {
  uint8_t menu_set = 0;  // 0 = none
  int x = 0, y = 0;
};
extern pending_popup_record pending_popup;

// The main thread's loop state.
struct message_loop_record {
  uint8_t running = 1;  // cleared by msg_quit
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
};
// The engine's own steps; tests swap entries and restore from here.
extern const frame_step_table default_frame_steps;
extern frame_step_table frame_steps;

int frame_tick();  // nonzero when the program must close
int pace_frame();  // 1 when late enough to skip drawing
void request_close();
void count_frame();
// Publishes the current second's counts and starts a new second now (command 27).
void restart_second_counters();
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
// Set by the system services: sees each event before the window procedure
// and takes it (true) when the player's own box has it (edit box, input box).
extern bool (*window_event_filter)(const ui_event& event);
// The main thread's loop after start-up; returns the exit code.
int run_message_loop();
