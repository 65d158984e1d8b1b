#include "core/play_time.h"

#include <mutex>

#include "core/engine_state.h"

play_time_counters_record play_time_counters;

void start_play_time_counters(uint32_t now) {
  std::lock_guard<engine_mutex> lock(engine_lock);
  play_time_counters = play_time_counters_record{};
  for (play_time_counter& c : play_time_counters.counters) c.start = now;
}

void hold_play_time(play_time_hold_reason reason, uint32_t now) {
  std::lock_guard<engine_mutex> lock(engine_lock);
  if (play_time_counters.hold_reasons == 0) play_time_counters.hold_start = now;
  play_time_counters.hold_reasons |= reason;
}

void release_play_time(play_time_hold_reason reason, uint32_t now) {
  std::lock_guard<engine_mutex> lock(engine_lock);
  if (!(play_time_counters.hold_reasons & reason)) return;
  play_time_counters.hold_reasons &= static_cast<uint8_t>(~reason);
  if (play_time_counters.hold_reasons) return;
  const uint32_t span = now - play_time_counters.hold_start;
  for (play_time_counter& c : play_time_counters.counters)
    if (c.running) c.start += span;
  play_time_counters.hold_start = 0;
}

bool play_time_held(play_time_hold_reason reason) {
  std::lock_guard<engine_mutex> lock(engine_lock);
  return (play_time_counters.hold_reasons & reason) != 0;
}

int64_t play_time_value(int counter, uint32_t now) {
  if (counter < 0 || counter >= play_time_counter_count) return 0;
  std::lock_guard<engine_mutex> lock(engine_lock);
  const play_time_counter& c = play_time_counters.counters[counter];
  uint32_t until = now;
  if (!c.running)
    until = c.stop;
  else if (play_time_counters.hold_reasons)
    until = play_time_counters.hold_start;
  return static_cast<uint32_t>(until - c.start);
}

void switch_play_time_counter(int counter, int64_t value, uint32_t now) {
  if (counter < 0 || counter >= play_time_counter_count) return;
  std::lock_guard<engine_mutex> lock(engine_lock);
  play_time_counter& c = play_time_counters.counters[counter];
  // While a hold is open the counter already reads up to the hold's start:
  // a stop then stops there, and a run takes out only the stopped span before
  // the hold (the release takes out the rest), so no span counts twice.
  const bool held = play_time_counters.hold_reasons != 0;
  if (c.running && value == 0) {
    c.running = 0;
    c.stop = held ? play_time_counters.hold_start : now;
  } else if (!c.running && value == 1) {
    c.running = 1;
    const uint32_t until = held && static_cast<int32_t>(play_time_counters.hold_start - c.stop) >= 0
                               ? play_time_counters.hold_start
                               : now;
    c.start += until - c.stop;
    c.stop = 0;
  }
}
