// The shipped Flash backend: no Flash player exists for this platform, so no
// movie is ever made.
#pragma once
#include "platform/platform.h"

class NoFlashBackend final : public FlashBackend {
 public:
  std::unique_ptr<FlashMovie> open_movie(const std::string& path_host, int x, int y, int width,
                                         int height) override;
};
