// Argument binding: slots and presence, the 28 range checks at both edges, the
// assignment modes, and damaged instructions.
#include <climits>

#include "resources/command_table.h"
#include "core/engine_config.h"
#include "script/argument_binding.h"
#include "script_test_support.h"
#include "support/argument_list.h"

using namespace script_test;

namespace {

struct bound_instruction : argument_list {
  void add(uint8_t parameter_id, uint8_t value_type, const std::string& source, uint8_t op = 0) {
    add_bytes(parameter_id, value_type, compile(source), op);
  }
};

class ArgumentBinding : public ScriptFixture {
 protected:
  void SetUp() override {
    ScriptFixture::SetUp();
    command_table.commands.assign(40, {});
    command_definition_record& c = command_table.commands[7];
    c.name = "TESTCMD";
    c.parameters = {{"x", param_kind_integer, 12}, {"name", param_kind_string, 0}, {"raw", param_kind_raw, 0},
                    {"y", param_kind_integer, 0},  {"col", param_kind_integer, 25}, {"out", param_kind_integer, 0}};
    command_definition_record& call = command_table.commands[33];
    call.name = "CALL";
    call.parameters = {{"label", param_kind_string, 0}, {"a1", param_kind_integer, 0}};
  }
  void TearDown() override {
    running_instruction = running_instruction_record{};
    ScriptFixture::TearDown();
  }
};

TEST_F(ArgumentBinding, SlotsAndPresence) {
  set_numeric_element(var_m, 3, 200);
  bound_instruction in;
  in.add(3, 1, "m[3] + 1", 2);
  in.add(1, 4, "7 / 2");
  in.add(0, 2, "7 / 2");  // an integer parameter of real value type: truncated
  in.add(2, 1, "1 + 2");
  in.add(5, 1, "`grid[2][1]");
  in.install();
  ASSERT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(7), 0); }), codes({}));
  EXPECT_EQ(command_arg_slots[3], 1);
  EXPECT_EQ(command_arg_slots[1], 2);
  EXPECT_EQ(command_arg_slots[0], 3);
  EXPECT_EQ(command_arg_slots[2], 4);
  EXPECT_EQ(command_arg_slots[4], 0);
  EXPECT_EQ(parameter_int(3), 201);
  EXPECT_EQ(argument_slots.assignment_operator[1], 2u);
  EXPECT_EQ(argument_slots.variable_id[1], var_m);
  EXPECT_EQ(argument_slots.element_index[1], 3);
  EXPECT_STREQ(parameter_text(1), "3.500000");
  EXPECT_EQ(parameter_int(0), 3);
  EXPECT_EQ(argument_slots.raw_pointer[4], in.pool.data() + in.records[3].offset);
  EXPECT_EQ(argument_slots.length[4], in.records[3].length);
  EXPECT_EQ(argument_slots.variable_id[5], var_grid);
  EXPECT_EQ(argument_slots.element_index[5], 9);
  EXPECT_EQ(argument_slots.prefix[5], 1);
  EXPECT_FALSE(parameter_given(4));
  EXPECT_EQ(parameter_int(4, -8), -8);
  EXPECT_STREQ(parameter_text(4), "");
  EXPECT_FALSE(parameter_given(250));
  // The string buffer of a position is kept for the next binding.
  char* buffer = argument_slots.string_value[2];
  ASSERT_EQ(bind_command_arguments(7), 0);
  EXPECT_EQ(argument_slots.string_value[2], buffer);
  // Presence is cleared by the next binding.
  bound_instruction none;
  none.install();
  ASSERT_EQ(bind_command_arguments(7), 0);
  EXPECT_FALSE(parameter_given(3));
}

TEST_F(ArgumentBinding, RangeFailureStopsAtOnce) {
  bound_instruction in;
  in.add(3, 1, "5");
  in.add(0, 1, "257");  // code 12: 0..256
  in.add(1, 3, "\"never\"");
  in.install();
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(7), -1); }), codes({101000}));
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_EQ(parameter_int(3), 5);
  EXPECT_FALSE(parameter_given(1));  // later arguments stay unbound
  bound_instruction colour;
  colour.add(4, 1, "-1");
  colour.install();
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(7), -1); }), codes({101030}));
  bound_instruction evaluation;
  evaluation.add(3, 1, "m[10]");
  evaluation.install();
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(7), -1); }), codes({107010}));
}

TEST_F(ArgumentBinding, DamagedInstructions) {
  auto expect_900030 = [](bound_instruction& in) {
    in.install();
    EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(7), -1); }), codes({900030}));
  };
  bound_instruction past_ids;
  past_ids.add(100, 1, "1");
  expect_900030(past_ids);
  bound_instruction unknown_parameter;
  unknown_parameter.add(6, 1, "1");
  expect_900030(unknown_parameter);
  bound_instruction bad_type;
  bad_type.add(3, 0, "1");
  expect_900030(bad_type);
  bound_instruction bad_string_type;
  bad_string_type.add(1, 5, "\"a\"");
  expect_900030(bad_string_type);
  bound_instruction outside_pool;
  outside_pool.add(3, 1, "1");
  outside_pool.records[0].offset = 2;
  expect_900030(outside_pool);
  bound_instruction huge_offset;
  huge_offset.add(3, 1, "1");
  huge_offset.records[0].offset = 0xFFFFFFFF;
  expect_900030(huge_offset);
  // A command the command file does not describe.
  bound_instruction in;
  in.add(0, 1, "1");
  in.install();
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(39), -1); }), codes({900030}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(500), -1); }), codes({900030}));
}

TEST_F(ArgumentBinding, CallFormEvaluatesTextsInIntegerArithmetic) {
  bound_instruction in;
  in.add(0, 0x12, "str(7 / 2)");  // the label field holds a label number, not a value type
  in.add(1, 1, "40 + 2");
  in.install();
  ASSERT_EQ(bind_call_arguments(33), 0);
  EXPECT_STREQ(parameter_text(0), "3");
  EXPECT_EQ(parameter_int(1), 42);
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(33), -1); }), codes({900030}));
}

TEST_F(ArgumentBinding, RangeChecksAtBothEdges) {
  struct bounds {
    uint32_t code;
    int64_t min, max;
  };
  const bounds u32_codes[] = {{3, 0, 1},       {4, 0, 2},       {5, 0, 3},        {6, 1, 3},     {7, 0, 4},
                              {8, 0, 8},       {9, 1, 8},       {10, 0, 15},      {11, 0, 18},   {12, 0, 256},
                              {13, 1, 256},    {14, 0, 512},    {15, 0, 1024},    {16, 1, 1024}, {17, 128, 1024},
                              {18, 0, 2048},   {19, 1, 2048},   {20, 0, 8192},    {21, 1, 8192}, {22, 16, 8192},
                              {23, 128, 8192}};
  for (const auto& b : u32_codes) {
    EXPECT_EQ(range_check_error(b.code, b.min), 0) << b.code;
    EXPECT_EQ(range_check_error(b.code, b.max), 0) << b.code;
    EXPECT_EQ(range_check_error(b.code, b.min - 1), 101000) << b.code;
    EXPECT_EQ(range_check_error(b.code, b.max + 1), 101000) << b.code;
    EXPECT_EQ(range_check_error(b.code, b.min + (int64_t{1} << 32)), 0) << b.code;  // low 32 bits only
  }
  EXPECT_EQ(range_check_error(12, 4294967296), 0);
  EXPECT_EQ(range_check_error(12, -1), 101000);
  EXPECT_EQ(range_check_error(1, 0), 0);
  EXPECT_EQ(range_check_error(1, -1), 101010);
  EXPECT_EQ(range_check_error(1, INT64_MAX), 0);
  EXPECT_EQ(range_check_error(2, 1), 0);
  EXPECT_EQ(range_check_error(2, 0), 101010);
  EXPECT_EQ(range_check_error(2, -4294967295), 101010);  // signed, all 64 bits
  EXPECT_EQ(range_check_error(24, -1), 0);
  EXPECT_EQ(range_check_error(24, 0xFFFFFF), 0);
  EXPECT_EQ(range_check_error(24, -2), 101020);
  EXPECT_EQ(range_check_error(24, 0x1000000), 101020);
  EXPECT_EQ(range_check_error(24, INT64_MAX), 0);  // value + 1 wraps without a trap; low 32 bits 0
  EXPECT_EQ(range_check_error(25, 0), 0);
  EXPECT_EQ(range_check_error(25, 0xFFFFFF), 0);
  EXPECT_EQ(range_check_error(25, -1), 101030);
  EXPECT_EQ(range_check_error(25, 0x1000000), 101030);
  EXPECT_EQ(range_check_error(28, 0), 0);
  EXPECT_EQ(range_check_error(28, 3), 0);
  EXPECT_EQ(range_check_error(28, -5), 101220);
  EXPECT_EQ(range_check_error(28, -1), 101220);
  EXPECT_EQ(range_check_error(28, 4), 101210);
  for (uint32_t code : {0u, 29u, 200u}) {
    EXPECT_EQ(range_check_error(code, INT64_MIN), 0);
    EXPECT_EQ(range_check_error(code, INT64_MAX), 0);
  }
  // Codes 26 and 27 follow the main window's logical size.
  engine_config.main_width = 800;
  engine_config.main_height = 600;
  EXPECT_EQ(range_check_error(26, 0), 0);
  EXPECT_EQ(range_check_error(26, 799), 0);
  EXPECT_EQ(range_check_error(26, 800), 101000);
  EXPECT_EQ(range_check_error(26, -1), 101000);
  EXPECT_EQ(range_check_error(27, 599), 0);
  EXPECT_EQ(range_check_error(27, 600), 101000);
  engine_facts.main_logical_width = [] { return int64_t{1024}; };
  engine_facts.main_logical_height = [] { return int64_t{16}; };
  EXPECT_EQ(range_check_error(26, 1023), 0);
  EXPECT_EQ(range_check_error(26, 1024), 101000);
  EXPECT_EQ(range_check_error(27, 15), 0);
  EXPECT_EQ(range_check_error(27, 16), 101000);
}

TEST_F(ArgumentBinding, RangeErrorsThroughBinding) {
  command_table.commands[7].parameters[3].range_check = 28;
  const std::pair<const char*, int> cases[] = {{"-5", 101220}, {"4", 101210}, {"3", 0}};
  for (const auto& [source, code] : cases) {
    bound_instruction in;
    in.add(3, 1, source);
    in.install();
    std::vector<int> want;
    if (code) want.push_back(code);
    EXPECT_EQ(reported_codes([] { bind_command_arguments(7); }), want) << source;
  }
  for (const auto& [check, code] : {std::pair{1, 101010}, std::pair{24, 101020}, std::pair{26, 101000}}) {
    command_table.commands[7].parameters[3].range_check = static_cast<uint8_t>(check);
    bound_instruction in;
    in.add(3, 1, "-100000");
    in.install();
    EXPECT_EQ(reported_codes([] { EXPECT_EQ(bind_command_arguments(7), -1); }), codes({code})) << check;
  }
}

TEST_F(ArgumentBinding, AssignModes) {
  EXPECT_EQ(apply_assign_mode(0, 10, 3), 3);
  EXPECT_EQ(apply_assign_mode(1, 10, 3), 13);
  EXPECT_EQ(apply_assign_mode(2, 10, 3), 7);
  EXPECT_EQ(apply_assign_mode(3, 10, 3), 30);
  EXPECT_EQ(apply_assign_mode(4, 10, 3), 3);
  EXPECT_EQ(apply_assign_mode(4, 10, 0), 10);
  EXPECT_EQ(apply_assign_mode(5, 10, 3), 10);
  EXPECT_EQ(apply_assign_mode(1, INT64_MAX, 1), INT64_MIN);
  EXPECT_EQ(apply_assign_mode(2, INT64_MIN, 1), INT64_MAX);
  EXPECT_EQ(apply_assign_mode(3, INT64_MIN, -1), INT64_MIN);
  EXPECT_EQ(apply_assign_mode(4, INT64_MIN, -1), INT64_MIN);

  EXPECT_EQ(apply_assign_mode_clamped(0, 10, 500, 0, 100), 500);  // not clamped
  EXPECT_EQ(apply_assign_mode_clamped(0, 10, -500, 0, 100), -500);
  EXPECT_EQ(apply_assign_mode_clamped(1, 90, 20, 0, 100), 100);
  EXPECT_EQ(apply_assign_mode_clamped(1, -50, 20, 0, 100), -30);  // never raised to min
  EXPECT_EQ(apply_assign_mode_clamped(2, 10, 20, 0, 100), 0);
  EXPECT_EQ(apply_assign_mode_clamped(2, 200, 20, 0, 100), 180);  // never lowered to max
  EXPECT_EQ(apply_assign_mode_clamped(3, 30, 4, 0, 100), 100);
  EXPECT_EQ(apply_assign_mode_clamped(3, 30, -4, 0, 100), 0);
  EXPECT_EQ(apply_assign_mode_clamped(3, 5, 4, 50, 10), 10);  // max tested first
  EXPECT_EQ(apply_assign_mode_clamped(4, 500, 2, 0, 100), 100);
  EXPECT_EQ(apply_assign_mode_clamped(4, -500, 2, 0, 100), 0);
  EXPECT_EQ(apply_assign_mode_clamped(4, 500, 0, 0, 100), 500);  // unclamped old value
  EXPECT_EQ(apply_assign_mode_clamped(7, 500, 1, 0, 100), 500);
  EXPECT_EQ(apply_assign_mode_clamped(1, INT64_MAX, 1, 0, 100), INT64_MIN);  // wraps, then below max

  EXPECT_EQ(apply_assign_mode_min(0, 10, -50, 0), -50);
  EXPECT_EQ(apply_assign_mode_min(1, 10, -50, 0), -40);  // addition is not raised
  EXPECT_EQ(apply_assign_mode_min(2, 10, 50, 0), 0);
  EXPECT_EQ(apply_assign_mode_min(3, 10, -5, 1), 1);
  EXPECT_EQ(apply_assign_mode_min(3, 10, 5, 1), 50);
  EXPECT_EQ(apply_assign_mode_min(4, 10, -5, 1), 1);
  EXPECT_EQ(apply_assign_mode_min(4, 10, 0, 1), 10);
  EXPECT_EQ(apply_assign_mode_min(4, INT64_MIN, -1, 0), 0);  // wraps to INT64_MIN, raised
  EXPECT_EQ(apply_assign_mode_min(9, 10, 5, 100), 10);
}

}  // namespace
