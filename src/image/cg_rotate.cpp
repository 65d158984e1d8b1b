#include "image/cg_rotate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "graphics/presentation.h"
#include "image/cg_ops_util.h"
#include "image/cg_picture.h"

namespace {

enum class kernel_kind { clear, keep, bilinear };

inline int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}
inline int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

// The whole numbers X with lo <= f0 + d * X <= hi, intersected into [xa, xb].
void intersect_linear(int64_t f0, int64_t d, int64_t lo, int64_t hi, int64_t& xa, int64_t& xb) {
  if (d == 0) {
    if (f0 < lo || f0 > hi) xb = xa - 1;
    return;
  }
  int64_t a, b;
  if (d > 0) {
    a = ceil_div(lo - f0, d);
    b = floor_div(hi - f0, d);
  } else {
    a = ceil_div(hi - f0, d);
    b = floor_div(lo - f0, d);
  }
  xa = std::max(xa, a);
  xb = std::min(xb, b);
}

inline uint32_t load_pixel(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store_pixel(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Bilinear: byte = top + ((bottom - top) * fy >> 8), top and bottom mixed the
// same way along the row (s10 is the right neighbour, s01 the lower one).
inline void bilinear_pixel_portable(uint8_t* out, const uint8_t* s00, const uint8_t* s10, const uint8_t* s01,
                                    const uint8_t* s11, int fx, int fy) {
  for (int c = 0; c < 4; ++c) {
    const int top = s00[c] + (((s10[c] - s00[c]) * fx) >> 8);
    const int bottom = s01[c] + (((s11[c] - s01[c]) * fx) >> 8);
    out[c] = static_cast<uint8_t>(top + (((bottom - top) * fy) >> 8));
  }
}

#if defined(__SSE2__)
// The same bytes: a + ((b - a) * f >> 8) equals (a * (256 - f) + b * f) >> 8
// for whole a (the floor of a whole number plus a fraction), and those sums
// fit 16 unsigned bits.
inline void bilinear_pixel_sse2(uint8_t* out, const uint8_t* s00, const uint8_t* s10, const uint8_t* s01,
                                const uint8_t* s11, int fx, int fy) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = _mm_unpacklo_epi8(
      _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(load_pixel(s00))), _mm_cvtsi32_si128(int(load_pixel(s01)))), zero);
  const __m128i b = _mm_unpacklo_epi8(
      _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(load_pixel(s10))), _mm_cvtsi32_si128(int(load_pixel(s11)))), zero);
  const __m128i h = _mm_srli_epi16(
      _mm_add_epi16(_mm_mullo_epi16(a, _mm_set1_epi16(short(256 - fx))), _mm_mullo_epi16(b, _mm_set1_epi16(short(fx)))),
      8);  // top | bottom
  const __m128i wy = _mm_set_epi16(short(fy), short(fy), short(fy), short(fy), short(256 - fy), short(256 - fy),
                                   short(256 - fy), short(256 - fy));
  __m128i v = _mm_mullo_epi16(h, wy);
  v = _mm_srli_epi16(_mm_add_epi16(v, _mm_srli_si128(v, 8)), 8);
  store_pixel(out, uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(v, v))));
}
#endif

// 0, 90, 180 and 270 degrees: exact pixel moves. The rotated picture of a
// quarter turn is H wide and W tall, centred in the frame.
void rotate_exact(uint8_t* dst, const uint8_t* src, int W, int H, int a, kernel_kind kind) {
  const size_t stride = size_t(W) * 4;
  if (a == 0) {
    for (int y = 0; y < H; ++y) pixel_kernels.kernel_copy(dst + size_t(y) * stride, src + size_t(y) * stride, stride);
    return;
  }
  if (a == 180) {
    for (int y = 0; y < H; ++y) {
      const uint8_t* in = src + size_t(H - 1 - y) * stride;
      uint8_t* out = dst + size_t(y) * stride;
      for (int x = 0; x < W; ++x) store_pixel(out + size_t(x) * 4, load_pixel(in + size_t(W - 1 - x) * 4));
    }
    return;
  }
  const int64_t cx = W / 2, cy = H / 2;
  // Source of (X, Y): 90: (cx + cy - Y, cy - cx + X); 270: (cx - cy + Y, cy + cx - X).
  const bool quarter = a == 90;
  int64_t col_first = quarter ? cx - cy : cx + cy - H + 1;
  int64_t col_last = col_first + H - 1;
  for (int y = 0; y < H; ++y) {
    uint8_t* out = dst + size_t(y) * stride;
    const int64_t sx = quarter ? cx + cy - y : cx - cy + y;
    const bool row_inside = sx >= 0 && sx < W;
    for (int x = 0; x < W; ++x) {
      const bool col_inside = x >= col_first && x <= col_last;
      if (!col_inside) {
        store_pixel(out + size_t(x) * 4, 0);  // outside the footprint in every mode
        continue;
      }
      if (!row_inside) {
        if (kind != kernel_kind::keep) store_pixel(out + size_t(x) * 4, 0);
        continue;
      }
      const int64_t sy = quarter ? cy - cx + x : cy + cx - x;
      store_pixel(out + size_t(x) * 4, load_pixel(src + size_t(sy) * stride + size_t(sx) * 4));
    }
  }
}

void rotate_general(uint8_t* dst, const uint8_t* src, int W, int H, int a, kernel_kind kind) {
  const rotation_factors f = rotation_factors_for(a);
  const int64_t cf = f.cf, sf = f.sf;
  const int64_t cx = W / 2, cy = H / 2;
  const size_t stride = size_t(W) * 4;
  const int64_t max_x = (int64_t{W} << 16) - 1, max_y = (int64_t{H} << 16) - 1;
#if defined(__SSE2__)
  auto* bilinear_pixel = presentation_settings.simd ? bilinear_pixel_sse2 : bilinear_pixel_portable;
#else
  auto* bilinear_pixel = bilinear_pixel_portable;
#endif
  for (int y = 0; y < H; ++y) {
    uint8_t* out = dst + size_t(y) * stride;
    // 64-bit positions: the products reach 2^30 and more for wide pictures.
    const int64_t sx0 = (cx << 16) - cf * cx - sf * (y - cy);
    const int64_t sy0 = (cy << 16) - sf * cx + cf * (y - cy);
    // The span: columns whose source point lies on the picture, never the
    // last column.
    int64_t xs = 0, xe = W - 2;
    intersect_linear(sx0, cf, 0, max_x, xs, xe);
    intersect_linear(sy0, sf, 0, max_y, xs, xe);
    if (kind != kernel_kind::keep) {
      if (xe < xs) {
        pixel_kernels.kernel_fill_byte(out, stride, 0);
        continue;
      }
      if (xs > 0) pixel_kernels.kernel_fill_byte(out, size_t(xs) * 4, 0);
      pixel_kernels.kernel_fill_byte(out + size_t(xe + 1) * 4, size_t(W - 1 - xe) * 4, 0);
    }
    if (xe < xs) continue;
    if (kind != kernel_kind::bilinear) {
      int64_t sx = sx0 + cf * xs, sy = sy0 + sf * xs;
      for (int64_t x = xs; x <= xe; ++x, sx += cf, sy += sf)
        store_pixel(out + size_t(x) * 4, load_pixel(src + size_t(sy >> 16) * stride + size_t(sx >> 16) * 4));
      continue;
    }
    // Bilinear toward the source point of the next destination pixel in the
    // row, (sx + Cf, sy + Sf): between 0 and 90 degrees it lies right of and
    // below the sample point, and a neighbour outside the picture leaves the
    // pixel at the background fill. Where Cf or Sf is negative that point lies
    // left of or above the sample while the fraction weighs toward the right
    // or lower pixel, so on that axis the next pixel is taken instead (the
    // last column or row repeating).
    int64_t sx = sx0 + cf * xs, sy = sy0 + sf * xs;
    for (int64_t x = xs; x <= xe; ++x, sx += cf, sy += sf) {
      const int64_t x0 = sx >> 16, y0 = sy >> 16;
      const int64_t x1 = cf >= 0 ? (sx + cf) >> 16 : std::min<int64_t>(x0 + 1, W - 1);
      const int64_t y1 = sf >= 0 ? (sy + sf) >> 16 : std::min<int64_t>(y0 + 1, H - 1);
      if (x1 >= W || y1 >= H) {
        store_pixel(out + size_t(x) * 4, 0);
        continue;
      }
      const int fx = int((sx >> 8) & 255), fy = int((sy >> 8) & 255);
      bilinear_pixel(out + size_t(x) * 4, src + size_t(y0) * stride + size_t(x0) * 4,
                     src + size_t(y0) * stride + size_t(x1) * 4, src + size_t(y1) * stride + size_t(x0) * 4,
                     src + size_t(y1) * stride + size_t(x1) * 4, fx, fy);
    }
  }
}

void rotate_kernel(uint8_t* dst, const uint8_t* src, int W, int H, int64_t angle, kernel_kind kind) {
  if (!dst || !src || W <= 0 || H <= 0) return;
  const int a = normalise_angle(angle);
  if (a % 90 == 0)
    rotate_exact(dst, src, W, H, a, kind);
  else
    rotate_general(dst, src, W, H, a, kind);
}

int rotate_entry(object_node* first, object_node* second, int64_t angle, int n, kernel_kind kind) {
  cg_record* from = cg_ops::picture_record(first);
  if (!from) return 0;
  object_node* to_node = n >= 1 ? second : first;
  cg_record* to = layer_record(to_node);
  if (!to) return 0;
  const int W = from->width, H = from->height;
  const uint8_t first_alpha = from->alpha_in_use;
  // Straight into the second layer only when its picture has this shape; a
  // block of the same pixel count but other proportions would receive rows of
  // the wrong length.
  const bool direct = n >= 1 && to->pixels && to->width == W && to->height == H;
  picture_buffer fresh;
  uint8_t* dst = nullptr;
  if (direct) {
    dst = to->pixels;
  } else {
    if (cg_ops::refuse_picture_size(W, H)) return -1;
    if (alloc_picture_buffer(fresh, W, H, std::string()) != 0) return -1;
    // Pixels mode 12 leaves alone (outside the rotated picture) are
    // transparent black in a new picture.
    std::memset(fresh.pixels, 0, size_t(W) * 4 * size_t(H));
    dst = fresh.pixels;
  }
  const uint8_t* src = from->pixels;
  cg_ops::block_copy copy;
  if (direct && cg_ops::blocks_overlap(src, cg_ops::block_bytes(W, H), dst, cg_ops::block_bytes(W, H))) {
    if (!copy.take(src, W, H)) return -1;
    src = copy.pixels;
  }
  rotate_kernel(dst, src, W, H, angle, kind);
  if (direct) {
    note_layer_pixels_changed(to);
    mark_layer_dirty(to_node);
  } else {
    commit_cg_buffer(to, fresh, to_node);
  }
  to->alpha_in_use = angle % 180 != 0 ? 1 : first_alpha;
  return 0;
}

}  // namespace

int normalise_angle(int64_t angle) {
  int64_t a = angle % 360;
  if (a < 0) a += 360;
  return int(a);
}

rotation_factors rotation_factors_for(int64_t angle) {
  const long double pi = 3.1415926535L;
  const long double r = static_cast<long double>(normalise_angle(angle)) * pi / 180.0L;
  rotation_factors f;
  f.cf = static_cast<int32_t>(std::trunc(std::cos(r) * 65536.0L));
  f.sf = static_cast<int32_t>(std::trunc(std::sin(r) * 65536.0L));
  return f;
}

void rotate_nearest_clear(uint8_t* dst, const uint8_t* src, int W, int H, int64_t angle) {
  rotate_kernel(dst, src, W, H, angle, kernel_kind::clear);
}
void rotate_nearest_keep(uint8_t* dst, const uint8_t* src, int W, int H, int64_t angle) {
  rotate_kernel(dst, src, W, H, angle, kernel_kind::keep);
}
void rotate_bilinear(uint8_t* dst, const uint8_t* src, int W, int H, int64_t angle) {
  rotate_kernel(dst, src, W, H, angle, kernel_kind::bilinear);
}

int rotate_cg(object_node* first, object_node* second, int64_t, int64_t, int64_t, int64_t, int64_t angle, int n,
              int mode) {
  if (mode == rotate_clear) return rotate_entry(first, second, angle, n, kernel_kind::clear);
  if (mode == rotate_keep) return rotate_entry(first, second, angle, n, kernel_kind::keep);
  return 0;  // no kernel: nothing written, nothing installed
}

int rotate_cg_bilinear(object_node* first, object_node* second, int64_t, int64_t, int64_t, int64_t, int64_t angle,
                       int n) {
  return rotate_entry(first, second, angle, n, kernel_kind::bilinear);
}
