// Image sets: files written by `kxtool imageset` drawn through commands 96-98
// in headless games, the container checks, and hostile containers drawn into
// a live layer.
#include "app/command_handlers.h"
#include <gtest/gtest.h>

#include <cstring>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "format/byte_io.h"
#include "format/canonical_commands.h"
#include "format/image_set_format.h"
#include "graphics/layer_record.h"
#include "image/image_sets.h"
#include "image/picture_writers.h"
#include "support/headless_game.h"
#include "support/jpeg_encode.h"
#include "support/reported_errors.h"
#include "support/temp_folder.h"

namespace {

// Picture i of the test sets: (20 + 4i) x (10 + 2i), one colour, one alpha.
int entry_width(int i) { return 20 + 4 * i; }
int entry_height(int i) { return 10 + 2 * i; }
uint32_t entry_colour(int i) { return uint32_t(40 * i) << 16 | uint32_t(200 - 30 * i) << 8 | 77u; }
uint8_t entry_alpha(int i) { return static_cast<uint8_t>(50 + 40 * i); }

std::vector<uint8_t> entry_png(int w, int h, uint32_t colour, uint8_t alpha) {
  std::vector<uint8_t> px(size_t(w) * h * 4);
  const uint32_t v = uint32_t(alpha) << 24 | colour;
  for (size_t i = 0; i < px.size(); i += 4) std::memcpy(px.data() + i, &v, 4);
  std::vector<uint8_t> png;
  encode_picture_png(px.data(), w, h, 6, png);
  return png;
}

// An image set made by the built kxtool from `count` PNG files.
std::vector<uint8_t> kxtool_set(int count, int mode, const std::string& values = "11,22,33",
                                int big_index = -1) {
  temp_folder work;
  std::string args = "imageset --mode " + std::to_string(mode) + " --values " + values + " '" + work.path() + "set.kis'";
  for (int i = 0; i < count; ++i) {
    const std::string name = "p" + std::to_string(i) + ".png";
    if (i == big_index)
      work.write(name, entry_png(640, 480, entry_colour(i), entry_alpha(i)));
    else
      work.write(name, entry_png(entry_width(i), entry_height(i), entry_colour(i), entry_alpha(i)));
    args += " '" + work.path() + name + "'";
  }
  const std::string command = "'" + std::string(ZARVIK_BINARY_DIR) + "/kxtool' " + args + " >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return work.read("set.kis");
}

std::string game_listing(const std::string& body) {
  return "global int r1 = -1\nglobal int r2 = -1\nglobal int r3 = -1\nglobal int r4 = -1\n"
         "script main.txt\n*SYSTEM_START\nlayer path=\"a\", file=\"\", priority=1\n" +
         body + "\n*idle\nwait 1\ngoto idle\n";
}

cg_record* layer_a() {
  return layer_record(find_object_by_path(object_trees[tree_layers].root, "W0/a", find_leaf));
}

// Starts a game of the empty listing and returns its layer "a" (null on failure).
object_node* started_layer_a(headless_game& g) {
  if (g.start() != 0) return nullptr;
  g.tick();
  return find_object_by_path(object_trees[tree_layers].root, "W0/a", find_leaf);
}

uint32_t pixel(const cg_record* r, int x, int y) {
  uint32_t v;
  std::memcpy(&v, r->pixels + (size_t(y) * r->width + x) * 4, 4);
  return v;
}

bool near(uint32_t a, uint32_t b, int tolerance) {
  for (int s = 0; s < 32; s += 8)
    if (std::abs(int((a >> s) & 255) - int((b >> s) & 255)) > tolerance) return false;
  return true;
}

}  // namespace

TEST(ImageSetCommands, TableRows) {
  const std::vector<compiled_command>& t = canonical_commands();
  ASSERT_EQ(t[96].parameters.size(), 3u);
  EXPECT_EQ(t[96].parameters[0].kind, 1);
  EXPECT_EQ(t[96].parameters[1].kind, 1);
  EXPECT_EQ(t[96].parameters[2].name, "number");
  EXPECT_TRUE(t[97].parameters.empty());
  ASSERT_EQ(t[98].parameters.size(), 5u);
  EXPECT_EQ(t[98].parameters[1].name, "count");
  EXPECT_EQ(t[98].parameters[4].name, "value3");
  install_command_handlers();
  EXPECT_EQ(designed_command_handlers[96], cmd_image_set_load);
  EXPECT_EQ(designed_command_handlers[97], cmd_image_set_release);
  EXPECT_EQ(designed_command_handlers[98], cmd_image_set_query);
}

// The drawing cases, each one game: the layer's size tells which picture was drawn.
TEST(ImageSetCommands, DrawingThroughTheCommands) {
  const std::vector<uint8_t> mode1 = kxtool_set(5, 1);
  const std::vector<uint8_t> mode2 = kxtool_set(5, 2);
  const std::vector<uint8_t> mode0 = kxtool_set(5, 0);
  const std::vector<uint8_t> big = kxtool_set(3, 1, "1,2,3", 2);
  struct draw_case {
    const char* what;
    const std::vector<uint8_t>* set;
    std::string body;
    int picture;  // -1: the layer keeps its one-pixel picture
    uint8_t alpha_in_use;
    int alpha;  // expected alpha of the pixels, -1 for 255
  };
  const std::vector<draw_case> cases = {
      {"picture 7 of 5 draws 4", &mode1, "image_set layer=\"a\", file=\"set.kis\", number=7", 4, 1, entry_alpha(4)},
      {"picture -3 draws 0", &mode1, "image_set layer=\"a\", file=\"set.kis\", number=-3", 0, 1, entry_alpha(0)},
      {"picture 2", &mode1, "image_set layer=\"a\", file=\"set.kis\", number=2", 2, 1, entry_alpha(2)},
      {"mode 2: alpha decoded, flag clear", &mode2, "image_set layer=\"a\", file=\"SET.KIS\", number=3", 3, 0,
       entry_alpha(3)},
      {"mode 0: opaque", &mode0, "image_set layer=\"a\", file=\"set.kis\", number=1", 1, 0, -1},
      {"no set loaded", &mode1, "image_set layer=\"a\", number=1", -1, 0, 0},
      {"released before drawing", &mode1,
       "image_set file=\"set.kis\"\nimage_set_release\nimage_set layer=\"a\", number=1", -1, 0, 0},
      {"load, then draw later", &mode1, "image_set file=\"set.kis\"\nimage_set layer=\"a\", number=1", 1, 1,
       entry_alpha(1)},
  };
  for (const draw_case& c : cases) {
    free_image_set();  // the set belongs to the process, not to one game
    headless_game g(game_listing(c.body));
    g.write_file("set.kis", *c.set);
    ASSERT_EQ(g.start(), 0) << c.what;
    g.run_ticks(2);
    EXPECT_TRUE(g.error_codes().empty()) << c.what << (g.errors().empty() ? "" : g.errors()[0].text_utf8);
    const cg_record* r = layer_a();
    ASSERT_NE(r, nullptr);
    if (c.picture < 0) {
      EXPECT_EQ(r->width, 1) << c.what;
      continue;
    }
    ASSERT_EQ(r->width, entry_width(c.picture)) << c.what;
    ASSERT_EQ(r->height, entry_height(c.picture)) << c.what;
    EXPECT_EQ(r->alpha_in_use, c.alpha_in_use) << c.what;
    const uint32_t want = uint32_t(c.alpha < 0 ? 255 : c.alpha) << 24 | entry_colour(c.picture);
    for (auto [x, y] : {std::pair{0, 0}, {3, 5}, {r->width - 1, r->height - 1}})
      EXPECT_TRUE(near(pixel(r, x, y), want, 3)) << c.what << std::hex << " got " << pixel(r, x, y) << " want " << want;
  }

  // A 640 x 480 picture into the 1 x 1 layer, then a small one: the layer follows.
  headless_game g(game_listing("image_set layer=\"a\", file=\"set.kis\", number=2\nwait 1\n"
                               "image_set layer=\"a\", number=0"));
  g.write_file("set.kis", big);
  ASSERT_EQ(g.start(), 0);
  g.tick();
  ASSERT_EQ(layer_a()->width, 640);
  EXPECT_EQ(layer_a()->height, 480);
  g.run_ticks(3);
  EXPECT_EQ(layer_a()->width, entry_width(0));
  EXPECT_TRUE(g.error_codes().empty());
}

TEST(ImageSetCommands, QueryLoadsAndReleases) {
  headless_game g(game_listing(
      "image_set_query output=r1, count=1\n"
      "image_set file=\"set.kis\"\n"
      "image_set_query output=r2, count=1\n"
      "image_set_query output=r3, value3=1, value1=1\n"  // the first given switch wins
      "image_set_release\n"
      "image_set_query output=r4, count=1\n"
      "image_set_query output=r1, value1=1\n"));
  g.write_file("set.kis", kxtool_set(3, 1, "11,22,33"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.error_codes().empty());
  EXPECT_EQ(g.int_value("r2"), 3);
  EXPECT_EQ(g.int_value("r3"), 11);
  EXPECT_EQ(g.int_value("r4"), 0);
  EXPECT_EQ(g.int_value("r1"), 11);  // the released set's header value stays
}

TEST(ImageSetCommands, FailuresReported) {
  struct failure {
    const char* what;
    std::string body;
    std::vector<int> codes;
  };
  const std::vector<failure> cases = {
      {"missing layer", "image_set layer=\"nothing\", file=\"set.kis\", number=0\nimage_set_query output=r1, count=1",
       {101250}},
      {"missing file", "image_set file=\"none.kis\"", {104060}},
      {"damaged file", "image_set file=\"bad.kis\"", {104010}},
  };
  for (const failure& c : cases) {
    headless_game g(game_listing(c.body));
    g.write_file("set.kis", kxtool_set(2, 1));
    g.write_file("bad.kis", std::vector<uint8_t>(20, 0));
    g.start();
    g.run_ticks(2);
    ASSERT_FALSE(g.error_codes().empty()) << c.what;
    EXPECT_EQ(g.error_codes()[0], c.codes[0]) << c.what;
    EXPECT_EQ(image_set.layout.count, 0u) << c.what;  // nothing was loaded
  }
}

TEST(ImageSetFormat, ContainerChecks) {
  const uint32_t values[3] = {7, 8, 9};
  std::vector<image_set_source_entry> entries(2);
  entries[0].colour = {1, 2, 3};
  entries[1].colour = {4, 5};
  entries[1].alpha = {6};
  const std::vector<uint8_t> good = build_image_set(1, values, entries);
  image_set_layout layout;
  ASSERT_EQ(parse_image_set_layout(good.data(), good.size(), layout), image_set_ok);
  ASSERT_EQ(layout.count, 2u);
  EXPECT_EQ(layout.values[2], 9u);
  EXPECT_EQ(layout.parts[1].offset, 32u + 24u + 3u);
  EXPECT_EQ(layout.parts[1].alpha_size, 1u);
  // Each part is scrambled from its own first byte.
  std::vector<uint8_t> colour(good.begin() + 59, good.begin() + 61), alpha(good.begin() + 61, good.begin() + 62);
  image_set_scramble(colour.data(), colour.size());
  image_set_scramble(alpha.data(), alpha.size());
  EXPECT_EQ(colour, (std::vector<uint8_t>{4, 5}));
  EXPECT_EQ(alpha, (std::vector<uint8_t>{6}));
  EXPECT_EQ(good[61] ^ 6, image_set_key_byte(0));

  auto edited = [&](size_t at, uint32_t v) {
    std::vector<uint8_t> f = good;
    put_u32(f.data() + at, v);
    return f;
  };
  struct hostile {
    const char* what;
    std::vector<uint8_t> file;
    image_set_status status;
  };
  const std::vector<hostile> cases = {
      {"shorter than the header", std::vector<uint8_t>(good.begin(), good.begin() + 31), image_set_short},
      {"tables past the end", edited(8, 3), image_set_short},
      {"count that wraps 32 bits", edited(8, 0x15555556u), image_set_short},
      {"huge count", edited(8, 0xFFFFFFFFu), image_set_short},
      {"colour part past the end", edited(36, 61), image_set_bad_part},
      {"offset + size wrapping 32 bits", edited(32 + 8, 0xFFFFFFFEu), image_set_bad_part},
      {"alpha size past the end", edited(32 + 16 + 4, 2), image_set_bad_part},
      {"part over the tables", edited(32, 8), image_set_bad_part},
      {"no pictures", edited(8, 0), image_set_ok},
  };
  for (const hostile& h : cases) EXPECT_EQ(parse_image_set_layout(h.file.data(), h.file.size(), layout), h.status) << h.what;
}

// Hostile sets drawn into a live layer: parts that are not JPEG, alpha
// pictures larger than the colour picture, heights over 8192, every
// truncation and flipped byte. After each failure the kept decompressor must
// still draw a good set.
TEST(ImageSetHostile, DrawingNeverWritesPastThePicture) {
  headless_game g(game_listing(""));
  object_node* node = started_layer_a(g);
  ASSERT_NE(node, nullptr);
  const uint32_t values[3] = {0, 0, 0};

  auto grey = [](int w, int h, uint8_t v) { return encode_jpeg(w, h, 1, std::vector<uint8_t>(size_t(w) * h, v), false); };
  auto colour = [](int w, int h) { return encode_jpeg(w, h, 3, std::vector<uint8_t>(size_t(w) * h * 3, 90), false); };
  auto set_of = [&](std::vector<uint8_t> c, std::vector<uint8_t> a) {
    std::vector<image_set_source_entry> e(1);
    e[0].colour = std::move(c);
    e[0].alpha = std::move(a);
    return build_image_set(1, values, e);
  };
  const std::vector<uint8_t> good = set_of(colour(8, 6), grey(8, 6, 100));
  auto draw_good = [&] {
    ASSERT_EQ(install_image_set(good, "good"), 0);
    ASSERT_EQ(draw_image_set_entry(node, 0), 0);
    ASSERT_EQ(layer_record(node)->width, 8);
    EXPECT_TRUE(near(pixel(layer_record(node), 7, 5), 0x645A5A5Au, 2)) << std::hex << pixel(layer_record(node), 7, 5);
  };
  draw_good();

  struct bad_set {
    const char* what;
    std::vector<uint8_t> file;
    int status;
    std::vector<int> codes;
  };
  const std::vector<bad_set> cases = {
      {"alpha larger than the picture", set_of(colour(4, 3), grey(40, 30, 7)), 0, {}},
      {"colour alpha part", set_of(colour(4, 3), colour(4, 3)), 0, {}},
      {"colour part not a JPEG", set_of({1, 2, 3, 4}, grey(4, 3, 7)), -1, {}},
      {"alpha part not a JPEG", set_of(colour(4, 3), {9, 9, 9}), -1, {}},
      {"empty parts", set_of({}, {}), -1, {}},
      {"height over 8192", set_of(grey(1, 8193, 1), {}), -1, {100091}},
      {"no pictures", build_image_set(1, values, {}), 0, {}},
  };
  for (const bad_set& b : cases) {
    reported_errors probe;
    ASSERT_EQ(install_image_set(b.file, "bad"), 0) << b.what;
    EXPECT_EQ(draw_image_set_entry(node, 0), b.status) << b.what;
    EXPECT_EQ(probe.codes(), b.codes) << b.what;
    quit_flag = 0;
    draw_good();
  }

  // Every truncation and byte flip of a two-picture set: any outcome but a crash.
  std::vector<image_set_source_entry> two(2);
  two[0].colour = colour(5, 4);
  two[0].alpha = grey(5, 4, 30);
  two[1].colour = colour(3, 7);
  two[1].alpha = grey(6, 9, 200);
  const std::vector<uint8_t> file = build_image_set(1, values, two);
  for (size_t n = 0; n < file.size(); n += 3) {
    std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<long>(n));
    std::vector<uint8_t> flipped = file;
    flipped[n] ^= 0x5A;
    for (const std::vector<uint8_t>* f : {&cut, &flipped}) {
      reported_errors probe;
      if (install_image_set(*f, "x") == 0)
        for (int i = -1; i <= 2; ++i) draw_image_set_entry(node, i);
      quit_flag = 0;
    }
  }
  draw_good();
}

// Drawing from a set is not a file load: an alpha sample of 0 becomes the
// alpha byte and the colour bytes stay as the colour part decoded them (a
// load would store such pixels as 0x00808080). Modes 1 and 2 alike.
TEST(ImageSetDrawing, AlphaZeroKeepsTheDecodedColour) {
  headless_game g(game_listing(""));
  object_node* node = started_layer_a(g);
  ASSERT_NE(node, nullptr);
  const uint32_t values[3] = {0, 0, 0};
  std::vector<image_set_source_entry> e(1);
  e[0].colour = encode_jpeg(8, 6, 3, std::vector<uint8_t>(size_t(8) * 6 * 3, 90), false);
  e[0].alpha = encode_jpeg(8, 6, 1, std::vector<uint8_t>(size_t(8) * 6, 0), false);
  for (uint32_t mode : {1u, 2u}) {
    ASSERT_EQ(install_image_set(build_image_set(mode, values, e), "set"), 0);
    ASSERT_EQ(draw_image_set_entry(node, 0), 0);
    const cg_record* r = layer_record(node);
    EXPECT_EQ(r->alpha_in_use, mode == 1 ? 1 : 0);
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(pixel(r, x, y) >> 24, 0u) << mode;
        EXPECT_TRUE(near(pixel(r, x, y), 0x005A5A5Au, 2)) << mode << std::hex << " " << pixel(r, x, y);
      }
  }
}
