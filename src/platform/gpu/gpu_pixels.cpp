#include "platform/gpu/gpu_pixels.h"

#include <algorithm>
#include <vector>

namespace {
// Nearest of the 16 levels 0, 17, ..., 255 for a value that error diffusion
// may have pushed outside 0..255.
int nearest_level(int v) {
  if (v <= 0) return 0;
  if (v >= 255) return 15;
  return (v + 8) / 17;
}
}  // namespace

void quantise_4444(const uint8_t* bgra, size_t stride, int width, int height, bool dither, uint16_t* out) {
  if (width <= 0 || height <= 0) return;
  // Errors in sixteenths, for this row and the next, one slot of margin on
  // each side; channels in B, G, R, A order.
  std::vector<int> err_this, err_next;
  if (dither) {
    err_this.assign((size_t(width) + 2) * 4, 0);
    err_next.assign((size_t(width) + 2) * 4, 0);
  }
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = bgra + size_t(y) * stride;
    for (int x = 0; x < width; ++x) {
      int level[4];
      for (int c = 0; c < 4; ++c) {
        int v = row[size_t(x) * 4 + c];
        if (dither) {
          const int e = err_this[(size_t(x) + 1) * 4 + c];
          // Round the sixteenths toward zero symmetrically.
          v += e >= 0 ? (e + 8) / 16 : -((-e + 8) / 16);
        }
        level[c] = nearest_level(v);
        if (dither) {
          const int e = (v - level[c] * 17) * 16;
          err_this[(size_t(x) + 2) * 4 + c] += e * 7 / 16;
          err_next[(size_t(x) + 0) * 4 + c] += e * 3 / 16;
          err_next[(size_t(x) + 1) * 4 + c] += e * 5 / 16;
          err_next[(size_t(x) + 2) * 4 + c] += e * 1 / 16;
        }
      }
      out[size_t(y) * size_t(width) + size_t(x)] =
          static_cast<uint16_t>((level[2] << 12) | (level[1] << 8) | (level[0] << 4) | level[3]);
    }
    if (dither) {
      err_this.swap(err_next);
      std::fill(err_next.begin(), err_next.end(), 0);
    }
  }
}
