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

TEST(HeadlessGame, LogLinesComeFromTheGameFolder) {
  headless_game game("*SYSTEM_START\nwait 1\ngoto SYSTEM_START\n");
  // The same update pack in the game folder and in "pac": start-up logs the one it drops.
  std::vector<uint8_t> update = build_game_pack("*SYSTEM_START\nwait 1\ngoto SYSTEM_START\n");
  game.write_file("update1.kpf", update);
  game.write_file("pac/update1.kpf", update);
  // CPU drawing (kxcfg.dat slot 8 = 2): a GPU-drawing start begins info.txt
  // afresh with the environment report, after the packs were opened.
  std::vector<uint8_t> cfg(4 * 9, 0xFF);
  cfg[8 * 4] = 2, cfg[8 * 4 + 1] = cfg[8 * 4 + 2] = cfg[8 * 4 + 3] = 0;
  game.write_file("kxcfg.dat", cfg);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  bool found = false;
  for (const std::string& line : game.log_lines()) found |= line.find("update1.kpf") != std::string::npos;
  EXPECT_TRUE(found);
  EXPECT_EQ(game.frame_count(), 2u);
  EXPECT_EQ(game.pass_count(), 2u);
}
