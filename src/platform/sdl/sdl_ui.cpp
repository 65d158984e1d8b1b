#include "platform/sdl/sdl_ui.h"

#include <SDL2/SDL.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sdl/sdl_dialog.h"
#include "platform/sdl/termination.h"
#include "platform/sdl/x11_window.h"
#include "platform/text_encoding.h"
#include "platform/posix/process.h"

struct sdl_request {
  std::function<void()> job;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
};

namespace {

// Mouse-key state bits of the original mouse messages.
constexpr uint64_t mk_left = 0x1, mk_right = 0x2, mk_shift = 0x4, mk_control = 0x8, mk_middle = 0x10;
constexpr uint32_t vk_menu = 0x12, vk_f10 = 0x79;

bool env_set(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0];
}

// Dialog texts may carry CR LF (they were made for an edit control); SDL wants LF.
std::string dialog_text_utf8(const std::string& sjis) {
  std::string out = sjis_to_utf8(sjis);
  std::string clean;
  clean.reserve(out.size());
  for (char c : out)
    if (c != '\r') clean += c;
  return clean;
}

uint64_t mouse_key_state() {
  uint32_t b = SDL_GetMouseState(nullptr, nullptr);
  SDL_Keymod m = SDL_GetModState();
  uint64_t w = 0;
  if (b & SDL_BUTTON_LMASK) w |= mk_left;
  if (b & SDL_BUTTON_RMASK) w |= mk_right;
  if (b & SDL_BUTTON_MMASK) w |= mk_middle;
  if (m & KMOD_SHIFT) w |= mk_shift;
  if (m & KMOD_CTRL) w |= mk_control;
  return w;
}

int64_t point_lparam(int x, int y) {
  return static_cast<int64_t>((static_cast<uint32_t>(x) & 0xFFFF) | ((static_cast<uint32_t>(y) & 0xFFFF) << 16));
}

std::array<uint8_t, SDL_NUM_SCANCODES> build_key_table() {
  std::array<uint8_t, SDL_NUM_SCANCODES> t{};
  for (int i = 0; i < 26; ++i) t[SDL_SCANCODE_A + i] = static_cast<uint8_t>('A' + i);
  t[SDL_SCANCODE_0] = '0';
  for (int i = 0; i < 9; ++i) t[SDL_SCANCODE_1 + i] = static_cast<uint8_t>('1' + i);
  for (int i = 0; i < 12; ++i) t[SDL_SCANCODE_F1 + i] = static_cast<uint8_t>(0x70 + i);
  for (int i = 0; i < 12; ++i) t[SDL_SCANCODE_F13 + i] = static_cast<uint8_t>(0x7C + i);
  t[SDL_SCANCODE_BACKSPACE] = 0x08;
  t[SDL_SCANCODE_TAB] = 0x09;
  t[SDL_SCANCODE_RETURN] = 0x0D;
  t[SDL_SCANCODE_KP_ENTER] = 0x0D;
  t[SDL_SCANCODE_LSHIFT] = t[SDL_SCANCODE_RSHIFT] = 0x10;
  t[SDL_SCANCODE_LCTRL] = t[SDL_SCANCODE_RCTRL] = 0x11;
  t[SDL_SCANCODE_LALT] = t[SDL_SCANCODE_RALT] = 0x12;
  t[SDL_SCANCODE_PAUSE] = 0x13;
  t[SDL_SCANCODE_CAPSLOCK] = 0x14;
  t[SDL_SCANCODE_ESCAPE] = 0x1B;
  t[SDL_SCANCODE_SPACE] = 0x20;
  t[SDL_SCANCODE_PAGEUP] = 0x21;
  t[SDL_SCANCODE_PAGEDOWN] = 0x22;
  t[SDL_SCANCODE_END] = 0x23;
  t[SDL_SCANCODE_HOME] = 0x24;
  t[SDL_SCANCODE_LEFT] = 0x25;
  t[SDL_SCANCODE_UP] = 0x26;
  t[SDL_SCANCODE_RIGHT] = 0x27;
  t[SDL_SCANCODE_DOWN] = 0x28;
  t[SDL_SCANCODE_PRINTSCREEN] = 0x2C;
  t[SDL_SCANCODE_INSERT] = 0x2D;
  t[SDL_SCANCODE_DELETE] = 0x2E;
  t[SDL_SCANCODE_LGUI] = 0x5B;
  t[SDL_SCANCODE_RGUI] = 0x5C;
  t[SDL_SCANCODE_APPLICATION] = 0x5D;
  t[SDL_SCANCODE_KP_0] = 0x60;
  for (int i = 0; i < 9; ++i) t[SDL_SCANCODE_KP_1 + i] = static_cast<uint8_t>(0x61 + i);
  t[SDL_SCANCODE_KP_MULTIPLY] = 0x6A;
  t[SDL_SCANCODE_KP_PLUS] = 0x6B;
  t[SDL_SCANCODE_KP_MINUS] = 0x6D;
  t[SDL_SCANCODE_KP_PERIOD] = 0x6E;
  t[SDL_SCANCODE_KP_DIVIDE] = 0x6F;
  t[SDL_SCANCODE_NUMLOCKCLEAR] = 0x90;
  t[SDL_SCANCODE_SCROLLLOCK] = 0x91;
  t[SDL_SCANCODE_SEMICOLON] = 0xBA;
  t[SDL_SCANCODE_EQUALS] = 0xBB;
  t[SDL_SCANCODE_COMMA] = 0xBC;
  t[SDL_SCANCODE_MINUS] = 0xBD;
  t[SDL_SCANCODE_PERIOD] = 0xBE;
  t[SDL_SCANCODE_SLASH] = 0xBF;
  t[SDL_SCANCODE_GRAVE] = 0xC0;
  t[SDL_SCANCODE_LEFTBRACKET] = 0xDB;
  t[SDL_SCANCODE_BACKSLASH] = 0xDC;
  t[SDL_SCANCODE_RIGHTBRACKET] = 0xDD;
  t[SDL_SCANCODE_APOSTROPHE] = 0xDE;
  t[SDL_SCANCODE_NONUSBACKSLASH] = 0xE2;
  t[SDL_SCANCODE_INTERNATIONAL1] = 0xE2;  // the JIS "ro" key
  t[SDL_SCANCODE_INTERNATIONAL3] = 0xDC;  // the JIS yen key
  t[SDL_SCANCODE_INTERNATIONAL2] = 0xF2;  // katakana / hiragana
  t[SDL_SCANCODE_INTERNATIONAL4] = 0x1C;  // henkan (convert)
  t[SDL_SCANCODE_INTERNATIONAL5] = 0x1D;  // muhenkan (non-convert)
  t[SDL_SCANCODE_LANG1] = 0x15;           // kana / hangul
  t[SDL_SCANCODE_LANG2] = 0x19;           // kanji / hanja
  t[SDL_SCANCODE_KP_COMMA] = 0x6C;        // separator
  t[SDL_SCANCODE_SELECT] = 0x29;
  t[SDL_SCANCODE_EXECUTE] = 0x2B;
  t[SDL_SCANCODE_HELP] = 0x2F;
  t[SDL_SCANCODE_SLEEP] = 0x5F;
  t[SDL_SCANCODE_CLEAR] = 0x0C;
  t[SDL_SCANCODE_KP_5] = 0x65;
  t[SDL_SCANCODE_MUTE] = 0xAD;
  t[SDL_SCANCODE_VOLUMEDOWN] = 0xAE;
  t[SDL_SCANCODE_VOLUMEUP] = 0xAF;
  t[SDL_SCANCODE_AUDIONEXT] = 0xB0;
  t[SDL_SCANCODE_AUDIOPREV] = 0xB1;
  t[SDL_SCANCODE_AUDIOSTOP] = 0xB2;
  t[SDL_SCANCODE_AUDIOPLAY] = 0xB3;
  t[SDL_SCANCODE_AC_BACK] = 0xA6;
  t[SDL_SCANCODE_AC_FORWARD] = 0xA7;
  t[SDL_SCANCODE_AC_REFRESH] = 0xA8;
  t[SDL_SCANCODE_AC_STOP] = 0xA9;
  t[SDL_SCANCODE_AC_SEARCH] = 0xAA;
  t[SDL_SCANCODE_AC_BOOKMARKS] = 0xAB;
  t[SDL_SCANCODE_AC_HOME] = 0xAC;
  return t;
}

// Keys that carried the "extended" flag on the original keyboard messages.
bool is_extended_key(SDL_Scancode s) {
  switch (s) {
    case SDL_SCANCODE_RCTRL: case SDL_SCANCODE_RALT: case SDL_SCANCODE_INSERT: case SDL_SCANCODE_DELETE:
    case SDL_SCANCODE_HOME: case SDL_SCANCODE_END: case SDL_SCANCODE_PAGEUP: case SDL_SCANCODE_PAGEDOWN:
    case SDL_SCANCODE_LEFT: case SDL_SCANCODE_RIGHT: case SDL_SCANCODE_UP: case SDL_SCANCODE_DOWN:
    case SDL_SCANCODE_KP_ENTER: case SDL_SCANCODE_KP_DIVIDE: case SDL_SCANCODE_NUMLOCKCLEAR:
      return true;
    default:
      return false;
  }
}

}  // namespace

uint32_t virtual_key_for_scancode(int scancode) {
  static const std::array<uint8_t, SDL_NUM_SCANCODES> table = build_key_table();
  if (scancode < 0 || scancode >= SDL_NUM_SCANCODES) return 0;
  return table[static_cast<size_t>(scancode)];
}

uint32_t side_virtual_key_for_scancode(int scancode) {
  switch (scancode) {
    case SDL_SCANCODE_LSHIFT: return 0xA0;
    case SDL_SCANCODE_RSHIFT: return 0xA1;
    case SDL_SCANCODE_LCTRL: return 0xA2;
    case SDL_SCANCODE_RCTRL: return 0xA3;
    case SDL_SCANCODE_LALT: return 0xA4;
    case SDL_SCANCODE_RALT: return 0xA5;
    default: return 0;
  }
}

uint32_t joystick_axis_value(int v, int dead_zone) {
  // Real sticks never rest exactly at the centre; the engine reads any value
  // off the centre as a direction, so readings near it are the centre.
  if (v > -dead_zone && v < dead_zone) return 32767;
  int64_t u = int64_t{v} + 32767;
  return static_cast<uint32_t>(u < 0 ? 0 : u > 65535 ? 65535 : u);
}

SdlUi::SdlUi(const sdl_ui_options& options) : main_thread_(std::this_thread::get_id()) {
  bool offscreen = options.force_offscreen || (!env_set("DISPLAY") && !env_set("WAYLAND_DISPLAY"));
  if (offscreen) {
    // Without a display the player still runs: nothing is shown, sound goes
    // nowhere, dialogs go to stderr.
    SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "offscreen",
                            options.force_offscreen ? SDL_HINT_OVERRIDE : SDL_HINT_NORMAL);
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy",
                            options.force_offscreen ? SDL_HINT_OVERRIDE : SDL_HINT_NORMAL);
    // Plain memory frames: no GPU driver is loaded just to draw into nothing.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  }
  // Closing the last window is the engine's decision (the close confirmation),
  // not SDL's.
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0 && !offscreen) {
    // A display that cannot be reached: run as without one.
    std::fprintf(stderr, "zarvik: no display (%s); running without one\n", SDL_GetError());
    SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "offscreen", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    offscreen = true;
    if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) return;
  } else if (!SDL_WasInit(SDL_INIT_VIDEO)) {
    return;
  }
  ready_ = true;
  const char* d = SDL_GetCurrentVideoDriver();
  driver_ = d ? d : "";
  has_display_ = driver_ != "offscreen" && driver_ != "dummy";
  software_renderer_ = !has_display_;
  // A lost X connection ends the player at once with status 1 (Xlib's own
  // exit() would tear the engine down under its running threads).
  if (driver_ == "x11") x11_watch_display(nullptr);
  // Text input only while one of the player's edit boxes wants it: an input
  // method left on would swallow the game's keys.
  SDL_StopTextInput();
  SDL_EventState(SDL_DROPFILE, SDL_ENABLE);
  SDL_EventState(SDL_DROPBEGIN, SDL_ENABLE);
  SDL_EventState(SDL_DROPCOMPLETE, SDL_ENABLE);
  SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);  // the tray icon's X events
  // Controllers where the system has them; the player runs without.
  SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
  pads_ready_ = SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) == 0;
  if (pads_ready_)
    for (int i = 0; i < SDL_NumJoysticks(); ++i) open_controller(i);
}

SdlUi::~SdlUi() {
  // Requests queued until now are served; later ones return at once.
  {
    std::lock_guard<std::mutex> g(requests_mutex_);
    closed_ = true;
  }
  serve_requests();
  if (!ready_) return;
  tray_.reset();
  if (cursor_) SDL_FreeCursor(static_cast<SDL_Cursor*>(cursor_));
  cursor_ = nullptr;
  while (!windows_.empty()) destroy_window_main(windows_.begin()->first);
  for (pad& p : pads_) {
    if (p.controller) SDL_GameControllerClose(static_cast<SDL_GameController*>(p.controller));
    else if (p.joystick) SDL_JoystickClose(static_cast<SDL_Joystick*>(p.joystick));
    p = pad{};
  }
  if (pads_ready_) SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
  SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
  // The driver choice was this Ui's: a later one in the process picks its own
  // (an offscreen override would otherwise hide a real display from it).
  SDL_ResetHint(SDL_HINT_VIDEODRIVER);
  SDL_ResetHint(SDL_HINT_AUDIODRIVER);
  SDL_ResetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION);
}

void SdlUi::call_on_main(const std::function<void()>& job) {
  if (std::this_thread::get_id() == main_thread_) {
    job();
    return;
  }
  auto r = std::make_shared<sdl_request>();
  r->job = job;
  {
    std::lock_guard<std::mutex> g(requests_mutex_);
    if (closed_) return;
    requests_.push_back(r);
  }
  std::unique_lock<std::mutex> l(r->mutex);
  r->cv.wait(l, [&] { return r->done; });
}

bool SdlUi::serve_requests() {
  if (std::this_thread::get_id() != main_thread_) return false;
  for (;;) {
    std::shared_ptr<sdl_request> r;
    {
      std::lock_guard<std::mutex> g(requests_mutex_);
      if (requests_.empty()) return true;
      r = requests_.front();
      requests_.pop_front();
    }
    r->job();
    std::lock_guard<std::mutex> l(r->mutex);
    r->done = true;
    r->cv.notify_all();
  }
}

bool SdlUi::create_window(int window, const window_desc& desc) {
  if (window < 0 || window > 31) return false;
  bool ok = false;
  call_on_main([&] {
    if (!ready_) return;
    if (windows_.count(window)) destroy_window_main(window);
    int w = desc.width > 0 ? desc.width : 1, h = desc.height > 0 ? desc.height : 1;
    uint32_t flags = desc.visible ? SDL_WINDOW_SHOWN : SDL_WINDOW_HIDDEN;
    if (desc.resizable) flags |= SDL_WINDOW_RESIZABLE;
    if (desc.borderless) flags |= SDL_WINDOW_BORDERLESS;
    int x = desc.x >= 0 ? desc.x : static_cast<int>(SDL_WINDOWPOS_CENTERED);
    int y = desc.y >= 0 ? desc.y : static_cast<int>(SDL_WINDOWPOS_CENTERED);
    game_window gw;
    gw.width = w;
    gw.height = h;
    gw.window = SDL_CreateWindow(sjis_to_utf8(desc.title).c_str(), x, y, w, h, flags);
    if (!gw.window) return;
    // The engine paces frames itself: no vsync wait inside present.
    if (!software_renderer_) gw.renderer = SDL_CreateRenderer(gw.window, -1, 0);
    if (!gw.renderer) gw.renderer = SDL_CreateRenderer(gw.window, -1, SDL_RENDERER_SOFTWARE);
    if (!gw.renderer || !make_texture(gw, w, h)) {
      if (gw.renderer) SDL_DestroyRenderer(gw.renderer);
      SDL_DestroyWindow(gw.window);
      return;
    }
    windows_[window] = gw;
    {
      std::lock_guard<std::mutex> g(ids_mutex_);
      id_to_window_[SDL_GetWindowID(gw.window)] = window;
      client_sizes_[window] = {w, h};
    }
    existing_.fetch_or(1u << window);
    redraw(windows_[window]);
    ok = true;
  });
  return ok;
}

bool SdlUi::make_texture(game_window& gw, int w, int h) {
  SDL_Texture* t = SDL_CreateTexture(gw.renderer, SDL_PIXELFORMAT_BGRA32, SDL_TEXTUREACCESS_STREAMING, w, h);
  if (!t) return false;
  if (gw.texture) SDL_DestroyTexture(gw.texture);
  gw.texture = t;
  gw.width = w;
  gw.height = h;
  // Frames carry arbitrary alpha bytes; the window shows colour only.
  SDL_SetTextureBlendMode(gw.texture, SDL_BLENDMODE_NONE);
  // Start black rather than with whatever the texture memory held.
  std::vector<uint8_t> black(static_cast<size_t>(w) * h * 4, 0);
  SDL_UpdateTexture(gw.texture, nullptr, black.data(), w * 4);
  return true;
}

void SdlUi::destroy_window_main(int window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  if (drag_window_ == window) drag_window_ = -1;
  {
    std::lock_guard<std::mutex> g(ids_mutex_);
    id_to_window_.erase(SDL_GetWindowID(it->second.window));
    client_sizes_.erase(window);
  }
  for (SDL_Texture* t : it->second.overlay)
    if (t) SDL_DestroyTexture(t);
  if (it->second.bar) SDL_DestroyTexture(it->second.bar);
  SDL_DestroyTexture(it->second.texture);
  if (it->second.movie_overlay) SDL_DestroyTexture(it->second.movie_overlay);
  SDL_DestroyRenderer(it->second.renderer);
  SDL_DestroyWindow(it->second.window);
  windows_.erase(it);
  existing_.fetch_and(~(1u << window));
}

void SdlUi::destroy_window(int window) {
  call_on_main([&] { destroy_window_main(window); });
}

bool SdlUi::window_exists(int window) const {
  if (window < 0 || window > 31) return false;
  return (existing_.load() >> window) & 1u;
}

void SdlUi::show_window(int window, bool visible) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    if (visible) {
      SDL_ShowWindow(it->second.window);
      redraw(it->second);
    } else {
      SDL_HideWindow(it->second.window);
    }
  });
}

void SdlUi::set_window_title(int window, const std::string& title) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) SDL_SetWindowTitle(it->second.window, sjis_to_utf8(title).c_str());
  });
}

void SdlUi::raise_window(int window) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    if (SDL_GetWindowFlags(it->second.window) & SDL_WINDOW_MINIMIZED) SDL_RestoreWindow(it->second.window);
    SDL_ShowWindow(it->second.window);
    SDL_RaiseWindow(it->second.window);
  });
}

void SdlUi::client_to_output(const game_window& w, int x, int y, int width, int height, SDL_Rect* out) const {
  int ow = w.width, oh = w.height + w.bar_height;
  SDL_GetRendererOutputSize(w.renderer, &ow, &oh);
  // The bar's rows in output pixels; the client fills the rest (a resized
  // window stretches the frame, and the player's boxes with it).
  const int top = static_cast<int>(int64_t{w.bar_height} * oh / std::max(1, w.height + w.bar_height));
  const int cw = std::max(1, w.width), ch = std::max(1, w.height);
  const int64_t ox = ow, oy = oh - top;
  *out = SDL_Rect{static_cast<int>(x * ox / cw), top + static_cast<int>(y * oy / ch),
                  static_cast<int>(width * ox / cw), static_cast<int>(height * oy / ch)};
}

void SdlUi::draw_contents(game_window& w) {
  SDL_SetRenderDrawColor(w.renderer, 0, 0, 0, 255);
  SDL_RenderClear(w.renderer);
  SDL_Rect client;
  client_to_output(w, 0, 0, w.width, w.height, &client);
  SDL_RenderCopy(w.renderer, w.texture, nullptr, &client);
  if (w.bar && w.bar_height > 0 && client.y > 0) {
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(w.renderer, &ow, &oh);
    const int pw = static_cast<int>(int64_t{w.bar_width} * client.y / w.bar_height);
    SDL_Rect d{0, 0, std::min(pw, ow), client.y};
    SDL_Rect s{0, 0, w.bar_width, w.bar_height};
    if (pw > ow) s.w = static_cast<int>(int64_t{ow} * w.bar_height / client.y);
    SDL_RenderCopy(w.renderer, w.bar, &s, &d);
    if (pw < ow) {  // a window wider than the picture: its last column goes on
      SDL_Rect last{w.bar_width - 1, 0, 1, w.bar_height};
      SDL_Rect rest{pw, 0, ow - pw, client.y};
      SDL_RenderCopy(w.renderer, w.bar, &last, &rest);
    }
  }
  if (w.movie_overlay_shown && w.movie_overlay && w.width > 0 && w.height > 0) {
    // The overlay stretches with the frame beneath it.
    SDL_Rect r;
    client_to_output(w, w.movie_overlay_x, w.movie_overlay_y, w.movie_overlay_width, w.movie_overlay_height, &r);
    SDL_RenderCopy(w.renderer, w.movie_overlay, nullptr, &r);
  }
  for (int slot = 0; slot < 3; ++slot) {
    if (!w.overlay[slot]) continue;
    const int* r = w.overlay_rect[slot];
    SDL_Rect d;
    client_to_output(w, r[0], r[1], r[2], r[3], &d);
    SDL_RenderCopy(w.renderer, w.overlay[slot], nullptr, &d);
  }
}

void SdlUi::redraw(game_window& w) {
  draw_contents(w);
  SDL_RenderPresent(w.renderer);
}

void SdlUi::show_overlay(int window, const uint8_t* bgra, int width, int height, int stride, int x, int y) {
  if (!bgra || width <= 0 || height <= 0 || stride < width * 4) return;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    game_window& w = it->second;
    if (!w.movie_overlay || w.movie_overlay_width != width || w.movie_overlay_height != height) {
      if (w.movie_overlay) SDL_DestroyTexture(w.movie_overlay);
      w.movie_overlay = SDL_CreateTexture(w.renderer, SDL_PIXELFORMAT_BGRA32, SDL_TEXTUREACCESS_STREAMING, width, height);
      if (!w.movie_overlay) {
        w.movie_overlay_shown = false;
        return;
      }
      SDL_SetTextureBlendMode(w.movie_overlay, SDL_BLENDMODE_NONE);
      w.movie_overlay_width = width;
      w.movie_overlay_height = height;
    }
    SDL_UpdateTexture(w.movie_overlay, nullptr, bgra, stride);
    w.movie_overlay_x = x;
    w.movie_overlay_y = y;
    w.movie_overlay_shown = true;
    redraw(w);
  });
}

void SdlUi::clear_overlay(int window) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    game_window& w = it->second;
    if (w.movie_overlay) SDL_DestroyTexture(w.movie_overlay);
    w.movie_overlay = nullptr;
    w.movie_overlay_width = w.movie_overlay_height = 0;
    if (!w.movie_overlay_shown) return;
    w.movie_overlay_shown = false;
    redraw(w);
  });
}

void SdlUi::present(int window, const uint8_t* bgra, int width, int height, int stride, int dst_x, int dst_y) {
  if (!bgra || width <= 0 || height <= 0) return;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    game_window& w = it->second;
    // Clip to the client area; the source pointer moves with the clip.
    int sx = 0, sy = 0, x = dst_x, y = dst_y, cw = width, ch = height;
    if (x < 0) sx = -x, cw += x, x = 0;
    if (y < 0) sy = -y, ch += y, y = 0;
    if (x + cw > w.width) cw = w.width - x;
    if (y + ch > w.height) ch = w.height - y;
    if (cw > 0 && ch > 0) {
      SDL_Rect r{x, y, cw, ch};
      const uint8_t* src = bgra + static_cast<ptrdiff_t>(sy) * stride + static_cast<ptrdiff_t>(sx) * 4;
      SDL_UpdateTexture(w.texture, &r, src, stride);
    }
    redraw(w);
  });
}

bool SdlUi::read_window_pixels(int window, std::vector<uint8_t>& bgra, int& width, int& height) {
  bool ok = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    game_window& w = it->second;
    int ow = 0, oh = 0;
    if (SDL_GetRendererOutputSize(w.renderer, &ow, &oh) != 0 || ow <= 0 || oh <= 0) return;
    draw_contents(w);
    bgra.assign(static_cast<size_t>(ow) * oh * 4, 0);
    if (SDL_RenderReadPixels(w.renderer, nullptr, SDL_PIXELFORMAT_BGRA32, bgra.data(), ow * 4) != 0) return;
    SDL_RenderPresent(w.renderer);
    width = ow;
    height = oh;
    ok = true;
  });
  return ok;
}

uint32_t SdlUi::sdl_window_id(int window) const {
  std::lock_guard<std::mutex> g(ids_mutex_);
  for (const auto& [id, index] : id_to_window_)
    if (index == window) return id;
  return 0;
}

int SdlUi::bar_rows(int window) const {
  auto it = windows_.find(window);
  return it == windows_.end() ? 0 : it->second.bar_height;
}

int SdlUi::window_index_for_id(uint32_t id) const {
  std::lock_guard<std::mutex> g(ids_mutex_);
  auto it = id_to_window_.find(id);
  return it == id_to_window_.end() ? -1 : it->second;
}

void SdlUi::push_event(ui_event e) {
  std::lock_guard<std::mutex> g(events_mutex_);
  events_.push_back(std::move(e));
}

void SdlUi::post_event(const ui_event& event) { push_event(event); }

bool SdlUi::poll_event(ui_event& out) {
  if (std::this_thread::get_id() == main_thread_) {
    serve_requests();
    pump_sdl_events();
  }
  std::lock_guard<std::mutex> g(events_mutex_);
  if (events_.empty()) return false;
  out = std::move(events_.front());
  events_.pop_front();
  return true;
}

void SdlUi::pump_sdl_events() {
  if (!ready_) return;
  SDL_Event e;
  while (SDL_PollEvent(&e)) translate(e);
  follow_window_drag();
}

void SdlUi::follow_window_drag() {
  if (drag_window_ < 0) return;
  auto it = windows_.find(drag_window_);
  int gx = 0, gy = 0;
  uint32_t buttons = SDL_GetGlobalMouseState(&gx, &gy);
  if (it == windows_.end() || !(buttons & SDL_BUTTON_LMASK)) {
    drag_window_ = -1;
    return;
  }
  SDL_SetWindowPosition(it->second.window, gx - drag_x_, gy - drag_y_);
}

void SdlUi::open_controller(int device_index) {
  int slot = 0;
  while (slot < 16 && (pads_[slot].controller || pads_[slot].joystick)) ++slot;
  if (slot >= 16) return;
  pad p;
  if (SDL_IsGameController(device_index)) {
    SDL_GameController* c = SDL_GameControllerOpen(device_index);
    if (!c) return;
    p.controller = c;
    p.instance_id = SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(c));
  } else {
    SDL_Joystick* j = SDL_JoystickOpen(device_index);
    if (!j) return;
    p.joystick = j;
    p.instance_id = SDL_JoystickInstanceID(j);
  }
  for (const pad& q : pads_)
    if ((q.controller || q.joystick) && q.instance_id == p.instance_id) {
      if (p.controller) SDL_GameControllerClose(static_cast<SDL_GameController*>(p.controller));
      else SDL_JoystickClose(static_cast<SDL_Joystick*>(p.joystick));
      return;  // already open
    }
  pads_[slot] = p;
}

void SdlUi::close_controller(int32_t instance_id) {
  for (pad& p : pads_) {
    if (!(p.controller || p.joystick) || p.instance_id != instance_id) continue;
    if (p.controller) SDL_GameControllerClose(static_cast<SDL_GameController*>(p.controller));
    else SDL_JoystickClose(static_cast<SDL_Joystick*>(p.joystick));
    p = pad{};
  }
}

void SdlUi::translate(const SDL_Event& e) {
  ui_event out;
  switch (e.type) {
    case SDL_SYSWMEVENT:
      if (tray_)
        tray_->handle_sdl(e, [this](uint32_t mouse) {
          ui_event click;
          click.message = msg_tray_icon;
          click.window = 0;
          click.wparam = mouse;
          push_event(click);
        }, SDL_GetTicks());
      return;
    case SDL_QUIT:
      // A quit from the system asks like the close button (signals do not
      // come this way: they are the player's own, termination.h).
      out.message = msg_close;
      push_event(out);
      return;
    case SDL_WINDOWEVENT: {
      out.window = window_index_for_id(e.window.windowID);
      if (out.window < 0) return;
      switch (e.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
          out.message = msg_close;
          break;
        case SDL_WINDOWEVENT_FOCUS_GAINED:
        case SDL_WINDOWEVENT_FOCUS_LOST: {
          bool gained = e.window.event == SDL_WINDOWEVENT_FOCUS_GAINED;
          out.message = msg_activate;
          out.wparam = gained ? 1 : 0;  // WA_ACTIVE / WA_INACTIVE
          push_event(out);
          out.message = gained ? msg_set_focus : msg_kill_focus;
          out.wparam = 0;
          break;
        }
        case SDL_WINDOWEVENT_MOVED:
          out.message = msg_move;
          out.x = e.window.data1;
          out.y = e.window.data2;
          out.lparam = point_lparam(out.x, out.y);
          break;
        case SDL_WINDOWEVENT_SIZE_CHANGED:
        case SDL_WINDOWEVENT_MINIMIZED:
        case SDL_WINDOWEVENT_MAXIMIZED:
        case SDL_WINDOWEVENT_RESTORED: {
          auto it = windows_.find(out.window);
          if (it == windows_.end()) return;
          // The window manager has already acted; the engine hears it as the
          // system command first and may undo it (restore_window).
          uint32_t command = e.window.event == SDL_WINDOWEVENT_MINIMIZED   ? uint32_t{sc_minimize}
                             : e.window.event == SDL_WINDOWEVENT_MAXIMIZED ? uint32_t{sc_maximize}
                             : e.window.event == SDL_WINDOWEVENT_RESTORED  ? uint32_t{sc_restore}
                                                                           : 0;
          if (command) {
            ui_event sys = out;
            sys.message = msg_sys_command;
            sys.wparam = command;
            push_event(sys);
          }
          SDL_GetWindowSize(it->second.window, &out.x, &out.y);
          out.y -= it->second.bar_height;  // the client lies below the menu bar
          out.message = msg_size;
          // SIZE_RESTORED 0, SIZE_MINIMIZED 1, SIZE_MAXIMIZED 2.
          uint32_t f = SDL_GetWindowFlags(it->second.window);
          out.wparam = (f & SDL_WINDOW_MINIMIZED) ? 1 : (f & SDL_WINDOW_MAXIMIZED) ? 2 : 0;
          out.lparam = point_lparam(out.x, out.y);
          bool resized = false;
          // The texture follows the client size, so frames are shown 1:1.
          if (out.wparam != 1 && out.x > 0 && out.y > 0 &&
              (out.x != it->second.width || out.y != it->second.height)) {
            resized = make_texture(it->second, out.x, out.y);
            if (resized) {
              std::lock_guard<std::mutex> g(ids_mutex_);
              client_sizes_[out.window] = {out.x, out.y};
            }
          }
          if (e.window.event != SDL_WINDOWEVENT_MINIMIZED) redraw(it->second);
          if (resized) {
            push_event(out);
            // The new texture is black: the whole frame is wanted again.
            out.message = msg_paint;
            out.wparam = 1;
            out.lparam = 0;
          }
          break;
        }
        case SDL_WINDOWEVENT_EXPOSED: {
          auto it = windows_.find(out.window);
          if (it != windows_.end()) redraw(it->second);
          out.message = msg_paint;
          break;
        }
        default:
          return;
      }
      push_event(out);
      return;
    }
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
      out.window = window_index_for_id(e.key.windowID);
      if (out.window < 0) out.window = 0;
      uint32_t vk = virtual_key_for_scancode(e.key.keysym.scancode);
      if (vk == 0) return;
      bool down = e.type == SDL_KEYDOWN;
      bool alt = (e.key.keysym.mod & KMOD_ALT) != 0;
      // Alt combinations and F10 were system keys: the window procedure
      // swallows them so they never open a menu.
      bool sys = alt || vk == vk_f10 || vk == vk_menu;
      out.message = down ? (sys ? msg_sys_key_down : msg_key_down) : (sys ? msg_sys_key_up : msg_key_up);
      out.wparam = vk;
      uint64_t l = 1;  // repeat count
      l |= static_cast<uint64_t>(e.key.keysym.scancode & 0xFF) << 16;
      if (is_extended_key(e.key.keysym.scancode)) l |= 1ull << 24;
      if (alt) l |= 1ull << 29;
      if (!down || e.key.repeat) l |= 1ull << 30;  // key was down before
      if (!down) l |= 1ull << 31;
      out.lparam = static_cast<int64_t>(l);
      push_event(out);
      return;
    }
    case SDL_MOUSEMOTION:
      warp_window_ = -1;
      out.window = window_index_for_id(e.motion.windowID);
      if (out.window < 0) return;
      out.message = msg_mouse_move;
      out.x = e.motion.x;
      out.y = e.motion.y - bar_rows(out.window);
      out.wparam = mouse_key_state();
      if (out.y < 0) out.message = msg_nc_mouse_move, out.wparam = hit_menu;  // over the menu bar
      out.lparam = point_lparam(out.x, out.y);
      push_event(out);
      return;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      out.window = window_index_for_id(e.button.windowID);
      if (out.window < 0) return;
      bool down = e.type == SDL_MOUSEBUTTONDOWN;
      // No double-click messages: the game window class never asked for them.
      switch (e.button.button) {
        case SDL_BUTTON_LEFT: out.message = down ? msg_left_button_down : msg_left_button_up; break;
        case SDL_BUTTON_RIGHT: out.message = down ? msg_right_button_down : msg_right_button_up; break;
        case SDL_BUTTON_MIDDLE: out.message = down ? msg_middle_button_down : msg_middle_button_up; break;
        default: return;
      }
      out.x = e.button.x;
      out.y = e.button.y - bar_rows(out.window);
      out.wparam = mouse_key_state();
      out.lparam = point_lparam(out.x, out.y);
      if (out.y < 0) {  // the menu bar takes the left button only, as a non-client press
        if (e.button.button != SDL_BUTTON_LEFT) return;
        out.message = down ? msg_nc_left_button_down : msg_nc_left_button_up;
        out.wparam = hit_menu;
      }
      push_event(out);
      return;
    }
    case SDL_MOUSEWHEEL: {
      out.window = window_index_for_id(e.wheel.windowID);
      if (out.window < 0) return;
      int steps = e.wheel.y;
      if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) steps = -steps;
      if (steps == 0) return;
      int delta = steps * 120;  // one notch = WHEEL_DELTA, away from the user positive
      out.message = msg_mouse_wheel;
      out.wparam = (static_cast<uint64_t>(static_cast<uint16_t>(static_cast<int16_t>(delta))) << 16) | mouse_key_state();
      out.x = e.wheel.mouseX;
      out.y = e.wheel.mouseY - bar_rows(out.window);
      out.lparam = point_lparam(out.x, out.y);
      push_event(out);
      return;
    }
    case SDL_DROPBEGIN:
      dropping_ = true;
      drop_window_id_ = e.drop.windowID;
      drop_files_.clear();
      return;
    case SDL_DROPFILE: {
      if (!e.drop.file) return;
      std::string path = e.drop.file;
      SDL_free(e.drop.file);
      struct stat st {};
      // Folders are marked by a trailing separator, as the engine expects.
      if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (path.empty() || path.back() != '/')) path += '/';
      drop_files_.push_back(utf8_to_sjis(path));
      if (dropping_) return;
      drop_window_id_ = e.drop.windowID;
    }
      [[fallthrough]];  // a drop without a begin event stands alone
    case SDL_DROPCOMPLETE: {
      dropping_ = false;
      if (drop_files_.empty()) return;
      out.window = window_index_for_id(drop_window_id_ ? drop_window_id_ : e.drop.windowID);
      if (out.window < 0) out.window = 0;
      out.message = msg_drop_files;
      out.wparam = drop_files_.size();
      out.files = std::move(drop_files_);
      drop_files_.clear();
      push_event(std::move(out));
      return;
    }
    case SDL_DROPTEXT:
      SDL_free(e.drop.file);
      return;
    case SDL_TEXTINPUT:
    case SDL_TEXTEDITING: {
      out.window = window_index_for_id(e.type == SDL_TEXTINPUT ? e.text.windowID : e.edit.windowID);
      if (out.window < 0) out.window = 0;
      out.message = e.type == SDL_TEXTINPUT ? msg_text_input : msg_text_editing;
      out.text = utf8_to_sjis(e.type == SDL_TEXTINPUT ? e.text.text : e.edit.text);
      if (e.type == SDL_TEXTEDITING) out.x = e.edit.start;
      push_event(out);
      return;
    }
    case SDL_JOYDEVICEADDED:
      // A game controller also announces itself as a joystick: one open.
      if (pads_ready_) open_controller(e.jdevice.which);
      return;
    case SDL_JOYDEVICEREMOVED:
      close_controller(e.jdevice.which);
      return;
    default:
      return;
  }
}

int SdlUi::show_box_main(const std::string& caption_utf8, const std::string& text_utf8, uint32_t sdl_flags,
                         const std::vector<std::pair<int, std::string>>& buttons, int default_id, int escape_id,
                         int fallback_id) {
  if (ready_ && has_display_) {
    SDL_Window* parent = nullptr;
    auto it = windows_.find(0);
    if (it != windows_.end() && !(SDL_GetWindowFlags(it->second.window) & SDL_WINDOW_HIDDEN)) parent = it->second.window;
    // The player's own dialog; the owner's other events are translated as
    // they come, its input is held back while the dialog is up.
    dialog_request request;
    request.caption_utf8 = caption_utf8;
    request.text_utf8 = text_utf8;
    for (const auto& [id, label] : buttons) request.buttons.push_back({id, label});
    request.default_id = default_id;
    request.escape_id = escape_id;
    request.owner = parent;
    const int answer = run_dialog(request, [this](const SDL_Event& e) { translate(e); }, termination_requested);
    if (answer >= 0) return answer;
    // No font at all: SDL's own box is better than none.
    if (termination_requested()) return escape_id;
    std::vector<SDL_MessageBoxButtonData> data;
    for (const auto& [id, label] : buttons) {
      uint32_t f = 0;
      if (id == default_id) f |= SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
      if (id == escape_id) f |= SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
      data.push_back({f, id, label.c_str()});
    }
    SDL_MessageBoxData box{};
    box.flags = sdl_flags | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT;
    box.window = parent;
    box.title = caption_utf8.c_str();
    box.message = text_utf8.c_str();
    box.numbuttons = static_cast<int>(data.size());
    box.buttons = data.data();
    int chosen = -1;
    if (SDL_ShowMessageBox(&box, &chosen) == 0) return chosen < 0 ? escape_id : chosen;
    std::fprintf(stderr, "zarvik: message box failed (%s)\n", SDL_GetError());
  }
  // No display (or no box): the text goes to stderr and the fallback answer,
  // normally the default button, is taken.
  std::fprintf(stderr, "[%s]\n%s\n", caption_utf8.c_str(), text_utf8.c_str());
  return fallback_id;
}

int SdlUi::message_box(const std::string& caption, const std::string& text, uint32_t flags) {
  std::vector<std::pair<int, std::string>> buttons;
  int escape_id;
  switch (flags & 0xF) {
    case mb_ok_cancel:
      buttons = {{id_ok, "OK"}, {id_cancel, "キャンセル(C)"}};
      escape_id = id_cancel;
      break;
    case mb_yes_no:
      buttons = {{id_yes, "はい(Y)"}, {id_no, "いいえ(N)"}};
      escape_id = id_no;
      break;
    case mb_yes_no_cancel:
      buttons = {{id_yes, "はい(Y)"}, {id_no, "いいえ(N)"}, {id_cancel, "キャンセル(C)"}};
      escape_id = id_cancel;
      break;
    default:
      buttons = {{id_ok, "OK"}};
      escape_id = id_ok;
      break;
  }
  uint32_t sdl_flags = SDL_MESSAGEBOX_INFORMATION;
  uint32_t icon = flags & 0xF0;
  if (icon == mb_icon_error) sdl_flags = SDL_MESSAGEBOX_ERROR;
  if (icon == mb_icon_warning) sdl_flags = SDL_MESSAGEBOX_WARNING;
  int answer = buttons.front().first;  // also when the Ui is already shut down
  std::string caption_utf8 = dialog_text_utf8(caption), text_utf8 = dialog_text_utf8(text);
  // The second or third button may be the default; one that does not exist
  // leaves the first.
  size_t default_index = (flags & mb_default_button3) ? 2 : (flags & mb_default_button2) ? 1 : 0;
  if (default_index >= buttons.size()) default_index = 0;
  int default_id = buttons[default_index].first;
  call_on_main(
      [&] { answer = show_box_main(caption_utf8, text_utf8, sdl_flags, buttons, default_id, escape_id, default_id); });
  return answer;
}

bool SdlUi::set_clipboard_text(const std::string& sjis) {
  bool ok = false;
  std::string utf8 = sjis_to_utf8(sjis);
  call_on_main([&] { ok = ready_ && SDL_SetClipboardText(utf8.c_str()) == 0; });
  return ok;
}

bool SdlUi::clipboard_text(std::string& sjis) {
  bool ok = false;
  std::string utf8;
  call_on_main([&] {
    if (!ready_ || !SDL_HasClipboardText()) return;
    char* t = SDL_GetClipboardText();
    if (!t) return;
    utf8 = t;
    SDL_free(t);
    ok = true;
  });
  if (ok) sjis = utf8_to_sjis(utf8);
  return ok;
}

void SdlUi::start_text_input(int window, int x, int y, int width, int height) {
  call_on_main([&] {
    if (!ready_) return;
    auto it = windows_.find(window);
    SDL_Rect r{x, y + (it == windows_.end() ? 0 : it->second.bar_height), width, height};
    SDL_SetTextInputRect(&r);
    SDL_StartTextInput();
  });
}

void SdlUi::stop_text_input() {
  call_on_main([&] {
    if (ready_) SDL_StopTextInput();
  });
}

void SdlUi::set_overlay(int window, int slot, const uint8_t* bgra, int width, int height, int x, int y) {
  if (!bgra || width <= 0 || height <= 0 || slot < 0 || slot > 2) return;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    game_window& w = it->second;
    SDL_Texture*& t = w.overlay[slot];
    int tw = 0, th = 0;
    if (t) SDL_QueryTexture(t, nullptr, nullptr, &tw, &th);
    if (!t || tw != width || th != height) {
      if (t) SDL_DestroyTexture(t);
      t = SDL_CreateTexture(w.renderer, SDL_PIXELFORMAT_BGRA32, SDL_TEXTUREACCESS_STREAMING, width, height);
      if (!t) return;
      SDL_SetTextureBlendMode(t, SDL_BLENDMODE_NONE);
    }
    SDL_UpdateTexture(t, nullptr, bgra, width * 4);
    int* r = w.overlay_rect[slot];
    r[0] = x, r[1] = y, r[2] = width, r[3] = height;
    redraw(w);
  });
}

void SdlUi::clear_overlay(int window, int slot) {
  if (slot < 0 || slot > 2) return;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end() || !it->second.overlay[slot]) return;
    SDL_DestroyTexture(it->second.overlay[slot]);
    it->second.overlay[slot] = nullptr;
    redraw(it->second);
  });
}

void SdlUi::set_menu_bar(int window, const uint8_t* bgra, int width, int height) {
  if (!bgra || width <= 0) height = 0;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    game_window& w = it->second;
    const int before = w.bar_height;
    if (height <= 0) {
      if (w.bar) SDL_DestroyTexture(w.bar);
      w.bar = nullptr;
      w.bar_width = w.bar_height = 0;
    } else {
      int tw = 0, th = 0;
      if (w.bar) SDL_QueryTexture(w.bar, nullptr, nullptr, &tw, &th);
      if (!w.bar || tw != width || th != height) {
        if (w.bar) SDL_DestroyTexture(w.bar);
        w.bar = SDL_CreateTexture(w.renderer, SDL_PIXELFORMAT_BGRA32, SDL_TEXTUREACCESS_STREAMING, width, height);
        if (!w.bar) {
          w.bar_width = w.bar_height = 0;
          height = 0;
        } else {
          SDL_SetTextureBlendMode(w.bar, SDL_BLENDMODE_NONE);
        }
      }
      if (w.bar) {
        SDL_UpdateTexture(w.bar, nullptr, bgra, width * 4);
        w.bar_width = width;
        w.bar_height = height;
      }
    }
    // The window grows or shrinks by the bar; the client stays as it is (a
    // full-screen window keeps its size and shows no bar).
    if (w.bar_height != before && !(SDL_GetWindowFlags(w.window) & SDL_WINDOW_FULLSCREEN))
      SDL_SetWindowSize(w.window, w.width, w.height + w.bar_height);
    redraw(w);
  });
}

bool SdlUi::browse_for_folder(const std::string& initial, const std::string& title, std::string& chosen) {
  std::string start = sjis_to_utf8(initial);
  if (!start.empty() && start.back() != '/') start += '/';
  std::vector<std::string> argv = {"zenity", "--file-selection", "--directory"};
  if (!title.empty()) argv.push_back("--title=" + sjis_to_utf8(title));
  if (!start.empty()) argv.push_back("--filename=" + start);
  std::string output;
  int status = 1;
  // Not installed, or closed without a choice: cancelled.
  if (!run_child_and_capture(argv, &output, &status) || status != 0) return false;
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  if (output.empty()) return false;
  chosen = utf8_to_sjis(output);
  return true;
}

int SdlUi::error_dialog(const std::string& title, const std::string& text, bool offer_edit) {
  std::vector<std::pair<int, std::string>> buttons;
  if (offer_edit) buttons.push_back({1, "Edit"});
  buttons.push_back({0, "Close"});
  int answer = 0;
  std::string title_utf8 = dialog_text_utf8(title), text_utf8 = dialog_text_utf8(text);
  // Edit is the default when offered: the author usually wants the source.
  // When the dialog cannot be shown nobody could edit anything: Close.
  int default_id = offer_edit ? 1 : 0;
  call_on_main([&] { answer = show_box_main(title_utf8, text_utf8, SDL_MESSAGEBOX_ERROR, buttons, default_id, 0, 0); });
  return answer;
}

bool SdlUi::client_size(int window, int* width, int* height) const {
  std::lock_guard<std::mutex> g(ids_mutex_);
  auto it = client_sizes_.find(window);
  if (it == client_sizes_.end()) return false;
  *width = it->second.first;
  *height = it->second.second;
  return true;
}

void SdlUi::set_client_size(int window, int width, int height) {
  if (width <= 0 || height <= 0) return;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    // The size event that follows brings the texture and the engine along.
    SDL_SetWindowSize(it->second.window, width, height + it->second.bar_height);
  });
}

void SdlUi::restore_window(int window) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) SDL_RestoreWindow(it->second.window);
  });
}

void SdlUi::set_window_alpha(int window, int alpha) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    const int a = alpha < 0 ? 0 : alpha > 255 ? 255 : alpha;
    SDL_SetWindowOpacity(it->second.window, static_cast<float>(a) / 255.0f);
  });
}

void SdlUi::begin_window_drag(int window, int x, int y) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    drag_window_ = window;
    drag_x_ = x;
    drag_y_ = y + it->second.bar_height;
  });
}

void SdlUi::set_cursor_visible(bool visible) {
  call_on_main([&] {
    if (ready_) SDL_ShowCursor(visible ? SDL_ENABLE : SDL_DISABLE);
  });
}

// ---- menus, cursor and tray icon (begin)
void SdlUi::warp_cursor(int window, int x, int y) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (!ready_ || it == windows_.end()) return;
    SDL_WarpMouseInWindow(it->second.window, x, y + it->second.bar_height);
    warp_window_ = window, warp_x_ = x, warp_y_ = y;
  });
}

namespace {
SDL_SystemCursor sdl_cursor_for_shape(int shape) {
  switch (shape) {
    case cursor_ibeam: return SDL_SYSTEM_CURSOR_IBEAM;
    case cursor_wait: return SDL_SYSTEM_CURSOR_WAIT;
    case cursor_cross: return SDL_SYSTEM_CURSOR_CROSSHAIR;
    case cursor_up_arrow: return SDL_SYSTEM_CURSOR_SIZENS;  // SDL has no up arrow
    case cursor_size_nwse: return SDL_SYSTEM_CURSOR_SIZENWSE;
    case cursor_size_nesw: return SDL_SYSTEM_CURSOR_SIZENESW;
    case cursor_size_we: return SDL_SYSTEM_CURSOR_SIZEWE;
    case cursor_size_ns: return SDL_SYSTEM_CURSOR_SIZENS;
    case cursor_size_all: return SDL_SYSTEM_CURSOR_SIZEALL;
    case cursor_no: return SDL_SYSTEM_CURSOR_NO;
    case cursor_hand: return SDL_SYSTEM_CURSOR_HAND;
    case cursor_app_starting: return SDL_SYSTEM_CURSOR_WAITARROW;
    case cursor_help: return SDL_SYSTEM_CURSOR_ARROW;  // nor a help cursor
    default: return SDL_SYSTEM_CURSOR_ARROW;
  }
}
}  // namespace

void SdlUi::set_system_cursor(int shape) {
  call_on_main([&] {
    if (!ready_) return;
    SDL_Cursor* c = SDL_CreateSystemCursor(sdl_cursor_for_shape(shape));
    if (!c) return;
    SDL_SetCursor(c);
    if (cursor_) SDL_FreeCursor(static_cast<SDL_Cursor*>(cursor_));
    cursor_ = c;
    colour_cursor_ = false;
  });
}

bool SdlUi::set_colour_cursor(const uint8_t* bgra, int width, int height, int hot_x, int hot_y) {
  if (!bgra || width <= 0 || height <= 0 || hot_x < 0 || hot_y < 0 || hot_x >= width || hot_y >= height)
    return false;
  bool made = false;
  call_on_main([&] {
    if (!ready_) return;
    // The picture's B, G, R, A bytes as a 32-bit surface (copied by SDL).
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint8_t*>(bgra), width, height, 32, width * 4,
                                                        SDL_PIXELFORMAT_BGRA32);
    if (!s) return;
    SDL_Cursor* c = SDL_CreateColorCursor(s, hot_x, hot_y);
    SDL_FreeSurface(s);
    if (!c) return;
    SDL_SetCursor(c);
    if (cursor_) SDL_FreeCursor(static_cast<SDL_Cursor*>(cursor_));
    cursor_ = c;
    made = true;
    colour_cursor_ = true;
  });
  return made;
}

int SdlUi::show_tray_icon(const ui_tray_icon& icon) {
  int result = tray_no_manager;
  call_on_main([&] {
    auto it = windows_.find(0);
    void* display = ready_ && it != windows_.end() ? x11_display_of(it->second.window) : nullptr;
    if (!display) return;
    if (!tray_) tray_ = std::make_unique<X11Tray>();
    const std::string tooltip = sjis_to_utf8(icon.tooltip);
    const int r = tray_->show(display, icon.bgra, tooltip);
    result = r > 0 ? tray_docked : r == 0 ? tray_no_manager : tray_failed;
  });
  return result;
}

void SdlUi::remove_tray_icon() {
  call_on_main([&] {
    if (tray_) tray_->remove();
  });
}

bool SdlUi::tray_is_docked() const { return tray_ && tray_->docked(); }
// ---- menus, cursor and tray icon (end)

void SdlUi::keyboard_state(uint8_t out[256]) {
  std::memset(out, 0, 256);
  call_on_main([&] {
    if (!ready_) return;
    int count = 0;
    const Uint8* keys = SDL_GetKeyboardState(&count);
    for (int sc = 0; sc < count && sc < SDL_NUM_SCANCODES; ++sc) {
      if (!keys[sc]) continue;
      if (uint32_t vk = virtual_key_for_scancode(sc)) out[vk] = 0x80;
      if (uint32_t side = side_virtual_key_for_scancode(sc)) out[side] = 0x80;
    }
    // The mouse buttons wherever the cursor is, as the key state has them.
    uint32_t b = SDL_GetGlobalMouseState(nullptr, nullptr);
    if (b & SDL_BUTTON_LMASK) out[1] = 0x80;
    if (b & SDL_BUTTON_RMASK) out[2] = 0x80;
    if (b & SDL_BUTTON_MMASK) out[4] = 0x80;
  });
}

bool SdlUi::cursor_position(int window, int* x, int* y) {
  bool ok = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    if (warp_window_ == window) {
      *x = warp_x_, *y = warp_y_;
      ok = true;
      return;
    }
    // Over the window its own motion events are exact; elsewhere ask the
    // system where the cursor is.
    if (SDL_GetMouseFocus() == it->second.window) {
      SDL_GetMouseState(x, y);
      *y -= it->second.bar_height;
      ok = true;
      return;
    }
    int gx = 0, gy = 0, wx = 0, wy = 0;
    SDL_GetGlobalMouseState(&gx, &gy);
    SDL_GetWindowPosition(it->second.window, &wx, &wy);
    *x = gx - wx;
    *y = gy - wy - it->second.bar_height;
    ok = true;
  });
  return ok;
}

int SdlUi::joystick_count() {
  int count = 0;
  call_on_main([&] {
    for (int i = 0; i < 16; ++i)
      if (pads_[i].controller || pads_[i].joystick) count = i + 1;
  });
  return count;
}

bool SdlUi::joystick_state(int id, ui_joystick_state& out) {
  if (id < 0 || id >= 16) return false;
  bool ok = false;
  call_on_main([&] {
    pad& p = pads_[id];
    if (p.controller) {
      auto* c = static_cast<SDL_GameController*>(p.controller);
      if (!SDL_GameControllerGetAttached(c)) return;
      out.x = joystick_axis_value(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTX));
      out.y = joystick_axis_value(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTY));
      // The pad's cross steers like the stick.
      if (SDL_GameControllerGetButton(c, SDL_CONTROLLER_BUTTON_DPAD_LEFT)) out.x = 0;
      if (SDL_GameControllerGetButton(c, SDL_CONTROLLER_BUTTON_DPAD_RIGHT)) out.x = 65535;
      if (SDL_GameControllerGetButton(c, SDL_CONTROLLER_BUTTON_DPAD_UP)) out.y = 0;
      if (SDL_GameControllerGetButton(c, SDL_CONTROLLER_BUTTON_DPAD_DOWN)) out.y = 65535;
      static const SDL_GameControllerButton order[] = {
          SDL_CONTROLLER_BUTTON_A,         SDL_CONTROLLER_BUTTON_B,          SDL_CONTROLLER_BUTTON_X,
          SDL_CONTROLLER_BUTTON_Y,         SDL_CONTROLLER_BUTTON_LEFTSHOULDER, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER,
          SDL_CONTROLLER_BUTTON_BACK,      SDL_CONTROLLER_BUTTON_START,      SDL_CONTROLLER_BUTTON_LEFTSTICK,
          SDL_CONTROLLER_BUTTON_RIGHTSTICK, SDL_CONTROLLER_BUTTON_GUIDE};
      uint32_t buttons = 0;
      int n = 0;
      for (SDL_GameControllerButton b : order) {
        if (SDL_GameControllerGetButton(c, b)) buttons |= 1u << n;
        ++n;
      }
      // Triggers count as buttons 12 and 13 once half pressed.
      if (SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERLEFT) > 16384) buttons |= 1u << 11;
      if (SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERRIGHT) > 16384) buttons |= 1u << 12;
      out.buttons = buttons;
      ok = true;
    } else if (p.joystick) {
      auto* j = static_cast<SDL_Joystick*>(p.joystick);
      if (!SDL_JoystickGetAttached(j)) return;
      out.x = SDL_JoystickNumAxes(j) > 0 ? joystick_axis_value(SDL_JoystickGetAxis(j, 0)) : 32767;
      out.y = SDL_JoystickNumAxes(j) > 1 ? joystick_axis_value(SDL_JoystickGetAxis(j, 1)) : 32767;
      uint32_t buttons = 0;
      for (int b = 0; b < SDL_JoystickNumButtons(j) && b < 32; ++b)
        if (SDL_JoystickGetButton(j, b)) buttons |= 1u << b;
      out.buttons = buttons;
      ok = true;
    }
  });
  return ok;
}

bool SdlUi::desktop_mode(int* width, int* height, int* depth, int* refresh) {
  SDL_DisplayMode mode{};
  if (SDL_GetDesktopDisplayMode(0, &mode) != 0 || mode.w <= 0 || mode.h <= 0) return false;
  *width = mode.w;
  *height = mode.h;
  // A 24-bit colour format is stored in 32-bit pixels, as the engine counts depth.
  *depth = SDL_BYTESPERPIXEL(mode.format) * 8;
  *refresh = mode.refresh_rate;
  return true;
}

bool SdlUi::screen_cursor_position(int* x, int* y) {
  bool ok = false;
  call_on_main([&] {
    if (!SDL_WasInit(SDL_INIT_VIDEO)) return;
    SDL_GetGlobalMouseState(x, y);
    ok = true;
  });
  return ok;
}

void SdlUi::block_screen_saver(bool blocked) {
  call_on_main([&] {
    if (!SDL_WasInit(SDL_INIT_VIDEO)) return;
    if (blocked)
      SDL_DisableScreenSaver();
    else
      SDL_EnableScreenSaver();
  });
}

// ---------------------------------------------------------------- displays and placement

namespace {

ui_display_mode engine_mode(const SDL_DisplayMode& m) {
  // A 24-bit colour format is stored in 32-bit pixels, as the engine counts depth.
  return {m.w, m.h, static_cast<int>(SDL_BYTESPERPIXEL(m.format)) * 8, m.refresh_rate};
}

}  // namespace

int SdlUi::display_count() {
  int n = 0;
  call_on_main([&] {
    if (ready_) n = SDL_GetNumVideoDisplays();
  });
  return n < 0 ? 0 : n;
}

bool SdlUi::display_info(int display, ui_display& out) {
  bool ok = false;
  call_on_main([&] {
    if (!ready_) return;
    SDL_Rect b{}, u{};
    if (SDL_GetDisplayBounds(display, &b) != 0) return;
    if (SDL_GetDisplayUsableBounds(display, &u) != 0) u = b;
    out.bounds = {b.x, b.y, b.w, b.h};
    out.usable = {u.x, u.y, u.w, u.h};
    const char* name = SDL_GetDisplayName(display);
    out.name = name ? name : "";
    ok = true;
  });
  return ok;
}

int SdlUi::display_mode_count(int display) {
  int n = 0;
  call_on_main([&] {
    if (ready_) n = SDL_GetNumDisplayModes(display);
  });
  return n < 0 ? 0 : n;
}

bool SdlUi::display_mode(int display, int index, ui_display_mode& out) {
  bool ok = false;
  call_on_main([&] {
    SDL_DisplayMode m{};
    if (!ready_ || SDL_GetDisplayMode(display, index, &m) != 0) return;
    out = engine_mode(m);
    ok = true;
  });
  return ok;
}

int SdlUi::window_display(int window) {
  int d = -1;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) d = SDL_GetWindowDisplayIndex(it->second.window);
  });
  return d;
}

bool SdlUi::enter_fullscreen(int window, int display, const ui_display_mode* mode) {
  bool ok = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    SDL_Window* w = it->second.window;
    SDL_Rect b{};
    if (SDL_GetDisplayBounds(display, &b) != 0) return;
    // Full screen happens on the display that holds the window; one on
    // another display is moved there first.
    if (SDL_GetWindowDisplayIndex(w) != display) SDL_SetWindowPosition(w, b.x, b.y);
    if (!mode) {
      ok = SDL_SetWindowFullscreen(w, SDL_WINDOW_FULLSCREEN_DESKTOP) == 0;
      return;
    }
    // The listed mode of that size and depth, at the best refresh.
    SDL_DisplayMode want{}, found{};
    for (int i = 0, n = SDL_GetNumDisplayModes(display); i < n; ++i) {
      SDL_DisplayMode m{};
      if (SDL_GetDisplayMode(display, i, &m) != 0) continue;
      ui_display_mode e = engine_mode(m);
      if (e.width == mode->width && e.height == mode->height && e.depth == mode->depth &&
          (!want.w || m.refresh_rate > want.refresh_rate))
        want = m;
    }
    if (!want.w || !SDL_GetClosestDisplayMode(display, &want, &found)) return;
    if (SDL_SetWindowDisplayMode(w, &found) != 0) return;
    if (SDL_SetWindowFullscreen(w, SDL_WINDOW_FULLSCREEN) != 0) {
      SDL_SetWindowFullscreen(w, 0);
      return;
    }
    ok = true;
  });
  return ok;
}

bool SdlUi::leave_fullscreen(int window) {
  bool ok = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    ok = SDL_SetWindowFullscreen(it->second.window, 0) == 0;
  });
  return ok;
}

bool SdlUi::window_position(int window, int* x, int* y) {
  bool ok = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    int cx = 0, cy = 0, top = 0, left = 0;
    SDL_GetWindowPosition(it->second.window, &cx, &cy);
    SDL_GetWindowBordersSize(it->second.window, &top, &left, nullptr, nullptr);
    *x = cx - left;
    *y = cy - top;
    ok = true;
  });
  return ok;
}

void SdlUi::move_window(int window, int x, int y) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    // The engine places the outer corner, as the window manager places a
    // window whose position is asked for (north-west gravity).
    SDL_SetWindowPosition(it->second.window, x, y);
  });
}

bool SdlUi::window_frame_extents(int window, int* left, int* top, int* right, int* bottom) {
  bool ok = false;
  *left = *top = *right = *bottom = 0;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    ok = SDL_GetWindowBordersSize(it->second.window, top, left, bottom, right) == 0;
    *top += it->second.bar_height;  // the menu bar is outside the client, as the frame is
  });
  return ok;
}

void SdlUi::set_window_size_limits(int window, int min_width, int min_height, int max_width, int max_height) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    // The limits are the client's; SDL's window holds the menu bar too.
    const int bar = it->second.bar_height;
    SDL_SetWindowMinimumSize(it->second.window, std::max(1, min_width), std::max(1, min_height) + bar);
    // SDL has no "no limit": a very large maximum stands for it.
    SDL_SetWindowMaximumSize(it->second.window, max_width > 0 ? max_width : 16384,
                             max_height > 0 ? max_height + bar : 16384);
  });
}

void SdlUi::set_window_resizable(int window, bool resizable) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) SDL_SetWindowResizable(it->second.window, resizable ? SDL_TRUE : SDL_FALSE);
  });
}

void SdlUi::set_window_opacity(int window, int alpha) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    int a = alpha < 0 ? 0 : alpha > 255 ? 255 : alpha;
    if (SDL_SetWindowOpacity(it->second.window, static_cast<float>(a) / 255.0f) != 0)
      std::fprintf(stderr, "zarvik: window opacity: %s\n", SDL_GetError());
  });
}

void SdlUi::flash_window(int window, int count, int interval_ms) {
  (void)interval_ms;  // the system keeps its own pace
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    SDL_FlashWindow(it->second.window, count > 0 ? SDL_FLASH_UNTIL_FOCUSED : SDL_FLASH_CANCEL);
  });
}

void SdlUi::set_window_stacking(int window, ui_stacking where) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    SDL_Window* w = it->second.window;
    SDL_SetWindowAlwaysOnTop(w, where == ui_stacking::topmost ? SDL_TRUE : SDL_FALSE);
    switch (where) {
      case ui_stacking::top:
      case ui_stacking::topmost:
        SDL_RaiseWindow(w);
        break;
      case ui_stacking::bottom:
        x11_lower_window(w);
        break;
      case ui_stacking::behind_main: {
        auto main = windows_.find(0);
        if (main != windows_.end() && main->first != window) x11_stack_below(w, main->second.window);
        break;
      }
    }
  });
}

bool SdlUi::set_window_shape(int window, const std::vector<ui_rect>& rects) {
  bool ok = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    // The shape is the client's; the menu bar above it stays whole.
    std::vector<ui_rect> shifted;
    const int bar = it->second.bar_height;
    if (bar > 0 && !rects.empty()) {
      shifted.push_back({0, 0, it->second.width, bar});
      for (ui_rect r : rects) shifted.push_back({r.x, r.y + bar, r.width, r.height});
    }
    ok = x11_set_window_shape(it->second.window, shifted.empty() ? rects : shifted);
  });
  return ok;
}

void SdlUi::minimise_window(int window) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) SDL_MinimizeWindow(it->second.window);
  });
}

void SdlUi::set_display_lost_handler(void (*handler)(const char* what)) {
  if (driver_ == "x11") x11_watch_display(handler);
}

void SdlUi::maximise_window(int window) {
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) SDL_MaximizeWindow(it->second.window);
  });
}

bool SdlUi::window_minimised(int window) {
  bool r = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) r = (SDL_GetWindowFlags(it->second.window) & SDL_WINDOW_MINIMIZED) != 0;
  });
  return r;
}

bool SdlUi::window_maximised(int window) {
  bool r = false;
  call_on_main([&] {
    auto it = windows_.find(window);
    if (it != windows_.end()) r = (SDL_GetWindowFlags(it->second.window) & SDL_WINDOW_MAXIMIZED) != 0;
  });
  return r;
}

void SdlUi::warp_cursor(int screen_x, int screen_y) {
  call_on_main([&] {
    if (ready_ && has_display_) SDL_WarpMouseGlobal(screen_x, screen_y);
  });
}
