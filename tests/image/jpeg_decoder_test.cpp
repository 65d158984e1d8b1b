// JPEG reader: the corpus against djpeg, greyscale, CMYK, cut files (which
// must end, not loop), and hostile bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "core/engine_state.h"
#include "image/decode_jpeg.h"
#include "image/picture_loader.h"
#include "image_test_util.h"
#include "support/temp_folder.h"

namespace {

// Reads a binary PPM/PGM file.
bool read_pnm(const std::string& path, int& width, int& height, int& channels, std::vector<uint8_t>& samples) {
  const auto file = read_file_bytes(path);
  // Header: P5/P6, width, height, maxval, one blank.
  if (file.size() < 3 || file[0] != 'P') return false;
  channels = file[1] == '6' ? 3 : 1;
  size_t at = 2;
  int values[3];
  for (int& v : values) {
    while (at < file.size() && std::isspace(file[at])) ++at;
    v = 0;
    while (at < file.size() && std::isdigit(file[at])) v = v * 10 + (file[at++] - '0');
  }
  ++at;
  width = values[0];
  height = values[1];
  if (at > file.size()) return false;
  samples.assign(file.begin() + static_cast<long>(at), file.end());
  return samples.size() == size_t(width) * height * channels;
}

// Decodes with djpeg (libjpeg-turbo's own tool); false when the tool is
// missing or fails.
bool djpeg_reference(const std::string& jpeg_path, int& width, int& height, int& channels,
                     std::vector<uint8_t>& samples) {
  temp_folder tmp;
  const std::string out = tmp.path() + "ref.pnm";
  const std::string command = "djpeg -pnm -outfile '" + out + "' '" + jpeg_path + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return false;
  return read_pnm(out, width, height, channels, samples);
}

bool have_djpeg() { return std::system("command -v djpeg >/dev/null 2>&1") == 0; }

}  // namespace

TEST(JpegDecoder, CorpusMatchesDjpegExactly) {
  REQUIRE_TESTDATA(dir);
  if (!have_djpeg()) GTEST_SKIP() << "djpeg (libjpeg-turbo-progs) is not installed";
  for (const char* name : {"video-001.jpeg", "video-001.progressive.jpeg", "video-001.q50.420.jpeg",
                           "video-001.q50.444.jpeg", "video-005.gray.jpeg", "video-001.progressive.truncated.jpeg"}) {
    SCOPED_TRACE(name);
    const std::string path = dir + "jpeg/" + name;
    const auto file = read_file_bytes(path);
    int w = 0, h = 0, channels = 0;
    std::vector<uint8_t> ref;
    ASSERT_TRUE(djpeg_reference(path, w, h, channels, ref));
    owned_picture pic;
    ASSERT_EQ(decode_jpeg(file.data(), file.size(), name, pic.picture), 0);
    ASSERT_EQ(pic.picture.width, w);
    ASSERT_EQ(pic.picture.height, h);
    EXPECT_EQ(pic.picture.alpha_in_use, 0);
    int bad = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* s = &ref[(size_t(y) * w + x) * channels];
        const uint32_t want = channels == 3 ? 0xFF000000u | (s[0] << 16) | (s[1] << 8) | s[2]
                                            : 0xFF000000u | (s[0] << 16) | (s[0] << 8) | s[0];
        bad += pic.pixel(x, y) != want;
      }
    EXPECT_EQ(bad, 0);
  }
}

TEST(JpegDecoder, CorpusMatchesReferencePngsClosely) {
  REQUIRE_TESTDATA(dir);
  // Other decoders made these references: allow a few levels.
  const std::pair<const char*, const char*> pairs[] = {{"video-001.jpeg", "video-001.png"},
                                                       {"video-005.gray.jpeg", "video-005.gray.png"},
                                                       {"video-001.progressive.truncated.jpeg",
                                                        "video-001.progressive.truncated.png"}};
  for (const auto& [jpeg_name, png_name] : pairs) {
    SCOPED_TRACE(jpeg_name);
    const auto file = read_file_bytes(dir + "jpeg/" + jpeg_name);
    int w, h;
    std::vector<uint8_t> rgba;
    ASSERT_TRUE(reference_decode_rgba(read_file_bytes(dir + "jpeg/" + png_name), w, h, rgba));
    owned_picture pic;
    ASSERT_EQ(decode_jpeg(file.data(), file.size(), jpeg_name, pic.picture), 0);
    ASSERT_EQ(pic.picture.width, w);
    ASSERT_EQ(pic.picture.height, h);
    double total = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint32_t p = pic.pixel(x, y);
        const uint8_t* r = &rgba[(size_t(y) * w + x) * 4];
        const int d[3] = {std::abs(int((p >> 16) & 255) - r[0]), std::abs(int((p >> 8) & 255) - r[1]),
                          std::abs(int(p & 255) - r[2])};
        for (int v : d) total += v;
        EXPECT_EQ(p >> 24, 255u);
      }
    EXPECT_LT(total / (double(w) * h * 3), 3.0);
  }
}

TEST(JpegDecoder, CmykFileMatchesImageMagicksConversion) {
  REQUIRE_TESTDATA(dir);
  if (std::system("command -v convert >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick convert is not installed";
  const std::string path = dir + "jpeg/video-001.cmyk.jpeg";
  temp_folder tmp;
  const std::string out = tmp.path() + "ref.ppm";
  ASSERT_EQ(std::system(("convert '" + path + "' -colorspace sRGB '" + out + "' 2>/dev/null").c_str()), 0);
  int w = 0, h = 0, channels = 0;
  std::vector<uint8_t> ref;
  ASSERT_TRUE(read_pnm(out, w, h, channels, ref));
  ASSERT_EQ(channels, 3);
  const auto file = read_file_bytes(path);
  owned_picture pic;
  ASSERT_EQ(decode_jpeg(file.data(), file.size(), "cmyk.jpg", pic.picture), 0);
  ASSERT_EQ(pic.picture.width, w);
  double total = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t p = pic.pixel(x, y);
      const uint8_t* r = &ref[(size_t(y) * w + x) * 3];
      total += std::abs(int((p >> 16) & 255) - r[0]) + std::abs(int((p >> 8) & 255) - r[1]) +
               std::abs(int(p & 255) - r[2]);
    }
  EXPECT_LT(total / (double(w) * h * 3), 1.0);
}

TEST(JpegDecoder, GreyFileLoadsAsOpaqueGrey) {
  std::vector<uint8_t> grey(24 * 16);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i * 3);
  const auto file = encode_jpeg(24, 16, 1, grey, false, 100);
  owned_picture pic;
  ASSERT_EQ(decode_jpeg(file.data(), file.size(), "g.jpg", pic.picture), 0);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 24; ++x) {
      const uint32_t p = pic.pixel(x, y);
      ASSERT_EQ(p >> 24, 255u);
      ASSERT_EQ(p & 255, (p >> 8) & 255);
      ASSERT_EQ(p & 255, (p >> 16) & 255);
    }
}

TEST(JpegDecoder, BaselineAndProgressiveTwinsAgree) {
  const auto rgb = noise_bytes(40 * 24 * 3, 11);
  const auto baseline = encode_jpeg(40, 24, 3, rgb, false, 95);
  const auto progressive = encode_jpeg(40, 24, 3, rgb, true, 95);
  owned_picture a, b;
  ASSERT_EQ(decode_jpeg(baseline.data(), baseline.size(), "a.jpg", a.picture), 0);
  ASSERT_EQ(decode_jpeg(progressive.data(), progressive.size(), "b.jpg", b.picture), 0);
  EXPECT_EQ(a.bytes(), b.bytes());
}

TEST(JpegDecoder, SizeLimitAndFailuresLeaveThePictureAlone) {
  std::vector<uint8_t> row(8193 * 3, 100);
  const auto wide = encode_jpeg(8193, 1, 3, row, false);
  owned_picture pic;
  ASSERT_EQ(alloc_picture_buffer(pic.picture, 1, 1, "old"), 0);
  uint8_t* old = pic.picture.pixels;
  quit_flag = 0;
  EXPECT_EQ(decode_jpeg(wide.data(), wide.size(), "wide.jpg", pic.picture), -3);
  EXPECT_EQ(quit_flag.load(), 1);
  const std::vector<uint8_t> junk = {0xFF, 0xD8, 0xFF, 0x00, 1, 2, 3};
  EXPECT_EQ(decode_jpeg(junk.data(), junk.size(), "junk.jpg", pic.picture), -2);
  EXPECT_EQ(decode_jpeg(nullptr, 0, "empty.jpg", pic.picture), -2);
  EXPECT_EQ(pic.picture.pixels, old);
  // Through the loader a JPEG failure is reported as well.
  quit_flag = 0;
  EXPECT_EQ(decode_picture_bytes(picture_type_jpeg, junk.data(), junk.size(), "junk.jpg", pic.picture), -1);
  EXPECT_EQ(quit_flag.load(), 1);
}

TEST(JpegDecoder, EveryCutEndsAndFlipsNeverCrash) {
  // A cut file used to be fed again and again; with the end marker each cut
  // ends, decoding what it has or failing.
  const auto rgb = noise_bytes(32 * 16 * 3, 5);
  for (bool progressive : {false, true}) {
    const auto file = encode_jpeg(32, 16, 3, rgb, progressive, 80);
    hammer_decoder(file, progressive ? 1 : 2, [](const std::vector<uint8_t>& bytes) {
      owned_picture pic;
      const int status = decode_jpeg(bytes.data(), bytes.size(), "h.jpg", pic.picture);
      if (status != 0) {
        EXPECT_EQ(pic.picture.pixels, nullptr);
      }
      return status;
    });
  }
}
