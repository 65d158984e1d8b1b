#include "core/frame_state.h"

#include "platform/platform.h"

frame_counters_record frame_counters;
pacing_state_record pacing_state;

void stamp_load_time() {
  const uint32_t now = platform_installed() && platform().clock ? platform().clock->tick_ms() : 0;
  pacing_state.last_load_ms = now ? now : 1;
}
std::atomic<uint8_t> re_run_flag{0};
std::atomic<uint8_t> tick_suspended{0};
frame_thread_record frame_thread;

void restart_second_counters() {
  frame_counters.ticks_last_second = frame_counters.ticks_this_second;
  frame_counters.frames_last_second = frame_counters.frames_this_second;
  frame_counters.ticks_this_second = 0;
  frame_counters.frames_this_second = 0;
  frame_counters.last_second_change = platform().clock->tick_ms();
}
