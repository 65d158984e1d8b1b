// The layer command (1), layer delete (3) and layer query (4) through script
// listings run by the headless game.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "format/canonical_commands.h"
#include "graphics/layer_record.h"
#include "support/headless_game.h"

namespace {

// A 24-bit bottom-up BMP; colour(x, y) gives 0xRRGGBB.
std::vector<uint8_t> bmp24(int w, int h, const std::function<uint32_t(int, int)>& colour) {
  const int stride = (w * 3 + 3) & ~3;
  const uint32_t data_size = static_cast<uint32_t>(stride * h);
  std::vector<uint8_t> f(54 + data_size, 0);
  auto u16 = [&](size_t at, uint32_t v) { f[at] = uint8_t(v); f[at + 1] = uint8_t(v >> 8); };
  auto u32 = [&](size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i)); };
  f[0] = 'B';
  f[1] = 'M';
  u32(2, 54 + data_size);
  u32(10, 54);
  u32(14, 40);
  u32(18, static_cast<uint32_t>(w));
  u32(22, static_cast<uint32_t>(h));
  u16(26, 1);
  u16(28, 24);
  u32(34, data_size);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = f.data() + 54 + static_cast<size_t>(h - 1 - y) * stride;
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colour(x, y);
      row[x * 3] = uint8_t(c);
      row[x * 3 + 1] = uint8_t(c >> 8);
      row[x * 3 + 2] = uint8_t(c >> 16);
    }
  }
  return f;
}

object_node* layer_node(const char* path, bool group = false) {
  return find_object_by_path(object_trees[tree_layers].root, path, group ? find_group : find_leaf);
}
cg_record* layer(const char* path, bool group = false) { return layer_record(layer_node(path, group)); }

uint32_t pixel(const cg_record* r, int x, int y) {
  uint32_t v;
  std::memcpy(&v, r->pixels + (static_cast<size_t>(y) * r->width + x) * 4, 4);
  return v;
}

std::string first_error(headless_game& g) { return g.errors().empty() ? "" : g.errors()[0].text_utf8; }

// The listing's lines under *SYSTEM_START, then an idle loop.
std::string game_listing(const std::string& globals, const std::string& body) {
  return globals + "\nscript main.txt\n*SYSTEM_START\n" + body + "\n*idle\nwait 1\ngoto idle\n";
}

struct layer_game : headless_game {
  explicit layer_game(const std::string& globals, const std::string& body)
      : headless_game(game_listing(globals, body)) {
    add_resource("cg\\grad.bmp", bmp24(200, 200, [](int x, int y) { return uint32_t(x) << 16 | uint32_t(y) << 8 | 7; }),
                 1);
    add_resource("cg\\small.bmp", bmp24(10, 10, [](int, int) { return 0x102030u; }), 1);
    add_resource("cg\\mask.bmp", bmp24(10, 10, [](int x, int y) { return uint32_t(x * 20 + y); }), 1);
  }
};

}  // namespace

TEST(LayerCommandTable, ParametersInTheirDesignedOrder) {
  const std::vector<compiled_command>& t = canonical_commands();
  ASSERT_EQ(t[1].parameters.size(), 53u);
  auto at = [&](int command, int n) { return t[command].parameters[n - 1]; };
  EXPECT_EQ(at(1, 1).name, "path");
  EXPECT_EQ(at(1, 1).kind, 1);
  EXPECT_EQ(at(1, 6).name, "priority");
  EXPECT_EQ(at(1, 9).name, "width");
  EXPECT_EQ(at(1, 24).name, "texture_number");
  EXPECT_EQ(at(1, 40).kind, 1);
  EXPECT_EQ(at(1, 43).name, "file");
  EXPECT_EQ(at(1, 43).kind, 1);
  EXPECT_EQ(at(1, 44).name, "share");
  EXPECT_EQ(at(1, 45).name, "mask_layer");
  EXPECT_EQ(at(1, 48).kind, 1);
  EXPECT_EQ(at(1, 50).name, "blend");
  EXPECT_EQ(at(1, 50).range_check, 11);
  EXPECT_EQ(at(1, 53).name, "tag2");
  ASSERT_EQ(t[3].parameters.size(), 1u);
  ASSERT_EQ(t[4].parameters.size(), 29u);
  EXPECT_EQ(at(4, 22).name, "search");
  EXPECT_EQ(at(4, 27).name, "output");
  EXPECT_EQ(at(4, 29).name, "py");
}

TEST(LayerCommand, CreationErrorsAndTheMissingLayerOption) {
  {
    layer_game g("", "layer path=\"a\", file=\"cg/small.bmp\"");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), std::vector<int>{100240});
    EXPECT_EQ(layer_node("W0/a"), nullptr);
  }
  {
    layer_game g("", "layer path=\"nothing\", x=5");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), std::vector<int>{101230});
  }
  {
    layer_game g("", "engine_options option1=0\nlayer path=\"nothing\", x=5");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_TRUE(g.errors().empty()) << g.errors()[0].code << first_error(g);
    EXPECT_EQ(layer_node("W0/nothing"), nullptr);
  }
  {
    layer_game g("", "layer path=\"b\", share=\"missing\", priority=1");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), std::vector<int>{101250});
  }
  {
    layer_game g("", "layer path=\"g/\", file=\"cg/small.bmp\", priority=1");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), std::vector<int>{101280});
  }
  {
    layer_game g("", "layer path=\"a\", file=\"cg/small.bmp\", priority=1, width=5");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), std::vector<int>{100243});
  }
  {
    // Blend modes past 18 never reach the span tables.
    layer_game g("", "layer path=\"blended\", file=\"cg/small.bmp\", priority=1, blend=19");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), std::vector<int>{101000});
    EXPECT_EQ(layer_node("W0/blended"), nullptr);
  }
}

TEST(LayerCommand, CombinedAndClampedAttributes) {
  layer_game g("",
               "layer path=\"a\", file=\"cg/small.bmp\", priority+=5, alpha=200, x=-7, y=9, tone=16777216\n"
               "layer path=\"a\", alpha+=300, monochrome+=1000, x+=3, rule_progress-=999, vagueness=65537\n"
               "layer path=\"a\", blend=18, tag1=5, tag2=-6, scale_x*=2, angle1=1234, gpu_flag=5, gpu_byte=257\n"
               "layer path=\"b\", share=\"a\", priority=3");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.errors().empty()) << first_error(g);
  object_node* n = layer_node("W0/a");
  cg_record* r = layer_record(n);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(n->key1, 6u);  // adding to a new layer's priority starts from 1
  EXPECT_EQ(r->alpha, 256);
  EXPECT_EQ(r->colour_tone, 0x1000000);
  EXPECT_EQ(r->monochrome, 256);
  EXPECT_EQ(r->x, -4);
  EXPECT_EQ(r->y, 9);
  EXPECT_EQ(r->rule_progress, 0);
  EXPECT_EQ(r->vagueness, 1);
  EXPECT_EQ(r->blend_mode, 18);
  EXPECT_EQ(r->tag1, 5);
  EXPECT_EQ(r->tag2, -6);
  EXPECT_EQ(r->scale_x, 20000);
  EXPECT_FLOAT_EQ(r->angle[0], 1234.0f);
  EXPECT_EQ(r->gpu_flag, 5);  // a plain assignment is not clamped
  EXPECT_EQ(r->gpu_byte, 1);
  EXPECT_EQ(r->width, 10);
  // Sharing: one record, two users, and the order follows the priorities.
  EXPECT_EQ(layer("W0/b"), r);
  EXPECT_EQ(r->use_count, 2);
  EXPECT_EQ(layer_node("W0/b")->next_sibling, n);
}

TEST(LayerCommand, GroupBlankPicturesAndCanvases) {
  layer_game g("",
               "layer path=\"g/\", width=64, height=32, priority=2\n"
               "layer path=\"c1\", file=\"cg/grad.bmp\", priority=3, width=100, height=50\n"
               "layer path=\"c2\", file=\"cg/grad.bmp\", priority=4, width=300, height=300");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  EXPECT_TRUE(g.errors().empty()) << first_error(g);
  cg_record* grp = layer("W0/g", true);
  ASSERT_NE(grp, nullptr);
  EXPECT_EQ(grp->width, 64);
  EXPECT_EQ(grp->height, 32);
  EXPECT_EQ(pixel(grp, 63, 31), 0u);

  cg_record* c1 = layer("W0/c1");
  ASSERT_NE(c1, nullptr);
  ASSERT_EQ(c1->width, 100);
  ASSERT_EQ(c1->height, 50);
  EXPECT_EQ(pixel(c1, 99, 49), 0xFF000000u | 99u << 16 | 49u << 8 | 7u);
  cg_record* c2 = layer("W0/c2");
  ASSERT_EQ(c2->width, 300);
  EXPECT_EQ(pixel(c2, 199, 199), 0xFF000000u | 199u << 16 | 199u << 8 | 7u);
  EXPECT_EQ(pixel(c2, 200, 0), 0xFF000000u);
  EXPECT_EQ(pixel(c2, 299, 299), 0xFF000000u);
}

TEST(LayerCommand, ChangingAGroupsWidthReallocatesAndClears) {
  layer_game g("global int n = 0",
               "layer path=\"g/\", width=16, height=8, priority=2\n"
               "*again\nn += 1\nif n == 2\n  layer path=\"g/\", width=24\nend\nif n == 3\n"
               "  layer path=\"g/\", width=0\nend\nwait 1\ngoto again");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  cg_record* grp = layer("W0/g", true);
  ASSERT_NE(grp, nullptr);
  std::memset(grp->pixels, 0x55, 16 * 8 * 4);  // something drawn into it
  g.run_ticks(1);
  EXPECT_EQ(grp->width, 24);
  EXPECT_EQ(grp->loaded_width, 24);
  EXPECT_EQ(grp->height, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 24; ++x) ASSERT_EQ(pixel(grp, x, y), 0u);
  // A width of 0 makes the group a pure container: the size is stored and
  // nothing is reallocated.
  uint8_t* before = grp->pixels;
  g.run_ticks(1);
  EXPECT_TRUE(g.error_codes().empty());
  EXPECT_EQ(grp->width, 0);
  EXPECT_EQ(grp->loaded_width, 0);
  EXPECT_EQ(grp->height, 8);
  EXPECT_EQ(grp->pixels, before);
}

TEST(LayerCommand, MaskLayersAndLongPaths) {
  const std::string long_text(4000, 'm');
  layer_game g("",
               "layer path=\"a\", file=\"cg/small.bmp\", priority=1\n"
               "layer path=\"m\", file=\"cg/mask.bmp\", priority=2\n"
               "layer path=\"a\", mask_layer=\"m\", mask_path=\"" + long_text + "\", second_source=\"" + long_text +
                   "\"\nlayer path=\"big\", file=\"cg/grad.bmp\", priority=3\n"
                   "layer path=\"big\", mask_layer=\"m\"");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  cg_record* a = layer("W0/a");
  ASSERT_NE(a, nullptr);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) ASSERT_EQ(pixel(a, x, y), uint32_t(x * 20 + y) << 24 | 0x102030u) << x << "," << y;
  EXPECT_EQ(a->alpha_in_use, 1);
  EXPECT_EQ(a->mask_path.size(), cg_path_max);
  EXPECT_EQ(a->second_source_path.size(), cg_path_max);
  // A mask of another size stops the program after its message box.
  EXPECT_TRUE(g.quitting());
  bool shown = false;
  for (const auto& b : g.backend().ui.boxes()) shown |= !b.text.empty();
  EXPECT_TRUE(shown);
}

TEST(LayerDelete, MissingLeafAndGroup) {
  layer_game g("global int n = 0",
               "layer path=\"g/\", width=8, height=8, priority=2\n"
               "layer path=\"g/a\", file=\"cg/small.bmp\", priority=1\n"
               "layer path=\"g/h/\", width=4, height=4, priority=2\n"
               "layer path=\"g/h/b\", file=\"cg/small.bmp\", priority=1\n"
               "layer path=\"g\", file=\"cg/small.bmp\", priority=3\n"
               "layer_delete path=\"nothing\"\n"
               "layer_delete path=\"g\"\n"
               "wait 1\n"
               "layer_delete path=\"g/\"");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  EXPECT_TRUE(g.errors().empty()) << first_error(g);
  // The leaf of the same name went alone.
  EXPECT_EQ(layer_node("W0/g"), nullptr);
  ASSERT_NE(layer_node("W0/g", true), nullptr);
  EXPECT_NE(layer_node("W0/g/h/b"), nullptr);
  g.run_ticks(2);
  EXPECT_EQ(layer_node("W0/g", true), nullptr);
  EXPECT_EQ(layer_node("W0/g/h/b"), nullptr);
  EXPECT_EQ(layer_node("W0/g/a"), nullptr);
}

TEST(LayerDelete, ANonGroupNodeTakesItsChildrenAlong) {
  // Children under a leaf can only be linked by hand; freeing the leaf must
  // not leave them pointing at it (ASan checks the rest).
  layer_game g("", "layer path=\"a\", file=\"cg/small.bmp\", priority=1\nlayer_delete path=\"a\"");
  g.set_command_handler(3, [] { return 0; });  // hold the delete back
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  object_node* a = layer_node("W0/a");
  ASSERT_NE(a, nullptr);
  auto* child = new object_node();
  child->name = "c";
  attach_new_cg_record(child);
  insert_node_sorted(a, child, 1, 0);
  object_node* w0 = a->parent;
  const int32_t before = w0->child_count;
  free_layer_node(a);
  EXPECT_EQ(layer_node("W0/a"), nullptr);
  EXPECT_EQ(w0->child_count, before - 1);
}

TEST(LayerQuery, AnswersInTheirOrder) {
  layer_game g("global int v[16] = 0\nglobal string s = \"x\"\nglobal int gone = 9\nglobal string gone_s = \"x\"",
               "layer path=\"g/\", width=8, height=8, priority=2\n"
               "layer path=\"g/a\", file=\"cg/small.bmp\", priority=1, tag1=7\n"
               "layer path=\"g/b\", file=\"cg/small.bmp\", priority=2, tag1=7, tag2=1\n"
               "layer path=\"g/c\", file=\"cg/grad.bmp\", priority=3, tag1=3, x=5, y=-6, alpha=100\n"
               "layer path=\"t/\", width=4, height=4, priority=3\n"
               "layer_info path=\"g/\", search=1, tag1=7, output=v[0]\n"
               "layer_info path=\"g/\", search=1, tag1=7, tag2=1, position=2, output=v[1]\n"
               "layer_info path=\"g/\", search=1, tag1=7, position=3, output=v[2]\n"
               "layer_info path=\"g/\", search=1, tag1=99, output=v[3]\n"
               "layer_info path=\"g/\", child_count=1, output=v[4]\n"
               "layer_info path=\"g/\", search=1, tag1=3, output=v[15]\n"
               "layer_info path=\"g/\", child_name=1, position=2, output=s\n"
               "layer_info path=\"g/c\", x=1, output=v[5]\n"
               "layer_info path=\"g/c\", priority=1, y=1, output=v[6]\n"
               "layer_info path=\"g/c\", colour_at=1, px=200, py=0, output=v[7]\n"
               "layer_info path=\"g/c\", colour_at=1, px=3, py=4, output=v[8]\n"
               "layer_info path=\"t/\", bounds=1, px=1, output=v[9]\n"
               "layer_info path=\"g/c\", bounds=1, px=4, output=v[10]\n"
               "layer_info path=\"g/c\", width=1, height=1, output=v[11]\n"
               "layer_info path=\"g/a\", exists=1, output=v[12]\n"
               "layer_info path=\"missing\", exists=1, output=gone\n"
               "layer_info path=\"missing\", exists=1, output=gone_s\n"
               "wait 1\n"
               "layer_info path=\"g/c\", alpha=1, output=v[13]\n"
               "layer_info path=\"g/c\", colour_at=1, px=3, output=v[14]");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  EXPECT_EQ(g.int_value("v", 0), 2);   // b is the second from the last
  EXPECT_EQ(g.int_value("v", 1), 2);
  EXPECT_EQ(g.int_value("v", 2), 3);   // starting at the third: a
  EXPECT_EQ(g.int_value("v", 3), -1);
  EXPECT_EQ(g.int_value("v", 4), 3);
  EXPECT_EQ(g.int_value("v", 15), 1);  // the last child carries the tag
  EXPECT_EQ(g.text_value("s"), "b");
  EXPECT_EQ(g.int_value("v", 5), 5);
  EXPECT_EQ(g.int_value("v", 6), -6);  // y comes before priority
  EXPECT_EQ(g.int_value("v", 7), -1);  // (width, 0) lies outside
  EXPECT_EQ(g.int_value("v", 8), 3 << 16 | 4 << 8 | 7);
  EXPECT_EQ(g.int_value("v", 9), -1);  // a fully transparent picture
  EXPECT_EQ(g.int_value("v", 10), 199);
  EXPECT_EQ(g.int_value("v", 11), 200);
  EXPECT_EQ(g.int_value("v", 12), 1);
  EXPECT_EQ(g.int_value("gone"), 0);
  EXPECT_EQ(g.text_value("gone_s"), "");
  EXPECT_EQ(g.int_value("v", 13), 100);
  EXPECT_EQ(g.error_codes(), std::vector<int>{101295});
}


// A group made with a zero size is a pure container: its children are drawn
// at its position and not clipped by it, nested, moved, and after a positive
// size and back to zero; pixel for pixel what the same children give placed
// without the group. One game shows the grouped and the flat layers on
// alternate frames.
TEST(LayerCommand, ZeroSizeGroupsDrawTheirChildrenUnclipped) {
  const std::string body =
      "layer path=\"bg\", file=\"cg/grad.bmp\", priority=1\n"
      "layer path=\"z/\", width=0, height=0, priority=5, x=30, y=20\n"
      "layer path=\"z/a\", file=\"cg/small.bmp\", priority=1, x=5, y=5\n"
      "layer path=\"z/b\", file=\"cg/grad.bmp\", priority=2, x=-20, y=-10, alpha=128\n"
      "layer path=\"z/n/\", width=0, height=0, priority=3, x=50, y=40\n"
      "layer path=\"z/n/c\", file=\"cg/mask.bmp\", priority=1, x=3, y=3, blend=1\n"
      "layer path=\"a\", file=\"cg/small.bmp\", priority=11, x=35, y=25, visible=0\n"
      "layer path=\"b\", file=\"cg/grad.bmp\", priority=12, x=10, y=10, alpha=128, visible=0\n"
      "layer path=\"c\", file=\"cg/mask.bmp\", priority=13, x=83, y=63, blend=1, visible=0\n"
      "wait 1\n"  // 1: grouped
      "call flat(1)\n"
      "wait 1\n"  // 2: flat
      "call flat(0)\n"
      "layer path=\"z/\", x=60, y=50\n"
      "layer path=\"a\", x=65, y=55\nlayer path=\"b\", x=40, y=40\nlayer path=\"c\", x=113, y=93\n"
      "wait 1\n"  // 3: grouped, moved
      "call flat(1)\n"
      "wait 1\n"  // 4: flat, moved
      "call flat(0)\n"
      "layer path=\"z/\", width=40, height=30\n"
      "wait 1\n"  // 5: the group clips with a positive size
      "layer path=\"z/\", width=0\n"
      "wait 1\n"  // 6: back to a container
      "call flat(1)\n"
      "wait 1\n"  // 7: flat
      "call flat(0)\n"
      "layer path=\"z/n/\", x=-45\nlayer path=\"c\", x=18\n"
      "wait 1\n"  // 8: grouped, nested group moved
      "call flat(1)\n"
      "wait 1\n"  // 9: flat
      "*hold\nwait 1\ngoto hold\n"
      "*flat\n"
      "layer path=\"z/\", visible=1 - arg_int[1]\n"
      "layer path=\"a\", visible=arg_int[1]\nlayer path=\"b\", visible=arg_int[1]\nlayer path=\"c\", visible=arg_int[1]\n"
      "return";
  layer_game g("", body);
  ASSERT_EQ(g.start(), 0);
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 9; ++i) {
    g.run_ticks(1);
    // The main window's root picture, as the compositor left it.
    const cg_record* root = layer("W0", true);
    ASSERT_TRUE(root && root->pixels && root->width > 0);
    frames.emplace_back(root->pixels, root->pixels + size_t(root->width) * 4 * size_t(root->height));
  }
  EXPECT_TRUE(g.errors().empty()) << first_error(g);
  const struct {
    int grouped, flat;
  } pairs[] = {{1, 2}, {3, 4}, {6, 7}, {8, 9}};
  for (const auto& p : pairs)
    EXPECT_TRUE(frames[p.grouped - 1] == frames[p.flat - 1]) << "frames " << p.grouped << " and " << p.flat;
  // With a positive size the group clips its children again.
  EXPECT_FALSE(frames[4] == frames[3]);
}

// Only negative sizes are refused, as a failed allocation; a width above 8192
// keeps its message and code.
TEST(LayerCommand, NegativeAndTooLargeGroupSizesAreRefused) {
  const struct {
    const char* body;
    int code;
  } cases[] = {
      {"layer path=\"g/\", width=-1, height=4, priority=2", 104030},
      {"layer path=\"g/\", width=4, height=-3, priority=2", 104030},
      {"layer path=\"g/\", width=0, height=0, priority=2\nlayer path=\"g/\", width=-5", 104030},
      {"layer path=\"g/\", width=9000, height=0, priority=2", 100010},
  };
  for (const auto& c : cases) {
    layer_game g("", c.body);
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(1);
    EXPECT_EQ(g.error_codes(), std::vector<int>{c.code}) << c.body;
  }
}

// A group made with a positive size and then given a width or a height of 0
// by the layer command draws as a pure container: its children at its
// position plus theirs, clipped only by the frame's area, pixel for pixel
// what the same layer gives drawn on its own. Inside a positive group the
// enclosing group still clips (as the same layer inside a group of that
// size): the change marks reaching the frame are clipped by it too.
TEST(LayerCommand, GroupsResizedToZeroDrawAsContainers) {
  const std::string bg = "layer path=\"bg\", file=\"cg/grad.bmp\", priority=1\n";
  const std::string swap = "wait 1\nlayer path=\"g/\", visible=0\nlayer path=\"flat/\", visible=1\nwait 1\n";
  const struct {
    const char* what;
    std::string body;
  } cases[] = {
      {"width set to 0",
       bg + "layer path=\"g/\", width=40, height=30, priority=5, x=30, y=20\n"
            "layer path=\"g/a\", file=\"cg/grad.bmp\", priority=1, x=-20, y=-10, alpha=128\n"
            "layer path=\"g/c\", file=\"cg/small.bmp\", priority=2, x=35, y=25\n"
            "layer path=\"flat/\", width=0, height=0, priority=6, visible=0\n"
            "layer path=\"flat/a\", file=\"cg/grad.bmp\", priority=1, x=10, y=10, alpha=128\n"
            "layer path=\"flat/c\", file=\"cg/small.bmp\", priority=2, x=65, y=45\n"
            "wait 1\nlayer path=\"g/\", width=0\n" + swap},
      {"height set to 0",
       bg + "layer path=\"g/\", width=40, height=30, priority=5, x=-5, y=60\n"
            "layer path=\"g/a\", file=\"cg/grad.bmp\", priority=1, x=15, y=-50, blend=1\n"
            "layer path=\"flat/\", width=0, height=0, priority=6, visible=0\n"
            "layer path=\"flat/a\", file=\"cg/grad.bmp\", priority=1, x=10, y=10, blend=1\n"
            "wait 1\nlayer path=\"g/\", height=0\n" + swap},
      {"inside a positive group",
       bg + "layer path=\"g/\", width=60, height=60, priority=5, x=20, y=20\n"
            "layer path=\"g/z/\", width=20, height=20, priority=5, x=5, y=5\n"
            "layer path=\"g/z/a\", file=\"cg/grad.bmp\", priority=1, x=-20, y=-10, alpha=128\n"
            "layer path=\"flat/\", width=60, height=60, priority=6, x=20, y=20, visible=0\n"
            "layer path=\"flat/a\", file=\"cg/grad.bmp\", priority=1, x=-15, y=-5, alpha=128\n"
            "wait 1\nlayer path=\"g/z/\", width=0\n" + swap},
  };
  for (const auto& c : cases) {
    layer_game g("", c.body);
    ASSERT_EQ(g.start(), 0);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 3; ++i) {
      g.run_ticks(1);
      const cg_record* root = layer("W0", true);
      ASSERT_TRUE(root && root->pixels);
      frames.emplace_back(root->pixels, root->pixels + size_t(root->width) * 4 * size_t(root->height));
    }
    EXPECT_TRUE(g.errors().empty()) << first_error(g);
    EXPECT_FALSE(frames[0] == frames[1]) << c.what;  // the group clipped before
    EXPECT_TRUE(frames[1] == frames[2]) << c.what;
  }
}
