// kxtool decode on GIF files and kxtool imageset, run as the built program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "format/image_set_format.h"
#include "image/decode_gif.h"
#include "image/decode_png.h"
#include "image/picture_writers.h"
#include "support/temp_folder.h"

namespace {

int run(const std::string& arguments) {
  const std::string command = "'" + std::string(ZARVIK_BINARY_DIR) + "/kxtool' " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> png_pixels(const std::vector<uint8_t>& file) {
  picture_buffer p;
  std::vector<uint8_t> bytes;
  if (decode_png(file.data(), file.size(), "x.png", p) == 0)
    bytes.assign(p.pixels, p.pixels + size_t(p.width) * p.height * 4);
  free_picture_buffer(p);
  return bytes;
}

// A two-colour GIF, 3 x 2, written by hand: code size 2, literal codes only.
const std::vector<uint8_t> tiny_gif = {'G', 'I', 'F', '8', '9', 'a', 3, 0, 2, 0, 0x80, 0, 0,
                                       255, 0, 0, 0, 0, 255,  // red, blue
                                       ',', 0, 0, 0, 0, 3, 0, 2, 0, 0, 2,
                                       4, 0x44, 0x10, 0x10, 0x05, 0, ';'};

}  // namespace

TEST(KxtoolGif, DecodeWritesTheLoadersPixels) {
  temp_folder dir;
  dir.write("t.gif", tiny_gif);
  ASSERT_EQ(run("decode '" + dir.path() + "t.gif' '" + dir.path() + "t.png'"), 0);
  picture_buffer direct;
  ASSERT_EQ(decode_gif(tiny_gif.data(), tiny_gif.size(), "t.gif", direct), 0);
  const std::vector<uint8_t> want(direct.pixels, direct.pixels + 3 * 2 * 4);
  free_picture_buffer(direct);
  EXPECT_EQ(png_pixels(dir.read("t.png")), want);
  // Red, blue, red / blue, red, blue.
  EXPECT_EQ(want[2], 255);
  EXPECT_EQ(want[4], 255);
  EXPECT_EQ(want[12], 255);
}

TEST(KxtoolImageset, WritesScrambledPartsAndRefusesBadArguments) {
  temp_folder dir;
  std::vector<uint8_t> px(5 * 4 * 4, 200), png;
  ASSERT_EQ(encode_picture_png(px.data(), 5, 4, 6, png), 0);
  dir.write("a.png", png);
  dir.write("b.gif", tiny_gif);
  ASSERT_EQ(run("imageset --mode 0 --values 1,2,3 '" + dir.path() + "s.kis' '" + dir.path() + "a.png' '" +
                dir.path() + "b.gif'"),
            0);
  std::vector<uint8_t> set = dir.read("s.kis");
  image_set_layout layout;
  ASSERT_EQ(parse_image_set_layout(set.data(), set.size(), layout), image_set_ok);
  EXPECT_EQ(layout.count, 2u);
  EXPECT_EQ(layout.mode, 0u);
  EXPECT_EQ(layout.values[1], 2u);
  EXPECT_EQ(layout.parts[1].alpha_size, 0u);
  uint8_t* colour = set.data() + layout.parts[0].offset;
  EXPECT_FALSE(colour[0] == 0xFF && colour[1] == 0xD8);  // stored scrambled
  image_set_scramble(colour, static_cast<size_t>(layout.parts[0].colour_size));
  EXPECT_TRUE(colour[0] == 0xFF && colour[1] == 0xD8);

  EXPECT_EQ(run("imageset"), 2);
  EXPECT_EQ(run("imageset '" + dir.path() + "o.kis'"), 2);
  EXPECT_EQ(run("imageset --quality 0 o.kis a.png"), 2);
  EXPECT_EQ(run("imageset --values 1,2 o.kis a.png"), 2);
  EXPECT_EQ(run("imageset '" + dir.path() + "o.kis' '" + dir.path() + "missing.png'"), 1);
  EXPECT_FALSE(dir.exists("o.kis"));
}
