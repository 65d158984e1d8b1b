// The math, value and text commands as a game writes them: listings through
// the assembler and the headless harness.
#include <gtest/gtest.h>

#include <cmath>

#include "core/sjis.h"
#include "support/headless_game.h"

TEST(ValueListing, MathTextAndArrayCommandsInAGame) {
  headless_game game(R"(
script main.txt
global real root = 0.0
global int crc = 0
global int dice[50]
global int absolute = 0
global real absolute_real = 0.0
global string word = "表示ソフト"
global string part = ""
global int sizes[3]
global int found = 0
global int list[3]
global real derived_in[35]
global int derived_flags[8]
*SYSTEM_START
math output=root, x=real 2.0, sqrt=1
math output=crc, text="abc", crc32=1
loop 50
  math output=dice[loop_counter - 1], x=6, y=1, random=1
end
math output=absolute, x=-42, abs=1
math output=absolute_real, x=real -2.5, abs=1
array_util source=word, destination=part, substring=1, start=2, count=3
variable_info variable=word, output=sizes[0], length=1
list[0] = 5
list[1] = 6
list[2] = 7
array_util source=list, insert=0
array_util source=list, resize+=1
variable_info variable=list, output=sizes[1], size1=1
variable_info variable=list, output=found, search=1, int_value=6
derived_flags[7] = 1
derived_in[13] = 4.0
derived_in[14] = 8.0
system_values integers=derived_flags, reals=derived_in
*idle
wait 1
goto idle
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty()) << (game.errors().empty() ? "" : game.errors()[0].text_utf8);
  EXPECT_DOUBLE_EQ(game.real_value("root"), std::sqrt(2.0));
  EXPECT_EQ(game.int_value("crc"), 0x352441C2);
  for (int i = 0; i < 50; ++i) {
    const int64_t d = game.int_value("dice", i);
    EXPECT_TRUE(d >= 1 && d <= 6) << d;
  }
  EXPECT_EQ(game.int_value("absolute"), 42);
  EXPECT_EQ(game.real_value("absolute_real"), 2.5);
  EXPECT_EQ(game.text_value("part"), utf8_to_sjis("示ソフ"));
  EXPECT_EQ(game.int_value("sizes", 0), 5);
  EXPECT_EQ(game.int_value("sizes", 1), 4);
  EXPECT_EQ(game.int_value("list", 0), 0);
  EXPECT_EQ(game.int_value("list", 3), 0);
  EXPECT_EQ(game.int_value("found"), 2);
  EXPECT_EQ(game.real_value("derived_in", 31), 4.0);
  EXPECT_EQ(game.real_value("derived_in", 32), 8.0);
}

// Initial values read integer literals as expressions do: hexadecimal is the
// 64-bit pattern, decimal stays inside int64.
TEST(ValueListing, IntegerLiteralBoundariesInDeclarationsAndExpressions) {
  headless_game game(R"(
script main.txt
global int top = 0x7FFFFFFFFFFFFFFF
global int sign = 0x8000000000000000
global int all = 0xFFFFFFFFFFFFFFFF
global int minus_one = -0x1
global int small = 0x0
global int dec_top = 9223372036854775807
global int dec_bottom = -9223372036854775808
global int e_top = 0
global int e_sign = 0
global int e_all = 0
*SYSTEM_START
e_top = 0x7FFFFFFFFFFFFFFF
e_sign = 0x8000000000000000
e_all = 0xFFFFFFFFFFFFFFFF
*idle
wait 1
goto idle
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty());
  const struct {
    const char* name;
    int64_t value;
  } cases[] = {
      {"top", INT64_MAX},   {"sign", INT64_MIN},       {"all", -1},          {"minus_one", -1},
      {"small", 0},         {"dec_top", INT64_MAX},    {"dec_bottom", INT64_MIN},
      {"e_top", INT64_MAX}, {"e_sign", INT64_MIN},     {"e_all", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(game.int_value(c.name), c.value) << c.name;
}

TEST(ValueListing, DeclarationLiteralsOutOfRangeAreRefused) {
  for (const char* value : {"0x10000000000000000", "9223372036854775808", "-9223372036854775809", "0x", "12abc"}) {
    assembler_options options;
    assemble_result r =
        assemble_listing(std::string("script main.txt\nglobal int n = ") + value + "\n*SYSTEM_START\n", options);
    EXPECT_FALSE(r.ok) << value;
  }
}
