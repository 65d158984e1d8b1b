// The anti-aliased glyph kernel's rows of one colour, eight pixels a step,
// with AVX2: the same coverage (ink bits of a 4 x 4 block through the
// coverage-to-alpha table) and the same overlay blend, whose divisions are
// done by one single-float reciprocal per pixel (exact; see below).
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

inline uint32_t load4(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

void row_avx2(const glyph_row_args& r) {
  const __m128i nibble_mask = _mm_set1_epi8(0x0F);
  const __m128i ink = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r.ink_per_nibble));
  const __m128i alpha_table = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r.alpha_per_coverage));
  const __m256i colour = _mm256_set1_epi32(static_cast<int>(r.colour & 0xFFFFFF));
  const __m256i byte_mask = _mm256_set1_epi32(0xFF);
  const __m256i one = _mm256_set1_epi32(1);
  __m256i gc_int[3];
  for (int c = 0; c < 3; ++c) gc_int[c] = _mm256_set1_epi32(static_cast<int>((r.colour >> (8 * c)) & 0xFF));
  for (int j = 0; j < r.count; j += 8) {
    // Coverage: per pixel the clear bits of its nibble in four bitmap rows.
    __m128i coverage = _mm_setzero_si128();
    for (int k = 0; k < 4; ++k) {
      __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(load4(r.bits + k * r.row_bytes + j / 2)));
      __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble_mask);
      __m128i low = _mm_and_si128(bytes, nibble_mask);
      // Pixel order: the upper nibble of a byte is the even pixel.
      coverage = _mm_add_epi8(coverage, _mm_shuffle_epi8(ink, _mm_unpacklo_epi8(high, low)));
    }
    // Coverage 16 reads entry 15 of the table, which holds the same 255.
    coverage = _mm_min_epu8(coverage, _mm_set1_epi8(15));
    __m256i a = _mm256_cvtepu8_epi32(_mm_shuffle_epi8(alpha_table, coverage));
    uint8_t* p = r.dst + static_cast<size_t>(j) * 4;
    if (!r.overlay) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_or_si256(colour, _mm256_slli_epi32(a, 24)));
      continue;
    }
    // Over what is there: b = a + 1, alpha d + b - (d b >> 8) - 1, each
    // channel old + trunc((g - old) b / (alpha + 1)). Paper over an opaque
    // pixel comes out unchanged, glyph over a clear one as (g, a).
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i d = _mm256_srli_epi32(px, 24);
    const __m256i b = _mm256_add_epi32(a, one);
    const __m256i na = _mm256_sub_epi32(_mm256_add_epi32(d, b),
                                        _mm256_add_epi32(_mm256_srli_epi32(_mm256_mullo_epi32(d, b), 8), one));
    // One reciprocal for the three channels: with |n| <= 65280 and a
    // divisor of at most 256, trunc(|n| * fl(1 / divisor) + 2^-10) is
    // trunc(|n| / divisor): the product errs by under 2^-15, a whole quotient
    // is lifted clear of the one below, and a quotient that is not whole lies
    // at least 1/256 below the next.
    const __m256 reciprocal = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_cvtepi32_ps(_mm256_add_epi32(na, one)));
    const __m256 weight = _mm256_cvtepi32_ps(b);
    const __m256 lift = _mm256_set1_ps(1.0f / 1024.0f);
    __m256i out = _mm256_slli_epi32(na, 24);
    for (int c = 0; c < 3; ++c) {
      const __m256i old = _mm256_and_si256(_mm256_srli_epi32(px, 8 * c), byte_mask);
      const __m256i diff = _mm256_sub_epi32(gc_int[c], old);
      const __m256 n = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_abs_epi32(diff)), weight);
      const __m256i q = _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(n, reciprocal), lift));
      out = _mm256_or_si256(out, _mm256_slli_epi32(_mm256_add_epi32(old, _mm256_sign_epi32(q, diff)), 8 * c));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), out);
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
