#include "format/hashes.h"

#include <gtest/gtest.h>

#include <string>

TEST(Hashes, Crc32KnownValues) {
  EXPECT_EQ(compute_crc32("abc", 3), 0x352441C2u);
  EXPECT_EQ(compute_crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(compute_crc32("", 0), 0u);
  // Continuing a running sum equals one pass.
  EXPECT_EQ(compute_crc32("456789", 6, compute_crc32("123", 3)), 0xCBF43926u);
}

TEST(Hashes, MurmurTailBytesAreUnsigned) {
  EXPECT_EQ(murmur_hash2("", 0), 0u);
  // Reference values of MurmurHash2 with seed 0 over unsigned bytes.
  EXPECT_EQ(name_hash("a"), 0x92685f5eu);
  EXPECT_EQ(name_hash("abcd"), 0x26873021u);
  // A Shift-JIS tail byte >= 0x80 must differ from its sign-extended reading.
  std::string a = "x\x82";
  std::string b = "x\x02";
  EXPECT_NE(name_hash(a), name_hash(b));
}
