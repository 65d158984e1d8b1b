// Picture filters on tiny hand-made pictures: hand-computed results for every
// operation, the identities, the cut windows and zero-weight windows of the
// blurs, the fill flags, the seeded shuffle, and the same bytes for any
// number of workers.
#include "image/cg_filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "core/worker_pool.h"
#include "graphics/layer_record.h"
#include "image/cg_picture.h"
#include "support/headless_game.h"

namespace {

const char* idle_listing = "script main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n";

struct filter_fixture : ::testing::Test {
  headless_game game{idle_listing};
  void SetUp() override { ASSERT_EQ(game.start(), 0); }
};

// A w x h layer whose pixels are given as 0xAARRGGBB values, row by row.
object_node* make_layer(const char* path, int w, int h, const std::vector<uint32_t>& px, uint8_t alpha_in_use = 0) {
  cg_record* r = create_blank_cg(path, w, h);
  EXPECT_NE(r, nullptr);
  if (!r) return nullptr;
  for (int i = 0; i < w * h && i < int(px.size()); ++i) std::memcpy(r->pixels + size_t(i) * 4, &px[size_t(i)], 4);
  r->alpha_in_use = alpha_in_use;
  return find_object_by_path(object_trees[tree_layers].root, path, find_leaf);
}

std::vector<uint32_t> pixels_of(object_node* node) {
  const cg_record* r = layer_record(node);
  std::vector<uint32_t> out(size_t(r->width) * size_t(r->height));
  std::memcpy(out.data(), r->pixels, out.size() * 4);
  return out;
}

// Grey pixels of one byte value, opaque.
uint32_t grey(int v) { return 0xFF000000u | uint32_t(v) * 0x010101u; }
// One colour byte in B, the others 0; alpha 0xFF.
uint32_t blue(int v) { return 0xFF000000u | uint32_t(v); }

int apply(int op, object_node* first, int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t value,
          int64_t value2 = 0, object_node* second = nullptr, int fill = 0) {
  return apply_cg_filter(op, first, second, x1, y1, x2, y2, value, value2, second ? 1 : 0, fill);
}

int64_t width_of(object_node* n) { return layer_record(n)->width; }
int64_t height_of(object_node* n) { return layer_record(n)->height; }

}  // namespace

TEST_F(filter_fixture, PerPixelOperations) {
  struct row {
    const char* name;
    int op;
    int64_t value;
    uint32_t in, out;
  };
  const row rows[] = {
      {"brightness 128 keeps", cg_filter_brightness, 128, 0x40102030u, 0x40102030u},
      {"brightness 0 lowers by 128", cg_filter_brightness, 0, 0x40FF8010u, 0x407F0000u},
      {"brightness 256 raises by 128", cg_filter_brightness, 256, 0x40107FFFu, 0x4090FFFFu},
      {"negative", cg_filter_negative, 1, 0x7F102030u, 0x7FEFDFCFu},
      // L = (306*30 + 601*20 + 117*10) * 1024: R' 39, G' 21, B' below 0.
      {"sepia dark", cg_filter_sepia, 0, 0x801E140Au, 0x80271500u},
      {"sepia white", cg_filter_sepia, 0, 0xFFFFFFFFu, 0xFFFFFED2u},
      {"tone neutral", cg_filter_tone, 0x808080, 0x11223344u, 0x11223344u},
      {"monochrome neutral", cg_filter_monochrome, 128, 0x11223344u, 0x11223344u},
      {"monochrome 0 is grey", cg_filter_monochrome, 0, 0xFF000000u | (90u << 16) | (60u << 8) | 30u, grey(60)},
  };
  for (const row& r : rows) {
    object_node* n = make_layer("W0/p", 2, 1, {r.in, r.in});
    ASSERT_EQ(apply(r.op, n, 0, 0, 1, 0, r.value), 0) << r.name;
    EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{r.out, r.out})) << r.name;
  }
  EXPECT_TRUE(game.errors().empty());
}

TEST_F(filter_fixture, ThresholdAndFillsWorkInPlaceOrOnACopy) {
  // In place: the size stays, only the rectangle changes.
  object_node* a = make_layer("W0/a", 3, 1, {grey(10), 0x80103050u, grey(200)});
  ASSERT_EQ(apply(cg_filter_threshold, a, 1, 0, 2, 0, 0x30), 0);
  // 0x10 + 0x30 + 0x50 = 144 = 3 * 0x30: at the limit counts as bright.
  EXPECT_EQ(pixels_of(a), (std::vector<uint32_t>{grey(10), 0x80FFFFFFu, grey(255)}));

  // To a second layer: a copy of the whole picture, the rectangle changed;
  // the first keeps its picture.
  object_node* b = make_layer("W0/b", 3, 1, {grey(10), grey(100), grey(200)});
  object_node* c = make_layer("W0/c", 1, 1, {0});
  ASSERT_EQ(apply(cg_filter_threshold, b, 0, 0, 1, 0, 50, 0, c), 0);
  EXPECT_EQ(pixels_of(c), (std::vector<uint32_t>{grey(0) | 0, grey(255), grey(200)}));
  EXPECT_EQ(pixels_of(b), (std::vector<uint32_t>{grey(10), grey(100), grey(200)}));

  struct fill_row {
    const char* name;
    int mode;
    int64_t value;
    bool whole;
    uint8_t flag_before, flag_after;
    uint32_t filled;
  };
  const fill_row fills[] = {
      {"colour keeps the flag", cg_fill_colour, 0x12345678, true, 1, 1, 0xFF345678u},
      {"colour keeps the flag 0", cg_fill_colour, 0x12345678, false, 0, 0, 0xFF345678u},
      {"alpha 255 whole clears", cg_fill_alpha, 0x1FF, true, 1, 0, 0xFF000001u},
      {"alpha 255 part sets", cg_fill_alpha, 0xFF, false, 0, 1, 0xFF000001u},
      {"alpha 0x80 sets", cg_fill_alpha, 0x80, true, 0, 1, 0x80000001u},
      {"pixel opaque whole clears", cg_fill_pixel, 0xFF000000, true, 1, 0, 0xFF000000u},
      {"pixel opaque part sets", cg_fill_pixel, 0xFF000000, false, 0, 1, 0xFF000000u},
      {"pixel 0xFEFFFFFF sets", cg_fill_pixel, 0xFEFFFFFF, true, 0, 1, 0xFEFFFFFFu},
  };
  for (const fill_row& f : fills) {
    for (int to_second = 0; to_second < 2; ++to_second) {
      object_node* s = make_layer("W0/s", 2, 2, {0xFF000001u, 0xFF000001u, 0xFF000001u, 0xFF000001u}, f.flag_before);
      object_node* t = make_layer("W0/t", 1, 1, {0});
      object_node* receiver = to_second ? t : s;
      ASSERT_EQ(apply(cg_filter_fill, s, 0, 0, 1, f.whole ? 1 : 0, f.value, 0, to_second ? t : nullptr, f.mode), 0)
          << f.name;
      const std::vector<uint32_t> got = pixels_of(receiver);
      ASSERT_EQ(got.size(), 4u) << f.name;
      EXPECT_EQ(got[0], f.filled) << f.name;
      EXPECT_EQ(got[3], f.whole ? f.filled : 0xFF000001u) << f.name;
      EXPECT_EQ(layer_record(receiver)->alpha_in_use, f.flag_after) << f.name << " second " << to_second;
    }
  }
}

TEST_F(filter_fixture, ARectangleWithoutSecondLayerBecomesThePicture) {
  // Copy, mirror and flip of the rectangle (1,0)-(2,1) of a 4 x 2 picture.
  const std::vector<uint32_t> px = {1, 2, 3, 4, 5, 6, 7, 8};
  object_node* n = make_layer("W0/n", 4, 2, px);
  ASSERT_EQ(apply(cg_filter_copy, n, 1, 0, 2, 1, 0), 0);
  EXPECT_EQ(width_of(n), 2);
  EXPECT_EQ(height_of(n), 2);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{2, 3, 6, 7}));

  n = make_layer("W0/n", 4, 2, px);
  ASSERT_EQ(apply(cg_filter_mirror, n, 1, 0, 2, 1, 1), 0);  // picture columns 2, 1
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{3, 2, 7, 6}));

  n = make_layer("W0/n", 4, 2, px);
  ASSERT_EQ(apply(cg_filter_flip, n, 1, 0, 3, 1, 1), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{6, 7, 8, 2, 3, 4}));

  // Clamped to the picture; corners in the wrong order are refused.
  n = make_layer("W0/n", 4, 2, px);
  ASSERT_EQ(apply(cg_filter_copy, n, -5, -5, 99, 99, 0), 0);
  EXPECT_EQ(pixels_of(n), px);
  EXPECT_EQ(apply(cg_filter_copy, n, 3, 0, 1, 1, 0), -1);
  EXPECT_EQ(game.error_codes(), (std::vector<int>{100010}));
  EXPECT_EQ(pixels_of(n), px);
}

TEST_F(filter_fixture, BoxWindowsAreCutAtTheRectangle) {
  const std::vector<uint32_t> row = {blue(0), blue(30), blue(60), blue(90), blue(120)};
  object_node* n = make_layer("W0/n", 5, 1, row);
  ASSERT_EQ(apply(cg_filter_horizontal_blur, n, 0, 0, 4, 0, 1), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{blue(15), blue(30), blue(60), blue(90), blue(105)}));
  // The cut rectangle (1..3): its own edges cut the windows.
  n = make_layer("W0/n", 5, 1, row);
  ASSERT_EQ(apply(cg_filter_horizontal_blur, n, 1, 0, 3, 0, 0), 0);  // value 0 is radius 1
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{blue(45), blue(60), blue(75)}));

  // Vertical and two-pass box over a 3 x 3 with alpha in use: all four
  // bytes averaged; without it, alpha kept.
  std::vector<uint32_t> sq(9, 0);
  sq[4] = 0x90909090u;  // centre
  object_node* v = make_layer("W0/v", 1, 3, {0x90000000u, 0, 0x30000000u}, 1);
  ASSERT_EQ(apply(cg_filter_vertical_blur, v, 0, 0, 0, 2, 1), 0);
  EXPECT_EQ(pixels_of(v), (std::vector<uint32_t>{0x48000000u, 0x40000000u, 0x18000000u}));
  object_node* b = make_layer("W0/b", 3, 3, sq, 1);
  ASSERT_EQ(apply(cg_filter_box_blur, b, 0, 0, 2, 2, 1), 0);
  // Corners: 0x90 / 2 / 2 = 0x24; edges 0x90 / 2 / 3 = 0x18; centre 0x90 / 9 = 0x10.
  EXPECT_EQ(pixels_of(b), (std::vector<uint32_t>{0x24242424u, 0x18181818u, 0x24242424u, 0x18181818u, 0x10101010u,
                                                 0x18181818u, 0x24242424u, 0x18181818u, 0x24242424u}));
  b = make_layer("W0/b", 3, 3, sq, 0);
  ASSERT_EQ(apply(cg_filter_box_blur, b, 0, 0, 2, 2, 1), 0);
  EXPECT_EQ(pixels_of(b)[0], 0x00242424u);
  EXPECT_EQ(pixels_of(b)[4], 0x90101010u);
  // Box shadow with alpha in use: colours black, alpha averaged.
  b = make_layer("W0/b", 3, 3, sq, 1);
  ASSERT_EQ(apply(cg_filter_box_shadow, b, 0, 0, 2, 2, 1), 0);
  EXPECT_EQ(pixels_of(b)[0], 0x24000000u);
  EXPECT_EQ(pixels_of(b)[4], 0x10000000u);
}

TEST_F(filter_fixture, WeightedProfileOfRadiusEight) {
  // An impulse of 255 at position p of a 17-pixel row: the centre pixel
  // (x = 8) gets 255 * weight(p) / 3568, the weights being 512 on the plateau
  // (q = 2) and halved outward down to 8 at the ends.
  const int expected_centre[17] = {0, 1, 2, 4, 9, 18, 36, 36, 36, 36, 36, 18, 9, 4, 2, 1, 0};
  for (int p = 0; p < 17; ++p) {
    std::vector<uint32_t> px(17, 0);
    px[size_t(p)] = 0xFF000000u | 0xFFu;
    object_node* n = make_layer("W0/w", 17, 1, px, 1);
    ASSERT_EQ(apply(cg_filter_weighted_blur, n, 0, 0, 16, 0, 8), 0);
    const std::vector<uint32_t> got = pixels_of(n);
    EXPECT_EQ(int(got[8] & 0xFF), expected_centre[p]) << "impulse at " << p;
    // Pixel 0's window is cut at the row's start: the profile starts there,
    // so its centre weight lies 8 pixels in (weights 8 ... 512, sum 2040).
    if (p == 8) {
      EXPECT_EQ(int(got[0] & 0xFF), 255 * 512 / 2040);
    }
    if (p == 0) {
      EXPECT_EQ(int(got[0] & 0xFF), 255 * 8 / 2040);
    }
  }
  // The weighted shadow uses the profile on alpha alone, colours black,
  // whatever the alpha flag says.
  std::vector<uint32_t> px(17, 0x00FFFFFFu);
  px[8] = 0xFFFFFFFFu;
  object_node* s = make_layer("W0/s", 17, 1, px, 0);
  ASSERT_EQ(apply(cg_filter_weighted_shadow, s, 0, 0, 16, 0, 8), 0);
  EXPECT_EQ(pixels_of(s)[8], 36u << 24);
  // Pixel 3's window is cut at the start: the profile's centre sits at 8, so
  // the impulse weighs 512 of 3320.
  EXPECT_EQ(pixels_of(s)[3], 39u << 24);

  // A radius far wider than a narrow rectangle meets only zero weights: the
  // plain mean, no division by zero.
  object_node* z = make_layer("W0/z", 3, 1, {grey(0), grey(90), grey(180)}, 1);
  ASSERT_EQ(apply(cg_filter_weighted_blur, z, 0, 0, 2, 0, 256), 0);
  EXPECT_EQ(pixels_of(z), (std::vector<uint32_t>{grey(90), grey(90), grey(90)}));
  EXPECT_TRUE(game.errors().empty());
}

TEST_F(filter_fixture, MosaicGridMeetsTheCentre) {
  // W = 8, s = 3: the grid's edges fall on column 4, so blocks are [0], [1..3],
  // [4..6], [7].
  std::vector<uint32_t> px;
  for (int i = 0; i < 8; ++i) px.push_back(0x40000000u | uint32_t(i * 10));
  object_node* n = make_layer("W0/m", 8, 1, px);
  ASSERT_EQ(apply(cg_filter_mosaic, n, 0, 0, 7, 0, 3), 0);
  std::vector<uint32_t> want;
  for (int v : {0, 20, 20, 20, 50, 50, 50, 70}) want.push_back(0x40000000u | uint32_t(v));
  EXPECT_EQ(pixels_of(n), want);

  // Two dimensions: 5 x 3, s = 2: columns [0,1] [2,3] [4], rows [0] [1,2].
  std::vector<uint32_t> sq;
  for (int i = 0; i < 15; ++i) sq.push_back(uint32_t(i) << 24 | uint32_t(i * 6));
  n = make_layer("W0/m", 5, 3, sq);
  ASSERT_EQ(apply(cg_filter_mosaic, n, 0, 0, 4, 2, 2), 0);
  const int means[15] = {3, 3, 15, 15, 24, 48, 48, 60, 60, 69, 48, 48, 60, 60, 69};
  std::vector<uint32_t> got = pixels_of(n);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(int(got[size_t(i)] & 0xFF), means[i]) << i;
    EXPECT_EQ(got[size_t(i)] >> 24, uint32_t(i)) << "alpha kept per pixel " << i;
  }

  // Values 0 and 1 keep the picture.
  for (int64_t v : {0, 1}) {
    n = make_layer("W0/m", 5, 3, sq);
    ASSERT_EQ(apply(cg_filter_mosaic, n, 0, 0, 4, 2, v), 0);
    EXPECT_EQ(pixels_of(n), sq);
  }
}

TEST_F(filter_fixture, WavesShiftByTheTruncatedSine) {
  // 6 x 2 picture, pixel = column + 10 * row. Amplitude 3 at 45 and 46
  // degrees: both rows shift by 2; past the rectangle's last column the
  // source is the column before it.
  std::vector<uint32_t> px;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 6; ++x) px.push_back(uint32_t(x + 10 * y));
  object_node* n = make_layer("W0/w", 6, 2, px);
  ASSERT_EQ(apply(cg_filter_horizontal_wave, n, 0, 0, 5, 1, 3, 45), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{2, 3, 4, 5, 4, 4, 12, 13, 14, 15, 14, 14}));
  n = make_layer("W0/w", 6, 2, px);
  ASSERT_EQ(apply(cg_filter_horizontal_wave, n, 0, 0, 5, 1, -3, 45), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{0, 0, 0, 1, 2, 3, 10, 10, 10, 11, 12, 13}));

  // Vertical: 2 x 6, each column's rows move by trunc(3 cos(45 + column)) = 2.
  std::vector<uint32_t> tall;
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 2; ++x) tall.push_back(uint32_t(x + 10 * y));
  n = make_layer("W0/t", 2, 6, tall);
  ASSERT_EQ(apply(cg_filter_vertical_wave, n, 0, 0, 1, 5, 3, 45), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{20, 21, 30, 31, 40, 41, 50, 51, 50, 51, 50, 51}));

  // Amplitude 0 copies, with the columns counted from the rectangle's left
  // edge while rows stay picture rows.
  n = make_layer("W0/w", 6, 2, px);
  ASSERT_EQ(apply(cg_filter_double_wave, n, 2, 1, 4, 1, 0, 77), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{10, 11, 12}));

  // A rectangle ending at column 0 never reads left of the picture; huge
  // amplitudes and phases are held before any conversion.
  for (int64_t amp : {int64_t(100), INT64_MAX, INT64_MIN}) {
    n = make_layer("W0/w", 6, 2, px);
    ASSERT_EQ(apply(cg_filter_double_wave, n, 0, 0, 0, 1, amp, INT64_MAX - 3), 0);
    for (uint32_t v : pixels_of(n)) EXPECT_TRUE(v == 0 || v == 10) << v;
  }
  EXPECT_TRUE(game.errors().empty());
}

TEST_F(filter_fixture, SwirlTurnsByDistance) {
  // 3 x 3, value 900 (90 degrees), three table entries: 90, 60, 30 degrees.
  // Distance 1 uses cos 60 = 128/256, sin 60 = 221/256.
  std::vector<uint32_t> px;
  for (uint32_t i = 0; i < 9; ++i) px.push_back(i);
  object_node* n = make_layer("W0/s", 3, 3, px);
  ASSERT_EQ(apply(cg_filter_swirl, n, 0, 0, 2, 2, 900), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{1, 1, 5, 0, 4, 4, 0, 3, 6}));

  // Value 0 copies the rectangle (the cached distance map is remade for the
  // new size, then reused).
  std::vector<uint32_t> big;
  for (uint32_t i = 0; i < 20; ++i) big.push_back(i * 7);
  for (int k = 0; k < 2; ++k) {
    n = make_layer("W0/s", 5, 4, big);
    ASSERT_EQ(apply(cg_filter_swirl, n, 1, 1, 3, 3, 0), 0);
    EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{42, 49, 56, 77, 84, 91, 112, 119, 126}));
  }
  for (int64_t v : {INT64_MAX, INT64_MIN, int64_t(123456789)}) {
    n = make_layer("W0/s", 5, 4, big);
    EXPECT_EQ(apply(cg_filter_swirl, n, 0, 0, 4, 3, v), 0);
  }
}

TEST_F(filter_fixture, SeededShuffleKeepsEachBlocksColours) {
  // 8 x 6 of distinct colours with distinct alphas. One pass (value 2, 3)
  // exchanges colours only inside the 2 x 2 blocks of the even grid, and
  // alpha never moves.
  std::vector<uint32_t> px;
  for (uint32_t i = 0; i < 48; ++i) px.push_back((i + 100) << 24 | (i * 5 + 1));
  auto block_colours = [](const std::vector<uint32_t>& p, int bx, int by) {
    std::vector<uint32_t> c;
    for (int dy = 0; dy < 2; ++dy)
      for (int dx = 0; dx < 2; ++dx) c.push_back(p[size_t((by + dy) * 8 + bx + dx)] & 0xFFFFFFu);
    std::sort(c.begin(), c.end());
    return c;
  };
  seed_cg_shuffle_random(7);
  object_node* n = make_layer("W0/s", 8, 6, px);
  ASSERT_EQ(apply(cg_filter_shuffle, n, 0, 0, 7, 5, 3), 0);
  const std::vector<uint32_t> first = pixels_of(n);
  EXPECT_NE(first, px);
  for (int by = 0; by < 6; by += 2)
    for (int bx = 0; bx < 8; bx += 2) EXPECT_EQ(block_colours(first, bx, by), block_colours(px, bx, by));
  for (size_t i = 0; i < px.size(); ++i) EXPECT_EQ(first[i] >> 24, px[i] >> 24);

  // The same seed gives the same picture.
  seed_cg_shuffle_random(7);
  n = make_layer("W0/s", 8, 6, px);
  ASSERT_EQ(apply(cg_filter_shuffle, n, 0, 0, 7, 5, 3), 0);
  EXPECT_EQ(pixels_of(n), first);

  // Values 0 and 1 make no pass; more passes keep the colour set.
  for (int64_t v : {0, 1}) {
    n = make_layer("W0/s", 8, 6, px);
    ASSERT_EQ(apply(cg_filter_shuffle, n, 0, 0, 7, 5, v), 0);
    EXPECT_EQ(pixels_of(n), px);
  }
  n = make_layer("W0/s", 8, 6, px);
  ASSERT_EQ(apply(cg_filter_shuffle, n, 0, 0, 7, 5, 256), 0);
  std::vector<uint32_t> a = pixels_of(n), b = px;
  for (auto& v : a) v &= 0xFFFFFFu;
  for (auto& v : b) v &= 0xFFFFFFu;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
}

TEST_F(filter_fixture, CopyWithAttributesToASecondLayer) {
  static int released = 0;
  layer_record_hooks.release_gif_frames = [](cg_record* r) {
    ++released;
    r->gif_frames = nullptr;
  };
  object_node* a = make_layer("W0/a", 3, 2, {1, 2, 3, 4, 5, 6}, 1);
  cg_record* ra = layer_record(a);
  ra->x = 11;
  ra->y = 12;
  ra->alpha = 99;
  ra->blend_mode = 3;
  ra->tag1 = 5;
  set_cg_path(ra->mask_path, "mask");
  object_node* b = make_layer("W0/b", 1, 1, {0});
  cg_record* rb = layer_record(b);
  int frames = 0;
  rb->gif_frames = &frames;
  ASSERT_EQ(apply(cg_filter_copy_attributes, a, 1, 0, 2, 1, 0, 0, b), 0);
  EXPECT_EQ(pixels_of(b), (std::vector<uint32_t>{2, 3, 5, 6}));
  EXPECT_EQ(rb->x, 11);
  EXPECT_EQ(rb->y, 12);
  EXPECT_EQ(rb->alpha, 99);
  EXPECT_EQ(rb->blend_mode, 3);
  EXPECT_EQ(rb->tag1, 5);
  EXPECT_EQ(rb->mask_path, "mask");
  EXPECT_EQ(rb->alpha_in_use, 1);
  EXPECT_EQ(rb->gif_frames, nullptr);
  EXPECT_EQ(released, 1);
  // The first layer keeps its picture.
  EXPECT_EQ(pixels_of(a), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  layer_record_hooks.release_gif_frames = nullptr;
}

TEST_F(filter_fixture, AnyWorkerCountGivesTheSameBytes) {
  std::mt19937 rng(5);
  std::vector<uint32_t> px(300 * 200);
  for (uint32_t& v : px) v = rng();
  struct run {
    int op;
    int64_t value, value2;
    uint8_t alpha;
  };
  const run runs[] = {
      {cg_filter_brightness, 200, 0, 0},   {cg_filter_weighted_blur, 20, 0, 1}, {cg_filter_weighted_blur, 7, 0, 0},
      {cg_filter_horizontal_blur, 9, 0, 1}, {cg_filter_vertical_blur, 9, 0, 1}, {cg_filter_box_blur, 30, 0, 0},
      {cg_filter_weighted_shadow, 12, 0, 0}, {cg_filter_box_shadow, 5, 0, 1},   {cg_filter_mirror, 1, 0, 0},
      {cg_filter_tone, 0xC04020, 0, 0},    {cg_filter_mosaic, 7, 0, 0},         {cg_filter_horizontal_wave, 20, 33, 0},
      {cg_filter_vertical_wave, -15, 5, 0}, {cg_filter_double_wave, 9, 180, 0}, {cg_filter_negative, 1, 0, 0},
      {cg_filter_monochrome, 200, 0, 0},   {cg_filter_flip, 1, 0, 0},           {cg_filter_sepia, 0, 0, 0},
      {cg_filter_swirl, 1800, 0, 0},
  };
  std::vector<std::vector<uint32_t>> results[3];
  const int counts[3] = {1, 2, 4};
  for (int k = 0; k < 3; ++k) {
    stop_worker_threads();
    ASSERT_EQ(start_worker_threads(counts[k]), 0);
    for (const run& r : runs) {
      object_node* n = make_layer("W0/r", 300, 200, px, r.alpha);
      ASSERT_EQ(apply(r.op, n, 3, 2, 290, 197, r.value, r.value2), 0);
      results[k].push_back(pixels_of(n));
    }
  }
  for (size_t i = 0; i < std::size(runs); ++i) {
    EXPECT_EQ(results[0][i], results[1][i]) << "op " << runs[i].op << " with 2 workers";
    EXPECT_EQ(results[0][i], results[2][i]) << "op " << runs[i].op << " with 4 workers";
  }
}

TEST_F(filter_fixture, ExtremeValuesAndTinyPicturesStayInside) {
  // Every operation on pictures down to 1 x 1, with values at the ends of the
  // 64-bit range: each call succeeds and (under the sanitizers) reads and
  // writes only inside the pictures.
  const int ops[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 19, 20, 21, 22, 23, 24, 27, 29, 37, 38, 39};
  const int sizes[][2] = {{1, 1}, {1, 7}, {7, 1}, {3, 2}};
  const int64_t values[] = {INT64_MIN, -1, 0, 1, 3, 256, 0xFFFFFF, INT64_MAX};
  for (int op : ops)
    for (const auto& sz : sizes)
      for (int64_t v : values)
        for (int second = 0; second < 2; ++second) {
          std::vector<uint32_t> px(size_t(sz[0] * sz[1]));
          for (size_t i = 0; i < px.size(); ++i) px[i] = uint32_t(i * 0x01030507u + 0x80000000u);
          object_node* n = make_layer("W0/x", sz[0], sz[1], px, uint8_t(v & 1));
          object_node* t = second ? make_layer("W0/y", 2, 2, {0, 0, 0, 0}) : nullptr;
          ASSERT_EQ(apply(op, n, sz[0] / 2, 0, sz[0] - 1, sz[1] - 1, v, v, t, int(1 + (v & 1) + second)), 0)
              << "op " << op << " size " << sz[0] << "x" << sz[1] << " value " << v;
        }
  // Unknown operation numbers change nothing.
  object_node* n = make_layer("W0/x", 2, 1, {5, 6});
  EXPECT_EQ(apply(13, n, 0, 0, 1, 0, 0), 0);
  EXPECT_EQ(pixels_of(n), (std::vector<uint32_t>{5, 6}));
  EXPECT_TRUE(game.errors().empty());
}

namespace {

// The blurs straight from their definition: one window per pixel, the
// weight profile built entry by entry, sum(weight * byte) / sum(weight).
std::vector<int> reference_profile(int r) {
  std::vector<int> w(size_t(2 * r + 1), 0);
  const int c = r, q = 2 * r / 8;
  for (int i = c - q; i <= c + q; ++i) w[size_t(i)] = 512;
  for (int i = c - q - 1, v = 256; i >= 0; --i, v /= 2) w[size_t(i)] = v;
  for (int i = c + q + 1, v = 256; i <= 2 * r; ++i, v /= 2) w[size_t(i)] = v;
  return w;
}

// One pass along rows (horizontal) or columns over a w x h picture; `bytes`:
// 0 colours (alpha kept), 1 all four, 2 alpha alone (colours 0).
std::vector<uint8_t> reference_pass(const std::vector<uint8_t>& in, int w, int h, int r, bool weighted, bool horizontal,
                                    int bytes) {
  std::vector<uint8_t> out(in.size());
  const std::vector<int> prof = reference_profile(r);
  const int len = horizontal ? w : h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int i = horizontal ? x : y;
      const int ws = std::max(i - r, 0), we = std::min(i + r, len - 1);
      uint64_t sum[4] = {0, 0, 0, 0}, wsum = 0, plain[4] = {0, 0, 0, 0};
      for (int p = ws; p <= we; ++p) {
        const uint8_t* s = &in[(size_t(horizontal ? y : p) * size_t(w) + size_t(horizontal ? p : x)) * 4];
        const int wt = weighted ? prof[size_t(p - ws)] : 1;
        for (int c = 0; c < 4; ++c) {
          sum[c] += uint64_t(wt) * s[c];
          plain[c] += s[c];
        }
        wsum += uint64_t(wt);
      }
      if (wsum == 0) {
        for (int c = 0; c < 4; ++c) sum[c] = plain[c];
        wsum = uint64_t(we - ws + 1);
      }
      const uint8_t* own = &in[(size_t(y) * size_t(w) + size_t(x)) * 4];
      uint8_t* d = &out[(size_t(y) * size_t(w) + size_t(x)) * 4];
      for (int c = 0; c < 4; ++c) d[c] = uint8_t(sum[c] / wsum);
      if (bytes == 0) d[3] = own[3];
      if (bytes == 2) d[0] = d[1] = d[2] = 0;
    }
  return out;
}

}  // namespace

TEST_F(filter_fixture, BlursMatchTheirDefinitionAtEveryRadius) {
  const int w = 61, h = 37;
  std::mt19937 rng(11);
  std::vector<uint32_t> px(size_t(w) * h);
  for (uint32_t& v : px) v = rng();
  std::vector<uint8_t> bytes(px.size() * 4);
  std::memcpy(bytes.data(), px.data(), bytes.size());
  for (int r : {1, 2, 3, 4, 5, 8, 9, 13, 20, 27, 40, 64, 100, 256}) {
    for (int op = 2; op <= 7; ++op) {
      for (uint8_t alpha : {uint8_t(0), uint8_t(1)}) {
        bool weighted = (op == 2 && alpha) || op == 6;
        int mode = alpha ? 1 : 0;
        if (op == 6 || (op == 7 && alpha)) mode = 2;
        bool hz = op != 4, vt = op != 3;
        std::vector<uint8_t> want = bytes;
        if (hz) want = reference_pass(want, w, h, r, weighted, true, mode);
        if (vt) want = reference_pass(want, w, h, r, weighted, false, mode);
        object_node* n = make_layer("W0/b", w, h, px, alpha);
        ASSERT_EQ(apply(op, n, 0, 0, w - 1, h - 1, r), 0);
        std::vector<uint32_t> got = pixels_of(n);
        ASSERT_EQ(std::memcmp(got.data(), want.data(), want.size()), 0) << "op " << op << " radius " << r
                                                                        << " alpha " << int(alpha);
      }
    }
  }
}
