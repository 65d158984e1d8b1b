// Resizing: every method's identity, corner alignment and hand-worked
// pixels, results independent of the worker count, closeness to pixman and
// ImageMagick on the same sampling grids, and resize_cg's destination rules,
// refusals and hostile rectangles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "cg_ops_test_util.h"
#include "core/engine_state.h"
#include "core/worker_pool.h"
#include "graphics/layer_record.h"
#include "graphics/presentation.h"
#include "image/cg_resize.h"
#include "support/headless_game.h"

namespace {

const int all_methods[] = {resize_nearest, resize_bilinear, resize_bicubic, resize_smooth, resize_lanczos};

// Runs one method's kernel the way resize_cg does, whole picture as the
// rectangle (hundredths where the method takes them).
test_picture run_method(int method, const test_picture& src, int w, int h, int workers = 0) {
  test_picture out(w, h);
  std::memset(out.data(), 0xCD, size_t(w) * 4 * size_t(h));  // every pixel must be written
  const int x2 = (src.w - 1) * 100, y2 = (src.h - 1) * 100;
  switch (method) {
    case resize_nearest:
      scale_image_nearest_mt(out.data(), src.data(), 0, 0, src.w - 1, src.h - 1, src.w, src.h, w, h);
      break;
    case resize_bilinear:
      scale_image_bilinear_mt(out.data(), src.data(), 0, 0, x2, y2, src.w, src.h, w * 100, h * 100);
      break;
    case resize_bicubic:
      resample_bicubic(out.data(), src.data(), 0, 0, src.w - 1, src.h - 1, src.w, src.h, w, h);
      break;
    case resize_smooth:
      resize_smooth_threaded(out.data(), src.data(), 0, 0, x2, y2, src.w, src.h, w * 100, h * 100, workers);
      break;
    case resize_lanczos:
      EXPECT_EQ(resample_lanczos2(out.data(), src.data(), src.w, src.h, w, h), 0);
      break;
  }
  return out;
}

std::string idle_game() { return "script main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n"; }

cg_record* rec(object_node* n) { return layer_record(n); }

}  // namespace

TEST(Resize, SameSizeIsAnExactCopy) {
  // Bicubic's 16.16 step is exact only for powers of two; the smooth method
  // samples half a pixel further by design, so it is judged on a flat
  // picture below.
  const test_picture src = noise_picture(16, 8, 3);
  for (int method : {resize_nearest, resize_bilinear, resize_bicubic, resize_lanczos}) {
    EXPECT_EQ(run_method(method, src, 16, 8).pixels(), src.pixels()) << "method " << method;
  }
}

TEST(Resize, LanczosAtTheSameSizeKeepsEveryByte) {
  // The designed divisor (1 + sum of weights) lowered every non-zero byte by
  // one per pass (255 became 253 after two passes). Dividing by the sum of the
  // weights keeps a picture resized to its own size unchanged, alpha 255
  // included: the one weight is 65536.
  test_picture src(5, 3);
  const uint32_t values[] = {0xFFFFFFFFu, 0xFF000000u, 0x01010101u, 0x80FF7F01u, 0xFE02FD03u};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) src.set(x, y, values[(x + y) % 5]);
  EXPECT_EQ(run_method(resize_lanczos, src, 5, 3).pixels(), src.pixels());
}

// One Lanczos pass written straight from its description: scale
// s = (m - 1) / (n - 1), or m / n when a length is 1; support S = 2 / s;
// output i centred on c = i / s with taps floor(c - S) .. rint(c + S) (plus 1
// when that is below c + S); weight trunc(lanczos2((c - j) * s) * s * 65536)
// with sinc(x) = sin(p x) / (p x), p = pi in single precision; tap j < 0
// reads -j, j >= n reads 2n - j - 1 (then clamped into the picture); byte =
// sum / divisor truncated, clamped to 0..255. The divisor is the weight sum
// (not one more), and where every weight is 0 the nearest source pixel,
// floor(c + 1/2), is taken.
std::vector<int> lanczos_reference_pass(const std::vector<int>& in, int m) {
  const int n = int(in.size());
  const double s = n > 1 && m > 1 ? double(m - 1) / (n - 1) : double(m) / n;
  const double S = 2 / s;
  auto sinc = [](double x) {
    const double p = 3.1415927410125732;
    return x == 0 ? 1.0 : std::sin(p * x) / (p * x);
  };
  auto at = [&](int64_t j) {
    if (j < 0)
      j = -j;
    else if (j >= n)
      j = 2 * n - j - 1;
    return in[size_t(std::clamp<int64_t>(j, 0, n - 1))];
  };
  std::vector<int> out(static_cast<size_t>(m));
  for (int i = 0; i < m; ++i) {
    const double c = i / s;
    const int64_t first = int64_t(std::floor(c - S));
    int64_t last = int64_t(std::rint(c + S));
    if (double(last) < c + S) ++last;
    int64_t sum = 0, weights = 0;
    for (int64_t j = first; j <= last; ++j) {
      const double x = (c - double(j)) * s;
      const double l = std::fabs(x) >= 2 ? 0.0 : sinc(x) * sinc(x / 2);
      const int32_t w = int32_t(std::trunc(l * s * 65536));
      sum += int64_t(w) * at(j);
      weights += w;
    }
    out[size_t(i)] =
        weights == 0 ? at(int64_t(std::floor(c + 0.5))) : int(std::clamp<int64_t>(sum / weights, 0, 255));
  }
  return out;
}

// Horizontal pass over every row, then vertical over every column, per byte.
test_picture lanczos_reference(const test_picture& src, int w, int h) {
  test_picture out(w, h);
  for (int c = 0; c < 4; ++c) {
    std::vector<std::vector<int>> rows(size_t(src.h));
    for (int y = 0; y < src.h; ++y) {
      std::vector<int> line(size_t(src.w));
      for (int x = 0; x < src.w; ++x) line[size_t(x)] = int(src.at(x, y) >> (8 * c) & 0xFF);
      rows[size_t(y)] = lanczos_reference_pass(line, w);
    }
    for (int x = 0; x < w; ++x) {
      std::vector<int> column(size_t(src.h));
      for (int y = 0; y < src.h; ++y) column[size_t(y)] = rows[size_t(y)][size_t(x)];
      const std::vector<int> done = lanczos_reference_pass(column, h);
      for (int y = 0; y < h; ++y)
        out.set(x, y, (out.at(x, y) & ~(0xFFu << (8 * c))) | uint32_t(done[size_t(y)]) << (8 * c));
    }
  }
  return out;
}

TEST(Resize, LanczosFollowsItsKernelAtEveryScale) {
  // Reductions, enlargements by 1.5, 2, 3 and 7, mixed directions, lengths
  // of 1 on either side: every pixel, edges and interior.
  const std::pair<int, int> sizes[][2] = {
      {{13, 9}, {5, 4}}, {{8, 8}, {3, 3}},  {{40, 6}, {7, 6}},  {{5, 4}, {13, 10}}, {{4, 4}, {7, 7}},
      {{7, 7}, {10, 10}}, {{3, 5}, {17, 29}}, {{9, 3}, {4, 7}}, {{1, 5}, {4, 9}},   {{6, 1}, {1, 3}},
      {{11, 7}, {11, 7}}, {{2, 2}, {9, 9}}};
  for (const auto& size : sizes) {
    const test_picture src = noise_picture(size[0].first, size[0].second, uint32_t(size[0].first * 31 + size[1].first));
    const int w = size[1].first, h = size[1].second;
    const test_picture ours = run_method(resize_lanczos, src, w, h);
    const test_picture ref = lanczos_reference(src, w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(ours.at(x, y), ref.at(x, y)) << src.w << "x" << src.h << " -> " << w << "x" << h << " at " << x
                                               << "," << y;
  }
}

TEST(Resize, LanczosHandWorkedRows) {
  // 4 -> 7 (s = 2, S = 1): even outputs sit on a source pixel, whose weight
  // is 2 * 65536 while its neighbours at distance 2 weigh 0; odd outputs sit
  // half-way, where both neighbours lie at kernel distance 1 and weigh
  // trunc(-1.8e-8 * 2 * 65536) = 0. With the designed divisor 1 + 0 they came
  // out black; they take the nearest pixel, the right-hand one.
  test_picture row(4, 1);
  const uint32_t bytes[] = {10, 50, 90, 130};
  for (int x = 0; x < 4; ++x) row.set(x, 0, 0x01010101u * bytes[x]);
  const test_picture up = run_method(resize_lanczos, row, 7, 1);
  const uint32_t expected[] = {10, 50, 50, 90, 90, 130, 130};
  for (int x = 0; x < 7; ++x) EXPECT_EQ(up.at(x, 0), 0x01010101u * expected[x]) << x;

  // 3 -> 2 (s = 1/2, S = 4), bytes 0, 128, 255. Weights by distance:
  // 0: 32768, 1/2: 18781, 1: 0, 3/2: -2086, 2: 0; their sum 66158. Output 0
  // (c = 0) reads taps -3..3 as 2, 1, 0, 1, 2 (the mirror of 3 is 2):
  // (2 * 18781 * 128 - 2 * 2086 * 255) / 66158 = 56. Output 1 (c = 2):
  // (32768 * 255 + 18781 * (128 + 255) - 2086 * (128 + 0)) / 66158 = 230.
  test_picture three(3, 1);
  three.set(0, 0, 0xFF000000u), three.set(1, 0, 0xFF808080u), three.set(2, 0, 0xFFFFFFFFu);
  const test_picture down = run_method(resize_lanczos, three, 2, 1);
  EXPECT_EQ(down.at(0, 0), 0xFF383838u);
  EXPECT_EQ(down.at(1, 0), 0xFFE6E6E6u);
}

TEST(Resize, FlatPicturesStayFlatAtEverySize) {
  // A single colour must come out as that colour everywhere a source pixel is
  // read: no darkened edge, no bleeding from the next row, no lost byte.
  const uint32_t colour = 0xC8643296u;
  const std::pair<int, int> sizes[][2] = {{{7, 5}, {7, 5}},  {{7, 5}, {16, 11}}, {{16, 11}, {7, 5}},
                                          {{1, 1}, {9, 4}},  {{9, 4}, {1, 1}},   {{3, 1}, {2, 1}},
                                          {{1, 6}, {5, 2}},  {{40, 3}, {3, 40}}};
  for (const auto& pair : sizes) {
    test_picture src(pair[0].first, pair[0].second);
    for (int y = 0; y < src.h; ++y)
      for (int x = 0; x < src.w; ++x) src.set(x, y, colour);
    for (int method : all_methods) {
      const test_picture out = run_method(method, src, pair[1].first, pair[1].second);
      for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x)
          ASSERT_EQ(out.at(x, y), colour) << "method " << method << " " << src.w << "x" << src.h << " -> " << out.w
                                          << "x" << out.h << " at " << x << "," << y;
    }
  }
}

TEST(Resize, CornersMeetWhenEnlarging) {
  const test_picture src = noise_picture(6, 4, 7);
  for (int method : all_methods) {
    const test_picture out = run_method(method, src, 17, 9);
    // The smooth method's samples straddle half a step from each corner.
    if (method == resize_smooth) continue;
    EXPECT_EQ(out.at(0, 0), src.at(0, 0)) << method;
    if (method == resize_bicubic) continue;  // its grid starts at the top-left corner only
    EXPECT_EQ(out.at(16, 0), src.at(5, 0)) << method;
    EXPECT_EQ(out.at(0, 8), src.at(0, 3)) << method;
    EXPECT_EQ(out.at(16, 8), src.at(5, 3)) << method;
  }
}

TEST(Resize, HandWorkedPixels) {
  // Bicubic kernel, a = -1: K(0) = 1, K(0.5) = 0.625, K(1) = 0, K(1.5) = -0.125,
  // K(2) = 0, in 1/256.
  const std::pair<int, int> kernel[] = {{0, 256}, {128, 160}, {256, 0}, {384, -32}, {512, 0}, {64, 228}};
  for (auto [k, v] : kernel) EXPECT_EQ(bicubic_kernel_entry(k), v) << k;

  // Nearest: 3 x 1 to 6 x 1 repeats each pixel twice.
  test_picture three(3, 1);
  three.set(0, 0, 0xFF000001u), three.set(1, 0, 0xFF000002u), three.set(2, 0, 0xFF000003u);
  const test_picture six = run_method(resize_nearest, three, 6, 1);
  const uint32_t twice[] = {1, 1, 2, 2, 3, 3};
  for (int x = 0; x < 6; ++x) EXPECT_EQ(six.at(x, 0), 0xFF000000u | twice[x]);

  // Smooth, 2 x 1 (bytes 0 and 200) to 1 x 1: samples at column 0 and at
  // column 0.5 (100); rows coincide; mean (0 + 100 + 1) >> 1 = 50.
  test_picture two(2, 1);
  two.set(0, 0, 0), two.set(1, 0, 0xC8C8C8C8u);
  EXPECT_EQ(run_method(resize_smooth, two, 1, 1).at(0, 0), 0x32323232u);

  // Smooth, 2 x 2 to 3 x 3, byte 100 * x + 40 * y: the centre pixel samples
  // source positions 0.5 and 0.75 both ways: 70 and 95 on row 0.5, 80 and 105
  // on row 0.75; (83 + 93 + 1) >> 1 = 88.
  test_picture four(2, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) four.set(x, y, 0x01010101u * uint32_t(100 * x + 40 * y));
  EXPECT_EQ(run_method(resize_smooth, four, 3, 3).at(1, 1) & 0xFF, 88u);

  // Bicubic, 8 x 4 of byte 10 * x to 16 x 4: column 5 sits at source 2.5,
  // weights -32, 160, 160, -32 over bytes 10..40: 6400 / 256 = 25, the same on
  // the edge row (taps outside left out) and inside (all 16 taps).
  test_picture ramp(8, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) ramp.set(x, y, 0x01010101u * uint32_t(10 * x));
  const test_picture up = run_method(resize_bicubic, ramp, 16, 4);
  EXPECT_EQ(up.at(5, 0), 0x19191919u);
  EXPECT_EQ(up.at(5, 1), 0x19191919u);
  EXPECT_EQ(up.at(4, 2), 0x14141414u);
}

TEST(Resize, WorkerCountDoesNotChangeTheResult) {
  const test_picture src = noise_picture(97, 61, 11);
  for (int method : {resize_nearest, resize_bilinear, resize_smooth}) {
    std::vector<std::vector<uint8_t>> results;
    for (int workers : {1, 2, 4}) {
      stop_worker_threads();
      ASSERT_EQ(start_worker_threads(workers), 0);
      results.push_back(run_method(method, src, 143, 37, workers).pixels());
      results.push_back(run_method(method, src, 31, 90, workers).pixels());
    }
    stop_worker_threads();
    for (size_t i = 2; i < results.size(); ++i) EXPECT_EQ(results[i], results[i % 2]) << method << " run " << i;
  }
}

TEST(Resize, APendingQuitLeavesNoRowUnwritten) {
  // Workers skip their jobs while a quit is pending; the rows they would
  // have written must still be written.
  ASSERT_EQ(start_worker_threads(4), 0);
  const test_picture src = noise_picture(300, 200, 13);
  const test_picture calm = run_method(resize_smooth, src, 400, 300);
  quit_flag = 1;
  const test_picture quitting = run_method(resize_smooth, src, 400, 300);
  quit_flag = 0;
  stop_worker_threads();
  EXPECT_EQ(quitting.pixels(), calm.pixels());
}

TEST(Resize, SimdAndPortableRowsAgree) {
  const test_picture src = noise_picture(53, 29, 5);
  for (auto [w, h] : {std::pair{80, 41}, std::pair{20, 13}}) {
    presentation_settings.simd = 1;
    const test_picture a = run_method(resize_smooth, src, w, h);
    presentation_settings.simd = 0;
    const test_picture b = run_method(resize_smooth, src, w, h);
    presentation_settings.simd = 1;
    EXPECT_EQ(a.pixels(), b.pixels());
  }
}

TEST(Resize, CloseToPixmanAndImageMagickOnTheSameGrids) {
  if (!pixman_available()) GTEST_SKIP() << "pixman not found";
  struct grid_case {
    int method;
    reference_kernel kernel;
    const char* filter;  // ImageMagick, or null
    double min_pixman, min_magick;
  };
  // Bounds sit 3 dB under what the kernels reach (nearest is identical to
  // pixman; bilinear 46, bicubic 41 (pixman) and 44-48 (ImageMagick's
  // Catmull-Rom), smooth 46-53, Lanczos 47 when reducing (truncated
  // quotients)): the kernels differ in shape (Keys a = -1 against Catmull-Rom,
  // the sharpened bilinear, the smooth method's four samples), not in grid.
  const grid_case cases[] = {
      {resize_nearest, ref_nearest, nullptr, 60, 0},
      {resize_bilinear, ref_bilinear, nullptr, 43, 0},
      {resize_bicubic, ref_cubic, "-filter point -interpolate catrom", 38, 40},
      {resize_smooth, ref_bilinear, nullptr, 43, 0},
      {resize_lanczos, ref_lanczos2, "-filter Lanczos2", 44, 44},
  };
  const std::pair<int, int> sizes[][2] = {{{120, 90}, {80, 60}}, {{80, 60}, {128, 96}}, {{90, 60}, {60, 40}}};
  for (const auto& size : sizes) {
    const test_picture src = smooth_picture(size[0].first, size[0].second);
    const int w = size[1].first, h = size[1].second;
    for (const grid_case& c : cases) {
      // Lanczos enlarges with its kernel narrowed to 2 / s source pixels, close
      // to the nearest pixel rather than to a Lanczos filter; its own formula
      // is checked in LanczosFollowsItsKernelAtEveryScale.
      if (c.method == resize_lanczos && w > src.w) continue;
      const test_picture ours = run_method(c.method, src, w, h);
      double sx = double(src.w) / w, sy = double(src.h) / h, ox = 0, oy = 0;
      if (c.method == resize_bilinear || c.method == resize_smooth || c.method == resize_lanczos) {
        sx = double(src.w - 1) / (w - 1), sy = double(src.h - 1) / (h - 1);
      }
      if (c.method == resize_smooth) ox = 0.25 * sx, oy = 0.25 * sy;  // the mean of samples at 0 and 1/2
      const test_picture ref = pixman_resample(src, w, h, sx, sy, ox, oy, c.kernel);
      const double p = psnr(ours, ref, 2);
      // The grid itself: half a destination pixel off must be plainly worse.
      const test_picture shifted = pixman_resample(src, w, h, sx, sy, ox + 0.5 * sx, oy + 0.5 * sy, c.kernel);
      EXPECT_GT(p, psnr(ours, shifted, 2) + 6) << "method " << c.method;
      EXPECT_GE(p, c.min_pixman) << "method " << c.method << " " << src.w << "x" << src.h << " -> " << w << "x" << h;
      if (!c.filter) continue;
      const test_picture magick = imagemagick_resample(src, w, h, sx, sy, ox, oy, c.filter);
      if (magick.w == 0) continue;  // convert not installed
      const double q = psnr(ours, magick, 2);
      EXPECT_GE(q, c.min_magick) << "ImageMagick, method " << c.method << " " << src.w << "x" << src.h << " -> " << w
                                 << "x" << h;
    }
  }
}

TEST(Resize, LanczosTapsStayInsideForEveryScale) {
  // 3 -> 2 reaches taps -4..6 after mirroring; a width of 1 on either side
  // has no corner-to-corner step. Under ASan any read outside fails.
  const test_picture src3 = noise_picture(3, 3, 1);
  const test_picture src1 = noise_picture(1, 1, 2);
  const test_picture wide = noise_picture(64, 1, 3);
  for (auto [src, w, h] : {std::tuple{&src3, 2, 2}, std::tuple{&src3, 1, 1}, std::tuple{&src1, 7, 3},
                           std::tuple{&wide, 1, 5}, std::tuple{&wide, 200, 1}, std::tuple{&src3, 9, 1}}) {
    const test_picture out = run_method(resize_lanczos, *src, w, h);
    EXPECT_NE(out.at(w - 1, h - 1), 0xCDCDCDCDu);
  }
}

TEST(Resize, RectanglesReachingOutsideGiveTransparentBlack) {
  const test_picture src = noise_picture(8, 8, 9);
  // Bicubic over columns -4..11: the first and last quarter lie outside.
  test_picture out(16, 4);
  resample_bicubic(out.data(), src.data(), -4, 0, 11, 7, 8, 8, 16, 4);
  for (int y = 0; y < 4; ++y) {
    EXPECT_EQ(out.at(0, y), 0u);
    EXPECT_EQ(out.at(3, y), 0u);
    EXPECT_NE(out.at(6, y), 0u);
    EXPECT_EQ(out.at(15, y), 0u);
  }
  // Far rectangles of every sign and order: nothing is read outside.
  const int far = 2000000000;
  const int rects[][4] = {{-far, -far, far, far}, {far, far, -far, -far}, {0, 0, far, 50}, {-far, 0, 700, 700},
                          {700, 700, 0, 0}};
  for (const auto& r : rects) {
    test_picture o(9, 7);
    resample_bicubic(o.data(), src.data(), r[0] / 100, r[1] / 100, r[2] / 100, r[3] / 100, 8, 8, 9, 7);
    resize_smooth_threaded(o.data(), src.data(), r[0], r[1], r[2], r[3], 8, 8, 900, 700);
    scale_image_bilinear(o.data(), src.data(), r[0], r[1], r[2], r[3], 8, 8, 900, 700);
    scale_image_nearest_mt(o.data(), src.data(), r[0] / 100, r[1] / 100, r[2] / 100, r[3] / 100, 8, 8, 9, 7);
  }
}

// ---------------------------------------------------------------- resize_cg

TEST(ResizeCg, DestinationRules) {
  headless_game g(idle_game());
  ASSERT_EQ(g.start(), 0);
  const test_picture src = noise_picture(8, 6, 21);
  object_node* first = layer_with_picture("first", src, 1);
  ASSERT_NE(first, nullptr);

  // No second layer: the first layer's picture is replaced.
  ASSERT_EQ(resize_cg(first, nullptr, 0, 0, 700, 500, 400, 300, 0, resize_nearest), 0);
  EXPECT_EQ(rec(first)->width, 4);
  EXPECT_EQ(rec(first)->loaded_height, 3);
  EXPECT_EQ(rec(first)->alpha_in_use, 1);

  // A second layer of exactly the target size is written in place.
  object_node* same = layer_with_picture("same", test_picture(5, 5));
  first = layer_with_picture("first", src, 0);
  const uint8_t* block = rec(same)->pixels;
  ASSERT_EQ(resize_cg(first, same, 0, 0, 700, 500, 500, 500, 1, resize_bilinear), 0);
  EXPECT_EQ(rec(same)->pixels, block);
  EXPECT_EQ(rec(same)->width, 5);
  EXPECT_EQ(rec(same)->alpha_in_use, 0);
  EXPECT_EQ(picture_of(rec(same)).at(4, 4), src.at(7, 5));

  // A GPU layer larger both ways keeps its block and takes the new size.
  object_node* gpu = layer_with_picture("gpu", test_picture(20, 20));
  rec(gpu)->gpu_flag = 1;
  block = rec(gpu)->pixels;
  ASSERT_EQ(resize_cg(first, gpu, 0, 0, 700, 500, 1600, 1200, 1, resize_nearest), 0);
  EXPECT_EQ(rec(gpu)->pixels, block);
  EXPECT_EQ(rec(gpu)->width, 16);
  EXPECT_EQ(rec(gpu)->loaded_height, 12);
  EXPECT_EQ(picture_of(rec(gpu)).at(15, 11), src.at(7, 5));

  // Otherwise a new block for the second layer; the first keeps its own.
  object_node* other = layer_with_picture("other", test_picture(3, 3));
  ASSERT_EQ(resize_cg(first, other, 0, 0, 700, 500, 1600, 1200, 1, resize_lanczos), 0);
  EXPECT_EQ(rec(other)->width, 16);
  EXPECT_EQ(rec(first)->width, 8);
  EXPECT_EQ(picture_of(rec(first)).pixels(), src.pixels());
  EXPECT_TRUE(g.errors().empty());
}

TEST(ResizeCg, UnknownMethodsAndMissingPicturesChangeNothing) {
  headless_game g(idle_game());
  ASSERT_EQ(g.start(), 0);
  const test_picture src = noise_picture(8, 6, 22);
  object_node* first = layer_with_picture("first", src);
  object_node* second = layer_with_picture("second", test_picture(4, 4));
  const test_picture before = picture_of(rec(second));
  for (int method : {0, 20, 22, 30, 40, 50, 52, 99, -1}) {
    EXPECT_EQ(resize_cg(first, second, 0, 0, 700, 500, 300, 300, 1, method), 0);
    EXPECT_EQ(resize_cg(first, nullptr, 0, 0, 700, 500, 300, 300, 0, method), 0);
  }
  EXPECT_EQ(rec(second)->width, 4);
  EXPECT_EQ(picture_of(rec(second)).pixels(), before.pixels());
  EXPECT_EQ(picture_of(rec(first)).pixels(), src.pixels());

  // A first layer without pixels, or missing layers: nothing, no crash.
  std::free(rec(first)->pixel_block);
  rec(first)->pixel_block = rec(first)->pixels = nullptr;
  EXPECT_EQ(resize_cg(first, second, 0, 0, 700, 500, 300, 300, 1, resize_smooth), 0);
  EXPECT_EQ(resize_cg(nullptr, second, 0, 0, 700, 500, 300, 300, 1, resize_smooth), 0);
  EXPECT_EQ(resize_cg(second, nullptr, 0, 0, 300, 300, 300, 300, 1, resize_smooth), 0);
  EXPECT_EQ(picture_of(rec(second)).pixels(), before.pixels());
  EXPECT_TRUE(g.errors().empty());
}

TEST(ResizeCg, ASecondLayerSharingTheFirstsPictureReadsAnIntactSource) {
  headless_game g(idle_game());
  ASSERT_EQ(g.start(), 0);
  const test_picture src = noise_picture(12, 10, 23);
  for (int method : all_methods) {
    object_node* first = layer_with_picture("first", src);
    object_node* twin = create_object_by_path(object_trees[tree_layers].root, "W0/twin", 0, 2, 0);
    share_cg_record(twin, rec(first));
    // Same size: written straight into the shared block, so it must be read
    // from a copy.
    ASSERT_EQ(resize_cg(first, twin, 0, 0, 1100, 900, 1200, 1000, 1, method), 0);
    const test_picture expected = run_method(method, src, 12, 10);
    EXPECT_EQ(picture_of(rec(first)).pixels(), expected.pixels()) << method;
    free_layer_node(twin);
  }
}

TEST(ResizeCg, RefusedSizesKeepThePicture) {
  headless_game g(idle_game());
  ASSERT_EQ(g.start(), 0);
  const test_picture src = noise_picture(8, 6, 24);
  object_node* first = layer_with_picture("first", src);
  EXPECT_EQ(resize_cg(first, nullptr, 0, 0, 700, 500, 819300, 100, 0, resize_nearest), -1);
  EXPECT_EQ(g.error_codes(), std::vector<int>{100010});
  bool shown = false;
  for (const auto& box : g.backend().ui.boxes()) shown |= box.text.find("X=8193, Y=1") != std::string::npos;
  EXPECT_TRUE(shown);
  EXPECT_EQ(resize_cg(first, nullptr, 0, 0, 700, 500, 100, 0, 0, resize_bicubic), -1);
  EXPECT_EQ(resize_cg(first, nullptr, 0, 0, 700, 500, 100, 819300, 0, resize_bicubic), -1);
  EXPECT_EQ(rec(first)->width, 8);
  EXPECT_EQ(picture_of(rec(first)).pixels(), src.pixels());
}

TEST(ResizeCg, FarRectanglesFromScriptsAreSafe) {
  headless_game g(idle_game());
  ASSERT_EQ(g.start(), 0);
  const test_picture src = noise_picture(8, 6, 25);
  const int64_t far = int64_t{1} << 60;
  for (int method : all_methods) {
    object_node* first = layer_with_picture("first", src);
    object_node* second = layer_with_picture("second", test_picture(2, 2));
    EXPECT_EQ(resize_cg(first, second, -far, -far, far, far, 900, 700, 1, method), 0);
    EXPECT_EQ(resize_cg(first, second, far, far, -far, -far, 900, 700, 1, method), 0);
    EXPECT_EQ(resize_cg(first, second, -far, 0, 0, 500, 900, 700, 1, method), 0);
    EXPECT_EQ(rec(second)->width, 9);
  }
  EXPECT_TRUE(g.errors().empty());
}
