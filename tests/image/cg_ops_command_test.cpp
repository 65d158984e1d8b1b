// Resizing, rotation and the layer operations reached the way scripts reach
// them: the picture command in a whole headless game.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "graphics/layer_record.h"
#include "support/headless_game.h"

namespace {

// Start-up makes a 4 x 3 layer "a" of 0x80102030 with a blue top-left pixel
// and a red bottom-right one, runs `body`, then sets done = 1.
std::string game_listing(const std::string& body) {
  return "global int done = 0\nscript main.txt\n*SYSTEM_START\n"
         "layer path=\"a\", file=\"\", width=4, height=3, priority=1\n"
         "cg path=\"a\", fill=1, value=0x80102030\n"
         "cg path=\"a\", fill_colour=1, value=0x0000FF, x1=0, y1=0, x2=0, y2=0\n"
         "cg path=\"a\", fill_colour=1, value=0xFF0000, x1=3, y1=2, x2=3, y2=2\n" +
         body + "\ndone = 1\n*idle\nwait 1\ngoto idle\n";
}

cg_record* layer(const char* name) {
  object_node* root = object_trees[tree_layers].root;
  object_node* n = root ? find_object_by_path(root, std::string("W0/") + name, find_leaf) : nullptr;
  return layer_record(n);
}

uint32_t pixel(const cg_record* r, int x, int y) {
  uint32_t v;
  std::memcpy(&v, r->pixels + (size_t(y) * size_t(r->width) + size_t(x)) * 4, 4);
  return v;
}

constexpr uint32_t base = 0x80102030u, blue = 0xFF0000FFu, red = 0xFFFF0000u;

void run(headless_game& g) {
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.errors().empty()) << (g.errors().empty() ? "" : g.errors()[0].text_utf8);
  EXPECT_EQ(g.int_value("done"), 1);
}

}  // namespace

TEST(CgOperationsCommand, ResizeEveryMethodIntoSecondLayers) {
  headless_game g(game_listing(
      "cg path=\"a\", second=\"n\", resize_nearest=1, width=8, height=6\n"
      "cg path=\"a\", second=\"b\", resize_bilinear=1, width=7, height=5\n"
      "cg path=\"a\", second=\"c\", resize_bicubic=1, width=8, height=6\n"
      "cg path=\"a\", second=\"s\", resize_smooth=1, width=2, height=2\n"
      "cg path=\"a\", second=\"l\", resize_lanczos=1, width=7, height=5\n"
      "cg path=\"a\", second=\"z\", resize_bilinear=0, width=7, height=5\n"
      "cg path=\"a\", second=\"p\", resize_nearest=1, x1_100=100, y1_100=100, x2_100=300, y2_100=200, "
      "width_100=300, height_100=200"));
  run(g);
  ASSERT_NE(layer("a"), nullptr);
  EXPECT_EQ(layer("a")->width, 4);
  const struct {
    const char* name;
    int w, h;
    bool corners;  // the corner pixels come through unchanged
  } rows[] = {{"n", 8, 6, true}, {"b", 7, 5, true}, {"c", 8, 6, false}, {"s", 2, 2, false}, {"l", 7, 5, true}};
  for (const auto& r : rows) {
    cg_record* rec = layer(r.name);
    ASSERT_NE(rec, nullptr) << r.name;
    EXPECT_EQ(rec->width, r.w) << r.name;
    EXPECT_EQ(rec->height, r.h) << r.name;
    if (r.corners) {
      EXPECT_EQ(pixel(rec, 0, 0), blue) << r.name;
      EXPECT_EQ(pixel(rec, r.w - 1, r.h - 1), red) << r.name;
    }
  }
  EXPECT_EQ(pixel(layer("c"), 0, 0), blue);
  // Method 20 names no method: the new layer keeps its empty picture.
  EXPECT_NE(layer("z")->width, 7);
  // The rectangle (1, 1)-(3, 2) at its own size.
  ASSERT_EQ(layer("p")->width, 3);
  EXPECT_EQ(pixel(layer("p"), 2, 1), red);
  EXPECT_EQ(pixel(layer("p"), 0, 0), base);
}

TEST(CgOperationsCommand, RotateAndResizeInPlace) {
  headless_game g(game_listing(
      "cg path=\"a\", second=\"h\", rotate=1, value=180\n"
      "cg path=\"a\", second=\"q\", rotate_bilinear=1, value=-270\n"
      "cg path=\"a\", second=\"k\", rotate=3, value=45\n"
      "cg path=\"a\", resize_nearest=1, width=2, height=2"));
  run(g);
  cg_record* h = layer("h");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(pixel(h, 0, 0), red);
  EXPECT_EQ(pixel(h, 3, 2), blue);
  EXPECT_EQ(h->alpha_in_use, 1);  // the first's flag: its pixels carry alpha 0x80
  // -270 is a quarter turn counter-clockwise: the right-hand column goes to
  // the top, centred in the unchanged 4 x 3 frame.
  cg_record* q = layer("q");
  EXPECT_EQ(q->width, 4);
  EXPECT_EQ(pixel(q, 1, 0), base);
  EXPECT_EQ(pixel(q, 3, 0), red);  // source (3, 2): cx + cy - 0 = 3, cy - cx + 3 = 2
  EXPECT_EQ(pixel(q, 0, 0), 0u);
  EXPECT_EQ(q->alpha_in_use, 1);
  EXPECT_NE(layer("k")->width, 4);  // mode 13: no kernel
  EXPECT_EQ(layer("a")->width, 2);
  EXPECT_EQ(pixel(layer("a"), 0, 0), blue);
}

TEST(CgOperationsCommand, LayerOperations) {
  headless_game g(game_listing(
      "layer path=\"d\", file=\"\", width=6, height=5, priority=2\n"
      "cg path=\"d\", fill=1, value=0xFF000000\n"
      "cg path=\"a\", second=\"d\", alpha_copy=1, x1=2, y1=2\n"
      "cg path=\"a\", second=\"e\", canvas=1, x1=1, y1=1\n"
      "cg path=\"a\", second=\"f\", canvas=1, x1=-1, y1=0, x2=-1, y2=-1\n"
      "cg path=\"a\", fill_alpha=1, value=0, x1=0, y1=0, x2=3, y2=0\n"
      "cg path=\"a\", second=\"t\", trim=1, value=15\n"
      "cg path=\"a\", second=\"u\", difference_copy=1\n"
      "cg path=\"a\", second=\"d\", third=\"d\", mix=1, value=255, x1=-1, y1=0"));
  run(g);
  cg_record* d = layer("d");
  ASSERT_NE(d, nullptr);
  // The alpha copy put "a" at (2, 2); the mix (weight 256, so the second
  // picture, read at the first's offsets: one column to the right) then
  // shifted d's first three columns of rows 0..2 left by one, reading d as it
  // was before.
  EXPECT_EQ(pixel(d, 1, 2), blue);
  EXPECT_EQ(pixel(d, 5, 4), red);
  EXPECT_EQ(pixel(d, 1, 1), 0xFF000000u);
  EXPECT_EQ(pixel(d, 2, 2), pixel(d, 3, 2));
  EXPECT_EQ(d->alpha_in_use, 1);
  // Only left and top given: right and bottom default to width - 1 and
  // height - 1, so the canvas is 1 + 4 + 3 by 1 + 3 + 2.
  cg_record* e = layer("e");
  EXPECT_EQ(e->width, 8);
  EXPECT_EQ(e->height, 6);
  EXPECT_EQ(pixel(e, 0, 0), 0x00808080u);
  EXPECT_EQ(pixel(e, 1, 1), blue);
  cg_record* f = layer("f");
  EXPECT_EQ(f->width, 2);
  EXPECT_EQ(f->height, 2);
  EXPECT_EQ(pixel(f, 0, 0), base);
  // The first row made transparent: the trim drops it.
  cg_record* t = layer("t");
  EXPECT_EQ(t->width, 4);
  EXPECT_EQ(t->height, 2);
  EXPECT_EQ(pixel(t, 3, 1), red);
}

TEST(CgOperationsCommand, CaptureAndRefreshOnCpuDrawing) {
  headless_game g(game_listing(
      "cg path=\"a\", second=\"b\", capture=1\n"
      "cg path=\"a\", refresh_textures=1"));
  // The defaults draw by GPU (on the rasteriser), where both work.
  g.set_gpu_choice(gpu_choice::cpu_only);
  run(g);
  bool device = false, paste = false;
  for (const std::string& line : g.log_lines()) {
    device |= line.find("KX_D3DDevice Error.") != std::string::npos;
    paste |= line.find("KX_PASTESPRITE Error.") != std::string::npos;
  }
  EXPECT_TRUE(device);
  EXPECT_TRUE(paste);
  EXPECT_EQ(layer("a")->width, 4);
}
