// The real clock: CLOCK_MONOTONIC milliseconds on the 32-bit tick scale.
#pragma once
#include "platform/platform.h"

class PosixClock final : public Clock {
 public:
  uint32_t tick_ms() override;
  void sleep_ms(uint32_t ms) override;
  local_time local_now() override;
};
