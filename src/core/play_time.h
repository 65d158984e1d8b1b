// The four play-time counters scripts read (system values 1 and 101): each
// counts milliseconds since its start stamp while it runs. Held time never
// counts: the VM's inactive pause and the system call's explicit pause hold
// the counters through one hold with a set of reasons, so overlapping holds
// take their span out once. Changed under engine_lock.
#pragma once
#include <cstdint>

constexpr int play_time_counter_count = 4;

enum play_time_hold_reason : uint8_t {
  play_time_hold_inactive = 1,  // the main window is inactive (scheduler)
  play_time_hold_explicit = 2,  // the system call's play-time pause
};

struct play_time_counter {
  uint8_t running = 1;
  uint32_t start = 0;  // clock tick when the counter (re)started
  uint32_t stop = 0;   // clock tick when it was stopped; 0 while it runs
  uint32_t spare = 0;
};

struct play_time_counters_record {
  play_time_counter counters[play_time_counter_count];
  uint8_t hold_reasons = 0;  // play_time_hold_reason bits
  uint32_t hold_start = 0;   // when the first open reason began
};
extern play_time_counters_record play_time_counters;

// End of start-up: every counter runs from `now`.
void start_play_time_counters(uint32_t now);
// Opens a hold for `reason` (nothing when it is already open).
void hold_play_time(play_time_hold_reason reason, uint32_t now);
// Closes it; when no reason is left, the held span is added to the start of
// every running counter.
void release_play_time(play_time_hold_reason reason, uint32_t now);
bool play_time_held(play_time_hold_reason reason);
// The counter's value in ms at `now`: a stopped counter reads up to its stop
// and a held one up to the start of the hold, so a value never jumps back
// when the held span is taken out. 0 for a counter outside 0..3.
int64_t play_time_value(int counter, uint32_t now);
// A counter switch of the settings command: 1 runs a stopped counter (the
// stopped span does not count), 0 stops a running one; other values nothing.
void switch_play_time_counter(int counter, int64_t value, uint32_t now);
