// zarvik: the player. Builds the real platform and hands over to the engine's
// start-up and frame loop (src/core).
#include <cstdio>

#include "app/startup.h"
#include "platform/sdl/real_platform.h"

int main(int argc, char** argv) {
  std::unique_ptr<RealPlatform> real = make_real_platform(argc, argv);
  if (!real) return 1;
  int exit_code = win_main();
  real.reset();
  return exit_code;
}
