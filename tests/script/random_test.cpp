// The MT19937 generator against the standard library's reference engine, and
// the inclusive random range at its edges, including the full int64 range.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <set>

#include "script/random.h"

TEST(Random, MatchesTheReferenceTwisterAcrossRegenerations) {
  for (uint32_t seed : {0u, 1u, 5489u, 0x12345678u, 0xFFFFFFFFu}) {
    seed_random(seed);
    std::mt19937 reference(seed);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(random_next(), reference()) << "seed " << seed << " output " << i;
  }
}

TEST(Random, UnseededGeneratorUsesTheReferenceDefaultSeed) {
  random_state = random_state_record{};
  EXPECT_EQ(random_next(), 3499211612u);  // first output for seed 5489
}

TEST(Random, InclusiveRangeInEitherOrder) {
  seed_random(7);
  std::set<int64_t> seen;
  for (int i = 0; i < 500; ++i) {
    int64_t v = random_between(5, 3);
    ASSERT_GE(v, 3);
    ASSERT_LE(v, 5);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(random_between(-9, -9), -9);
  EXPECT_EQ(random_between(INT64_MAX, INT64_MAX), INT64_MAX);
  EXPECT_EQ(random_between(INT64_MIN, INT64_MIN), INT64_MIN);
}

TEST(Random, FullAndNearFullSpansDoNotTrap) {
  seed_random(99);
  std::mt19937 reference(99);
  // Span 2^64 wraps to 0: r itself is the offset.
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(random_between(INT64_MAX, INT64_MIN), INT64_MIN + static_cast<int64_t>(reference()));
  // Span 2^63 + 1 and 2^64 - 1: larger than any r, so again low + r.
  EXPECT_EQ(random_between(-1, INT64_MAX), -1 + static_cast<int64_t>(reference()));
  EXPECT_EQ(random_between(INT64_MIN, INT64_MAX - 1), INT64_MIN + static_cast<int64_t>(reference()));
  // A span of 2^32 + 1 keeps every r below it.
  uint32_t r = reference();
  EXPECT_EQ(random_between(0, int64_t{1} << 32), static_cast<int64_t>(r));
  // Span 2 takes r mod 2.
  r = reference();
  EXPECT_EQ(random_between(10, 11), 10 + static_cast<int64_t>(r % 2));
}
