// The demo game's own listing, run headless with the pictures and sounds the
// build made for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/headless_game.h"

namespace {

std::vector<uint8_t> read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// Every ten seconds the demo saves its counter and loads it back into
// `restored`: the value loaded must be the counter, not an engine value.
TEST(Demo, SaveAndLoadRoundTripTheCounter) {
  const std::filesystem::path files = std::filesystem::path(ZARVIK_BINARY_DIR) / "demo" / "game-files";
  if (!std::filesystem::exists(files / "cg")) GTEST_SKIP() << "the demo files are not built";
  const std::vector<uint8_t> source = read_bytes(std::filesystem::path(ZARVIK_SOURCE_DIR) / "demo" / "main.txt");
  const std::string listing(source.begin(), source.end());
  headless_game game(listing);
  for (const char* folder : {"cg", "sound"})
    for (const auto& entry : std::filesystem::directory_iterator(files / folder)) {
      const std::string ext = entry.path().extension().string();
      game.add_resource(std::string(folder) + "\\" + entry.path().filename().string(), read_bytes(entry.path()),
                        ext == ".png" ? 2 : 5);
    }
  ASSERT_EQ(game.start(), 0);
  EXPECT_EQ(game.run_ticks(601), 601);
  EXPECT_TRUE(game.errors().empty()) << (game.errors().empty() ? "" : game.errors()[0].text_utf8);
  EXPECT_EQ(game.int_value("seconds"), 10);
  EXPECT_EQ(game.int_value("restored"), 10);
  EXPECT_EQ(game.run_ticks(600), 600);
  EXPECT_EQ(game.int_value("restored"), 20);
}
