// SIGTERM and SIGINT (what `timeout`, a service manager, a logout or Ctrl+C
// send) end the player in order, as its own close does: no question, saves
// untouched. The handler only notes the request; the loops and an open
// dialog look at it.
#pragma once

// Installs the handlers (before SDL starts, so SDL keeps its own out).
// `on_request` runs inside the handler: it may only store to lock-free atomics.
void install_termination_handlers(void (*on_request)());
// True once a termination signal has arrived.
bool termination_requested();
