#include "graphics/colour_tone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> pixel(int b, int g, int r, int a = 255) {
  return {uint8_t(b), uint8_t(g), uint8_t(r), uint8_t(a)};
}

std::vector<uint8_t> tone_of(std::vector<uint8_t> src, uint32_t tone) {
  std::vector<uint8_t> dst(src.size());
  int w = int(src.size() / 4);
  apply_colour_tone(dst.data(), src.data(), 0, 0, w - 1, 0, w, w, tone);
  return dst;
}

std::vector<uint8_t> mono_of(std::vector<uint8_t> src, int strength) {
  std::vector<uint8_t> dst(src.size());
  int w = int(src.size() / 4);
  apply_monochrome(dst.data(), src.data(), 0, 0, w - 1, 0, w, w, strength);
  return dst;
}

// Every (B, G, R) on a grid of step 15 plus the extremes, with varied alpha.
std::vector<uint8_t> colour_grid() {
  std::vector<uint8_t> v;
  for (int b = 0; b <= 255; b += 15)
    for (int g = 0; g <= 255; g += 15)
      for (int r = 0; r <= 255; r += 15) {
        auto p = pixel(b, g, r, (b + g + r) & 0xFF);
        v.insert(v.end(), p.begin(), p.end());
      }
  return v;
}

TEST(ColourTone, DocumentedValues) {
  auto src = colour_grid();
  EXPECT_EQ(tone_of(src, 0x808080), src);
  EXPECT_EQ(mono_of(src, 128), src);

  auto lifted = tone_of({0, 0, 0, 7, 128, 128, 128, 9}, 0xFF8080);
  EXPECT_EQ(lifted, (std::vector<uint8_t>{0, 0, 253, 7, 128, 128, 254, 9}));
  auto dark = tone_of({10, 20, 200, 1}, 0x008080);
  EXPECT_EQ(dark, (std::vector<uint8_t>{10, 20, 0, 1}));
  // Each channel byte of the tone drives its own channel.
  auto blue = tone_of({100, 100, 100, 0}, 0x808000);
  EXPECT_EQ(blue, (std::vector<uint8_t>{0, 100, 100, 0}));

  EXPECT_EQ(mono_of(pixel(0, 100, 200), 256), pixel(0, 100, 200));
  EXPECT_EQ(mono_of(pixel(0, 100, 200), 0), pixel(100, 100, 100));
}

TEST(ColourTone, RectangleAndRowLengths) {
  // A 4 x 3 source; the rectangle (1, 1)-(2, 2) lands at the destination's
  // top-left corner of a 3-pixel-wide destination.
  std::vector<uint8_t> src(4 * 3 * 4);
  for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 5);
  std::vector<uint8_t> dst(3 * 2 * 4, 0xAA), mono(3 * 2 * 4, 0xAA);
  apply_colour_tone(dst.data(), src.data(), 1, 1, 2, 2, 4, 3, 0x808080);
  apply_monochrome(mono.data(), src.data(), 1, 1, 2, 2, 4, 3, 128);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x)
      for (int c = 0; c < 4; ++c) {
        uint8_t want = x < 2 ? src[((y + 1) * 4 + x + 1) * 4 + c] : 0xAA;
        EXPECT_EQ(dst[(y * 3 + x) * 4 + c], want);
        EXPECT_EQ(mono[(y * 3 + x) * 4 + c], want);
      }
}

TEST(ColourTone, ToneNeverLeavesTheByteRange) {
  // Toward white the value only rises, toward black it only falls, and the
  // extremes of the tone byte reach (almost) the ends of the range.
  std::vector<uint8_t> ramp;
  for (int v = 0; v < 256; ++v) {
    auto p = pixel(v, v, v, v);
    ramp.insert(ramp.end(), p.begin(), p.end());
  }
  for (int t = 0; t < 256; ++t) {
    auto out = tone_of(ramp, uint32_t(t) * 0x010101u);
    for (int v = 0; v < 256; ++v) {
      for (int c = 0; c < 3; ++c) {
        int r = out[v * 4 + c];
        if (t >= 128) {
          ASSERT_GE(r, v) << t;
        }
        if (t <= 128) {
          ASSERT_LE(r, v) << t;
        }
        if (v > 0) {
          ASSERT_GE(r, out[(v - 1) * 4 + c]) << "monotone, t=" << t;
        }
      }
      ASSERT_EQ(out[v * 4 + 3], v);
    }
  }
}

TEST(ColourTone, MonochromeNeverLeavesTheByteRange) {
  auto src = colour_grid();
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) src.push_back(uint8_t(rng()));
  for (int e = 0; e <= 256; ++e) {
    auto out = mono_of(src, e);
    for (size_t p = 0; p < src.size(); p += 4) {
      int g = (src[p] + src[p + 1] + src[p + 2]) / 3;
      for (int c = 0; c < 3; ++c) {
        int v = src[p + c], r = out[p + c];
        // Toward grey the result stays between the value and grey; away from
        // grey it keeps its side of grey and does not come closer. A wrapped
        // byte breaks one of the two.
        if (e < 128) {
          ASSERT_TRUE((r - v) * (g - v) >= 0 && std::abs(r - v) <= std::abs(g - v)) << e;
        } else {
          ASSERT_TRUE((r - g) * (v - g) >= 0 && std::abs(r - g) >= std::abs(v - g)) << e << " " << v << " " << r;
        }
      }
      ASSERT_EQ(out[p + 3], src[p + 3]);
    }
  }
}

TEST(ColourTone, MonochromeStrengthIsClamped) {
  auto src = colour_grid();
  EXPECT_EQ(mono_of(src, 300), mono_of(src, 256));
  EXPECT_EQ(mono_of(src, 100000), mono_of(src, 256));
  EXPECT_EQ(mono_of(src, -1), mono_of(src, 0));
  EXPECT_EQ(mono_of(src, -128), mono_of(src, 0));
}

}  // namespace
