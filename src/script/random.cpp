#include "script/random.h"

#include "platform/platform.h"

random_state_record random_state;

namespace {
constexpr uint32_t matrix_a = 0x9908b0dfu;
constexpr uint32_t upper_mask = 0x80000000u;
constexpr uint32_t lower_mask = 0x7fffffffu;
constexpr int mt_m = 397;

void regenerate() {
  uint32_t* mt = random_state.words;
  auto twist = [](uint32_t hi, uint32_t lo, uint32_t far) {
    uint32_t y = (hi & upper_mask) | (lo & lower_mask);
    return far ^ (y >> 1) ^ ((y & 1u) ? matrix_a : 0u);
  };
  int k = 0;
  for (; k < mt_state_size - mt_m; ++k) mt[k] = twist(mt[k], mt[k + 1], mt[k + mt_m]);
  for (; k < mt_state_size - 1; ++k) mt[k] = twist(mt[k], mt[k + 1], mt[k + (mt_m - mt_state_size)]);
  mt[mt_state_size - 1] = twist(mt[mt_state_size - 1], mt[0], mt[mt_m - 1]);
  random_state.index = 0;
}
}  // namespace

void seed_random(uint32_t seed) {
  uint32_t* mt = random_state.words;
  mt[0] = seed;
  for (int i = 1; i < mt_state_size; ++i) mt[i] = 1812433253u * (mt[i - 1] ^ (mt[i - 1] >> 30)) + static_cast<uint32_t>(i);
  random_state.index = mt_state_size;
}

void seed_random_from_clock() {
  Clock* clock = platform_installed() ? platform().clock : nullptr;
  seed_random(clock ? clock->tick_ms() : 0u);
}

uint32_t random_next() {
  if (random_state.index > mt_state_size) seed_random(5489u);
  if (random_state.index >= mt_state_size) regenerate();
  uint32_t y = random_state.words[random_state.index++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9d2c5680u;
  y ^= (y << 15) & 0xefc60000u;
  y ^= y >> 18;
  return y;
}

int64_t random_between(int64_t low, int64_t high) {
  if (high < low) {
    int64_t t = low;
    low = high;
    high = t;
  }
  // high - low + 1 in unsigned arithmetic: at most 2^64 - 1, or 0 for the
  // whole range, where every r is already inside it.
  const uint64_t span = static_cast<uint64_t>(high) - static_cast<uint64_t>(low) + 1u;
  const uint64_t r = random_next();
  const uint64_t offset = span == 0 ? r : r % span;
  return static_cast<int64_t>(static_cast<uint64_t>(low) + offset);
}
