// The frame tick and its pacing on virtual time: exact 16.16 periods, stalls,
// frame skipping, re-run passes, per-second counters, quitting and the frame
// thread.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "engine_fixture.h"

namespace {

// Counting stand-ins for the steps other subsystems own.
int scripts_ran = 0;
int windows_rendered = 0;
int windows_repainted = 0;
uint32_t script_delay_ms = 0;   // virtual time the next script pass takes
bool delay_is_a_load = false;   // that time went into loading a picture
int re_runs_wanted = 0;
int quit_at_pass = -1;

int counting_scripts() {
  ++scripts_ran;
  if (script_delay_ms) {
    platform().clock->sleep_ms(script_delay_ms);
    script_delay_ms = 0;
    if (delay_is_a_load) stamp_load_time();
  }
  if (re_runs_wanted > 0) {
    --re_runs_wanted;
    re_run_flag = 1;
  }
  return scripts_ran == quit_at_pass ? 1 : 0;
}
int counting_render(int) {
  ++windows_rendered;
  return 0;
}
int counting_repaint(int) {
  ++windows_repainted;
  return 0;
}

struct frame_loop_test : ::testing::Test {
  engine_fixture engine;
  void SetUp() override {
    scripts_ran = windows_rendered = windows_repainted = 0;
    script_delay_ms = 0;
    delay_is_a_load = false;
    re_runs_wanted = 0;
    quit_at_pass = -1;
    frame_steps.run_scripts = counting_scripts;
    frame_steps.render_window = counting_render;
    frame_steps.repaint_window = counting_repaint;
  }
  uint32_t now() { return engine.host.clock.tick_ms(); }
};

}  // namespace

TEST_F(frame_loop_test, SixtyFramesASecondGiveExactPeriods) {
  std::vector<uint32_t> periods;
  for (int i = 0; i < 9; ++i) {
    uint32_t before = now();
    EXPECT_EQ(pace_frame(), 0);
    periods.push_back(now() - before);
  }
  EXPECT_EQ(periods, (std::vector<uint32_t>{16, 17, 16, 17, 17, 16, 17, 17, 16}));
  // The step 65536000 / 60 truncates to 1092266 (16.16 ms): sixty frames take
  // 999.9994 ms, and a hundred seconds drift by less than one millisecond.
  for (int i = 9; i < 60; ++i) pace_frame();
  EXPECT_EQ(now(), 999u);
  for (int i = 60; i < 6000; ++i) pace_frame();
  EXPECT_EQ(now(), 99999u);
}

TEST_F(frame_loop_test, PacingSurvivesTheClockWrapping) {
  engine.host.clock.set(0xFFFFFFF0u);
  pacing_state.reference_ms = 0xFFFFFFF0u;
  uint32_t total = 0;
  for (int i = 0; i < 6; ++i) {
    uint32_t before = now();
    pace_frame();
    total += now() - before;
  }
  EXPECT_EQ(total, 16u + 17 + 16 + 17 + 17 + 16);
}

TEST_F(frame_loop_test, ZeroOrNegativeFrameRateIsClampedToOne) {
  pacing_state.frames_per_second = 0;
  pace_frame();
  EXPECT_EQ(now(), 1000u);
  pacing_state.frames_per_second = -5;
  pace_frame();
  EXPECT_EQ(now(), 2000u);
}

TEST_F(frame_loop_test, LagOfThreePeriodsSkipsDrawingOfTheNextTickButNotScripts) {
  pacing_state.frame_skip = 1;
  EXPECT_EQ(frame_tick(), 0);
  EXPECT_EQ(windows_rendered, 4);
  EXPECT_EQ(windows_repainted, 4);

  script_delay_ms = 17 + 3 * 17;  // this tick's scripts run four periods long
  EXPECT_EQ(frame_tick(), 0);
  EXPECT_EQ(pacing_state.skip_flag, 1);
  EXPECT_EQ(windows_rendered, 8);  // the late tick itself still drew

  uint32_t frames_before = frame_counters.frames_this_second;
  EXPECT_EQ(frame_tick(), 0);  // skipped: scripts yes, rendering and presenting no
  EXPECT_EQ(scripts_ran, 3);
  EXPECT_EQ(windows_rendered, 8);
  EXPECT_EQ(windows_repainted, 8);
  EXPECT_EQ(frame_counters.frames_this_second, frames_before);

  EXPECT_EQ(frame_tick(), 0);  // and drawing resumes
  EXPECT_EQ(windows_rendered, 12);
}

TEST_F(frame_loop_test, LagBelowThreePeriodsOrWithoutFrameSkipDoesNotSkip) {
  pacing_state.frame_skip = 1;
  frame_tick();
  script_delay_ms = 17 + 2 * 17;
  frame_tick();
  EXPECT_EQ(pacing_state.skip_flag, 0);

  pacing_state.frame_skip = 0;
  script_delay_ms = 17 + 5 * 17;
  frame_tick();
  EXPECT_EQ(pacing_state.skip_flag, 0);
}

// A load stamps its time, but the pacing counts the time it took like any
// other script work: a slow tick that loaded a picture is late all the same.
TEST_F(frame_loop_test, LagOfATickThatLoadedAPictureIsStillLate) {
  pacing_state.frame_skip = 1;
  frame_tick();
  script_delay_ms = 17 + 3 * 17;
  delay_is_a_load = true;
  frame_tick();
  EXPECT_NE(pacing_state.last_load_ms, 0u);
  EXPECT_EQ(pacing_state.skip_flag, 1);
}

TEST_F(frame_loop_test, StallOfAQuarterSecondIsForgotten) {
  pacing_state.frame_skip = 1;
  frame_tick();
  script_delay_ms = 300;  // a window drag or a debugger stop
  frame_tick();
  EXPECT_EQ(pacing_state.skip_flag, 0);  // not skipped
  // Not hurried either: the next frame waits its whole period again.
  uint32_t before = now();
  frame_tick();
  uint32_t waited = now() - before;
  EXPECT_TRUE(waited == 16 || waited == 17) << waited;
  EXPECT_EQ(windows_rendered, 12);
}

TEST_F(frame_loop_test, ReRunPassesRunInTheSameTickWithNewScriptTicks) {
  re_runs_wanted = 2;
  frame_tick();
  EXPECT_EQ(frame_counters.frame_count, 1u);
  EXPECT_EQ(frame_counters.script_tick, 3u);
  EXPECT_EQ(scripts_ran, 3);
  EXPECT_EQ(windows_rendered, 4);  // drawn once
  frame_tick();
  EXPECT_EQ(frame_counters.script_tick, 4u);
}

TEST_F(frame_loop_test, PerSecondCountersPublishWholeSeconds) {
  // Tick k is released at floor(k * 1092266 / 65536) ms: tick 60 at 999,
  // tick 61 at 1016 opens second 1, tick 121 (2016) opens second 2.
  for (int i = 0; i < 60; ++i) frame_tick();
  EXPECT_EQ(frame_counters.ticks_last_second, 0u);  // the first second is not over yet
  frame_tick();
  EXPECT_EQ(frame_counters.ticks_last_second, 60u);
  for (int i = 61; i < 121; ++i) frame_tick();
  EXPECT_EQ(frame_counters.ticks_last_second, 60u);
  EXPECT_EQ(frame_counters.frames_last_second, 60u);
  EXPECT_EQ(frame_counters.ticks_this_second, 1u);
  EXPECT_EQ(frame_counters.frames_this_second, 1u);

  // A skipped second's drawn frames fall short of its ticks.
  pacing_state.frame_skip = 1;
  for (int i = 0; i < 60; ++i) {
    if (i % 10 == 0) script_delay_ms = 17 * 4;
    frame_tick();
  }
  EXPECT_LT(frame_counters.frames_last_second, frame_counters.ticks_last_second);
}

TEST_F(frame_loop_test, SuspendedTicksDoNothingButCount) {
  tick_suspended = 1;
  EXPECT_EQ(frame_tick(), 0);
  EXPECT_EQ(frame_tick(), 0);
  EXPECT_EQ(frame_counters.frame_count, 2u);
  EXPECT_EQ(scripts_ran, 0);
  EXPECT_EQ(now(), 0u);
  tick_suspended = 0;
  frame_tick();
  EXPECT_EQ(scripts_ran, 1);
}

TEST_F(frame_loop_test, QuitFromScriptsOrAPendingQuitEndsTheTick) {
  quit_at_pass = 2;
  EXPECT_EQ(frame_tick(), 0);
  EXPECT_EQ(frame_tick(), 1);
  EXPECT_EQ(quit_flag, 1);
  EXPECT_EQ(windows_rendered, 4);  // the quitting tick draws nothing
  EXPECT_EQ(frame_tick(), 1);      // quit pending: nothing runs
  EXPECT_EQ(scripts_ran, 2);
}

TEST_F(frame_loop_test, RequestClosePostsTheCloseAndTheLoopEndsWithCodeZero) {
  ASSERT_TRUE(engine.host.ui.create_window(0, window_desc{}));
  quit_at_pass = 5;
  EXPECT_EQ(run_message_loop(), 0);
  EXPECT_EQ(scripts_ran, 5);
  EXPECT_FALSE(engine.host.ui.window_exists(0));
  EXPECT_EQ(quit_flag, 1);
}

TEST_F(frame_loop_test, QuitSetOutsideATickStillClosesTheMainWindow) {
  ASSERT_TRUE(engine.host.ui.create_window(0, window_desc{}));
  quit_flag = 1;  // e.g. the sound thread's report
  EXPECT_EQ(run_message_loop(), 0);
  EXPECT_EQ(scripts_ran, 0);
  EXPECT_FALSE(engine.host.ui.window_exists(0));
}

namespace {
std::atomic<int> thread_passes{0};
int frame_thread_scripts() { return ++thread_passes >= 30 ? 1 : 0; }
}  // namespace

TEST_F(frame_loop_test, FrameThreadTicksUntilQuitAndEndsInStateNine) {
  ASSERT_TRUE(engine.host.ui.create_window(0, window_desc{}));
  thread_passes = 0;
  frame_steps.run_scripts = frame_thread_scripts;
  frame_thread.enabled = 1;
  start_frame_thread();
  EXPECT_EQ(run_message_loop(), 0);  // the main thread only pumps
  wait_for_frame_thread();
  EXPECT_EQ(frame_thread.state, frame_thread_ended);
  EXPECT_EQ(thread_passes, 30);
  EXPECT_FALSE(engine.host.ui.window_exists(0));
}
