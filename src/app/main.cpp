// zarvik: the player. Builds the real platform and hands over to the engine's
// start-up and frame loop (src/core).
#include <cstdio>

#include "app/startup.h"
#include "core/engine_state.h"
#include "platform/sdl/real_platform.h"
#include "platform/sdl/termination.h"

namespace {
// A termination signal ends the run as the player's own close does: the
// loop sees quit_flag and closes the main window without the question. An
// open dialog sees the signal itself and gives way.
void on_termination_request() { quit_flag.store(1); }
}  // namespace

int main(int argc, char** argv) {
  install_termination_handlers(on_termination_request);
  std::unique_ptr<RealPlatform> real = make_real_platform(argc, argv);
  if (!real) return 1;
  int exit_code = win_main();
  real.reset();
  return exit_code;
}
