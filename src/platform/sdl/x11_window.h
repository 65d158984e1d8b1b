// Window operations SDL2 has no call for, done on X11 directly through the
// window's system handles (SDL_GetWindowWMInfo). Under any other video driver
// each is a no-op that says so once on stderr.
#pragma once
#include <vector>

#include "platform/platform.h"

struct SDL_Window;

// Puts `window` at the bottom of the stacking order.
bool x11_lower_window(SDL_Window* window);
// Restacks `window` right below `sibling`.
bool x11_stack_below(SDL_Window* window, SDL_Window* sibling);
// Limits the window's visible area to the rectangles (client coordinates);
// an empty list removes the limit.
bool x11_set_window_shape(SDL_Window* window, const std::vector<ui_rect>& rects);

// Takes over Xlib's fatal error paths for the process: a broken connection
// (the server gone, the client killed with xkill) or a protocol error tells
// `on_lost` (when set) what happened, says it on stderr and ends the process
// with status 1 at once. Xlib's own handlers call exit(), which would run the
// static destructors while the engine's threads still run. Calling it again
// only replaces `on_lost`.
void x11_watch_display(void (*on_lost)(const char* what));
