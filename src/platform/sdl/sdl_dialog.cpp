#include "platform/sdl/sdl_dialog.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/freetype/freetype_fonts.h"
#include "platform/text_encoding.h"

namespace {

constexpr int cell = 16, line_height = 20, padding = 16, max_text_width = 560, min_width = 260;
constexpr int button_height = 26, button_min_width = 84, button_gap = 8, button_label_padding = 24;
constexpr uint32_t button_face = 0xE1E1E1, button_pressed = 0xCCE4F7, button_border = 0xADADAD,
                   default_border = 0x0078D7, focus_dots = 0x404040;

struct canvas {
  int width = 0, height = 0;
  std::vector<uint32_t> px;  // 0xAARRGGBB
  void fill(int x, int y, int w, int h, uint32_t rgb) {
    for (int r = std::max(0, y); r < std::min(height, y + h); ++r)
      for (int c = std::max(0, x); c < std::min(width, x + w); ++c) px[size_t(r) * width + c] = 0xFF000000u | rgb;
  }
  void frame(int x, int y, int w, int h, int thickness, uint32_t rgb) {
    fill(x, y, w, thickness, rgb);
    fill(x, y + h - thickness, w, thickness, rgb);
    fill(x, y, thickness, h, rgb);
    fill(x + w - thickness, y, thickness, h, rgb);
  }
  void dots(int x, int y, int w, int h, uint32_t rgb) {
    for (int c = x; c < x + w; c += 2) fill(c, y, 1, 1, rgb), fill(c, y + h - 1, 1, 1, rgb);
    for (int r = y; r < y + h; r += 2) fill(x, r, 1, 1, rgb), fill(x + w - 1, r, 1, 1, rgb);
  }
  // Text in `ink` over what is there, clipped to the clip rectangle.
  void text(SmoothTextFont& font, const std::string& sjis, int x, int y, uint32_t ink, const dialog_rect& clip) {
    const smooth_text_image t = font.render(sjis);
    for (int r = 0; r < t.height; ++r)
      for (int c = 0; c < t.width; ++c) {
        const int tx = x + c, ty = y + r;
        if (tx < clip.x || ty < clip.y || tx >= clip.x + clip.width || ty >= clip.y + clip.height) continue;
        if (tx < 0 || ty < 0 || tx >= width || ty >= height) continue;
        uint32_t& d = px[size_t(ty) * width + tx];
        d = 0xFF000000u | dialog_blend(d & 0xFFFFFF, ink, t.alpha[size_t(r) * t.width + c]);
      }
  }
};

struct dialog_state {
  const dialog_request* request = nullptr;
  dialog_layout layout;
  int focus = 0;     // button index
  int pressed = -1;  // button held down with the mouse
  int scroll = 0;    // first text line shown
  int answer = -1;
};

int button_at(const dialog_layout& l, int x, int y) {
  for (size_t i = 0; i < l.buttons.size(); ++i) {
    const dialog_rect& b = l.buttons[i];
    if (x >= b.x && y >= b.y && x < b.x + b.width && y < b.y + b.height) return static_cast<int>(i);
  }
  return -1;
}

void paint(SmoothTextFont& font, const dialog_state& s, canvas& c) {
  const dialog_layout& l = s.layout;
  c.width = l.width;
  c.height = l.height;
  c.px.assign(size_t(l.width) * l.height, 0xFF000000u | dialog_background);
  const dialog_rect text_clip{l.text_x, l.text_y, l.width - l.text_x, l.visible_lines * l.line_height};
  for (int i = 0; i < l.visible_lines && s.scroll + i < static_cast<int>(l.lines.size()); ++i)
    c.text(font, l.lines[size_t(s.scroll + i)], l.text_x, l.text_y + i * l.line_height, dialog_ink, text_clip);
  if (static_cast<int>(l.lines.size()) > l.visible_lines) {
    // A thin bar at the right shows where the shown lines lie in the text.
    const int total = static_cast<int>(l.lines.size()), track = text_clip.height;
    const int top = l.text_y + track * s.scroll / total, len = std::max(8, track * l.visible_lines / total);
    c.fill(l.width - 8, l.text_y, 4, track, 0xDDDDDD);
    c.fill(l.width - 8, top, 4, len, 0x888888);
  }
  for (size_t i = 0; i < l.buttons.size(); ++i) {
    const dialog_rect& b = l.buttons[i];
    const bool focused = static_cast<int>(i) == s.focus;
    c.fill(b.x, b.y, b.width, b.height, static_cast<int>(i) == s.pressed ? button_pressed : button_face);
    c.frame(b.x, b.y, b.width, b.height, focused ? 2 : 1, focused ? default_border : button_border);
    if (focused) c.dots(b.x + 4, b.y + 4, b.width - 8, b.height - 8, focus_dots);
    const int tw = font.measure(l.labels[i]);
    c.text(font, l.labels[i], b.x + (b.width - tw) / 2, b.y + (b.height - cell) / 2, dialog_ink, b);
  }
}

void present(SDL_Window* window, const canvas& c) {
  SDL_Surface* target = SDL_GetWindowSurface(window);
  if (!target) return;
  SDL_Surface* source = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint32_t*>(c.px.data()), c.width, c.height,
                                                           32, c.width * 4, SDL_PIXELFORMAT_ARGB8888);
  if (!source) return;
  SDL_BlitSurface(source, nullptr, target, nullptr);
  SDL_FreeSurface(source);
  SDL_UpdateWindowSurface(window);
}

uint32_t event_window_id(const SDL_Event& e) {
  switch (e.type) {
    case SDL_WINDOWEVENT: return e.window.windowID;
    case SDL_KEYDOWN:
    case SDL_KEYUP: return e.key.windowID;
    case SDL_TEXTINPUT: return e.text.windowID;
    case SDL_TEXTEDITING: return e.edit.windowID;
    case SDL_MOUSEMOTION: return e.motion.windowID;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: return e.button.windowID;
    case SDL_MOUSEWHEEL: return e.wheel.windowID;
    default: return 0;
  }
}

bool is_input(const SDL_Event& e) {
  switch (e.type) {
    case SDL_KEYDOWN:
    case SDL_KEYUP:
    case SDL_TEXTINPUT:
    case SDL_TEXTEDITING:
    case SDL_MOUSEMOTION:
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
    case SDL_MOUSEWHEEL:
      return true;
    case SDL_WINDOWEVENT:
      return e.window.event == SDL_WINDOWEVENT_CLOSE;  // the owner cannot close under its dialog
    default:
      return false;
  }
}

void scroll_by(dialog_state& s, int lines) {
  const int last = std::max(0, static_cast<int>(s.layout.lines.size()) - s.layout.visible_lines);
  s.scroll = std::clamp(s.scroll + lines, 0, last);
}

// Returns true when the event changed what is shown.
bool handle(dialog_state& s, const SDL_Event& e) {
  const int count = static_cast<int>(s.layout.buttons.size());
  switch (e.type) {
    case SDL_WINDOWEVENT:
      if (e.window.event == SDL_WINDOWEVENT_CLOSE) s.answer = s.request->escape_id;
      return e.window.event == SDL_WINDOWEVENT_EXPOSED || e.window.event == SDL_WINDOWEVENT_SHOWN;
    case SDL_KEYDOWN: {
      const SDL_Keycode k = e.key.keysym.sym;
      switch (k) {
        case SDLK_RETURN:
        case SDLK_KP_ENTER:
        case SDLK_SPACE:
          s.answer = s.request->buttons[size_t(s.focus)].id;
          return false;
        case SDLK_ESCAPE:
          s.answer = s.request->escape_id;
          return false;
        case SDLK_LEFT:
          s.focus = (s.focus + count - 1) % count;
          return true;
        case SDLK_RIGHT:
          s.focus = (s.focus + 1) % count;
          return true;
        case SDLK_TAB:
          s.focus = (e.key.keysym.mod & KMOD_SHIFT) ? (s.focus + count - 1) % count : (s.focus + 1) % count;
          return true;
        case SDLK_UP: scroll_by(s, -1); return true;
        case SDLK_DOWN: scroll_by(s, 1); return true;
        case SDLK_PAGEUP: scroll_by(s, -s.layout.visible_lines); return true;
        case SDLK_PAGEDOWN: scroll_by(s, s.layout.visible_lines); return true;
        default:
          break;
      }
      if (k >= SDLK_a && k <= SDLK_z && !(e.key.keysym.mod & (KMOD_CTRL | KMOD_ALT)))
        for (int i = 0; i < count; ++i)
          if (dialog_button_key(s.request->buttons[size_t(i)].label_utf8) == 'A' + (k - SDLK_a)) {
            s.answer = s.request->buttons[size_t(i)].id;
            return false;
          }
      return false;
    }
    case SDL_MOUSEBUTTONDOWN:
      if (e.button.button != SDL_BUTTON_LEFT) return false;
      s.pressed = button_at(s.layout, e.button.x, e.button.y);
      if (s.pressed >= 0) s.focus = s.pressed;
      return true;
    case SDL_MOUSEBUTTONUP: {
      if (e.button.button != SDL_BUTTON_LEFT || s.pressed < 0) return false;
      const int at = button_at(s.layout, e.button.x, e.button.y);
      if (at == s.pressed) s.answer = s.request->buttons[size_t(at)].id;
      s.pressed = -1;
      return true;
    }
    case SDL_MOUSEWHEEL:
      scroll_by(s, e.wheel.y > 0 ? -3 : e.wheel.y < 0 ? 3 : 0);
      return true;
    default:
      return false;
  }
}

}  // namespace

uint32_t dialog_blend(uint32_t paper, uint32_t ink, uint8_t alpha) {
  uint32_t out = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const int p = (paper >> shift) & 0xFF, i = (ink >> shift) & 0xFF;
    out |= static_cast<uint32_t>(p + ((i - p) * alpha + (i > p ? 127 : -127)) / 255) << shift;
  }
  return out;
}

SmoothTextFont* dialog_font() {
  static std::unique_ptr<FreeTypeFontRasterizer> rasterizer;
  static SmoothTextFont font;
  static bool tried = false;
  if (!tried) {
    tried = true;
    rasterizer = std::make_unique<FreeTypeFontRasterizer>();
    if (!font.open(*rasterizer, utf8_to_sjis("ＭＳ Ｐゴシック"), cell)) font.open(*rasterizer, "", cell);
  }
  return font.ready() ? &font : nullptr;
}

char dialog_button_key(const std::string& label_utf8) {
  const size_t open = label_utf8.rfind('(');
  if (open != std::string::npos && open + 2 < label_utf8.size() && label_utf8[open + 2] == ')') {
    const char k = label_utf8[open + 1];
    if ((k >= 'A' && k <= 'Z') || (k >= 'a' && k <= 'z')) return static_cast<char>(k & ~0x20);
  }
  const char k = label_utf8.empty() ? 0 : label_utf8[0];
  if ((k >= 'A' && k <= 'Z') || (k >= 'a' && k <= 'z')) return static_cast<char>(k & ~0x20);
  return 0;
}

dialog_layout layout_dialog(SmoothTextFont& font, const dialog_request& request) {
  dialog_layout l;
  l.line_height = line_height;
  l.text_x = padding;
  l.text_y = padding;
  l.lines = wrap_sjis_text(font, utf8_to_sjis(request.text_utf8), max_text_width);
  while (l.lines.size() > 1 && l.lines.back().empty()) l.lines.pop_back();
  int text_width = 0;
  for (const std::string& line : l.lines) text_width = std::max(text_width, font.measure(line));
  // At most two thirds of the screen's height; the rest scrolls.
  SDL_Rect usable{0, 0, 1024, 768};
  SDL_GetDisplayUsableBounds(0, &usable);
  const int max_lines = std::max(3, (usable.h * 2 / 3 - 2 * padding - button_height) / line_height);
  l.visible_lines = std::min(static_cast<int>(l.lines.size()), max_lines);
  int buttons_width = 0;
  for (const dialog_button& b : request.buttons) {
    l.labels.push_back(utf8_to_sjis(b.label_utf8));
    const int w = std::max(button_min_width, font.measure(l.labels.back()) + button_label_padding);
    l.buttons.push_back({0, 0, w, button_height});
    buttons_width += w + (l.buttons.size() > 1 ? button_gap : 0);
  }
  const int scroll_bar = static_cast<int>(l.lines.size()) > l.visible_lines ? 12 : 0;
  l.width = std::max({min_width, text_width + 2 * padding + scroll_bar, buttons_width + 2 * padding});
  const int buttons_y = l.text_y + l.visible_lines * line_height + padding;
  l.height = buttons_y + button_height + 12;
  int x = l.width - padding - buttons_width;  // the buttons sit at the right, in order
  for (dialog_rect& b : l.buttons) {
    b.x = x;
    b.y = buttons_y;
    x += b.width + button_gap;
  }
  return l;
}

int run_dialog(const dialog_request& request, const std::function<void(const SDL_Event&)>& other_events,
               const std::function<bool()>& stop) {
  SmoothTextFont* font = dialog_font();
  if (!font || request.buttons.empty()) return -1;
  if (stop && stop()) return request.escape_id;
  dialog_state s;
  s.request = &request;
  s.layout = layout_dialog(*font, request);
  for (size_t i = 0; i < request.buttons.size(); ++i)
    if (request.buttons[i].id == request.default_id) s.focus = static_cast<int>(i);
  int x = SDL_WINDOWPOS_CENTERED, y = SDL_WINDOWPOS_CENTERED;
  if (request.owner) {
    int ox = 0, oy = 0, ow = 0, oh = 0;
    SDL_GetWindowPosition(request.owner, &ox, &oy);
    SDL_GetWindowSize(request.owner, &ow, &oh);
    x = std::max(0, ox + (ow - s.layout.width) / 2);
    y = std::max(0, oy + (oh - s.layout.height) / 2);
  }
  // A dialog to the window manager, kept over its owner. Its pixels go to the
  // X server as they are: a GL renderer behind the surface would cost a
  // context per dialog for a few hundred pixels of text.
  SDL_SetHint(SDL_HINT_X11_WINDOW_TYPE, "_NET_WM_WINDOW_TYPE_DIALOG");
  const bool choose_framebuffer = SDL_GetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION) == nullptr;
  if (choose_framebuffer) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  SDL_Window* window = SDL_CreateWindow(request.caption_utf8.c_str(), x, y, s.layout.width, s.layout.height,
                                        SDL_WINDOW_HIDDEN | SDL_WINDOW_SKIP_TASKBAR);
  // The surface may come from a renderer that makes the X window anew: the
  // type hint must still hold then, and the owner is named afterwards.
  const bool has_surface = window && SDL_GetWindowSurface(window);
  SDL_ResetHint(SDL_HINT_X11_WINDOW_TYPE);
  if (choose_framebuffer) SDL_ResetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION);
  if (!has_surface) {
    std::fprintf(stderr, "zarvik: the dialog window could not be made (%s)\n", SDL_GetError());
    if (window) SDL_DestroyWindow(window);
    return -1;
  }
  if (request.owner) SDL_SetWindowModalFor(window, request.owner);
  SDL_ShowWindow(window);
  SDL_RaiseWindow(window);
  const uint32_t id = SDL_GetWindowID(window);
  canvas c;
  bool dirty = true, focused = false;
  while (s.answer < 0) {
    if (stop && stop()) {
      s.answer = request.escape_id;
      break;
    }
    if (dirty) {
      paint(*font, s, c);
      present(window, c);
      dirty = false;
    }
    // Polled, never waited for: a wait names this window as the one SDL wakes
    // from other threads, over a second X connection, and such a wake-up can
    // reach the server after the window is gone (a fatal X error).
    SDL_Event e;
    if (!SDL_PollEvent(&e)) {
      SDL_Delay(10);
      continue;
    }
    do {
      if (event_window_id(e) == id) {
        // The keyboard goes to the dialog once it is on the screen.
        if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_EXPOSED && !focused) {
          focused = true;
          SDL_SetWindowInputFocus(window);
        }
        dirty |= handle(s, e);
      } else if (!is_input(e) && other_events) {
        other_events(e);
      }
    } while (s.answer < 0 && SDL_PollEvent(&e));
  }
  SDL_DestroyWindow(window);
  if (request.owner) SDL_RaiseWindow(request.owner);
  return s.answer;
}
