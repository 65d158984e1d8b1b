// The frame tick's state that the subsystems read: the counters scripts see,
// the pacing record, the re-run and suspend bytes and the frame thread's
// hand-over bytes. The tick itself lives with the program (app/frame_loop).
#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

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
  // When a picture was last loaded (stamp_load_time); 0 never. Kept for
  // the pacing; the lateness of a tick does not depend on it.
  uint32_t last_load_ms = 0;  // written and read on the thread that runs the tick
};
extern pacing_state_record pacing_state;

// Stores the clock's tick as the last-load time (after a picture load).
void stamp_load_time();

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

// Publishes the current second's counts and starts a new second now (command 27).
void restart_second_counters();
