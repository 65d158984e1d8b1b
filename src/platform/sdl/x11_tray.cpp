#include "platform/sdl/x11_tray.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr long system_tray_request_dock = 0;
constexpr int icon_side = 16;
constexpr uint32_t double_click_ms = 500;

// The plain program icon: a blue square with a light frame.
std::vector<uint8_t> program_icon() {
  std::vector<uint8_t> px(icon_side * icon_side * 4);
  for (int y = 0; y < icon_side; ++y)
    for (int x = 0; x < icon_side; ++x) {
      uint8_t* d = &px[(y * icon_side + x) * 4];
      const bool edge = x == 0 || y == 0 || x == icon_side - 1 || y == icon_side - 1;
      d[0] = edge ? 0xF0 : 0xC0, d[1] = edge ? 0xF0 : 0x60, d[2] = edge ? 0xF0 : 0x20, d[3] = 0xFF;
    }
  return px;
}

}  // namespace

void* x11_display_of(SDL_Window* window) {
  if (!window) return nullptr;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return nullptr;
  return info.info.x11.display;
}

X11Tray::~X11Tray() { remove(); }

void X11Tray::handle_sdl(const SDL_Event& event, const std::function<void(uint32_t)>& on_click, uint32_t now_ms) {
  if (event.type != SDL_SYSWMEVENT || !event.syswm.msg || event.syswm.msg->subsystem != SDL_SYSWM_X11) return;
  handle(event.syswm.msg->msg.x11.event, on_click, now_ms);
}

int X11Tray::show(void* display, const std::vector<uint8_t>& bgra, const std::string& tooltip_utf8) {
  Display* dpy = static_cast<Display*>(display);
  if (!dpy) return -1;
  icon_ = bgra.size() == icon_side * icon_side * 4 ? bgra : program_icon();
  if (window_ && display_ == display) {
    XStoreName(dpy, window_, tooltip_utf8.c_str());
    draw();
    return 1;
  }
  remove();
  const int screen = DefaultScreen(dpy);
  const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
  const Atom tray_atom = XInternAtom(dpy, selection.c_str(), False);
  const Window manager = XGetSelectionOwner(dpy, tray_atom);
  if (manager == None) return 0;

  const Window w = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 0, 0, icon_side, icon_side, 0, 0,
                                       BlackPixel(dpy, screen));
  if (!w) return -1;
  XSelectInput(dpy, w, ButtonPressMask | ButtonReleaseMask | ExposureMask | StructureNotifyMask);
  XStoreName(dpy, w, tooltip_utf8.c_str());
  const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(tooltip_utf8.data()), static_cast<int>(tooltip_utf8.size()));
  // XEmbed version 0, mapped.
  const long xembed_info[2] = {0, 1};
  const Atom info = XInternAtom(dpy, "_XEMBED_INFO", False);
  XChangeProperty(dpy, w, info, info, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(xembed_info), 2);
  XSizeHints hints{};
  hints.flags = PMinSize | PBaseSize;
  hints.min_width = hints.base_width = icon_side;
  hints.min_height = hints.base_height = icon_side;
  XSetWMNormalHints(dpy, w, &hints);

  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = manager;
  ev.xclient.message_type = XInternAtom(dpy, "_NET_SYSTEM_TRAY_OPCODE", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = CurrentTime;
  ev.xclient.data.l[1] = system_tray_request_dock;
  ev.xclient.data.l[2] = static_cast<long>(w);
  XSendEvent(dpy, manager, False, NoEventMask, &ev);
  XFlush(dpy);
  display_ = display;
  window_ = w;
  return 1;
}

void X11Tray::remove() {
  if (window_ && display_) {
    Display* dpy = static_cast<Display*>(display_);
    XDestroyWindow(dpy, window_);
    XFlush(dpy);
  }
  window_ = 0;
  display_ = nullptr;
}

void X11Tray::draw() {
  if (!window_ || !display_) return;
  Display* dpy = static_cast<Display*>(display_);
  XWindowAttributes attr{};
  if (!XGetWindowAttributes(dpy, window_, &attr) || attr.width <= 0 || attr.height <= 0) return;
  const int w = attr.width, h = attr.height;
  // The icon scaled (nearest) to the slot, transparent pixels on the tray's grey.
  std::vector<uint32_t> px(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint8_t* s = &icon_[((y * icon_side / h) * icon_side + x * icon_side / w) * 4];
      const uint32_t a = s[3], bg = 0xD0;
      const uint32_t b = (s[0] * a + bg * (255 - a)) / 255, g = (s[1] * a + bg * (255 - a)) / 255,
                     r = (s[2] * a + bg * (255 - a)) / 255;
      px[static_cast<size_t>(y) * w + x] = b | (g << 8) | (r << 16);
    }
  XImage* image = XCreateImage(dpy, attr.visual, static_cast<unsigned>(attr.depth), ZPixmap, 0,
                               reinterpret_cast<char*>(px.data()), static_cast<unsigned>(w), static_cast<unsigned>(h),
                               32, 0);
  if (!image) return;
  GC gc = XCreateGC(dpy, window_, 0, nullptr);
  XPutImage(dpy, window_, gc, image, 0, 0, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
  XFreeGC(dpy, gc);
  image->data = nullptr;  // the pixels are ours
  XDestroyImage(image);
  XFlush(dpy);
}

void X11Tray::handle(const _XEvent& event, const std::function<void(uint32_t)>& on_click, uint32_t now_ms) {
  const XEvent& e = reinterpret_cast<const XEvent&>(event);
  if (!window_ || e.xany.window != window_) return;
  switch (e.type) {
    case Expose:
    case ConfigureNotify:
    case MapNotify:
      draw();
      break;
    case ButtonPress:
      if (e.xbutton.button == Button1) {
        const bool double_click = had_left_press_ && now_ms - last_left_press_ <= double_click_ms;
        had_left_press_ = !double_click;
        last_left_press_ = now_ms;
        on_click(double_click ? msg_left_button_double : msg_left_button_down);
      }
      break;
    case ButtonRelease:
      if (e.xbutton.button == Button3) on_click(msg_right_button_up);
      break;
    case DestroyNotify:
      window_ = 0;  // the tray went away with our window
      break;
    default:
      break;
  }
}
