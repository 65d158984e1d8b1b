// Picture buffers of layer records and the picture loader, directly and
// through the layer command: every reader by its resource type, refusals and
// the transparent-pixel normalisation.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "format/kcg_format.h"
#include "graphics/layer_record.h"
#include "image/cg_picture.h"
#include "image_test_util.h"
#include "support/headless_game.h"

namespace {

cg_record* layer(const char* path) {
  return layer_record(find_object_by_path(object_trees[tree_layers].root, path, find_leaf));
}

uint32_t pixel(const cg_record* r, int x, int y) {
  uint32_t v;
  std::memcpy(&v, r->pixels + (static_cast<size_t>(y) * r->width + x) * 4, 4);
  return v;
}

std::string idle_game(const std::string& body) {
  return "script main.txt\n*SYSTEM_START\n" + body + "\n*idle\nwait 1\ngoto idle\n";
}

// 4 x 2 RGBA: the left half opaque colours, the right half red with alpha 0.
std::vector<uint8_t> rgba_png() {
  std::vector<uint8_t> rows;
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) {
      if (x < 2) {
        rows.insert(rows.end(), {uint8_t(10 + x), uint8_t(20 + y), 30, 255});
      } else {
        rows.insert(rows.end(), {255, 0, 0, 0});
      }
    }
  }
  return encode_png(4, 2, PNG_COLOR_TYPE_RGB_ALPHA, 8, false, rows);
}

}  // namespace

TEST(CgPicture, AllocationLimitsAndRefusals) {
  headless_game g(idle_game(""));
  ASSERT_EQ(g.start(), 0);
  uint8_t* block = alloc_cg_pixels(nullptr, 8192, 1, "");
  ASSERT_NE(block, nullptr);
  block[8192 * 4 * 2 + 3] = 1;  // the spare row and bytes belong to the block
  std::free(block);
  EXPECT_TRUE(g.errors().empty());

  EXPECT_EQ(alloc_cg_pixels(nullptr, 8193, 1, ""), nullptr);
  ASSERT_EQ(g.error_codes(), std::vector<int>{100010});
  bool size_shown = false;
  for (const auto& box : g.backend().ui.boxes()) size_shown |= box.text.find("X=8193, Y=1") != std::string::npos;
  EXPECT_TRUE(size_shown);
  for (auto [w, h] : {std::pair<int64_t, int64_t>{0, 5}, {5, 0}, {-3, 5}, {5, -1}, {8192, int64_t{1} << 41}})
    EXPECT_EQ(alloc_cg_pixels(nullptr, w, h, "x"), nullptr) << w << " x " << h;
}

TEST(CgPicture, ARefusedBlankPictureKeepsTheOldOne) {
  headless_game g(idle_game(""));
  ASSERT_EQ(g.start(), 0);
  cg_record* r = create_blank_cg("W0/blank", 10, 6);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->width, 10);
  EXPECT_EQ(r->loaded_height, 6);
  EXPECT_EQ(pixel(r, 9, 5), 0u);
  EXPECT_EQ(r->redraw_flags[1], 1);
  EXPECT_EQ(r->dirty_rect.x1, 9);
  const uint8_t* before = r->pixels;
  EXPECT_EQ(create_blank_cg("W0/blank", 9000, 6), nullptr);
  EXPECT_EQ(create_blank_cg("W0/blank", 10, -1), nullptr);  // a zero size is a container; negative is refused
  EXPECT_EQ(layer("W0/blank"), r);
  EXPECT_EQ(r->pixels, before);
  EXPECT_EQ(r->width, 10);
  EXPECT_EQ(r->height, 6);
}

TEST(CgPicture, EmptyAndMissingNamesGiveTheOnePixelPicture) {
  headless_game g(idle_game(""));
  ASSERT_EQ(g.start(), 0);
  cg_record* r = create_blank_cg("W0/dot", 3, 3);
  ASSERT_NE(r, nullptr);
  r->alpha_in_use = 1;
  ASSERT_EQ(load_cg_or_blank(r, ""), 0);
  EXPECT_EQ(r->width, 1);
  EXPECT_EQ(r->height, 1);
  EXPECT_EQ(pixel(r, 0, 0), 0x00808080u);
  EXPECT_EQ(r->alpha_in_use, 0);
  ASSERT_NE(create_blank_cg("W0/dot", 3, 3), nullptr);
  ASSERT_EQ(load_cg_or_blank(r, "cg/nowhere.png"), 0);
  EXPECT_EQ(r->width, 1);
  EXPECT_EQ(pixel(r, 0, 0), 0x00808080u);
  EXPECT_TRUE(g.errors().empty());
}

TEST(CgPicture, EveryReaderThroughTheLayerCommand) {
  headless_game g(idle_game("layer path=\"png\", file=\"cg/p.png\", priority=1\n"
                            "layer path=\"bmp\", file=\"cg/b.bmp\", priority=2\n"
                            "layer path=\"jpg\", file=\"cg/j.jpg\", priority=3\n"
                            "layer path=\"kcg\", file=\"cg/k\", priority=4\n"
                            "layer path=\"disguised\", file=\"cg/d.png\", priority=5"));
  g.add_resource("cg\\p.png", rgba_png(), 2);
  // 2 x 1 BMP, 24-bit: blue then white.
  std::vector<uint8_t> bmp(54 + 8, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  bmp[2] = 62;
  bmp[10] = 54;
  bmp[14] = 40;
  bmp[18] = 2;
  bmp[22] = 1;
  bmp[26] = 1;
  bmp[28] = 24;
  const uint8_t px[] = {255, 0, 0, 255, 255, 255};
  std::memcpy(bmp.data() + 54, px, 6);
  g.add_resource("cg\\b.bmp", bmp, 1);
  g.add_resource("cg\\j.jpg", encode_jpeg(16, 8, 3, std::vector<uint8_t>(16 * 8 * 3, 200), false), 3);
  std::vector<uint8_t> kpixels(5 * 3 * 4);
  for (size_t i = 0; i < kpixels.size(); ++i) kpixels[i] = static_cast<uint8_t>(i * 3 + 1);
  std::vector<uint8_t> kcg;
  ASSERT_EQ(build_kcg_file(kpixels.data(), 5, 3, kcg_compression_raw, default_kcg_cut(5, 3), nullptr, kcg), 0);
  // The engine's own pictures live under the other names; the entry's type
  // picks the reader, not the name.
  g.add_resource("cg\\k.bmp", kcg, 8);
  g.add_resource("cg\\d.png", kcg, 8);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.errors().empty()) << g.errors()[0].text_utf8;

  cg_record* p = layer("W0/png");
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->width, 4);
  EXPECT_EQ(pixel(p, 1, 1), 0xFF0B151Eu);
  EXPECT_EQ(pixel(p, 3, 0), 0x00808080u);  // red with alpha 0 is normalised
  cg_record* b = layer("W0/bmp");
  ASSERT_EQ(b->width, 2);
  EXPECT_EQ(pixel(b, 0, 0) & 0xFFFFFFu, 0x0000FFu);
  EXPECT_EQ(pixel(b, 1, 0) & 0xFFFFFFu, 0xFFFFFFu);
  cg_record* j = layer("W0/jpg");
  ASSERT_EQ(j->width, 16);
  ASSERT_EQ(j->height, 8);
  EXPECT_NEAR(static_cast<int>(pixel(j, 5, 5) & 0xFF), 200, 3);
  for (const char* name : {"W0/kcg", "W0/disguised"}) {
    cg_record* k = layer(name);
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->width, 5) << name;
    ASSERT_EQ(k->height, 3) << name;
    EXPECT_EQ(std::memcmp(k->pixels, kpixels.data(), 4), 0) << name;
  }
}

TEST(CgPicture, RefusedAndBrokenFilesStopTheGame) {
  headless_game g(idle_game("layer path=\"psd\", file=\"cg/x.png\", priority=1"));
  g.add_resource("cg\\x.png", std::vector<uint8_t>(3, 0), 7);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_EQ(g.error_codes(), std::vector<int>{100220});
  EXPECT_TRUE(g.quitting());
}

TEST(CgPicture, ABrokenJpegReportsItsCode) {
  headless_game g(idle_game("layer path=\"j\", file=\"cg/ok.jpg\", priority=1\n"
                            "layer path=\"j\", file=\"cg/j.jpg\""));
  g.add_resource("cg\\ok.jpg", encode_jpeg(8, 4, 3, std::vector<uint8_t>(8 * 4 * 3, 50), false), 3);
  std::vector<uint8_t> jpeg = encode_jpeg(16, 8, 3, std::vector<uint8_t>(16 * 8 * 3, 100), false);
  jpeg.resize(jpeg.size() / 3);
  g.add_resource("cg\\j.jpg", jpeg, 3);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  ASSERT_FALSE(g.errors().empty());
  EXPECT_EQ(g.error_codes().back(), 100210);
  EXPECT_TRUE(g.quitting());
  // The layer keeps the picture it had.
  cg_record* r = layer("W0/j");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->width, 8);
  EXPECT_EQ(r->height, 4);
  EXPECT_NEAR(static_cast<int>(pixel(r, 7, 3) & 0xFF), 50, 3);
}
