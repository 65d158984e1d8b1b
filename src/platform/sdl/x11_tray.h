// The tray icon on X11 desktops: a small window docked into the system tray
// by the freedesktop system-tray protocol (XEmbed). It lives on the display
// connection of SDL's windows; its events reach it through SDL's window-system
// events.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

union _XEvent;
union SDL_Event;
struct SDL_Window;

// The Xlib Display* behind an SDL window, null when it is not on X11.
void* x11_display_of(SDL_Window* window);

class X11Tray {
 public:
  X11Tray() = default;
  ~X11Tray();
  X11Tray(const X11Tray&) = delete;
  X11Tray& operator=(const X11Tray&) = delete;

  // `display` is an Xlib Display*. Shows or updates the icon (16 x 16 BGRA;
  // empty: a plain program icon). Returns 1 when docked, 0 when the desktop
  // has no system tray, -1 on failure.
  int show(void* display, const std::vector<uint8_t>& bgra, const std::string& tooltip_utf8);
  void remove();
  // Looks at one X event; clicks on the icon call `on_click` with the mouse
  // message (msg_left_button_down, msg_left_button_double, msg_right_button_up).
  void handle(const _XEvent& event, const std::function<void(uint32_t)>& on_click, uint32_t now_ms);
  // The same for an SDL window-system event.
  void handle_sdl(const SDL_Event& event, const std::function<void(uint32_t)>& on_click, uint32_t now_ms);
  bool docked() const { return window_ != 0; }
  unsigned long window() const { return window_; }

 private:
  void draw();
  void* display_ = nullptr;
  unsigned long window_ = 0;
  std::vector<uint8_t> icon_;  // 16 x 16 BGRA
  uint32_t last_left_press_ = 0;
  bool had_left_press_ = false;
};
