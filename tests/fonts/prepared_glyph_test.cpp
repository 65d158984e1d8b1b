// Prepared glyphs and the cached drawing path: every pass, in every rotation,
// glyph mode and overlay, over any background, gives the pixels the kernel
// formulas give; the overlay's shortcuts over clear and opaque pixels are
// exact for every colour pair; a character drawn from the slot's cache, or
// from outside it once the cache is full, draws like a freshly rendered one.
#include <algorithm>
#include <random>

#include "font_test_support.h"

using namespace font_test;

namespace {

class PreparedGlyphs : public ::testing::Test {
 protected:
  void SetUp() override { init_lookup_tables(); }
  void TearDown() override { release_glyph_caches(); }
};

uint32_t channel(uint32_t c, int shift) { return (c >> shift) & 0xFF; }

// The overlay formula: b = a + 1, alpha d + b - (d b >> 8) - 1, each channel
// c + (g - c) b / (alpha + 1) in C division.
uint32_t overlay_formula(uint32_t old, uint32_t g, int a) {
  const int d = int(old >> 24), b = a + 1, na = d + b - (d * b >> 8) - 1;
  uint32_t out = uint32_t(na) << 24;
  for (int k = 0; k < 3; ++k) {
    const int o = int(channel(old, 8 * k)), gc = int(channel(g, 8 * k));
    out |= uint32_t(o + (gc - o) * b / (na + 1)) << (8 * k);
  }
  return out;
}

// One pass straight from the formulas: bitmap row and nibble per pixel, the
// gradient colour, the placement, and the one-bit or anti-aliased rule.
void reference_pass(const std::vector<uint8_t>& bits, int side, bool one_bit, const gradient_corners& c, int rotation,
                    int w, int h, int x, int y, int overlay, test_picture& pic) {
  const int64_t divisor = std::max<int64_t>(1, int64_t(h) * 100 / w);
  const auto ink = [&](int64_t row, int col) { return !(bits[size_t(row) * (side / 8) + col / 8] & (0x80 >> (col % 8))); };
  for (int i = 0; i < h; ++i)
    for (int j = 0; j < w; ++j) {
      int px, py;
      glyph_pixel_position(rotation, x, y, w, h, i, j, px, py);
      const uint32_t g = gradient_colour(c, i, j, w, h);
      if (one_bit) {
        if (i * 100 / divisor >= side) continue;
        if (ink(i * 100 / divisor, j))
          pic.set(px, py, 0xFF000000u | g);
        else if (!overlay)
          pic.set(px, py, 0xFF000000u);
        continue;
      }
      const int64_t r = i * 400 / divisor;
      if (r + 3 >= side) continue;
      int n = 0;
      for (int k = 0; k < 4; ++k)
        for (int bit = 0; bit < 4; ++bit) n += ink(r + k, j * 4 + bit);
      const int a = std::min(18 * n, 255);
      pic.set(px, py, overlay ? overlay_formula(pic.at(px, py), g, a) : uint32_t(a) << 24 | g);
    }
}

// Pixels whose alpha is 0, 255 or anything between, in runs long enough to
// fill whole groups of eight as well as mixed ones.
void fill_background(test_picture& pic, std::mt19937& rng) {
  for (int i = 0; i < pic.width * pic.height; ++i) {
    const int run = (i / 11) % 4;
    const uint32_t alpha = run == 0 ? 0 : run == 1 ? 255 : run == 2 ? (i % 3 ? 255 : 0) : rng() & 0xFF;
    pic.set_index(i, alpha << 24 | (rng() & 0xFFFFFF));
  }
}

// A glyph picture of glyph_side x glyph_side one-bit pixels (or coverage
// bytes read as such): runs of set, clear and random bytes.
constexpr int glyph_side = 1088;
std::vector<uint8_t> random_glyph_bits(std::mt19937& rng) {
  std::vector<uint8_t> bits(size_t(glyph_side) * glyph_side / 8);
  for (auto& b : bits) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0xFF : rng() % 2 ? 0x00 : rng());
  return bits;
}

}  // namespace

TEST_F(PreparedGlyphs, EveryPassFollowsTheFormulas) {
  std::mt19937 rng(11);
  const int side = glyph_side;
  const std::vector<uint8_t> bits = random_glyph_bits(rng);
  struct cell {
    int w, h;
  } cells[] = {{23, 17}, {24, 24}, {8, 8}, {1, 1}, {13, 40}, {255, 5}, {256, 3}, {9, 2}};
  for (const cell& cl : cells)
    for (int one_bit : {0, 1})
      for (int overlay : {0, 1})
        for (int rotation : {0, 1, 2, 3, 6})
          for (int kind : {0, 5}) {
            const gradient_corners c = gradient_corners_for(kind, rotation, 0x10F080, 0xE01005);
            const bool turned = rotation == 1 || rotation == 3;
            test_picture pic((turned ? cl.h : cl.w) + 5, (turned ? cl.w : cl.h) + 4);
            fill_background(pic, rng);
            test_picture want = pic;
            glyph_surface s = pic.surface();
            const bool drawn =
                one_bit ? glyph_kernel_one_bit(bits.data(), side, side, c, rotation, cl.w, cl.h, 3, 2, overlay, s)
                        : glyph_kernel_antialiased(bits.data(), side, side, c, rotation, cl.w, cl.h, 3, 2, overlay, s);
            ASSERT_TRUE(drawn);
            reference_pass(bits, side, one_bit, c, rotation, cl.w, cl.h, 3, 2, overlay, want);
            for (int py = 0; py < pic.height; ++py)
              for (int px = 0; px < pic.width; ++px)
                ASSERT_EQ(pic.at(px, py), want.at(px, py))
                    << cl.w << "x" << cl.h << " one-bit " << one_bit << " overlay " << overlay << " rotation "
                    << rotation << " kind " << kind << " at " << px << "," << py;
          }
}

TEST_F(PreparedGlyphs, EdgeAndShadowPassesFollowTheFormulasPassByPass) {
  // An edge's five places and a shadow's three, in draw_text_glyph's order,
  // near the middle of the picture and against each of its corners (where
  // the passes whose cell leaves the picture drop): every pixel and the
  // dirty rectangle as the formula passes give them one after another.
  std::mt19937 rng(29);
  const int side = glyph_side;
  const std::vector<uint8_t> bits = random_glyph_bits(rng);
  struct cell {
    int w, h;
  } cells[] = {{24, 24}, {23, 17}, {13, 40}, {9, 2}, {1, 1}, {40, 13}};
  for (const cell& cl : cells)
    for (int extra : {1, 2, 10, 11, 12, 20})
      for (int one_bit : {0, 1})
        for (int overlay : {0, 1})
          for (int rotation : {0, 1, 2})
            for (int corner = 0; corner < 5; ++corner) {
              const int e = extra <= 10 ? extra : extra - 10;
              const std::vector<std::pair<int, int>> offsets =
                  extra <= 10 ? std::vector<std::pair<int, int>>{{e, 0}, {0, -e}, {0, 0}, {0, e}, {-e, 0}}
                              : std::vector<std::pair<int, int>>{{e, 0}, {0, e}, {e, e}};
              const bool turned = rotation == 1 || rotation == 3;
              const int cw = turned ? cl.h : cl.w, ch = turned ? cl.w : cl.h;
              test_picture pic(cw + 2 * e + 3, ch + 2 * e + 2);
              // 0: every pass lands; 1..4: the cell against a corner.
              const int x = corner == 0 ? e + 1 : corner % 2 ? 0 : pic.width - cw;
              const int y = corner == 0 ? e + 1 : corner <= 2 ? 0 : pic.height - ch;
              fill_background(pic, rng);
              test_picture want = pic;
              glyph_surface s = pic.surface();
              std::vector<glyph_place> places;
              for (auto [dx, dy] : offsets)
                if (glyph_cell_inside(rotation, cl.w, cl.h, x + dx, y + dy, s)) places.push_back({x + dx, y + dy});
              prepared_glyph g;
              prepare_glyph(bits.data(), side, side, cl.w, cl.h, one_bit, g);
              const gradient_corners c = gradient_corners_for(corner % 2 ? 5 : 0, rotation, 0x10F080, 0xE01005);
              draw_prepared_glyph_passes(g, c, rotation, places.data(), int(places.size()), overlay, s);
              int64_t x0 = INT64_MAX, y0 = INT64_MAX, x1 = INT64_MIN, y1 = INT64_MIN;
              for (const glyph_place& p : places) {
                reference_pass(bits, side, one_bit, c, rotation, cl.w, cl.h, p.x, p.y, overlay, want);
                x0 = std::min<int64_t>(x0, p.x), y0 = std::min<int64_t>(y0, p.y);
                x1 = std::max<int64_t>(x1, p.x + cw - 1), y1 = std::max<int64_t>(y1, p.y + ch - 1);
              }
              const std::string where = std::to_string(cl.w) + "x" + std::to_string(cl.h) + " extra " +
                                        std::to_string(extra) + " one-bit " + std::to_string(one_bit) + " overlay " +
                                        std::to_string(overlay) + " rotation " + std::to_string(rotation) +
                                        " corner " + std::to_string(corner);
              ASSERT_EQ(pic.pixels, want.pixels) << where;
              if (places.empty()) continue;
              EXPECT_EQ(s.dirty_x0, x0) << where;
              EXPECT_EQ(s.dirty_y0, y0) << where;
              EXPECT_EQ(s.dirty_x1, x1) << where;
              EXPECT_EQ(s.dirty_y1, y1) << where;
              EXPECT_EQ(s.alpha_in_use, 1) << where;
            }
}

TEST_F(PreparedGlyphs, OverlayOverClearAndOpaquePixelsForEveryColourPair) {
  // A prepared 256 x 17 cell whose row i has the alpha of coverage i, over a
  // row of clear or opaque pixels whose channels are the column: with the
  // glyph's channels running through 0..255, every (old, glyph) channel pair
  // meets every coverage.
  prepared_glyph g;
  g.w = 256, g.h = 17, g.columns = 256;
  g.alpha.assign(256 * 17 + glyph_plane_padding, 0);
  g.row_drawn.assign(17, 1);
  for (int i = 0; i < 17; ++i) std::fill_n(g.alpha.begin() + i * 256, 256, glyph_tables.coverage_alpha[i]);
  for (uint32_t d : {0u, 255u})
    for (int v = 0; v < 256; ++v) {
      const uint32_t colour = uint32_t(v) | uint32_t(255 - v) << 8 | uint32_t((v * 7) & 0xFF) << 16;
      const gradient_corners flat{colour, colour, colour, colour};
      test_picture pic(256, 17);
      for (int i = 0; i < 17; ++i)
        for (int j = 0; j < 256; ++j) pic.set(j, i, d << 24 | uint32_t(j) * 0x010101u);
      const test_picture before = pic;
      glyph_surface s = pic.surface();
      ASSERT_TRUE(draw_prepared_glyph(g, flat, 0, 0, 0, 1, s));
      for (int i = 0; i < 17; ++i)
        for (int j = 0; j < 256; ++j) {
          const uint32_t old = before.at(j, i);
          const int a = glyph_tables.coverage_alpha[i];
          const uint32_t want = (a == 0 && d == 255) ? old : overlay_formula(old, colour, a);
          ASSERT_EQ(pic.at(j, i), want) << "alpha " << d << " colour " << std::hex << colour << std::dec << " row "
                                        << i << " column " << j;
        }
    }
}

TEST_F(PreparedGlyphs, OverlayDivisionsAreExactForEveryAlphaAndDifference) {
  // Every old alpha 0..255 (the row group), every coverage (the row within
  // it) and every channel difference -255..255 (old channels 0..255 under a
  // glyph of 0 and of 255): each pixel as the formula gives it.
  prepared_glyph g;
  g.w = 256, g.h = 17 * 256, g.columns = 256;
  g.alpha.assign(size_t(g.w) * g.h + glyph_plane_padding, 0);
  g.row_drawn.assign(size_t(g.h), 1);
  for (int i = 0; i < g.h; ++i) std::fill_n(g.alpha.begin() + i * 256, 256, glyph_tables.coverage_alpha[i % 17]);
  for (uint32_t colour : {0x000000u, 0xFFFFFFu, 0x00FF00u}) {
    const gradient_corners flat{colour, colour, colour, colour};
    test_picture pic(g.w, g.h);
    for (int i = 0; i < g.h; ++i)
      for (int j = 0; j < 256; ++j) pic.set(j, i, uint32_t(i / 17) << 24 | uint32_t(j) * 0x010101u);
    const test_picture before = pic;
    glyph_surface s = pic.surface();
    ASSERT_TRUE(draw_prepared_glyph(g, flat, 0, 0, 0, 1, s));
    for (int i = 0; i < g.h; ++i)
      for (int j = 0; j < 256; ++j) {
        const uint32_t old = before.at(j, i);
        const int a = glyph_tables.coverage_alpha[i % 17];
        const uint32_t want = (a == 0 && old >> 24 == 255) ? old : overlay_formula(old, colour, a);
        ASSERT_EQ(pic.at(j, i), want) << std::hex << colour << std::dec << " alpha " << i / 17 << " row " << i % 17
                                      << " column " << j;
      }
  }
}

TEST_F(PreparedGlyphs, GradientPlanesMatchTheGradientAndSurviveEviction) {
  // More gradients than the planes kept, in turn and twice over.
  std::vector<gradient_corners> corners;
  for (int kind = 1; kind <= 8; ++kind) corners.push_back(gradient_corners_for(kind, 0, 0x10F080, 0xE01005));
  for (int round = 0; round < 2; ++round)
    for (const gradient_corners& c : corners)
      for (auto [w, h] : {std::pair{7, 13}, {24, 24}, {1, 5}, {5, 1}}) {
        const uint32_t* plane = gradient_plane(c, w, h);
        ASSERT_NE(plane, nullptr);
        for (int i = 0; i < h; ++i)
          for (int j = 0; j < w; ++j) ASSERT_EQ(plane[i * w + j], gradient_colour(c, i, j, w, h)) << i << "," << j;
      }
  EXPECT_EQ(gradient_plane(gradient_corners_for(3, 0, 0x123456, -1), 24, 24), nullptr);  // one colour
  EXPECT_EQ(gradient_plane(corners[0], 0, 24), nullptr);
}

TEST_F(PreparedGlyphs, CachedAndUncachedCharactersDrawLikeFreshOnes) {
  box_rasterizer r;
  r.faces = {{"Fixed", 1, 0}};
  font_platform fp(&r);
  build_font_list();
  // Each character a box of its own width, so every one differs.
  std::vector<std::string> chars;
  for (int ch = 0x21; ch <= 0x7E; ++ch) {
    chars.push_back(std::string(1, char(ch)));
    r.ink_per_mille[chars.back()] = 100 + (ch * 37) % 800;
  }
  std::mt19937 rng(3);
  for (int mode : {0, 1})
    for (int overlay : {0, 1}) {
      // At 256 x 256 the slot keeps under 30 characters, so the later ones
      // are drawn without being kept.
      const int w = mode == 1 ? 256 : 96, h = 256;
      for (int pass = 0; pass < 2; ++pass)
        for (size_t k = 0; k < 40; ++k) {
          // An edge inside the picture, a shadow, an edge at the picture's
          // top-left corner whose left and upper passes drop, and an edge and
          // a shadow near its bottom-right corner whose right and lower
          // passes drop.
          struct placement {
            int extra, x, y;
          };
          const placement placings[] = {{3, 5, 5}, {12, 0, 0}, {3, 0, 2}, {3, 8, 8}, {12, 9, 7}};
          const placement& placing = placings[k % 5];
          test_picture pic(w + 10, h + 10), want(w + 10, h + 10);
          fill_background(pic, rng);
          want.pixels = pic.pixels;
          glyph_surface s = pic.surface(), sw = want.surface();
          const gradient_corners c = gradient_corners_for(5, 0, 0x10F080, 0xE01005);
          const int advance = draw_text_glyph(chars[k], 0x10F080, 0xE01005, 5, 0, w, h, 0, mode, placing.extra,
                                              placing.x, placing.y, overlay, s);
          EXPECT_EQ(advance, w / 2);
          // The same passes straight from the freshly rendered bitmap.
          render_glyph(chars[k], w, h, 0, mode);
          const glyph_cache_record& cache = glyph_caches[0];
          const std::vector<std::pair<int, int>> passes =
              placing.extra > 10 ? std::vector<std::pair<int, int>>{{2, 0}, {0, 2}, {2, 2}}
                                 : std::vector<std::pair<int, int>>{{3, 0}, {0, -3}, {0, 0}, {0, 3}, {-3, 0}};
          for (auto [dx, dy] : passes) {
            if (mode == 1)
              glyph_kernel_antialiased(cache.bits.data(), cache.stride, cache.stride, c, 0, w, h, placing.x + dx,
                                       placing.y + dy, overlay, sw);
            else
              glyph_kernel_one_bit(cache.bits.data(), cache.stride, cache.stride, c, 0, w, h, placing.x + dx,
                                   placing.y + dy, overlay, sw);
          }
          ASSERT_EQ(pic.pixels, want.pixels) << "mode " << mode << " overlay " << overlay << " pass " << pass << " "
                                             << chars[k] << " extra " << placing.extra;
          EXPECT_EQ(s.dirty_x0, sw.dirty_x0);
          EXPECT_EQ(s.dirty_y0, sw.dirty_y0);
          EXPECT_EQ(s.dirty_x1, sw.dirty_x1);
          EXPECT_EQ(s.dirty_y1, sw.dirty_y1);
        }
      if (mode == 1) {
        EXPECT_LT(glyph_caches[0].rendered.size(), 40u);
      }
    }
}

TEST_F(PreparedGlyphs, ACellTooTallForThePictureIsMeasuredButNeverPrepared) {
  // A plain assignment leaves the cell height unclamped: the character is
  // measured and skipped, and nothing the size of the cell is made.
  box_rasterizer r;
  r.faces = {{"Fixed", 1, 0}};
  font_platform fp(&r);
  build_font_list();
  test_picture pic(64, 64);
  glyph_surface s = pic.surface();
  EXPECT_EQ(draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 20, 2000000000, 0, 1, 0, 0, 0, 1, s), 10);
  EXPECT_FALSE(s.dirty());
  ASSERT_EQ(glyph_caches[0].rendered.size(), 1u);
  EXPECT_EQ(glyph_caches[0].rendered[0].prepared.w, 0);
  EXPECT_TRUE(glyph_caches[0].rendered[0].prepared.alpha.empty());
  // The same character in a cell that fits is prepared once and drawn.
  EXPECT_EQ(draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 20, 20, 0, 1, 0, 0, 0, 1, s), 10);
  EXPECT_TRUE(s.dirty());
  EXPECT_EQ(glyph_caches[0].rendered[0].prepared.w, 20);
}
