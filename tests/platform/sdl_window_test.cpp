#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "core/sjis.h"
#include "platform/posix/process.h"
#include "platform/sdl/real_platform.h"
#include "platform/sdl/sdl_ui.h"
#include "support/temp_folder.h"

namespace {

sdl_ui_options offscreen() {
  sdl_ui_options o;
  o.force_offscreen = true;
  return o;
}

// A frame whose every pixel is distinct: B = x, G = y, R = x ^ y, A = junk.
std::vector<uint8_t> pattern(int w, int h) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = static_cast<uint8_t>(x ^ y), p[3] = 0x17;
    }
  return f;
}

void expect_pixel(const std::vector<uint8_t>& px, int w, int x, int y, uint8_t b, uint8_t g, uint8_t r) {
  const uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
  EXPECT_EQ(p[0], b) << x << "," << y;
  EXPECT_EQ(p[1], g) << x << "," << y;
  EXPECT_EQ(p[2], r) << x << "," << y;
}

std::vector<ui_event> drain(SdlUi& ui) {
  std::vector<ui_event> out;
  ui_event e;
  while (ui.poll_event(e)) out.push_back(e);
  return out;
}

void push_window_event(uint32_t id, uint8_t what) {
  SDL_Event e{};
  e.type = SDL_WINDOWEVENT;
  e.window.windowID = id;
  e.window.event = what;
  SDL_PushEvent(&e);
}

}  // namespace

TEST(SdlUi, PresentedFrameReachesTheWindowAndOpaqueAlpha) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  EXPECT_FALSE(ui.has_display());
  EXPECT_EQ(ui.video_driver(), "offscreen");
  window_desc d;
  d.title = utf8_to_sjis("テスト");
  d.width = 96;
  d.height = 64;
  ASSERT_TRUE(ui.create_window(0, d));
  EXPECT_TRUE(ui.window_exists(0));
  EXPECT_FALSE(ui.window_exists(1));

  std::vector<uint8_t> frame = pattern(96, 64);
  ui.present(0, frame.data(), 96, 64, 96 * 4);
  std::vector<uint8_t> px;
  int w = 0, h = 0;
  ASSERT_TRUE(ui.read_window_pixels(0, px, w, h));
  ASSERT_EQ(w, 96);
  ASSERT_EQ(h, 64);
  for (int y = 0; y < 64; y += 7)
    for (int x = 0; x < 96; x += 5) expect_pixel(px, w, x, y, uint8_t(x), uint8_t(y), uint8_t(x ^ y));

  // A part frame with a wider stride lands at its offset; parts outside the
  // client area are clipped, not written past the texture.
  std::vector<uint8_t> white(static_cast<size_t>(40) * 10 * 4, 0xFF);
  ui.present(0, white.data(), 10, 10, 40 * 4, -5, 60);
  ui.present(0, white.data(), 10, 10, 40 * 4, 90, -3);
  ui.present(0, white.data(), 10, 10, 40 * 4, 500, 500);
  ASSERT_TRUE(ui.read_window_pixels(0, px, w, h));
  expect_pixel(px, w, 0, 63, 255, 255, 255);
  expect_pixel(px, w, 4, 60, 255, 255, 255);
  expect_pixel(px, w, 5, 60, 5, 60, 5 ^ 60);
  expect_pixel(px, w, 95, 0, 255, 255, 255);
  expect_pixel(px, w, 95, 7, 95, 7, 95 ^ 7);
  expect_pixel(px, w, 89, 0, 89, 0, 89);

  ui.set_window_title(0, utf8_to_sjis("題名"));
  EXPECT_STREQ(SDL_GetWindowTitle(SDL_GetWindowFromID(ui.sdl_window_id(0))), "題名");
  ui.destroy_window(0);
  EXPECT_FALSE(ui.window_exists(0));
  EXPECT_EQ(ui.sdl_window_id(0), 0u);
}

// A movie picture lies over the frame, frames presented beneath it stay
// beneath, and clearing it shows the frame again.
TEST(SdlUi, OverlayCoversTheFrameUntilCleared) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  window_desc d;
  d.width = 96;
  d.height = 64;
  ASSERT_TRUE(ui.create_window(0, d));
  std::vector<uint8_t> frame = pattern(96, 64);
  ui.present(0, frame.data(), 96, 64, 96 * 4);
  std::vector<uint8_t> movie(static_cast<size_t>(20) * 10 * 4);
  for (size_t i = 0; i < movie.size(); i += 4) movie[i] = 0x10, movie[i + 1] = 0x80, movie[i + 2] = 0xF0;
  ui.show_overlay(0, movie.data(), 20, 10, 20 * 4, 30, 40);
  ui.present(0, frame.data(), 96, 64, 96 * 4);  // the game draws on beneath
  std::vector<uint8_t> px;
  int w = 0, h = 0;
  ASSERT_TRUE(ui.read_window_pixels(0, px, w, h));
  expect_pixel(px, w, 30, 40, 0x10, 0x80, 0xF0);
  expect_pixel(px, w, 49, 49, 0x10, 0x80, 0xF0);
  expect_pixel(px, w, 29, 40, 29, 40, 29 ^ 40);
  expect_pixel(px, w, 50, 49, 50, 49, 50 ^ 49);
  ui.clear_overlay(0);
  ASSERT_TRUE(ui.read_window_pixels(0, px, w, h));
  expect_pixel(px, w, 30, 40, 30, 40, 30 ^ 40);
}

TEST(SdlUi, WindowCloseAndInputBecomeEngineMessages) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  window_desc d;
  ASSERT_TRUE(ui.create_window(0, d));
  ASSERT_TRUE(ui.create_window(2, d));
  drain(ui);
  uint32_t id0 = ui.sdl_window_id(0), id2 = ui.sdl_window_id(2);

  push_window_event(id2, SDL_WINDOWEVENT_CLOSE);
  push_window_event(id0, SDL_WINDOWEVENT_CLOSE);
  SDL_Event k{};
  k.type = SDL_KEYDOWN;
  k.key.windowID = id0;
  k.key.keysym.scancode = SDL_SCANCODE_A;
  SDL_PushEvent(&k);
  k.key.keysym.scancode = SDL_SCANCODE_F10;  // a system key: never opens a menu
  SDL_PushEvent(&k);
  k.type = SDL_KEYUP;
  k.key.keysym.scancode = SDL_SCANCODE_ESCAPE;
  SDL_PushEvent(&k);
  SDL_Event m{};
  m.type = SDL_MOUSEBUTTONDOWN;
  m.button.windowID = id0;
  m.button.button = SDL_BUTTON_RIGHT;
  m.button.x = 12;
  m.button.y = 34;
  SDL_PushEvent(&m);
  SDL_Event wheel{};
  wheel.type = SDL_MOUSEWHEEL;
  wheel.wheel.windowID = id0;
  wheel.wheel.y = -2;
  wheel.wheel.mouseX = 5;
  wheel.wheel.mouseY = 6;
  SDL_PushEvent(&wheel);
  SDL_Event q{};
  q.type = SDL_QUIT;  // a signal asks like the close button of window 0
  SDL_PushEvent(&q);

  std::vector<ui_event> got;
  for (const ui_event& e : drain(ui))
    if (e.message != msg_mouse_move && e.message != msg_activate && e.message != msg_set_focus &&
        e.message != msg_kill_focus && e.message != msg_paint && e.message != msg_move && e.message != msg_size)
      got.push_back(e);
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[0].message, msg_close);
  EXPECT_EQ(got[0].window, 2);
  EXPECT_EQ(got[1].message, msg_close);
  EXPECT_EQ(got[1].window, 0);
  EXPECT_EQ(got[2].message, msg_key_down);
  EXPECT_EQ(got[2].wparam, uint64_t('A'));
  EXPECT_EQ(got[3].message, msg_sys_key_down);
  EXPECT_EQ(got[3].wparam, 0x79u);
  EXPECT_EQ(got[4].message, msg_key_up);
  EXPECT_EQ(got[4].wparam, 0x1Bu);
  EXPECT_NE(got[4].lparam & (int64_t(1) << 31), 0);
  EXPECT_EQ(got[5].message, msg_right_button_down);
  EXPECT_EQ(got[5].x, 12);
  EXPECT_EQ(got[5].y, 34);
  EXPECT_EQ(got[5].lparam, 12 | (34 << 16));
  EXPECT_EQ(got[6].message, msg_mouse_wheel);
  EXPECT_EQ(static_cast<int16_t>(got[6].wparam >> 16), -240);
  EXPECT_EQ(got[6].x, 5);
  EXPECT_EQ(got[7].message, msg_close);
  EXPECT_EQ(got[7].window, 0);
  // The windows stay until the engine decides (close confirmation).
  EXPECT_TRUE(ui.window_exists(0));
  EXPECT_TRUE(ui.window_exists(2));
}

TEST(SdlUi, DroppedFilesArriveAsOneMessageWithFoldersMarked) {
  temp_folder dir;
  dir.write("a b.txt", std::string("x"));
  dir.write("フォルダ/f", std::string("y"));
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  ASSERT_TRUE(ui.create_window(0, window_desc{}));
  drain(ui);
  uint32_t id = ui.sdl_window_id(0);
  SDL_Event e{};
  e.type = SDL_DROPBEGIN;
  e.drop.windowID = id;
  SDL_PushEvent(&e);
  for (std::string name : {"a b.txt", "フォルダ"}) {
    e.type = SDL_DROPFILE;
    e.drop.file = SDL_strdup((dir.path() + name).c_str());
    SDL_PushEvent(&e);
  }
  e.type = SDL_DROPCOMPLETE;
  e.drop.file = nullptr;
  SDL_PushEvent(&e);
  std::vector<ui_event> drops;
  for (const ui_event& ev : drain(ui))
    if (ev.message == msg_drop_files) drops.push_back(ev);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_EQ(drops[0].window, 0);
  ASSERT_EQ(drops[0].files.size(), 2u);
  EXPECT_EQ(drops[0].files[0], utf8_to_sjis(dir.path() + "a b.txt"));
  EXPECT_EQ(drops[0].files[1], utf8_to_sjis(dir.path() + "フォルダ/"));
}

TEST(SdlUi, CallsFromAnotherThreadRunOnTheMainThread) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  std::atomic<bool> done{false};
  std::vector<uint8_t> frame = pattern(32, 16);
  bool created = false;
  int answer = -1;
  testing::internal::CaptureStderr();
  std::thread frame_thread([&] {
    window_desc d;
    d.width = 32;
    d.height = 16;
    created = ui.create_window(1, d);
    ui.set_window_title(1, "t");
    ui.present(1, frame.data(), 32, 16, 32 * 4);
    answer = ui.message_box("c", "from the frame thread", mb_yes_no);
    ui_event e;
    e.message = msg_command;
    ui.post_event(e);
    done = true;
  });
  // The main loop keeps polling, which serves the thread's requests.
  std::vector<ui_event> seen;
  while (!done) {
    ui_event e;
    while (ui.poll_event(e)) seen.push_back(e);
    usleep(1000);
  }
  frame_thread.join();
  testing::internal::GetCapturedStderr();
  ui_event e;
  while (ui.poll_event(e)) seen.push_back(e);
  EXPECT_TRUE(created);
  EXPECT_EQ(answer, id_yes);
  bool command_seen = false;
  for (const ui_event& s : seen) command_seen |= s.message == msg_command;
  EXPECT_TRUE(command_seen);
  std::vector<uint8_t> px;
  int w = 0, h = 0;
  ASSERT_TRUE(ui.read_window_pixels(1, px, w, h));
  expect_pixel(px, w, 31, 15, 31, 15, 31 ^ 15);
}

TEST(SdlUi, DialogsWithoutADisplayPrintAndTakeTheDefault) {
  SdlUi ui(offscreen());
  ASSERT_TRUE(ui.ready());
  testing::internal::CaptureStderr();
  EXPECT_EQ(ui.message_box(utf8_to_sjis("エラー"), utf8_to_sjis("起動できません。\r\n次へ"), mb_ok | mb_icon_error),
            id_ok);
  EXPECT_EQ(ui.message_box("", utf8_to_sjis("終了します。よろしいですか？"), mb_yes_no | mb_icon_information), id_yes);
  EXPECT_EQ(ui.message_box("", "q", mb_ok_cancel), id_ok);
  EXPECT_EQ(ui.message_box("", "q", mb_yes_no_cancel), id_yes);
  // Nobody could edit a source without a display: the dialog closes.
  EXPECT_EQ(ui.error_dialog("ZARVIK Debug Info.", utf8_to_sjis("[内部エラー]\n\n本文"), true), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[エラー]\n起動できません。\n次へ\n"), std::string::npos) << err;
  EXPECT_NE(err.find("終了します。よろしいですか？"), std::string::npos);
  EXPECT_NE(err.find("[ZARVIK Debug Info.]\n[内部エラー]\n\n本文"), std::string::npos);
}

TEST(SdlUi, KeyTableCoversTheKeysGamesRead) {
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_Z), uint32_t('Z'));
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_0), uint32_t('0'));
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_9), uint32_t('9'));
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_RETURN), 0x0Du);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_KP_ENTER), 0x0Du);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_SPACE), 0x20u);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_RCTRL), 0x11u);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_LSHIFT), 0x10u);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_UP), 0x26u);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_F12), 0x7Bu);
  EXPECT_EQ(virtual_key_for_scancode(SDL_SCANCODE_KP_9), 0x69u);
  EXPECT_EQ(virtual_key_for_scancode(-1), 0u);
  EXPECT_EQ(virtual_key_for_scancode(SDL_NUM_SCANCODES), 0u);
}

TEST(RealPlatform, RaiseRequestArrivesAsAnEventAndAGameFolderFromTheLink) {
  temp_folder dir;
  std::string prog = dir.path() + "game/zarvik";
  char* argv[] = {prog.data(), nullptr};
  auto real = make_real_platform(1, argv, offscreen());
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(&platform(), &real->services);
  EXPECT_EQ(real->game_folder_host, dir.path() + "game/");
  EXPECT_EQ(platform().files->game_folder_host(), dir.path() + "game/");
  std::string name = "raise-event:" + std::to_string(getpid());
  ASSERT_EQ(platform().process->claim_single_instance(name), 0);
  {
    PosixProcess second(1, argv);
    EXPECT_EQ(second.claim_single_instance(name), 1);
  }
  bool raised = false;
  for (int i = 0; i < 3000 && !raised; ++i) {
    ui_event e;
    while (platform().ui->poll_event(e)) raised |= e.message == msg_raise_request;
    if (!raised) usleep(10000);
  }
  EXPECT_TRUE(raised);
  EXPECT_TRUE(platform().process->take_raise_request());
  uint32_t a = platform().clock->tick_ms();
  platform().clock->sleep_ms(2);
  EXPECT_NE(platform().clock->tick_ms(), a);
  local_time t = platform().clock->local_now();
  EXPECT_GE(t.year, 2024);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  real.reset();
  EXPECT_FALSE(platform_installed());
}
