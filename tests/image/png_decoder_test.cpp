// PNG reader: the PngSuite corpus against its text dumps (with the gamma the
// reader applies), interlaced twins, broken files, and files made in code.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstring>
#include <sstream>

#include "core/engine_state.h"
#include "image/decode_png.h"
#include "image/picture_loader.h"
#include "image_test_util.h"

namespace {

// The parts of an .sng dump the comparison needs.
struct sng_image {
  int width = 0, height = 0, bit_depth = 0;
  std::string using_text;
  std::vector<uint8_t> palette;  // r, g, b per entry
  std::vector<int> trns;
  std::vector<std::string> rows;  // hex digits of each row, blanks removed
};

bool parse_sng(const std::string& text, sng_image& out) {
  std::istringstream in(text);
  std::string line, section;
  bool in_pixels = false;
  while (std::getline(in, line)) {
    if (line.find("IHDR") == 0 || line.find("PLTE") == 0 || line.find("tRNS") == 0 || line.find("IMAGE") == 0 ||
        line.find("gAMA") == 0) {
      section = line.substr(0, 4);
      in_pixels = false;
    }
    if (section == "IHDR") {
      if (auto p = line.find("width:"); p != std::string::npos) out.width = std::atoi(line.c_str() + p + 6);
      if (auto p = line.find("height:"); p != std::string::npos) out.height = std::atoi(line.c_str() + p + 7);
      if (auto p = line.find("bitdepth:"); p != std::string::npos) out.bit_depth = std::atoi(line.c_str() + p + 9);
      if (auto p = line.find("using"); p != std::string::npos) out.using_text = line.substr(p + 6);
    } else if (section == "PLTE") {
      int r, g, b;
      if (std::sscanf(line.c_str(), " ( %d , %d , %d )", &r, &g, &b) == 3) {
        out.palette.push_back(static_cast<uint8_t>(r));
        out.palette.push_back(static_cast<uint8_t>(g));
        out.palette.push_back(static_cast<uint8_t>(b));
      }
    } else if (section == "tRNS") {
      std::string body = line;  // the chunk name has no digits
      for (char& c : body)
        if (!std::isdigit(static_cast<unsigned char>(c))) c = ' ';
      std::istringstream numbers(body);
      int v;
      while (numbers >> v) out.trns.push_back(v);
    } else if (section == "IMAG") {
      if (line.find("pixels hex") != std::string::npos) {
        in_pixels = true;
        continue;
      }
      if (in_pixels && line.find('}') == std::string::npos) {
        std::string hex;
        for (char c : line)
          if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
        if (!hex.empty()) out.rows.push_back(hex);
      }
    }
  }
  return out.width > 0 && static_cast<int>(out.rows.size()) == out.height;
}

// File gamma of the PNG's gAMA chunk, 0 when it has none.
double png_file_gamma(const std::vector<uint8_t>& file) {
  for (size_t i = 8; i + 12 <= file.size();) {
    const uint32_t length = (uint32_t{file[i]} << 24) | (file[i + 1] << 16) | (file[i + 2] << 8) | file[i + 3];
    if (std::memcmp(&file[i + 4], "gAMA", 4) == 0 && length == 4) {
      const uint8_t* v = &file[i + 8];
      return ((uint32_t{v[0]} << 24) | (v[1] << 16) | (v[2] << 8) | v[3]) / 100000.0;
    }
    i += 12 + length;
  }
  return 0;
}

// What a sample of the dump becomes: 8 bits, gamma-corrected for screen 2.2
// when the file carries a gAMA chunk far enough from 1/2.2.
double expected_sample(unsigned value, unsigned max, double file_gamma) {
  double v = static_cast<double>(value) / max;
  if (file_gamma > 0 && std::fabs(file_gamma * 2.2 - 1) > 0.05) v = std::pow(v, 1 / (file_gamma * 2.2));
  return v * 255;
}

unsigned hex_value(const std::string& s, size_t at, size_t digits) {
  return static_cast<unsigned>(std::stoul(s.substr(at, digits), nullptr, 16));
}

}  // namespace

TEST(PngDecoder, PngSuiteMatchesDumpsWithScreenGamma) {
  REQUIRE_TESTDATA(dir);
  const std::string folder = dir + "png/pngsuite/";
  const auto names = list_files(folder, ".png");
  ASSERT_GE(names.size(), 20u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const auto file = read_file_bytes(folder + name);
    std::string sng_name = name.substr(0, name.size() - 4) + ".sng";
    const auto sng_bytes = read_file_bytes(folder + sng_name);
    sng_image sng;
    ASSERT_TRUE(parse_sng(std::string(sng_bytes.begin(), sng_bytes.end()), sng));
    owned_picture pic;
    ASSERT_EQ(decode_png(file.data(), file.size(), name, pic.picture), 0);
    ASSERT_EQ(pic.picture.width, sng.width);
    ASSERT_EQ(pic.picture.height, sng.height);

    const bool palette = sng.using_text.find("palette") != std::string::npos;
    const bool alpha = sng.using_text.find("alpha") != std::string::npos;
    const bool colour = sng.using_text.find("color") != std::string::npos;
    const int channels = palette ? 1 : (colour ? 3 : 1) + (alpha ? 1 : 0);
    EXPECT_EQ(pic.picture.alpha_in_use, alpha && !palette ? 1 : 0);
    const double gamma = png_file_gamma(file);
    const double tolerance = gamma > 0 ? 2.0 : 1.0;
    int bad = 0;
    for (int y = 0; y < sng.height; ++y) {
      const std::string& row = sng.rows[y];
      const size_t digits_per_pixel = row.size() / sng.width;
      const size_t digits = digits_per_pixel / channels;
      const unsigned max = (1u << (4 * digits)) - 1;
      for (int x = 0; x < sng.width; ++x) {
        double r, g, b, a = 255;
        if (palette) {
          // Palette rows are the packed index bytes of the file's depth.
          const size_t bit = size_t(x) * sng.bit_depth;
          const unsigned byte = hex_value(row, bit / 8 * 2, 2);
          const unsigned index = (byte >> (8 - sng.bit_depth - bit % 8)) & ((1u << sng.bit_depth) - 1);
          r = expected_sample(sng.palette[index * 3], 255, gamma);
          g = expected_sample(sng.palette[index * 3 + 1], 255, gamma);
          b = expected_sample(sng.palette[index * 3 + 2], 255, gamma);
          if (index < sng.trns.size()) a = sng.trns[index];
        } else {
          std::vector<unsigned> s;
          for (int c = 0; c < channels; ++c) s.push_back(hex_value(row, x * digits_per_pixel + c * digits, digits));
          r = expected_sample(s[0], max, gamma);
          g = colour ? expected_sample(s[1], max, gamma) : r;
          b = colour ? expected_sample(s[2], max, gamma) : r;
          if (alpha) a = s.back() * 255.0 / max;
        }
        const uint32_t p = pic.pixel(x, y);
        const double got[4] = {double(p & 255), double((p >> 8) & 255), double((p >> 16) & 255), double(p >> 24)};
        const double want[4] = {b, g, r, a};
        for (int c = 0; c < 4; ++c) bad += std::fabs(got[c] - want[c]) > tolerance;
      }
    }
    EXPECT_EQ(bad, 0);
  }
}

TEST(PngDecoder, InterlacedTwinsDecodeIdentically) {
  REQUIRE_TESTDATA(dir);
  // The grey interlaced twin alone carries gAMA 1.0, so it must come out as
  // its plain twin seen through screen gamma 2.2.
  const std::pair<const char*, const char*> twins[] = {{"benchRGB.png", "benchRGB-interlace.png"},
                                                       {"gray-gradient.png", "gray-gradient.interlaced.png"}};
  for (const auto& [plain_name, interlaced_name] : twins) {
    SCOPED_TRACE(plain_name);
    const auto plain = read_file_bytes(dir + "png/" + plain_name);
    const auto interlaced = read_file_bytes(dir + "png/" + interlaced_name);
    owned_picture a, b;
    ASSERT_EQ(decode_png(plain.data(), plain.size(), plain_name, a.picture), 0);
    ASSERT_EQ(decode_png(interlaced.data(), interlaced.size(), interlaced_name, b.picture), 0);
    ASSERT_EQ(png_file_gamma(plain), 0);
    const double gamma = png_file_gamma(interlaced);
    if (gamma == 0) {
      EXPECT_EQ(a.bytes(), b.bytes());
      continue;
    }
    auto pa = a.bytes(), pb = b.bytes();
    ASSERT_EQ(pa.size(), pb.size());
    int bad = 0;
    for (size_t i = 0; i < pa.size(); ++i) {
      const double want = i % 4 == 3 ? pa[i] : expected_sample(pa[i], 255, gamma);
      bad += std::fabs(want - pb[i]) > 1;
    }
    EXPECT_EQ(bad, 0);
  }
}

TEST(PngDecoder, BrokenFilesFailAndLeaveThePictureAlone) {
  REQUIRE_TESTDATA(dir);
  const auto names = list_files(dir + "png/invalid/", ".png");
  ASSERT_EQ(names.size(), 5u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const auto file = read_file_bytes(dir + "png/invalid/" + name);
    owned_picture pic;
    ASSERT_EQ(alloc_picture_buffer(pic.picture, 2, 3, "old"), 0);
    uint8_t* old = pic.picture.pixels;
    quit_flag = 0;
    EXPECT_NE(decode_png(file.data(), file.size(), name, pic.picture), 0);
    EXPECT_EQ(quit_flag.load(), 1);
    EXPECT_EQ(pic.picture.pixels, old);
    EXPECT_EQ(pic.picture.width, 2);
    EXPECT_EQ(pic.picture.height, 3);
  }
}

namespace {

// Every PNG colour type and depth made from one pattern, plain and
// interlaced; the interlaced twin must decode to the same pixels.
struct made_png {
  int color_type, bit_depth;
  std::vector<uint8_t> palette, trns;
};

std::vector<uint8_t> pattern_rows(int width, int height, int color_type, int bit_depth) {
  const int channels = color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_PALETTE ? 1
                       : color_type == PNG_COLOR_TYPE_GRAY_ALPHA                                ? 2
                       : color_type == PNG_COLOR_TYPE_RGB                                       ? 3
                                                                                                : 4;
  const size_t stride = (size_t(width) * channels * bit_depth + 7) / 8;
  std::vector<uint8_t> rows(stride * height, 0);
  const unsigned max = (1u << bit_depth) - 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        unsigned v = (x * 7 + y * 13 + c * 29) % (max + 1);
        if (color_type == PNG_COLOR_TYPE_PALETTE) v %= bit_depth == 2 ? 4 : bit_depth == 1 ? 2 : 5;
        const size_t bit = (size_t(x) * channels + c) * bit_depth;
        uint8_t* row = &rows[stride * y];
        if (bit_depth == 16) {
          row[bit / 8] = static_cast<uint8_t>(v >> 8);
          row[bit / 8 + 1] = static_cast<uint8_t>(v);
        } else if (bit_depth == 8) {
          row[bit / 8] = static_cast<uint8_t>(v);
        } else {
          row[bit / 8] |= static_cast<uint8_t>(v << (8 - bit_depth - bit % 8));
        }
      }
    }
  }
  return rows;
}

}  // namespace

TEST(PngDecoder, EveryTypeAndDepthPlainAndInterlacedAgree) {
  const made_png cases[] = {
      {PNG_COLOR_TYPE_GRAY, 1, {}, {}},         {PNG_COLOR_TYPE_GRAY, 2, {}, {}},
      {PNG_COLOR_TYPE_GRAY, 4, {}, {}},         {PNG_COLOR_TYPE_GRAY, 8, {}, {}},
      {PNG_COLOR_TYPE_GRAY, 16, {}, {}},        {PNG_COLOR_TYPE_GRAY, 8, {}, {20}},
      {PNG_COLOR_TYPE_RGB, 8, {}, {}},          {PNG_COLOR_TYPE_RGB, 16, {}, {}},
      {PNG_COLOR_TYPE_GRAY_ALPHA, 8, {}, {}},   {PNG_COLOR_TYPE_GRAY_ALPHA, 16, {}, {}},
      {PNG_COLOR_TYPE_RGB_ALPHA, 8, {}, {}},    {PNG_COLOR_TYPE_RGB_ALPHA, 16, {}, {}},
      {PNG_COLOR_TYPE_PALETTE, 1, {10, 20, 30, 40, 50, 60}, {}},
      {PNG_COLOR_TYPE_PALETTE, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {0, 128}},
      {PNG_COLOR_TYPE_PALETTE, 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {0, 255}},
      {PNG_COLOR_TYPE_PALETTE, 8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.color_type << " depth " << c.bit_depth);
    const int w = 13, h = 11;
    const auto rows = pattern_rows(w, h, c.color_type, c.bit_depth);
    const auto plain = encode_png(w, h, c.color_type, c.bit_depth, false, rows, c.palette, c.trns);
    const auto interlaced = encode_png(w, h, c.color_type, c.bit_depth, true, rows, c.palette, c.trns);
    ASSERT_FALSE(plain.empty());
    owned_picture a, b;
    ASSERT_EQ(decode_png(plain.data(), plain.size(), "plain.png", a.picture), 0);
    ASSERT_EQ(decode_png(interlaced.data(), interlaced.size(), "interlaced.png", b.picture), 0);
    EXPECT_EQ(a.bytes(), b.bytes());
    const bool alpha = c.color_type == PNG_COLOR_TYPE_GRAY_ALPHA || c.color_type == PNG_COLOR_TYPE_RGB_ALPHA;
    EXPECT_EQ(a.picture.alpha_in_use, alpha ? 1 : 0);
    if (c.color_type == PNG_COLOR_TYPE_RGB && c.bit_depth == 8) {
      // Pixel (1, 2): samples 7+26+0, 7+26+29, 7+26+58 -> R, G, B; stored B, G, R, 255.
      EXPECT_EQ(a.pixel(1, 2), 0xFF000000u | (33u << 16) | (62u << 8) | 91u);
    }
    if (c.color_type == PNG_COLOR_TYPE_GRAY && c.bit_depth == 8 && c.trns.empty()) {
      EXPECT_EQ(a.pixel(1, 2), 0xFF212121u);  // opaque grey 33
    }
    if (c.color_type == PNG_COLOR_TYPE_GRAY && !c.trns.empty()) {
      // Grey 20 is the transparent key.
      bool seen = false;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          if ((a.pixel(x, y) & 0xFF) == 20) {
            EXPECT_EQ(a.pixel(x, y) >> 24, 0u);
            seen = true;
          }
      EXPECT_TRUE(seen);
    }
    if (c.color_type == PNG_COLOR_TYPE_PALETTE && c.bit_depth == 4) {
      // Index 0 is transparent through tRNS, yet the flag stays 0.
      EXPECT_EQ(a.pixel(0, 0), 0x00010203u);
      EXPECT_EQ(a.picture.alpha_in_use, 0);
    }
    if (c.color_type == PNG_COLOR_TYPE_RGB_ALPHA && c.bit_depth == 16) {
      // 16-bit samples keep their high byte.
      const unsigned r = (1 * 7 + 2 * 13) % 65536, a16 = (1 * 7 + 2 * 13 + 3 * 29) % 65536;
      EXPECT_EQ(a.pixel(1, 2) >> 24, a16 >> 8);
      EXPECT_EQ((a.pixel(1, 2) >> 16) & 255, r >> 8);
    }
  }
}

TEST(PngDecoder, PaletteExpansionMatchesLibpngIncludingGamma) {
  // Palette files are expanded by the reader itself; libpng's own expansion
  // (with the same gamma) must give the same colours.
  const std::vector<uint8_t> palette = noise_bytes(3 * 16, 7);
  const std::vector<uint8_t> trns = {0, 40, 255, 128};
  const auto rows = pattern_rows(16, 9, PNG_COLOR_TYPE_PALETTE, 8);
  for (double gamma : {0.0, 1.0, 0.45455, 0.7}) {
    SCOPED_TRACE(gamma);
    const auto file = encode_png(16, 9, PNG_COLOR_TYPE_PALETTE, 8, false, rows, palette, trns, gamma);
    owned_picture ours;
    ASSERT_EQ(decode_png(file.data(), file.size(), "p.png", ours.picture), 0);

    std::vector<uint8_t> expected;
    {
      png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
      png_infop info = png_create_info_struct(png);
      struct reader_state {
        const std::vector<uint8_t>* f;
        size_t at;
      } rs{&file, 0};
      png_set_read_fn(png, &rs, [](png_structp p, png_bytep out, png_size_t n) {
        auto* s = static_cast<reader_state*>(png_get_io_ptr(p));
        std::memcpy(out, s->f->data() + s->at, n);
        s->at += n;
      });
      png_read_info(png, info);
      png_set_expand(png);
      png_set_bgr(png);
      png_set_filler(png, 0xff, PNG_FILLER_AFTER);
      double g = 0;
      if (png_get_gAMA(png, info, &g)) png_set_gamma(png, static_cast<double>(2.2f), g);
      png_read_update_info(png, info);
      expected.resize(16 * 9 * 4);
      for (int y = 0; y < 9; ++y) png_read_row(png, expected.data() + y * 64, nullptr);
      png_destroy_read_struct(&png, &info, nullptr);
    }
    EXPECT_EQ(ours.bytes(), expected);
  }
}

TEST(PngDecoder, PaletteIndexPastThePaletteFails) {
  std::vector<uint8_t> rows = {0, 1, 2, 3};
  const auto file = encode_png(4, 1, PNG_COLOR_TYPE_PALETTE, 8, false, rows, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  owned_picture pic;
  EXPECT_NE(decode_png(file.data(), file.size(), "p.png", pic.picture), 0);
  EXPECT_EQ(pic.picture.pixels, nullptr);
  rows[3] = 2;
  const auto good = encode_png(4, 1, PNG_COLOR_TYPE_PALETTE, 8, false, rows, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(decode_png(good.data(), good.size(), "p.png", pic.picture), 0);
}

TEST(PngDecoder, SizeLimitIs8192EachWay) {
  std::vector<uint8_t> row(8193, 0x55);
  const auto wide = encode_png(8193, 1, PNG_COLOR_TYPE_GRAY, 8, false, row);
  const auto tall = encode_png(1, 8193, PNG_COLOR_TYPE_GRAY, 8, false, row);
  const auto edge = encode_png(8192, 1, PNG_COLOR_TYPE_GRAY, 8, false, row);
  owned_picture pic;
  quit_flag = 0;
  EXPECT_NE(decode_png(wide.data(), wide.size(), "wide.png", pic.picture), 0);
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_NE(decode_png(tall.data(), tall.size(), "tall.png", pic.picture), 0);
  EXPECT_EQ(pic.picture.pixels, nullptr);
  EXPECT_EQ(decode_png(edge.data(), edge.size(), "edge.png", pic.picture), 0);
  EXPECT_EQ(pic.picture.width, 8192);
}

TEST(PngDecoder, TransparentPixelsAreNormalisedByTheLoader) {
  // Red at alpha 0, then opaque blue.
  const std::vector<uint8_t> rgba = {255, 0, 0, 0, 0, 0, 255, 255};
  const auto file = encode_png(2, 1, PNG_COLOR_TYPE_RGB_ALPHA, 8, false, rgba);
  owned_picture pic;
  ASSERT_EQ(decode_picture_bytes(picture_type_png, file.data(), file.size(), "a.png", pic.picture), 0);
  EXPECT_EQ(pic.pixel(0, 0), transparent_pixel_value);
  EXPECT_EQ(pic.pixel(1, 0), 0xFF0000FFu);
  EXPECT_EQ(pic.picture.alpha_in_use, 1);
}

TEST(PngDecoder, TruncationsAndFlipsNeverCrash) {
  const auto rows = pattern_rows(9, 7, PNG_COLOR_TYPE_RGB_ALPHA, 8);
  const auto file = encode_png(9, 7, PNG_COLOR_TYPE_RGB_ALPHA, 8, true, rows);
  const auto palette_rows = pattern_rows(9, 7, PNG_COLOR_TYPE_PALETTE, 4);
  const auto palette_file = encode_png(9, 7, PNG_COLOR_TYPE_PALETTE, 4, false, palette_rows, noise_bytes(15, 3));
  for (const auto* f : {&file, &palette_file}) {
    const int ok = hammer_decoder(*f, 1, [](const std::vector<uint8_t>& bytes) {
      owned_picture pic;
      const int status = decode_png(bytes.data(), bytes.size(), "h.png", pic.picture);
      if (status != 0) {
        EXPECT_EQ(pic.picture.pixels, nullptr);
      }
      return status;
    });
    (void)ok;  // every chunk is CRC-checked, so nearly every change fails
  }
}
