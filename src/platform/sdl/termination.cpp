#include "platform/sdl/termination.h"

#include <signal.h>

namespace {
volatile sig_atomic_t requested = 0;
void (*request_hook)() = nullptr;

extern "C" void on_termination_signal(int) {
  requested = 1;
  if (request_hook) request_hook();
}
}  // namespace

void install_termination_handlers(void (*on_request)()) {
  request_hook = on_request;
  struct sigaction action {};
  action.sa_handler = on_termination_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

bool termination_requested() { return requested != 0; }
