// Process-wide engine state shared by every subsystem and thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

// Once set, every loop and thread of the engine ends at its next check. Report
// functions store their quit argument here, so it can also be cleared again.
extern std::atomic<uint8_t> quit_flag;

// Set by the quit command when the player must start again after shutdown.
extern std::atomic<uint8_t> restart_flag;

// The one engine lock: sound queue and tree, thread state bytes, the logs and
// the play-time counters.
extern std::recursive_mutex engine_lock;

// Set by shutdown before it waits for the threads: the sound and frame threads
// end on it even when a late report has cleared quit_flag again.
extern std::atomic<uint8_t> stop_threads_signal;
