#include "graphics/pixel_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "graphics/blend_modes.h"

namespace {

// ---- processor flags and level ----

TEST(CpuFeatures, NoCpuidLeavesEveryFlagZero) {
  cpuid_answers cpu;
  cpu.has_cpuid = false;
  cpu.leaf1_edx = 0xFFFFFFFF;  // ignored without CPUID
  cpu.avx2_usable = true;
  store_cpu_features(cpu);
  EXPECT_EQ(pixel_kernels.mmx + pixel_kernels.sse + pixel_kernels.sse2 + pixel_kernels.sse3 +
                pixel_kernels.ssse3 + pixel_kernels.sse4_1 + pixel_kernels.sse4_2 + pixel_kernels.sse4a +
                pixel_kernels.xop + pixel_kernels.amd_3dnow + pixel_kernels.amd_3dnow_ext + pixel_kernels.avx2,
            0u);
  EXPECT_EQ(choose_kernel_level(pixel_kernels.sse, pixel_kernels.sse2, true, true), 1);
}

TEST(CpuFeatures, DecodesTheDocumentedBits) {
  cpuid_answers cpu;
  cpu.has_cpuid = true;
  cpu.max_standard_leaf = 1;
  cpu.leaf1_edx = (1u << 23) | (1u << 26);           // mmx, sse2 (no sse)
  cpu.leaf1_ecx = (1u << 0) | (1u << 19);            // sse3, sse4_1
  cpu.max_extended_leaf = 0x80000001u;
  cpu.ext1_edx = 1u << 30;                           // 3DNow! extensions only
  cpu.ext1_ecx = 1u << 11;                           // xop
  store_cpu_features(cpu);
  EXPECT_EQ(pixel_kernels.mmx, 1u);
  EXPECT_EQ(pixel_kernels.sse, 0u);
  EXPECT_EQ(pixel_kernels.sse2, 1u);
  EXPECT_EQ(pixel_kernels.sse3, 1u);
  EXPECT_EQ(pixel_kernels.ssse3, 0u);
  EXPECT_EQ(pixel_kernels.sse4_1, 1u);
  EXPECT_EQ(pixel_kernels.sse4_2, 0u);
  EXPECT_EQ(pixel_kernels.amd_3dnow, 0u);
  EXPECT_EQ(pixel_kernels.amd_3dnow_ext, 1u);
  EXPECT_EQ(pixel_kernels.sse4a, 0u);
  EXPECT_EQ(pixel_kernels.xop, 1u);

  // The extended leaf is read only when the highest extended leaf is above
  // 0x80000000, the standard one only when leaf 0 reports more than 0.
  cpu.max_extended_leaf = 0x80000000u;
  cpu.max_standard_leaf = 0;
  store_cpu_features(cpu);
  EXPECT_EQ(pixel_kernels.xop, 0u);
  EXPECT_EQ(pixel_kernels.sse2, 0u);
}

TEST(CpuFeatures, LevelChoiceFollowsTheSettingsSwitches) {
  EXPECT_EQ(choose_kernel_level(true, true, true, true), 3);
  // SSE forbidden, SSE2 allowed: still the SSE-level set.
  EXPECT_EQ(choose_kernel_level(true, true, false, true), 3);
  EXPECT_EQ(choose_kernel_level(true, true, true, false), 2);
  EXPECT_EQ(choose_kernel_level(true, true, false, false), 1);
  EXPECT_EQ(choose_kernel_level(false, false, true, true), 1);
  EXPECT_EQ(choose_kernel_level(true, false, true, true), 2);
}

bool same_set(const kernel_slots& a, const kernel_slots& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(PixelKernels, SlotsAndAllocZeroedWorkBeforeInit) {
  // Each test runs in its own process under ctest: nothing has called
  // init_pixel_kernels yet.
  if (::testing::UnitTest::GetInstance()->test_to_run_count() == 1) {
    EXPECT_TRUE(same_set(pixel_kernels, kernel_set_portable));
    EXPECT_EQ(pixel_kernels.level, 1);
  }
  const void* const* slots = reinterpret_cast<const void* const*>(static_cast<const kernel_slots*>(&pixel_kernels));
  for (int i = 0; i < kernel_slot_count; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i + first_kernel_slot;
  auto* p = static_cast<uint8_t*>(alloc_zeroed(4096));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
  std::free(p);
  void* empty = alloc_zeroed(0);
  EXPECT_NE(empty, nullptr);
  std::free(empty);
#if !defined(__SANITIZE_ADDRESS__)  // ASan aborts on such a request instead of refusing
  EXPECT_EQ(alloc_zeroed(size_t(-1) / 2), nullptr);  // the heap refuses; no crash
#endif
}

TEST(PixelKernels, InitInstallsTheSetOfTheLevel) {
  init_pixel_kernels(false, false);
  EXPECT_EQ(pixel_kernels.level, 1);
  EXPECT_TRUE(same_set(pixel_kernels, kernel_set_portable));
  init_pixel_kernels(true, true);
  if (pixel_kernels.sse2) {
    EXPECT_EQ(pixel_kernels.level, 3);
    const kernel_slots* expected = pixel_kernels.avx2 && kernel_set_avx2() ? kernel_set_avx2() : kernel_set_sse2();
    ASSERT_NE(expected, nullptr);
    EXPECT_TRUE(same_set(pixel_kernels, *expected));
  }
  init_pixel_kernels(true, false);
  if (pixel_kernels.sse) {
    EXPECT_EQ(pixel_kernels.level, 2);
    if (kernel_set_sse2()) {
      EXPECT_TRUE(same_set(pixel_kernels, *kernel_set_sse2()));
    }
  }
}

// ---- slot formulas at their edges ----

TEST(PixelKernels, DocumentedEdgeCases) {
  const kernel_slots& k = kernel_set_portable;
  uint8_t d[4] = {10, 30, 0, 0};
  const uint8_t s[4] = {30, 10, 0, 0};
  k.kernel_sub_sat(d, s, 2);  // source minus destination
  EXPECT_EQ(d[0], 20);
  EXPECT_EQ(d[1], 0);

  uint8_t px[20];
  std::memset(px, 0xEE, sizeof px);
  k.kernel_fill_pixel(px, 12, 0x11223344u);
  uint32_t v;
  for (int i = 0; i < 3; ++i) {
    std::memcpy(&v, px + 4 * i, 4);
    EXPECT_EQ(v, 0x11223344u);
  }
  for (int i = 12; i < 20; ++i) EXPECT_EQ(px[i], 0xEE);

  // Alpha 0 still has weight 1: a source below the destination moves it down
  // one. The fourth byte is weighed like a colour byte.
  uint8_t dst[8] = {100, 100, 100, 7, 100, 100, 100, 0};
  const uint8_t src[8] = {0, 100, 255, 0, 99, 101, 50, 0};
  k.kernel_alpha_blend(dst, src, 0, 8);
  const uint8_t want[8] = {99, 100, 100, 6, 99, 100, 99, 0};
  EXPECT_EQ(std::memcmp(dst, want, 8), 0);
}

// The levels once rounded differently (a halving fast path at w = 128, swapped
// operands above it); every set now keeps the slot's formula.
TEST(PixelKernels, CrossfadeRoundsAlikeAtEveryLevel) {
  for (const kernel_slots* set : {&kernel_set_portable, kernel_set_sse2(), kernel_set_avx2()}) {
    if (!set) continue;
    std::vector<uint8_t> d(64), s(64);
    for (int i = 0; i < 64; i += 4) {
      d[i] = 1, s[i] = 1;      // (d >> 1) + (s >> 1) would give 0
      d[i + 1] = 0, s[i + 1] = 255;
      d[i + 2] = 255, s[i + 2] = 0;
      d[i + 3] = 10, s[i + 3] = 200;
    }
    std::vector<uint8_t> half = d, most = d;
    set->kernel_crossfade(half.data(), s.data(), 128, half.size());
    set->kernel_crossfade(most.data(), s.data(), 200, most.size());
    for (int i = 0; i < 64; i += 4) {
      EXPECT_EQ(half[i], 1);
      EXPECT_EQ(half[i + 1], 127);
      EXPECT_EQ(half[i + 2], 127);  // floor(-127.5)
      EXPECT_EQ(half[i + 3], 105);
      EXPECT_EQ(most[i + 1], 199);
      EXPECT_EQ(most[i + 2], 55);   // 255 + floor(-255 * 200 / 256) = 255 - 200
      EXPECT_EQ(most[i + 3], 158);  // 10 + (190 * 200 >> 8)
    }
  }
}

TEST(PixelKernels, HalfScaleAveragesTwoByTwoBlocks) {
  // Two rows of four pixels; the row length is given in pixels.
  uint8_t src[2 * 4 * 4];
  for (int i = 0; i < 32; ++i) src[i] = uint8_t(i * 8);
  for (const kernel_slots* set : {&kernel_set_portable, kernel_set_sse2(), kernel_set_avx2()}) {
    if (!set) continue;
    uint8_t out[8] = {};
    set->kernel_half_scale(out, src, 4, 2);
    for (int p = 0; p < 2; ++p)
      for (int c = 0; c < 4; ++c) {
        int sum = src[p * 8 + c] + src[p * 8 + 4 + c] + src[16 + p * 8 + c] + src[16 + p * 8 + 4 + c];
        EXPECT_EQ(out[p * 4 + c], sum >> 2);
      }
  }
}

TEST(PixelKernels, RuleBlendSkipsWeightsZeroAndOne) {
  init_blend_tables();
  init_blend_dispatch_tables();
  for (int i = 0; i < 256; ++i) rule_table[i] = i % 3 == 0 ? 0 : (i % 3 == 1 ? 1 : -40);
  rule_table[200] = 256;
  for (const kernel_slots* set : {&kernel_set_portable, kernel_set_sse2(), kernel_set_avx2()}) {
    if (!set) continue;
    std::vector<uint8_t> d(64 * 4, 77), s(64 * 4, 200), m(64 * 4, 0);
    for (int p = 0; p < 64; ++p) m[p * 4] = uint8_t(p);
    m[9 * 4] = 200;
    set->kernel_rule_blend(d.data(), s.data(), m.data(), 0, 0, d.size());
    for (int p = 0; p < 64; ++p) {
      uint8_t want = p == 9 ? 200 : 77;
      EXPECT_EQ(d[p * 4], want) << p;
      EXPECT_EQ(d[p * 4 + 3], want) << p;
    }
  }
}

// ---- SIMD sets against the portable set ----

struct simd_case {
  const char* name;
  const kernel_slots* set;
};

std::vector<simd_case> simd_sets() {
  std::vector<simd_case> sets;
  if (kernel_set_sse2()) sets.push_back({"sse2", kernel_set_sse2()});
  if (kernel_set_avx2()) sets.push_back({"avx2", kernel_set_avx2()});
  return sets;
}

// Random bytes whose alpha bytes often come in runs of 0 and 255, so the
// fast paths of whole vectors are taken as well as the general one.
std::vector<uint8_t> random_pixels(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  int mode = int(rng() % 4);
  for (size_t i = 3; i < n; i += 4) {
    if (mode == 1) v[i] = 255;
    if (mode == 2) v[i] = 0;
    if (mode == 3 && (i / 64) % 2) v[i] = (i / 128) % 2 ? 255 : 0;
  }
  return v;
}

constexpr int weights[] = {0, 1, 2, 127, 128, 129, 200, 254, 255, 256};

template <class Call>
void compare_everywhere(const char* slot, const simd_case& simd, Call call) {
  std::mt19937 rng(1234);
  for (size_t n = 0; n <= 67; ++n) {
    for (int off = 0; off < 4; ++off) {
      int doff = off, soff = (off * 3 + 1) % 4, moff = (off + 2) % 4;
      std::vector<uint8_t> d0 = random_pixels(rng, n + 8), s = random_pixels(rng, n + 8),
                           s2 = random_pixels(rng, n + 8), m = random_pixels(rng, n + 8);
      std::vector<uint8_t> d1 = d0;
      for (int w : weights) {
        std::vector<uint8_t> a = d0, b = d1;
        call(kernel_set_portable, a.data() + doff, s.data() + soff, s2.data() + moff, w, n);
        call(*simd.set, b.data() + doff, s.data() + soff, s2.data() + moff, w, n);
        ASSERT_EQ(a, b) << simd.name << " " << slot << " n=" << n << " offset=" << off << " w=" << w;
      }
    }
  }
}

TEST(PixelKernels, SimdSetsMatchThePortableSet) {
  init_blend_tables();
  init_blend_dispatch_tables();
  auto sets = simd_sets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD kernel set on this machine";
  using K = const kernel_slots&;
  for (const simd_case& simd : sets) {
    compare_everywhere("fill_byte", simd, [](K k, uint8_t* d, const uint8_t*, const uint8_t*, int w, size_t n) {
      k.kernel_fill_byte(d, n, w * 257);
    });
    compare_everywhere("fill_pixel", simd, [](K k, uint8_t* d, const uint8_t*, const uint8_t*, int w, size_t n) {
      k.kernel_fill_pixel(d, n, 0x01020304u * uint32_t(w + 1));
    });
    compare_everywhere("fill_zero", simd, [](K k, uint8_t* d, const uint8_t*, const uint8_t*, int, size_t n) {
      k.kernel_fill_zero(d, n);
    });
#define PAIR(slot)                                                                                  \
  compare_everywhere(#slot, simd, [](K k, uint8_t* d, const uint8_t* s, const uint8_t*, int, size_t n) { \
    k.slot(d, s, n);                                                                                \
  })
#define WEIGHTED(slot)                                                                              \
  compare_everywhere(#slot, simd, [](K k, uint8_t* d, const uint8_t* s, const uint8_t*, int w, size_t n) { \
    k.slot(d, s, w, n);                                                                             \
  })
    PAIR(kernel_copy);
    PAIR(kernel_add_sat);
    PAIR(kernel_sub_sat);
    PAIR(kernel_multiply);
    PAIR(kernel_screen);
    PAIR(kernel_lighten);
    PAIR(kernel_darken);
    PAIR(kernel_linear_burn);
    PAIR(kernel_linear_light);
    PAIR(kernel_alpha_over);
    WEIGHTED(kernel_crossfade);
    WEIGHTED(kernel_alpha_blend);
    WEIGHTED(kernel_alpha_blend_opacity);
    WEIGHTED(kernel_add_opacity);
    WEIGHTED(kernel_add_alpha);
    WEIGHTED(kernel_add_alpha_opacity);
    WEIGHTED(kernel_screen_opacity);
    WEIGHTED(kernel_alpha_over_opacity);
    WEIGHTED(kernel_alpha_over_fade);
#undef PAIR
#undef WEIGHTED
    compare_everywhere("mix_two", simd, [](K k, uint8_t* d, const uint8_t* s, const uint8_t* s2, int w, size_t n) {
      k.kernel_mix_two(d, s, s2, w, n);
    });
    compare_everywhere("alpha_over_weighted", simd,
                       [](K k, uint8_t* d, const uint8_t* s, const uint8_t*, int w, size_t n) {
                         k.kernel_alpha_over_weighted(d, s, 256 - w, w, n);
                       });
    // The rule table is read through the first byte of each mask pixel; try a
    // hard edge (weights 0 and full), a soft one and a faded one.
    for (auto [o, p, v] : {std::tuple{256, 100, 256}, std::tuple{256, 140, 40}, std::tuple{180, 256, 0},
                           std::tuple{256, 256, 256}}) {
      build_rule_table(o, p, v);
      compare_everywhere("rule_blend", simd,
                         [](K k, uint8_t* d, const uint8_t* s, const uint8_t* m, int, size_t n) {
                           k.kernel_rule_blend(d, s, m, 0, 0, n);
                         });
    }
    // Half scale: lengths are output pixels; the source holds two rows.
    std::mt19937 rng(99);
    for (size_t out = 0; out <= 17; ++out) {
      for (int off = 0; off < 4; ++off) {
        size_t row = out * 2 + 1;
        std::vector<uint8_t> s = random_pixels(rng, row * 8 + 8);
        std::vector<uint8_t> a(out * 4 + 8, 5), b = a;
        kernel_set_portable.kernel_half_scale(a.data() + off, s.data() + off, row, out);
        simd.set->kernel_half_scale(b.data() + off, s.data() + off, row, out);
        ASSERT_EQ(a, b) << simd.name << " half_scale out=" << out << " offset=" << off;
      }
    }
  }
}

// Every byte pair through the per-byte slots, so no lane arithmetic can hide
// an overflow that random data misses.
TEST(PixelKernels, SimdSetsMatchOverEveryBytePair) {
  auto sets = simd_sets();
  if (sets.empty()) GTEST_SKIP() << "no SIMD kernel set on this machine";
  std::vector<uint8_t> d0(65536), s(65536);
  for (int i = 0; i < 65536; ++i) {
    d0[i] = uint8_t(i >> 8);
    s[i] = uint8_t(i);
  }
  for (const simd_case& simd : sets) {
    const kernel_slots& p = kernel_set_portable;
    const kernel_slots& q = *simd.set;
    for (auto pick : {&kernel_slots::kernel_add_sat, &kernel_slots::kernel_sub_sat, &kernel_slots::kernel_multiply,
                      &kernel_slots::kernel_screen, &kernel_slots::kernel_lighten, &kernel_slots::kernel_darken,
                      &kernel_slots::kernel_linear_burn, &kernel_slots::kernel_linear_light}) {
      std::vector<uint8_t> a = d0, b = d0;
      (p.*pick)(a.data(), s.data(), a.size());
      (q.*pick)(b.data(), s.data(), b.size());
      ASSERT_EQ(a, b) << simd.name;
    }
    for (int w = 0; w <= 256; ++w) {
      for (auto pick : {&kernel_slots::kernel_crossfade, &kernel_slots::kernel_add_opacity,
                        &kernel_slots::kernel_screen_opacity, &kernel_slots::kernel_alpha_blend,
                        &kernel_slots::kernel_alpha_blend_opacity, &kernel_slots::kernel_add_alpha,
                        &kernel_slots::kernel_add_alpha_opacity}) {
        std::vector<uint8_t> a = d0, b = d0;
        (p.*pick)(a.data(), s.data(), w, a.size());
        (q.*pick)(b.data(), s.data(), w, b.size());
        ASSERT_EQ(a, b) << simd.name << " w=" << w;
      }
    }
  }
}

// ---- alpha-over slots over every pair of alphas ----

// Reference from the designed tables (prod and quot), independent of the
// kernels' own arithmetic.
struct over_reference {
  static int prod(int x, int y) { return blend_tables.prod[x][y + 255]; }
  static int quot(int n, int x) { return blend_tables.quot[n][x]; }
};

void check_over_slot(int slot, int f, int w) {
  using R = over_reference;
  const int colours[][2] = {{0, 255}, {255, 0}, {37, 200}, {128, 127}};
  constexpr int pairs = 256 * 256;
  std::vector<uint8_t> d(pairs * 16), s(pairs * 16);
  for (int ad = 0; ad < 256; ++ad)
    for (int as = 0; as < 256; ++as)
      for (int c = 0; c < 4; ++c) {
        size_t at = (size_t(ad * 256 + as) * 4 + c) * 4;
        for (int k = 0; k < 3; ++k) {
          d[at + k] = uint8_t(colours[(c + k) % 4][0]);
          s[at + k] = uint8_t(colours[(c + k) % 4][1]);
        }
        d[at + 3] = uint8_t(ad);
        s[at + 3] = uint8_t(as);
      }
  std::vector<uint8_t> out = d;
  switch (slot) {
    case 29: pixel_kernels.kernel_alpha_over(out.data(), s.data(), out.size()); break;
    case 30: pixel_kernels.kernel_alpha_over_opacity(out.data(), s.data(), f, out.size()); break;
    case 31: pixel_kernels.kernel_alpha_over_fade(out.data(), s.data(), f, out.size()); break;
    case 32: pixel_kernels.kernel_alpha_over_weighted(out.data(), s.data(), f, w, out.size()); break;
  }
  for (size_t px = 0; px < d.size() / 4; ++px) {
    const uint8_t* dp = &d[px * 4];
    const uint8_t* sp = &s[px * 4];
    int a_s = sp[3], a_d = dp[3];
    int a_out;
    int want[3];
    if (slot == 29 || slot == 31) {
      if (slot == 31) a_d = (f * a_d) >> 8;
      a_out = (a_d + a_s - R::prod(a_d, a_s)) & 0xFF;
      int q = R::quot(a_out, a_s);
      for (int k = 0; k < 3; ++k) want[k] = dp[k] + (((sp[k] - dp[k]) * q) >> 8);
    } else if (slot == 30) {
      a_out = a_d - ((f * (R::prod(a_d, a_s) - a_s) + 255) >> 8);
      long ow = long(f) * R::quot(a_out, a_s);
      if (ow > 65536) ow = 65536;  // the colour never passes the source
      for (int k = 0; k < 3; ++k) want[k] = dp[k] + int(((sp[k] - dp[k]) * ow) >> 16);
    } else {
      int a1 = (f * a_d) >> 8;
      a_out = a1 + ((w * (a_s - ((a1 * (a_s + 1)) >> 8))) >> 8);
      for (int k = 0; k < 3; ++k) {
        want[k] = dp[k] + ((((sp[k] - dp[k]) * w) >> 8) * a_s) / (a_out + 1);
        want[k] = std::clamp(want[k], std::min<int>(dp[k], sp[k]), std::max<int>(dp[k], sp[k]));
      }
    }
    ASSERT_TRUE(a_out >= 0 && a_out <= 255) << slot;
    for (int k = 0; k < 3; ++k) {
      ASSERT_TRUE(want[k] >= 0 && want[k] <= 255) << "slot " << slot << " a_d=" << a_d << " a_s=" << a_s << " f=" << f << " w=" << w << " d=" << int(dp[k]) << " s=" << int(sp[k]) << " want=" << want[k];
      ASSERT_EQ(out[px * 4 + k], want[k]) << "slot " << slot << " a_d=" << int(dp[3]) << " a_s=" << a_s
                                          << " f=" << f << " w=" << w;
    }
    ASSERT_EQ(out[px * 4 + 3], a_out) << "slot " << slot;
  }
}

TEST(PixelKernels, AlphaOverSlotsOverEveryAlphaPair) {
  init_blend_tables();
  init_blend_dispatch_tables();
  init_pixel_kernels(true, true);
  check_over_slot(29, 0, 0);
  for (int o : {0, 1, 10, 128, 255, 256}) check_over_slot(30, o, 0);
  for (int f : {0, 77, 255, 256}) check_over_slot(31, f, 0);
  for (auto [f, w] : {std::pair{256, 256}, std::pair{0, 256}, std::pair{256, 0}, std::pair{128, 200}, std::pair{255, 1}})
    check_over_slot(32, f, w);
}

TEST(PixelKernels, AlphaOverColoursNeverPassTheSource) {
  // Low opacity over a faint destination: the rounded coverage is below the
  // source alpha, and the unclamped weight would push the colour past 255.
  uint8_t d[8] = {0, 0, 0, 0, 0, 0, 0, 10};
  const uint8_t s[8] = {255, 255, 255, 255, 255, 255, 255, 255};
  kernel_set_portable.kernel_alpha_over_opacity(d, s, 10, 8);
  EXPECT_EQ(d[0], 255);  // unclamped: 255 * 72530 >> 16 = 282, stored as 26
  EXPECT_EQ(d[3], 9);
  EXPECT_EQ(d[4], 133);  // 255 * 10 * 3435 >> 16: inside the limit, unchanged
  EXPECT_EQ(d[7], 19);

  // Slot 32 with a faint weight: the floored step times a_s / (a_out + 1)
  // would give -1 (stored as 255) for a source only one below the destination.
  uint8_t d2[4] = {128, 128, 128, 0};
  const uint8_t s2[4] = {127, 127, 127, 129};
  kernel_set_portable.kernel_alpha_over_weighted(d2, s2, 255, 1, 4);
  EXPECT_EQ(d2[0], 127);
  EXPECT_EQ(d2[3], 0);
}

}  // namespace
