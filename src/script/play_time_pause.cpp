#include "script/play_time_pause.h"

#include <mutex>

#include "core/engine_state.h"
#include "platform/platform.h"
#include "script/scheduler.h"

play_time_pause_record play_time_pause;

void pause_play_time(uint8_t reason) {
  std::lock_guard<std::recursive_mutex> lock(engine_lock);
  if (play_time_pause.reasons == 0) play_time_pause.started_ms = platform().clock->tick_ms();
  play_time_pause.reasons |= reason;
}

void resume_play_time(uint8_t reason) {
  std::lock_guard<std::recursive_mutex> lock(engine_lock);
  if (!(play_time_pause.reasons & reason)) return;
  play_time_pause.reasons &= static_cast<uint8_t>(~reason);
  if (play_time_pause.reasons) return;
  // Unsigned difference: right across the tick's wrap, never negative.
  const uint32_t span = platform().clock->tick_ms() - play_time_pause.started_ms;
  play_time_pause.total_ms += span;
  if (scheduler_hooks.exclude_play_time) scheduler_hooks.exclude_play_time(span);
}
