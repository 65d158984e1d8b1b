// Block B walked as a pure function, with every count and length hostile, and
// the game path field of block A kept inside its 380 bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/compiler_link_format.h"

namespace {

void u32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void text(std::vector<uint8_t>& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// One record spelled by hand: n, the name bytes as given, d, the data bytes.
std::vector<uint8_t> record(uint32_t n, const std::string& name_bytes, uint32_t d, const std::string& data) {
  std::vector<uint8_t> b;
  u32(b, n);
  text(b, name_bytes);
  u32(b, d);
  text(b, data);
  return b;
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

TEST(CompilerLinkBlock, WriterLayoutIsExact) {
  std::vector<uint8_t> b = write_compiler_link_block({{"kxbin\\kxt.kbn", {1, 2, 3}}, {"", {}}});
  std::vector<uint8_t> expected = join({record(14, std::string("kxbin\\kxt.kbn\0", 14), 3, "\x01\x02\x03"),
                                        record(1, std::string("\0", 1), 0, "")});
  EXPECT_EQ(b, expected);
  std::vector<compiler_link_record> out;
  ASSERT_EQ(parse_compiler_link_block(b.data(), b.size(), 2, out), 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, "kxbin\\kxt.kbn");
  EXPECT_EQ(out[0].size, 3u);
  EXPECT_EQ(out[0].data, b.data() + 4 + 14 + 4);
  EXPECT_EQ(out[1].name, "");
  EXPECT_EQ(out[1].size, 0u);
}

TEST(CompilerLinkBlock, HostileCountsAndLengths) {
  const std::vector<uint8_t> good = record(6, std::string("a.kbn\0", 6), 2, "xy");  // 16 bytes
  struct row {
    const char* what;
    std::vector<uint8_t> block;
    uint32_t count;
    int result;
    std::vector<std::string> names;
  } rows[] = {
      {"one good record", good, 1, 0, {"a.kbn"}},
      {"count 0 reads nothing", good, 0, 0, {}},
      {"trailing bytes are ignored", join({good, {9, 9, 9}}), 1, 0, {"a.kbn"}},
      {"count past the records", good, 2, -1, {}},
      {"count no block could hold", good, 0xFFFFFFFFu, -1, {}},
      {"name length 0", record(0, "", 0, ""), 1, -1, {}},
      {"name length past the block", record(0xFFFFFFF0u, "ab", 0, ""), 1, -1, {}},
      {"name length one past", record(7, std::string("a.kbn\0", 6), 0, ""), 1, -1, {}},
      {"data length past the block", record(2, std::string("a\0", 2), 3, "xy"), 1, -1, {}},
      {"data length near 2^32", record(2, std::string("a\0", 2), 0xFFFFFFFFu, "xy"), 1, -1, {}},
      {"data length exactly the rest", record(2, std::string("a\0", 2), 2, "xy"), 1, 0, {"a"}},
      {"no room for the data length", {2, 0, 0, 0, 'a', 0, 1}, 1, -1, {}},
      {"cut inside the first length", {2, 0}, 1, -1, {}},
      {"empty block", {}, 1, -1, {}},
      {"name without its zero stops at n", record(3, "abc", 0, ""), 1, 0, {"abc"}},
      {"name with an early zero", record(4, std::string("ab\0c", 4), 0, ""), 1, 0, {"ab"}},
      {"second record damaged", join({good, record(5, "xx", 0, "")}), 2, -1, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<compiler_link_record> out{{"stale", nullptr, 0}};
    EXPECT_EQ(parse_compiler_link_block(r.block.data(), r.block.size(), r.count, out), r.result);
    std::vector<std::string> names;
    for (const auto& e : out) {
      names.emplace_back(e.name);
      // Every view lies inside the block.
      EXPECT_GE(reinterpret_cast<const uint8_t*>(e.name.data()), r.block.data());
      EXPECT_LE(e.data + e.size, r.block.data() + r.block.size());
    }
    EXPECT_EQ(names, r.names);
  }
}

TEST(CompilerLinkBlock, GamePathFieldStaysInsideBlockA) {
  std::vector<uint8_t> a(compiler_link_block_a_size, 0);
  EXPECT_TRUE(write_link_game_path(a.data(), "/games/x/"));
  EXPECT_EQ(read_link_game_path(a.data()), "/games/x/");
  EXPECT_EQ(a[link_game_path_offset + 9], 0);

  const std::string longest(link_game_path_max, 'p');
  EXPECT_TRUE(write_link_game_path(a.data(), longest));
  EXPECT_EQ(a.back(), 0);  // the terminator is the block's last byte
  EXPECT_EQ(read_link_game_path(a.data()), longest);
  EXPECT_FALSE(write_link_game_path(a.data(), longest + "q"));
  EXPECT_FALSE(write_link_game_path(a.data(), std::string("a\0b", 3)));

  // A compiler that leaves no terminator: the path stops at 379 bytes and
  // never reads past the block.
  std::memset(a.data() + link_game_path_offset, 'z', link_game_path_field);
  EXPECT_EQ(read_link_game_path(a.data()), std::string(379, 'z'));
  EXPECT_EQ(link_game_path_offset + link_game_path_field, compiler_link_block_a_size);
}
