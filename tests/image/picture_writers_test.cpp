// Picture writers: exact layouts, round trips through our own readers, an
// outside checker (libpng's pngfix), and failures that must leave no file.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/engine_state.h"
#include "format/byte_io.h"
#include "graphics/layer_record.h"
#include "image/picture_loader.h"
#include "image/picture_writers.h"
#include "image_test_util.h"
#include "platform/headless/headless_platform.h"
#include "support/temp_folder.h"

namespace {

class PictureWriters : public testing::Test {
 protected:
  void SetUp() override { platform_ = std::make_unique<HeadlessPlatform>(game.path()); }
  void TearDown() override {
    std::free(record.pixel_block);
    quit_flag = 0;
  }

  // A record with a w x h picture; pixel (x, y) from `colour` as 0xAARRGGBB.
  void make_picture(int w, int h, uint32_t (*colour)(int, int), bool alpha_in_use) {
    std::free(record.pixel_block);
    record.pixel_block = record.pixels = static_cast<uint8_t*>(std::malloc(size_t(w) * 4 * h + size_t(w) * 4 + 4));
    record.width = w;
    record.height = h;
    record.alpha_in_use = alpha_in_use;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint32_t c = colour(x, y);
        std::memcpy(record.pixels + (size_t(y) * w + x) * 4, &c, 4);
      }
  }
  std::vector<uint8_t> picture_bytes() const {
    return std::vector<uint8_t>(record.pixels, record.pixels + size_t(record.width) * 4 * record.height);
  }
  std::vector<std::string> folder_names() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(game.path().c_str())) {
      while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
  std::vector<std::string> box_texts() const {
    std::vector<std::string> t;
    for (const auto& b : platform_->ui.boxes()) t.push_back(b.text);
    return t;
  }

  temp_folder game;
  std::unique_ptr<HeadlessPlatform> platform_;
  cg_record record;
};

uint32_t gradient(int x, int y) { return 0xFF000000u | uint32_t(x * 37) << 16 | uint32_t(y * 53) << 8 | uint32_t(x ^ y); }
uint32_t with_alpha(int x, int y) {
  const uint32_t a = uint32_t((x * 29 + y * 7) % 255 + 1);  // 1..255: no pixel the loader would normalise
  return a << 24 | uint32_t(x * 11) << 16 | uint32_t(y * 3) << 8 | 0x40;
}
uint32_t see_through(int x, int) { return (x % 2 ? 0x10000000u : 0x00000000u) | 0x00345678u; }

}  // namespace

TEST_F(PictureWriters, BmpOfThreeByTwoIs78BytesAndReadsBack) {
  make_picture(3, 2, gradient, false);
  ASSERT_EQ(save_cg_bmp(&record, "p.bmp"), 0);
  const std::vector<uint8_t> file = game.read("p.bmp");
  ASSERT_EQ(file.size(), 78u);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  const struct {
    size_t at;
    uint32_t value;
  } fields[] = {{2, 78}, {6, 0}, {10, 54}, {14, 40}, {18, 3}, {22, 2}, {30, 0}, {34, 0}, {38, 0}, {42, 0}, {46, 0}, {50, 0}};
  for (const auto& f : fields) EXPECT_EQ(get_u32(file.data() + f.at), f.value) << "offset " << f.at;
  EXPECT_EQ(get_u16(file.data() + 26), 1);
  EXPECT_EQ(get_u16(file.data() + 28), 24);
  // Bottom-up rows of 9 bytes and 3 of padding.
  EXPECT_EQ(file[54 + 9], 0);
  EXPECT_EQ(file[54], record.pixels[3 * 4]);  // first file row = last picture row
  owned_picture back;
  ASSERT_EQ(decode_picture_bytes(picture_type_bmp, file.data(), file.size(), "p.bmp", back.picture), 0);
  EXPECT_EQ(back.bytes(), picture_bytes());
  EXPECT_EQ(folder_names(), std::vector<std::string>{"p.bmp"});
}

TEST_F(PictureWriters, PngRoundTripsExactlyAndPassesPngfix) {
  struct png_case {
    int w, h;
    uint32_t (*colour)(int, int);
    bool alpha_in_use;
    int level;
  };
  for (const png_case& c : {png_case{1, 1, gradient, false, 0}, png_case{33, 17, with_alpha, true, 9},
                            png_case{300, 2, gradient, false, 5}}) {
    make_picture(c.w, c.h, c.colour, c.alpha_in_use);
    ASSERT_EQ(save_cg_png(&record, "p.png", c.level), 0);
    const std::vector<uint8_t> file = game.read("p.png");
    owned_picture back;
    ASSERT_EQ(decode_picture_bytes(picture_type_png, file.data(), file.size(), "p.png", back.picture), 0);
    EXPECT_EQ(back.bytes(), picture_bytes()) << c.w << "x" << c.h;
    const std::string command = "pngfix --quiet " + game.path() + "p.png >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "pngfix refused the file";
  }
}

TEST_F(PictureWriters, PngWithoutAlphaInUseMakesTheLayerOpaqueToo) {
  make_picture(4, 3, see_through, false);
  ASSERT_EQ(save_cg_png(&record, "p.png", 6), 0);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(record.pixels[i * 4 + 3], 255) << i;
  const std::vector<uint8_t> file = game.read("p.png");
  owned_picture back;
  ASSERT_EQ(decode_picture_bytes(picture_type_png, file.data(), file.size(), "p.png", back.picture), 0);
  EXPECT_EQ(back.bytes(), picture_bytes());
  quit_flag = 1;
  EXPECT_EQ(save_cg_png(&record, "q.png", 6), 1);  // written while a quit is pending
  EXPECT_TRUE(game.exists("q.png"));
}

TEST_F(PictureWriters, JpegAtQuality100IsBaselineAndClose) {
  make_picture(64, 48, [](int x, int y) { return 0xFF000000u | uint32_t(x * 4) << 16 | uint32_t(y * 5) << 8 | 128u; },
               false);
  ASSERT_EQ(save_cg_jpeg(&record, "p.jpg", 100), 0);
  const std::vector<uint8_t> file = game.read("p.jpg");
  bool sof0 = false, other_sof = false;
  for (size_t i = 2; i + 3 < file.size();) {  // walk the markers up to the scan
    if (file[i] != 0xFF) break;
    const uint8_t m = file[i + 1];
    if (m == 0xC0) sof0 = true;
    if (m >= 0xC1 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) other_sof = true;
    if (m == 0xDA) break;
    i += 2 + (size_t(file[i + 2]) << 8 | file[i + 3]);
  }
  EXPECT_TRUE(sof0);
  EXPECT_FALSE(other_sof);
  owned_picture back;
  ASSERT_EQ(decode_picture_bytes(picture_type_jpeg, file.data(), file.size(), "p.jpg", back.picture), 0);
  const std::vector<uint8_t> got = back.bytes(), want = picture_bytes();
  ASSERT_EQ(got.size(), want.size());
  int worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(int(got[i]) - int(want[i])));
  EXPECT_LE(worst, 4);

  // Taller than libjpeg can write: the failure, and no file.
  make_picture(1, 70000, gradient, false);
  EXPECT_EQ(save_cg_jpeg(&record, "tall.jpg", 90), -2);
  EXPECT_FALSE(game.exists("tall.jpg"));
  EXPECT_EQ(folder_names().size(), 1u);
}

TEST_F(PictureWriters, UnwritablePathsFailAndLeaveNoFile) {
  make_picture(2, 2, gradient, true);
  game.write("old.png", std::vector<uint8_t>{1, 2, 3});
  struct failure {
    const char* what;
    std::string path;
  };
  const std::vector<failure> cases = {
      {"outside the write roots", "/proc/zarvik-no-such/x"},
      {"missing folder", "no/such/folder/x"},
      {"a folder in the way", "sub"},
  };
  game.write("sub/keep", std::vector<uint8_t>{9});
  for (const failure& f : cases) {
    const size_t boxes = box_texts().size();
    EXPECT_EQ(save_cg_bmp(&record, f.path), -1) << f.what;
    EXPECT_EQ(save_cg_jpeg(&record, f.path, 90), -1) << f.what;
    EXPECT_EQ(save_cg_png(&record, f.path, 9), -1) << f.what;
    const std::vector<std::string> texts = box_texts();
    ASSERT_EQ(texts.size(), boxes + 3) << f.what;
    EXPECT_EQ(texts[boxes], "File Create Error.");
    EXPECT_EQ(texts[boxes + 1], "File Create Error.");
    EXPECT_EQ(texts[boxes + 2], "[SavePNG] File Create Error.\r\n\r\n" + f.path);
  }
  std::vector<std::string> names = folder_names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"old.png", "sub"}));  // no temporary file left anywhere
  EXPECT_EQ(game.read("old.png"), (std::vector<uint8_t>{1, 2, 3}));
  // Replacing an existing file works and leaves only the file.
  ASSERT_EQ(save_cg_png(&record, "old.png", 1), 0);
  EXPECT_GT(game.read("old.png").size(), 3u);
  EXPECT_EQ(folder_names().size(), 2u);
}
