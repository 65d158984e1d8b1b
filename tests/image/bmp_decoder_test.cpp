// BMP reader: the corpus against its PNGs, every bit count made in code, and
// the header, palette and row bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/engine_state.h"
#include "image/decode_bmp.h"
#include "image_test_util.h"

namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// A BMP with the given information-header size, palette and raw rows (stored
// bottom-up exactly as given).
std::vector<uint8_t> make_bmp(int32_t width, int32_t height, uint16_t bits, const std::vector<uint8_t>& palette_bgrx,
                              const std::vector<uint8_t>& rows, uint32_t info_size = 40, uint32_t compression = 0,
                              uint32_t colours_used = 0) {
  // Small information headers still get room for the fields written below.
  const uint32_t offset = std::max<uint32_t>(14 + info_size + static_cast<uint32_t>(palette_bgrx.size()), 54);
  std::vector<uint8_t> b(offset, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 2, offset + static_cast<uint32_t>(rows.size()));
  put32(b, 10, offset);
  put32(b, 14, info_size);
  put32(b, 18, static_cast<uint32_t>(width));
  put32(b, 22, static_cast<uint32_t>(height));
  put16(b, 26, 1);
  put16(b, 28, bits);
  put32(b, 30, compression);
  put32(b, 46, colours_used);
  if (!palette_bgrx.empty()) std::memcpy(&b[14 + info_size], palette_bgrx.data(), palette_bgrx.size());
  b.insert(b.end(), rows.begin(), rows.end());
  return b;
}

int decode(const std::vector<uint8_t>& file, owned_picture& pic) {
  return decode_bmp(file.data(), file.size(), "t.bmp", pic.picture);
}

}  // namespace

TEST(BmpDecoder, CorpusMatchesItsPngs) {
  REQUIRE_TESTDATA(dir);
  for (const char* base : {"colormap", "video-001"}) {
    SCOPED_TRACE(base);
    const auto file = read_file_bytes(dir + "bmp/" + base + ".bmp");
    int w, h;
    std::vector<uint8_t> rgba;
    ASSERT_TRUE(reference_decode_rgba(read_file_bytes(dir + "bmp/" + base + ".png"), w, h, rgba));
    owned_picture pic;
    ASSERT_EQ(decode(file, pic), 0);
    ASSERT_EQ(pic.picture.width, w);
    ASSERT_EQ(pic.picture.height, h);
    int bad = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* r = &rgba[(size_t(y) * w + x) * 4];
        bad += pic.pixel(x, y) != ((uint32_t{r[3]} << 24) | (r[0] << 16) | (r[1] << 8) | r[2]);
      }
    EXPECT_EQ(bad, 0);
  }
}

TEST(BmpDecoder, OneBitWidth33ReadsRowsOf8Bytes) {
  // Row 0 (bottom): only pixel 0 and pixel 32 set; row 1 (top): all set.
  std::vector<uint8_t> rows = {0x80, 0, 0, 0, 0x80, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0};
  const std::vector<uint8_t> palette = {10, 20, 30, 0, 200, 210, 220, 0};
  const auto file = make_bmp(33, 2, 1, palette, rows);
  owned_picture pic;
  ASSERT_EQ(decode(file, pic), 0);
  EXPECT_EQ(pic.picture.alpha_in_use, 0);
  EXPECT_EQ(pic.pixel(0, 1), 0xFFDCD2C8u);  // bottom row, bit set -> entry 1
  EXPECT_EQ(pic.pixel(1, 1), 0xFF1E140Au);
  EXPECT_EQ(pic.pixel(32, 1), 0xFFDCD2C8u);
  EXPECT_EQ(pic.pixel(31, 0), 0xFFDCD2C8u);
  EXPECT_EQ(pic.pixel(32, 0), 0xFFDCD2C8u);
}

TEST(BmpDecoder, FourEightTwentyFourAndThirtyTwoBits) {
  const std::vector<uint8_t> palette = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
  {  // 4 bits, width 3: high nibble first, rows of 4 bytes; colour count 3, index 5 is black.
    const auto file = make_bmp(3, 1, 4, palette, {0x12, 0x50, 0, 0}, 40, 0, 3);
    owned_picture pic;
    ASSERT_EQ(decode(file, pic), 0);
    EXPECT_EQ(pic.pixel(0, 0), 0xFF060504u);
    EXPECT_EQ(pic.pixel(1, 0), 0xFF090807u);
    EXPECT_EQ(pic.pixel(2, 0), 0xFF000000u);
  }
  {  // 8 bits, width 2, height 2: bottom-up.
    const auto file = make_bmp(2, 2, 8, palette, {0, 1, 0, 0, 2, 2, 0, 0});
    owned_picture pic;
    ASSERT_EQ(decode(file, pic), 0);
    EXPECT_EQ(pic.pixel(0, 1), 0xFF030201u);
    EXPECT_EQ(pic.pixel(1, 1), 0xFF060504u);
    EXPECT_EQ(pic.pixel(0, 0), 0xFF090807u);
  }
  {  // 24 bits, width 2: rows of 8 bytes.
    const auto file = make_bmp(2, 1, 24, {}, {1, 2, 3, 4, 5, 6, 0, 0});
    owned_picture pic;
    ASSERT_EQ(decode(file, pic), 0);
    EXPECT_EQ(pic.pixel(0, 0), 0xFF030201u);
    EXPECT_EQ(pic.pixel(1, 0), 0xFF060504u);
  }
  {  // 32 bits keep the fourth byte as alpha.
    const auto file = make_bmp(2, 1, 32, {}, {1, 2, 3, 0x40, 4, 5, 6, 0});
    owned_picture pic;
    ASSERT_EQ(decode(file, pic), 0);
    EXPECT_EQ(pic.pixel(0, 0), 0x40030201u);
    EXPECT_EQ(pic.pixel(1, 0), 0x00060504u);
    EXPECT_EQ(pic.picture.alpha_in_use, 1);
  }
  {  // 16 bits: the size only, fully transparent.
    const auto file = make_bmp(2, 2, 16, {}, std::vector<uint8_t>(8, 0xAB));
    owned_picture pic;
    ASSERT_EQ(decode(file, pic), 0);
    EXPECT_EQ(pic.pixel(1, 1), 0u);
  }
}

TEST(BmpDecoder, PaletteFollowsTheHeadersOwnSize) {
  // A 108-byte header: the palette starts at 14 + 108, not at 54.
  const std::vector<uint8_t> palette = {50, 60, 70, 0, 80, 90, 100, 0};
  const auto file = make_bmp(2, 1, 8, palette, {1, 0, 0, 0}, 108);
  owned_picture pic;
  ASSERT_EQ(decode(file, pic), 0);
  EXPECT_EQ(pic.pixel(0, 0), 0xFF645A50u);
  EXPECT_EQ(pic.pixel(1, 0), 0xFF463C32u);
}

TEST(BmpDecoder, HeaderErrorsGiveTheirCodes) {
  const std::vector<uint8_t> rows8 = {0, 0, 0, 0};
  const auto good = make_bmp(2, 1, 8, {1, 2, 3, 0}, rows8);
  bmp_layout layout;
  EXPECT_EQ(read_bmp_layout(good.data(), good.size(), layout), 0);
  EXPECT_EQ(layout.row_bytes, 4u);

  auto code = [&](std::vector<uint8_t> f) { return read_bmp_layout(f.data(), f.size(), layout); };
  auto bad_magic = good;
  bad_magic[1] = 'X';
  EXPECT_EQ(code(bad_magic), 100070);
  EXPECT_EQ(code(std::vector<uint8_t>(good.begin(), good.begin() + 53)), 100070);  // under 54 bytes
  EXPECT_EQ(code({'B', 'M'}), 100070);
  EXPECT_EQ(code(make_bmp(2, 1, 24, {}, {0, 0, 0, 0, 0, 0, 0, 0}, 12)), 100070);  // core header
  auto low_offset = good;
  put32(low_offset, 10, 10);
  EXPECT_EQ(code(low_offset), 100080);
  auto past_end_offset = good;
  put32(past_end_offset, 10, static_cast<uint32_t>(good.size() + 1));
  EXPECT_EQ(code(past_end_offset), 100080);
  EXPECT_EQ(code(make_bmp(8193, 1, 24, {}, {})), 100091);
  EXPECT_EQ(code(make_bmp(1, 8193, 24, {}, {})), 100091);
  EXPECT_EQ(code(make_bmp(0, 1, 24, {}, {0, 0, 0, 0})), 100091);
  EXPECT_EQ(code(make_bmp(-2, 1, 24, {}, {0, 0, 0, 0})), 100091);
  EXPECT_EQ(code(make_bmp(1, 0, 24, {}, {})), 100091);
  EXPECT_EQ(code(make_bmp(2, -1, 24, {}, {0, 0, 0, 0, 0, 0, 0, 0})), 100092);
  EXPECT_EQ(code(make_bmp(2, 1, 8, {1, 2, 3, 0}, rows8, 40, 1)), 100090);  // RLE8
  EXPECT_EQ(code(make_bmp(2, 1, 4, {1, 2, 3, 0}, rows8, 40, 2)), 100090);  // RLE4
  // Rows past the end of the file.
  EXPECT_EQ(code(make_bmp(4, 3, 24, {}, std::vector<uint8_t>(12 * 2, 0))), 100080);
  // The last row's padding may be missing.
  EXPECT_EQ(code(make_bmp(3, 2, 24, {}, std::vector<uint8_t>(12 + 9, 0))), 0);
}

TEST(BmpDecoder, FailuresAreReportedAndLeaveThePictureAlone) {
  owned_picture pic;
  ASSERT_EQ(alloc_picture_buffer(pic.picture, 1, 1, "old"), 0);
  uint8_t* old = pic.picture.pixels;
  quit_flag = 0;
  EXPECT_EQ(decode(make_bmp(2, -1, 24, {}, {0, 0, 0, 0, 0, 0, 0, 0}), pic), -1);
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_EQ(pic.picture.pixels, old);
  EXPECT_EQ(pic.picture.width, 1);
}

TEST(BmpDecoder, PaletteCutByTheFileEndIsBlack) {
  // colours-used says 4 but the file ends inside entry 1: entry 0 is read,
  // the rest are opaque black, nothing is read past the end.
  auto file = make_bmp(1, 1, 8, {9, 8, 7, 0}, {}, 40, 0, 4);
  put32(file, 10, 11);  // pixel data overlaps the header, as odd writers do
  file.push_back(0);
  owned_picture pic;
  ASSERT_EQ(decode(file, pic), 0);
  EXPECT_EQ(pic.pixel(0, 0), 0xFF070809u);  // index data[11] = 0
}

TEST(BmpDecoder, TruncationsAndFlipsNeverCrash) {
  const std::vector<uint8_t> palette = noise_bytes(16 * 4, 2);
  for (uint16_t bits : {1, 4, 8, 24, 32}) {
    const int w = 7, h = 5;
    const size_t stride = bits == 24 ? (w * 3 + 3) / 4 * 4 : bits == 32 ? w * 4 : (w * bits + 31) / 32 * 4;
    const auto file = make_bmp(w, h, bits, bits <= 8 ? palette : std::vector<uint8_t>{}, noise_bytes(stride * h, bits));
    hammer_decoder(file, 1, [](const std::vector<uint8_t>& bytes) {
      owned_picture pic;
      const int status = decode_bmp(bytes.data(), bytes.size(), "h.bmp", pic.picture);
      if (status != 0) {
        EXPECT_EQ(pic.picture.pixels, nullptr);
      }
      return status;
    });
  }
}
