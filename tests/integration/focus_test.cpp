// The main window's focus drives the holds the player keeps while it is in the
// background: the scripts' inactive pause, the play time and the sound, as
// the settings command's keep-running switch says. Focus moves through the
// headless desktop, and the player sees it as a real window sees it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/play_time.h"
#include "script/scheduler.h"
#include "sound/sound_thread.h"
#include "support/headless_game.h"

namespace {

// Counts frames and samples play time every frame; `keep` goes to the
// settings command's keep-running switch once the window, shown at the first
// frame, has the focus.
std::string counting_game(int keep) {
  return R"(
config window_kind 1
global int frames = 0
global int play = 0
global int settled = 0
*SYSTEM_START
wait 2
system_settings keep_running_inactive=)" +
         std::to_string(keep) + R"(
settled = 1
*count
frames += 1
play = @101
wait 1
goto count
)";
}

// Waits on real time (other threads move on their own) until `done` holds.
template <typename Predicate>
bool eventually(Predicate done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

bool sound_focus_pause_becomes(uint8_t wanted) {
  return eventually([&] { return sound_thread.paused_by_focus.load() == wanted; });
}

TEST(Focus, LosingItHoldsScriptsPlayTimeAndSoundUntilItReturns) {
  headless_game game(counting_game(0));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(5);  // the main window was shown and took the focus
  ASSERT_EQ(game.int_value("settled"), 1);
  EXPECT_EQ(inactive_pause.keep_running_inactive.load(), 0);
  const int64_t frames_before = game.int_value("frames");
  ASSERT_GE(frames_before, 3);
  EXPECT_TRUE(sound_focus_pause_becomes(0));

  // Another program takes the focus; the window hears of it in the pump that
  // ends this pass. The next tick samples it and its first instruction waits
  // in the pause, pumping messages, until the focus comes back.
  game.backend().ui.focus_window(-1);
  game.run_ticks(1);
  const int64_t frames_at_pause = game.int_value("frames");
  std::atomic<bool> ticked{false};
  std::thread ticker([&] {
    game.run_ticks(1);
    ticked = true;
  });
  EXPECT_TRUE(sound_focus_pause_becomes(1));
  ASSERT_TRUE(eventually([] { return inactive_pause.paused.load() == 1; }));
  const uint32_t held_at = play_time_counters.hold_start;
  EXPECT_TRUE(play_time_held(play_time_hold_inactive));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(ticked.load());
  EXPECT_EQ(game.int_value("frames"), frames_at_pause);
  // Held play time reads up to the hold, however long the hold lasts.
  const int64_t held_value = play_time_value(0, game.now_ms());
  EXPECT_EQ(held_value, play_time_value(0, game.now_ms() + 100000));

  game.backend().ui.focus_window(0);
  ticker.join();
  EXPECT_TRUE(ticked.load());
  EXPECT_EQ(inactive_pause.paused.load(), 0);
  EXPECT_FALSE(play_time_held(play_time_hold_inactive));
  EXPECT_GT(game.now_ms(), held_at);  // the pause slept on the game's clock
  game.run_ticks(3);
  EXPECT_GT(game.int_value("frames"), frames_at_pause);
  // The held span left the play time: it goes on from where it stood.
  EXPECT_LT(game.int_value("play") - held_value, 100);
  EXPECT_TRUE(sound_focus_pause_becomes(0));
}

TEST(Focus, KeepRunningInactiveGoesOnInTheBackground) {
  headless_game game(counting_game(1));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(3);
  game.backend().ui.focus_window(-1);
  const int64_t frames_before = game.int_value("frames");
  game.run_ticks(10);
  EXPECT_EQ(game.int_value("frames"), frames_before + 10);
  EXPECT_EQ(inactive_pause.paused.load(), 0);
  EXPECT_FALSE(play_time_held(play_time_hold_inactive));
  // The sound thread, which keeps step with the game's clock, holds nothing
  // either.
  const uint64_t cycles = sound_thread.cycles.load();
  game.run_ticks(3);
  EXPECT_GT(sound_thread.cycles.load(), cycles);
  EXPECT_EQ(sound_thread.paused_by_focus.load(), 0);
}

TEST(Focus, KeepRunningStartsOnAndOnlyAFocusedWindowChangesIt) {
  headless_game game(R"(
config window_kind 1
global int step = 0
*SYSTEM_START
wait 2
system_settings keep_running_inactive=0
step = 1
*idle
wait 1
goto idle
)");
  ASSERT_EQ(game.start(), 0);
  EXPECT_EQ(inactive_pause.keep_running_inactive.load(), 1);
  game.run_ticks(1);
  game.backend().ui.focus_window(-1);  // in the background when the command runs
  game.run_ticks(4);
  EXPECT_EQ(game.int_value("step"), 1);
  EXPECT_EQ(inactive_pause.keep_running_inactive.load(), 1);
}

TEST(Focus, PlayTimeCountersStopAndRunWithoutCountingTheStoppedSpan) {
  headless_game game(R"(
global int a = 0
global int b = 0
*SYSTEM_START
system_settings play_time2=0
wait 600 ms
system_settings play_time2=1, play_time3=7
wait 400 ms
a = @1[1]
b = @1[2]
*idle
wait 1
goto idle
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(120);
  // Counter 2 was stopped for 600 ms of the 1000 ms counter 1 ran.
  const int64_t stopped = game.int_value("a") - game.int_value("b");
  EXPECT_GE(game.int_value("a"), 1000);
  EXPECT_GE(stopped, 600);
  EXPECT_LT(stopped, 640);  // the wait ends on a frame
  EXPECT_EQ(play_time_counters.counters[2].running, 1);  // 7 switches nothing
}

}  // namespace
