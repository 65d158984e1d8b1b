// One pause of the play-time counters with a set of reasons: the script's
// explicit pause and the pause while the main window is inactive may overlap,
// but the paused span is taken off the counters once, when the last reason
// ends.
#pragma once
#include <cstdint>

enum : uint8_t { pause_reason_script = 1, pause_reason_inactive = 2 };

struct play_time_pause_record {
  uint8_t reasons = 0;       // pause_reason_* bits
  uint32_t started_ms = 0;   // clock tick when the first reason began
  uint64_t total_ms = 0;     // every finished span, for the counters' readers
};
extern play_time_pause_record play_time_pause;

// Under engine_lock. Adding a reason already held, or removing one not held,
// changes nothing. The span goes to scheduler_hooks.exclude_play_time.
void pause_play_time(uint8_t reason);
void resume_play_time(uint8_t reason);
