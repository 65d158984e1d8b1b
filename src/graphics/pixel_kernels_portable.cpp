// The portable kernel set: plain loops, the reference formulas every other set
// must match bit for bit. >> on a negative int is an arithmetic shift (rounds
// toward minus infinity), which the formulas rely on.
//
// The per-pixel blends (slots 12, 13, 14, 18, 19) weigh the fourth byte like a
// colour byte: an opaque source then replaces the whole pixel (a plain store
// in the SIMD sets), and an off-screen composite ends with a usable coverage.
#include <cstring>

#include "graphics/blend_modes.h"
#include "graphics/pixel_kernels_sets.h"

namespace kernels_portable {

namespace {

inline int min_int(int a, int b) { return a < b ? a : b; }
inline int max_int(int a, int b) { return a > b ? a : b; }
inline int prod255(int x, int y) { return x * y / 255; }
inline int quot256(int n, int x) { return n == 0 ? 0 : x * 256 / n; }

}  // namespace

void fill_zero(uint8_t* dst, size_t n) {
  if (n) std::memset(dst, 0, n);
}

void fill_byte(uint8_t* dst, size_t n, int value) {
  if (n) std::memset(dst, value & 0xFF, n);
}

void fill_pixel(uint8_t* dst, size_t n, uint32_t value) {
  for (size_t i = 0; i + 4 <= n; i += 4) std::memcpy(dst + i, &value, 4);
}

void copy(uint8_t* dst, const uint8_t* src, size_t n) {
  if (n) std::memmove(dst, src, n);
}

void crossfade(uint8_t* dst, const uint8_t* src, int w, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(dst[i] + (((src[i] - dst[i]) * w) >> 8));
}

void alpha_blend(uint8_t* dst, const uint8_t* src, int, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    int w = src[i + 3] + 1;
    for (int c = 0; c < 4; ++c) dst[i + c] = uint8_t(dst[i + c] + (((src[i + c] - dst[i + c]) * w) >> 8));
  }
}

void alpha_blend_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    int w = ((o * src[i + 3]) >> 8) + 1;
    for (int c = 0; c < 4; ++c) dst[i + c] = uint8_t(dst[i + c] + (((src[i + c] - dst[i + c]) * w) >> 8));
  }
}

void rule_blend(uint8_t* dst, const uint8_t* src, const uint8_t* mask, int, int, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    int w = rule_table[mask[i]];
    if (w <= 1) continue;
    for (int c = 0; c < 4; ++c) dst[i + c] = uint8_t(dst[i + c] - ((w * (dst[i + c] - src[i + c])) >> 8));
  }
}

void mix_two(uint8_t* dst, const uint8_t* src1, const uint8_t* src2, int w, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(src1[i] + (((src2[i] - src1[i]) * w) >> 8));
}

void add_sat(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(min_int(dst[i] + src[i], 255));
}

void add_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(min_int(dst[i] + ((src[i] * o) >> 8), 255));
}

void add_alpha(uint8_t* dst, const uint8_t* src, int, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    int w = src[i + 3] + 1;
    for (int c = 0; c < 4; ++c) {
      int d = dst[i + c];
      int t = min_int(d + src[i + c], 255);
      dst[i + c] = uint8_t(d + (((t - d) * w) >> 8));
    }
  }
}

void add_alpha_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    int w = (o * (src[i + 3] + 1)) >> 8;
    for (int c = 0; c < 4; ++c) {
      int d = dst[i + c];
      int t = min_int(d + src[i + c], 255);
      dst[i + c] = uint8_t(d + (((t - d) * w) >> 8));
    }
  }
}

void sub_sat(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(max_int(src[i] - dst[i], 0));
}

void multiply(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t((dst[i] * (src[i] + 1)) >> 8);
}

void screen(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int d = dst[i], s = src[i];
    dst[i] = uint8_t(d + s - ((d * (s + 1)) >> 8));
  }
}

void screen_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int d = dst[i], s = src[i];
    int scr = s + d - prod255(s, d);
    dst[i] = uint8_t(d - ((o * (d - scr) + 255) >> 8));
  }
}

void lighten(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(max_int(dst[i], src[i]));
}

void darken(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(min_int(dst[i], src[i]));
}

void linear_burn(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(max_int(dst[i] + src[i] - 255, 0));
}

void linear_light(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(min_int(max_int(dst[i] + 2 * src[i] - 256, 0), 255));
}

void half_scale(uint8_t* dst, const uint8_t* src, size_t src_row_pixels, size_t out_pixels) {
  const uint8_t* below = src + src_row_pixels * 4;
  for (size_t i = 0; i < out_pixels; ++i) {
    const uint8_t* a = src + i * 8;
    const uint8_t* b = below + i * 8;
    for (int c = 0; c < 4; ++c) dst[i * 4 + c] = uint8_t((a[c] + a[c + 4] + b[c] + b[c + 4]) >> 2);
  }
}

namespace {

// Source-over of one pixel onto a destination with its own alpha a_d.
inline void over_pixel(uint8_t* d, const uint8_t* s, int a_d) {
  int a_s = s[3];
  int a_out = (a_d + a_s - prod255(a_d, a_s)) & 0xFF;
  int w = quot256(a_out, a_s);
  for (int c = 0; c < 3; ++c) d[c] = uint8_t(d[c] + (((s[c] - d[c]) * w) >> 8));
  d[3] = uint8_t(a_out);
}

}  // namespace

void alpha_over(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) over_pixel(dst + i, src + i, dst[i + 3]);
}

void alpha_over_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    uint8_t* d = dst + i;
    const uint8_t* s = src + i;
    int a_s = s[3], a_d = d[3];
    int a_out = a_d - ((o * (prod255(a_d, a_s) - a_s) + 255) >> 8);
    // Where the rounded coverage falls below the source alpha the weight would
    // exceed full and push colours past the source (and out of 0..255).
    int ow = min_int(o * quot256(a_out, a_s), 65536);
    for (int c = 0; c < 3; ++c) d[c] = uint8_t(d[c] + (((s[c] - d[c]) * ow) >> 16));
    d[3] = uint8_t(a_out);
  }
}

void alpha_over_fade(uint8_t* dst, const uint8_t* src, int f, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) over_pixel(dst + i, src + i, (f * dst[i + 3]) >> 8);
}

void alpha_over_weighted(uint8_t* dst, const uint8_t* src, int f, int w, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    uint8_t* d = dst + i;
    const uint8_t* s = src + i;
    int a_s = s[3];
    int a_d1 = (f * d[3]) >> 8;
    int a_out = a_d1 + ((w * (a_s - ((a_d1 * (a_s + 1)) >> 8))) >> 8);
    for (int c = 0; c < 3; ++c) {
      // a_s / (a_out + 1) exceeds 1 where the faded coverage is below the
      // source alpha, and the floored step can overshoot: keep the colour
      // between the destination and the source, as every other blend does.
      int r = d[c] + ((((s[c] - d[c]) * w) >> 8) * a_s) / (a_out + 1);
      d[c] = uint8_t(min_int(max_int(r, min_int(d[c], s[c])), max_int(d[c], s[c])));
    }
    d[3] = uint8_t(a_out);
  }
}

}  // namespace kernels_portable
