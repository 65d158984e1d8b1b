// The picture command through whole games: selector order, defaults and
// clamping, the raw values, further layers, and every refusal with the
// parameter it names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "graphics/fonts.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "support/headless_game.h"

namespace {

// A game whose start-up makes a 4 x 3 layer "a" (a blank picture filled with
// one colour by the command itself), runs `body`, then sets done = 1.
std::string game_listing(const std::string& body) {
  return "global int done = 0\nglobal int f = 3\nscript main.txt\n*SYSTEM_START\n"
         "layer path=\"a\", file=\"\", width=4, height=3, priority=1\n"
         "cg path=\"a\", fill=1, value=0x80102030\n" +
         body + "\ndone = 1\n*idle\nwait 1\ngoto idle\n";
}

cg_record* layer(const char* name) {
  object_node* root = object_trees[tree_layers].root;
  if (!root) return nullptr;
  for (object_node* n = root->first_child; n; n = n->next_sibling) {
    if (n->name == "W0")
      for (object_node* c = n->first_child; c; c = c->next_sibling)
        if (c->name == name) return layer_record(c);
  }
  return nullptr;
}

uint32_t pixel(const cg_record* r, int x, int y) {
  uint32_t v;
  std::memcpy(&v, r->pixels + (size_t(y) * size_t(r->width) + size_t(x)) * 4, 4);
  return v;
}

struct run_result {
  std::vector<int> codes;
  std::vector<std::string> texts;
  int64_t done = 0;
};

run_result run(headless_game& g, int ticks = 2) {
  run_result r;
  if (g.start() != 0) {
    r.codes = g.error_codes();
    return r;
  }
  g.run_ticks(ticks);
  r.codes = g.error_codes();
  for (const auto& e : g.errors()) r.texts.push_back(e.text_utf8);
  r.done = g.int_value("done");
  return r;
}

}  // namespace

TEST(CgCommand, RefusalsNameTheirParameter) {
  struct row {
    const char* call;
    int code;
    const char* names;  // the text must contain this
  };
  const row rows[] = {
      {"cg path=\"a\", brightness=1, value=257", 101000, "value = 257 is outside 0..256"},
      {"cg path=\"a\", monochrome=1, value=-1", 101000, "value = -1 is outside 0..256"},
      {"cg path=\"a\", tone=1, value=0x1000000", 101000, "value = 16777216 is outside 0..16777215"},
      {"cg path=\"a\", flip=1, value=2", 101000, "value = 2 is outside 0..1"},
      {"cg path=\"a\", negative=1, value=2", 101000, "value = 2 is outside 0..1"},
      {"cg path=\"a\", trim=1, value=16", 101000, "value = 16 is outside 0..15"},
      {"cg path=\"a\", resize_nearest=1, width=0, height=5", 101000, "width = 0 is outside 1..8192"},
      {"cg path=\"a\", resize_bicubic=1, width=5, height=8193", 101000, "height = 8193 is outside 1..8192"},
      {"cg path=\"a\", resize_smooth=1, width_100=50, height=4", 101000, "width = 0 is outside 1..8192"},
      {"cg path=\"a\", rotate=1, x1=0", 101282, "rotate"},
      {"cg path=\"a\", rotate_bilinear=1, y2=1", 101282, "rotate_bilinear"},
      {"cg path=\"a\", mosaic=1, value=3, x2=1", 101283, "mosaic"},
      {"cg path=\"a\", shuffle=1, value=2, y1=1", 101284, "shuffle"},
      {"cg path=\"a\", swap=1, second=\"b\", x1=1", 101281, "swap"},
      {"cg path=\"a\", swap_attributes=1", 101297, "swap_attributes"},
      {"cg path=\"a\", copy=1", 101296, "copy"},
      {"cg path=\"a\", copy_attributes=1", 101296, "copy_attributes"},
      {"cg path=\"a\", alpha_copy=1", 101298, "alpha_copy"},
      {"cg path=\"a\", touch=1", 101298, "touch"},
      {"cg path=\"a\", canvas=1, mix=1", 101298, "mix"},
      {"layer path=\"g/\", width=2, height=2, priority=2\ncg path=\"a\", second=\"g/\", copy=1", 101291, "[cg]"},
      // Corners in the wrong order: the filter's rectangle is refused.
      {"cg path=\"a\", negative=1, x1=3, x2=1", 101000, "x2 = 1 is outside 3..3"},
      {"cg path=\"a\", copy=1, second=\"b\", y1=2, y2=0", 101000, "y2 = 0 is outside 2..2"},
  };
  for (const row& r : rows) {
    headless_game g(game_listing(r.call));
    run_result got = run(g);
    ASSERT_EQ(got.codes, (std::vector<int>{r.code})) << r.call;
    EXPECT_NE(got.texts[0].find(r.names), std::string::npos) << r.call << ": " << got.texts[0];
    EXPECT_EQ(got.done, 0) << r.call;
  }
}

TEST(CgCommand, SelectorsAreTestedInOrder) {
  // Brightness (tested 11th) runs before the alpha copy (33rd): the copy's
  // missing second layer is never checked.
  headless_game g(game_listing("cg path=\"a\", alpha_copy=1, brightness=1, value=f * 50"));
  run_result r = run(g);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(r.done, 1);
  // Colours 0x10, 0x20, 0x30 each + (150 - 128).
  EXPECT_EQ(pixel(layer("a"), 3, 2), 0x80263646u);

  // Monochrome (8th) before the swirl and the fill.
  headless_game m(game_listing("cg path=\"a\", fill=1, swirl=1, monochrome=1, value=0"));
  r = run(m);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(pixel(layer("a"), 0, 0), 0x80202020u);

  // The wave selectors run before the negative: a value of 5 passes (the
  // negative's check would refuse it).
  headless_game w(game_listing("cg path=\"a\", negative=1, wave=1, value=5"));
  r = run(w);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(r.done, 1);
}

TEST(CgCommand, DefaultsClampsAndFurtherLayers) {
  // A second layer that does not exist is made; the rectangle is clamped to
  // the picture and the copy has the rectangle's size.
  headless_game g(game_listing("cg path=\"a\", second=\"b\", copy=1, x1=-7, y1=1, x2=99\n"
                               "cg path=\"a\", second=\"c\", touch=1"));
  run_result r = run(g);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(r.done, 1);
  cg_record* b = layer("b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->width, 4);
  EXPECT_EQ(b->height, 2);
  EXPECT_EQ(pixel(b, 3, 1), 0x80102030u);
  // The touched layer exists, with no picture of its own.
  ASSERT_NE(layer("c"), nullptr);
  EXPECT_EQ(layer("c")->pixels, nullptr);
  // The first layer kept its picture.
  EXPECT_EQ(layer("a")->width, 4);

  // A third layer without a second: the gap names the first layer, so the
  // copy goes back into "a" itself.
  headless_game gap(game_listing("cg path=\"a\", third=\"t\", copy=1, x2=1, y2=0"));
  r = run(gap);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(layer("a")->width, 2);
  EXPECT_EQ(layer("a")->height, 1);
  ASSERT_NE(layer("t"), nullptr);

  // A missing first layer is no error; nothing happens.
  headless_game none(game_listing("cg path=\"nothing\", negative=1"));
  r = run(none);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(r.done, 1);
  EXPECT_EQ(layer("nothing"), nullptr);
}

TEST(CgCommand, FontSlotAndText) {
  // Only the path: slot 0 is selected and the call succeeds.
  headless_game g(game_listing("font slot=3\ncg path=\"a\""));
  run_result r = run(g);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(r.done, 1);
  EXPECT_EQ(pixel_kernels.fonts.current_slot, 0);

  // Slot and text in one call: drawn in the slot's colour (red), then back
  // at slot 0.
  headless_game t(game_listing("layer path=\"t\", file=\"\", width=40, height=40, priority=2\n"
                               "font slot=2, colour=0xFF0000\nfont slot=0\n"
                               "cg path=\"t\", font_slot=2, draw_text=1, text=\"■\", x1=2, y1=2"));
  r = run(t);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(r.done, 1);
  EXPECT_EQ(pixel_kernels.fonts.current_slot, 0);
  int red = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) {
      const uint32_t p = pixel(layer("t"), x, y);
      if (((p >> 16) & 0xFF) > 0x80 && (p & 0xFF) < 0x30) ++red;
    }
  EXPECT_GT(red, 0) << "the block character covers the picture in red";

  // Text drawing without a text ends the turn without a report; the task
  // goes on with the next instruction on a later frame.
  headless_game n(game_listing("cg path=\"a\", draw_text=1"));
  ASSERT_EQ(n.start(), 0);
  n.run_ticks(3);
  EXPECT_TRUE(n.error_codes().empty());
}

TEST(CgCommand, ExchangeAndValuesFromExpressions) {
  // Exchange mode 1 swaps names (the pictures stay with their nodes) and
  // positions.
  headless_game g(game_listing("layer path=\"b\", file=\"\", width=2, height=2, priority=3, x=40\n"
                               "cg path=\"a\", second=\"b\", swap=1"));
  run_result r = run(g);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(layer("a")->width, 2);
  EXPECT_EQ(layer("b")->width, 4);
  EXPECT_EQ(layer("a")->x, 0);

  // value and value2 are expressions evaluated by the command.
  headless_game w(game_listing("cg path=\"a\", fill=1, value=0xFF000000 + f * 0x010101"));
  r = run(w);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(pixel(layer("a"), 1, 1), 0xFF030303u);
}
