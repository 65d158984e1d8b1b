// The glyph kernels on synthetic bitmaps: tables, gradient corners and
// interpolation, rotation placement, the one-bit and anti-aliased passes,
// bounds, stretching and the extra passes.
#include <algorithm>
#include <random>
#include <set>

#include "font_test_support.h"

using namespace font_test;

namespace {

// A one-bit bitmap of `side` x `side` pixels, all paper.
struct bitmap {
  int side;
  std::vector<uint8_t> bits;
  explicit bitmap(int s) : side(s), bits(static_cast<size_t>(s) * s / 8, 0xFF) {}
  void ink(int col, int row) { bits[static_cast<size_t>(row) * (side / 8) + col / 8] &= ~(0x80 >> (col % 8)); }
};

class GlyphKernels : public ::testing::Test {
 protected:
  void SetUp() override { init_lookup_tables(); }
};

uint32_t channel(uint32_t c, int shift) { return (c >> shift) & 0xFF; }

}  // namespace

TEST_F(GlyphKernels, LookupTables) {
  EXPECT_EQ(glyph_tables.stride_bits[0], 64);
  EXPECT_EQ(glyph_tables.stride_bits[7], 64);
  EXPECT_EQ(glyph_tables.stride_bits[8], 96);
  EXPECT_EQ(glyph_tables.stride_bits[20], 128);
  EXPECT_EQ(glyph_tables.stride_bits[256], 1088);
  EXPECT_EQ(glyph_tables.ink_count[0x00], 0x0404);
  EXPECT_EQ(glyph_tables.ink_count[0xFF], 0x0000);
  EXPECT_EQ(glyph_tables.ink_count[0xF0], 0x0004);
  EXPECT_EQ(glyph_tables.ink_count[0x0F], 0x0400);
  EXPECT_EQ(glyph_tables.ink_count[0xA5], 0x0202);
  EXPECT_EQ(glyph_tables.ink_count[0x71], 0x0103);
  EXPECT_EQ(glyph_tables.coverage_alpha[0], 0);
  EXPECT_EQ(glyph_tables.coverage_alpha[1], 18);
  EXPECT_EQ(glyph_tables.coverage_alpha[14], 252);
  EXPECT_EQ(glyph_tables.coverage_alpha[15], 255);
  EXPECT_EQ(glyph_tables.coverage_alpha[31], 255);
}

TEST_F(GlyphKernels, GradientCornersByKindAndRotation) {
  const uint32_t A = 0x102030, B = 0x3060F0, M = 0x204090;
  const uint32_t want[9][4] = {{A, A, A, A}, {A, A, B, B}, {B, B, A, A}, {A, B, A, B}, {B, A, B, A},
                               {A, M, M, B}, {M, A, B, M}, {B, M, M, A}, {M, B, A, M}};
  for (int k = 0; k < 9; ++k) {
    gradient_corners c = gradient_corners_for(k, 0, A, B);
    EXPECT_EQ(c.top_left, want[k][0]) << k;
    EXPECT_EQ(c.bottom_left, want[k][1]) << k;
    EXPECT_EQ(c.top_right, want[k][2]) << k;
    EXPECT_EQ(c.bottom_right, want[k][3]) << k;
  }
  // The middle truncates each channel's half difference toward zero.
  EXPECT_EQ(gradient_corners_for(5, 0, 0xFF0001, 0x000000).bottom_left, 0x800001u);
  // -1 as the second colour means the first: every kind is flat.
  for (int k = 0; k < 9; ++k) {
    gradient_corners c = gradient_corners_for(k, 0, A, -1);
    EXPECT_EQ(c.top_left, A);
    EXPECT_EQ(c.bottom_right, A);
  }
  // Rotations 1..3 swap the kind; 4..8 keep the rotation-0 corners.
  const int remap[9][3] = {{0, 0, 0}, {3, 2, 4}, {4, 1, 3}, {2, 4, 1}, {1, 3, 2},
                           {8, 7, 6}, {5, 8, 7}, {6, 5, 8}, {7, 6, 5}};
  for (int k = 0; k < 9; ++k) {
    for (int r = 1; r <= 3; ++r) EXPECT_EQ(gradient_kind_for_rotation(k, r), remap[k][r - 1]) << k << " " << r;
    for (int r : {0, 4, 8}) EXPECT_EQ(gradient_kind_for_rotation(k, r), k);
  }
  gradient_corners turned = gradient_corners_for(1, 1, A, B);  // kind 3 in the glyph's frame
  EXPECT_EQ(turned.top_left, A);
  EXPECT_EQ(turned.bottom_left, B);
  // A kind a plain assignment left past 8 draws flat.
  EXPECT_EQ(gradient_corners_for(200, 0, A, B).top_right, A);
}

TEST_F(GlyphKernels, GradientInterpolation) {
  gradient_corners lr{0x000000, 0x000000, 0x0000FF, 0x0000FF};
  const uint32_t across[5] = {0, 63, 127, 191, 255};
  for (int j = 0; j < 5; ++j) EXPECT_EQ(gradient_colour(lr, 2, j, 5, 3), across[j]) << j;
  // Falling values truncate toward zero.
  gradient_corners down{0xFF0000, 0x000000, 0xFF0000, 0x000000};
  EXPECT_EQ(channel(gradient_colour(down, 1, 0, 4, 4), 16), 170u);
  EXPECT_EQ(channel(gradient_colour(down, 2, 0, 4, 4), 16), 85u);
  EXPECT_EQ(channel(gradient_colour(down, 3, 0, 4, 4), 16), 0u);
  // Diagonal through the middle colour.
  gradient_corners diag = gradient_corners_for(5, 0, 0x000000, 0x00FF00);
  EXPECT_EQ(gradient_colour(diag, 0, 0, 3, 3), 0x000000u);
  EXPECT_EQ(gradient_colour(diag, 2, 2, 3, 3), 0x00FF00u);
  EXPECT_EQ(gradient_colour(diag, 1, 1, 3, 3), 0x007F00u);
  // Cells one pixel wide or high: no division by zero, the top-left corner.
  gradient_corners four{0x111111, 0x222222, 0x333333, 0x444444};
  EXPECT_EQ(gradient_colour(four, 0, 0, 1, 1), 0x111111u);
  EXPECT_EQ(gradient_colour(four, 0, 3, 4, 1), 0x333333u);
  EXPECT_EQ(gradient_colour(four, 5, 0, 1, 6), 0x222222u);
}

TEST_F(GlyphKernels, RotationPlacement) {
  const int w = 3, h = 2, x = 10, y = 20;
  struct expect {
    int rotation, i, j, px, py;
  } cases[] = {
      {0, 0, 0, 10, 20}, {0, 1, 2, 12, 21}, {1, 0, 0, 11, 20}, {1, 1, 2, 10, 22},
      {2, 0, 0, 12, 21}, {2, 1, 2, 10, 20}, {3, 0, 0, 10, 22}, {3, 1, 2, 11, 20},
  };
  for (const expect& e : cases) {
    int px = 0, py = 0;
    glyph_pixel_position(e.rotation, x, y, w, h, e.i, e.j, px, py);
    EXPECT_EQ(px, e.px) << e.rotation << " " << e.i << " " << e.j;
    EXPECT_EQ(py, e.py) << e.rotation << " " << e.i << " " << e.j;
  }
  // Every rotation maps the cell one to one onto its placed rectangle.
  for (int r = 0; r <= 8; ++r) {
    std::set<std::pair<int, int>> seen;
    bool turned = r == 1 || r == 3;
    for (int i = 0; i < h; ++i)
      for (int j = 0; j < w; ++j) {
        int px, py;
        glyph_pixel_position(r, x, y, w, h, i, j, px, py);
        EXPECT_GE(px, x);
        EXPECT_LT(px, x + (turned ? h : w));
        EXPECT_GE(py, y);
        EXPECT_LT(py, y + (turned ? w : h));
        seen.insert({px, py});
      }
    EXPECT_EQ(seen.size(), static_cast<size_t>(w * h)) << r;
  }
}

TEST_F(GlyphKernels, OneBitReplacesOrOverlays) {
  bitmap b(64);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c)
      if ((r + c) % 3 == 0) b.ink(c, r);
  gradient_corners flat{0x112233, 0x112233, 0x112233, 0x112233};
  test_picture pic(16, 16, 0x12345678);
  glyph_surface s = pic.surface();
  ASSERT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 8, 8, 2, 3, 0, s));
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c)
      EXPECT_EQ(pic.at(2 + c, 3 + r), (r + c) % 3 == 0 ? 0xFF112233u : 0xFF000000u) << r << " " << c;
  EXPECT_EQ(pic.at(1, 3), 0x12345678u);
  EXPECT_EQ(pic.at(10, 3), 0x12345678u);
  EXPECT_EQ(s.alpha_in_use, 1);
  EXPECT_EQ(s.dirty_x0, 2);
  EXPECT_EQ(s.dirty_y0, 3);
  EXPECT_EQ(s.dirty_x1, 9);
  EXPECT_EQ(s.dirty_y1, 10);

  test_picture over(16, 16, 0x12345678);
  glyph_surface so = over.surface();
  ASSERT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 8, 8, 2, 3, 1, so));
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c)
      EXPECT_EQ(over.at(2 + c, 3 + r), (r + c) % 3 == 0 ? 0xFF112233u : 0x12345678u);
}

TEST_F(GlyphKernels, RowsStretchToTheCellHeight) {
  bitmap b(64);
  for (int c = 0; c < 4; ++c) b.ink(c, 1);  // only bitmap row 1 has ink
  gradient_corners flat{0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF};
  test_picture pic(8, 8);
  glyph_surface s = pic.surface();
  // 4 wide, 8 high: glyph row i reads bitmap row i / 2.
  ASSERT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 4, 8, 0, 0, 0, s));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(pic.at(0, i), (i / 2 == 1) ? 0xFFFFFFFFu : 0xFF000000u) << i;
  // Rows past the bitmap are skipped: a bitmap of 2 rows leaves rows 4..7 alone.
  test_picture short_pic(8, 8, 0x01020304);
  glyph_surface ss = short_pic.surface();
  ASSERT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 2, flat, 0, 4, 8, 0, 0, 0, ss));
  EXPECT_EQ(short_pic.at(0, 3), 0xFFFFFFFFu);
  EXPECT_EQ(short_pic.at(0, 4), 0x01020304u);
  // A cell a hundred times wider than high: the row divisor never reaches 0.
  test_picture wide(300, 2);
  glyph_surface sw = wide.surface();
  EXPECT_TRUE(glyph_kernel_one_bit(bitmap(320).bits.data(), 320, 320, flat, 0, 256, 2, 0, 0, 0, sw));
  EXPECT_TRUE(glyph_kernel_antialiased(bitmap(320).bits.data(), 320, 320, flat, 0, 256, 2, 0, 0, 0, sw));
  // One-pixel cells draw.
  test_picture one(1, 1);
  glyph_surface s1 = one.surface();
  bitmap dot(64);
  dot.ink(0, 0);
  EXPECT_TRUE(glyph_kernel_one_bit(dot.bits.data(), 64, 64, flat, 0, 1, 1, 0, 0, 0, s1));
  EXPECT_EQ(one.at(0, 0), 0xFFFFFFFFu);
}

TEST_F(GlyphKernels, CellsMustLieWhollyInsideThePicture) {
  bitmap b(64);
  gradient_corners flat{0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF};
  test_picture pic(10, 10);
  glyph_surface s = pic.surface();
  EXPECT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 4, 4, 6, 6, 0, s));
  // One pixel past the right or bottom edge, or left of or above the origin.
  EXPECT_FALSE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 4, 4, 7, 0, 0, s));
  EXPECT_FALSE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 4, 4, 0, 7, 0, s));
  EXPECT_FALSE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 4, 4, -1, 0, 0, s));
  EXPECT_FALSE(glyph_kernel_antialiased(b.bits.data(), 64, 64, flat, 0, 4, 4, 0, -1, 0, s));
  // Turned cells are h wide and w high.
  EXPECT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 1, 2, 4, 6, 8, 0, s));
  EXPECT_FALSE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 1, 2, 4, 7, 8, 0, s));
  EXPECT_FALSE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 3, 2, 4, 6, 9, 0, s));
  // Sizes that would wrap in 32 bits are refused, not wrapped.
  EXPECT_FALSE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 4, 4, 2147483646, 0, 0, s));
  EXPECT_FALSE(glyph_kernel_one_bit(b.bits.data(), 64, 64, flat, 0, 0, 4, 0, 0, 0, s));
}

TEST_F(GlyphKernels, RotationsFourToEightDrawAsZero) {
  bitmap b(64);
  for (int r = 0; r < 6; ++r) b.ink(r, r), b.ink(5 - r, r), b.ink(0, r);
  gradient_corners grad = gradient_corners_for(5, 0, 0x0000FF, 0xFF0000);
  test_picture zero(12, 12);
  glyph_surface sz = zero.surface();
  ASSERT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, grad, 0, 6, 6, 3, 2, 0, sz));
  for (int rotation = 4; rotation <= 8; ++rotation) {
    test_picture other(12, 12);
    glyph_surface so = other.surface();
    ASSERT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, gradient_corners_for(5, rotation, 0x0000FF, 0xFF0000),
                                     rotation, 6, 6, 3, 2, 0, so));
    EXPECT_EQ(other.pixels, zero.pixels) << rotation;
  }
  // Rotation 2 is rotation 0 turned half way round.
  test_picture half(12, 12);
  glyph_surface sh = half.surface();
  ASSERT_TRUE(glyph_kernel_one_bit(b.bits.data(), 64, 64, grad, 2, 6, 6, 3, 2, 0, sh));
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      EXPECT_EQ(half.at(3 + 5 - j, 2 + 5 - i), zero.at(3 + j, 2 + i)) << i << " " << j;
}

TEST_F(GlyphKernels, AntialiasedCoverageAndOverlay) {
  // A 4 x 4 cell reads a 16 x 16 corner of the bitmap, 4 x 4 bits per pixel.
  bitmap b(64);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) b.ink(c, r);  // pixel (0, 0): full
  for (int r = 0; r < 2; ++r)
    for (int c = 4; c < 8; ++c) b.ink(c, r);  // pixel (0, 1): half
  b.ink(0, 4);                                // pixel (1, 0): one bit
  gradient_corners flat{0xC0C0C0, 0xC0C0C0, 0xC0C0C0, 0xC0C0C0};
  test_picture pic(4, 4, 0xFFFFFFFF);
  glyph_surface s = pic.surface();
  ASSERT_TRUE(glyph_kernel_antialiased(b.bits.data(), 64, 64, flat, 0, 4, 4, 0, 0, 0, s));
  EXPECT_EQ(pic.at(0, 0), 0xFFC0C0C0u);
  EXPECT_EQ(pic.at(1, 0), 0x90C0C0C0u);  // 8 of 16: 144
  EXPECT_EQ(pic.at(0, 1), 0x12C0C0C0u);  // 1 of 16: 18
  EXPECT_EQ(pic.at(3, 3), 0x00C0C0C0u);  // no ink: transparent
  EXPECT_EQ(s.alpha_in_use, 1);

  // Drawn over: b = a + 1, new alpha d + b - (d b >> 8) - 1, each channel
  // c + (g - c) b / (new alpha + 1).
  test_picture over(4, 4, 0x80404040);
  glyph_surface so = over.surface();
  ASSERT_TRUE(glyph_kernel_antialiased(b.bits.data(), 64, 64, flat, 0, 4, 4, 0, 0, 1, so));
  EXPECT_EQ(over.at(1, 0), 0xC89C9C9Cu);  // alpha 200, channel 64 + 128 * 145 / 201 = 156
  EXPECT_EQ(over.at(0, 0), 0xFFC0C0C0u);
  // Paper over an opaque pixel changes nothing.
  test_picture opaque(4, 4, 0xFF102030);
  glyph_surface sop = opaque.surface();
  ASSERT_TRUE(glyph_kernel_antialiased(b.bits.data(), 64, 64, flat, 0, 4, 4, 0, 0, 1, sop));
  EXPECT_EQ(opaque.at(3, 3), 0xFF102030u);
  // Falling channels truncate toward zero: 200 + (0 - 200) * 145 / 201.
  gradient_corners black{0, 0, 0, 0};
  test_picture bright(4, 4, 0x80C8C8C8);
  glyph_surface sb = bright.surface();
  ASSERT_TRUE(glyph_kernel_antialiased(b.bits.data(), 64, 64, black, 0, 4, 4, 0, 0, 1, sb));
  EXPECT_EQ(bright.at(1, 0), 0xC8383838u);
}

TEST_F(GlyphKernels, ExtraPassesThroughDrawTextGlyph) {
  box_rasterizer r;
  r.faces = {{"Fixed", 1, 0}};
  font_platform fp(&r);
  build_font_list();
  // One-bit cells without overlay write every pixel: the passes show as
  // opaque squares.
  auto written = [](const test_picture& p, int x, int y) { return (p.at(x, y) >> 24) == 0xFF; };
  {
    test_picture pic(40, 40);
    glyph_surface s = pic.surface();
    EXPECT_EQ(draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 4, 4, 0, 0, 12, 10, 10, 0, s), 2);
    // Passes at (12, 10), (10, 12), (12, 12) and none at (10, 10).
    EXPECT_FALSE(written(pic, 10, 10));
    EXPECT_FALSE(written(pic, 11, 11));
    EXPECT_TRUE(written(pic, 12, 10));
    EXPECT_TRUE(written(pic, 10, 12));
    EXPECT_TRUE(written(pic, 15, 15));
    EXPECT_FALSE(written(pic, 16, 15));
    EXPECT_EQ(s.dirty_x0, 10);
    EXPECT_EQ(s.dirty_y0, 10);
    EXPECT_EQ(s.dirty_x1, 15);
    EXPECT_EQ(s.dirty_y1, 15);
  }
  {
    test_picture pic(40, 40);
    glyph_surface s = pic.surface();
    draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 4, 4, 0, 0, 3, 10, 10, 0, s);
    EXPECT_TRUE(written(pic, 7, 10));    // x - 3
    EXPECT_TRUE(written(pic, 16, 10));   // x + 3, last column
    EXPECT_TRUE(written(pic, 10, 7));    // y - 3
    EXPECT_TRUE(written(pic, 10, 16));   // y + 3, last row
    EXPECT_FALSE(written(pic, 7, 7));    // no diagonal pass
  }
  {
    // Near the edge a pass that would leave the picture is dropped alone.
    test_picture pic(10, 10);
    glyph_surface s = pic.surface();
    draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 4, 4, 0, 0, 2, 0, 0, 0, s);
    EXPECT_TRUE(written(pic, 0, 0));
    EXPECT_TRUE(written(pic, 5, 0));   // (x + 2) pass
    EXPECT_TRUE(written(pic, 0, 5));   // (y + 2) pass
  }
  {
    // Extra 0 and negative extras draw once at (x, y).
    test_picture pic(20, 20);
    glyph_surface s = pic.surface();
    draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 4, 4, 0, 0, -5, 3, 3, 0, s);
    EXPECT_EQ(pic.count_alpha_above(0), 16);
    EXPECT_TRUE(written(pic, 3, 3));
  }
  release_glyph_caches();
}

TEST_F(GlyphKernels, DivisionWithoutADividerIsExact) {
  for (int d = 1; d <= 256; ++d)
    for (int n = 0; n <= 65280; ++n) {
      if (glyph_divide(n, d) != n / d || glyph_divide(-n, d) != -n / d) {
        ADD_FAILURE() << n << " / " << d;
        return;
      }
    }
}

TEST_F(GlyphKernels, KernelColoursFollowTheGradientFormula) {
  // Every ink pixel of a full-ink cell carries gradient_colour(i, j) at
  // glyph_pixel_position(i, j), for each kind and rotation, in odd sizes
  // whose divisions do not come out even.
  bitmap full(1088);
  std::fill(full.bits.begin(), full.bits.end(), 0);
  for (int rotation = 0; rotation <= 3; ++rotation) {
    for (int kind = 0; kind <= 8; ++kind) {
      for (auto [w, h] : {std::pair{7, 13}, {37, 23}, {256, 3}}) {
        gradient_corners c = gradient_corners_for(kind, rotation, 0x10F080, 0xE01005);
        test_picture one(260, 260), aa(260, 260);
        glyph_surface s1 = one.surface(), s2 = aa.surface();
        ASSERT_TRUE(glyph_kernel_one_bit(full.bits.data(), 1088, 1088, c, rotation, w, h, 1, 2, 0, s1));
        ASSERT_TRUE(glyph_kernel_antialiased(full.bits.data(), 1088, 1088, c, rotation, w, h, 1, 2, 0, s2));
        for (int i = 0; i < h; ++i)
          for (int j = 0; j < w; ++j) {
            uint32_t want = 0xFF000000u | gradient_colour(c, i, j, w, h);
            int px, py;
            glyph_pixel_position(rotation, 1, 2, w, h, i, j, px, py);
            ASSERT_EQ(one.at(px, py), want) << rotation << " " << kind << " " << w << "x" << h << " " << i << "," << j;
            ASSERT_EQ(aa.at(px, py), want) << rotation << " " << kind << " " << w << "x" << h << " " << i << "," << j;
          }
      }
    }
  }
}

TEST_F(GlyphKernels, AntialiasedPixelsFollowTheirFormulaOverAnyBackground) {
  // Random ink over backgrounds whose alpha is 0, 255 or anything between,
  // flat and graded, with and without overlay: every pixel as the formula
  // gives it (the kernel's shortcuts for flat rows and transparent pixels
  // must not show).
  std::mt19937 rng(5);
  const int w = 23, h = 17, side = 128;
  bitmap b(side);
  for (auto& byte : b.bits) byte = static_cast<uint8_t>(rng() | rng());
  for (int kind : {0, 1, 3, 5}) {
    gradient_corners c = gradient_corners_for(kind, 0, 0x10F080, 0xE01005);
    for (int overlay : {0, 1}) {
      test_picture pic(w + 2, h + 2), before(w + 2, h + 2);
      for (int i = 0; i < (w + 2) * (h + 2); ++i) {
        uint32_t alpha = i % 3 == 0 ? 0 : i % 3 == 1 ? 255 : rng() & 0xFF;
        pic.set_index(i, (alpha << 24) | (rng() & 0xFFFFFF));
      }
      before.pixels = pic.pixels;
      glyph_surface s = pic.surface();
      ASSERT_TRUE(glyph_kernel_antialiased(b.bits.data(), side, side, c, 0, w, h, 1, 1, overlay, s));
      const int64_t divisor = std::max<int64_t>(1, int64_t(h) * 100 / w);
      for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j) {
          const int64_t r = int64_t(i) * 400 / divisor;
          int n = 0;
          for (int k = 0; k < 4; ++k)
            for (int bit = 0; bit < 4; ++bit) {
              int col = j * 4 + bit;
              n += (b.bits[size_t(r + k) * (side / 8) + col / 8] & (0x80 >> (col % 8))) ? 0 : 1;
            }
          const int a = std::min(18 * n, 255);
          const uint32_t g = gradient_colour(c, i, j, w, h);
          const uint32_t old = before.at(j + 1, i + 1);
          uint32_t want;
          if (!overlay) {
            want = uint32_t(a) << 24 | g;
          } else if (a == 0 && old >> 24 == 255) {
            want = old;
          } else {
            const int d = int(old >> 24), bb = a + 1, na = d + bb - (d * bb >> 8) - 1;
            want = uint32_t(na) << 24;
            for (int k = 0; k < 3; ++k) {
              const int o = int(channel(old, 8 * k)), gc = int(channel(g, 8 * k));
              want |= uint32_t(o + (gc - o) * bb / (na + 1)) << (8 * k);
            }
          }
          ASSERT_EQ(pic.at(j + 1, i + 1), want) << kind << " " << overlay << " " << i << "," << j;
        }
    }
  }
}

TEST_F(GlyphKernels, OverlayOverEveryAlphaAndCoverage) {
  // A 256-pixel cell whose row i has coverage i (0..16) everywhere, drawn
  // over pixels of every alpha 0..255 (the column) with varied colours, in
  // four glyph colours: each pixel as the overlay formula gives it.
  const int w = 256, h = 17, side = 1088;
  bitmap b(side);
  const int64_t divisor = std::max<int64_t>(1, int64_t(h) * 100 / w);
  for (int i = 0; i < h; ++i) {
    const int64_t r = int64_t(i) * 400 / divisor;
    for (int j = 0; j < w; ++j)
      for (int bit = 0; bit < i; ++bit) b.ink(j * 4 + bit % 4, int(r) + bit / 4);  // i of the 16 bits
  }
  for (uint32_t colour : {0x000000u, 0xFFFFFFu, 0x80FF01u, 0x3C9A5Eu}) {
    gradient_corners c{colour, colour, colour, colour};
    for (int round = 0; round < 4; ++round) {
      test_picture pic(w, h), before(w, h);
      for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j) {
          uint32_t rgb = 0;
          for (int k = 0; k < 3; ++k) rgb |= uint32_t((j * (k + 3) + i * 29 + round * 71 + k * 50) & 0xFF) << (8 * k);
          pic.set(j, i, uint32_t(j) << 24 | rgb);
        }
      before.pixels = pic.pixels;
      glyph_surface s = pic.surface();
      ASSERT_TRUE(glyph_kernel_antialiased(b.bits.data(), side, side, c, 0, w, h, 0, 0, 1, s));
      for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j) {
          const int a = std::min(18 * i, 255);
          const uint32_t old = before.at(j, i);
          const int d = int(old >> 24), bb = a + 1, na = d + bb - (d * bb >> 8) - 1;
          uint32_t want = (a == 0 && d == 255) ? old : uint32_t(na) << 24;
          if (!(a == 0 && d == 255))
            for (int k = 0; k < 3; ++k) {
              const int o = int(channel(old, 8 * k)), gc = int(channel(colour, 8 * k));
              want |= uint32_t(o + (gc - o) * bb / (na + 1)) << (8 * k);
            }
          ASSERT_EQ(pic.at(j, i), want) << std::hex << colour << std::dec << " row " << i << " alpha " << j;
        }
    }
  }
}
