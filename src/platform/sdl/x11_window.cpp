#include "platform/sdl/x11_window.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>

#ifdef ZARVIK_HAVE_X11
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#endif

namespace {

void say_once(int i, const char* what) {
  static bool said[3] = {};
  if (said[i]) return;
  said[i] = true;
  std::fprintf(stderr, "zarvik: %s is not available with this video driver\n", what);
}

#ifdef ZARVIK_HAVE_X11
bool x11_handles(SDL_Window* window, Display** display, Window* handle) {
  if (!window) return false;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return false;
  *display = info.info.x11.display;
  *handle = info.info.x11.window;
  return *display != nullptr;
}
#endif

std::atomic<void (*)(const char*)> display_lost_handler{nullptr};

[[noreturn]] void end_for_display(const char* what) {
  // A second failure while the first is told (the handler touching the
  // display again) ends at once.
  static std::atomic<bool> ending{false};
  if (!ending.exchange(true))
    if (void (*handler)(const char*) = display_lost_handler.load()) handler(what);
  std::fprintf(stderr, "zarvik: %s; the player ends\n", what);
  std::fflush(nullptr);
  _exit(1);
}

#ifdef ZARVIK_HAVE_X11
int on_connection_lost(Display* d) {
  char what[256];
  std::snprintf(what, sizeof what, "X connection to %s lost", d ? DisplayString(d) : "the display");
  end_for_display(what);
}

int on_protocol_error(Display* d, XErrorEvent* e) {
  char text[160] = "";
  XGetErrorText(d, e->error_code, text, sizeof text);
  char what[320];
  std::snprintf(what, sizeof what, "X error %d (%s), request %d.%d", e->error_code, text, e->request_code,
                e->minor_code);
  end_for_display(what);
}
#endif

}  // namespace

void x11_watch_display(void (*on_lost)(const char* what)) {
  display_lost_handler = on_lost;
#ifdef ZARVIK_HAVE_X11
  XSetIOErrorHandler(on_connection_lost);
  XSetErrorHandler(on_protocol_error);
#endif
}

bool x11_lower_window(SDL_Window* window) {
#ifdef ZARVIK_HAVE_X11
  Display* d = nullptr;
  Window w = 0;
  if (x11_handles(window, &d, &w)) {
    XLowerWindow(d, w);
    XFlush(d);
    return true;
  }
#endif
  say_once(0, "lowering a window");
  return false;
}

bool x11_stack_below(SDL_Window* window, SDL_Window* sibling) {
#ifdef ZARVIK_HAVE_X11
  Display* d = nullptr;
  Window w = 0, s = 0;
  Display* d2 = nullptr;
  if (x11_handles(window, &d, &w) && x11_handles(sibling, &d2, &s)) {
    // Through the window manager: a reparenting manager restacks frames, not
    // our windows, and ignores a plain XConfigureWindow sibling.
    XWindowChanges changes{};
    changes.sibling = s;
    changes.stack_mode = Below;
    XReconfigureWMWindow(d, w, DefaultScreen(d), CWSibling | CWStackMode, &changes);
    XFlush(d);
    return true;
  }
#endif
  say_once(1, "stacking behind a window");
  return false;
}

bool x11_set_window_shape(SDL_Window* window, const std::vector<ui_rect>& rects) {
#ifdef ZARVIK_HAVE_X11
  Display* d = nullptr;
  Window w = 0;
  if (x11_handles(window, &d, &w)) {
    int event_base = 0, error_base = 0;
    if (!XShapeQueryExtension(d, &event_base, &error_base)) return false;
    if (rects.empty()) {
      XShapeCombineMask(d, w, ShapeBounding, 0, 0, None, ShapeSet);
    } else {
      std::vector<XRectangle> xr;
      xr.reserve(rects.size());
      for (const ui_rect& r : rects)
        xr.push_back({static_cast<short>(r.x), static_cast<short>(r.y), static_cast<unsigned short>(r.width),
                      static_cast<unsigned short>(r.height)});
      XShapeCombineRectangles(d, w, ShapeBounding, 0, 0, xr.data(), static_cast<int>(xr.size()), ShapeSet,
                              Unsorted);
    }
    XFlush(d);
    return true;
  }
#endif
  say_once(2, "shaping a window");
  return false;
}
