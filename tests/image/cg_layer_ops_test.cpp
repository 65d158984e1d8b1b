// Layer pixel operations: the copies over clip_blit_rects' overlap, mixing,
// trimming, canvas changes, and the GPU operations on CPU drawing; with the
// null, shared-picture and far-placement cases.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "cg_ops_test_util.h"
#include "graphics/layer_record.h"
#include "image/cg_layer_ops.h"
#include "support/headless_game.h"

namespace {

std::string idle_game() { return "script main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n"; }

cg_record* rec(object_node* n) { return layer_record(n); }

test_picture filled(int w, int h, uint32_t v) {
  test_picture p(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p.set(x, y, v);
  return p;
}

bool log_has(const headless_game& g, const std::string& text) {
  for (const std::string& line : g.log_lines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

class LayerOps : public ::testing::Test {
 protected:
  void SetUp() override {
    // Pixel operations on the CPU; the defaults would draw by GPU.
    game.set_gpu_choice(gpu_choice::cpu_only);
    ASSERT_EQ(game.start(), 0);
  }
  headless_game game{idle_game()};
};

}  // namespace

TEST_F(LayerOps, AlphaCopyPlacesTheOverlap) {
  // An opaque 4 x 3 picture at (-1, 2) on a 6 x 4 picture: its columns 1..3
  // and rows 0..1 land on columns 0..2, rows 2..3.
  const test_picture src = numbered_picture(4, 3);
  object_node* first = layer_with_picture("first", src);
  object_node* second = layer_with_picture("second", filled(6, 4, 0xFF102030u));
  ASSERT_EQ(blit_cg_rect(first, second, -1, 2), 0);
  const test_picture out = picture_of(rec(second));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      const bool inside = x <= 2 && y >= 2;
      EXPECT_EQ(out.at(x, y), inside ? src.at(x + 1, y - 2) : 0xFF102030u) << x << "," << y;
    }
  EXPECT_EQ(rec(second)->alpha_in_use, 1);

  // Alpha 0: nothing at all, not even the flag.
  object_node* third = layer_with_picture("third", filled(6, 4, 0xFF102030u));
  rec(first)->alpha = 0;
  ASSERT_EQ(blit_cg_rect(first, third, 0, 0), 0);
  EXPECT_EQ(rec(third)->alpha_in_use, 0);
  EXPECT_EQ(picture_of(rec(third)).pixels(), filled(6, 4, 0xFF102030u).pixels());
  // A negative alpha is no alpha.
  rec(first)->alpha = -40;
  ASSERT_EQ(blit_cg_rect(first, third, 0, 0), 0);
  EXPECT_EQ(rec(third)->alpha_in_use, 0);

  // Placements outside, near or far, copy nothing.
  rec(first)->alpha = 256;
  const int64_t far = int64_t{1} << 62;
  for (auto [x, y] : {std::pair<int64_t, int64_t>{6, 0}, {-4, 0}, {0, 4}, {0, -3}, {far, far}, {-far, -far},
                      {INT64_MAX, INT64_MIN}, {INT64_MIN, 0}}) {
    ASSERT_EQ(blit_cg_rect(first, third, x, y), 0);
    EXPECT_EQ(picture_of(rec(third)).pixels(), filled(6, 4, 0xFF102030u).pixels()) << x << "," << y;
  }
}

TEST_F(LayerOps, FadedCopyClampsTheWeights) {
  const test_picture src = noise_picture(5, 5, 3);
  const test_picture dst = noise_picture(5, 5, 4);
  object_node* first = layer_with_picture("first", src);
  auto run = [&](int16_t a1, int16_t a2) {
    object_node* second = layer_with_picture("second", dst);
    rec(first)->alpha = a1;
    rec(second)->alpha = a2;
    EXPECT_EQ(blit_cg_rect_faded(first, second, 1, -1), 0);
    EXPECT_EQ(rec(second)->alpha_in_use, 1);
    return picture_of(rec(second)).pixels();
  };
  // A negative fade weighs like 0, one past 256 like 256.
  EXPECT_EQ(run(256, -100), run(256, 0));
  EXPECT_EQ(run(128, -1), run(128, 0));
  EXPECT_EQ(run(300, 999), run(256, 256));
  EXPECT_NE(run(256, 256), run(256, 0));
  // Untouched outside the overlap (row 4 and column 0).
  const std::vector<uint8_t> out = run(200, 100);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(std::memcmp(&out[(4 * 5 + x) * 4], &dst.block[(4 * 5 + x) * 4], 4), 0);
}

TEST_F(LayerOps, DifferenceAndCommonPixels) {
  const test_picture a = noise_picture(6, 5, 7);
  test_picture b = a;
  b.set(2, 2, 0x12345678u);
  b.set(0, 0, 0u);
  object_node* first = layer_with_picture("first", a);
  object_node* same = layer_with_picture("same", a);
  ASSERT_EQ(diff_cg_rect(first, same, 0, 0), 0);
  EXPECT_EQ(picture_of(rec(same)).pixels(), filled(6, 5, 0).pixels());
  EXPECT_EQ(rec(same)->alpha_in_use, 1);

  object_node* diff = layer_with_picture("diff", b);
  ASSERT_EQ(diff_cg_rect(first, diff, 0, 0), 0);
  object_node* common = layer_with_picture("common", b);
  ASSERT_EQ(common_cg_rect(first, common, 0, 0), 0);
  const test_picture d = picture_of(rec(diff)), c = picture_of(rec(common));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) {
      const bool changed = (x == 2 && y == 2) || (x == 0 && y == 0);
      EXPECT_EQ(d.at(x, y), changed ? a.at(x, y) : 0u);
      EXPECT_EQ(c.at(x, y), changed ? 0u : a.at(x, y));
    }
}

TEST_F(LayerOps, MixIntoAThirdLayer) {
  const test_picture a = filled(4, 4, 0x10203040u), b = filled(3, 3, 0x90A0B0C0u);
  object_node* first = layer_with_picture("first", a);
  object_node* second = layer_with_picture("second", b);
  auto mix = [&](int64_t value, int64_t x, int64_t y) {
    object_node* third = layer_with_picture("third", filled(5, 5, 0xEEEEEEEEu));
    EXPECT_EQ(mix_cg_rects(first, second, third, x, y, value), 0);
    EXPECT_EQ(rec(third)->alpha_in_use, 1);
    return picture_of(rec(third));
  };
  // 255 weighs the second fully, negative values (clamped to 0) not at all;
  // the overlap is cut to the second picture (3 x 3).
  const test_picture full = mix(255, 1, 1), none = mix(-1000, 1, 1), half = mix(127, 1, 1);
  EXPECT_EQ(full.at(1, 1), 0x90A0B0C0u);
  EXPECT_EQ(full.at(3, 3), 0x90A0B0C0u);
  EXPECT_EQ(full.at(4, 4), 0xEEEEEEEEu);  // beyond the second picture
  EXPECT_EQ(full.at(0, 0), 0xEEEEEEEEu);
  EXPECT_EQ(none.at(2, 2), 0x10203040u);
  EXPECT_EQ(half.at(2, 2), 0x50607080u);  // 0x10 + (0x80 * 128 >> 8)
  EXPECT_EQ(mix(5000, 1, 1).at(2, 2), 0x90A0B0C0u);
  // The second picture is read at the first's offsets: placed at (-2, -2),
  // the first's pixel (2, 2) reads the second's (2, 2).
  EXPECT_EQ(mix(255, -2, -2).at(0, 0), 0x90A0B0C0u);
  EXPECT_EQ(mix(255, -2, -2).at(1, 0), 0xEEEEEEEEu);

  // A layer without pixels: the flag is still set, nothing else happens.
  std::free(rec(second)->pixel_block);
  rec(second)->pixel_block = rec(second)->pixels = nullptr;
  const test_picture untouched = mix(255, 0, 0);
  EXPECT_EQ(untouched.pixels(), filled(5, 5, 0xEEEEEEEEu).pixels());
}

TEST_F(LayerOps, CopiesOntoTheSamePictureReadTheOriginal) {
  // Two nodes sharing one record: the picture is both source and
  // destination, shifted by one pixel. The result must equal a copy made from
  // an untouched source.
  const test_picture src = numbered_picture(7, 6);
  auto twin_of = [&](object_node* n) {
    object_node* t = create_object_by_path(object_trees[tree_layers].root, "W0/twin", 0, 2, 0);
    share_cg_record(t, rec(n));
    return t;
  };
  {
    object_node* first = layer_with_picture("first", src);
    object_node* twin = twin_of(first);
    ASSERT_EQ(blit_cg_rect(first, twin, 1, 1), 0);
    object_node* ref_first = layer_with_picture("ref1", src);
    object_node* ref_second = layer_with_picture("ref2", src);
    ASSERT_EQ(blit_cg_rect(ref_first, ref_second, 1, 1), 0);
    EXPECT_EQ(picture_of(rec(first)).pixels(), picture_of(rec(ref_second)).pixels());
    free_layer_node(twin);
  }
  {
    object_node* first = layer_with_picture("first", src);
    object_node* twin = twin_of(first);
    ASSERT_EQ(diff_cg_rect(first, twin, 0, 1), 0);
    // Row y reads the original row y - 1: numbered pixels always differ.
    const test_picture out = picture_of(rec(first));
    EXPECT_EQ(out.at(3, 0), src.at(3, 0));
    EXPECT_EQ(out.at(3, 4), src.at(3, 3));
    free_layer_node(twin);
  }
  {
    object_node* first = layer_with_picture("first", src);
    object_node* second = layer_with_picture("second", filled(7, 6, 0));
    object_node* twin = twin_of(first);
    ASSERT_EQ(mix_cg_rects(first, second, twin, 2, 0, -1), 0);  // weight 0: a plain copy
    EXPECT_EQ(picture_of(rec(first)).at(6, 3), src.at(4, 3));
    free_layer_node(twin);
  }
}

TEST_F(LayerOps, TrimToTheVisibleBox) {
  test_picture src = filled(8, 6, 0);
  src.set(2, 1, 0xFF0000FFu);
  src.set(5, 3, 0x01000001u);
  object_node* first = layer_with_picture("first", src, 1);
  // Flags 0: the whole picture.
  object_node* copy = layer_with_picture("copy", test_picture(1, 1));
  ASSERT_EQ(trim_cg_transparent_edges(first, copy, 1, 0), 0);
  EXPECT_EQ(picture_of(rec(copy)).pixels(), src.pixels());
  EXPECT_EQ(rec(copy)->alpha_in_use, 1);
  // Each side on its own, then all four.
  const struct {
    int flags, w, h;
  } cases[] = {{trim_top, 8, 5}, {trim_bottom, 8, 4}, {trim_left, 6, 6}, {trim_right, 6, 6}, {15, 4, 3}};
  for (const auto& c : cases) {
    object_node* out = layer_with_picture("out", test_picture(1, 1));
    ASSERT_EQ(trim_cg_transparent_edges(first, out, 1, c.flags), 0);
    EXPECT_EQ(rec(out)->width, c.w) << c.flags;
    EXPECT_EQ(rec(out)->height, c.h) << c.flags;
  }
  object_node* box = layer_with_picture("box", test_picture(4, 3));
  const uint8_t* block = rec(box)->pixels;
  ASSERT_EQ(trim_cg_transparent_edges(first, box, 1, 15), 0);
  EXPECT_EQ(rec(box)->pixels, block);  // already the size: written in place
  EXPECT_EQ(picture_of(rec(box)).at(0, 0), 0xFF0000FFu);
  EXPECT_EQ(picture_of(rec(box)).at(3, 2), 0x01000001u);
  // Without a second layer the first picture itself is cut.
  ASSERT_EQ(trim_cg_transparent_edges(first, nullptr, 0, 15), 0);
  EXPECT_EQ(rec(first)->width, 4);
  EXPECT_TRUE(game.errors().empty());
}

TEST_F(LayerOps, TrimOfAnInvisiblePictureLeavesItAlone) {
  // No pixel with alpha: no box. The design's box would have a negative
  // size; the picture stays as it was instead.
  const test_picture clear = filled(5, 4, 0x00808080u);
  object_node* first = layer_with_picture("first", clear);
  object_node* second = layer_with_picture("second", filled(2, 2, 0xFFFFFFFFu));
  for (int flags : {1, 2, 4, 8, 15}) {
    EXPECT_EQ(trim_cg_transparent_edges(first, second, 1, flags), 0);
    EXPECT_EQ(trim_cg_transparent_edges(first, nullptr, 0, flags), 0);
  }
  EXPECT_EQ(picture_of(rec(second)).pixels(), filled(2, 2, 0xFFFFFFFFu).pixels());
  EXPECT_EQ(picture_of(rec(first)).pixels(), clear.pixels());
  // Flags 0 still copy the whole picture.
  ASSERT_EQ(trim_cg_transparent_edges(first, second, 1, 0), 0);
  EXPECT_EQ(rec(second)->width, 5);
  // The same size onto itself (shared record): nothing moves.
  object_node* twin = create_object_by_path(object_trees[tree_layers].root, "W0/twin", 0, 2, 0);
  share_cg_record(twin, rec(first));
  EXPECT_EQ(trim_cg_transparent_edges(first, twin, 1, 0), 0);
  EXPECT_EQ(picture_of(rec(first)).pixels(), clear.pixels());
  free_layer_node(twin);
}

TEST_F(LayerOps, CanvasMarginsAndCuts) {
  const test_picture src = numbered_picture(20, 12);
  object_node* first = layer_with_picture("first", src, 0);
  object_node* out = layer_with_picture("out", test_picture(1, 1));
  ASSERT_EQ(resize_cg_canvas(first, out, 1, 10, 10, 10, 10), 0);
  test_picture p = picture_of(rec(out));
  ASSERT_EQ(p.w, 40);
  ASSERT_EQ(p.h, 32);
  EXPECT_EQ(p.at(0, 0), 0x00808080u);
  EXPECT_EQ(p.at(9, 15), 0x00808080u);
  EXPECT_EQ(p.at(10, 10), src.at(0, 0));
  EXPECT_EQ(p.at(29, 21), src.at(19, 11));
  EXPECT_EQ(p.at(30, 21), 0x00808080u);
  EXPECT_EQ(rec(out)->alpha_in_use, 1);

  ASSERT_EQ(resize_cg_canvas(first, out, 1, -5, -5, -3, -3), 0);
  p = picture_of(rec(out));
  ASSERT_EQ(p.w, 10);
  ASSERT_EQ(p.h, 6);
  EXPECT_EQ(p.at(0, 0), src.at(5, 3));
  EXPECT_EQ(p.at(9, 5), src.at(14, 8));
  EXPECT_EQ(rec(out)->alpha_in_use, 0);

  // -10 on every side of a 30 x 25 picture: its middle 10 x 5, flag kept.
  const test_picture wide = numbered_picture(30, 25);
  object_node* second_first = layer_with_picture("wide", wide, 0);
  ASSERT_EQ(resize_cg_canvas(second_first, out, 1, -10, -10, -10, -10), 0);
  p = picture_of(rec(out));
  ASSERT_EQ(p.w, 10);
  ASSERT_EQ(p.h, 5);
  EXPECT_EQ(p.at(0, 0), wide.at(10, 10));
  EXPECT_EQ(p.at(9, 4), wide.at(19, 14));
  EXPECT_EQ(rec(out)->alpha_in_use, 0);

  // Mixed: cut on the left, grow on the right.
  ASSERT_EQ(resize_cg_canvas(first, out, 1, -4, 6, 0, 0), 0);
  p = picture_of(rec(out));
  EXPECT_EQ(p.w, 22);
  EXPECT_EQ(p.at(0, 0), src.at(4, 0));
  EXPECT_EQ(p.at(15, 0), src.at(19, 0));
  EXPECT_EQ(p.at(16, 0), 0x00808080u);

  // A cut larger than the picture plus the other side's pad leaves no source
  // column: the canvas is all fill, nothing is copied.
  const int64_t big = int64_t{1} << 62;
  for (auto m : {std::array<int64_t, 4>{-30, 40, 0, 0}, std::array<int64_t, 4>{0, 0, 30, -40},
                 std::array<int64_t, 4>{big, -big, 0, 0}, std::array<int64_t, 4>{-big, big, -big, big}}) {
    ASSERT_EQ(resize_cg_canvas(first, out, 1, m[0], m[1], m[2], m[3]), 0);
    p = picture_of(rec(out));
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) ASSERT_EQ(p.at(x, y), 0x00808080u) << m[0] << " " << m[1];
  }
  EXPECT_TRUE(game.errors().empty());
}

TEST_F(LayerOps, CanvasRefusals) {
  const test_picture src = numbered_picture(20, 12);
  object_node* first = layer_with_picture("first", src);
  // Size 0 or less: the message box alone, no error code.
  for (auto m : {std::array<int64_t, 4>{-10, -10, 0, 0}, std::array<int64_t, 4>{0, 0, -12, 0},
                 std::array<int64_t, 4>{INT64_MIN, INT64_MIN, 0, 0}}) {
    EXPECT_EQ(resize_cg_canvas(first, nullptr, 0, m[0], m[1], m[2], m[3]), -1);
  }
  EXPECT_TRUE(game.errors().empty());
  int boxes = 0;
  for (const auto& box : game.backend().ui.boxes())
    boxes += box.text.find("\x83\x8a\x83\x54\x83\x43\x83\x59") != std::string::npos;  // "リサイズ" in Shift-JIS
  EXPECT_EQ(boxes, 3);
  // Too wide, too tall (the height is bounded like every picture's) or
  // overflowing: 100010, the picture kept.
  EXPECT_EQ(resize_cg_canvas(first, nullptr, 0, 0, 8173, 0, 0), -1);
  EXPECT_EQ(resize_cg_canvas(first, nullptr, 0, 0, 0, 0, 8181), -1);
  EXPECT_EQ(resize_cg_canvas(first, nullptr, 0, 0, 0, INT64_MAX, INT64_MAX), -1);
  EXPECT_EQ(game.error_codes(), (std::vector<int>{100010, 100010, 100010}));
  EXPECT_EQ(picture_of(rec(first)).pixels(), src.pixels());
  // The widest allowed canvas.
  EXPECT_EQ(resize_cg_canvas(first, nullptr, 0, 0, 8172, 0, 88), 0);
  EXPECT_EQ(rec(first)->width, 8192);
  EXPECT_EQ(rec(first)->height, 100);
}

TEST_F(LayerOps, GpuOperationsOnCpuDrawingOnlyLog) {
  const test_picture src = numbered_picture(4, 4);
  object_node* first = layer_with_picture("first", src);
  object_node* second = layer_with_picture("second", filled(2, 2, 0xFFFFFFFFu));
  EXPECT_EQ(refresh_cg_textures(first, second), 0);
  EXPECT_EQ(capture_screen_to_cg(first, second), 0);
  EXPECT_EQ(capture_screen_to_cg(first, nullptr), 0);
  EXPECT_TRUE(log_has(game, "KX_PASTESPRITE Error."));
  EXPECT_TRUE(log_has(game, "KX_D3DDevice Error."));
  EXPECT_EQ(picture_of(rec(second)).pixels(), filled(2, 2, 0xFFFFFFFFu).pixels());
  EXPECT_TRUE(game.errors().empty());
}

TEST_F(LayerOps, LayersWithoutPicturesTakePartInNothing) {
  object_node* first = layer_with_picture("first", numbered_picture(3, 3));
  object_node* empty = create_object_by_path(object_trees[tree_layers].root, "W0/empty", 0, 2, 0);
  attach_new_cg_record(empty);
  ASSERT_EQ(rec(empty)->pixels, nullptr);
  object_node* none = nullptr;
  for (object_node* a : {empty, none})
    for (object_node* b : {first, empty, none}) {
      EXPECT_EQ(blit_cg_rect(a, b, 0, 0), 0);
      EXPECT_EQ(blit_cg_rect_faded(a, b, 0, 0), 0);
      EXPECT_EQ(diff_cg_rect(a, b, 0, 0), 0);
      EXPECT_EQ(common_cg_rect(a, b, 0, 0), 0);
      EXPECT_EQ(mix_cg_rects(a, b, first, 0, 0, 3), 0);
      EXPECT_EQ(trim_cg_transparent_edges(a, b, 1, 15), 0);
      EXPECT_EQ(resize_cg_canvas(a, b, 1, 1, 1, 1, 1), 0);
    }
  for (object_node* b : {empty, none}) {
    EXPECT_EQ(blit_cg_rect(first, b, 0, 0), 0);
    EXPECT_EQ(blit_cg_rect_faded(first, b, 0, 0), 0);
    EXPECT_EQ(diff_cg_rect(first, b, 0, 0), 0);
    EXPECT_EQ(common_cg_rect(first, b, 0, 0), 0);
    EXPECT_EQ(mix_cg_rects(first, first, b, 0, 0, 3), 0);
  }
  EXPECT_EQ(rec(empty)->pixels, nullptr);
  EXPECT_EQ(picture_of(rec(first)).pixels(), numbered_picture(3, 3).pixels());
}
