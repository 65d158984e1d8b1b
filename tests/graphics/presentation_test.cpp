// CPU presentation: the scalers against a direct reading of their formulas,
// the three bilinear variants and the SIMD/portable paths bit for bit, the
// nearest bands, the present decision tree on the headless platform (scaled
// window 0, maximised offsets, partial blits), and a golden 640 x 480 frame
// shown at 1280 x 960 both ways (exact match: tolerance 0, the scalers are
// integer arithmetic).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/engine_state.h"
#include "app/frame_loop.h"
#include "app/game_window.h"
#include "core/settings.h"
#include "app/startup.h"
#include "core/worker_pool.h"
#include "golden_png.h"
#include "graphics/layer_record.h"
#include "graphics/presentation.h"
#include "platform/headless/headless_platform.h"
#include "support/temp_folder.h"

namespace {

// A picture buffer: w*4*h + w*4 + 4 bytes, the spare row and bytes zero.
std::vector<uint8_t> picture(int w, int h, uint32_t seed) {
  std::vector<uint8_t> p(size_t(w) * 4 * h + size_t(w) * 4 + 4, 0);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < size_t(w) * 4 * h; ++i) p[i] = uint8_t(rng());
  return p;
}

// The bilinear formula read directly, one channel at a time.
std::vector<uint8_t> reference_bilinear(const std::vector<uint8_t>& src, int sw, int sh, int dw, int dh) {
  std::vector<uint8_t> out(size_t(dw) * dh * 4, 0);
  const uint8_t* sharpen = sharpening_table();
  auto pos = [](int64_t j, int64_t extent100, int64_t dst100) {
    int64_t div = dst100 > 100 ? dst100 - 100 : 100;
    return j * 256 * extent100 / div;
  };
  for (int i = 0; i < dh; ++i) {
    int64_t py = pos(i, int64_t(sh - 1) * 100, int64_t(dh) * 100);
    int64_t iy = py >> 8;
    int wy = int(py & 255);
    if (iy < 0 || iy >= sh) continue;
    for (int j = 0; j < dw; ++j) {
      int64_t px = pos(j, int64_t(sw - 1) * 100, int64_t(dw) * 100);
      int64_t ix = px >> 8;
      if (ix < 0 || ix >= sw) continue;
      int wx = sharpen[px & 255];
      for (int c = 0; c < 4; ++c) {
        auto at = [&](int64_t x, int64_t y) { return int(src[size_t(y * sw + x) * 4 + size_t(c)]); };
        // P01 and P11 may read the spare bytes past the row: as stored.
        int p00 = at(ix, iy), p01 = src[size_t(iy * sw + ix) * 4 + 4 + size_t(c)];
        int p10 = src[size_t((iy + 1) * sw + ix) * 4 + size_t(c)], p11 = src[size_t((iy + 1) * sw + ix) * 4 + 4 + size_t(c)];
        int h0 = (p00 * (256 - wx) + p01 * wx) >> 8, h1 = (p10 * (256 - wx) + p11 * wx) >> 8;
        out[(size_t(i) * dw + j) * 4 + size_t(c)] = uint8_t(std::min(255, (h0 * (256 - wy) + h1 * wy) >> 8));
      }
    }
  }
  return out;
}

struct scaled {
  std::vector<uint8_t> single, threaded, frame_mode;
};

scaled all_bilinear(const std::vector<uint8_t>& src, int sw, int sh, int dw, int dh) {
  scaled s;
  for (auto* v : {&s.single, &s.threaded, &s.frame_mode}) v->assign(size_t(dw) * dh * 4 + 64, 0xCD);
  int x1 = (sw - 1) * 100, y1 = (sh - 1) * 100;
  scale_image_bilinear(s.single.data(), src.data(), 0, 0, x1, y1, sw, sh, dw * 100, dh * 100);
  scale_image_bilinear_mt(s.threaded.data(), src.data(), 0, 0, x1, y1, sw, sh, dw * 100, dh * 100);
  scale_image_bilinear_frame_mode(s.frame_mode.data(), src.data(), 0, 0, x1, y1, sw, sh, dw * 100, dh * 100);
  return s;
}

struct presentation : ::testing::Test {
  void SetUp() override {
    quit_flag = 0;
    presentation_settings = {};
    register_presentation_jobs();
    ASSERT_EQ(start_worker_threads(4), 0);
  }
  void TearDown() override { stop_worker_threads(); }
};

}  // namespace

TEST_F(presentation, SharpeningTableFollowsItsFormula) {
  const uint8_t* t = sharpening_table();
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[25], 0);     // (25 - 128) * 1.25 + 128 = -0.75
  EXPECT_EQ(t[26], 0);     // 0.5, truncated
  EXPECT_EQ(t[100], 93);   // 93.0
  EXPECT_EQ(t[128], 128);
  EXPECT_EQ(t[129], 129);  // 129.25
  EXPECT_EQ(t[200], 218);
  EXPECT_EQ(t[230], 255);  // 255.5 clamps
  EXPECT_EQ(t[255], 255);
}

TEST_F(presentation, BilinearVariantsAndKernelPathsAreBitIdenticalToTheFormula) {
  const int sizes[][4] = {{640, 480, 1280, 960}, {7, 5, 13, 11}, {33, 17, 32, 16}, {1, 1, 5, 3},
                          {3, 3, 1, 1},        {100, 2, 3, 101}, {5, 4, 5, 4}};
  for (const auto& z : sizes) {
    auto src = picture(z[0], z[1], uint32_t(z[0] * 31 + z[3]));
    auto ref = reference_bilinear(src, z[0], z[1], z[2], z[3]);
    for (uint8_t simd : {uint8_t(1), uint8_t(0)}) {
      presentation_settings.simd = simd;
      scaled s = all_bilinear(src, z[0], z[1], z[2], z[3]);
      const size_t n = size_t(z[2]) * z[3] * 4;
      SCOPED_TRACE(std::to_string(z[0]) + "x" + std::to_string(z[1]) + " to " + std::to_string(z[2]) + "x" +
                   std::to_string(z[3]) + " simd " + std::to_string(simd));
      EXPECT_EQ(0, std::memcmp(s.single.data(), ref.data(), n));
      EXPECT_EQ(0, std::memcmp(s.threaded.data(), ref.data(), n));
      EXPECT_EQ(0, std::memcmp(s.frame_mode.data(), ref.data(), n));
      EXPECT_EQ(s.single[n], 0xCD);  // nothing written past the frame
      EXPECT_EQ(s.threaded[n], 0xCD);
    }
  }
}

TEST_F(presentation, BilinearCornersMeetAndWidePositionsDoNotOverflow) {
  // 4000 -> 4100 columns: j * 256 * (x1 - x0) reaches 4099 * 256 * 399900,
  // far past 32 bits.
  const int sw = 4000, sh = 2, dw = 4100, dh = 3;
  auto src = picture(sw, sh, 7);
  std::vector<uint8_t> dst(size_t(dw) * dh * 4);
  scale_image_bilinear(dst.data(), src.data(), 0, 0, (sw - 1) * 100, (sh - 1) * 100, sw, sh, dw * 100, dh * 100);
  auto px = [&](const std::vector<uint8_t>& v, int w, int x, int y) {
    uint32_t p;
    std::memcpy(&p, v.data() + (size_t(y) * w + x) * 4, 4);
    return p;
  };
  EXPECT_EQ(px(dst, dw, 0, 0), px(src, sw, 0, 0));
  EXPECT_EQ(px(dst, dw, dw - 1, 0), px(src, sw, sw - 1, 0));
  EXPECT_EQ(px(dst, dw, 0, dh - 1), px(src, sw, 0, sh - 1));
  EXPECT_EQ(px(dst, dw, dw - 1, dh - 1), px(src, sw, sw - 1, sh - 1));
  auto ref = reference_bilinear(src, sw, sh, dw, dh);
  EXPECT_EQ(0, std::memcmp(dst.data(), ref.data(), dst.size()));
}

TEST_F(presentation, RowsAndColumnsOutsideTheSourceAreCleared) {
  auto src = picture(8, 8, 3);
  std::vector<uint8_t> dst(16 * 16 * 4, 0xEE);
  // The source rectangle starts 4 pixels left of and above the picture.
  scale_image_bilinear_mt(dst.data(), src.data(), -400, -400, 700, 700, 8, 8, 1600, 1600);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      bool inside = x >= 6 && y >= 6;  // position j * 256 * 1100 / 1500 - 1024 >= 0
      uint32_t p;
      std::memcpy(&p, dst.data() + (size_t(y) * 16 + x) * 4, 4);
      if (!inside) { EXPECT_EQ(p, 0u) << x << "," << y; }
    }
  std::vector<uint8_t> single(dst.size(), 0x55);
  scale_image_bilinear(single.data(), src.data(), -400, -400, 700, 700, 8, 8, 1600, 1600);
  EXPECT_EQ(single, dst);
}

TEST_F(presentation, NearestRepeatsPixelsSplitsBandsAndClearsOutside) {
  std::vector<uint8_t> src = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> dst(6 * 4);
  scale_image_nearest_mt(dst.data(), src.data(), 0, 0, 2, 0, 3, 1, 6, 1);
  std::vector<uint8_t> want = {1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11, 12, 9, 10, 11, 12};
  EXPECT_EQ(dst, want);

  // Worker m of W over the valid rows n..k: n + m(k - n)/W up to n + (m+1)(k - n)/W.
  EXPECT_EQ(nearest_band_first(0, 3, 10, 110), 10);
  EXPECT_EQ(nearest_band_end(0, 3, 10, 110), 43);
  EXPECT_EQ(nearest_band_first(1, 3, 10, 110), 43);
  EXPECT_EQ(nearest_band_end(1, 3, 10, 110), 76);
  EXPECT_EQ(nearest_band_end(2, 3, 10, 110), 110);

  // Threaded and single agree, with rows and columns outside cleared.
  auto big = picture(50, 40, 9);
  std::vector<uint8_t> a(97 * 83 * 4, 0x77), b(97 * 83 * 4, 0x33);
  scale_image_nearest_mt(a.data(), big.data(), -5, -7, 60, 45, 50, 40, 97, 83, true);
  scale_image_nearest_mt(b.data(), big.data(), -5, -7, 60, 45, 50, 40, 97, 83, false);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[0], 0);                  // source (-5, -7): cleared
  EXPECT_EQ(a[(82 * 97 + 96) * 4], 0);  // past the source's end: cleared
}

TEST_F(presentation, GoldenFrameAt1280x960BothWays) {
  // A 640 x 480 frame: gradients, hard edges, thin lines and a checkerboard.
  const int w = 640, h = 480;
  std::vector<uint8_t> frame(size_t(w) * 4 * h + size_t(w) * 4 + 4, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = frame.data() + (size_t(y) * w + x) * 4;
      uint8_t r = uint8_t(x * 255 / (w - 1)), g = uint8_t(y * 255 / (h - 1)), b = 96;
      if (x >= 320 && y < 240) r = g = b = ((x / 8 + y / 8) & 1) ? 255 : 0;
      if (x % 97 == 0 || y % 61 == 0) r = 255, g = 255, b = 0;
      int dx = x - 480, dy = y - 360;
      if (dx * dx + dy * dy < 80 * 80) r = 20, g = 40, b = 200;
      p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
    }
  std::vector<uint8_t> out(1280u * 960 * 4);
  scale_image_bilinear_mt(out.data(), frame.data(), 0, 0, 639 * 100, 479 * 100, w, h, 128000, 96000);
  EXPECT_EQ(compare_golden("presentation_bilinear_1280x960", 1280, 960, out.data()), "");
  // Corners meet the source corners exactly.
  EXPECT_EQ(0, std::memcmp(out.data(), frame.data(), 4));
  EXPECT_EQ(0, std::memcmp(out.data() + (1280u * 960 - 1) * 4, frame.data() + (640u * 480 - 1) * 4, 4));
  scale_image_nearest_mt(out.data(), frame.data(), 0, 0, 639, 479, w, h, 1280, 960);
  EXPECT_EQ(compare_golden("presentation_nearest_1280x960", 1280, 960, out.data()), "");
}

// ---------------------------------------------------------------- the decision tree

namespace {

struct present_tree : presentation {
  temp_folder folder;
  HeadlessPlatform host{folder.path()};
  cg_record root;

  void SetUp() override {
    presentation::SetUp();
    ASSERT_EQ(create_window_states(), 0);
    cpu_frame_buffer = {};
    cpu_frame_buffer.output_width = 32;
    cpu_frame_buffer.output_height = 24;
    init_window_bitmap(0, "T");
    ASSERT_EQ(create_game_window(0, 32, 24, "T"), 1);
    screen_state.maximised = 0;
    screen_state.fullscreen = 0;
    ASSERT_EQ(alloc_layer_picture(&root, 32, 24), 0);
    for (int i = 0; i < 32 * 24; ++i) {
      uint32_t v = 0xFF000000u | uint32_t(i);
      std::memcpy(root.pixels + size_t(i) * 4, &v, 4);
    }
  }
  void TearDown() override {
    std::free(root.pixel_block);
    root.pixel_block = root.pixels = nullptr;
    presentation::TearDown();
  }
  uint32_t shown(int x, int y) {
    headless_frame f = host.ui.frame(0);
    uint32_t v;
    std::memcpy(&v, f.bgra.data() + (size_t(y) * f.width + x) * 4, 4);
    return v;
  }
};

}  // namespace

TEST_F(present_tree, UnchangedRootIsNotBlittedAndAPartialRectangleIsAllThatIs) {
  uint64_t blits = presentation_stats.blits;
  root.present_rect = empty_layer_rect;
  present_window_frame(0, &root);
  EXPECT_EQ(presentation_stats.blits, blits);

  root.present_rect = {3, 2, 9, 5};
  present_window_frame(0, &root);
  EXPECT_EQ(presentation_stats.blits, blits + 1);
  EXPECT_EQ(presentation_stats.last_path, 4);
  EXPECT_EQ(presentation_stats.bytes, 7u * 4 * 4);
  EXPECT_EQ(shown(3, 2), 0xFF000000u | (2 * 32 + 3));
  EXPECT_EQ(shown(9, 5), 0xFF000000u | (5 * 32 + 9));
  EXPECT_EQ(shown(10, 5), 0u);  // outside the rectangle: never written
  EXPECT_EQ(shown(3, 6), 0u);
  EXPECT_TRUE(layer_rect_empty(root.present_rect));  // taken

  // At x 0 reaching the bottom: the rectangle's columns over the full height.
  root.present_rect = {0, 20, 1, 23};
  present_window_frame(0, &root);
  EXPECT_EQ(presentation_stats.rect[1], 0);
  EXPECT_EQ(presentation_stats.rect[3], 24);
  EXPECT_EQ(shown(1, 0), 0xFF000001u);
  EXPECT_EQ(shown(2, 0), 0u);

  // Quitting presents nothing.
  quit_flag = 1;
  root.present_rect = {0, 0, 31, 23};
  present_window_frame(0, &root);
  EXPECT_EQ(shown(31, 23), 0u);
  quit_flag = 0;
}

TEST_F(present_tree, WindowZeroScalesToItsOutputSize) {
  host.ui.user_resize(0, 64, 48, 0);
  cpu_frame_buffer.output_width = 64;
  cpu_frame_buffer.output_height = 48;
  root.present_rect = {5, 5, 6, 6};  // any change presents the whole scaled frame
  presentation_settings.cpu_scaling_mode = 0;
  present_window_frame(0, &root);
  EXPECT_EQ(presentation_stats.last_path, 2);
  EXPECT_EQ(shown(0, 0), 0xFF000000u);
  EXPECT_EQ(shown(63, 47), 0xFF000000u | (23 * 32 + 31));
  EXPECT_EQ(shown(3, 2), 0xFF000000u | (1 * 32 + 1));
  presentation_settings.cpu_scaling_mode = 1;
  root.present_rect = {5, 5, 6, 6};
  present_window_frame(0, &root);
  EXPECT_EQ(presentation_stats.last_path, 1);
  EXPECT_EQ(shown(63, 47), 0xFF000000u | (23 * 32 + 31));
  EXPECT_EQ(window_states.windows[0]->picture_offset_x, 0);
}

TEST_F(present_tree, MaximisedWindowCentresTheFittedPicture) {
  // A 100 x 24 client keeps the 4:3 picture at full height: 32 x 24, offset 34.
  host.ui.user_resize(0, 100, 24, 2);
  ui_event e;
  ASSERT_TRUE(host.ui.poll_event(e));
  game_wnd_proc(e);  // msg_size, maximised
  EXPECT_EQ(screen_state.maximised, 1);
  EXPECT_EQ(cpu_frame_buffer.output_width, 32);
  EXPECT_EQ(cpu_frame_buffer.output_height, 24);
  root.present_rect = {0, 0, 31, 23};
  present_window_frame(0, &root);
  EXPECT_EQ(window_states.windows[0]->picture_offset_x, 34);
  EXPECT_EQ(shown(34, 0), 0xFF000000u);
  EXPECT_EQ(shown(33, 0), 0u);
  EXPECT_EQ(shown(34 + 31, 23) & 0xFFFFFF, uint32_t(23 * 32 + 31) & 0xFFFFFF);

  // Back to the window: the saved sizes return.
  host.ui.user_resize(0, 32, 24, 0);
  ASSERT_TRUE(host.ui.poll_event(e));
  game_wnd_proc(e);
  EXPECT_EQ(screen_state.maximised, 0);
  EXPECT_EQ(cpu_frame_buffer.output_width, 32);
}
