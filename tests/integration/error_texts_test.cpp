// Every error code the engine can report has a text in a game made with the
// listing assembler's defaults (or among the player's built-in texts), so no
// report falls back to the "wrong error text" message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "core/error_report.h"
#include "core/sjis.h"
#include "support/headless_game.h"

namespace {

// Six-digit numbers of the error areas anywhere in the engine's sources (the
// assembler's own table of defaults aside).
std::set<int> codes_in_engine_source() {
  namespace fs = std::filesystem;
  std::set<int> codes;
  const std::regex code(R"(\b(10[0-9]{4}|110[0-9]{3}|160[0-9]{3}|90[01][0-9]{3})\b)");
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(ZARVIK_SOURCE_DIR) / "src")) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".cpp" && ext != ".h" && ext != ".inc") continue;
    if (entry.path().filename() == "script_assembler.cpp") continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    for (std::sregex_iterator it(s.begin(), s.end(), code), end; it != end; ++it) codes.insert(std::stoi((*it)[1]));
  }
  return codes;
}

}  // namespace

TEST(ErrorTexts, EveryCodeTheEngineReportsHasATextInADefaultGame) {
  const std::set<int> codes = codes_in_engine_source();
  ASSERT_GT(codes.size(), 60u);
  headless_game game("script main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(game.start(), 0);
  const std::string fallback = error_text_for_code(999999);
  ASSERT_NE(fallback.find(utf8_to_sjis("エラー文字列の指定ミスです")), std::string::npos);
  for (int c : codes) {
    const std::string text = error_text_for_code(c);
    EXPECT_NE(text, fallback) << c;
    EXPECT_FALSE(text.empty()) << c;
  }
  // The error table holds at most 256 texts: the defaults leave room for the
  // listing's own.
  EXPECT_LT(default_listing_error_texts().size(), 200u);
}

TEST(ErrorTexts, ListingErrorLinesOverrideTheDefaults) {
  headless_game game("error 101280 \"own text\"\nscript main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(game.start(), 0);
  EXPECT_EQ(error_text_for_code(101280), "own text");
  EXPECT_EQ(error_text_for_code(100310), "The layer [%s] (%d x %d) and its mask layer [%s] (%d x %d) differ in size.");
}
