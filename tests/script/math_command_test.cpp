// Commands 50 and 51 through their handlers: every math function with its
// value-type rule and edge cases, the absolute value of both arithmetics,
// random ranges, CRC-32, the function order, and the derived-value formula.
#include <climits>
#include <cmath>

#include "command_test_support.h"
#include "script/math_commands.h"
#include "script/random.h"

using namespace script_test;

namespace {

constexpr uint32_t var_derived = var_free;  // 35 reals, declared per test

class MathCommand : public CommandFixture {
 protected:
  // Runs the math command with output `out`, operand x (value type vt) and
  // function `fn`; nothing may be reported.
  void math(const std::string& out, const std::string& fn, const std::string& x, uint8_t vt,
            const std::string& y = "", uint8_t vty = 2) {
    int r = -9;
    std::vector<int> got;
    if (y.empty())
      got = run(50, {{"output", out}, {"x", x, vt}, {fn, "1"}}, &r);
    else
      got = run(50, {{"output", out}, {"x", x, vt}, {"y", y, vty}, {fn, "1"}}, &r);
    EXPECT_EQ(got, codes({})) << fn;
    EXPECT_EQ(r, 0) << fn;
  }
  double real0() { return get_real_element(var_r, 0); }
};

}  // namespace

TEST_F(MathCommand, RealFunctionsAndTheirArithmetic) {
  // Sine and cosine read the operand in real arithmetic whatever its type.
  math("r[0]", "sin", "7 / 2", 1);
  EXPECT_DOUBLE_EQ(real0(), std::sin(3.5));
  math("r[0]", "cos", "7 / 2", 3);
  EXPECT_DOUBLE_EQ(real0(), std::cos(3.5));
  // The others follow the value type: integer arithmetic for 1 and 3.
  math("r[0]", "tan", "7 / 2", 1);
  EXPECT_DOUBLE_EQ(real0(), std::tan(3.0));
  math("r[0]", "tan", "7 / 2", 2);
  EXPECT_DOUBLE_EQ(real0(), std::tan(3.5));
  math("r[0]", "exp", "7 / 2", 3);
  EXPECT_DOUBLE_EQ(real0(), std::exp(3.0));
  math("r[0]", "exp", "7 / 2", 4);
  EXPECT_DOUBLE_EQ(real0(), std::exp(3.5));

  struct row {
    const char* fn;
    const char* x;
    double expected;
  } rows[] = {
      {"asin", "1.0", std::asin(1.0)},    {"acos", "-1.0", M_PI},           {"sinh", "1.0", std::sinh(1.0)},
      {"cosh", "0.0", 1.0},               {"tanh", "1000.0", 1.0},          {"atan", "1.0", M_PI / 4},
      {"sqrt", "2.0", std::sqrt(2.0)},    {"log", "1.0", 0.0},              {"log10", "1000.0", 3.0},
      {"exp", "0.0", 1.0},
  };
  for (const row& r : rows) {
    math("r[0]", r.fn, r.x, 2);
    EXPECT_DOUBLE_EQ(real0(), r.expected) << r.fn;
  }
  math("r[1]", "atan2", "1.0", 2, "-1.0");
  EXPECT_DOUBLE_EQ(get_real_element(var_r, 1), 3 * M_PI / 4);
  math("r[1]", "atan2", "0.0", 2, "0.0");
  EXPECT_EQ(get_real_element(var_r, 1), 0.0);
  math("r[1]", "pow", "2", 1, "10", 1);
  EXPECT_EQ(get_real_element(var_r, 1), 1024.0);
  math("r[1]", "pow", "2.0", 2, "0.5");
  EXPECT_DOUBLE_EQ(get_real_element(var_r, 1), std::sqrt(2.0));
}

TEST_F(MathCommand, DomainEdgesStoreWhatTheFunctionGives) {
  math("r[0]", "sqrt", "-1.0", 2);
  EXPECT_TRUE(std::isnan(real0()));
  math("r[0]", "asin", "2.0", 2);
  EXPECT_TRUE(std::isnan(real0()));
  math("r[0]", "log", "0.0", 2);
  EXPECT_EQ(real0(), -INFINITY);
  math("r[0]", "pow", "0.0", 2, "-1.0");
  EXPECT_EQ(real0(), INFINITY);
  // An integer output receives the truncated (saturated) real.
  math("m[0]", "log10", "12345.0", 2);
  EXPECT_EQ(get_int_element(var_m, 0), 4);
  math("m[1]", "sqrt", "-1.0", 2);
  EXPECT_EQ(get_int_element(var_m, 1), 0);
  math("m[2]", "exp", "1000.0", 2);
  EXPECT_EQ(get_int_element(var_m, 2), INT64_MAX);
}

TEST_F(MathCommand, AbsoluteValueOfEveryValueType) {
  math("m[0]", "abs", "-5", 1);
  EXPECT_EQ(get_int_element(var_m, 0), 5);
  math("m[0]", "abs", "0 - 7 / 2", 3);  // integer arithmetic: -3
  EXPECT_EQ(get_int_element(var_m, 0), 3);
  math("r[0]", "abs", "-2.5", 2);
  EXPECT_EQ(real0(), 2.5);
  math("r[0]", "abs", "0 - 7 / 2", 4);  // real arithmetic: -3.5
  EXPECT_EQ(real0(), 3.5);
  math("r[0]", "abs", "-4", 1);  // an integer into a real output
  EXPECT_EQ(real0(), 4.0);
  math("m[0]", "abs", "-9223372036854775807 - 1", 1);  // wraps to itself
  EXPECT_EQ(get_int_element(var_m, 0), INT64_MIN);
}

TEST_F(MathCommand, RandomRangesIncludingTheFullInt64Range) {
  seed_random(1234);
  bool seen[3] = {};
  for (int i = 0; i < 200; ++i) {
    math("m[0]", "random", "5", 1, "3", 1);
    int64_t v = get_int_element(var_m, 0);
    ASSERT_TRUE(v >= 3 && v <= 5) << v;
    seen[v - 3] = true;
  }
  EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
  // Operands of real value type are evaluated as integers.
  math("m[0]", "random", "2.9", 2, "2.1", 2);
  EXPECT_EQ(get_int_element(var_m, 0), 2);
  for (int i = 0; i < 20; ++i) {
    math("m[0]", "random", "-9223372036854775807 - 1", 1, "9223372036854775807", 1);
    int64_t v = get_int_element(var_m, 0);
    EXPECT_LE(static_cast<uint64_t>(v) - static_cast<uint64_t>(INT64_MIN), 0xFFFFFFFFull);
  }
}

TEST_F(MathCommand, Crc32OfTheTextOperand) {
  int r = -1;
  EXPECT_EQ(run(50, {{"output", "m[0]"}, {"text", "\"abc\""}, {"crc32", "1"}}, &r), codes({}));
  EXPECT_EQ(get_int_element(var_m, 0), 0x352441C2);
  EXPECT_EQ(run(50, {{"output", "m[1]"}, {"text", "\"\""}, {"crc32", "1"}}), codes({}));
  EXPECT_EQ(get_int_element(var_m, 1), 0);
  // The unsigned value stays positive.
  EXPECT_EQ(run(50, {{"output", "m[2]"}, {"text", "\"123456789\""}, {"crc32", "1"}}), codes({}));
  EXPECT_EQ(get_int_element(var_m, 2), 0xCBF43926);
}

TEST_F(MathCommand, FunctionOrderAndAbsentFunction) {
  set_real_element(var_r, 0, 42.0);
  // No function: nothing stored.
  EXPECT_EQ(run(50, {{"output", "r[0]"}, {"x", "1.0", 2}}), codes({}));
  EXPECT_EQ(real0(), 42.0);
  // Sine is tested before the square root and cosine.
  EXPECT_EQ(run(50, {{"output", "r[0]"}, {"x", "4.0", 2}, {"sqrt", "1"}, {"cos", "1"}, {"sin", "1"}}), codes({}));
  EXPECT_DOUBLE_EQ(real0(), std::sin(4.0));
  // Random comes after pow, CRC-32 last.
  EXPECT_EQ(run(50, {{"output", "r[0]"}, {"x", "3.0", 2}, {"y", "2.0", 2}, {"crc32", "1"}, {"pow", "1"}}),
            codes({}));
  EXPECT_EQ(real0(), 9.0);
  // An operand that fails to evaluate ends the command.
  int r = 0;
  EXPECT_EQ(run(50, {{"output", "r[0]"}, {"x", "m[10]", 2}, {"sqrt", "1"}}, &r), codes({107010}));
  EXPECT_EQ(r, -1);
  EXPECT_EQ(real0(), 9.0);
}

TEST_F(MathCommand, BindOnlyCommandsBindAndDoNothingElse) {
  for (int command : {56, 57, 58}) {
    int r = -1;
    EXPECT_EQ(run(command, {{"p0", "1 + 2"}, {"p7", "n"}}, &r), codes({}));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(run(command, {{"p0", "m[10]"}}, &r), codes({107010}));
    EXPECT_EQ(r, -1);
  }
}

TEST_F(MathCommand, DerivedValuesWithTheFlagSet) {
  uint32_t dims[1] = {35};
  ASSERT_EQ(declare_real_variable(var_derived, 1, dims, 0.0), 0);
  set_numeric_element(var_m, 7, 1);
  set_real_element(var_derived, 13, 12.5);
  set_real_element(var_derived, 14, -3.25);
  set_real_element(var_derived, 18, 99.0);
  set_real_element(var_derived, 19, 77.0);
  EXPECT_EQ(run(51, {{"integers", "m"}, {"reals", "free"}}), codes({}));
  EXPECT_EQ(get_real_element(var_derived, 31), 12.5);
  EXPECT_EQ(get_real_element(var_derived, 32), -3.25);
  EXPECT_EQ(get_real_element(var_derived, 33), 0.0);
  EXPECT_EQ(get_real_element(var_derived, 34), 0.0);
  set_real_element(var_derived, 16, 50.0);
  set_real_element(var_derived, 17, 10.0);
  EXPECT_EQ(run(51, {{"integers", "m"}, {"reals", "free"}}), codes({}));
  EXPECT_EQ(get_real_element(var_derived, 31), 12.5 - 99.0 * 50.0 / 100);
  EXPECT_EQ(get_real_element(var_derived, 32), -3.25 - 77.0 * 10.0 / 100);
  EXPECT_EQ(get_real_element(var_derived, 33), 50.0);
  EXPECT_EQ(get_real_element(var_derived, 34), 10.0);
}

TEST_F(MathCommand, DerivedValuesFormulaInEachBranch) {
  int64_t I[8] = {0, 3, 4, 0, 0, 640, 480, 0};
  double R[31];
  for (int k = 0; k < 31; ++k) R[k] = 1.0 + k * 0.5;
  double out[4];
  // I1 != I2, I4 == 0.
  compute_derived_values(I, R, out);
  const double c = R[5] + R[30], a = R[3] + R[28], b = R[4] + R[29];
  const double p1 = std::pow(2.0, (R[27] - R[8] + c) / 100), p2 = std::pow(2.0, (R[27] - R[15] + c) / 100);
  double x = 320 + R[11] * R[20] + (R[6] - R[9] - R[20] * a) * p1 + R[9] * p1 + (R[13] * R[20] - R[18]) * p2 +
             (100 - R[16]) * R[18] * p2 / 100;
  double y = 240 + R[12] * R[21] + (R[7] - R[10] - R[21] * b) * p1 + R[10] * p1 + (R[14] * R[21] - R[19]) * p2 +
             (100 - R[17]) * R[19] * p2 / 100;
  EXPECT_DOUBLE_EQ(out[0], x);
  EXPECT_DOUBLE_EQ(out[1], y);
  EXPECT_DOUBLE_EQ(out[2], R[16] * p2);
  EXPECT_DOUBLE_EQ(out[3], R[17] * p2);
  // I4 != 0: the third power.
  I[4] = 1;
  compute_derived_values(I, R, out);
  const double p = std::pow(2.0, (R[27] - R[24] + c) / 100);
  x = 320 + R[11] * R[20] + (R[6] - R[9] - R[20] * a) * p1 + R[9] * p1 +
      ((R[13] + R[22]) * R[20] - R[18] - R[25]) * p + (100 - R[16]) * R[18] * p / 100;
  EXPECT_DOUBLE_EQ(out[0], x);
  EXPECT_DOUBLE_EQ(out[2], R[16] * p);
  // I1 == I2: only the base terms and P2.
  I[2] = 3;
  compute_derived_values(I, R, out);
  y = 240 + R[12] * R[21] + (R[7] - R[10] - R[21] * b) * p1 + (100 - R[17]) * R[19] * p2 / 100;
  EXPECT_DOUBLE_EQ(out[1], y);
  EXPECT_DOUBLE_EQ(out[3], R[17] * p2);
}

TEST_F(MathCommand, DerivedValuesReadZeroPastShortVariables) {
  // r has 4 elements: every R past 3 reads 0 and the results fall outside.
  set_real_element(var_r, 3, 5.0);
  EXPECT_EQ(run(51, {{"integers", "n"}, {"reals", "r"}}), codes({}));
  EXPECT_EQ(get_real_element(var_r, 3), 5.0);
}
