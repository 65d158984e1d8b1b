// The glyph kernels' rows, eight pixels a step with AVX2: the same four
// rules as the scalar rows (replace, overlay blend, and the one-bit pair).
// The overlay blend takes the whole group at once when every pixel under it
// is clear (the result is the glyph's own colour and alpha) or opaque (the
// new alpha is 255, so the division is a shift); otherwise its divisions are
// done by one single-float quotient per pixel (exact; see below).
//
// Only this file is compiled for AVX2 (a target pragma after every include),
// and it defines nothing but functions of internal linkage besides the entry.
#include "graphics/glyph_kernels_fast.h"

#include "graphics/pixel_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace {

inline __m256i load_alpha(const uint8_t* a) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)));
}

// Lanes 0..n-1 set.
inline __m256i first_lanes(int n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// The overlay blend of eight pixels: b = a + 1, alpha d + b - (d b >> 8) - 1,
// each channel old + trunc((g - old) b / (alpha + 1)).
inline __m256i over(__m256i px, __m256i g, __m256i a) {
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i d = _mm256_srli_epi32(px, 24);
  // All clear: na = a, and each channel moves by (g - old) * b / b.
  if (_mm256_testz_si256(d, d)) return _mm256_or_si256(g, _mm256_slli_epi32(a, 24));
  const __m256i b = _mm256_add_epi32(a, one);
  if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(d, _mm256_set1_epi32(255))) == -1) {
    // All opaque: na = 255 + b - (b - 1) - 1 = 255. Paper leaves the
    // pixels as they are, full ink (b = 256) gives the glyph's colour.
    if (_mm256_testz_si256(a, a)) return px;
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(a, _mm256_set1_epi32(255))) == -1)
      return _mm256_or_si256(g, _mm256_set1_epi32(static_cast<int>(0xFF000000u)));
    // Each channel c + trunc((g - c) b / 256) is the rounded-toward-c mix
    // (c (256 - b) + g b + (c > g ? 255 : 0)) >> 8, whose sum stays below
    // 2^16: blue and red, then green (and alpha), in the two 16-bit halves
    // of each pixel.
    const __m256i low_bytes = _mm256_set1_epi32(0x00FF00FF);
    const __m256i wg = _mm256_or_si256(b, _mm256_slli_epi32(b, 16));
    const __m256i wc = _mm256_sub_epi16(_mm256_set1_epi16(256), wg);
    const auto mix = [&](__m256i c, __m256i gc) {
      const __m256i sum = _mm256_add_epi16(_mm256_mullo_epi16(c, wc), _mm256_mullo_epi16(gc, wg));
      return _mm256_add_epi16(sum, _mm256_and_si256(_mm256_cmpgt_epi16(c, gc), low_bytes));
    };
    const __m256i blue_red =
        _mm256_srli_epi16(mix(_mm256_and_si256(px, low_bytes), _mm256_and_si256(g, low_bytes)), 8);
    const __m256i green = _mm256_and_si256(mix(_mm256_srli_epi16(px, 8), _mm256_srli_epi16(g, 8)),
                                           _mm256_set1_epi32(0x0000FF00));
    return _mm256_or_si256(_mm256_or_si256(blue_red, green), _mm256_set1_epi32(static_cast<int>(0xFF000000u)));
  }
  const __m256i na = _mm256_sub_epi32(_mm256_add_epi32(d, b),
                                      _mm256_add_epi32(_mm256_srli_epi32(_mm256_mullo_epi16(d, b), 8), one));
  // One quotient b / (alpha + 1) for the three channels, in single floats:
  // the quotient of a channel is |g - old| * that, whose three roundings
  // (at most 2^-24 each, on a value below 256) and the lift's keep it within
  // 2^-14 of the true one; lifted by 2^-10, a whole quotient stays at or
  // above its integer and a quotient that is not whole (at least 1/256 below
  // the next) stays below the next, so truncation gives trunc((g - old) b /
  // (alpha + 1)) exactly.
  const __m256 reciprocal = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_cvtepi32_ps(_mm256_add_epi32(na, one)));
  const __m256 weight = _mm256_mul_ps(_mm256_cvtepi32_ps(b), reciprocal);
  const __m256 lift = _mm256_set1_ps(1.0f / 1024.0f);
  // Blue and red in the two 16-bit halves of each pixel as above, green on
  // its own.
  const __m256i low_bytes = _mm256_set1_epi32(0x00FF00FF);
  const __m256i low_half = _mm256_set1_epi32(0xFFFF);
  const auto quotient = [&](__m256i magnitude) {
    return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(magnitude), weight), lift));
  };
  const __m256i old_br = _mm256_and_si256(px, low_bytes);
  const __m256i diff_br = _mm256_sub_epi16(_mm256_and_si256(g, low_bytes), old_br);
  const __m256i size_br = _mm256_abs_epi16(diff_br);
  const __m256i q_br = _mm256_or_si256(quotient(_mm256_and_si256(size_br, low_half)),
                                       _mm256_slli_epi32(quotient(_mm256_srli_epi32(size_br, 16)), 16));
  const __m256i blue_red = _mm256_add_epi16(old_br, _mm256_sign_epi16(q_br, diff_br));
  const __m256i byte_mask = _mm256_set1_epi32(0xFF);
  const __m256i old_g = _mm256_and_si256(_mm256_srli_epi32(px, 8), byte_mask);
  const __m256i diff_g = _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(g, 8), byte_mask), old_g);
  const __m256i green = _mm256_add_epi32(old_g, _mm256_sign_epi32(quotient(_mm256_abs_epi32(diff_g)), diff_g));
  return _mm256_or_si256(_mm256_or_si256(blue_red, _mm256_slli_epi32(green, 8)), _mm256_slli_epi32(na, 24));
}

template <glyph_row_rule rule>
void row_rule(const glyph_row_args& r) {
  const __m256i flat = _mm256_set1_epi32(static_cast<int>(r.colour));
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  const __m256i zero = _mm256_setzero_si256();
  const __m256i all = _mm256_set1_epi32(-1);
  const int whole_end = r.count & ~7;
  const __m256i tail_lanes = first_lanes(r.count & 7);
  for (int i = 0; i < r.rows; ++i) {
    if (!r.row_drawn[i]) continue;
    const uint8_t* const alpha = r.alpha + static_cast<size_t>(i) * r.alpha_stride;
    const uint32_t* const colours = r.colours ? r.colours + static_cast<size_t>(i) * r.colour_stride : nullptr;
    uint8_t* const dst = r.dst + i * r.dst_stride;
    for (int j = 0; j < r.count; j += 8) {
      const bool whole = j < whole_end;
      const __m256i lanes = whole ? all : tail_lanes;
      const __m256i a = load_alpha(alpha + j);
      const __m256i g = colours ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(colours + j)) : flat;
      int* const p = reinterpret_cast<int*>(dst + static_cast<size_t>(j) * 4);
      __m256i out;
      if constexpr (rule == glyph_row_rule::bit_over) {
        // Only ink is written.
        const __m256i ink = _mm256_and_si256(lanes, _mm256_cmpgt_epi32(a, zero));
        _mm256_maskstore_epi32(p, ink, _mm256_or_si256(g, opaque));
        continue;
      } else if constexpr (rule == glyph_row_rule::bit_replace) {
        out = _mm256_or_si256(_mm256_and_si256(g, _mm256_cmpgt_epi32(a, zero)), opaque);
      } else if constexpr (rule == glyph_row_rule::replace) {
        out = _mm256_or_si256(g, _mm256_slli_epi32(a, 24));
      } else {
        const __m256i px =
            whole ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)) : _mm256_maskload_epi32(p, lanes);
        out = over(px, g, a);
      }
      if (whole)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), out);
      else
        _mm256_maskstore_epi32(p, lanes, out);
    }
  }
}

void row_avx2(const glyph_row_args& r) {
  switch (r.rule) {
    case glyph_row_rule::replace: row_rule<glyph_row_rule::replace>(r); break;
    case glyph_row_rule::over: row_rule<glyph_row_rule::over>(r); break;
    case glyph_row_rule::bit_replace: row_rule<glyph_row_rule::bit_replace>(r); break;
    case glyph_row_rule::bit_over: row_rule<glyph_row_rule::bit_over>(r); break;
  }
}

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

glyph_row_fn glyph_row_kernel() { return kernel_set_avx2() ? &row_avx2 : nullptr; }

#else

glyph_row_fn glyph_row_kernel() { return nullptr; }

#endif
