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

// The one engine lock (recursive): sound queue and tree, thread state bytes,
// the logs and the play-time counters. The thread that serves the Ui never
// blocks in it: another thread may hold the lock while it waits for that
// thread to show a dialog, so the Ui thread keeps serving until it gets in.
class engine_mutex {
 public:
  void lock();
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};
extern engine_mutex engine_lock;

// Every wait of one engine thread on another calls this in its loop: on the
// thread that serves the Ui it runs the window and dialog requests other
// threads are blocked in, and returns true; elsewhere it does nothing.
bool serve_ui_while_waiting();

// Set by shutdown before it waits for the threads: the sound and frame threads
// end on it even when a late report has cleared quit_flag again.
extern std::atomic<uint8_t> stop_threads_signal;
