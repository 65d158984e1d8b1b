// GIF reader: the conformance files against their reference PNG, files made
// by giflib checked frame by frame against giflib's own decoder, our own
// literal-code files for code sizes and layouts giflib will not write, and
// hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "graphics/layer_record.h"
#include "image/decode_gif.h"
#include "image/picture_loader.h"
#include "image_test_util.h"
#include "support/gif_encode.h"
#include "support/headless_game.h"
#include "support/reported_errors.h"

namespace {

struct gif_result {
  int status = -1;
  std::vector<int> codes;
};

// Through the loader's dispatch (normalising, 100215 on failure), keeping the frames.
gif_result load_gif(const std::vector<uint8_t>& file, owned_picture& out, gif_frame_table& frames) {
  reported_errors probe;
  gif_result r;
  r.status = decode_picture_bytes(picture_type_gif, file.data(), file.size(), "t.gif", out.picture, &frames);
  r.codes = probe.codes();
  quit_flag = 0;
  return r;
}

// The picture the rules give for frame 0 of `f` (our own reading of the
// file's description, independent of the reader): transparent pixels
// 0x00808080 (with or without the flag), the rest opaque palette colours;
// pixels frame 0 does not cover are transparent in a picture with the alpha
// flag, opaque black without.
std::vector<uint32_t> expected_screen(const gif_test_file& f, const std::vector<uint8_t>& palette0, bool alpha) {
  std::vector<uint32_t> px(static_cast<size_t>(f.width) * f.height, alpha ? 0x00808080u : 0xFF000000u);
  if (f.images.empty()) return px;
  const gif_test_image& im = f.images[0];
  for (int y = 0; y < im.height; ++y) {
    for (int x = 0; x < im.width; ++x) {
      const int sx = im.left + x, sy = im.top + y;
      if (sx >= f.width || sy >= f.height) continue;
      const uint8_t i = im.indexes[static_cast<size_t>(y) * im.width + x];
      const uint8_t* c = palette0.data() + i * 3;
      px[static_cast<size_t>(sy) * f.width + sx] =
          i == im.transparent_index ? 0x00808080u : 0xFF000000u | c[0] << 16 | c[1] << 8 | c[2];
    }
  }
  return px;
}

std::vector<uint32_t> screen_pixels(const owned_picture& p) {
  std::vector<uint32_t> v;
  for (int y = 0; y < p.picture.height; ++y)
    for (int x = 0; x < p.picture.width; ++x) v.push_back(p.pixel(x, y));
  return v;
}

std::vector<uint8_t> frame_indexes(const gif_frame& f) {
  return std::vector<uint8_t>(f.indexes.get(), f.indexes.get() + static_cast<size_t>(f.width) * f.height);
}

gif_test_image image_of(int left, int top, int w, int h, int colours, int seed = 0) {
  gif_test_image im;
  im.left = left;
  im.top = top;
  im.width = w;
  im.height = h;
  im.indexes = gif_test_pattern(w, h, colours, seed);
  return im;
}

}  // namespace

TEST(GifConformance, PlainAndInterlacedTwinsMatchTheReferencePng) {
  REQUIRE_TESTDATA(dir);
  // The PNG is the picture before it was cut to 256 colours: the GIF is
  // within a few levels of it on average. giflib gives the exact indexes.
  const std::vector<uint8_t> png = read_file_bytes(dir + "gif/video-001.png");
  owned_picture reference;
  ASSERT_EQ(decode_picture_bytes(picture_type_png, png.data(), png.size(), "ref", reference.picture), 0);
  std::vector<std::vector<uint8_t>> pictures;
  for (const char* name : {"gif/video-001.gif", "gif/video-001.interlaced.gif"}) {
    owned_picture p;
    gif_frame_table frames;
    const std::vector<uint8_t> file = read_file_bytes(dir + name);
    ASSERT_EQ(load_gif(file, p, frames).status, 0) << name;
    ASSERT_EQ(p.picture.width, reference.picture.width);
    ASSERT_EQ(p.picture.height, reference.picture.height);
    EXPECT_EQ(frames.frames.size(), 1u);
    EXPECT_EQ(p.picture.alpha_in_use, 0);
    const std::vector<uint8_t> got = p.bytes(), want = reference.bytes();
    double total = 0;
    for (size_t i = 0; i < got.size(); ++i) total += std::abs(int(got[i]) - int(want[i]));
    EXPECT_LT(total / double(got.size()), 4.0) << name;
    pictures.push_back(got);

    std::vector<giflib_frame> ref;
    ASSERT_TRUE(giflib_decode(file, ref));
    ASSERT_EQ(ref.size(), 1u);
    EXPECT_EQ(frame_indexes(*frames.frames[0]), ref[0].indexes) << name;
  }
  EXPECT_EQ(pictures[0], pictures[1]);
}

TEST(GifConformance, TriangleMatchesGiflib) {
  REQUIRE_TESTDATA(dir);
  const std::vector<uint8_t> file = read_file_bytes(dir + "gif/triangle-001.gif");
  owned_picture p;
  gif_frame_table frames;
  ASSERT_EQ(load_gif(file, p, frames).status, 0);
  std::vector<giflib_frame> ref;
  ASSERT_TRUE(giflib_decode(file, ref));
  ASSERT_EQ(frames.frames.size(), ref.size());
  for (size_t i = 0; i < ref.size(); ++i) EXPECT_EQ(frame_indexes(*frames.frames[i]), ref[i].indexes);
}

// Real LZW streams from giflib: every palette size (code sizes 2..8), both row
// orders, transparency, several frames, frames touching the screen's edges.
TEST(GifAgainstGiflib, FramesAndPictureMatchTheReference) {
  struct gif_case {
    const char* what;
    int screen_w, screen_h, colours;
    std::vector<gif_test_image> images;
    int transparent;  // of image 0
  };
  const std::vector<gif_case> cases = {
      {"2 colours", 37, 11, 2, {image_of(0, 0, 37, 11, 2)}, -1},
      {"4 colours interlaced", 16, 19, 4, {image_of(0, 0, 16, 19, 4)}, -1},
      {"16 colours", 64, 64, 16, {image_of(0, 0, 64, 64, 16)}, 3},
      {"64 colours, 1 row", 300, 1, 64, {image_of(0, 0, 300, 1, 64)}, -1},
      {"256 colours, big", 640, 480, 256, {image_of(0, 0, 640, 480, 256)}, 0},
      {"1 column", 1, 200, 8, {image_of(0, 0, 1, 200, 8)}, -1},
      {"at the bottom right edge", 50, 40, 32, {image_of(30, 25, 20, 15, 32)}, -1},
      {"frames", 40, 30, 128, {image_of(0, 0, 40, 30, 128), image_of(5, 5, 10, 10, 128, 3), image_of(39, 29, 1, 1, 128, 9)}, 5},
  };
  for (const gif_case& c : cases) {
    gif_test_file f;
    f.width = c.screen_w;
    f.height = c.screen_h;
    f.global_palette = gif_test_palette(c.colours);
    f.images = c.images;
    f.images[0].transparent_index = c.transparent;
    if (std::string(c.what).find("interlaced") != std::string::npos) f.images[0].interlaced = true;
    const std::vector<uint8_t> file = giflib_encode(f);
    ASSERT_FALSE(file.empty()) << c.what;

    std::vector<giflib_frame> ref;
    ASSERT_TRUE(giflib_decode(file, ref)) << c.what;
    owned_picture p;
    gif_frame_table frames;
    ASSERT_EQ(load_gif(file, p, frames).status, 0) << c.what;
    ASSERT_EQ(frames.frames.size(), ref.size()) << c.what;
    for (size_t i = 0; i < ref.size(); ++i) {
      const gif_frame& fr = *frames.frames[i];
      EXPECT_EQ(fr.left, ref[i].left);
      EXPECT_EQ(fr.top, ref[i].top);
      EXPECT_EQ(frame_indexes(fr), ref[i].indexes) << c.what << " frame " << i;
      EXPECT_EQ(frame_indexes(fr), f.images[i].indexes) << c.what << " frame " << i;
    }
    std::vector<uint8_t> padded = f.global_palette;
    padded.resize(768, 0);
    // The flag follows the last control block (here image 0's, whose values
    // carry over to the later images), whether or not frame 0 covers the
    // screen.
    EXPECT_EQ(p.picture.alpha_in_use, c.transparent >= 0 ? 1 : 0) << c.what;
    EXPECT_EQ(screen_pixels(p), expected_screen(f, padded, c.transparent >= 0)) << c.what;
  }
}

// Code sizes giflib will not write, streams with and without clear codes
// (without, the table fills and decoding goes on at 12 bits).
TEST(GifOwnWriter, EveryCodeSizeFrom1To11DecodesExactly) {
  for (int size = 1; size <= 11; ++size) {
    for (bool interlaced : {false, true}) {
      for (bool clears : {true, false}) {
        gif_test_file f;
        f.width = 97;
        f.height = 61;  // 5917 codes: the table fills without clears
        f.global_palette = gif_test_palette(256);
        gif_test_image im = image_of(0, 0, 97, 61, size >= 8 ? 256 : 1 << size);
        im.min_code_size = size;
        im.interlaced = interlaced;
        std::vector<uint8_t> file = gif_test_header(f.width, f.height, f.global_palette);
        gif_test_image_block(file, im, clears);
        file.push_back(';');
        owned_picture p;
        gif_frame_table frames;
        ASSERT_EQ(load_gif(file, p, frames).status, 0) << size;
        ASSERT_EQ(frames.frames.size(), 1u);
        EXPECT_EQ(frame_indexes(*frames.frames[0]), im.indexes)
            << "code size " << size << (interlaced ? " interlaced" : "") << (clears ? "" : " no clears");
      }
    }
  }
}

TEST(GifLayout, PositionCarryOverAndBlocks) {
  gif_test_file f;
  f.width = 40;
  f.height = 30;
  f.global_palette = gif_test_palette(16);
  f.images = {image_of(10, 20, 8, 5, 16), image_of(0, 0, 4, 4, 16, 1), image_of(1, 1, 3, 3, 16, 2)};
  f.images[1].local_palette = gif_test_palette(16, 99);
  f.images[1].transparent_index = 2;
  f.images[1].delay = 7;
  f.images[1].disposal = 2;
  f.images[0].interlaced = true;

  std::vector<uint8_t> file = gif_test_header(f.width, f.height, f.global_palette);
  // A comment of two sub-blocks, plain text and an XMP block before the loop
  // count, none of which is one sub-block of a fixed layout.
  file.insert(file.end(), {'!', 0xFE});
  gif_test_sub_blocks(file, std::vector<uint8_t>(400, 'c'));
  file.insert(file.end(), {'!', 0x01, 12});
  file.insert(file.end(), 12, 0);
  gif_test_sub_blocks(file, std::vector<uint8_t>(30, 't'));
  file.insert(file.end(), {'!', 0xFF, 11, 'X', 'M', 'P', ' ', 'D', 'a', 't', 'a', 'X', 'M', 'P'});
  gif_test_sub_blocks(file, std::vector<uint8_t>(600, 'x'), 1);
  file.insert(file.end(), {'!', 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 5, 0, 0});
  for (const gif_test_image& im : f.images) gif_test_image_block(file, im);
  // No trailer: the end of the file ends it.

  owned_picture p;
  gif_frame_table frames;
  ASSERT_EQ(load_gif(file, p, frames).status, 0);
  ASSERT_EQ(frames.frames.size(), 3u);
  const gif_frame& a = *frames.frames[0];
  const gif_frame& b = *frames.frames[1];
  const gif_frame& c = *frames.frames[2];
  EXPECT_EQ(a.loop_count, 5);
  EXPECT_EQ(frame_indexes(a), f.images[0].indexes);
  // The local table of image 1 stays in force for image 2; the control values carry over.
  std::vector<uint8_t> local = f.images[1].local_palette;
  local.resize(768, 0);
  EXPECT_EQ(std::vector<uint8_t>(b.palette, b.palette + 768), local);
  EXPECT_EQ(std::vector<uint8_t>(c.palette, c.palette + 768), local);
  EXPECT_EQ(c.transparent, 1);
  EXPECT_EQ(c.transparent_index, 2);
  EXPECT_EQ(c.delay, 7);
  EXPECT_EQ(c.disposal, 2);
  EXPECT_EQ(a.transparent, 0);

  // Frame 0 from row 20 and column 10; everything else transparent, flag set.
  std::vector<uint8_t> global = f.global_palette;
  global.resize(768, 0);
  EXPECT_EQ(screen_pixels(p), expected_screen(f, global, true));
  EXPECT_EQ(p.picture.alpha_in_use, 1);
  EXPECT_EQ(p.pixel(10, 20) >> 24, 0xFFu);
  EXPECT_EQ(p.pixel(9, 20), 0x00808080u);
}

// The flag is the last control block's transparent bit, whatever frame 0's
// own control block said.
TEST(GifLayout, TheFlagFollowsTheLastControlBlock) {
  const struct {
    const char* what;
    int transparent0, transparent1;  // -1: no control block of its own
    bool second_delay;               // image 1 gets a control block without the bit
    uint8_t flag;
  } cases[] = {
      {"no control blocks", -1, -1, false, 0},
      {"frame 0 transparent, carried over", 1, -1, false, 1},
      {"frame 0 transparent, a later block without the bit", 1, -1, true, 0},
      {"only the last frame transparent", -1, 2, false, 1},
  };
  for (const auto& c : cases) {
    gif_test_file f;
    f.width = 6;
    f.height = 4;
    f.global_palette = gif_test_palette(4);
    f.images = {image_of(0, 0, 6, 4, 4), image_of(0, 0, 2, 2, 4)};
    f.images[0].transparent_index = c.transparent0;
    f.images[1].transparent_index = c.transparent1;
    if (c.second_delay) f.images[1].delay = 3;
    owned_picture p;
    gif_frame_table frames;
    ASSERT_EQ(load_gif(gif_test_encode(f), p, frames).status, 0) << c.what;
    EXPECT_EQ(p.picture.alpha_in_use, c.flag) << c.what;
    std::vector<uint8_t> global = f.global_palette;
    global.resize(768, 0);
    EXPECT_EQ(screen_pixels(p), expected_screen(f, global, c.flag)) << c.what;
  }
}

TEST(GifLayout, FramesPastTheScreenAreClipped) {
  // Wider and taller than the screen, and placed past its right and bottom edges.
  for (const auto& [left, top, w, h] : std::vector<std::array<int, 4>>{
           {0, 0, 50, 50}, {15, 0, 30, 4}, {0, 9, 4, 30}, {19, 9, 10, 10}, {20, 10, 5, 5}, {60000, 60000, 3, 3}}) {
    gif_test_file f;
    f.width = 20;
    f.height = 10;
    f.global_palette = gif_test_palette(8);
    f.images = {image_of(left, top, w, h, 8)};
    owned_picture p;
    gif_frame_table frames;
    ASSERT_EQ(load_gif(gif_test_encode(f), p, frames).status, 0) << left << "," << top;
    std::vector<uint8_t> global = f.global_palette;
    global.resize(768, 0);
    EXPECT_EQ(p.picture.alpha_in_use, 0);
    EXPECT_EQ(screen_pixels(p), expected_screen(f, global, false)) << left << "," << top;
    EXPECT_EQ(frame_indexes(*frames.frames[0]), f.images[0].indexes);
  }
}

TEST(GifLayout, CutDataKeepsTheRowsDecodedAndZeroesTheRest) {
  gif_test_file f;
  f.width = 30;
  f.height = 20;
  f.global_palette = gif_test_palette(16);
  f.images = {image_of(0, 0, 30, 20, 16, 1)};
  for (uint8_t& v : f.images[0].indexes) v = static_cast<uint8_t>(v | 1);  // no index 0 in the picture
  const std::vector<uint8_t> whole = gif_test_encode(f);
  // Header (13) + palette (48) + descriptor (10) + code size (1) + length byte (1): data from 73.
  for (size_t cut : {size_t{80}, size_t{150}, size_t{300}}) {
    std::vector<uint8_t> file(whole.begin(), whole.begin() + static_cast<long>(cut));
    owned_picture p;
    gif_frame_table frames;
    ASSERT_EQ(load_gif(file, p, frames).status, 0) << cut;
    // The rows decoded so far match; the code cut in two reads its missing
    // bits as 0 (one index of its own); everything after is index 0.
    const std::vector<uint8_t> got = frame_indexes(*frames.frames[0]);
    const size_t decoded =
        static_cast<size_t>(std::mismatch(got.begin(), got.end(), f.images[0].indexes.begin()).first - got.begin());
    EXPECT_GT(decoded, 0u) << cut;
    EXPECT_LT(decoded + 1, got.size()) << cut;
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(decoded) + 1, got.end(), [](uint8_t v) { return v == 0; }))
        << cut;
  }
}

TEST(GifLayout, AFileWithoutImagesIsABlankScreen) {
  // Without a control block the flag is clear and the screen opaque black;
  // a control block with the transparent bit makes it transparent.
  for (bool control : {false, true}) {
    for (bool trailer : {true, false}) {
      std::vector<uint8_t> file = gif_test_header(7, 3, gif_test_palette(4));
      if (control) file.insert(file.end(), {'!', 0xF9, 4, 1, 0, 0, 2, 0});
      if (trailer) file.push_back(';');
      owned_picture p;
      gif_frame_table frames;
      ASSERT_EQ(load_gif(file, p, frames).status, 0);
      EXPECT_TRUE(frames.frames.empty());
      EXPECT_EQ(screen_pixels(p), std::vector<uint32_t>(21, control ? 0x00808080u : 0xFF000000u));
      EXPECT_EQ(p.picture.alpha_in_use, control ? 1 : 0);
    }
  }
}

// The loop count is the u16 after the 11-byte block and the first byte of a
// 3-byte sub-block, whatever the application's name; 1 before any such block,
// carried over to later images. Blocks of another layout are skipped whole
// and leave it.
TEST(GifLayout, LoopCountsFromApplicationBlocks) {
  auto app = [](std::vector<uint8_t>& out, const char* name, std::vector<uint8_t> subs) {
    out.insert(out.end(), {'!', 0xFF, 11});
    out.insert(out.end(), name, name + 11);
    out.insert(out.end(), subs.begin(), subs.end());
  };
  const gif_test_image im = image_of(0, 0, 3, 2, 4);
  const struct {
    const char* what;
    const char* name;
    std::vector<uint8_t> subs;
    int loop;
  } cases[] = {
      {"NETSCAPE2.0, 5 loops", "NETSCAPE2.0", {3, 1, 5, 0, 0}, 5},
      {"NETSCAPE2.0, forever", "NETSCAPE2.0", {3, 1, 0, 0, 0}, 0},
      {"ANIMEXTS1.0, 700 loops", "ANIMEXTS1.0", {3, 1, 0xBC, 0x02, 0}, 700},
      {"another sub-block id", "NETSCAPE2.0", {3, 7, 9, 0, 0}, 9},
      {"more sub-blocks after the count", "NETSCAPE2.0", {3, 1, 4, 0, 2, 'x', 'y', 0}, 4},
      {"a buffering block (5 bytes)", "NETSCAPE2.0", {5, 2, 0, 16, 0, 0, 0}, 1},
      {"XMP data", "XMP DataXMP", {1, 'a', 2, 'b', 'c', 0}, 1},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> file = gif_test_header(3, 2, gif_test_palette(4));
    gif_test_image_block(file, im);
    app(file, c.name, c.subs);
    gif_test_image_block(file, im);
    gif_test_image_block(file, im);
    file.push_back(';');
    owned_picture p;
    gif_frame_table frames;
    ASSERT_EQ(load_gif(file, p, frames).status, 0) << c.what;
    ASSERT_EQ(frames.frames.size(), 3u) << c.what;
    EXPECT_EQ(frames.frames[0]->loop_count, 1) << c.what;
    EXPECT_EQ(frames.frames[1]->loop_count, c.loop) << c.what;
    EXPECT_EQ(frames.frames[2]->loop_count, c.loop) << c.what;
  }
}

TEST(GifHostile, RefusedFiles) {
  const std::vector<uint8_t> palette = gif_test_palette(4);
  auto with_image = [&](int sw, int sh, gif_test_image im) {
    std::vector<uint8_t> file = gif_test_header(sw, sh, palette);
    gif_test_image_block(file, im);
    file.push_back(';');
    return file;
  };
  gif_test_image small = image_of(0, 0, 2, 2, 4);
  small.min_code_size = 2;
  std::vector<uint8_t> bad_code_size_0 = with_image(4, 4, small);
  std::vector<uint8_t> bad_code_size_12 = bad_code_size_0;
  const size_t code_size_at = 13 + 12 + 10;
  ASSERT_EQ(bad_code_size_0[code_size_at], 2);
  bad_code_size_0[code_size_at] = 0;
  bad_code_size_12[code_size_at] = 12;
  std::vector<uint8_t> unknown_block = gif_test_header(4, 4, palette);
  unknown_block.push_back('x');
  std::vector<uint8_t> unknown_label = gif_test_header(4, 4, palette);
  unknown_label.insert(unknown_label.end(), {'!', 0x33, 0});

  struct refusal {
    const char* what;
    std::vector<uint8_t> file;
    std::vector<int> codes;
  };
  const std::vector<refusal> cases = {
      {"screen 8193 wide", gif_test_header(8193, 1, palette), {100091, 100215}},
      {"screen 8193 high", gif_test_header(1, 8193, palette), {100091, 100215}},
      {"image 8193 wide", with_image(8, 8, image_of(0, 0, 8193, 1, 4)), {100091, 100215}},
      {"image 65535 high", with_image(8, 8, image_of(0, 0, 1, 65535, 4)), {100091, 100215}},
      {"code size 0", bad_code_size_0, {100215}},
      {"code size 12", bad_code_size_12, {100215}},
      {"unknown block", unknown_block, {100215}},
      {"unknown extension", unknown_label, {100215}},
      {"empty screen", gif_test_header(0, 5, palette), {100010, 100215}},
  };
  for (const refusal& c : cases) {
    owned_picture p;
    gif_frame_table frames;
    frames.frames.push_back(std::make_unique<gif_frame>());  // an earlier file's frame survives a failure
    const gif_result r = load_gif(c.file, p, frames);
    EXPECT_NE(r.status, 0) << c.what;
    EXPECT_EQ(r.codes, c.codes) << c.what;
    EXPECT_EQ(p.picture.pixels, nullptr) << c.what;
    EXPECT_EQ(frames.frames.size(), 1u) << c.what;
  }
}

TEST(GifHostile, BadCodesStopTheImage) {
  // Code size 2: clear 4, end 5, first free 6. Each stream after one literal 1.
  struct stream {
    const char* what;
    std::vector<std::pair<unsigned, int>> codes;  // code, width
    std::vector<uint8_t> expected;                // the first indexes
  };
  const std::vector<stream> cases = {
      {"next free code with no code before it", {{4, 3}, {6, 3}, {1, 3}}, {0, 0}},
      {"code past the next free one", {{4, 3}, {1, 3}, {7, 3}, {2, 3}}, {1, 0}},
      {"next free code after a literal", {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, {1, 1, 1, 0}},
      {"clear then a code the clear forgot", {{4, 3}, {1, 3}, {2, 3}, {4, 3}, {6, 3}}, {1, 2, 0}},
  };
  for (const stream& s : cases) {
    gif_test_bits bits;
    for (auto [code, width] : s.codes) bits.put(code, width);
    bits.flush();
    std::vector<uint8_t> file = gif_test_header(4, 1, gif_test_palette(4));
    file.insert(file.end(), {',', 0, 0, 0, 0, 4, 0, 1, 0, 0, 2});
    gif_test_sub_blocks(file, bits.bytes);
    file.push_back(';');
    owned_picture p;
    gif_frame_table frames;
    ASSERT_EQ(load_gif(file, p, frames).status, 0) << s.what;
    const std::vector<uint8_t> got = frame_indexes(*frames.frames[0]);
    EXPECT_TRUE(std::equal(s.expected.begin(), s.expected.end(), got.begin())) << s.what;
  }
}

TEST(GifHostile, FrameCountAndSizeLimits) {
  // 8193 one-pixel images: 8192 kept, the load succeeds.
  std::vector<uint8_t> file = gif_test_header(2, 2, gif_test_palette(4));
  gif_test_image dot = image_of(1, 1, 1, 1, 4);
  dot.min_code_size = 2;
  for (int i = 0; i < 8193; ++i) gif_test_image_block(file, dot);
  file.push_back(';');
  {
    owned_picture p;
    gif_frame_table frames;
    ASSERT_EQ(load_gif(file, p, frames).status, 0);
    EXPECT_EQ(frames.frames.size(), gif_max_frames);
  }
  // Images that declare more than a gigabyte of indexes in a few bytes.
  std::vector<uint8_t> huge = gif_test_header(2, 2, gif_test_palette(4));
  for (int i = 0; i < 17; ++i) huge.insert(huge.end(), {',', 0, 0, 0, 0, 0, 0x20, 0, 0x20, 0, 2, 0});
  owned_picture p;
  gif_frame_table frames;
  const gif_result r = load_gif(huge, p, frames);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.codes, std::vector<int>{100215});
}

TEST(GifHostile, ReloadingReplacesTheFrames) {
  gif_test_file f;
  f.width = f.height = 8;
  f.global_palette = gif_test_palette(4);
  f.images = {image_of(0, 0, 8, 8, 4), image_of(0, 0, 2, 2, 4)};
  gif_test_file g = f;
  g.images.resize(1);
  gif_frame_table frames;
  owned_picture a, b;
  ASSERT_EQ(load_gif(gif_test_encode(f), a, frames).status, 0);
  EXPECT_EQ(frames.frames.size(), 2u);
  ASSERT_EQ(load_gif(gif_test_encode(g), b, frames).status, 0);  // ASan sees any frame left behind
  EXPECT_EQ(frames.frames.size(), 1u);
}

TEST(GifHostile, TruncationsAndFlipsDoNotCrash) {
  gif_test_file f;
  f.width = 24;
  f.height = 17;
  f.global_palette = gif_test_palette(32);
  f.images = {image_of(0, 0, 24, 17, 32), image_of(3, 4, 30, 30, 32, 5)};
  f.images[0].interlaced = true;
  f.images[1].transparent_index = 4;
  f.images[1].local_palette = gif_test_palette(8, 3);
  for (const std::vector<uint8_t>& file : {gif_test_encode(f), giflib_encode(f)}) {
    ASSERT_FALSE(file.empty());
    const int ok = hammer_decoder(file, 1, [](const std::vector<uint8_t>& bytes) {
      owned_picture p;
      gif_frame_table frames;
      return load_gif(bytes, p, frames).status;
    });
    EXPECT_GT(ok, 0);
  }
}

// Through the layer command: the record keeps the frames, a second GIF
// replaces them, and the record's end frees them (ASan checks the last two).
TEST(GifLayer, TheRecordKeepsTheFramesOfItsLastGif) {
  gif_test_file two;
  two.width = 12;
  two.height = 9;
  two.global_palette = gif_test_palette(8);
  two.images = {image_of(0, 0, 12, 9, 8), image_of(2, 2, 3, 3, 8, 1)};
  two.images[1].transparent_index = 1;
  gif_test_file one = two;
  one.images.resize(1);
  headless_game g(
      "script main.txt\n*SYSTEM_START\nlayer path=\"a\", file=\"cg/two.gif\", priority=1\nwait 1\n"
      "layer path=\"a\", file=\"cg/one.gif\"\nwait 1\nlayer_delete path=\"a\"\n*idle\nwait 1\ngoto idle\n");
  g.add_resource("cg\\two.gif", giflib_encode(two), 4);
  g.add_resource("cg\\one.gif", gif_test_encode(one), 4);
  ASSERT_EQ(g.start(), 0);
  g.tick();
  object_node* node = find_object_by_path(object_trees[tree_layers].root, "W0/a", find_leaf);
  ASSERT_NE(node, nullptr);
  cg_record* r = layer_record(node);
  ASSERT_NE(r->gif_frames, nullptr);
  EXPECT_EQ(static_cast<gif_frame_table*>(r->gif_frames)->frames.size(), 2u);
  EXPECT_EQ(r->width, 12);
  EXPECT_EQ(r->alpha_in_use, 1);  // the last control block is transparent
  g.tick();
  EXPECT_EQ(static_cast<gif_frame_table*>(r->gif_frames)->frames.size(), 1u);
  EXPECT_EQ(r->alpha_in_use, 0);
  g.run_ticks(2);
  EXPECT_EQ(find_object_by_path(object_trees[tree_layers].root, "W0/a", find_leaf), nullptr);
  EXPECT_TRUE(g.error_codes().empty());
}
