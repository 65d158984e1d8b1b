// Damaged code and hostile compiled files through the whole engine: every
// case ends in its designed error, never in a read or write outside the code.
#include <gtest/gtest.h>

#include <string>

#include "format/compiled_files.h"
#include "format/pack_format.h"
#include "support/headless_game.h"

namespace {

const char* const idle = "\n*idle\nwait 1\ngoto idle\n";
const char* const main_code = "kxbin\\kxt00000.kbn";

std::string first_error(const headless_game& g) { return g.errors().empty() ? "" : g.errors()[0].text_utf8; }

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> rewrite(const compiled_code_file& code) { return write_code_file(code, derive_code_file_key()); }

}  // namespace

TEST(DamagedCode, BadSectionsOfTheStartScriptEndStartUp) {
  headless_game probe(std::string("global int x = 0\n*SYSTEM_START\nx = 1\n") + idle);
  const std::vector<uint8_t> good = rewrite(probe.assembly().scripts[0].code);
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 20));     // shorter than the header
  bad.push_back(std::vector<uint8_t>(good.begin(), good.end() - 1));        // last section cut
  {
    auto b = good;
    put32(b, 16, 0xFFFFFFF4u);  // section 2 claims almost 4 GiB
    bad.push_back(b);
  }
  {
    auto b = good;
    put32(b, 8, 1000);  // more instructions than section 1 holds
    bad.push_back(b);
  }
  {
    auto b = good;
    put32(b, 16, 13);  // argument records are 12 bytes each
    bad.push_back(b);
  }
  {
    // An instruction claims more argument records than section 2 holds.
    compiled_code_file code = probe.assembly().scripts[0].code;
    auto b = rewrite(code);
    std::array<uint8_t, 4> key = derive_code_file_key();
    b[32 + 1] = static_cast<uint8_t>(200 ^ key[1]);  // the first instruction's count byte := 200
    bad.push_back(b);
  }
  for (size_t i = 0; i < bad.size(); ++i) {
    headless_game game(std::string("global int x = 0\n*SYSTEM_START\nx = 1\n") + idle);
    game.replace_compiled_file(main_code, bad[i]);
    EXPECT_NE(game.start(), 0) << i;
    ASSERT_EQ(game.error_codes(), std::vector<int>{104010}) << i;
    EXPECT_NE(first_error(game).find("kxbin\\kxt00000.kbn"), std::string::npos) << first_error(game);
  }
}

TEST(DamagedCode, MissingCodeFileOfACalledScriptEndsTheRun) {
  headless_game game(std::string("script a.txt\n*SYSTEM_START\ncall far\n") + idle + "script b.txt\n*far\nreturn\n");
  game.remove_compiled_file("kxbin\\kxt00001.kbn");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  ASSERT_EQ(game.error_codes(), std::vector<int>{104060});
  EXPECT_NE(first_error(game).find("kxbin\\kxt00001.kbn"), std::string::npos) << first_error(game);
  EXPECT_TRUE(game.quitting());
}

TEST(DamagedCode, RunningOffTheEndOfAScriptIsReported) {
  headless_game game("global int x = 0\n*SYSTEM_START\nx = 1\nx = 2\n");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  ASSERT_EQ(game.error_codes(), std::vector<int>{104010});
  EXPECT_NE(first_error(game).find("[場所]\n4 行目"), std::string::npos) << first_error(game);
  EXPECT_EQ(game.int_value("x"), 2);
}

TEST(DamagedCode, JumpTargetsOutsideTheScriptAreReported) {
  // The false target of an if, the end of a loop, and a label position.
  for (int which = 0; which < 3; ++which) {
    headless_game game(std::string("global int x = 0\n*SYSTEM_START\nif x\nx = 1\nend\nloop 0\nend\n") + idle);
    compiled_code_file code = game.assembly().scripts[0].code;
    if (which == 0) code.instructions[0].arguments[1].length = 999999;
    if (which == 1) code.instructions[3].arguments[1].length = 0xFFFFFFFFu;
    game.replace_compiled_file(main_code, rewrite(code));
    if (which == 2) {
      std::vector<compiled_label_record> labels = game.assembly().labels;
      labels[0].position = 77;
      game.replace_compiled_file("kxbin\\kxl.kbn", write_label_file(labels));
    }
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(2);
    EXPECT_EQ(game.error_codes(), std::vector<int>{104010}) << which;
    EXPECT_TRUE(game.quitting());
  }
}

TEST(DamagedCode, LabelsNamingScriptsPastTheListAreReported) {
  headless_game game(std::string("*SYSTEM_START\ngoto (\"far\")\n") + idle);
  std::vector<compiled_label_record> labels = game.assembly().labels;
  compiled_label_record far;
  far.name = "far";
  far.script_number = 7;
  labels.push_back(far);
  game.replace_compiled_file("kxbin\\kxl.kbn", write_label_file(labels));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.error_codes(), std::vector<int>{901030});
}

TEST(DamagedCode, ValueCountsPastTheSixteenSlotsAreCut) {
  headless_game game(std::string(R"(
global int given = 7
global int back = 7
*SYSTEM_START
call sub(5)
back = ret_given[16] + ret_int[1]
)") + idle + "*sub\ngiven = arg_given[16] + arg_int[1]\nreturn 9\n");
  compiled_code_file code = game.assembly().scripts[0].code;
  for (compiled_instruction& ins : code.instructions)
    if (ins.command == 33 || ins.command == 66) ins.flags = 255;
  game.replace_compiled_file(main_code, rewrite(code));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(game.int_value("given"), 5);
  EXPECT_EQ(game.int_value("back"), 9);
}

TEST(DamagedCode, NestingLimitsAreCheckedBeforeAnyFrameIsTouched) {
  for (const char* opener : {"if 1", "loop 1"}) {
    std::string listing = "global int reached = 0\n*SYSTEM_START\n";
    for (int i = 0; i < 64; ++i) listing += std::string(opener) + "\n";
    listing += "reached = 1\n";
    for (int i = 0; i < 64; ++i) listing += "end\n";
    headless_game game(listing + idle);
    ASSERT_EQ(game.start(), 0);
    game.run_ticks(1);
    ASSERT_EQ(game.error_codes(), std::vector<int>{101600}) << opener;
    EXPECT_NE(first_error(game).find(opener[0] == 'i' ? "[if] nested deeper than 64" : "[loop] nested deeper than 64"),
              std::string::npos)
        << first_error(game);
    EXPECT_EQ(game.int_value("reached"), 0);
  }
}

TEST(DamagedCode, GotoPastTheBlockLimitFromInsideACall) {
  // 40 open blocks in the caller plus a label 30 blocks deep.
  std::string listing = "*SYSTEM_START\n";
  for (int i = 0; i < 40; ++i) listing += "if 1\n";
  listing += "call sub\n";
  for (int i = 0; i < 40; ++i) listing += "end\n";
  listing += idle;
  listing += "*sub\ngoto deep\n";
  for (int i = 0; i < 30; ++i) listing += "if 0\n";
  listing += "*deep\nreturn\n";
  for (int i = 0; i < 30; ++i) listing += "end\n";
  headless_game game(listing);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.error_codes(), std::vector<int>{101600});
}

TEST(DamagedCode, AnExpressionOutsideThePoolIsReported) {
  headless_game game(std::string("global int x = 0\n*SYSTEM_START\nif x == 0\nx = 1\nend\n") + idle);
  compiled_code_file code = game.assembly().scripts[0].code;
  code.instructions[0].arguments[0].offset = 1u << 30;
  game.replace_compiled_file(main_code, rewrite(code));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.error_codes(), std::vector<int>{900030});
  EXPECT_EQ(game.int_value("x"), 0);
}
