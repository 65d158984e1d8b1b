// Engine image format layout: header bytes and every layout check.
#include <gtest/gtest.h>

#include <cstring>

#include "format/kcg_format.h"

TEST(KcgFormat, HeaderBytesAreLittleEndianWithUnreadFieldsZero) {
  kcg_header h;
  h.magic_ok = true;
  h.width = 0x01020304;
  h.height = 0x0A0B0C0D;
  h.compression = 2;
  h.part1_unpacked = 0x11223344;
  h.part1_packed = 0x55667788;
  h.part2_unpacked = 0x99AABBCC;
  h.part2_packed = 0xDDEEFF00;
  uint8_t bytes[kcg_header_size];
  write_kcg_header(h, bytes);
  const uint8_t want[kcg_header_size] = {
      'K', 'C', 'G', 0, 4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0, 0, 0, 0, 0, 0, 0, 0,
      0xCC, 0xBB, 0xAA, 0x99, 0x00, 0xFF, 0xEE, 0xDD};
  EXPECT_EQ(0, std::memcmp(bytes, want, kcg_header_size));
  kcg_header back;
  // Fields that are not read may hold anything.
  std::memset(bytes + 12, 0xEE, 4);
  std::memset(bytes + 20, 0xEE, 12);
  std::memset(bytes + 40, 0xEE, 8);
  ASSERT_TRUE(read_kcg_header(bytes, sizeof bytes, back));
  EXPECT_TRUE(back.magic_ok);
  EXPECT_EQ(back.width, h.width);
  EXPECT_EQ(back.height, h.height);
  EXPECT_EQ(back.compression, 2u);
  EXPECT_EQ(back.part1_unpacked, h.part1_unpacked);
  EXPECT_EQ(back.part1_packed, h.part1_packed);
  EXPECT_EQ(back.part2_unpacked, h.part2_unpacked);
  EXPECT_EQ(back.part2_packed, h.part2_packed);
  EXPECT_FALSE(read_kcg_header(bytes, 55, back));
}

TEST(KcgFormat, LayoutChecksInOrder) {
  kcg_header h;
  h.magic_ok = true;
  h.width = 10;
  h.height = 3;
  h.compression = 0;
  h.part1_unpacked = h.part1_packed = 40;
  h.part2_unpacked = h.part2_packed = 80;
  EXPECT_EQ(check_kcg_layout(h, 56 + 120), kcg_layout::ok);
  EXPECT_EQ(check_kcg_layout(h, 56 + 121), kcg_layout::ok);  // trailing bytes are harmless
  EXPECT_EQ(check_kcg_layout(h, 56 + 119), kcg_layout::parts_past_end);
  EXPECT_EQ(check_kcg_layout(h, 10), kcg_layout::parts_past_end);
  auto with = [&](auto change) {
    kcg_header c = h;
    change(c);
    return check_kcg_layout(c, 1 << 20);
  };
  EXPECT_EQ(with([](kcg_header& c) { c.magic_ok = false; }), kcg_layout::bad_magic);
  EXPECT_EQ(with([](kcg_header& c) { c.width = 0; }), kcg_layout::bad_size);
  EXPECT_EQ(with([](kcg_header& c) { c.height = 8193; }), kcg_layout::bad_size);
  EXPECT_EQ(with([](kcg_header& c) { c.compression = 3; }), kcg_layout::bad_compression);
  EXPECT_EQ(with([](kcg_header& c) { c.part2_unpacked = 81; }), kcg_layout::parts_mismatch);
  EXPECT_EQ(with([](kcg_header& c) { c.part1_packed = 39; }), kcg_layout::parts_mismatch);
  // Sizes that wrap in 32 bits still do not add up.
  EXPECT_EQ(with([](kcg_header& c) {
              c.part1_unpacked = 0xFFFFFFF0u;
              c.part2_unpacked = 120 + 0x10;
            }),
            kcg_layout::parts_mismatch);
  EXPECT_EQ(with([](kcg_header& c) {
              c.compression = 1;
              c.part1_packed = 0xFFFFFFFFu;
            }),
            kcg_layout::parts_past_end);
}

TEST(KcgFormat, WriterCutsWhereAskedAndClampsTheCut) {
  std::vector<uint8_t> pixels(2 * 2 * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> file;
  ASSERT_EQ(build_kcg_file(pixels.data(), 2, 2, kcg_compression_raw, 5, nullptr, file), 0);
  ASSERT_EQ(file.size(), kcg_header_size + 16);
  kcg_header h;
  ASSERT_TRUE(read_kcg_header(file.data(), file.size(), h));
  EXPECT_EQ(h.part1_unpacked, 5u);
  EXPECT_EQ(h.part2_unpacked, 11u);
  EXPECT_EQ(0, std::memcmp(file.data() + kcg_header_size, pixels.data(), 16));
  ASSERT_EQ(build_kcg_file(pixels.data(), 2, 2, kcg_compression_raw, 999, nullptr, file), 0);
  ASSERT_TRUE(read_kcg_header(file.data(), file.size(), h));
  EXPECT_EQ(h.part1_unpacked, 16u);
  EXPECT_EQ(h.part2_unpacked, 0u);
  EXPECT_EQ(default_kcg_cut(7, 5), 7u * 4 * 2);
  EXPECT_EQ(build_kcg_file(pixels.data(), 0, 2, 0, 0, nullptr, file), -1);
  EXPECT_EQ(build_kcg_file(pixels.data(), 2, 2, 4, 0, nullptr, file), -1);
  EXPECT_EQ(build_kcg_file(pixels.data(), 2, 2, kcg_compression_library, 0, nullptr, file), -2);
}
