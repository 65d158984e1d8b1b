// Task commands through whole games on the headless harness: starting tasks
// with every parameter kind, priority rules and run order, deleting tasks and
// groups (the running one, SYSTEM by other paths), queries, the script list,
// and task-state round trips of tasks inside blocks, calls and loops.
#include <gtest/gtest.h>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "script/task.h"
#include "script/task_commands.h"
#include "script/task_state.h"
#include "support/headless_game.h"

namespace {

std::string first_error(const headless_game& g) { return g.errors().empty() ? "" : g.errors()[0].text_utf8; }

task_record* task_named(const std::string& path) {
  object_node* n = find_object_by_path(object_trees[tree_tasks].root, path, find_leaf);
  return task_of(n);
}

}  // namespace

TEST(TaskCommands, StartWithEveryParameterKind) {
  headless_game game(R"(
script main.txt
global int gi = 0
global real gr = 0.0
global string gname = ""
global int ran = 0
global int flags = 0
*SYSTEM_START
task name="w1", label="worker", priority=5, i1=7, i10=70, r1=3, r10=9, rerun=1, run_a=1, run_b=2
task_query name="w1", output=flags, run_b=1
*idle
wait 1
goto idle
*worker
ran += 1
gi = task_int[1] * 1000 + task_int[10] + task_int[11]
gr = task_real[1] + task_real[10] / 10.0
gname = task_name
*worker_idle
wait 1
goto worker_idle
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  // The re-run request lets the new task run in the frame it was started.
  EXPECT_EQ(game.int_value("ran"), 1);
  EXPECT_EQ(game.int_value("gi"), 7070);
  EXPECT_DOUBLE_EQ(game.real_value("gr"), 3.9);
  EXPECT_EQ(game.text_value("gname"), "w1");
  EXPECT_EQ(game.int_value("flags"), 2);
  task_record* t = task_named("w1");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->node->key2, 5);
}

TEST(TaskCommands, RestartAtALabelClearsParametersAndKeepsPriority) {
  headless_game game(R"(
script main.txt
global int p = 0
global int gi = 0
*SYSTEM_START
task name="w", label="a", priority=9, i2=5
wait 2
task name="w", label="b", i1=1
wait 2
task_query name="w", output=p, priority=1
*idle
wait 1
goto idle
*a
wait 1
goto a
*b
gi = task_int[1] * 10 + task_int[2]
*b_idle
wait 1
goto b_idle
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(6);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("gi"), 10);
  EXPECT_EQ(game.int_value("p"), 9);
}

TEST(TaskCommands, PriorityOperators) {
  headless_game game(R"(
script main.txt
global int p[8]
*SYSTEM_START
task name="w", label="spin", priority=5
task name="w", priority-=10
task_query name="w", output=p[0], priority=1
task name="w", priority=4
task name="w", priority*=0
task_query name="w", output=p[1], priority=1
task name="w", priority=12
task name="w", priority/=0
task_query name="w", output=p[2], priority=1
task name="w", priority/=5
task_query name="w", output=p[3], priority=1
task name="w", priority+=-10
task_query name="w", output=p[4], priority=1
task name="w", priority=-3
task_query name="w", output=p[5], priority=1
task name="w", priority/=-1
task_query name="w", output=p[6], priority=1
task name="fresh", label="spin", priority-=3
task_query name="fresh", output=p[7], priority=1
*idle
wait 1
goto idle
*spin
wait 1
goto spin
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  const int64_t expected[8] = {1, 1, 12, 2, -8, -3, 3, 1};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(game.int_value("p", i), expected[i]) << i;
}

TEST(TaskCommands, HigherPriorityRunsFirstAndEqualOnesLastPlacedFirst) {
  headless_game game(R"(
script main.txt
global int order[40]
global int pos = 0
*SYSTEM_START
task name="low", label="rec", priority=10, i1=1
task name="high", label="rec", priority=20, i1=2
task name="twin", label="rec", priority=20, i1=3
*idle
wait 1
goto idle
*rec
if pos < 40
  order[pos] = task_int[1]
  pos += 1
end
wait 1
goto rec
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(4);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  // From the second frame on every pass runs twin, high, low.
  const int64_t pos = game.int_value("pos");
  ASSERT_GE(pos, 9);
  for (int64_t i = pos - 6; i < pos; i += 3) {
    EXPECT_EQ(game.int_value("order", i), 3);
    EXPECT_EQ(game.int_value("order", i + 1), 2);
    EXPECT_EQ(game.int_value("order", i + 2), 1);
  }
}

TEST(TaskCommands, MissingTaskAndMissingLabel) {
  {
    headless_game game(R"(
script main.txt
*SYSTEM_START
task name="nobody", priority=3
)");
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(1);
    EXPECT_EQ(game.error_codes(), std::vector<int>({101400}));
  }
  {
    headless_game game(R"(
script main.txt
*SYSTEM_START
task name="w", label="no_such_label"
)");
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(1);
    EXPECT_EQ(game.error_codes(), std::vector<int>({108180}));
  }
}

TEST(TaskCommands, DeletingTheRunningTaskEndsItsTurnAndOthersGoOn) {
  headless_game game(R"(
script main.txt
global int after_self = 0
global int after_other = 0
global int victim_runs = 0
global int count_after = 0
*SYSTEM_START
task name="victim", label="victim"
task name="killer", label="killer", priority=50
task name="suicide", label="suicide", priority=60
wait 3
count_after = task_count
*idle
wait 1
goto idle
*victim
victim_runs += 1
wait 1
goto victim
*killer
task_delete name="victim"
after_other = 1
*killer_idle
wait 1
goto killer_idle
*suicide
task_delete
after_self = 1
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(5);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("after_self"), 0);
  EXPECT_EQ(game.int_value("after_other"), 1);
  // victim, placed below SYSTEM, ran once in the first pass (the walk goes
  // on downwards); killer deleted it in the second.
  EXPECT_EQ(game.int_value("victim_runs"), 1);
  // The group "", SYSTEM and killer remain.
  EXPECT_EQ(game.int_value("count_after"), 3);
  EXPECT_EQ(task_named("victim"), nullptr);
  EXPECT_EQ(task_named("suicide"), nullptr);
}

TEST(TaskCommands, DeletingAGroupHoldingTheRunningTask) {
  headless_game game(R"(
script main.txt
global int a_after = 0
global int b_runs = 0
global int c_runs = 0
*SYSTEM_START
task name="g/", priority=30
task name="g/a", label="a", priority=5
task name="g/b", label="b", priority=1
task name="c", label="c"
wait 4
*idle
wait 1
goto idle
*a
wait 1
task_delete name="g/"
a_after = 1
*b
b_runs += 1
wait 1
goto b
*c
c_runs += 1
wait 1
goto c
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(6);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("a_after"), 0);
  // b ran in the first frame only: in the frame of the delete it came after a
  // in the same (detached) group and must not run.
  EXPECT_EQ(game.int_value("b_runs"), 1);
  EXPECT_GE(game.int_value("c_runs"), 5);
  EXPECT_EQ(find_object_by_path(object_trees[tree_tasks].root, "g", find_group), nullptr);
}

TEST(TaskCommands, SystemCannotBeDeletedByAnyPath) {
  for (const char* name : {"SYSTEM", "./SYSTEM", "x/../SYSTEM", ":SYSTEM"}) {
    headless_game game(std::string(R"(
script main.txt
*SYSTEM_START
task_delete name=")") + name + "\"\n");
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(1);
    EXPECT_EQ(game.error_codes(), std::vector<int>({101420})) << name;
    EXPECT_NE(task_named("SYSTEM"), nullptr) << name;
  }
  {
    headless_game game(R"(
script main.txt
*SYSTEM_START
task_delete
)");
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(1);
    EXPECT_EQ(game.error_codes(), std::vector<int>({101420}));
  }
  {
    // Paths that resolve to the task root name no task.
    for (const char* name : {"x/../", ":"}) {
      headless_game game(std::string("\nscript main.txt\n*SYSTEM_START\ntask_delete name=\"") + name + "\"\n");
      ASSERT_EQ(game.start(), 0);
      game.run_ticks(1);
      EXPECT_EQ(game.error_codes(), std::vector<int>({101293})) << name;
    }
  }
  {
    headless_game game(R"(
script main.txt
*SYSTEM_START
task_delete name="ghost"
)");
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(1);
    EXPECT_EQ(game.error_codes(), std::vector<int>({101400}));
  }
}

TEST(TaskCommands, QueryValues) {
  headless_game game(R"(
script main.txt
global int v[20]
global real rv = 5.0
global string sname = "x"
global string cname = "x"
global string missing = "x"
global int line_self = 0
*SYSTEM_START
task name="w", label="w", priority=7
wait 2
task_query name="w", output=v[0], exists=1
task_query name="w", output=v[1], run_a=1
task_query name="w", output=v[2], priority=1
task_query name="w", output=sname, script_name=1
task_query name="w", output=cname, caller_name=1
task_query name="w", output=v[3], script_number=1
task_query name="w", output=v[4], caller_number=1
task_query name="w", output=v[5], block_depth=1
task_query name="w", output=v[6], call_depth=1
task_query name="w", output=v[7], loop_depth=1
task_query name="w", output=v[8], line=1
task_query name="w", output=v[9], call_line=1
task_query name="w", output=v[10]
task_query name="nobody", output=rv, priority=1
task_query name="nobody", output=missing, script_name=1
task_query output=line_self, line=1
task_query output=v[11], exists=1, block_depth=1
*idle
wait 1
goto idle
*w
loop 2
  call deep()
end
script sub.txt
*deep
if 1
  wait 100
end
return
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(3);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("v", 0), 1);
  EXPECT_EQ(game.int_value("v", 1), 1);
  EXPECT_EQ(game.int_value("v", 2), 7);
  EXPECT_EQ(game.text_value("sname"), "sub.txt");
  EXPECT_EQ(game.text_value("cname"), "main.txt");
  EXPECT_EQ(game.int_value("v", 3), 1);
  EXPECT_EQ(game.int_value("v", 4), 0);
  EXPECT_EQ(game.int_value("v", 5), 1);
  EXPECT_EQ(game.int_value("v", 6), 1);
  EXPECT_EQ(game.int_value("v", 7), 1);
  // Listing lines: "wait 100" is line 39, the call on line 34.
  EXPECT_EQ(game.int_value("v", 8), 39);
  EXPECT_EQ(game.int_value("v", 9), 34);
  EXPECT_EQ(game.int_value("v", 10), 1);  // no switch: the script number
  EXPECT_EQ(game.real_value("rv"), 0.0);
  EXPECT_EQ(game.text_value("missing"), "");
  EXPECT_EQ(game.int_value("line_self"), 27);  // the running query's own line
  EXPECT_EQ(game.int_value("v", 11), 0);       // exists first, then the depth
}

TEST(TaskCommands, QueryLineOfATaskThatHasNotRun) {
  headless_game game(R"(
script main.txt
global int line = -1
global int line2 = -1
*SYSTEM_START
task name="w", label="w", run_a=0
task_query name="w", output=line, line=1
task name="v", label="v", run_a=0
task_query name="v", output=line2, line=1
*idle
wait 1
goto idle
*v
wait 1
script w.txt
*w
wait 1
goto w
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  // pc 0 (label w opens its script): the task's first instruction, line 17.
  EXPECT_EQ(game.int_value("line"), 17);
  // Otherwise the instruction before pc, as for a task that yielded there.
  EXPECT_EQ(game.int_value("line2"), 12);
}

TEST(TaskCommands, ExistsOnATextOutputIsAnError) {
  headless_game game(R"(
script main.txt
global string s = ""
*SYSTEM_START
task_query output=s, exists=1
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.error_codes(), std::vector<int>({101140}));
}

TEST(TaskCommands, ScriptListOverThreeScripts) {
  headless_game game(R"(
script main.txt
global int count = 0
global int numbers[5]
global string names[5]
global int plain = -1
*SYSTEM_START
script_list output=count, count=1
loop 5
  script_list output=numbers[loop_counter - 1], number=1, index=loop_counter - 1
  script_list output=names[loop_counter - 1], name=1, index=loop_counter - 1
end
script_list output=plain, index=1
*idle
wait 1
goto idle
script other.txt
*o
wait 1
script third.txt
*t
wait 1
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("count"), 3);
  // Entries 1..3 answer their script numbers 0..2; index 0 and 4 are outside.
  const int64_t numbers[5] = {0, 0, 1, 2, 0};
  const char* names[5] = {"", "main.txt", "other.txt", "third.txt", ""};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(game.int_value("numbers", i), numbers[i]) << i;
    EXPECT_EQ(game.text_value("names", i), names[i]) << i;
  }
  EXPECT_EQ(game.int_value("plain"), 0);
}

namespace {

// A task parked inside a loop, an if, a call into another script, a loop
// and two ifs there. Its state is taken, the task deleted, and a new task
// restored from the text finishes the work exactly as the first would have.
const char* deep_listing = R"(
script main.txt
global int trace = 0
global int done = 0
global string st = ""
global int bd = 0
global int cd = 0
global int ld = 0
global int restored = 0
*SYSTEM_START
task name="w", label="deep"
wait 3
task_query name="w", output=st, state=1
task_query name="w", output=bd, block_depth=1
task_query name="w", output=cd, call_depth=1
task_query name="w", output=ld, loop_depth=1
task_delete name="w"
task name="w2", label="nowhere", state=st, priority=2
restored = 1
*idle
wait 1
goto idle
*nowhere
wait 1
goto nowhere
*deep
loop 3
  trace = trace * 10 + 1
  if 1
    call sub_entry()
    trace = trace * 10 + 2
  end
end
done = 1
*deep_idle
wait 1
goto deep_idle
script sub.txt
*sub_entry
loop 2
  if 1
    trace = trace * 10 + 3
    if trace == 13
      wait 5
    end
  end
end
return
)";

}  // namespace

TEST(TaskCommands, StateRoundTripInsideBlocksCallsAndLoops) {
  headless_game game(deep_listing);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(12);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("restored"), 1);
  EXPECT_EQ(game.int_value("bd"), 3);
  EXPECT_EQ(game.int_value("cd"), 1);
  EXPECT_EQ(game.int_value("ld"), 2);
  EXPECT_EQ(game.int_value("done"), 1);
  EXPECT_EQ(game.int_value("trace"), 133213321332);
  const std::string st = game.text_value("st");
  EXPECT_EQ(st.size(), task_state_fixed_length + 3 * 18 + 20 + 2 * 34 + std::string("sub.txt").size());
  EXPECT_EQ(task_named("w"), nullptr);
}

TEST(TaskCommands, EncodeDecodeRestoresStacksPositionAndScript) {
  headless_game game(deep_listing);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  task_record* w = task_named("w");
  ASSERT_NE(w, nullptr);
  std::string text;
  ASSERT_GT(encode_task_state(text, w), 0);
  task_record* other = task_named("SYSTEM");
  ASSERT_NE(other, nullptr);
  task_record copy;
  ASSERT_EQ(decode_task_state(text, &copy), static_cast<int>(text.size()));
  EXPECT_EQ(copy.block_depth, w->block_depth);
  EXPECT_EQ(copy.call_depth, w->call_depth);
  EXPECT_EQ(copy.loop_depth, w->loop_depth);
  EXPECT_EQ(copy.pc, w->pc);
  EXPECT_EQ(copy.script_number, w->script_number);
  EXPECT_EQ(copy.code, w->code);
  for (int i = 0; i < w->block_depth; ++i) {
    EXPECT_EQ(copy.block_frames[i]->open_index, w->block_frames[i]->open_index);
    EXPECT_EQ(copy.block_frames[i]->end_index, w->block_frames[i]->end_index);
    EXPECT_EQ(copy.block_frames[i]->saved_loop_depth, w->block_frames[i]->saved_loop_depth);
  }
  EXPECT_EQ(copy.call_frames[0]->return_index, w->call_frames[0]->return_index);
  EXPECT_EQ(copy.call_frames[0]->return_script, w->call_frames[0]->return_script);
  EXPECT_NE(copy.call_frames[1], nullptr);  // the callee's frame exists too
  for (int i = 0; i < w->loop_depth; ++i) {
    EXPECT_EQ(copy.loop_frames[i]->counter, w->loop_frames[i]->counter);
    EXPECT_EQ(copy.loop_frames[i]->limit, w->loop_frames[i]->limit);
    EXPECT_EQ(copy.loop_frames[i]->body_start, w->loop_frames[i]->body_start);
  }
  std::string again;
  encode_task_state(again, &copy);
  EXPECT_EQ(again, text);
}

TEST(TaskCommands, MalformedStatesGiveTheDesignedErrorsAndChangeNothing) {
  headless_game game(deep_listing);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  task_record* w = task_named("w");
  ASSERT_NE(w, nullptr);
  std::string good;
  ASSERT_GT(encode_task_state(good, w), 0);
  task_record* target = task_named("SYSTEM");
  const uint32_t pc = target->pc;
  const int8_t depth = target->block_depth;
  auto codes_of = [&](const std::string& text) {
    size_t before = game.errors().size();
    quit_flag = 0;
    EXPECT_EQ(decode_task_state(text, target), -1);
    EXPECT_EQ(target->pc, pc);
    EXPECT_EQ(target->block_depth, depth);
    std::vector<int> got;
    for (size_t i = before; i < game.errors().size(); ++i) got.push_back(game.errors()[i].code);
    return got;
  };
  EXPECT_EQ(codes_of("nonsense"), std::vector<int>({900000}));
  EXPECT_EQ(codes_of(good.substr(0, good.size() - 1)), std::vector<int>({900000}));
  std::string bad = good;
  bad.replace(8, 2, "pp");  // 255 blocks
  EXPECT_EQ(codes_of(bad + std::string(20000, 'a')), std::vector<int>({900000}));
  // Another script name of the same length.
  bad = good;
  bad.replace(bad.size() - 7, 7, "zzz.txt");
  EXPECT_EQ(codes_of(bad), std::vector<int>({102130}));
  // A position past the script's end.
  bad = good;
  bad.replace(bad.size() - 7 - 16, 8, "ppppaaaa");
  EXPECT_EQ(codes_of(bad), std::vector<int>({900000}));
  // The name matches without regard to case.
  bad = good;
  bad.replace(bad.size() - 7, 7, "SUB.TXT");
  quit_flag = 0;
  EXPECT_EQ(decode_task_state(bad, target), static_cast<int>(bad.size()));
  EXPECT_EQ(target->pc, w->pc);
  EXPECT_EQ(target->code, w->code);
}

TEST(TaskCommands, BadStateThroughTheCommand) {
  headless_game game(R"(
script main.txt
*SYSTEM_START
task name="w", label="w", state="not a state"
*w
wait 1
goto w
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.error_codes(), std::vector<int>({900000}));
}

TEST(TaskCommands, StateTextsLongerThanAnArgumentSlotRoundTrip) {
  // 40 calls deep, 63 blocks and 63 loops open: a state text of more than
  // 4,095 bytes, passed through a text variable.
  std::string listing = R"(
script main.txt
global int depth = 0
global int finished = 0
global int length = 0
global string st = ""
global string st2 = ""
*SYSTEM_START
task name="w", label="deep"
wait 3
task_query name="w", output=st, state=1
variable_info variable=st, output=length, length=1
task_delete name="w"
task name="w2", label="deep", state=st
task_query name="w2", output=st2, state=1
*idle
wait 1
goto idle
*deep
call rec()
finished = 1
*deep_idle
wait 1
goto deep_idle
*rec
depth += 1
if depth < 40
  call rec()
  goto rec_out
end
)";
  for (int i = 0; i < 24; ++i) listing += "if 1\n";  // 39 open above: 63
  for (int i = 0; i < 63; ++i) listing += "loop 1\n";
  listing += "wait 20\n";
  for (int i = 0; i < 63 + 24; ++i) listing += "end\n";
  listing += "*rec_out\nreturn\n";
  headless_game game(listing);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(6);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  const int64_t expected = static_cast<int64_t>(task_state_fixed_length + 63 * 18 + 40 * 20 + 63 * 34 + 8);
  EXPECT_EQ(game.int_value("length"), expected);
  EXPECT_GT(expected, 4095);
  EXPECT_EQ(game.text_value("st2"), game.text_value("st"));
  EXPECT_EQ(game.int_value("finished"), 1);
}

// The layout of the demo and of the listing documentation: declarations above
// the `script` line. The game has one script, and a task state that went
// through a save file restores the task where it stood.
TEST(TaskCommands, StateFromASaveFileRestoresInTheDemoLayout) {
  headless_game game(R"(
config title "Layout"
global int scripts = 0
global int steps = 0
global int restored = 0
global string st = ""
global string back = ""
static int from_static = 7

script main.txt
*SYSTEM_START
script_list output=scripts, count=1
task name="w", label="work"
wait 2
task_query name="w", output=st, state=1
save_value file="state", val_id=1, variable=st
task_delete name="w"
load_value file="state", val_id=1, variable=back
task name="w2", label="idle", state=back
restored = 1
*idle
wait 1
goto idle
*work
loop 100
  if from_static == 7
    steps += 1
    wait 1
  end
end
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(6);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("scripts"), 1);
  EXPECT_EQ(game.int_value("restored"), 1);
  EXPECT_EQ(game.text_value("back"), game.text_value("st"));
  // w counted in ticks 1 to 3; w2 goes on inside the same loop and if from
  // the next tick: one step per tick from there.
  const int64_t at_restore = game.int_value("steps");
  game.run_ticks(3);
  EXPECT_EQ(game.int_value("steps"), at_restore + 3);
  task_record* w2 = task_named("w2");
  ASSERT_NE(w2, nullptr);
  EXPECT_EQ(w2->loop_depth, 1);
  EXPECT_EQ(w2->block_depth, 1);
}
