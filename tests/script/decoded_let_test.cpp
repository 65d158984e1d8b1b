// Lets of the common shape, integer arguments of one literal or variable, and
// calls and returns of integer values run from their decoded forms; every
// case must end exactly as the general path ends it: the same values, the
// same reports. Each listing runs twice, decoded and with the decoded forms
// taken away.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/engine_config.h"
#include "script/control_flow.h"
#include "script/decoded_commands.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/system_values.h"
#include "script/task.h"
#include "support/headless_game.h"

namespace {

struct outcome {
  std::vector<int64_t> ints;
  std::vector<double> reals;
  std::vector<std::string> texts;
  std::vector<int> errors;
  size_t decoded = 0;
  size_t decoded_transfers = 0;  // calls and returns
};

const char* const declarations = R"(
global int x = 0
global int y = 7
global int z = -3
global int big = 0x7FFFFFFFFFFFFFFF
global int least = 0
global int zero = 0
global int minus = -1
global int i = 1
global int j = 2
global real r = 2.75
global real rr = 0.0
global string t = "text"
global int a[4][5]
global real ra[3]
global int out[40]
)";

const char* const default_labels = "*f\nreturn arg_int[1], arg_int[2], arg_int[3], arg_int[4], arg_int[5]\n";

// Takes the decoded forms away from every loaded script: the general
// handlers and no decoded argument records.
void strip_decoded_forms() {
  for (auto& code : script_file_records.codes) {
    if (!code) continue;
    for (uint32_t pc = 0; pc < code->instruction_count; ++pc)
      code->handlers[1][pc] = command_handler_for(code->commands[pc]);
    code->decoded_arguments.clear();
  }
}

// Runs with the debug switch on: the scheduler's loop with the debug escape.
bool with_debug_switch = false;

// `decoded_ticks`: with `decoded`, the ticks that run decoded before the forms
// are taken away (the rest run general); -1 runs every tick decoded.
// `task_values`: replaces the task value hook once the game has started.
outcome run(const std::string& body, bool decoded, const std::string& labels = default_labels, int ticks = 2,
            int decoded_ticks = -1, int64_t (*task_values)(uint32_t, int64_t) = nullptr) {
  headless_game game(std::string(declarations) + "*SYSTEM_START\n" + body + "\n*idle\nwait 1\ngoto idle\n" + labels);
  outcome o;
  if (game.start() != 0) return o;
  if (task_values) engine_facts.task_int_value = task_values;
  if (with_debug_switch) engine_config.debug_switch = 1;
  for (auto& code : script_file_records.codes) {
    if (!code) continue;
    o.decoded += code->lets.size();
    for (const decoded_argument& a : code->decoded_arguments) o.decoded += a.kind != 0;
    for (uint32_t pc = 0; pc < code->instruction_count; ++pc)
      if ((code->commands[pc] == 33 || code->commands[pc] == 66) &&
          code->handlers[1][pc] != command_handler_for(code->commands[pc]))
        ++o.decoded_transfers;
  }
  if (!decoded) strip_decoded_forms();
  if (decoded && decoded_ticks >= 0) {
    game.run_ticks(decoded_ticks);
    strip_decoded_forms();
    ticks -= decoded_ticks;
  }
  game.run_ticks(ticks);
  for (const char* name : {"x", "y", "z", "big", "least", "zero", "minus", "i", "j"}) o.ints.push_back(game.int_value(name));
  for (int k = 0; k < 20; ++k) o.ints.push_back(game.int_value("a", k));
  for (int k = 0; k < 40; ++k) o.ints.push_back(game.int_value("out", k));
  o.reals = {game.real_value("r"), game.real_value("rr"), game.real_value("ra", 0), game.real_value("ra", 2)};
  o.texts = {game.text_value("t")};
  o.errors = game.error_codes();
  return o;
}

outcome expect_same(const std::string& body, bool expect_decoded = true, const std::string& labels = default_labels) {
  SCOPED_TRACE(body + labels);
  outcome fast = run(body, true, labels), general = run(body, false, labels);
  if (expect_decoded) {
    EXPECT_GT(fast.decoded, 0u) << "nothing was decoded";
  }
  EXPECT_EQ(fast.ints, general.ints);
  EXPECT_EQ(fast.reals, general.reals);
  EXPECT_EQ(fast.texts, general.texts);
  EXPECT_EQ(fast.errors, general.errors);
  return fast;
}

TEST(DecodedLet, EveryOperatorAndAssignmentMatchesTheGeneralHandler) {
  expect_same(R"(
out[0] = y + z
out[1] = y - z
out[2] = y * z
out[3] = y / z
out[4] = y % z
out[5] = y & z
out[6] = y | z
out[7] = y ^ z
out[8] = y / zero
out[9] = y % zero
out[10] = y % minus
least = big + 1
out[11] = least / minus
out[12] = big * big
out[13] = big + big
out[14] = least - 1
out[15] = r
out[16] = r + 1
out[17] = r * y
out[18] = -5
out[19] = 300
out[20] = 70000
out[21] = 0x123456789
x = 100
x += y
x -= z
x *= y
x /= zero
x /= z
x %= zero
x %= y
x &= 6
x |= 9
x ^= y
out[22] = x
)");
}

TEST(DecodedLet, ArraysWithIndexesInsideAndOutside) {
  expect_same(R"(
a[1][2] = 5
a[i][j] += 4
a[j][i] = a[i][j] * 3
a[3][4] = a[1][2] - a[j][i]
a[i][4] = y
a[4][0] = 9
a[0][5] = 9
a[minus][0] = 9
a[r][1] = 11
out[30] = a[r][j] + 1
out[31] = a[1][2]
out[32] = ra[1] + 2
x = a
)");
}

TEST(DecodedLet, OtherTargetsAndValuesTakeTheGeneralPath) {
  expect_same(R"(
rr = y + 1
ra[2] = y * 2
t = y
out[33] = #y + `z
out[34] = loop_counter + 1
)");
  // Reported errors: an index outside the array on the value side, a text
  // in arithmetic, a variable that does not exist.
  expect_same("x = a[4][0] + 1", true);
  expect_same("x = a[t][0]", true);
  expect_same("x = t + 1", true);
  expect_same("x = @5000 + 1", false);
}

// Random lets of the decoded shapes (and a few beyond them): operands drawn
// from integer, real and text variables, array elements with indexes inside
// and outside, and literals of every width; every operator and assignment.
// Lines that report end the run, so each batch is made of lines that cannot
// fail, plus single lines that may.
TEST(DecodedLet, RandomLetsMatchTheGeneralHandler) {
  std::mt19937 rng(17);
  auto pick = [&](std::initializer_list<const char*> v) { return std::string(*(v.begin() + rng() % v.size())); };
  auto index = [&](bool inside) {
    if (inside) return pick({"0", "1", "2", "i", "j"});
    return pick({"4", "5", "-1", "minus", "y", "big"});
  };
  auto operand = [&](bool safe) {
    switch (rng() % 5) {
      case 0: return pick({"x", "y", "z", "big", "least", "zero", "minus", "i", "j", "r", "#y", "`z"});
      case 1: return pick({"0", "7", "-128", "300", "-70000", "0x7FFFFFFF", "0x123456789AB"});
      case 2: return "a[" + index(true) + "][" + index(true) + "]";
      case 3: return "ra[" + index(true) + "]";
      default: return safe ? std::string("out[" + index(true) + "]") : "a[" + index(false) + "][0]";
    }
  };
  auto target = [&]() {
    switch (rng() % 4) {
      case 0: return pick({"x", "y", "z", "least", "i"});
      case 1: return "a[" + index(true) + "][" + index(rng() % 4 != 0) + "]";
      case 2: return "out[" + index(true) + "]";
      default: return pick({"rr", "ra[1]"});
    }
  };
  const char* ops[] = {"+", "-", "*", "/", "%", "&", "|", "^"};
  const char* assigns[] = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^="};
  for (int batch = 0; batch < 6; ++batch) {
    std::string body;
    for (int line = 0; line < 40; ++line) {
      std::string value = operand(true);
      if (rng() % 3) value += std::string(" ") + ops[rng() % 8] + " " + operand(true);
      body += target() + " " + assigns[rng() % 9] + " " + value + "\n";
    }
    expect_same(body);
  }
  for (int k = 0; k < 6; ++k) expect_same("x = " + operand(false) + " + " + operand(false), false);
}

TEST(DecodedLet, IntegerArgumentsOfOneLiteralOrVariable) {
  expect_same(R"(
call f(y, 7, int r, -300, #z)
out[0] = ret_int[1]
out[1] = ret_int[2]
out[2] = ret_int[3]
out[3] = ret_int[4]
out[4] = ret_int[5]
call f(big, 0x123456789, int ra[0], minus)
out[5] = ret_int[1]
out[6] = ret_int[2]
out[7] = ret_int[3]
out[8] = ret_int[4]
loop y
  out[9] += 1
end
)");
  expect_same("call f(int t, 1)\nout[0] = ret_int[1]", true);
}

// Calls and returns: recursion (to the nesting limit), values that differ in
// kind and number from call to call of one label, label-only calls, values
// not given, values read from the call and return slots (inside and outside
// them), and calls the decoded form cannot take (dynamic labels, reals and
// texts) between decoded ones.
TEST(DecodedCall, CallsAndReturnsMatchTheGeneralHandlers) {
  const char* const labels = R"(
*sum
if arg_int[1] == 0
  return arg_int[2], arg_int[3] + 1
end
call sum(arg_int[1] - 1, arg_int[2] + arg_int[1], arg_int[3] + 1)
return ret_int[1], ret_int[2]
*pair
x = arg_real[1] + 1
return arg_int[1] * 10, arg_int[2], arg_given[2], arg_real[1]
*echo
return arg_int[1]
*deep
call deep(arg_int[1] + 1)
return 0
*idle2
return
)";
  struct listing {
    const char* body;
    bool decodes;  // a decoded call or return runs
  };
  const listing cases[] = {
      {"call sum(5, 0, 0)\nout[0] = ret_int[1]\nout[1] = ret_int[2]\nout[2] = ret_given[1]\nout[3] = ret_given[3]", true},
      {R"(call pair(y, z)
out[0] = ret_int[1]
out[1] = ret_int[2]
out[2] = ret_int[3]
call pair(7)
out[3] = ret_int[2]
out[4] = ret_int[3]
call pair
out[5] = ret_int[1]
out[6] = ret_int[2]
call pair(real 2.5, text t)
out[7] = ret_int[1]
out[8] = ret_int[4]
call pair(i + j, r)
out[9] = ret_int[1]
out[10] = ret_int[2]
call pair(big * 2, y % zero)
out[11] = ret_int[1]
out[12] = ret_int[2]
out[13] = x)",
       true},
      // A label found by name when the call runs, then the same label decoded.
      {"t = \"echo\"\ncall (t)(y)\nout[0] = ret_int[1]\ncall echo(z)\nout[1] = ret_int[1]\nout[2] = ret_int[2]", true},
      // Slots outside the call's values, and outside the system records.
      {"call echo(1)\nout[0] = ret_int[0]\nout[1] = ret_int[16]", true},
      {"call echo(1)\nout[0] = ret_int[17]", true},
      {"call echo(1)\nx = arg_int[1]\nout[0] = ret_int[1] + arg_int[1]", true},
      // A return with no call ends the task (SYSTEM: reported).
      {"call idle2\nreturn 5", true},
      // Recursion to the nesting limit: 101600 at the 64th call.
      {"call deep(1)", true},
  };
  for (const listing& c : cases) {
    outcome fast = expect_same(c.body, false, labels);
    if (c.decodes) {
      EXPECT_GT(fast.decoded_transfers, 0u) << c.body;
    }
  }
}

// A loop of calls keeps every iteration's values apart: the frame slots are
// reused, never carried from one call to the next.
TEST(DecodedCall, RepeatedCallsReuseTheirFrames) {
  expect_same(R"(
i = 0
loop 30
  call pair(i, i * 3)
  out[i] = ret_int[1] + ret_int[2]
  if i % 2 == 0
    call pair(i)
    out[i] += ret_int[2] + ret_int[3]
  end
  i += 1
end
)", true, "*pair\nreturn arg_int[1], arg_int[2], arg_given[2]\n");
}

// The scheduler runs the decoded forms in its own loop, which has a second
// version for the debug switch: that one must run them alike.
TEST(DecodedCall, TheDebugSwitchLoopRunsThemAlike) {
  const std::string labels = "*pair\nreturn arg_int[1] * 10 + arg_int[2], arg_int[2]\n*deep\ncall deep(1)\n";
  const char* const bodies[] = {
      "i = 0\nloop 5\n  call pair(i, y)\n  out[i] = ret_int[1] - ret_int[2]\n  i += 1\nend",
      "a[1][2] = y * z\nx = a[1][2] % 4\nreturn 3",
      "call deep",  // to the nesting limit: 101600
  };
  for (const char* body : bodies) {
    const outcome plain = run(body, true, labels);
    with_debug_switch = true;
    const outcome debug = expect_same(body, true, labels);
    with_debug_switch = false;
    EXPECT_EQ(debug.ints, plain.ints);
    EXPECT_EQ(debug.errors, plain.errors);
  }
}

// The decoded lets write =, += and -= into the element themselves: values
// that wrap, elements outside the variable (left alone), and targets of other
// types (the general handler) must end as the assignment table ends them.
TEST(DecodedLet, DirectAssignmentsMatchTheTable) {
  const outcome o = expect_same(R"(
x = big
x += 1
out[0] = x
x -= 1
out[1] = x
least = 0
least -= big
least -= 2
out[2] = least
a[4][0] = 5
a[0][5] += 5
a[minus][1] -= 5
a[3][4] -= big
out[3] = a[3][4]
out[39] += out[39] + 1
out[40] = 1
out[-1] += 1
rr += y
ra[1] -= z
x = 3
x *= y
out[4] = x
)");
  EXPECT_TRUE(o.errors.empty());
  const int64_t big = 0x7FFFFFFFFFFFFFFF;
  EXPECT_EQ(o.ints[9 + 20 + 0], -big - 1);  // out[0]: wrapped
  EXPECT_EQ(o.ints[9 + 20 + 1], big);
  EXPECT_EQ(o.ints[9 + 20 + 2], big);  // 0 - big - 2 wraps
  EXPECT_EQ(o.ints[9 + 20 + 4], 21);
}

// A call into a label of another script switches the running code inside
// the task's turn, and the return switches it back: the dispatch must follow
// both ways, decoded or not.
TEST(DecodedCall, CallsIntoAnotherScriptAndBack) {
  const char* const labels = R"(
script other.txt
*twice
return arg_int[1] * 2, arg_int[2]
*again
call twice(arg_int[1] + 1, 5)
return ret_int[1] + ret_int[2]
)";
  outcome fast = expect_same(R"(
i = 0
loop 12
  call twice(i, i + 1)
  out[i] = ret_int[1] + ret_int[2]
  call again(i)
  out[i + 12] = ret_int[1]
  i += 1
end
)", true, labels);
  EXPECT_EQ(fast.ints[9 + 20 + 3], 3 * 2 + 4);  // out[3]
  EXPECT_EQ(fast.ints[9 + 20 + 15], (3 + 1) * 2 + 5);  // out[15]
}

// A task whose turns span several ticks: taking the decoded forms away
// between two turns (the script's arrays change under the running task) must
// be seen by the next turn, which then runs the general handlers to the same
// end as a run that was general throughout.
TEST(DecodedCall, ArraysChangedBetweenTurnsAreSeen) {
  const std::string body = R"(
i = 0
loop 8
  call pair(i, 3)
  out[i] = ret_int[1] + ret_int[2]
  i += 1
  wait 1
end
)";
  const std::string labels = "*pair\nreturn arg_int[1] * 10, arg_int[2]\n";
  const outcome general = run(body, false, labels, 12);
  for (int decoded_ticks : {1, 3, 6}) {
    SCOPED_TRACE(decoded_ticks);
    const outcome mixed = run(body, true, labels, 12, decoded_ticks);
    EXPECT_EQ(mixed.ints, general.ints);
    EXPECT_EQ(mixed.errors, general.errors);
  }
  EXPECT_EQ(general.ints[9 + 20 + 7], 73);  // out[7]
}

}  // namespace

namespace {

// arg_int and ret_int by a literal index, read straight from the call frames
// by the decoded forms: indexes inside and outside the values given, both in
// lets and in the values of calls and returns; and the same reads through a
// task value hook other than the scheduler's.
TEST(DecodedCall, CallValuesByLiteralIndexMatchTheGeneralPath) {
  const char* const labels = R"(
*f
return arg_int[1] - arg_int[2], arg_int[3] + arg_int[0], arg_int[16] * 2
*g
x = arg_int[2] + 1
call f(arg_int[1] * 3, arg_int[2])
return ret_int[1], ret_int[3] + ret_int[2]
)";
  const char* const bodies[] = {
      "call f(y, z, 4)\nout[0] = ret_int[1]\nout[1] = ret_int[2] + ret_int[3]\nout[2] = ret_int[4]",
      "call f(y)\nout[0] = ret_int[1] + ret_int[2]\nout[1] = ret_int[16]\nout[2] = ret_int[0] - 1",
      "call g(y, z)\nout[0] = ret_int[1] * ret_int[2]\nout[1] = x\nout[2] = arg_int[1]",
      "call g(big, big)\nout[0] = ret_int[1]\nout[1] = ret_int[2]\nout[2] = ret_given[2]",
      "call f(1, 2)\nout[0] = ret_int[-1]",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    expect_same(body, true, labels);
    static int64_t (*const hook)(uint32_t, int64_t) = [](uint32_t id, int64_t element) {
      return static_cast<int64_t>(id) * 1000 + element;
    };
    const outcome fast = run(body, true, labels, 2, -1, hook), general = run(body, false, labels, 2, -1, hook);
    EXPECT_EQ(fast.ints, general.ints);
    EXPECT_EQ(fast.errors, general.errors);
  }
}

}  // namespace

namespace {

// Calls and returns of all sixteen values, then fewer and none: the slots
// each one fills, clears or leaves are those the general handlers leave.
TEST(DecodedCall, WideCallsAndTheSlotsLaterCallsLeave) {
  std::string values, returns, reads;
  for (int k = 1; k <= call_value_count; ++k) {
    values += (k > 1 ? ", " : "") + std::to_string(k * 7 - 50);
    returns += (k > 1 ? ", arg_int[" : "arg_int[") + std::to_string(k) + "] * 2";
    reads += "out[i] = ret_int[" + std::to_string(k) + "] + arg_int[" + std::to_string(k) + "]\ni += 1\n";
  }
  const std::string labels = "*w\nreturn " + returns + "\n*n\nreturn\n";
  const std::string cases[] = {
      "i = 0\ncall w(" + values + ")\n" + reads,
      "i = 0\ncall w(" + values + ")\ncall w(y, z)\n" + reads,
      "i = 0\ncall w(" + values + ")\ncall w\n" + reads,
      "i = 0\ncall w(" + values + ")\ncall n\n" + reads,
  };
  for (const std::string& body : cases) {
    const outcome fast = expect_same(body, true, labels);
    EXPECT_GT(fast.decoded_transfers, 0u);
    EXPECT_TRUE(fast.errors.empty());
  }
}

}  // namespace

namespace {

// The scheduler's loop runs the decoded forms itself: it hands their records
// over, and writes the evaluator's result state, only when something could
// read them, and goes on from the position a form leaves. Each form's own
// handler does all of it at once; run as an ordinary handler (through these
// wrappers, which the loop does not know), it is the reference.
int wrapped_let() { return cmd_let_decoded(); }
int wrapped_call() { return cmd_call_decoded(); }
int wrapped_return() { return cmd_return_decoded(); }
int wrapped_loop_end() { return cmd_loop_end(); }

// What a task value hook sees of the evaluator each time it is asked.
struct result_snapshot {
  uint32_t depth, next_string_slot, level;
  int mode;
  uint8_t integer_arithmetic, not_constant, failed, last_whole_array, last_prefix;
  uint32_t target_index_count, last_variable_id;
  int64_t last_element, value;
  double real_value;
  uint16_t tag;
  bool operator==(const result_snapshot&) const = default;
};
std::vector<result_snapshot> seen;

int64_t snapshot_hook(uint32_t id, int64_t element) {
  const expression_state_record& st = expression_state;
  seen.push_back({st.depth, st.next_string_slot, st.level, st.mode, st.integer_arithmetic, st.not_constant, st.failed,
                  st.last_whole_array, st.last_prefix, st.target_index_count, st.last_variable_id, st.last_element,
                  st.stack[0].int_value, st.stack[0].real_value, st.stack[0].tag});
  return static_cast<int64_t>(id) * 100 + element;
}

struct loop_outcome {
  outcome o;
  std::vector<result_snapshot> seen;
  uint64_t instructions = 0;
};

loop_outcome run_loop(const std::string& body, const std::string& labels, bool wrapped, bool hook) {
  headless_game game(std::string(declarations) + "*SYSTEM_START\n" + body + "\n*idle\nwait 1\ngoto idle\n" + labels);
  loop_outcome r;
  if (game.start() != 0) return r;
  if (hook) engine_facts.task_int_value = snapshot_hook;
  if (wrapped) {
    for (auto& code : script_file_records.codes) {
      if (!code) continue;
      for (command_handler& h : code->handlers[1]) {
        if (h == &cmd_let_decoded) h = wrapped_let;
        else if (h == &cmd_call_decoded) h = wrapped_call;
        else if (h == &cmd_return_decoded) h = wrapped_return;
        else if (h == &cmd_loop_end) h = wrapped_loop_end;
      }
    }
  }
  seen.clear();
  const uint64_t before = scheduler_state.instructions;
  game.run_ticks(2);
  r.instructions = scheduler_state.instructions - before;
  r.seen = seen;
  for (const char* name : {"x", "y", "z", "i", "j"}) r.o.ints.push_back(game.int_value(name));
  for (int k = 0; k < 40; ++k) r.o.ints.push_back(game.int_value("out", k));
  r.o.errors = game.error_codes();
  return r;
}

TEST(DecodedLoop, TheLoopActsAsTheFormsOwnHandlers) {
  const char* const labels = R"(
*add
return arg_int[1] + arg_int[2]
*three
return arg_int[3], arg_int[1] - arg_int[2], 7
*steps
x += 1
x -= 2
x = 5
return x
*loops
loop arg_int[1]
  j += 1
end
return j
)";
  const char* const bodies[] = {
      // The benchmark's call loop, and calls of one, two and three values.
      "i = 0\nloop 50\n  call add(i, 2)\n  out[0] = ret_int[1]\n  i += 1\nend",
      "call three(y, z, 4)\nout[0] = ret_int[1]\nout[1] = ret_int[2]\nout[2] = ret_int[3]\ncall add(y)\nout[3] = ret_int[1]",
      // Literal steps (=, +=, -=) and the other assignments beside them.
      "x = 3\nx += 4\nx -= 10\nout[0] = x\nx *= 3\nout[1] = x\ncall steps\nout[2] = ret_int[1] + x",
      // Loops ending, nested in calls.
      "i = 0\nloop 3\n  call loops(i)\n  out[i] = ret_int[1]\n  i += 1\nend",
      // Values the general path evaluates between decoded forms.
      "t = \"a\"\ni = 2\ncall add(i, 3)\nt += \"b\"\nout[0] = ret_int[1]\ni -= 1",
      "call add(1, 2)\nt = \"a\"\ni -= 1\nout[0] = ret_int[1]\nt = \"b\"\ncall add(i, arg_int[2])",
      // Errors part-way: a return without a call, too deep a recursion.
      "i = 4\nreturn i",
  };
  size_t hook_calls = 0;
  for (const char* body : bodies) {
    for (bool hook : {false, true}) {
      SCOPED_TRACE(std::string(body) + (hook ? " (hook)" : ""));
      const loop_outcome loop = run_loop(body, labels, false, hook), handlers = run_loop(body, labels, true, hook);
      EXPECT_EQ(loop.o.ints, handlers.o.ints);
      EXPECT_EQ(loop.o.errors, handlers.o.errors);
      EXPECT_EQ(loop.instructions, handlers.instructions);
      EXPECT_TRUE(loop.seen == handlers.seen);
      hook_calls += loop.seen.size();
    }
  }
  EXPECT_GT(hook_calls, 0u);
}

}  // namespace
