#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace {
Platform* installed_platform = nullptr;
}

Platform& platform() {
  if (!installed_platform) {
    std::fputs("zarvik: no platform installed\n", stderr);
    std::abort();
  }
  return *installed_platform;
}

void install_platform(Platform* p) { installed_platform = p; }

bool platform_installed() { return installed_platform != nullptr; }
