// The scheduler run as whole games: waits on virtual time, task order, re-run
// passes, run flags, message waits, ending tasks, error places and the debug
// escape.
#include <gtest/gtest.h>

#include <thread>

#include <string>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "script/system_values.h"
#include "platform/platform.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/task.h"
#include "support/headless_game.h"

namespace {

const char* const idle = "\n*idle\nwait 1\ngoto idle\n";

std::string first_error(const headless_game& g) { return g.errors().empty() ? "" : g.errors()[0].text_utf8; }

// A task under the task root, started at a label.
task_record* start_task(const std::string& name, int32_t priority, const std::string& label) {
  object_node* node = create_task_node(name, priority);
  if (!node) return nullptr;
  task_record* t = task_of(node);
  if (switch_task_to_label(t, find_label(label)) != 0) return nullptr;
  return t;
}

object_node* task_node(const std::string& name) {
  return find_object_by_path(object_trees[tree_tasks].root, name, find_leaf);
}

}  // namespace

TEST(Scheduler, FrameWaitsSkipTheFrameTheyWereSetIn) {
  headless_game game(std::string(R"(
global int stage = 0
global int same_tick = 0
*SYSTEM_START
wait 1
stage = 1
wait 3
stage = 2
wait 0
wait frames=0, milliseconds=0
same_tick = frame_count
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("stage"), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("stage"), 1);
  game.run_ticks(2);
  EXPECT_EQ(game.int_value("stage"), 1);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("stage"), 2);
  EXPECT_EQ(game.int_value("same_tick"), 5);  // waits of 0 go on at once
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
}

TEST(Scheduler, MillisecondWaitsOnVirtualTime) {
  headless_game game(std::string(R"(
global int t0 = 0
global int t1 = 0
global int woke_frame = 0
*SYSTEM_START
t0 = clock
wait 100ms
t1 = clock
woke_frame = frame_count
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(20);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  // Frames start at 0, 16, 33, 49, 66, 83, 99, 116 ms: the eighth is the first
  // at or after the wake time.
  EXPECT_EQ(game.int_value("t0"), 0);
  EXPECT_EQ(game.int_value("t1"), 116);
  EXPECT_EQ(game.int_value("woke_frame"), 8);
}

TEST(Scheduler, MillisecondWaitsAcrossTheClockWrap) {
  headless_game game(std::string(R"(
global int t0 = 0
global int t1 = 0
global int done = 0
*SYSTEM_START
t0 = clock
wait 100ms
t1 = clock
done = 1
)") + idle);
  game.set_start_time(0xFFFFFFD0u);  // 48 ms before the wrap
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(3);
  // An unsigned compare would see the small wake time as passed at once.
  EXPECT_EQ(game.int_value("done"), 0);
  game.run_ticks(10);
  EXPECT_EQ(game.int_value("done"), 1);
  const uint32_t waited = static_cast<uint32_t>(game.int_value("t1")) - static_cast<uint32_t>(game.int_value("t0"));
  EXPECT_GE(waited, 100u);
  EXPECT_LT(waited, 117u);
}

TEST(Scheduler, TasksRunByPriorityAndEqualKeysLastPlacedFirst) {
  headless_game game(std::string(R"(
global string order = ""
*SYSTEM_START
order += "S"
wait 1
goto SYSTEM_START
*task_a
order += "A"
wait 1
goto task_a
*task_b
order += "B"
wait 1
goto task_b
*task_c
order += "C"
wait 1
goto task_c
)"));
  ASSERT_EQ(game.start(), 0);
  ASSERT_NE(start_task("A", 10, "task_a"), nullptr);
  ASSERT_NE(start_task("B", 20, "task_b"), nullptr);
  ASSERT_NE(start_task("C", 20, "task_c"), nullptr);
  game.run_ticks(2);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  // SYSTEM's key is 100; B and C share 20 and C was placed last.
  EXPECT_EQ(game.text_value("order"), "SCBASCBA");
}

namespace {
bool rerun_armed = false;
int arm_rerun() {
  if (rerun_armed) {
    rerun_request = 1;
    rerun_armed = false;
  }
  return 0;
}
}  // namespace

TEST(Scheduler, ReRunPassInTheSameTickRunsTasksAndFrameWaitsAgain) {
  headless_game game(std::string(R"(
global int passes = 0
global int other = 0
*SYSTEM_START
passes += 1
unused15
wait 1
goto SYSTEM_START
*other_task
wait 2
other += 1
goto other_task
)"));
  game.set_command_handler(15, arm_rerun);
  ASSERT_EQ(game.start(), 0);
  ASSERT_NE(start_task("T", 1, "other_task"), nullptr);
  rerun_armed = true;
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.frame_count(), 1u);
  EXPECT_EQ(game.pass_count(), 2u);
  // The second pass decreased SYSTEM's one-frame wait again and ran it.
  EXPECT_EQ(game.int_value("passes"), 2);
  EXPECT_EQ(game.int_value("other"), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("other"), 1);  // its 2-frame wait was counted by both passes
  EXPECT_EQ(game.int_value("passes"), 3);
}

TEST(Scheduler, StoppedTaskKeepsItsWaits) {
  headless_game game(std::string(R"(
global int ran = 0
*other_task
wait 3
ran = 1
)") + "*SYSTEM_START" + idle);
  ASSERT_EQ(game.start(), 0);
  task_record* t = start_task("T", 5, "other_task");
  ASSERT_NE(t, nullptr);
  game.run_ticks(1);
  ASSERT_EQ(t->wait_frames, 3u);
  t->run_flag_a = 0;
  game.run_ticks(6);
  EXPECT_EQ(t->wait_frames, 3u);
  EXPECT_EQ(game.int_value("ran"), 0);
  t->run_flag_a = 1;
  game.run_ticks(2);
  EXPECT_EQ(game.int_value("ran"), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("ran"), 1);
}

TEST(Scheduler, ReturnWithoutACallEndsAnOrdinaryTask) {
  headless_game game(std::string(R"(
global int a = 0
global int b = 0
global int tasks_before = 0
global int tasks_after = 0
*SYSTEM_START
tasks_before = task_count
wait 1
tasks_after = task_count
goto idle
*ends
a += 1
return
*goes_on
b += 1
wait 1
goto goes_on
)") + idle);
  ASSERT_EQ(game.start(), 0);
  // "E" runs before "G" in the walk (higher key) and ends itself; the walk
  // still holds its node, which is freed only after the pass.
  ASSERT_NE(start_task("E", 50, "ends"), nullptr);
  ASSERT_NE(start_task("G", 40, "goes_on"), nullptr);
  game.run_ticks(3);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("a"), 1);
  EXPECT_EQ(game.int_value("b"), 3);
  EXPECT_EQ(task_node("E"), nullptr);
  EXPECT_NE(task_node("G"), nullptr);
  EXPECT_EQ(game.int_value("tasks_before"), 4);  // group "", SYSTEM, E, G
  EXPECT_EQ(game.int_value("tasks_after"), 3);
}

TEST(Scheduler, MessageEndWaitsUntilTheTextIsDone) {
  headless_game game(std::string(R"(
global int stage = 0
*SYSTEM_START
stage = 1
message_end
stage = 2
)") + idle);
  ASSERT_EQ(game.start(), 0);
  static int frames_left = 0;
  frames_left = 3;
  scheduler_hooks.advance_message = [](task_record* t) {
    if (t->message_wait && --frames_left == 0) t->message_wait = 0;
  };
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("stage"), 1);
  game.run_ticks(2);
  EXPECT_EQ(game.int_value("stage"), 1);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("stage"), 2);
  scheduler_hooks.advance_message = nullptr;
}

TEST(Scheduler, ErrorsNameTheScriptFileAndLine) {
  headless_game game(R"(script first.txt
*SYSTEM_START
call other
*idle
wait 1
goto idle
script second.txt
*other
x = 1
break
global int x = 0
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  ASSERT_EQ(game.error_codes(), std::vector<int>{101300});
  EXPECT_EQ(first_error(game),
            "[対象ファイル]\nsecond.txt\n\n[場所]\n10 行目\n\n[内容]\n\n[break] without its [if].");
  EXPECT_EQ(game.int_value("x"), 1);
  EXPECT_TRUE(game.quitting());
  // The dialog showed the same text.
  auto boxes = game.backend().ui.calls();
  EXPECT_FALSE(boxes.empty());
}

TEST(Scheduler, MissingSystemStartEndsStartUp) {
  headless_game game(std::string("*START\n") + idle);
  EXPECT_NE(game.start(), 0);
  EXPECT_EQ(game.error_codes(), std::vector<int>{108180});
  EXPECT_NE(first_error(game).find("SYSTEM_START"), std::string::npos);
}

namespace {
int corner = 0;
bool next_corner(int& x, int& y) {
  static const int xs[4] = {0, 0, 1919, 1919}, ys[4] = {0, 1079, 0, 1079};
  x = xs[corner % 4];
  y = ys[corner % 4];
  ++corner;
  return true;
}
}  // namespace

TEST(Scheduler, DebugEscapeAsksOnceAfterAllFourCorners) {
  for (int answer : {id_no, id_yes}) {
    headless_game game(std::string(R"(
config debug 1
global int n = 0
*SYSTEM_START
loop 2100
  n += 1
end
n = -1
)") + idle);
    game.write_file("kxcfg.dat", cpu_drawing_settings());
    ASSERT_EQ(game.start(), 0);
    engine_facts.screen_width = 1920;
    engine_facts.screen_height = 1080;
    corner = 0;
    scheduler_hooks.cursor_position = next_corner;
    game.backend().ui.queue_reply(answer);
    game.run_ticks(1);
    scheduler_hooks.cursor_position = nullptr;
    auto boxes = game.backend().ui.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find(utf8_to_sjis("強制的に終了します")), std::string::npos);
    if (answer == id_no) {
      EXPECT_FALSE(game.quitting());
      EXPECT_EQ(game.int_value("n"), -1);  // the scripts went on
    } else {
      EXPECT_TRUE(game.quitting());
      EXPECT_NE(game.int_value("n"), -1);
    }
  }
}

