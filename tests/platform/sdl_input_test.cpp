// The SDL Ui's window and input additions on the offscreen driver: the
// texture follows the client size, maximise and minimise come as system
// commands, controller axes map to the engine's range.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/sdl/sdl_ui.h"

namespace {
sdl_ui_options offscreen() {
  sdl_ui_options o;
  o.force_offscreen = true;
  return o;
}
std::vector<ui_event> drain(SdlUi& ui) {
  std::vector<ui_event> out;
  ui_event e;
  while (ui.poll_event(e)) out.push_back(e);
  return out;
}
}  // namespace

TEST(SdlInput, ControllerAxesMeetTheEngineCentre) {
  EXPECT_EQ(joystick_axis_value(0), 32767u);
  EXPECT_EQ(joystick_axis_value(7999), 32767u);  // inside the dead zone
  EXPECT_EQ(joystick_axis_value(-7999), 32767u);
  EXPECT_EQ(joystick_axis_value(8000), 40767u);
  EXPECT_EQ(joystick_axis_value(32767), 65534u);
  EXPECT_EQ(joystick_axis_value(-32768), 0u);
  EXPECT_EQ(joystick_axis_value(1, 0), 32768u);  // no dead zone: one step is a direction
  EXPECT_EQ(side_virtual_key_for_scancode(SDL_SCANCODE_LSHIFT), 0xA0u);
  EXPECT_EQ(side_virtual_key_for_scancode(SDL_SCANCODE_RALT), 0xA5u);
  EXPECT_EQ(side_virtual_key_for_scancode(SDL_SCANCODE_A), 0u);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_INTERNATIONAL4), 0x1Cu);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_F24), 0x87u);
}

TEST(SdlInput, ResizedClientGetsANewTextureAndAWholePaint) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  window_desc d;
  d.width = 64;
  d.height = 48;
  ASSERT_TRUE(ui.create_window(0, d));
  drain(ui);
  ui.set_client_size(0, 128, 96);
  std::vector<ui_event> got;
  for (int i = 0; i < 50 && got.empty(); ++i) {
    for (const ui_event& e : drain(ui))
      if (e.message == msg_size || e.message == msg_paint) got.push_back(e);
    SDL_Delay(1);
  }
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0].message, msg_size);
  EXPECT_EQ(got[0].x, 128);
  EXPECT_EQ(got[1].message, msg_paint);
  EXPECT_EQ(got[1].wparam, 1u);
  int w = 0, h = 0;
  ASSERT_TRUE(ui.client_size(0, &w, &h));
  EXPECT_EQ(w, 128);
  EXPECT_EQ(h, 96);
  // A frame of the new size is shown 1:1.
  std::vector<uint8_t> frame(128 * 96 * 4, 0);
  frame[(95 * 128 + 127) * 4 + 2] = 0xFF;
  ui.present(0, frame.data(), 128, 96, 128 * 4);
  std::vector<uint8_t> px;
  ASSERT_TRUE(ui.read_window_pixels(0, px, w, h));
  ASSERT_EQ(w, 128);
  EXPECT_EQ(px[(95 * 128 + 127) * 4 + 2], 0xFF);

  uint8_t keys[256];
  ui.keyboard_state(keys);
  EXPECT_EQ(std::count(keys, keys + 256, 0), 256);  // nothing held
  int cx = 0, cy = 0;
  EXPECT_TRUE(ui.cursor_position(0, &cx, &cy));
  EXPECT_FALSE(ui.cursor_position(3, &cx, &cy));
}

TEST(SdlInput, WindowManagerMaximiseArrivesAsASystemCommand) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  ASSERT_TRUE(ui.create_window(1, window_desc{}));
  drain(ui);
  SDL_Event e{};
  e.type = SDL_WINDOWEVENT;
  e.window.windowID = ui.sdl_window_id(1);
  e.window.event = SDL_WINDOWEVENT_MAXIMIZED;
  SDL_PushEvent(&e);
  std::vector<ui_event> got = drain(ui);
  auto it = std::find_if(got.begin(), got.end(), [](const ui_event& x) { return x.message == msg_sys_command; });
  ASSERT_NE(it, got.end());
  EXPECT_EQ(it->wparam, uint64_t(sc_maximize));
  EXPECT_EQ(it->window, 1);
  auto size = std::find_if(it, got.end(), [](const ui_event& x) { return x.message == msg_size; });
  EXPECT_NE(size, got.end());  // the command comes first, then the size
}

// The menu bar above the client: the window grows by it, presses and moves
// on it are non-client ones at negative client y (only the left button), and
// a narrower picture is widened with its last column.
TEST(SdlInput, MenuBarAboveTheClient) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  window_desc d;
  d.width = 64, d.height = 48;
  ASSERT_TRUE(ui.create_window(0, d));
  std::vector<uint8_t> bar(40 * 4 * 10, 0), px;
  for (int y = 0; y < 10; ++y) bar[(y * 40 + 39) * 4 + 1] = 0xFF;  // the last column green
  ui.set_menu_bar(0, bar.data(), 40, 10);
  drain(ui);
  int w = 0, h = 0, l = 0, t = 0, r = 0, b = 0;
  ASSERT_TRUE(ui.client_size(0, &w, &h));
  EXPECT_EQ(w * 1000 + h, 64048);
  ui.window_frame_extents(0, &l, &t, &r, &b);
  EXPECT_EQ(t, 10);
  ASSERT_TRUE(ui.read_window_pixels(0, px, w, h));
  ASSERT_EQ(w * 1000 + h, 64058);
  EXPECT_EQ(px[(5 * 64 + 63) * 4 + 1], 0xFF);  // widened

  const struct {
    uint32_t sdl_type;
    uint8_t button;
    int y;  // in the SDL window
    uint32_t message;
    int client_y;
  } rows[] = {{SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 4, msg_nc_left_button_down, -6},
              {SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 4, msg_nc_left_button_up, -6},
              {SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 4, 0, 0},
              {SDL_MOUSEMOTION, 0, 9, msg_nc_mouse_move, -1},
              {SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 10, msg_left_button_down, 0},
              {SDL_MOUSEMOTION, 0, 57, msg_mouse_move, 47}};
  for (const auto& rw : rows) {
    SDL_Event e{};
    e.type = rw.sdl_type;
    if (rw.sdl_type == SDL_MOUSEMOTION)
      e.motion.windowID = ui.sdl_window_id(0), e.motion.x = 7, e.motion.y = rw.y;
    else
      e.button.windowID = ui.sdl_window_id(0), e.button.button = rw.button, e.button.x = 7, e.button.y = rw.y;
    SDL_PushEvent(&e);
    std::vector<ui_event> got = drain(ui);
    std::erase_if(got, [](const ui_event& x) { return x.message < msg_nc_mouse_move; });  // paints, focus
    ASSERT_EQ(got.size(), rw.message ? 1u : 0u) << rw.y;
    if (!rw.message) continue;
    EXPECT_EQ(got[0].message, rw.message);
    EXPECT_EQ(got[0].x * 1000 + got[0].y, 7000 + rw.client_y);
    if (rw.client_y < 0) {
      EXPECT_EQ(got[0].wparam, hit_menu);
    }
  }
  ui.set_menu_bar(0, nullptr, 40, 10);  // removed: the window is the client again
  drain(ui);
  ASSERT_TRUE(ui.read_window_pixels(0, px, w, h));
  EXPECT_EQ(h, 48);
}
