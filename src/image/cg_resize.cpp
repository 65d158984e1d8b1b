#include "image/cg_resize.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/engine_state.h"
#include "core/worker_pool.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "graphics/presentation.h"
#include "image/cg_ops_util.h"
#include "image/cg_picture.h"

namespace {

// Floor of a / b for b > 0.
inline int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

bool known_method(int method) {
  switch (method) {
    case resize_nearest:
    case resize_bilinear:
    case resize_bicubic:
    case resize_smooth:
    case resize_lanczos:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------- bicubic

int16_t bicubic_table[513];
bool bicubic_built = false;

void build_bicubic_table() {
  if (bicubic_built) return;
  for (int k = 0; k <= 512; ++k) {
    const double t = k / 256.0;
    const double v = t <= 1.0 ? 1 - 2 * t * t + t * t * t : 4 - 8 * t + 5 * t * t - t * t * t;
    bicubic_table[k] = static_cast<int16_t>(std::trunc(256 * v));
  }
  bicubic_built = true;
}

// Source position of output index i in 24.8 pixels from the rectangle's
// origin: i / count of the extent, the 16.16 step taken first as designed.
inline int64_t bicubic_offset(int64_t i, int64_t count, int64_t extent) { return ((i * 65536) / count) * extent >> 8; }

// One output pixel from the 4 x 4 taps; taps outside the picture are left
// out and the weights of the rest renormalise the sum.
inline void bicubic_pixel(uint8_t* out, const uint8_t* src, int W, int H, int sc, int sr, const int kr[4],
                          const int kc[4]) {
  const size_t stride = size_t(W) * 4;
  int32_t wgt[4][4];
  int32_t wsum = 0;
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b) wgt[a][b] = kr[a] * kc[b] / 256;
  const bool inside = sr >= 1 && sr + 2 < H && sc >= 1 && sc + 2 < W;
  int32_t sum[4] = {0, 0, 0, 0};
  if (inside) {
    const uint8_t* base = src + size_t(sr - 1) * stride + size_t(sc - 1) * 4;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = _mm_setzero_si128();
    for (int a = 0; a < 4; ++a) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + size_t(a) * stride));
      const __m128i s = _mm_srli_si128(v, 4);
      // Channels of pixels 0 and 1 (and of 2 and 3) side by side, so one
      // multiply-add weighs two taps per channel.
      const __m128i p01 = _mm_unpacklo_epi8(_mm_unpacklo_epi8(v, s), zero);
      const __m128i p23 = _mm_unpacklo_epi8(_mm_unpackhi_epi8(v, s), zero);
      const __m128i w01 = _mm_set1_epi32(int32_t(uint16_t(wgt[a][0])) | int32_t(uint32_t(uint16_t(wgt[a][1])) << 16));
      const __m128i w23 = _mm_set1_epi32(int32_t(uint16_t(wgt[a][2])) | int32_t(uint32_t(uint16_t(wgt[a][3])) << 16));
      acc = _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(p01, w01), _mm_madd_epi16(p23, w23)));
      wsum += wgt[a][0] + wgt[a][1] + wgt[a][2] + wgt[a][3];
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sum), acc);
#else
    for (int a = 0; a < 4; ++a) {
      const uint8_t* row = base + size_t(a) * stride;
      for (int b = 0; b < 4; ++b) {
        for (int c = 0; c < 4; ++c) sum[c] += wgt[a][b] * row[b * 4 + c];
        wsum += wgt[a][b];
      }
    }
#endif
  } else {
    for (int a = 0; a < 4; ++a) {
      const int r = sr - 1 + a;
      if (r < 0 || r >= H) continue;
      for (int b = 0; b < 4; ++b) {
        const int c0 = sc - 1 + b;
        if (c0 < 0 || c0 >= W) continue;
        const uint8_t* p = src + size_t(r) * stride + size_t(c0) * 4;
        for (int c = 0; c < 4; ++c) sum[c] += wgt[a][b] * p[c];
        wsum += wgt[a][b];
      }
    }
  }
  if (wsum == 0) wsum = 1;
  for (int c = 0; c < 4; ++c) out[c] = static_cast<uint8_t>(std::clamp(sum[c] / wsum, 0, 255));
}

// The four kernel entries of the taps at -1, 0, +1, +2 for a fraction f.
inline void bicubic_taps(int f, int k[4]) {
  k[0] = bicubic_table[256 + f];
  k[1] = bicubic_table[f];
  k[2] = bicubic_table[256 - f];
  k[3] = bicubic_table[512 - f];
}

// ---------------------------------------------------------------- smooth (41)

// Process-wide like the other step tables: only the command's call (one
// thread) builds them; the workers read them.
struct smooth_tables {
  std::vector<int64_t> row0, row1;    // 24.8 absolute source rows of the two samples
  std::vector<uint32_t> col_offset;   // per column: byte offsets of the two samples
  std::vector<uint16_t> col_weights;  // per column: 256-f0, f0, 256-f1, f1
  // The same spread over 16-bit lanes for the SIMD row: per column
  // (256-f0) x4, (256-f1) x4, then f0 x4, f1 x4.
  std::vector<uint16_t> col_lanes;
  int first_row = 0, end_row = 0, first_col = 0, end_col = 0;
  int W = 0, H = 0, w = 0;
};
smooth_tables smooth;

// Each sample is a vertical mix of two horizontal mixes, and a horizontal mix
// depends only on its source row and column: the two horizontal mixes of a
// source row (at the main and the half-step column of every output column,
// 16-bit lanes h[j * 8 + k * 4 + c]) are made once and shared by every output
// row that reads the row. The bytes are those of the per-pixel formula:
// horizontal p0 * (256 - f) + p1 * f >> 8, then vertical the same way, then
// the four samples averaged in pairs (the two columns of a row first, then
// the two rows), each rounded up at halves.
void smooth_horizontal_portable(uint16_t* h, const uint8_t* row, const smooth_tables& t) {
  for (int j = t.first_col; j < t.end_col; ++j) {
    for (int k = 0; k < 2; ++k) {
      const uint8_t* p = row + t.col_offset[size_t(j) * 2 + size_t(k)];
      const int w0 = t.col_weights[size_t(j) * 4 + size_t(k) * 2],
                w1 = t.col_weights[size_t(j) * 4 + size_t(k) * 2 + 1];
      for (int c = 0; c < 4; ++c)
        h[size_t(j) * 8 + size_t(k) * 4 + size_t(c)] = static_cast<uint16_t>((p[c] * w0 + p[4 + c] * w1) >> 8);
    }
  }
}

// a0/b0: the upper and lower source rows of the first sample row (fraction
// fy0), a1/b1 those of the half-step sample row.
void smooth_vertical_portable(uint8_t* out, const uint16_t* a0, const uint16_t* b0, int fy0, const uint16_t* a1,
                              const uint16_t* b1, int fy1, int first, int end) {
  for (int j = first; j < end; ++j) {
    uint8_t* d = out + size_t(j) * 4;
    for (int c = 0; c < 4; ++c) {
      int s[2][2];
      for (int k = 0; k < 2; ++k) {
        const size_t x = size_t(j) * 8 + size_t(k) * 4 + size_t(c);
        s[0][k] = (a0[x] * (256 - fy0) + b0[x] * fy0) >> 8;
        s[1][k] = (a1[x] * (256 - fy1) + b1[x] * fy1) >> 8;
      }
      const int a = (s[0][0] + s[0][1] + 1) >> 1;
      const int b = (s[1][0] + s[1][1] + 1) >> 1;
      d[c] = static_cast<uint8_t>((a + b + 1) >> 1);
    }
  }
}

#if defined(__SSE2__)
// Every product and sum fits 16 bits unsigned (at most 255 * 256), so the
// lanes compute the portable arithmetic exactly.
void smooth_horizontal_sse2(uint16_t* h, const uint8_t* row, const smooth_tables& t) {
  const __m128i zero = _mm_setzero_si128();
  for (int j = t.first_col; j < t.end_col; ++j) {
    const uint32_t* off = &t.col_offset[size_t(j) * 2];
    const __m128i wa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&t.col_lanes[size_t(j) * 16]));
    const __m128i wb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&t.col_lanes[size_t(j) * 16 + 8]));
    // [P(c0) P(c1) P(c0+1) P(c1+1)]
    const __m128i x = _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + off[0])),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + off[1])));
    const __m128i v = _mm_srli_epi16(
        _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(x, zero), wa), _mm_mullo_epi16(_mm_unpackhi_epi8(x, zero), wb)),
        8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + size_t(j) * 8), v);
  }
}

void smooth_vertical_sse2(uint8_t* out, const uint16_t* a0, const uint16_t* b0, int fy0, const uint16_t* a1,
                          const uint16_t* b1, int fy1, int first, int end) {
  const __m128i vy0 = _mm_set1_epi16(short(fy0)), viy0 = _mm_set1_epi16(short(256 - fy0));
  const __m128i vy1 = _mm_set1_epi16(short(fy1)), viy1 = _mm_set1_epi16(short(256 - fy1));
  auto mix = [](const uint16_t* a, const uint16_t* b, __m128i vi, __m128i v) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(p, vi), _mm_mullo_epi16(q, v)), 8);
  };
  for (int j = first; j < end; ++j) {
    const size_t x = size_t(j) * 8;
    const __m128i px = _mm_packus_epi16(mix(a0 + x, b0 + x, viy0, vy0), mix(a1 + x, b1 + x, viy1, vy1));
    const __m128i pairs = _mm_avg_epu8(px, _mm_srli_si128(px, 4));  // s00 s01 | s10 s11
    const __m128i mean = _mm_avg_epu8(pairs, _mm_srli_si128(pairs, 8));
    const int v = _mm_cvtsi128_si32(mean);
    std::memcpy(out + size_t(j) * 4, &v, 4);
  }
}
#endif

struct smooth_kernels {
  void (*horizontal)(uint16_t* h, const uint8_t* row, const smooth_tables& t);
  void (*vertical)(uint8_t* out, const uint16_t* a0, const uint16_t* b0, int fy0, const uint16_t* a1,
                   const uint16_t* b1, int fy1, int first, int end);
};
const smooth_kernels smooth_portable{smooth_horizontal_portable, smooth_vertical_portable};
#if defined(__SSE2__)
const smooth_kernels smooth_sse2{smooth_horizontal_sse2, smooth_vertical_sse2};
#endif

using smooth_row_fn = const smooth_kernels*;

smooth_row_fn smooth_row() {
#if defined(__SSE2__)
  if (presentation_settings.simd) return &smooth_sse2;
#endif
  return &smooth_portable;
}

// Rows [first, end) of the valid rows; the columns outside the valid range
// are cleared. Up to four source rows' horizontal mixes are kept.
void smooth_rows(uint8_t* dst, const uint8_t* src, const smooth_tables& t, int first, int end, smooth_row_fn row) {
  const int64_t stride = int64_t{t.W} * 4;
  const size_t dst_stride = size_t(t.w) * 4;
  constexpr int slots = 4;
  std::vector<uint16_t> cache(size_t(t.w) * 8 * slots);
  int64_t held[slots] = {-1, -1, -1, -1};
  for (int i = first; i < end; ++i) {
    uint8_t* out = dst + size_t(i) * dst_stride;
    if (t.first_col > 0) std::memset(out, 0, size_t(t.first_col) * 4);
    if (t.end_col < t.w) std::memset(out + size_t(t.end_col) * 4, 0, size_t(t.w - t.end_col) * 4);
    const int64_t r0 = t.row0[size_t(i)], r1 = t.row1[size_t(i)];
    const int fy0 = int(r0 & 255), fy1 = int(r1 & 255);
    // The source rows this output row reads; a row below that weighs nothing
    // is not needed (its mix would be multiplied by 0).
    int64_t need[4] = {r0 >> 8, fy0 ? (r0 >> 8) + 1 : r0 >> 8, r1 >> 8, fy1 ? (r1 >> 8) + 1 : r1 >> 8};
    const uint16_t* mixes[4];
    for (int n = 0; n < 4; ++n) {
      int s = -1;
      for (int k = 0; k < slots; ++k)
        if (held[k] == need[n]) s = k;
      if (s < 0) {
        // A slot no row of this output row needs.
        for (int k = 0; k < slots && s < 0; ++k) {
          bool wanted = false;
          for (int m = 0; m < 4; ++m) wanted |= held[k] == need[m];
          if (!wanted) s = k;
        }
        row->horizontal(&cache[size_t(s) * size_t(t.w) * 8], src + need[n] * stride, t);
        held[s] = need[n];
      }
      mixes[n] = &cache[size_t(s) * size_t(t.w) * 8];
    }
    row->vertical(out, mixes[0], mixes[1], fy0, mixes[2], mixes[3], fy1, t.first_col, t.end_col);
  }
}

enum : int { arg_first = 0, arg_end = 1, arg_dst = 2, arg_src = 3, arg_tables = 4, arg_row = 5 };

void run_smooth_job(const worker_job& job) {
  smooth_rows(job.ptr<uint8_t>(arg_dst), job.ptr<const uint8_t>(arg_src), *job.ptr<const smooth_tables>(arg_tables),
              int(job.arg[arg_first]), int(job.arg[arg_end]), reinterpret_cast<smooth_row_fn>(job.arg[arg_row]));
}

bool smooth_registered = false;

// ---------------------------------------------------------------- Lanczos

// One pass's taps: for output i, taps [start[i], start[i+1]) of `index`
// (source indexes after the edge mirror) and `weight` (16.16), and the
// divisor of the weighted sums.
struct lanczos_taps {
  std::vector<uint32_t> start;
  std::vector<int32_t> index;
  std::vector<int32_t> weight;
  std::vector<int64_t> divisor;
};

// Mirror at the edges (-j below 0, 2n - j - 1 from n on), then clamp: a
// support wider than the picture reaches past the mirrored index.
inline int32_t mirror_tap(int64_t j, int64_t n) {
  if (j < 0)
    j = -j;
  else if (j >= n)
    j = 2 * n - j - 1;
  return static_cast<int32_t>(std::clamp<int64_t>(j, 0, n - 1));
}

// Scale of a pass from source length n to output length m: the corners meet,
// (m - 1) / (n - 1), or m / n when either length is 1 (a target of 1 would
// otherwise have the scale 0).
double resample_scale(int n, int m) { return n > 1 && m > 1 ? double(m - 1) / double(n - 1) : double(m) / double(n); }

// Output i is centred on source c = i / s; its taps run from floor(c - S) to
// the smallest integer at or above c + S (support S = 2 / s), each weighing
// trunc(lanczos2((c - j) * s) * s * 65536). The weighted sum is divided by
// the sum of the weights: with one more, as first designed, a picture kept at
// its own size lost one level in every non-zero byte per pass. Where no tap
// weighs anything (an enlargement's kernel, 2 / s wide, falls between two
// source pixels) the output takes the nearest source pixel instead of black.
void build_resample_weights(lanczos_taps& t, int n, int m) {
  const double s = resample_scale(n, m);
  const double support = 2.0 / s;
  t.start.assign(size_t(m) + 1, 0);
  t.index.clear();
  t.weight.clear();
  t.divisor.assign(size_t(m), 0);
  for (int i = 0; i < m; ++i) {
    t.start[size_t(i)] = static_cast<uint32_t>(t.index.size());
    const double c = i / s;
    const int64_t first = static_cast<int64_t>(std::floor(c - support));
    const int64_t last = static_cast<int64_t>(std::ceil(c + support));
    int64_t sum = 0;
    for (int64_t j = first; j <= last; ++j) {
      const int32_t w = static_cast<int32_t>(std::trunc(lanczos2((c - double(j)) * s) * s * 65536.0));
      if (w == 0) continue;
      t.index.push_back(mirror_tap(j, n));
      t.weight.push_back(w);
      sum += w;
    }
    if (sum == 0) {
      t.index.resize(t.start[size_t(i)]);
      t.weight.resize(t.start[size_t(i)]);
      t.index.push_back(mirror_tap(static_cast<int64_t>(std::floor(c + 0.5)), n));
      t.weight.push_back(1);
      sum = 1;
    }
    t.divisor[size_t(i)] = sum;
  }
  t.start[size_t(m)] = static_cast<uint32_t>(t.index.size());
}

// The integer quotient (truncated toward zero), clamped to a byte.
inline uint8_t lanczos_byte(int64_t sum, int64_t divisor) {
  return static_cast<uint8_t>(std::clamp<int64_t>(sum / divisor, 0, 255));
}

void lanczos_horizontal(uint8_t* dst, const uint8_t* src, int W, int H, int w, const lanczos_taps& t) {
  for (int y = 0; y < H; ++y) {
    const uint8_t* in = src + size_t(y) * size_t(W) * 4;
    uint8_t* out = dst + size_t(y) * size_t(w) * 4;
    for (int i = 0; i < w; ++i) {
      int64_t sum[4] = {0, 0, 0, 0};
      for (uint32_t k = t.start[size_t(i)]; k < t.start[size_t(i) + 1]; ++k) {
        const uint8_t* p = in + size_t(t.index[k]) * 4;
        const int64_t wt = t.weight[k];
        for (int c = 0; c < 4; ++c) sum[c] += wt * p[c];
      }
      for (int c = 0; c < 4; ++c) out[size_t(i) * 4 + size_t(c)] = lanczos_byte(sum[c], t.divisor[size_t(i)]);
    }
  }
}

void lanczos_vertical(uint8_t* dst, const uint8_t* src, int w, int h, const lanczos_taps& t) {
  const size_t row = size_t(w) * 4;
  std::vector<int64_t> acc(row);
  for (int i = 0; i < h; ++i) {
    std::fill(acc.begin(), acc.end(), 0);
    for (uint32_t k = t.start[size_t(i)]; k < t.start[size_t(i) + 1]; ++k) {
      const uint8_t* in = src + size_t(t.index[k]) * row;
      const int64_t wt = t.weight[k];
      for (size_t x = 0; x < row; ++x) acc[x] += wt * in[x];
    }
    uint8_t* out = dst + size_t(i) * row;
    for (size_t x = 0; x < row; ++x) out[x] = lanczos_byte(acc[x], t.divisor[size_t(i)]);
  }
}

}  // namespace

// ---------------------------------------------------------------- kernels

int bicubic_kernel_entry(int k) {
  build_bicubic_table();
  return bicubic_table[std::clamp(k, 0, 512)];
}

void resample_bicubic(uint8_t* dst, const uint8_t* src, int x1, int y1, int x2, int y2, int W, int H, int w, int h) {
  if (!dst || !src || W <= 0 || H <= 0 || w <= 0 || h <= 0) return;
  build_bicubic_table();
  const int64_t ext_x = int64_t{x2} - x1 + 1, ext_y = int64_t{y2} - y1 + 1;
  // Column table: source column and fraction, or -1 when outside.
  std::vector<int32_t> col(static_cast<size_t>(w));
  std::vector<int32_t> col_k(static_cast<size_t>(w) * 4);
  for (int j = 0; j < w; ++j) {
    const int64_t p = bicubic_offset(j, w, ext_x);
    const int64_t sc = x1 + (p >> 8);
    col[size_t(j)] = sc >= 0 && sc < W ? int32_t(sc) : -1;
    bicubic_taps(int(p & 255), &col_k[size_t(j) * 4]);
  }
  const size_t dst_stride = size_t(w) * 4;
  for (int i = 0; i < h; ++i) {
    uint8_t* out = dst + size_t(i) * dst_stride;
    const int64_t p = bicubic_offset(i, h, ext_y);
    const int64_t sr = y1 + (p >> 8);
    if (sr < 0 || sr >= H) {
      pixel_kernels.kernel_fill_zero(out, dst_stride);
      continue;
    }
    int kr[4];
    bicubic_taps(int(p & 255), kr);
    for (int j = 0; j < w; ++j) {
      if (col[size_t(j)] < 0) {
        std::memset(out + size_t(j) * 4, 0, 4);
        continue;
      }
      bicubic_pixel(out + size_t(j) * 4, src, W, H, col[size_t(j)], int(sr), kr, &col_k[size_t(j) * 4]);
    }
  }
}

void register_resize_jobs() {
  register_worker_job_kind(job_resize_smooth, run_smooth_job);
  smooth_registered = true;
}

void resize_smooth_threaded(uint8_t* dst, const uint8_t* src, int x1, int y1, int x2, int y2, int W, int H, int tw,
                            int th, int workers) {
  const int w = tw / 100, h = th / 100;
  if (!dst || !src || W <= 0 || H <= 0 || w <= 0 || h <= 0) return;
  smooth_tables& t = smooth;
  t.W = W, t.H = H, t.w = w;
  const int64_t mx = tw == 100 ? 100 : int64_t{tw} - 100, my = th == 100 ? 100 : int64_t{th} - 100;
  const int64_t dx = int64_t{x2} - x1, dy = int64_t{y2} - y1;
  const int64_t ox = int64_t{x1 / 100} * 256, oy = int64_t{y1 / 100} * 256;
  // Sample positions stay on the picture: the half-step column of the last
  // columns (and any column fraction past the last pixel) would otherwise read
  // the next row, or past the block at the bottom; a fraction past the last
  // row would darken the bottom row with the zero spare row.
  const int64_t last_x = int64_t{W - 1} * 256, last_y = int64_t{H - 1} * 256;
  t.row0.resize(size_t(h));
  t.row1.resize(size_t(h));
  t.col_offset.resize(size_t(w) * 2);
  t.col_weights.resize(size_t(w) * 4);
  t.col_lanes.resize(size_t(w) * 16);
  std::vector<int64_t> col_main(static_cast<size_t>(w));
  for (int j = 0; j < w; ++j) {
    const int64_t p0 = ox + 256 * int64_t{j} * dx / mx;
    const int64_t p1 = ox + (256 * int64_t{j} + 128) * dx / mx;
    col_main[size_t(j)] = p0;
    const int64_t c[2] = {std::clamp<int64_t>(p0, 0, last_x), std::clamp<int64_t>(p1, 0, last_x)};
    for (int k = 0; k < 2; ++k) {
      t.col_offset[size_t(j) * 2 + size_t(k)] = static_cast<uint32_t>((c[k] >> 8) * 4);
      t.col_weights[size_t(j) * 4 + size_t(k) * 2] = static_cast<uint16_t>(256 - (c[k] & 255));
      t.col_weights[size_t(j) * 4 + size_t(k) * 2 + 1] = static_cast<uint16_t>(c[k] & 255);
      for (int lane = 0; lane < 4; ++lane) {
        t.col_lanes[size_t(j) * 16 + size_t(k) * 4 + size_t(lane)] = static_cast<uint16_t>(256 - (c[k] & 255));
        t.col_lanes[size_t(j) * 16 + 8 + size_t(k) * 4 + size_t(lane)] = static_cast<uint16_t>(c[k] & 255);
      }
    }
  }
  std::vector<int64_t> row_main(static_cast<size_t>(h));
  for (int i = 0; i < h; ++i) {
    const int64_t p0 = oy + 256 * int64_t{i} * dy / my;
    int64_t p1 = oy + (256 * int64_t{i} + 128) * dy / my;
    // A half-step row past the picture takes the first sample's row.
    if ((p1 >> 8) > H - 1 || p1 < 0) p1 = p0;
    row_main[size_t(i)] = p0;
    // No fraction past the last row: it would mix in the zero spare row.
    t.row0[size_t(i)] = std::min(p0, last_y);
    t.row1[size_t(i)] = std::min(p1, last_y);
  }
  // Valid runs: from the first index inside the picture up to the first one
  // past it.
  auto valid = [](const std::vector<int64_t>& pos, int64_t limit, int& first, int& end) {
    const int count = int(pos.size());
    first = 0;
    while (first < count && (pos[size_t(first)] >> 8) < 0) ++first;
    end = first;
    while (end < count && (pos[size_t(end)] >> 8) >= 0 && (pos[size_t(end)] >> 8) < limit) ++end;
  };
  valid(col_main, W, t.first_col, t.end_col);
  valid(row_main, H, t.first_row, t.end_row);
  const size_t dst_stride = size_t(w) * 4;
  for (int i = 0; i < h; ++i)
    if (i < t.first_row || i >= t.end_row) std::memset(dst + size_t(i) * dst_stride, 0, dst_stride);
  const int rows = t.end_row - t.first_row;
  if (rows <= 0) return;
  const smooth_row_fn row = smooth_row();
  // Small pictures finish before the workers would wake: one band.
  constexpr int64_t pixels_per_band = 32768;
  int k = workers > 0 ? workers : std::max(1, worker_pool.worker_count.load());
  if (workers <= 0 && int64_t{rows} * w < 2 * pixels_per_band) k = 1;
  k = std::min({k, worker_max, rows});
  // Workers skip their jobs while a quit is pending; the rows must still be
  // written, so the caller does them all then.
  if (k <= 1 || quit_flag) {
    smooth_rows(dst, src, t, t.first_row, t.end_row, row);
    return;
  }
  if (!smooth_registered) register_resize_jobs();
  dispatch_worker_jobs(job_resize_smooth, k, [&](worker_job& job, int m) {
    job.arg[arg_first] = t.first_row + int64_t{m} * rows / k;
    job.arg[arg_end] = t.first_row + (int64_t{m} + 1) * rows / k;
    job.set_ptr(arg_dst, dst);
    job.set_ptr(arg_src, src);
    job.set_ptr(arg_tables, &t);
    job.arg[arg_row] = reinterpret_cast<intptr_t>(row);
  });
}

double sinc(double x) {
  constexpr double p = 3.1415927410125732;  // pi in single precision
  if (x == 0) return 1.0;
  return std::sin(p * x) / (p * x);
}

double lanczos2(double x) {
  if (std::fabs(x) >= 2.0) return 0.0;
  return sinc(x) * sinc(x / 2.0);
}

int resample_lanczos2(uint8_t* dst, const uint8_t* src, int W, int H, int w, int h) {
  if (!dst || !src || W <= 0 || H <= 0 || w <= 0 || h <= 0) return 0;
  picture_buffer work;
  if (alloc_picture_buffer(work, w, H, std::string()) != 0) return -1;
  lanczos_taps taps;
  build_resample_weights(taps, W, w);
  lanczos_horizontal(work.pixels, src, W, H, w, taps);
  build_resample_weights(taps, H, h);
  lanczos_vertical(dst, work.pixels, w, h, taps);
  free_picture_buffer(work);
  return 0;
}

// ---------------------------------------------------------------- resize_cg

int resize_cg(object_node* first, object_node* second, int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t tw,
              int64_t th, int n, int method) {
  cg_record* from = cg_ops::picture_record(first);
  if (!from) return 0;  // nothing to read
  object_node* to_node = n >= 1 ? second : first;
  cg_record* to = layer_record(to_node);
  if (!to || !known_method(method)) return 0;  // no method: nothing to write, nothing installed
  const int64_t w = tw / 100, h = th / 100;
  mark_layer_dirty(to_node);

  const int W = from->width, H = from->height;
  // Positions beyond the int range say nothing more than "far outside";
  // saturating keeps every table product inside 64 bits.
  const int X1 = cg_ops::saturate_int(x1), Y1 = cg_ops::saturate_int(y1);
  const int X2 = cg_ops::saturate_int(x2), Y2 = cg_ops::saturate_int(y2);

  // The destination: the second layer's own block when it already has the
  // size (or, for a GPU layer, room for it), else a new picture.
  enum { write_same, write_shrunk, write_new } where = write_new;
  if (n >= 1 && to->pixels && to->loaded_width == w && to->loaded_height == h && to->width == w && to->height == h)
    where = write_same;
  else if (n >= 1 && to->pixels && to->gpu_flag == 1 && to->loaded_width > w && to->loaded_height > h &&
           to->width >= to->loaded_width && to->height >= to->loaded_height && w >= 1 && h >= 1)
    where = write_shrunk;
  picture_buffer fresh;
  uint8_t* dst = nullptr;
  if (where == write_new) {
    if (cg_ops::refuse_picture_size(w, h)) return -1;
    if (alloc_picture_buffer(fresh, w, h, std::string()) != 0) return -1;
    dst = fresh.pixels;
  } else {
    dst = to->pixels;
  }
  // Reading and writing the same block (the second layer shares the first's
  // record): resample from a copy.
  const uint8_t* src = from->pixels;
  cg_ops::block_copy copy;
  if (where != write_new &&
      cg_ops::blocks_overlap(src, cg_ops::block_bytes(W, H), dst, cg_ops::block_bytes(int(w), int(h)))) {
    if (!copy.take(src, W, H)) return -1;
    src = copy.pixels;
  }
  to->alpha_in_use = from->alpha_in_use;

  const int iw = int(w), ih = int(h), itw = int(tw), ith = int(th);
  int result = 0;
  switch (method) {
    case resize_nearest:
      scale_image_nearest_mt(dst, src, X1 / 100, Y1 / 100, X2 / 100, Y2 / 100, W, H, iw, ih, !quit_flag);
      break;
    case resize_bilinear:
      if (presentation_settings.simd && presentation_settings.threaded_scalers && !quit_flag)
        scale_image_bilinear_mt(dst, src, X1, Y1, X2, Y2, W, H, itw, ith);
      else
        scale_image_bilinear(dst, src, X1, Y1, X2, Y2, W, H, itw, ith);
      break;
    case resize_bicubic:
      resample_bicubic(dst, src, X1 / 100, Y1 / 100, X2 / 100, Y2 / 100, W, H, iw, ih);
      break;
    case resize_smooth:
      resize_smooth_threaded(dst, src, X1, Y1, X2, Y2, W, H, itw, ith);
      break;
    case resize_lanczos:
      result = resample_lanczos2(dst, src, W, H, iw, ih);
      break;
  }
  if (result != 0) {
    // Only a new block can be left half-made; a reused one was not touched
    // (the Lanczos work picture is allocated before any write).
    free_picture_buffer(fresh);
    return -1;
  }
  if (where == write_new) {
    commit_cg_buffer(to, fresh, to_node);
  } else {
    if (where == write_shrunk) {
      to->width = to->loaded_width = iw;
      to->height = to->loaded_height = ih;
      release_effect_buffer(to);
    }
    // The spare row the scalers read must stay defined for the new shape.
    std::memset(to->pixels + size_t(iw) * 4 * size_t(ih), 0, size_t(iw) * 4 + 4);
    note_layer_pixels_changed(to);
    mark_layer_dirty(to_node);
  }
  return 0;
}
