// Control flow run as whole games: blocks, loops, goto, calls, declarations
// and assignment, written as listings and run through the headless harness.
#include <gtest/gtest.h>

#include <string>

#include "app/frame_loop.h"
#include "format/pack_format.h"
#include "script/control_flow.h"
#include "support/headless_game.h"

namespace {

// Every listing ends in this idle loop so the SYSTEM task never runs off its script.
const char* const idle = "\n*idle\nwait 1\ngoto idle\n";

std::string first_error(const headless_game& g) { return g.errors().empty() ? "" : g.errors()[0].text_utf8; }

}  // namespace

TEST(ControlFlow, NestedLoopsWithBreakAndContinue) {
  headless_game game(std::string(R"(
global int outer = 0
global int inner = 0
global int k = 0
global int trace[4] = 0
global int x = 0
global int after = 0
*SYSTEM_START
loop 4
  outer += 1
  if outer == 2
    loop_continue
  end
  loop -1
    inner += 1
    if inner % 3 == 0
      loop_break 1
    end
  end
  if outer == 4
    loop_break
  end
  trace[k] = outer * 100 + inner
  k += 1
end
loop 3
  loop 3
    x += 1
    if x == 5
      loop_break 2
    end
  end
end
after = 1
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("outer"), 4);
  EXPECT_EQ(game.int_value("inner"), 9);
  EXPECT_EQ(game.int_value("k"), 2);
  EXPECT_EQ(game.int_value("trace", 0), 103);
  EXPECT_EQ(game.int_value("trace", 1), 306);
  EXPECT_EQ(game.int_value("x"), 5);
  EXPECT_EQ(game.int_value("after"), 1);
}

TEST(ControlFlow, LoopCountsAndTheLoopCounter) {
  headless_game game(std::string(R"(
global int three = 0
global int zero = 0
global int endless = 0
global int negative = 0
global int counters = 0
*SYSTEM_START
loop 3
  three += 1
  counters = counters * 10 + loop_counter
end
loop 0
  zero += 1
end
loop
  endless += 1
  if endless == 7
    loop_break
  end
end
loop -5
  negative += 1
end
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("three"), 3);
  EXPECT_EQ(game.int_value("counters"), 123);
  EXPECT_EQ(game.int_value("zero"), 0);
  EXPECT_EQ(game.int_value("endless"), 7);
  EXPECT_EQ(game.int_value("negative"), 1);  // any other negative limit runs once
}

TEST(ControlFlow, IfElseIfElseChainsAndBlockBreakContinue) {
  headless_game game(std::string(R"(
global int result[5] = 0
global int i = 0
global int b = 0
global int w = 0
global int only_if = 0
*SYSTEM_START
loop 5
  if i == 0
    result[i] = 10
  elseif i == 1
    result[i] = 11
  elseif i == 2
    result[i] = 12
  else
    result[i] = 99
  end
  i += 1
end
if 0
  only_if = 1
end
if 1
  if 1
    b = 1
    break 2
    b = 2
  end
  b = 3
end
if w < 5
  w += 1
  continue
end
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  const int expected[5] = {10, 11, 12, 99, 99};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(game.int_value("result", k), expected[k]) << k;
  EXPECT_EQ(game.int_value("only_if"), 0);
  EXPECT_EQ(game.int_value("b"), 1);  // break 2 continues after the outer end
  EXPECT_EQ(game.int_value("w"), 5);  // continue re-tests the if
}

TEST(ControlFlow, GotoAcrossAndIntoBlocks) {
  headless_game game(std::string(R"(
global int g = 0
global int after = 0
global int h = 0
global int deep = 0
global int tail = 0
*SYSTEM_START
if 1
  loop 3
    g += 1
    if g == 2
      goto out
    end
  end
end
g = 100
*out
after = g
goto inside
if 0
*inside
  h = 7
end
goto deepest
if 0
  if 0
    if 0
*deepest
      deep = 1
    end
    deep += 10
  end
  deep += 100
end
// the depths are back at 0: a new block and loop still work
loop 2
  if 1
    tail += 1
  end
end
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("after"), 2);
  EXPECT_EQ(game.int_value("h"), 7);
  EXPECT_EQ(game.int_value("deep"), 111);
  EXPECT_EQ(game.int_value("tail"), 2);
}

TEST(ControlFlow, CallsWithIntegerRealAndTextValues) {
  headless_game game(std::string(R"(
global int sum = 0
global int ri = 0
global real rr = 0.0
global string rt = ""
global int given = 9
global int none = 9
global int nested = 0
global int fact = 0
global int r = 0
*SYSTEM_START
call add(2, 3)
sum = ret_int[1]
call mix(7, 1.5, "ab")
ri = ret_int[1]
rr = ret_real[2]
rt = ret_text[3]
given = ret_given[3] * 10 + ret_given[4]
call outer(5, 6)
call fact_of(10)
fact = ret_int[1]
)") + idle + R"(
*add
return arg_int[1] + arg_int[2]
*mix
return arg_int[1] * 2, arg_real[2] * 2.0, arg_text[3] + "cd"
*outer
call bare
nested = arg_int[1] + arg_int[2]
return
*bare
none = arg_given[1] + arg_int[1]
return
*fact_of
r = 1
if arg_int[1] > 1
  call fact_of(arg_int[1] - 1)
  r = ret_int[1] * arg_int[1]
end
return r
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("sum"), 5);
  EXPECT_EQ(game.int_value("ri"), 14);
  EXPECT_DOUBLE_EQ(game.real_value("rr"), 3.0);
  EXPECT_EQ(game.text_value("rt"), "abcd");
  EXPECT_EQ(game.int_value("given"), 10);
  // A call with only its label has no values: its argument count is its flag byte (0).
  EXPECT_EQ(game.int_value("none"), 0);
  EXPECT_EQ(game.int_value("nested"), 11);  // the caller's arguments survive the inner call
  EXPECT_EQ(game.int_value("fact"), 3628800);
}

TEST(ControlFlow, RecursionStopsAtTheNestingLimit) {
  headless_game game(std::string(R"(
global int depth = 0
*SYSTEM_START
call rec
)") + idle + R"(
*rec
depth += 1
call rec
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  ASSERT_EQ(game.error_codes(), std::vector<int>{101600});
  EXPECT_EQ(game.int_value("depth"), 63);  // calls from depths 0..62 succeed
  EXPECT_NE(first_error(game).find("[call] nested deeper than 64 levels."), std::string::npos) << first_error(game);
  EXPECT_TRUE(game.quitting());
}

TEST(ControlFlow, DeclarationsAndAssignment) {
  std::string long_text(100, 'a');
  std::string more(200, 'b');
  headless_game game(std::string(R"(
global int check = 0
global real half = 0.0
global int found = 5
global int missing = 5
global int untouched = 5
*SYSTEM_START
int grid[3][4] = 7
grid[2][3] += 5
real ratio[2] = 1.5
ratio[1] /= 3.0
string words[2] = "x"
words[1] += "yz"
string big = ""
loop 40
  big += ")" + long_text + R"("
end
big += ")" + more + R"("
check = grid[2][3] + grid[0][0]
half = ratio[1]
check += 0
label_exists name="idle", output=found, test=1
label_exists name="nowhere", output=missing, test=1
label_exists name="idle", output=untouched
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("check"), 19);
  EXPECT_DOUBLE_EQ(game.real_value("half"), 0.5);
  EXPECT_EQ(game.text_value("words", 1), "xyz");
  EXPECT_EQ(game.text_value("words", 0), "x");
  // 4000 bytes plus 200 would pass 4095: the element stays as it was.
  EXPECT_EQ(game.text_value("big").size(), 4000u);
  EXPECT_EQ(game.int_value("found"), 1);
  EXPECT_EQ(game.int_value("missing"), 0);
  EXPECT_EQ(game.int_value("untouched"), 5);
}

TEST(ControlFlow, TooLargeDeclarationIsReported) {
  headless_game game(std::string(R"(
*SYSTEM_START
int ok[2000][2000] = 1
int big[2000][2001] = 1
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.error_codes(), std::vector<int>{101100});
  EXPECT_EQ(game.int_value("ok", 3999999), 1);
}

TEST(ControlFlow, MisplacedClosingCommandsAreReported) {
  struct { const char* line; int code; const char* text; } cases[] = {
      {"break", 101300, "[break] without its [if]."},
      {"continue 2", 101300, "[continue] without its [if]."},
      {"loop_break", 101300, "[loop_break] without its [loop]."},
      {"loop_continue", 101300, "[loop_continue] without its [loop]."},
      {"return", 101300, "[return] without its [call]."},  // SYSTEM with no call
      {"goto (\"no_such_label\")", 108180, "Label [no_such_label] not found."},
      {"unused15", 900050, "Unknown command."},
  };
  for (const auto& c : cases) {
    headless_game game(std::string("*SYSTEM_START\nx = 1\n") + c.line + idle + "\nglobal int x = 0\n");
    ASSERT_EQ(game.start(), 0) << c.line;
    game.run_ticks(2);
    ASSERT_EQ(game.error_codes(), std::vector<int>{c.code}) << c.line;
    EXPECT_NE(first_error(game).find(c.text), std::string::npos) << first_error(game);
    EXPECT_TRUE(game.quitting());
    EXPECT_EQ(game.int_value("x"), 1);
  }
}

TEST(ControlFlow, MisplacedElseAndEndReportTheirNames) {
  // The assembler refuses these, so the instructions are put in by hand.
  for (uint8_t command : {uint8_t{35}, uint8_t{38}, uint8_t{11}, uint8_t{48}}) {
    headless_game game(std::string("*SYSTEM_START\nnop9\n") + idle);
    compiled_code_file code = game.assembly().scripts[0].code;
    code.instructions[0].command = command;
    if (command == 11) code.instructions[0].arguments = {code.instructions[1].arguments[0]};
    game.replace_compiled_file("kxbin\\kxt00000.kbn", write_code_file(code, derive_code_file_key()));
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(1);
    EXPECT_EQ(game.error_codes(), std::vector<int>{command == 48 ? 108120 : 101300}) << int(command);
  }
}

TEST(ControlFlow, NopSlotsGoOnInTheSameFrame) {
  headless_game game(std::string(R"(
global int x = 0
*SYSTEM_START
nop9
nop41
nop
x = 1
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty());
  EXPECT_EQ(game.int_value("x"), 1);
}

TEST(ControlFlow, FrameRateAndRunSettings) {
  headless_game game(std::string(R"(
*SYSTEM_START
frame_rate fps=30, frame_skip=1
run_settings input_a=4, input_b=5, switch=1
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty());
  EXPECT_EQ(pacing_state.frames_per_second, 30);
  EXPECT_EQ(pacing_state.frame_skip, 1);
  EXPECT_EQ(run_settings.input_setting_a, 4);
  EXPECT_EQ(run_settings.input_setting_b, 5);
  EXPECT_EQ(run_settings.pending_state, 1);
  EXPECT_EQ(run_settings.switch_active, 1);
}

TEST(ControlFlow, FrameRateOutsideItsRangeIsAnArgumentError) {
  headless_game game(std::string("*SYSTEM_START\nframe_rate fps=0\n") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.error_codes(), std::vector<int>{101000});
}
