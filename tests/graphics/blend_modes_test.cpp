#include "graphics/blend_modes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

class BlendModes : public ::testing::Test {
 protected:
  void SetUp() override {
    init_pixel_kernels(true, true);
    init_blend_tables();
    init_blend_dispatch_tables();
  }
};

int prod(int x, int y) { return blend_tables.prod[x][y + 255]; }

// The modes written out again from their definitions (screen, overlay and
// hard light through prod, as the tables are defined).
int reference_mode(int m, int a, int b) {
  switch (m) {
    case 0: return a;
    case 1: return std::min(a + b, 255);
    case 2: return std::max(a - b, 0);
    case 3: return a * b / 255;
    case 4: return b > 0 ? std::min(a * 255 / b, 255) : (a == 0 ? 0 : 255);
    case 5: return a + b - prod(b, a);
    case 6: return std::max(a, b);
    case 7: return std::min(a, b);
    case 8: return std::abs(a - b);
    case 9: return a + b - 2 * (a * b / 255);
    case 10: return b < 128 ? prod(2 * b, a) : b == 128 ? a : prod(512 - 2 * b, a) + 2 * b - 257;
    case 11: return std::min(256 * b / (256 - a), 255);
    case 12: return std::max(255 - 256 * (255 - b) / (a + 1), 0);
    case 13: return std::max(a + b - 255, 0);
    case 14: return a < 128 ? prod(2 * a, b) : a == 128 ? b : prod(512 - 2 * a, b) + 2 * a - 257;
    case 15: {
      double r = std::sqrt(256.0 - b);
      long t = a < 128 ? long(16384 - r) : b <= 32 ? long(16384 - (768 - 8 * b) * r) : long(16384 - r);
      int k = a < 128 || b <= 32 ? 15 : 16;
      return std::clamp(int(b + (((a - 128) * t) >> k)), 0, 255);
    }
    case 16:
      if (a == 0) return 0;
      if (a < 128) return std::max((510 * a + 255 * b - 65025) / (2 * a), 0);
      if (a < 255) return std::min(255 * b / (510 - 2 * a), 255);
      return 255;
    case 17: return std::clamp(2 * a + b - 256, 0, 255);
    case 18: return a < 128 ? std::min(b, 2 * a) : std::max(b, 2 * a - 255);
  }
  return -1;
}

TEST_F(BlendModes, EveryModeTableMatchesItsFormulaOverAllPairs) {
  for (int m = 3; m < blend_mode_count; ++m) {
    const uint8_t* t = blend_tables.mode_table[m - 3];
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) {
        int want = reference_mode(m, a, b);
        ASSERT_TRUE(want >= 0 && want <= 255) << m << " " << a << " " << b;
        ASSERT_EQ(t[a * 256 + b], want) << "mode " << m << " a=" << a << " b=" << b;
      }
  }
  for (int m = 0; m < 3; ++m)
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) ASSERT_EQ(blend_mode_formula(m, a, b), reference_mode(m, a, b));
}

TEST_F(BlendModes, ModeEdgeValues) {
  EXPECT_EQ(blend_mode_formula(blend_subtract, 200, 50), 150);
  EXPECT_EQ(blend_mode_formula(blend_subtract, 50, 200), 0);
  for (int a = 1; a < 256; ++a) EXPECT_EQ(blend_mode_formula(blend_divide, a, 0), 255);
  EXPECT_EQ(blend_mode_formula(blend_divide, 0, 0), 0);
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(blend_mode_formula(blend_overlay, v, 128), v);
    EXPECT_EQ(blend_mode_formula(blend_hard_light, 128, v), v);
    EXPECT_EQ(blend_mode_formula(blend_vivid_light, 255, v), 255);
    EXPECT_EQ(blend_mode_formula(blend_vivid_light, 0, v), 0);
  }
}

TEST_F(BlendModes, SharedTablesHoldTruncatedQuotients) {
  EXPECT_EQ(prod(1, -1), 0);  // toward zero, not toward minus infinity
  EXPECT_EQ(prod(256, -255), -256);
  EXPECT_EQ(prod(256, 256), 257);
  EXPECT_EQ(blend_tables.step[1][-255 + 255], 0);
  EXPECT_EQ(blend_tables.step[255][-255 + 255], -254);
  EXPECT_EQ(blend_tables.step[256][256 + 255], 256);
  for (int x = 0; x < 256; ++x) EXPECT_EQ(blend_tables.quot[0][x], 0);
  EXPECT_EQ(blend_tables.quot[255][255], 256);
  EXPECT_EQ(blend_tables.quot[1][255], 65280);
  EXPECT_EQ(blend_tables.sat[510], 255);
  EXPECT_EQ(blend_tables.sat[254], 254);
  EXPECT_EQ(blend_tables.diff_clamp[0], 0);
  EXPECT_EQ(blend_tables.diff_clamp[255 + 17], 17);
}

TEST_F(BlendModes, RuleTable) {
  build_rule_table(256, 56, 256);  // hard edge: shown where i >= 256 - p
  for (int i = 0; i < 256; ++i) EXPECT_EQ(rule_table[i], i >= 200 ? 256 : 0) << i;
  build_rule_table(128, 256, 256);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(rule_table[i], 128);
  build_rule_table(256, 0, 256);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(rule_table[i], 0);
  build_rule_table(256, 100, 0);  // no vagueness: a uniform fade
  for (int i = 0; i < 256; ++i) EXPECT_EQ(rule_table[i], 101);
  build_rule_table(256, 0, 128);  // soft edge, no lower bound
  EXPECT_EQ(rule_table[0], -16383);
  EXPECT_EQ(rule_table[255], 256 * (-16384 + 64 * 255 + 1) >> 8);
  build_rule_table(256, 200, 100);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(rule_table[i], std::min(200 * 50 - 12800 + 200 + ((i * 100) >> 1), 255) + 1) << i;
  // Out-of-range inputs are clamped to 0..256 instead of scaling past full.
  build_rule_table(999, 999, 999);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(rule_table[i], 256);
}

TEST_F(BlendModes, DispatchIsCheckedOncePerLayer) {
  for (int m = 0; m < blend_mode_count; ++m)
    for (int o = 0; o <= 256; ++o) {
      ASSERT_EQ(blend_span_index(m, o), 2 * m + (o >> 8));
      ASSERT_NE(select_span_opacity(m, o), nullptr);
      ASSERT_NE(select_span_alpha(m, o), nullptr);
      ASSERT_NE(select_span_rule(m, o), nullptr);
      ASSERT_NE(select_span_rule_alpha(m, o), nullptr);
    }
  for (auto [m, o] : {std::pair{19, 100}, std::pair{255, 0}, std::pair{-1, 0}, std::pair{0, 257},
                      std::pair{3, -1}, std::pair{18, 512}}) {
    EXPECT_EQ(blend_span_index(m, o), -1);
    EXPECT_EQ(select_span_opacity(m, o), nullptr);
    EXPECT_EQ(select_span_alpha(m, o), nullptr);
    EXPECT_EQ(select_span_rule(m, o), nullptr);
    EXPECT_EQ(select_span_rule_alpha(m, o), nullptr);
  }
  EXPECT_EQ(blend_span_tables.span_table_opacity[38], nullptr);
  EXPECT_EQ(blend_span_tables.span_table_opacity[39], nullptr);
  // Opacity 256 picks the plain variant; rule x alpha is always read at 2m.
  EXPECT_EQ(select_span_opacity(5, 256), blend_spans_of(5).plain);
  EXPECT_EQ(select_span_opacity(5, 255), blend_spans_of(5).opacity);
  EXPECT_EQ(select_span_rule_alpha(4, 256), blend_span_tables.span_table_rule_alpha[8]);
}

// ---- span variants against their definitions ----

enum variant { plain, opacity, alpha, alpha_opacity, rule, rule_alpha };

int mode_value(int m, int s, int d) { return reference_mode(m, s, d); }

// One destination byte after the variant, c = channel 0..3.
int expected_byte(int m, variant v, int o, bool odd_rule, int w, const uint8_t* d, const uint8_t* s, int c) {
  int db = d[c], sb = s[c], a = s[3];
  // The per-pixel variants leave the fourth byte alone, except the kernels
  // standing in for them, which weigh it like a colour byte.
  bool kernel = (m <= 1 && (v == alpha || v == alpha_opacity)) || (m == 0 && v == rule && odd_rule);
  if ((v == alpha || v == alpha_opacity || v == rule || v == rule_alpha) && c == 3 && !kernel) return db;
  switch (v) {
    case plain:
      switch (m) {  // kernels stand in for these
        case 3: return (db * (sb + 1)) >> 8;
        case 5: return db + sb - ((db * (sb + 1)) >> 8);
        default: return mode_value(m, sb, db);
      }
    case opacity:
      if (m == 0) return db + (((sb - db) * o) >> 8);
      if (m == 1) return std::min(db + ((sb * o) >> 8), 255);
      if (m == 8) {
        int diff = mode_value(m, sb, db) - db;
        return db + o * diff / 256;  // step table, truncated toward zero
      }
      return db - ((o * (db - mode_value(m, sb, db)) + 255) >> 8);
    case alpha: return db + (((mode_value(m, sb, db) - db) * (a + 1)) >> 8);
    case alpha_opacity: {
      int f = m == 0 ? ((o * a) >> 8) + 1 : (o * a + o) >> 8;
      return db + (((mode_value(m, sb, db) - db) * f) >> 8);
    }
    case rule:
      if (w <= 1) return db;
      if (m == 0 && odd_rule) return db - ((w * (db - sb)) >> 8);
      return db + (((mode_value(m, sb, db) - db) * w) >> 8);
    case rule_alpha: {
      if (w <= 1) return db;
      int w2 = w * (m == 0 ? a : a + 1);
      return db + (((mode_value(m, sb, db) - db) * w2) >> 16);
    }
  }
  return -1;
}

struct span_fixture {
  std::vector<uint8_t> d, s, m;
};

// Pixels with source alpha 0 and 255 (and some in between) over random colours.
span_fixture make_pixels(std::mt19937& rng, int count) {
  span_fixture f;
  f.d.resize(count * 4);
  f.s.resize(count * 4);
  f.m.resize(count * 4);
  for (auto* v : {&f.d, &f.s, &f.m})
    for (auto& b : *v) b = uint8_t(rng());
  for (int p = 0; p < count; ++p) f.s[p * 4 + 3] = p % 3 == 0 ? 0 : (p % 3 == 1 ? 255 : uint8_t(rng()));
  return f;
}

void check_span(int m, variant v, int o, int count, std::mt19937& rng) {
  span_fixture f = make_pixels(rng, count);
  std::vector<uint8_t> out = f.d;
  bool odd = o == 256;
  int entry = 2 * m + (o >> 8);
  switch (v) {
    case plain:
    case opacity: blend_span_tables.span_table_opacity[entry](out.data(), f.s.data(), o, out.size()); break;
    case alpha:
    case alpha_opacity: blend_span_tables.span_table_alpha[entry](out.data(), f.s.data(), o, out.size()); break;
    case rule: blend_span_tables.span_table_rule[entry](out.data(), f.s.data(), f.m.data(), 0, 0, out.size()); break;
    case rule_alpha:
      blend_span_tables.span_table_rule_alpha[2 * m](out.data(), f.s.data(), f.m.data(), 0, 0, out.size());
      break;
  }
  for (int p = 0; p < count; ++p)
    for (int c = 0; c < 4; ++c) {
      int want = expected_byte(m, v, o, odd, rule_table[f.m[p * 4]], &f.d[p * 4], &f.s[p * 4], c);
      ASSERT_EQ(out[p * 4 + c], want) << "mode " << m << " variant " << v << " o=" << o << " pixel " << p
                                      << " channel " << c << " alpha " << int(f.s[p * 4 + 3]);
    }
}

TEST_F(BlendModes, EverySpanVariantFollowsItsDefinition) {
  std::mt19937 rng(7);
  for (int m = 0; m < blend_mode_count; ++m) {
    SCOPED_TRACE(m);
    check_span(m, plain, 256, 301, rng);
    check_span(m, alpha, 256, 301, rng);
    for (int o : {0, 1, 128, 255}) {
      check_span(m, opacity, o, 301, rng);
      check_span(m, alpha_opacity, o, 301, rng);
    }
    for (auto [o, p, vg] : {std::tuple{256, 100, 256}, std::tuple{256, 0, 256}, std::tuple{256, 256, 256},
                            std::tuple{255, 150, 60}, std::tuple{0, 200, 10}, std::tuple{256, 180, 0}}) {
      build_rule_table(o, p, vg);
      check_span(m, rule, 255, 301, rng);
      check_span(m, rule, 256, 301, rng);
      check_span(m, rule_alpha, 0, 301, rng);
    }
  }
}

TEST_F(BlendModes, RuleAtTheEndsOfProgress) {
  std::mt19937 rng(3);
  for (int m : {0, 3, 10}) {
    span_fixture f = make_pixels(rng, 64);
    std::vector<uint8_t> out = f.d;
    build_rule_table(256, 0, 256);
    select_span_rule(m, 256)(out.data(), f.s.data(), f.m.data(), 0, 256, out.size());
    EXPECT_EQ(out, f.d) << "progress 0 changes nothing, mode " << m;
    build_rule_table(256, 256, 256);
    select_span_rule(m, 256)(out.data(), f.s.data(), f.m.data(), 256, 256, out.size());
    for (int p = 0; p < 64; ++p)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(out[p * 4 + c], reference_mode(m, f.s[p * 4 + c], f.d[p * 4 + c])) << "drawn fully";
  }
}

TEST_F(BlendModes, AlphaZeroStillWeighsOne) {
  for (int m : {0, 4, 12}) {
    uint8_t d[4] = {200, 200, 200, 9};
    const uint8_t s[4] = {0, 0, 0, 0};
    select_span_alpha(m, 256)(d, s, 256, 4);
    int t = reference_mode(m, 0, 200);
    int want = t < 200 ? 199 : 200;
    EXPECT_EQ(d[0], want) << m;
    EXPECT_EQ(d[3], m == 0 ? 8 : 9);  // the normal kernel weighs the fourth byte too
  }
}

// The kernel-backed entries go through the installed slots: the same row
// blended with the portable and the SIMD set gives the same bytes.
TEST_F(BlendModes, DispatchResultsDoNotDependOnTheKernelSet) {
  std::mt19937 rng(11);
  span_fixture f = make_pixels(rng, 1000);
  build_rule_table(230, 140, 30);
  for (int m = 0; m < blend_mode_count; ++m)
    for (int o : {0, 100, 255, 256}) {
      std::vector<std::vector<uint8_t>> results;
      for (bool simd : {false, true}) {
        init_pixel_kernels(simd, simd);
        std::vector<uint8_t> a = f.d, b = f.d, c = f.d, d = f.d;
        select_span_opacity(m, o)(a.data(), f.s.data(), o, a.size());
        select_span_alpha(m, o)(b.data(), f.s.data(), o, b.size());
        select_span_rule(m, o)(c.data(), f.s.data(), f.m.data(), 140, 30, c.size());
        select_span_rule_alpha(m, o)(d.data(), f.s.data(), f.m.data(), 140, 30, d.size());
        for (auto* v : {&a, &b, &c, &d}) results.push_back(*v);
      }
      for (int k = 0; k < 4; ++k) ASSERT_EQ(results[k], results[k + 4]) << "mode " << m << " o=" << o << " k=" << k;
    }
}

}  // namespace

// ---- computed spans against the table forms, over every byte pair ----

// Rows whose pixel i carries the layer byte i >> 8 over the background byte
// i & 255 in each colour channel (channel c rotated by c * 85 so the three
// cover the pairs in different orders), with alpha and mask bytes varied
// per pixel; 65,536 pixels, so every (a, b) pair meets every variant.
struct pair_rows {
  std::vector<uint8_t> d, s, m;
};

pair_rows every_pair(int alpha_seed) {
  pair_rows r;
  r.d.resize(65536 * 4);
  r.s.resize(65536 * 4);
  r.m.resize(65536 * 4);
  for (int i = 0; i < 65536; ++i) {
    for (int c = 0; c < 3; ++c) {
      int k = (i + c * 85 * 256) & 0xFFFF;
      r.s[i * 4 + c] = uint8_t(k >> 8);
      r.d[i * 4 + c] = uint8_t(k & 255);
    }
    r.s[i * 4 + 3] = uint8_t((i * 7 + alpha_seed) & 255);
    r.d[i * 4 + 3] = uint8_t(i * 13);
    r.m[i * 4] = uint8_t((i * 5 + alpha_seed) & 255);
  }
  return r;
}

// Every width of computed spans this processor runs, with its step in pixels.
struct computed_set {
  const char* name;
  int step_pixels;
  blend_mode_spans spans[blend_mode_count];
};

std::vector<computed_set> computed_sets() {
  std::vector<computed_set> sets;
  for (auto [width, name, step] : {std::tuple{span_width::avx2, "avx2", 8}, std::tuple{span_width::avx512, "avx512", 16}}) {
    computed_set set{name, step, {}};
    if (fill_computed_blend_spans(set.spans, width)) sets.push_back(set);
  }
  return sets;
}

// Runs check(spans, step_pixels) for every computed width.
template <class F>
void for_each_computed_width(F check) {
  for (const computed_set& set : computed_sets()) {
    SCOPED_TRACE(set.name);
    check(set.spans, set.step_pixels);
  }
}

TEST_F(BlendModes, ComputedSpansGiveTheTableBytesForEveryPair) {
  if (computed_sets().empty()) GTEST_SKIP() << "no SIMD spans on this processor";
  for_each_computed_width([&](const blend_mode_spans(&computed)[blend_mode_count], int) {
    // The last 13 bytes stay off the 32-byte steps, so the tail is covered too.
    for (int seed : {0, 255, 131}) {
      pair_rows r = every_pair(seed);
      const size_t n = r.d.size() - 13;
      for (int m = 0; m < blend_mode_count; ++m) {
        SCOPED_TRACE(m);
        const blend_mode_spans& table = blend_table_spans_of(m);
        const blend_mode_spans& fast = computed[m];
        auto same = [&](auto run_table, auto run_fast, const char* what) {
          std::vector<uint8_t> want = r.d, got = r.d;
          run_table(want.data());
          run_fast(got.data());
          for (size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(got[i], want[i]) << what << " byte " << i << " s=" << int(r.s[i]) << " d=" << int(r.d[i])
                                       << " alpha=" << int(r.s[i | 3]);
        };
        same([&](uint8_t* d) { table.plain(d, r.s.data(), 256, n); },
             [&](uint8_t* d) { fast.plain(d, r.s.data(), 256, n); }, "plain");
        same([&](uint8_t* d) { table.alpha(d, r.s.data(), 256, n); },
             [&](uint8_t* d) { fast.alpha(d, r.s.data(), 256, n); }, "alpha");
        for (int o : {0, 1, 77, 128, 255, 256}) {
          SCOPED_TRACE(o);
          same([&](uint8_t* d) { table.opacity(d, r.s.data(), o, n); },
               [&](uint8_t* d) { fast.opacity(d, r.s.data(), o, n); }, "opacity");
          same([&](uint8_t* d) { table.alpha_opacity(d, r.s.data(), o, n); },
               [&](uint8_t* d) { fast.alpha_opacity(d, r.s.data(), o, n); }, "alpha x opacity");
        }
        for (auto [o, rule_p, rule_v] : {std::tuple{256, 100, 256}, std::tuple{255, 150, 60}, std::tuple{256, 256, 256},
                                         std::tuple{180, 140, 40}, std::tuple{0, 200, 10}, std::tuple{256, 180, 0}}) {
          // Plain copies: lambdas may not capture structured bindings (C++20 in clang 14).
          const int p = rule_p, v = rule_v;
          build_rule_table(o, p, v);
          same([&](uint8_t* d) { table.rule(d, r.s.data(), r.m.data(), p, v, n); },
               [&](uint8_t* d) { fast.rule(d, r.s.data(), r.m.data(), p, v, n); }, "rule");
          same([&](uint8_t* d) { table.rule_alpha(d, r.s.data(), r.m.data(), p, v, n); },
               [&](uint8_t* d) { fast.rule_alpha(d, r.s.data(), r.m.data(), p, v, n); }, "rule x alpha");
        }
      }
    }
  });
}

// The dispatch tables hold the computed spans where the table forms stood,
// and the kernels where the kernels stood.
TEST_F(BlendModes, DispatchUsesComputedSpansBesideTheKernels) {
  blend_mode_spans computed[blend_mode_count];
  if (!fill_computed_blend_spans(computed) || !pixel_kernels.avx2) GTEST_SKIP() << "no SIMD spans";
  EXPECT_EQ(select_span_alpha(blend_overlay, 256), computed[blend_overlay].alpha);
  EXPECT_EQ(select_span_opacity(blend_divide, 100), computed[blend_divide].opacity);
  EXPECT_EQ(select_span_rule_alpha(blend_normal, 100), computed[blend_normal].rule_alpha);
  EXPECT_NE(select_span_alpha(blend_normal, 256), computed[blend_normal].alpha);  // the kernel
  EXPECT_NE(select_span_opacity(blend_multiply, 256), computed[blend_multiply].plain);
  // The widest width the processor runs is the one installed.
  const std::vector<computed_set> sets = computed_sets();
  EXPECT_EQ(select_span_opacity(blend_divide, 100), sets.back().spans[blend_divide].opacity) << sets.back().name;
  init_pixel_kernels(false, false);  // the portable level keeps the table forms
  init_blend_dispatch_tables();
  EXPECT_EQ(select_span_alpha(blend_overlay, 256), blend_table_spans_of(blend_overlay).alpha);
}

// The computed spans weigh T - d with 16-bit multiplies in place of the
// definitions' wider products. Every weight the variants can meet, against
// every difference T - d from -255 to 255: pixel j of the row has layer j and
// background 0 (j < 256) or layer 0 and background j - 255, so that in normal
// and subtract T - d runs over -255..255, and in difference (whose opacity
// variant truncates toward zero) over its own range.
TEST_F(BlendModes, ComputedWeightingMatchesForEveryWeightAndDifference) {
  if (computed_sets().empty()) GTEST_SKIP() << "no SIMD spans on this processor";
  for_each_computed_width([&](const blend_mode_spans(&computed)[blend_mode_count], int) {
    constexpr size_t pixels = 511 + 9;  // not a whole number of 32-byte steps
    std::vector<uint8_t> s(pixels * 4), d(pixels * 4), m(pixels * 4);
    for (size_t j = 0; j < pixels; ++j)
      for (int c = 0; c < 3; ++c) {
        int k = int(j % 511);
        s[j * 4 + c] = uint8_t(k < 256 ? k : 0);
        d[j * 4 + c] = uint8_t(k < 256 ? 0 : k - 255);
        m[j * 4 + c] = uint8_t(j * 37);
      }
    auto check = [&](int mode, const char* what, auto run_table, auto run_fast) {
      std::vector<uint8_t> want = d, got = d;
      run_table(want.data());
      run_fast(got.data());
      ASSERT_EQ(got, want) << "mode " << mode << " " << what;
    };
    for (int mode : {blend_normal, blend_subtract, blend_difference}) {
      const blend_mode_spans& table = blend_table_spans_of(mode);
      const blend_mode_spans& fast = computed[mode];
      const size_t n = s.size();
      for (int o = 0; o <= 256; ++o) {
        SCOPED_TRACE(o);
        check(mode, "opacity", [&](uint8_t* p) { table.opacity(p, s.data(), o, n); },
              [&](uint8_t* p) { fast.opacity(p, s.data(), o, n); });
        for (int a = 0; a < 256; a += 17) {
          for (size_t j = 0; j < pixels; ++j) s[j * 4 + 3] = uint8_t(a);
          check(mode, "alpha x opacity", [&](uint8_t* p) { table.alpha_opacity(p, s.data(), o, n); },
                [&](uint8_t* p) { fast.alpha_opacity(p, s.data(), o, n); });
        }
      }
      // Rule weights as build_rule_table can leave them: below 2 (no change),
      // up to 256; with every alpha, so that w * (a + 1) meets 65,536 too.
      for (int w = -3; w <= 256; ++w) {
        SCOPED_TRACE(w);
        std::fill(std::begin(rule_table), std::end(rule_table), w);
        for (int a = 0; a < 256; ++a) {
          for (size_t j = 0; j < pixels; ++j) s[j * 4 + 3] = uint8_t(a);
          if (a == 0 || a == 255)
            check(mode, "alpha", [&](uint8_t* p) { table.alpha(p, s.data(), 256, n); },
                  [&](uint8_t* p) { fast.alpha(p, s.data(), 256, n); });
          if (a == 0)
            check(mode, "rule", [&](uint8_t* p) { table.rule(p, s.data(), m.data(), 0, 0, n); },
                  [&](uint8_t* p) { fast.rule(p, s.data(), m.data(), 0, 0, n); });
          check(mode, "rule x alpha", [&](uint8_t* p) { table.rule_alpha(p, s.data(), m.data(), 0, 0, n); },
                [&](uint8_t* p) { fast.rule_alpha(p, s.data(), m.data(), 0, 0, n); });
        }
      }
    }
  });
}

// Steps of eight clear pixels (alpha 0) take a shortcut in the alpha variant:
// every byte pair with alpha 0 throughout, and with clear and other pixels
// mixed in a step.
TEST_F(BlendModes, ComputedAlphaSpansHoldForClearPixels) {
  if (computed_sets().empty()) GTEST_SKIP() << "no SIMD spans on this processor";
  for_each_computed_width([&](const blend_mode_spans(&computed)[blend_mode_count], int) {
    pair_rows r = every_pair(0);
    for (int round = 0; round < 2; ++round) {
      for (size_t i = 0; i < 65536; ++i) r.s[i * 4 + 3] = round == 0 || i % 8 != 5 ? 0 : uint8_t(i);
      for (int mode = 0; mode < blend_mode_count; ++mode) {
        std::vector<uint8_t> want = r.d, got = r.d;
        blend_table_spans_of(mode).alpha(want.data(), r.s.data(), 256, want.size());
        computed[mode].alpha(got.data(), r.s.data(), 256, got.size());
        ASSERT_EQ(got, want) << "mode " << mode << ", round " << round;
      }
    }
  });
}

// Rule tables that do not rise with the mask value: live and dead entries
// mixed, so that the eight-pixel skip below the first live value and the
// per-pixel weights both meet every pair, for every mode.
TEST_F(BlendModes, ComputedRuleSpansHoldForTablesInAnyOrder) {
  if (computed_sets().empty()) GTEST_SKIP() << "no SIMD spans on this processor";
  for_each_computed_width([&](const blend_mode_spans(&computed)[blend_mode_count], int) {
    pair_rows r = every_pair(77);
    // Runs of equal mask values, as in a transition picture, between noise.
    for (size_t i = 0; i < 65536; ++i)
      if ((i / 64) % 3 != 0) r.m[i * 4] = uint8_t(i / 256);
    std::mt19937 rng(5);
    for (int round = 0; round < 4; ++round) {
      for (int& w : rule_table) w = int(rng() % 261) - 4;  // -4..256: dead, live, full
      if (round == 1) std::fill(rule_table, rule_table + 128, 1);  // a dead prefix
      if (round == 2) std::fill(rule_table, rule_table + 256, 0);  // nothing live
      if (round == 3) rule_table[255] = 200, std::fill(rule_table, rule_table + 255, -7);
      const size_t n = r.d.size() - 5;
      for (int mode = 0; mode < blend_mode_count; ++mode) {
        SCOPED_TRACE(mode);
        const blend_mode_spans& table = blend_table_spans_of(mode);
        const blend_mode_spans& fast = computed[mode];
        std::vector<uint8_t> want = r.d, got = r.d;
        table.rule(want.data(), r.s.data(), r.m.data(), 0, 0, n);
        fast.rule(got.data(), r.s.data(), r.m.data(), 0, 0, n);
        ASSERT_EQ(got, want) << "rule, round " << round;
        want = got = r.d;
        table.rule_alpha(want.data(), r.s.data(), r.m.data(), 0, 0, n);
        fast.rule_alpha(got.data(), r.s.data(), r.m.data(), 0, 0, n);
        ASSERT_EQ(got, want) << "rule x alpha, round " << round;
      }
    }
  });
}

// The computed dividing modes (divide, colour dodge and burn, vivid light)
// share one division: every 16-bit numerator over every divisor they use
// (1..256), and some larger divisors a 16-bit lane holds.
TEST_F(BlendModes, ComputedQuotientsAreExactForEveryNumerator) {
  std::vector<uint16_t> n(65536), q(65536), out(65536);
  for (int i = 0; i < 65536; ++i) n[i] = uint16_t(i);
  std::vector<int> divisors;
  for (int d = 1; d <= 256; ++d) divisors.push_back(d);
  for (int d : {257, 4095, 32768, 65521, 65535}) divisors.push_back(d);
  if (!computed_blend_quotients(n.data(), n.data(), out.data(), 32)) GTEST_SKIP() << "no SIMD spans";
  for (span_width width : {span_width::avx2, span_width::avx512})
    for (int d : divisors) {
      std::fill(q.begin(), q.end(), uint16_t(d));
      if (!computed_blend_quotients(n.data(), q.data(), out.data(), n.size(), width)) break;
      for (int i = 0; i < 65536; ++i) ASSERT_EQ(out[i], std::min(i / d, 32767)) << i << " / " << d;
    }
}

// Alpha in runs of one step (eight pixels with AVX2, sixteen with AVX-512): clear, faint, heavy,
// opaque and mixed steps side by side, as the computed spans branch on a
// whole step's alphas and mask values (clear and opaque steps, no weight past
// 32,767, all at the top weight, a top weight of 1 or less).
TEST_F(BlendModes, ComputedSpansHoldForStepsOfOneAlpha) {
  if (computed_sets().empty()) GTEST_SKIP() << "no SIMD spans on this processor";
  for_each_computed_width([&](const blend_mode_spans(&computed)[blend_mode_count], int step_pixels) {
    pair_rows r = every_pair(0);
    const uint8_t runs[] = {0, 1, 127, 128, 200, 255, 0, 37};
    const size_t step = size_t(step_pixels);
    for (size_t i = 0; i < 65536; ++i) {
      r.s[i * 4 + 3] = (i / step) % 9 == 8 ? uint8_t(i * 29) : runs[(i / step) % 9 % 8];
      r.m[i * 4] = uint8_t(i / step * 13);  // whole steps dead, ramping or at the top
    }
    const size_t n = r.d.size() - 9;
    auto same = [&](int mode, const char* what, auto run_table, auto run_fast) {
      std::vector<uint8_t> want = r.d, got = r.d;
      run_table(want.data());
      run_fast(got.data());
      ASSERT_EQ(got, want) << "mode " << mode << " " << what;
    };
    for (int mode = 0; mode < blend_mode_count; ++mode) {
      const blend_mode_spans& table = blend_table_spans_of(mode);
      const blend_mode_spans& fast = computed[mode];
      same(mode, "alpha", [&](uint8_t* d) { table.alpha(d, r.s.data(), 256, n); },
           [&](uint8_t* d) { fast.alpha(d, r.s.data(), 256, n); });
      same(mode, "alpha x opacity", [&](uint8_t* d) { table.alpha_opacity(d, r.s.data(), 180, n); },
           [&](uint8_t* d) { fast.alpha_opacity(d, r.s.data(), 180, n); });
    }
    for (int t = 0; t < 4; ++t) {
      if (t < 3) {
        const int o[] = {256, 180, 256}, p[] = {256, 140, 120}, v[] = {256, 40, 30};
        build_rule_table(o[t], p[t], v[t]);
      } else {
        for (int i = 0; i < 256; ++i) rule_table[i] = i < 64 ? 0 : i < 128 ? 100 + i : 1;  // dead at the top
      }
      for (int mode = 0; mode < blend_mode_count; ++mode) {
        const blend_mode_spans& table = blend_table_spans_of(mode);
        const blend_mode_spans& fast = computed[mode];
        same(mode, "rule", [&](uint8_t* d) { table.rule(d, r.s.data(), r.m.data(), 0, 0, n); },
             [&](uint8_t* d) { fast.rule(d, r.s.data(), r.m.data(), 0, 0, n); });
        same(mode, "rule x alpha", [&](uint8_t* d) { table.rule_alpha(d, r.s.data(), r.m.data(), 0, 0, n); },
             [&](uint8_t* d) { fast.rule_alpha(d, r.s.data(), r.m.data(), 0, 0, n); });
      }
    }
  });
}
