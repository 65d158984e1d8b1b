// The real clock: CLOCK_MONOTONIC milliseconds on the 32-bit tick scale.
#pragma once
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

class PosixClock final : public Clock {
 public:
  uint32_t tick_ms() override;
  void sleep_ms(uint32_t ms) override;
  local_time local_now() override;
  void follow_sleep_ms(uint32_t ms) override;
  void wake_followers() override;

 private:
  std::mutex follow_mutex_;
  std::condition_variable follow_woken_;
  bool wake_pending_ = false;
};
