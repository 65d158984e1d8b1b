// What the window procedure does with the title bar and the frame in a game
// started the way the player starts: the borderless style, the title double
// click of kxcfg.dat slot 9, the title-bar drag pause, the screen-saver block
// and the error dialog's cursor.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/game_window.h"
#include "script/scheduler.h"
#include "support/headless_game.h"

namespace {

const char* const counting = R"(
config window_kind 1
global int frames = 0
global int title = 0
*SYSTEM_START
*count
frames += 1
title = @110
wait 1
goto count
)";

ui_event message(uint32_t code, uint64_t wparam) {
  ui_event e;
  e.message = code;
  e.wparam = wparam;
  return e;
}

}  // namespace

TEST(WindowBehaviour, TheUsualStyleHasAFrameAndIsOpaque) {
  headless_game game(counting);
  game.write_file("kxcfg.dat", cpu_drawing_settings());
  ASSERT_EQ(game.start(), 0);
  EXPECT_FALSE(game.backend().ui.window(0).borderless);
  EXPECT_EQ(game.backend().ui.window_alpha(0), 256);  // layered windows stay off
}

TEST(WindowBehaviour, BorderlessStyleOne) {
  headless_game game(std::string("config window_style 1\n") + counting);
  game.write_file("kxcfg.dat", cpu_drawing_settings());
  ASSERT_EQ(game.start(), 0);
  EXPECT_TRUE(game.backend().ui.window(0).borderless);
}

TEST(WindowBehaviour, TitleDoubleClickReachesTheScriptWithSlotNine) {
  headless_game game(counting);
  game.write_file("kxcfg.dat", engine_settings_file({{8, 2}, {9, 1}}));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  game.backend().ui.post_event(message(msg_nc_left_button_double, hit_caption));
  game.run_ticks(3);
  EXPECT_EQ(game.int_value("title"), 1);  // window index + 1
}

TEST(WindowBehaviour, TitleDoubleClickWithoutSlotNineIsNotReported) {
  headless_game game(counting);
  game.write_file("kxcfg.dat", engine_settings_file({{8, 2}, {9, 0}}));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  game.backend().ui.post_event(message(msg_nc_left_button_double, hit_caption));
  game.run_ticks(3);
  EXPECT_EQ(game.int_value("title"), 0);
}

TEST(WindowBehaviour, HoldingTheTitleBarPausesScriptsWithTheDragPauseOption) {
  headless_game game(counting);
  game.write_file("kxcfg.dat", cpu_drawing_settings());
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(3);
  // Without the option a press on the title bar holds nothing.
  game.backend().ui.post_event(message(msg_nc_left_button_down, hit_caption));
  game.run_ticks(1);
  EXPECT_EQ(inactive_pause.paused.load(), 0);
  game.backend().ui.post_event(message(msg_nc_left_button_up, hit_caption));
  game.run_ticks(1);

  window_events.drag_pause_option = 1;
  game.backend().ui.post_event(message(msg_nc_left_button_down, hit_caption));
  game.run_ticks(1);  // the press arrives in the pump that ends this pass
  EXPECT_EQ(inactive_pause.paused.load(), 1);
  // The scripts wait in the pause; the release (an event due 50 ms on) ends it.
  game.backend().ui.post_event_at(game.now_ms() + 50, message(msg_exit_size_move, 0));
  const int64_t frames = game.int_value("frames");
  game.run_ticks(1);
  EXPECT_EQ(inactive_pause.paused.load(), 0);
  game.run_ticks(2);
  EXPECT_GT(game.int_value("frames"), frames);
  window_events.drag_pause_option = 0;
}

TEST(WindowBehaviour, ScreenSaverStartsOnlyWhenTheBlockIsOff) {
  headless_game game(R"(
config window_kind 1
global int step = 0
*SYSTEM_START
wait 2
step = 1
wait 2
system_settings screen_saver_block=0
step = 2
*idle
wait 1
goto idle
)");
  game.write_file("kxcfg.dat", cpu_drawing_settings());
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(3);
  window_state* main = game_window_record(0);
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(on_sys_command(*main, sc_screensave));  // blocked from the start
  game.run_ticks(4);
  ASSERT_EQ(game.int_value("step"), 2);
  EXPECT_TRUE(on_sys_command(*main, sc_screensave));
}

TEST(WindowBehaviour, TheErrorDialogShowsTheCursor) {
  headless_game game(R"(
config window_kind 1
*SYSTEM_START
cursor mode=0
wait 3
goto ("nowhere" + "_at_all")
)");
  game.write_file("kxcfg.dat", cpu_drawing_settings());
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  const size_t before = game.backend().ui.calls().size();
  game.run_ticks(6);
  ASSERT_FALSE(game.error_codes().empty());
  const auto calls = game.backend().ui.calls();
  EXPECT_NE(std::find(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end(), "show_cursor"), calls.end());
}
