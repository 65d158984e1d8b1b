// The evaluator: every operator in both arithmetics, texts and conversions,
// variables, targets and last references, and hostile record strings.
#include <climits>
#include <cstring>

#include "script_test_support.h"

using namespace script_test;

namespace {

class Expression : public ScriptFixture {};

std::vector<uint8_t> rec(uint8_t op, std::vector<uint8_t> payload = {}) {
  std::vector<uint8_t> out;
  append_expression_record(out, op, payload);
  return out;
}
std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
std::vector<uint8_t> lit(int64_t v) {
  std::vector<uint8_t> out;
  append_integer_literal(out, v);
  return out;
}
std::vector<uint8_t> text_lit(const std::string& payload_without_delimiters, bool close = true) {
  std::vector<uint8_t> p = {'"'};
  p.insert(p.end(), payload_without_delimiters.begin(), payload_without_delimiters.end());
  if (close) p.push_back('"');
  return rec('M', p);
}
std::string eval_text(const std::vector<uint8_t>& b) {
  char buffer[string_slot_size];
  int n = eval_to_string(buffer, b.data(), static_cast<uint32_t>(b.size()));
  return n < 0 ? "<failed>" : std::string(buffer, static_cast<size_t>(n));
}

TEST_F(Expression, IntegerOperators) {
  EXPECT_EQ(int_of("7 + 5"), 12);
  EXPECT_EQ(int_of("7 - 10"), -3);
  EXPECT_EQ(int_of("6 * -7"), -42);
  EXPECT_EQ(int_of("-7 / 2"), -3);  // truncates toward zero
  EXPECT_EQ(int_of("-7 % 3"), -1);  // sign of the dividend
  EXPECT_EQ(int_of("7 % -3"), 1);
  EXPECT_EQ(int_of("7 / 0"), 0);
  EXPECT_EQ(int_of("7 % 0"), 0);
  EXPECT_EQ(int_of("3 == 3"), 1);
  EXPECT_EQ(int_of("3 == 4"), 0);
  EXPECT_EQ(int_of("3 != 4"), 1);
  EXPECT_EQ(int_of("3 != 3"), 0);
  EXPECT_EQ(int_of("-1 > 0"), 0);  // signed comparison
  EXPECT_EQ(int_of("4 > 3"), 1);
  EXPECT_EQ(int_of("-1 < 0"), 1);
  EXPECT_EQ(int_of("3 >= 3"), 1);
  EXPECT_EQ(int_of("2 >= 3"), 0);
  EXPECT_EQ(int_of("3 <= 3"), 1);
  EXPECT_EQ(int_of("4 <= 3"), 0);
  EXPECT_EQ(int_of("2 && -5"), 1);
  EXPECT_EQ(int_of("2 && 0"), 0);
  EXPECT_EQ(int_of("0 || 0"), 0);
  EXPECT_EQ(int_of("0 || 9"), 1);
  EXPECT_EQ(int_of("12 & 10"), 8);
  EXPECT_EQ(int_of("12 | 3"), 15);
  EXPECT_EQ(int_of("12 ^ 10"), 6);
  EXPECT_EQ(int_of("-(3 + 4)"), -7);
  EXPECT_EQ(int_of("!0 + !5"), 1);
  EXPECT_EQ(int_of("1 + 2 * 3 - 8 / 4"), 5);
  EXPECT_EQ(int_of("0x7FFFFFFFFFFFFFFF"), INT64_MAX);
  EXPECT_EQ(int_of("2.9"), 2);  // a real literal in integer arithmetic
  // The separator does nothing.
  auto b = cat({lit(4), rec(','), lit(5), rec('+')});
  EXPECT_EQ(eval_to_int(b.data(), static_cast<uint32_t>(b.size())), 9);
  EXPECT_EQ(quit_flag.load(), 0);
}

TEST_F(Expression, IntegerWrapAroundWithoutTraps) {
  EXPECT_EQ(int_of("-9223372036854775808 / -1"), INT64_MIN);
  EXPECT_EQ(int_of("-9223372036854775808 % -1"), 0);
  EXPECT_EQ(int_of("9223372036854775807 + 1"), INT64_MIN);
  EXPECT_EQ(int_of("-9223372036854775808 - 1"), INT64_MAX);
  EXPECT_EQ(int_of("0x4000000000000000 * 4"), 0);
  EXPECT_EQ(int_of("-(-9223372036854775808)"), INT64_MIN);
  // A real beyond int64 saturates when it becomes an integer.
  EXPECT_EQ(int_of("1e300"), INT64_MAX);
  EXPECT_EQ(int_of("-1e300"), INT64_MIN);
}

TEST_F(Expression, RealOperators) {
  EXPECT_DOUBLE_EQ(real_of("1.5 + 2"), 3.5);
  EXPECT_DOUBLE_EQ(real_of("1.5 - 2"), -0.5);
  EXPECT_DOUBLE_EQ(real_of("1.5 * 3"), 4.5);
  EXPECT_DOUBLE_EQ(real_of("7 / 2"), 3.5);
  EXPECT_DOUBLE_EQ(real_of("7.0 / 0.0"), 0.0);
  EXPECT_DOUBLE_EQ(real_of("5 % 3"), 5.0);  // integer-only operators leave the left operand
  EXPECT_DOUBLE_EQ(real_of("12 & 10"), 12.0);
  EXPECT_DOUBLE_EQ(real_of("12 | 3"), 12.0);
  EXPECT_DOUBLE_EQ(real_of("12 ^ 10"), 12.0);
  EXPECT_DOUBLE_EQ(real_of("0.5 > 0.25"), 1.0);
  EXPECT_DOUBLE_EQ(real_of("0.5 < 0.25"), 0.0);
  EXPECT_DOUBLE_EQ(real_of("0.5 >= 0.5"), 1.0);
  EXPECT_DOUBLE_EQ(real_of("0.5 <= 0.4"), 0.0);
  EXPECT_DOUBLE_EQ(real_of("0.5 == 0.5"), 1.0);
  EXPECT_DOUBLE_EQ(real_of("0.5 != 0.5"), 0.0);
  EXPECT_DOUBLE_EQ(real_of("0.5 && 0.25"), 1.0);  // nonzero, not truncated
  EXPECT_DOUBLE_EQ(real_of("0.0 || 0.0"), 0.0);
  EXPECT_DOUBLE_EQ(real_of("-(2.5)"), -2.5);
  // Integer arithmetic converted: the entry for real results of integer values.
  auto b = compile("7 / 2");
  EXPECT_DOUBLE_EQ(eval_int_as_float(b.data(), static_cast<uint32_t>(b.size())), 3.0);
  EXPECT_DOUBLE_EQ(eval_to_float_alt(b.data(), static_cast<uint32_t>(b.size())), 3.5);
}

TEST_F(Expression, TextJoinAndCompare) {
  EXPECT_EQ(text_of("\"ab\" + \"cd\""), "abcd");
  EXPECT_EQ(int_of("\"abc\" == \"abc\""), 1);
  EXPECT_EQ(int_of("\"abc\" == \"abd\""), 0);
  EXPECT_EQ(int_of("\"abc\" != \"ab\""), 1);
  EXPECT_DOUBLE_EQ(real_of("\"abc\" == \"abc\""), 1.0);
  // A join reaching 4096 bytes leaves the left text as it was.
  std::string a(3000, 'a'), b(3000, 'b');
  EXPECT_EQ(text_of("\"" + a + "\" + \"" + b + "\""), a);
  std::string c(4095 - 3000, 'c');
  EXPECT_EQ(text_of("\"" + a + "\" + \"" + c + "\"").size(), 4095u);
  std::string d(4096 - 3000, 'd');
  EXPECT_EQ(text_of("\"" + a + "\" + \"" + d + "\""), a);
}

TEST_F(Expression, TextAndNumberMixedFail) {
  for (const char* src : {"\"a\" + 1", "1 + \"a\"", "\"a\" == 1", "2 != \"a\"", "\"a\" > 1", "\"a\" - \"b\"",
                          "\"a\" * 2", "-\"a\"", "m[\"a\"]"}) {
    auto b = compile(src);
    EXPECT_EQ(fail_codes(b), codes({160010})) << src;
    EXPECT_EQ(quit_flag.load(), 1);
  }
}

TEST_F(Expression, NumberToText) {
  EXPECT_EQ(text_of("str(-42)"), "-42");
  EXPECT_EQ(text_of("str(7 / 2)"), "3");
  EXPECT_EQ(text_of("str(7 / 2)", result_mode_text_real), "3.500000");
  EXPECT_EQ(text_of("\"n=\" + str(12)"), "n=12");
  // A number left as the text result is given as its text.
  EXPECT_EQ(text_of("5 * 5"), "25");
  EXPECT_EQ(text_of(""), "");
}

TEST_F(Expression, TextToNumber) {
  EXPECT_EQ(int_of("num(\"0x1F\")"), 31);
  EXPECT_EQ(int_of("num(\"0x1Fh\")"), 31);
  EXPECT_EQ(int_of("num(\"0xffH\")"), 255);
  EXPECT_EQ(int_of("num(\"0xFFFFFFFFFFFFFFFF\")"), -1);
  EXPECT_DOUBLE_EQ(real_of("num(\"0x10\")"), 16.0);
  EXPECT_EQ(int_of("num(\"123\")"), 123);
  EXPECT_EQ(int_of("num(\"-45\")"), -45);
  EXPECT_EQ(int_of("num(\"12.7\")"), 12);
  EXPECT_DOUBLE_EQ(real_of("num(\"12.75\")"), 12.75);
  EXPECT_DOUBLE_EQ(real_of("num(\"-3\")"), -3.0);
  EXPECT_EQ(int_of("num(\"\")"), 0);
  EXPECT_EQ(int_of("num(\"99999999999999999999\")"), INT64_MAX);
  EXPECT_EQ(int_of("num(\"-99999999999999999999\")"), INT64_MIN);
  EXPECT_EQ(int_of("num(5) + 1"), 6);  // a number stays a number
  for (const char* src : {"num(\"0x\")", "num(\"0xh\")", "num(\"0x12345678901234567\")", "num(\"0x1G\")",
                          "num(\"abc\")", "num(\"1e5\")", "num(\" 1\")"}) {
    auto b = compile(src);
    EXPECT_EQ(fail_codes(b), codes({108210})) << src;
  }
}

TEST_F(Expression, TextLiteralEscapesAndDoubleByteCharacters) {
  EXPECT_EQ(eval_text(text_lit("a\\\\b")), "a\\b");
  EXPECT_EQ(eval_text(text_lit("a\\nb\\tc")), "a\nb\tc");
  EXPECT_EQ(eval_text(text_lit("\\q\\")), "q");  // dropped backslash; the last one meets the end
  // The delimiter still ends the literal after a backslash.
  EXPECT_EQ(eval_text(rec('M', {'"', 'x', '\\', '"', 'y', '"'})), "x");
  // A double-byte character is copied whole, even when its second byte is '\'
  // or the delimiter.
  EXPECT_EQ(eval_text(text_lit("\x95\x5C\x83\x22z")), "\x95\x5C\x83\x22z");
  // The compiler picks a delimiter the text does not use.
  EXPECT_EQ(text_of("\"say \\\"hi\\\" \\\\ now\""), "say \"hi\" \\ now");
}

TEST_F(Expression, TextLiteralsBoundedByTheirRecord) {
  EXPECT_EQ(eval_text(text_lit("open", false)), "open");
  EXPECT_EQ(eval_text(text_lit("ab\x81", false)), "ab");  // a lead byte without its second byte
  EXPECT_EQ(eval_text(text_lit("ab\\", false)), "ab");
  // A literal of 5000 bytes is cut to a slot on a character boundary.
  std::string many;
  for (int i = 0; i < 2500; ++i) many += "\x82\xA0";
  std::string got = eval_text(text_lit(many));
  EXPECT_EQ(got.size(), 4094u);
  EXPECT_EQ(got, many.substr(0, 4094));
  std::string single(5000, 'x');
  EXPECT_EQ(eval_text(text_lit(single)).size(), 4095u);
}

TEST_F(Expression, VariablesInBothArithmetics) {
  set_numeric_element(var_n, 0, 41);
  set_real_element(var_r, 2, 2.75);
  set_string_element(var_t, 1, "hello");
  for (int i = 0; i < 12; ++i) set_numeric_element(var_grid, i, i * 10);
  EXPECT_EQ(int_of("n + 1"), 42);
  EXPECT_DOUBLE_EQ(real_of("n / 2"), 20.5);
  EXPECT_EQ(int_of("r[2] * 2"), 4);  // truncated first, then multiplied
  EXPECT_DOUBLE_EQ(real_of("r[2] * 2"), 5.5);
  EXPECT_EQ(text_of("t[1] + \"!\""), "hello!");
  EXPECT_EQ(int_of("grid[2][3]"), 110);
  EXPECT_EQ(int_of("grid[1, 2]"), 60);
  EXPECT_EQ(int_of("grid[1]"), 40);  // missing trailing indexes count as 0
  // Index expressions are integer even in real arithmetic.
  EXPECT_DOUBLE_EQ(real_of("grid[5 / 2][0] + 0.5"), 80.5);
  EXPECT_EQ(int_of("m[grid[0][1] / 10]"), 0);
  set_numeric_element(var_cube, 1 * 12 + 2 * 4 + 3, 777);
  EXPECT_EQ(int_of("cube[1][2][3]"), 777);
  EXPECT_EQ(int_of("version"), 553);
  EXPECT_DOUBLE_EQ(real_of("pi"), 3.141592653589793);
  EXPECT_EQ(int_of("pi"), 3);
  EXPECT_EQ(text_of("chr[65] + chr[0x82A0]"), "A\x82\xA0");
}

TEST_F(Expression, IndexErrors) {
  EXPECT_EQ(fail_codes(compile("m[10]")), codes({107010}));
  EXPECT_EQ(fail_codes(compile("m[-1]")), codes({107010}));
  EXPECT_EQ(fail_codes(compile("grid[3][0]")), codes({107010}));
  EXPECT_EQ(fail_codes(compile("grid[0][4]")), codes({107010}));
  EXPECT_EQ(fail_codes(compile("grid[0][0][0]")), codes({107010}));
  EXPECT_EQ(fail_codes(compile("m[0,0,0,0,0,0,0,0,0]")), codes({107010}));  // nine indexes
  EXPECT_EQ(fail_codes(compile("free")), codes({108010}));
  EXPECT_EQ(fail_codes(compile("free[0]")), codes({108010}));
  EXPECT_EQ(fail_codes(compile("@60000")), codes({108010}));  // past the table
  EXPECT_EQ(fail_codes(compile("@60000[1]")), codes({108010}));
}

TEST_F(Expression, LastReference) {
  auto b = compile("m[3] + #n");
  eval_to_int(b.data(), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(expression_state.last_variable_id, var_n);
  EXPECT_EQ(expression_state.last_element, 0);
  EXPECT_EQ(expression_state.last_prefix, 2);
  b = compile("`grid[2][1]");
  eval_to_int(b.data(), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(expression_state.last_variable_id, var_grid);
  EXPECT_EQ(expression_state.last_element, 9);
  EXPECT_EQ(expression_state.last_prefix, 1);
  EXPECT_EQ(expression_state.last_whole_array, 0);
  b = compile("words[]");
  EXPECT_EQ(eval_to_int(b.data(), static_cast<uint32_t>(b.size())), 0);
  EXPECT_EQ(expression_state.last_variable_id, var_words);
  EXPECT_EQ(expression_state.last_whole_array, 1);
  // The outer list closes last: its element is the last reference.
  b = compile("m[n]");
  eval_to_int(b.data(), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(expression_state.last_variable_id, var_m);
}

TEST_F(Expression, AssignmentTargets) {
  auto b = compile("free");
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(evaluate_target(b.data(), static_cast<uint32_t>(b.size())), 0); }),
            codes({}));
  EXPECT_EQ(expression_state.last_variable_id, var_free);
  EXPECT_EQ(expression_state.depth, 0u);  // a top-level variable pushes nothing
  // A declaration's sizes: not checked, kept for the declare commands.
  b = compile("free[2000][2001]");
  EXPECT_EQ(evaluate_target(b.data(), static_cast<uint32_t>(b.size())), 0);
  EXPECT_EQ(expression_state.target_index_count, 2u);
  EXPECT_EQ(expression_state.target_indexes[0], 2000);
  EXPECT_EQ(expression_state.target_indexes[1], 2001);
  b = compile("grid[2][3]");
  EXPECT_EQ(evaluate_target(b.data(), static_cast<uint32_t>(b.size())), 0);
  EXPECT_EQ(expression_state.last_element, 11);
  // Indexes outside the variable give no element instead of another one.
  b = compile("grid[0][5]");
  EXPECT_EQ(evaluate_target(b.data(), static_cast<uint32_t>(b.size())), 0);
  EXPECT_EQ(expression_state.last_element, -1);
  // Indexes inside the target are still checked.
  b = compile("grid[m[12]][0]");
  EXPECT_EQ(reported_codes([&] { EXPECT_NE(evaluate_target(b.data(), static_cast<uint32_t>(b.size())), 0); }),
            codes({107010}));
  // Target mode ends with the call.
  b = compile("free");
  EXPECT_EQ(fail_codes(b), codes({108010}));
}

TEST_F(Expression, LoadModeMarksVariablesNotConstant) {
  init_binary_ops(false);
  auto b = compile("\"LABEL\" + \"_A\"");
  EXPECT_EQ(eval_text(b), "LABEL_A");
  EXPECT_EQ(expression_state.not_constant, 0);
  for (const char* src : {"n + 1", "m[1]", "words[]"}) {
    b = compile(src);
    EXPECT_EQ(reported_codes([&] { EXPECT_LT(eval_text(b).size(), 100u); }), codes({})) << src;
    EXPECT_EQ(expression_state.not_constant, 1) << src;
    EXPECT_EQ(expression_state.failed, 1);
  }
  init_binary_ops(true);
  b = compile("n + 1");
  EXPECT_EQ(eval_to_int(b.data(), static_cast<uint32_t>(b.size())), 1);
}

TEST_F(Expression, StackSlotsAndLevelsGuarded) {
  std::vector<uint8_t> b;
  for (int i = 0; i < 1025; ++i) append_integer_literal(b, 1);
  EXPECT_EQ(fail_codes(b), codes({900030}));
  b.clear();
  for (int i = 0; i < 1024; ++i) append_integer_literal(b, 1);
  EXPECT_EQ(reported_codes([&] { evaluate_expression(b.data(), static_cast<uint32_t>(b.size()), 1); }), codes({}));
  b.clear();
  for (int i = 0; i < 1024; ++i) append_text_literal(b, "x");
  EXPECT_EQ(fail_codes(b), codes({900030}));  // 1023 string slots
  b.clear();
  for (int i = 0; i < 129; ++i) append_variable_reference(b, 'V', var_m);
  EXPECT_EQ(fail_codes(b), codes({900030}));
  EXPECT_EQ(fail_codes(cat({lit(1), rec('+')})), codes({900030}));
  EXPECT_EQ(fail_codes(rec('R')), codes({900030}));
  EXPECT_EQ(fail_codes(rec('s')), codes({900030}));
  EXPECT_EQ(fail_codes(rec('i')), codes({900030}));
  EXPECT_EQ(fail_codes(rec(')')), codes({900030}));
  // An operator inside an index list may not reach below its placeholder.
  std::vector<uint8_t> v;
  append_variable_reference(v, 'V', var_m);
  EXPECT_EQ(fail_codes(cat({lit(5), v, lit(1), rec('+'), rec(')')})), codes({900030}));
  EXPECT_EQ(fail_codes(cat({v, rec('R'), rec(')')})), codes({900030}));
}

TEST_F(Expression, RecordsBoundedByTheExpressionLength) {
  EXPECT_EQ(fail_codes(rec('I', {1, 2})), codes({900030}));   // short payloads
  EXPECT_EQ(fail_codes(rec('B')), codes({900030}));
  EXPECT_EQ(fail_codes(rec('W', {1})), codes({900030}));
  EXPECT_EQ(fail_codes(rec('L', {1, 2, 3, 4, 5, 6, 7})), codes({900030}));
  EXPECT_EQ(fail_codes(rec('F', {1, 2, 3})), codes({900030}));
  EXPECT_EQ(fail_codes(rec('H', {' ', 0xE8})), codes({900030}));
  EXPECT_EQ(fail_codes(rec('M')), codes({900030}));
  std::vector<uint8_t> b = lit(3);
  b.push_back('+');
  b.push_back(0);  // a record header cut short
  EXPECT_EQ(fail_codes(b), codes({900030}));
  b = {'B', 5, 0, 1};  // payload longer than what is left
  EXPECT_EQ(fail_codes(b), codes({900030}));
  EXPECT_EQ(fail_codes(rec('?')), codes({900030}));  // unknown operation
  EXPECT_EQ(fail_codes(rec(0xFF)), codes({900030}));
  // Extra payload bytes of a literal are skipped with the record.
  b = cat({rec('B', {7, 99, 99}), lit(1), rec('+')});
  EXPECT_EQ(eval_to_int(b.data(), static_cast<uint32_t>(b.size())), 8);
}

TEST_F(Expression, ValueTypesAndFailures) {
  auto b = compile("7 / 2");
  EXPECT_EQ(eval_int_by_value_type(1, b.data(), static_cast<uint32_t>(b.size())), 3);
  EXPECT_EQ(eval_int_by_value_type(2, b.data(), static_cast<uint32_t>(b.size())), 3);  // 3.5 truncated
  EXPECT_DOUBLE_EQ(eval_real_by_value_type(3, b.data(), static_cast<uint32_t>(b.size())), 3.0);
  EXPECT_DOUBLE_EQ(eval_real_by_value_type(4, b.data(), static_cast<uint32_t>(b.size())), 3.5);
  char buffer[string_slot_size] = "untouched";
  EXPECT_EQ(eval_string_by_value_type(4, buffer, b.data(), static_cast<uint32_t>(b.size())), 8);
  EXPECT_STREQ(buffer, "3.500000");
  for (uint32_t vt : {0u, 5u, 255u}) {
    EXPECT_EQ(reported_codes([&] { eval_int_by_value_type(vt, b.data(), static_cast<uint32_t>(b.size())); }),
              codes({900030}));
    EXPECT_EQ(expression_state.failed, 1);
  }
  // A failed text evaluation leaves the caller's buffer alone.
  std::strcpy(buffer, "kept");
  auto bad = compile("free");
  reported_codes([&] { EXPECT_EQ(eval_to_string(buffer, bad.data(), static_cast<uint32_t>(bad.size())), -1); });
  EXPECT_STREQ(buffer, "kept");
}

TEST_F(Expression, LongVariableTextsTruncatedOnACharacterBoundary) {
  std::string big = "a";
  for (int i = 0; i < 3000; ++i) big += "\x82\xA0";  // 6001 bytes
  ASSERT_EQ(set_string_element(var_t, 0, big.c_str()), 0);
  std::string got = text_of("t[0]");
  EXPECT_EQ(got.size(), 4095u);  // 'a' and 2047 whole characters
  EXPECT_EQ(got, big.substr(0, 4095));
  big = "ab" + big.substr(1);  // now a character would straddle byte 4095
  ASSERT_EQ(set_string_element(var_t, 0, big.c_str()), 0);
  EXPECT_EQ(text_of("t[0]").size(), 4094u);
}

TEST_F(Expression, CompoundAssignmentIntegers) {
  auto run = [](uint32_t op, int64_t old, int64_t x) {
    set_numeric_element(var_m, 4, old);
    EXPECT_EQ(assign_int_value(op, var_m, 4, x), 0);
    return get_int_element(var_m, 4);
  };
  EXPECT_EQ(run(0, 5, 9), 9);
  EXPECT_EQ(run(1, 5, 9), 14);
  EXPECT_EQ(run(2, 5, 9), -4);
  EXPECT_EQ(run(3, 5, 9), 45);
  EXPECT_EQ(run(4, 45, 9), 5);
  EXPECT_EQ(run(4, 45, 0), 45);
  EXPECT_EQ(run(5, 47, 9), 2);
  EXPECT_EQ(run(5, 47, 0), 47);
  EXPECT_EQ(run(6, 12, 10), 8);
  EXPECT_EQ(run(7, 12, 3), 15);
  EXPECT_EQ(run(8, 12, 10), 6);
  EXPECT_EQ(run(1, INT64_MAX, 1), INT64_MIN);
  EXPECT_EQ(run(2, INT64_MIN, 1), INT64_MAX);
  EXPECT_EQ(run(3, INT64_MAX, 2), -2);
  EXPECT_EQ(run(4, INT64_MIN, -1), INT64_MIN);
  EXPECT_EQ(run(5, INT64_MIN, -1), 0);
  // Outside the variable, or on another type: nothing is written.
  assign_int_ops[0](var_m, 10, 1);
  assign_int_ops[0](var_m, -1, 1);
  assign_int_ops[0](var_r, 0, 1);
  assign_int_ops[0](60000, 0, 1);
  EXPECT_EQ(get_real_element(var_r, 0), 0.0);
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(assign_int_value(9, var_m, 0, 1), -1); }), codes({101140}));
}

TEST_F(Expression, CompoundAssignmentReals) {
  auto run = [](uint32_t op, double old, double x) {
    set_real_element(var_r, 1, old);
    EXPECT_EQ(assign_real_value(op, var_r, 1, x), 0);
    return get_real_element(var_r, 1);
  };
  EXPECT_DOUBLE_EQ(run(0, 1.5, 2.25), 2.25);
  EXPECT_DOUBLE_EQ(run(1, 1.5, 2.25), 3.75);
  EXPECT_DOUBLE_EQ(run(2, 1.5, 2.25), -0.75);
  EXPECT_DOUBLE_EQ(run(3, 1.5, 2.0), 3.0);
  EXPECT_DOUBLE_EQ(run(4, 3.0, 2.0), 1.5);
  EXPECT_DOUBLE_EQ(run(4, 3.0, 0.0), 3.0);
  EXPECT_DOUBLE_EQ(run(5, 7.9, 3.2), 1.0);  // 7 % 3
  EXPECT_DOUBLE_EQ(run(5, 7.9, 0.0), 7.9);
  EXPECT_DOUBLE_EQ(run(6, 12.7, 10.2), 8.0);
  EXPECT_DOUBLE_EQ(run(7, 12.7, 3.9), 15.0);
  EXPECT_DOUBLE_EQ(run(8, 12.7, 10.2), 6.0);
  EXPECT_DOUBLE_EQ(run(5, 1e300, -1.0), 0.0);  // saturated, no trap
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(assign_real_value(200, var_r, 0, 1.0), -1); }), codes({101140}));
}

}  // namespace
