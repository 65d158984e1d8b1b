// The script machine's one random generator: MT19937 (the published Mersenne
// Twister with 32-bit output), seeded once at start-up from the millisecond
// clock. Every random number a script sees comes from here.
#pragma once
#include <cstdint>

constexpr int mt_state_size = 624;

struct random_state_record {
  uint32_t words[mt_state_size];
  int index = mt_state_size + 1;  // past the end: not seeded yet
};
extern random_state_record random_state;

// The standard initialisation (init_genrand) with a 32-bit seed.
void seed_random(uint32_t seed);
// Seeds from the platform clock's millisecond tick (0 without a clock); called
// once by init_startup_tables.
void seed_random_from_clock();
// The next 32-bit output (genrand_int32). An unseeded generator seeds itself
// with 5489, as the reference code does.
uint32_t random_next();
// low + (r mod (high - low + 1)) with the operands swapped when high < low;
// the span is taken as an unsigned 64-bit value, so the full int64 range
// (span 2^64, wrapping to 0) takes r itself.
int64_t random_between(int64_t low, int64_t high);
