// Rotation: whole turns give exact copies, quarter turns move pixels exactly,
// the last column is never sampled, mode 12 keeps what the destination held,
// general angles stay close to pixman's affine transform, and rotate_cg's
// destination rules, flags and hostile inputs.
#include "image/cg_rotate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "cg_ops_test_util.h"
#include "graphics/layer_record.h"
#include "graphics/presentation.h"
#include "support/headless_game.h"

namespace {

enum { k_clear, k_keep, k_bilinear };

test_picture rotated(int kernel, const test_picture& src, int64_t angle, uint32_t fill = 0xCDCDCDCDu) {
  test_picture out(src.w, src.h);
  for (int y = 0; y < src.h; ++y)
    for (int x = 0; x < src.w; ++x) out.set(x, y, fill);
  if (kernel == k_clear) rotate_nearest_clear(out.data(), src.data(), src.w, src.h, angle);
  if (kernel == k_keep) rotate_nearest_keep(out.data(), src.data(), src.w, src.h, angle);
  if (kernel == k_bilinear) rotate_bilinear(out.data(), src.data(), src.w, src.h, angle);
  return out;
}

std::string idle_game() { return "script main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n"; }

cg_record* rec(object_node* n) { return layer_record(n); }

}  // namespace

TEST(Rotate, WholeTurnsAreExactCopies) {
  const test_picture src = noise_picture(9, 7, 1);
  for (int kernel : {k_clear, k_keep, k_bilinear})
    for (int64_t angle : {0, 360, 720, -360, 3600})
      EXPECT_EQ(rotated(kernel, src, angle).pixels(), src.pixels()) << kernel << " " << angle;
}

TEST(Rotate, QuarterTurnsOfFiveByThreeMoveEveryPixelExactly) {
  // Pixel (x, y) of the source is numbered 10 * y + x + 1; 0 is the
  // background. A positive angle turns counter-clockwise: the right-hand
  // column goes to the top.
  test_picture src(5, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) src.set(x, y, uint32_t(10 * y + x + 1));
  const uint32_t q90[3][5] = {{0, 4, 14, 24, 0}, {0, 3, 13, 23, 0}, {0, 2, 12, 22, 0}};
  const uint32_t q180[3][5] = {{25, 24, 23, 22, 21}, {15, 14, 13, 12, 11}, {5, 4, 3, 2, 1}};
  const uint32_t q270[3][5] = {{0, 22, 12, 2, 0}, {0, 23, 13, 3, 0}, {0, 24, 14, 4, 0}};
  for (int kernel : {k_clear, k_keep, k_bilinear}) {
    for (auto [angle, expected] : {std::pair{90, &q90}, std::pair{180, &q180}, std::pair{270, &q270},
                                   std::pair{-270, &q90}, std::pair{-90, &q270}}) {
      const test_picture out = rotated(kernel, src, angle);
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
          EXPECT_EQ(out.at(x, y), (*expected)[y][x]) << kernel << " " << angle << " " << x << "," << y;
    }
  }
  // Mode 12 on a tall picture: the columns outside the footprint are
  // cleared, the rows outside it keep the destination.
  test_picture tall(3, 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 3; ++x) tall.set(x, y, uint32_t(10 * y + x + 1));
  const test_picture keep = rotated(k_keep, tall, 90, 0xEEu);
  const test_picture clear = rotated(k_clear, tall, 90, 0xEEu);
  EXPECT_EQ(keep.at(1, 0), 0xEEu);
  EXPECT_EQ(clear.at(1, 0), 0u);
  EXPECT_EQ(keep.at(1, 2), clear.at(1, 2));
  EXPECT_EQ(keep.at(0, 2), 12u);  // source (cx + cy - 2, cy - cx + 0) = (1, 1)
}

TEST(Rotate, TheLastColumnIsNeverSampled) {
  const test_picture src = smooth_picture(40, 30);
  for (int angle : {30, 1, 359, 135, 200}) {
    const test_picture a = rotated(k_clear, src, angle);
    const test_picture b = rotated(k_bilinear, src, angle);
    const test_picture c = rotated(k_keep, src, angle, 0x11223344u);
    for (int y = 0; y < src.h; ++y) {
      EXPECT_EQ(a.at(39, y), 0u) << angle;
      EXPECT_EQ(b.at(39, y), 0u) << angle;
      EXPECT_EQ(c.at(39, y), 0x11223344u) << angle;
    }
  }
}

TEST(Rotate, NegativeAnglesTurnTheOtherWay) {
  const test_picture src = noise_picture(21, 13, 4);
  for (int kernel : {k_clear, k_keep, k_bilinear}) {
    EXPECT_EQ(rotated(kernel, src, -30).pixels(), rotated(kernel, src, 330).pixels());
    EXPECT_EQ(rotated(kernel, src, -725).pixels(), rotated(kernel, src, 355).pixels());
  }
  // The first row of a -30 turn is not left unwritten.
  const test_picture out = rotated(k_clear, src, -30);
  for (int x = 0; x < src.w; ++x) EXPECT_NE(out.at(x, 0), 0xCDCDCDCDu);
}

// The bilinear kernel written straight from its description: fixed-point
// factors from an extended-precision pi of 3.1415926535, 16.16 positions
// about (W / 2, H / 2), the span of columns 0..W - 2 whose source point lies
// on the picture, and each byte mixed toward the source point of the next
// destination pixel, (sx + Cf, sy + Sf), with 8-bit fractions and arithmetic
// shifts. Where Cf or Sf is negative that point lies left of or above the
// sample, and the next pixel (the last one repeating) is taken on that axis
// instead. A neighbour outside the picture leaves the background fill, 0.
test_picture bilinear_reference(const test_picture& src, int angle) {
  const int W = src.w, H = src.h;
  const long double pi = 3.1415926535L;
  const long double r = (long double)angle * pi / 180.0L;
  const int64_t cf = int64_t(std::trunc(std::cos(r) * 65536.0L)), sf = int64_t(std::trunc(std::sin(r) * 65536.0L));
  const int64_t cx = W / 2, cy = H / 2;
  test_picture out(W, H);
  for (int Y = 0; Y < H; ++Y) {
    for (int X = 0; X < W; ++X) {
      out.set(X, Y, 0);
      const int64_t sx = cx * 65536 + cf * (X - cx) - sf * (Y - cy);
      const int64_t sy = cy * 65536 + sf * (X - cx) + cf * (Y - cy);
      const int64_t x0 = sx >> 16, y0 = sy >> 16;
      if (X > W - 2 || x0 < 0 || x0 >= W || y0 < 0 || y0 >= H) continue;
      const int64_t x1 = cf < 0 ? std::min<int64_t>(x0 + 1, W - 1) : (sx + cf) >> 16;
      const int64_t y1 = sf < 0 ? std::min<int64_t>(y0 + 1, H - 1) : (sy + sf) >> 16;
      if (x1 >= W || y1 >= H) continue;
      const int fx = int((sx >> 8) & 255), fy = int((sy >> 8) & 255);
      uint32_t v = 0;
      for (int c = 0; c < 4; ++c) {
        auto byte = [&](int64_t x, int64_t y) { return int(src.at(int(x), int(y)) >> (8 * c) & 0xFF); };
        const int top = byte(x0, y0) + ((byte(x1, y0) - byte(x0, y0)) * fx >> 8);
        const int bottom = byte(x0, y1) + ((byte(x1, y1) - byte(x0, y1)) * fx >> 8);
        v |= uint32_t(top + ((bottom - top) * fy >> 8)) << (8 * c);
      }
      out.set(X, Y, v);
    }
  }
  return out;
}

TEST(Rotate, BilinearFollowsItsFormulaAtEveryAngle) {
  // Odd and even sizes, every quadrant, angles next to the quarter turns.
  for (auto [w, h] : {std::pair{23, 17}, std::pair{16, 16}, std::pair{9, 30}}) {
    const test_picture src = noise_picture(w, h, uint32_t(w * h));
    for (int angle : {1, 30, 45, 60, 89, 91, 120, 179, 181, 225, 269, 271, 300, 359}) {
      for (int simd : {1, 0}) {
        presentation_settings.simd = simd;
        const test_picture out = rotated(k_bilinear, src, angle);
        const test_picture ref = bilinear_reference(src, angle);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            ASSERT_EQ(out.at(x, y), ref.at(x, y))
                << w << "x" << h << " at " << angle << " degrees, pixel " << x << "," << y << " simd " << simd;
      }
      presentation_settings.simd = 1;
    }
  }
}

TEST(Rotate, BilinearHandWorkedPixels) {
  // A 4 x 4 ramp, byte 20 * x + 50 * y; centre (2, 2).
  test_picture ramp(4, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) ramp.set(x, y, 0x01010101u * uint32_t(20 * x + 50 * y));
  // 30 degrees: Cf = 56755, Sf = 32767 (the extended pi is a little short).
  // Destination (2, 0): sx = 131072 + 2 * 32767 = 196606 (x0 = 2, fx = 255),
  // sy = 131072 - 2 * 56755 = 17562 (y0 = 0, fy = 68). The next pixel's point
  // (253361, 50329) gives x1 = 3 and y1 = 0: no row edge is crossed, so there
  // is no vertical mix. top = 40 + (20 * 255 >> 8) = 59 = bottom.
  EXPECT_EQ(rotated(k_bilinear, ramp, 30).at(2, 0), 0x3B3B3B3Bu);
  // 300 degrees: Cf = 32767, Sf = -56755. Destination (2, 1): sx = 74317
  // (x0 = 1, fx = 34), sy = 98305 (y0 = 1, fy = 128). The next point
  // (107084, 41550) gives x1 = 1 (no horizontal mix) and y1 = 0, above the
  // sample, so row 2 is taken instead: top = 70, bottom = 120, result
  // 70 + (50 * 128 >> 8) = 95.
  EXPECT_EQ(rotated(k_bilinear, ramp, 300).at(2, 1), 0x5F5F5F5Fu);
}

TEST(Rotate, BilinearSimdAndPortableAgree) {
  const test_picture src = noise_picture(64, 48, 5);
  for (int angle : {30, 45, 100, 211, 333}) {
    presentation_settings.simd = 1;
    const test_picture a = rotated(k_bilinear, src, angle);
    presentation_settings.simd = 0;
    const test_picture b = rotated(k_bilinear, src, angle);
    presentation_settings.simd = 1;
    EXPECT_EQ(a.pixels(), b.pixels()) << angle;
  }
}

TEST(Rotate, CloseToPixmansAffineTransform) {
  if (!pixman_available()) GTEST_SKIP() << "pixman not found";
  const test_picture src = smooth_picture(120, 90);
  for (int angle : {30, 45, 300}) {
    for (bool bilinear : {false, true}) {
      const test_picture ours = rotated(bilinear ? k_bilinear : k_clear, src, angle, 0);
      const test_picture ref = pixman_rotate(src, angle, bilinear);
      size_t count = 0;
      const double p = psnr_opaque(ours, ref, count);
      EXPECT_GT(count, size_t(120 * 90 / 2)) << angle;
      // Nearest: equal except where the 16.16 factors put a position across
      // a pixel edge (47-54 dB). Bilinear 37-42 dB: its neighbour is the next
      // destination pixel's source point, so along an axis where that point
      // stays inside the same pixel the sample is not mixed at all.
      EXPECT_GE(p, bilinear ? 34.0 : 44.0) << angle << (bilinear ? " bilinear" : " nearest");
      // One degree off is plainly worse (27-30 dB): the turn is the same one.
      size_t n2 = 0;
      EXPECT_GT(p, psnr_opaque(ours, pixman_rotate(src, angle + 1, bilinear), n2) + (bilinear ? 6 : 10)) << angle;
    }
  }
}

TEST(Rotate, WidePicturesKeepTheirPositionsIn64Bits) {
  // 8192 columns: the 16.16 products pass 2^30; under UBSan an int overflow
  // fails. The corner-to-corner diagonal maps back onto the picture.
  test_picture src(8192, 3);
  for (int x = 0; x < 8192; ++x)
    for (int y = 0; y < 3; ++y) src.set(x, y, 0xFF000000u | uint32_t(x));
  const test_picture out = rotated(k_clear, src, 1);
  // Near the centre a one-degree turn barely moves the row.
  EXPECT_EQ(out.at(4096, 1) & 0xFFFFFF, 4096u);
  const test_picture out2 = rotated(k_bilinear, src, 359);
  EXPECT_EQ(out2.at(4096, 1) & 0xFF000000u, 0xFF000000u);
}

// ---------------------------------------------------------------- rotate_cg

TEST(RotateCg, DestinationsAndFlags) {
  headless_game g(idle_game());
  ASSERT_EQ(g.start(), 0);
  const test_picture src = noise_picture(10, 6, 11);
  object_node* first = layer_with_picture("first", src, 0);

  // n = 0: the first layer's picture is replaced; 45 degrees uses alpha.
  ASSERT_EQ(rotate_cg(first, nullptr, 0, 0, 9, 5, 45, 0, rotate_clear), 0);
  EXPECT_EQ(rec(first)->width, 10);
  EXPECT_EQ(rec(first)->alpha_in_use, 1);
  EXPECT_EQ(picture_of(rec(first)).pixels(), rotated(k_clear, src, 45).pixels());

  // 180 keeps the first's flag.
  first = layer_with_picture("first", src, 0);
  ASSERT_EQ(rotate_cg_bilinear(first, nullptr, 0, 0, 9, 5, 180, 0), 0);
  EXPECT_EQ(rec(first)->alpha_in_use, 0);

  // A second layer of the same size is written in place; mode 12 keeps its
  // old pixels in the corners.
  first = layer_with_picture("first", src, 0);
  test_picture green(10, 6);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 10; ++x) green.set(x, y, 0xFF00FF00u);
  object_node* second = layer_with_picture("second", green);
  const uint8_t* block = rec(second)->pixels;
  ASSERT_EQ(rotate_cg(first, second, 0, 0, 9, 5, 45, 1, rotate_keep), 0);
  EXPECT_EQ(rec(second)->pixels, block);
  const test_picture kept = picture_of(rec(second));
  EXPECT_EQ(kept.at(0, 0), 0xFF00FF00u);
  EXPECT_EQ(kept.at(9, 5), 0xFF00FF00u);
  EXPECT_EQ(kept.at(9, 0), 0xFF00FF00u);
  EXPECT_EQ(kept.at(5, 3), src.at(5, 3));  // the centre stays put
  EXPECT_EQ(picture_of(rec(first)).pixels(), src.pixels());

  // Same pixel count, other shape: a new picture of the first's shape rather
  // than rows of the wrong length.
  object_node* other = layer_with_picture("other", test_picture(6, 10));
  ASSERT_EQ(rotate_cg(first, other, 0, 0, 9, 5, 30, 1, rotate_clear), 0);
  EXPECT_EQ(rec(other)->width, 10);
  EXPECT_EQ(rec(other)->height, 6);

  // Mode 12 and bilinear into a new block: what they leave is transparent black.
  object_node* fresh = layer_with_picture("fresh", test_picture(2, 2));
  ASSERT_EQ(rotate_cg(first, fresh, 0, 0, 9, 5, 45, 1, rotate_keep), 0);
  EXPECT_EQ(picture_of(rec(fresh)).at(0, 0), 0u);
  EXPECT_TRUE(g.errors().empty());
}

TEST(RotateCg, UnknownModesMissingPicturesAndSharedRecords) {
  headless_game g(idle_game());
  ASSERT_EQ(g.start(), 0);
  const test_picture src = noise_picture(12, 8, 12);
  object_node* first = layer_with_picture("first", src);
  object_node* second = layer_with_picture("second", test_picture(3, 3));
  for (int mode : {0, 10, 13, 99}) EXPECT_EQ(rotate_cg(first, second, 0, 0, 11, 7, 30, 1, mode), 0);
  EXPECT_EQ(rec(second)->width, 3);
  EXPECT_EQ(picture_of(rec(first)).pixels(), src.pixels());

  // A twin sharing the first's record: rotated from an intact copy.
  object_node* twin = create_object_by_path(object_trees[tree_layers].root, "W0/twin", 0, 2, 0);
  share_cg_record(twin, rec(first));
  ASSERT_EQ(rotate_cg_bilinear(first, twin, 0, 0, 11, 7, 30, 1), 0);
  // Straight into the shared block: edge samples the kernel skips keep what
  // the block held.
  test_picture under = src;
  rotate_bilinear(under.data(), src.data(), src.w, src.h, 30);
  EXPECT_EQ(picture_of(rec(first)).pixels(), under.pixels());
  first = layer_with_picture("first", src);
  // The twin lets go of the old record (its last user) before sharing the new one.
  free_layer_node(twin);
  twin = create_object_by_path(object_trees[tree_layers].root, "W0/twin", 0, 2, 0);
  share_cg_record(twin, rec(first));
  ASSERT_EQ(rotate_cg(first, twin, 0, 0, 11, 7, 210, 1, rotate_keep), 0);
  // Mode 12 draws over what the shared block held: the picture itself.
  test_picture over = src;
  rotate_nearest_keep(over.data(), src.data(), src.w, src.h, 210);
  EXPECT_EQ(picture_of(rec(first)).pixels(), over.pixels());

  std::free(rec(second)->pixel_block);
  rec(second)->pixel_block = rec(second)->pixels = nullptr;
  EXPECT_EQ(rotate_cg(second, first, 0, 0, 0, 0, 30, 1, rotate_clear), 0);
  EXPECT_EQ(rotate_cg_bilinear(nullptr, first, 0, 0, 0, 0, 30, 1), 0);
  EXPECT_TRUE(g.errors().empty());
}
