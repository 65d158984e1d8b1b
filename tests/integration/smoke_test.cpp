#include <gtest/gtest.h>

#include "support/headless_game.h"

TEST(HeadlessGame, RunsALoopAndACall) {
  headless_game game(R"(
script main.txt
global int n = 0
global int total = 0
*SYSTEM_START
loop 3
  total += 1
  if total == 2
    n = 5
  elseif total == 3
    n += 1
  else
    n = -1
  end
end
call sub(1, 2.5, "abc")
total = ret_int[1]
*idle
wait 1
goto idle
*sub
return arg_int[1] + 41
)");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(3);
  EXPECT_TRUE(game.errors().empty()) << (game.errors().empty() ? "" : game.errors()[0].text_utf8);
  EXPECT_EQ(game.int_value("n"), 6);
  EXPECT_EQ(game.int_value("total"), 42);
}
