#include "platform/posix/clock.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <sched.h>
#include <sys/time.h>

uint32_t PosixClock::tick_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Truncated to 32 bits on purpose: callers compare ticks by unsigned
  // difference, exactly as with the original tick, so the wrap is harmless.
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void PosixClock::sleep_ms(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  // A signal must not cut the frame short: sleep the remainder.
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

void PosixClock::follow_sleep_ms(uint32_t ms) {
  std::unique_lock<std::mutex> l(follow_mutex_);
  follow_woken_.wait_for(l, std::chrono::milliseconds(ms), [this] { return wake_pending_; });
  wake_pending_ = false;
}

void PosixClock::wake_followers() {
  {
    std::lock_guard<std::mutex> g(follow_mutex_);
    wake_pending_ = true;
  }
  follow_woken_.notify_all();
}

local_time PosixClock::local_now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  tm parts{};
  localtime_r(&secs, &parts);
  local_time t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  t.milliseconds = static_cast<int>(tv.tv_usec / 1000);
  t.day_of_week = parts.tm_wday;
  return t;
}
