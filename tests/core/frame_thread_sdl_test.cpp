// Frame-thread mode over the SDL Ui (offscreen driver): the Ui runs other
// threads' window and dialog requests on the main thread only while it is
// polled, so the main thread must keep polling even when it may not dispatch,
// and while shutdown waits for the frame thread.
#include <gtest/gtest.h>

#include <atomic>

#include "engine_fixture.h"
#include "platform/sdl/sdl_ui.h"

namespace {
std::atomic<int> sdl_passes{0};
std::atomic<int> answers{0};

int dialog_scripts() {
  int n = ++sdl_passes;
  // A dialog and a title change from the frame thread, mid-tick (not in pacing).
  if (n == 3) answers += platform().ui->message_box("caption", "text", mb_ok) == id_ok ? 1 : 0;
  if (n == 4) platform().ui->set_window_title(0, "NEW");
  if (n == 6) {
    ui_event close;
    close.message = msg_close;
    platform().ui->post_event(close);
  }
  // After the close, keep asking for dialogs while shutdown waits.
  if (n > 6 && stop_threads_signal) answers += platform().ui->message_box("c", "t", mb_ok) == id_ok ? 1 : 0;
  return 0;
}
}  // namespace

TEST(frame_thread_sdl, DialogsFromTheFrameThreadAreServedAndShutdownFinishes) {
  engine_fixture engine;
  sdl_ui_options options;
  options.force_offscreen = true;
  SdlUi ui(options);
  ASSERT_TRUE(ui.ready());
  engine.host.services.ui = &ui;
  sdl_passes = 0;
  answers = 0;
  frame_steps.run_scripts = dialog_scripts;
  engine_config.frame_thread_mode = 1;
  engine_config.sound_on = 0;  // the headless mixer would chase the free-running clock
  testing::internal::CaptureStderr();
  EXPECT_EQ(engine.run_main(), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(frame_thread.state, frame_thread_ended);
  EXPECT_GE(answers, 1);
  EXPECT_FALSE(ui.window_exists(0));
  engine.host.services.ui = &engine.host.ui;
}
