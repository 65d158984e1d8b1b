// A 24-bit bottom-up BMP made in memory, for pictures the tests load.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// w x h pixels whose (x, y) is colour(x, y) = 0xRRGGBB.
template <class F>
std::vector<uint8_t> bmp24(int w, int h, F colour) {
  const int stride = (w * 3 + 3) & ~3;
  std::vector<uint8_t> b(54 + size_t(stride) * size_t(h), 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, uint32_t(b.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, uint32_t(w));
  put32(22, uint32_t(h));
  b[26] = 1;
  b[28] = 24;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colour(x, y);
      uint8_t* p = &b[54 + size_t(h - 1 - y) * size_t(stride) + size_t(x) * 3];
      p[0] = uint8_t(c);
      p[1] = uint8_t(c >> 8);
      p[2] = uint8_t(c >> 16);
    }
  return b;
}
