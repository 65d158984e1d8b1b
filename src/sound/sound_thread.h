// The sound thread: carries out queued requests, runs fades, play positions,
// loops and refills, pauses every sound while the game is held for an inactive
// window, and ends the program with its own message when playback fails.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

// What the focus pause reads from other subsystems; the start-up points these
// at the VM's inactive-pause flag, the main window's active byte and the
// keep-running-while-inactive setting. Null entries read as: no inactive
// pause, window active, keep running on.
struct sound_focus_links {
  bool (*inactive_pause)() = nullptr;
  bool (*main_window_active)() = nullptr;
  bool (*keep_running_inactive)() = nullptr;
};
extern sound_focus_links sound_focus;
// Start-up: points the links at the scheduler's inactive-pause flag and
// keep-running setting and at the main window's active state.
void link_sound_focus();

struct sound_thread_record {
  std::atomic<uint8_t> state{0xFF};  // 0xFF not started, 0 running, 1 ended
  std::atomic<uint8_t> paused_by_focus{0};
  std::atomic<uint8_t> started{0};  // set when start_sound_thread made the thread
  std::atomic<uint64_t> cycles{0};  // cycles run (tests keep step with the thread)
  std::atomic<uint8_t> pacing_ready{0};  // set once the thread follows the clock
  std::thread thread;
  // Pacing sleep of the thread and of the waiters, for tests that step the
  // thread in real time. Unset: the thread sleeps through the clock's
  // follow_sleep_ms and waiters step with wait_step_ms, so on a followed
  // virtual clock every cycle falls on the same virtual instant each run.
  void (*sleep_ms)(uint32_t ms) = nullptr;
};
extern sound_thread_record sound_thread;

// One cycle without its sleep: queue, focus pause, fades, positions, refills.
// Returns 0 to go on, 1 when quit is set, or a negative error code.
int sound_cycle();
void sound_thread_main();
void start_sound_thread();
// Shutdown: waits (1 ms polls under engine_lock) until a started sound thread
// has ended, and joins it. Quit must be set first.
void wait_sound_thread_end();

// Start-up: queue, thread, and (sound enabled) the ROOT sound. 0, or -1 when
// the ROOT sound can't be made.
int init_sound_player();
int start_root_sound();

// The "DEBUG Message" text for a negative sound-thread code (Shift-JIS).
std::string sound_error_text(int code);
// Shows it (outside the lock), sets quit and marks the run as ending on an error.
void report_sound_thread_error(int code);
// Told of every sound-thread failure before its box is shown (kxtool run
// prints them); null by default.
extern void (*sound_error_listener)(int code, const std::string& text);

// The thread's own pacing sleep, and one step of a wait for the thread.
void sound_sleep_ms(uint32_t ms);
void sound_wait_step_ms(uint32_t ms);
// A request was queued: the thread runs its next cycle now rather than at
// the end of its sleep, so what a frame asks for sounds from that frame's
// instant (on a followed virtual clock, the very instant the script ran).
void wake_sound_thread();
