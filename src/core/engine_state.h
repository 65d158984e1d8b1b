// Process-wide engine state shared by every subsystem and thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

// Once set, every loop and thread of the engine ends at its next check. Report
// functions store their quit argument here, so it can also be cleared again.
extern std::atomic<uint8_t> quit_flag;

// Set while the run is ending on an error: a report with quit set (cleared by
// one with quit 0, as quit_flag is) or a failure of the sound thread. The
// process then exits with a non-zero status, so scripts and CI can tell.
extern std::atomic<uint8_t> quit_by_error;

// Set by the quit command when the player must start again after shutdown.
extern std::atomic<uint8_t> restart_flag;

// The one engine lock: sound queue and tree, thread state bytes, the logs and
// the play-time counters.
extern std::recursive_mutex engine_lock;
