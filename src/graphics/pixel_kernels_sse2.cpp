// The SSE2 kernel set (levels 2 and 3). SSE2 is part of the x86-64 baseline;
// elsewhere this set is not built and the portable one serves.
#include "graphics/blend_modes.h"
#include "graphics/pixel_kernels_sets.h"

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))
#include <emmintrin.h>

namespace {

using vec = __m128i;
constexpr size_t VB = 16;
constexpr int VMASK_ALL = 0xFFFF;

inline vec vload(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void vstore(uint8_t* p, vec v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline vec vzero() { return _mm_setzero_si128(); }
inline vec vset1_8(char x) { return _mm_set1_epi8(x); }
inline vec vset1_16(short x) { return _mm_set1_epi16(x); }
inline vec vset1_32(int x) { return _mm_set1_epi32(x); }
inline vec vand(vec a, vec b) { return _mm_and_si128(a, b); }
inline vec vor(vec a, vec b) { return _mm_or_si128(a, b); }
inline vec vxor(vec a, vec b) { return _mm_xor_si128(a, b); }
inline vec vadd8(vec a, vec b) { return _mm_add_epi8(a, b); }
inline vec vadd16(vec a, vec b) { return _mm_add_epi16(a, b); }
inline vec vsub16(vec a, vec b) { return _mm_sub_epi16(a, b); }
inline vec vadd32(vec a, vec b) { return _mm_add_epi32(a, b); }
inline vec vmullo16(vec a, vec b) { return _mm_mullo_epi16(a, b); }
inline vec vmulhi16(vec a, vec b) { return _mm_mulhi_epi16(a, b); }
inline vec vmulhi_u16(vec a, vec b) { return _mm_mulhi_epu16(a, b); }
inline vec vmadd16(vec a, vec b) { return _mm_madd_epi16(a, b); }
inline vec vslli16(vec a, int n) { return _mm_slli_epi16(a, n); }
inline vec vsrli16(vec a, int n) { return _mm_srli_epi16(a, n); }
inline vec vslli32(vec a, int n) { return _mm_slli_epi32(a, n); }
inline vec vsrli32(vec a, int n) { return _mm_srli_epi32(a, n); }
inline vec vunpacklo8(vec a, vec b) { return _mm_unpacklo_epi8(a, b); }
inline vec vunpackhi8(vec a, vec b) { return _mm_unpackhi_epi8(a, b); }
inline vec vunpacklo32(vec a, vec b) { return _mm_unpacklo_epi32(a, b); }
inline vec vunpackhi32(vec a, vec b) { return _mm_unpackhi_epi32(a, b); }
inline vec vpackus16(vec a, vec b) { return _mm_packus_epi16(a, b); }
inline vec vadds_u8(vec a, vec b) { return _mm_adds_epu8(a, b); }
inline vec vsubs_u8(vec a, vec b) { return _mm_subs_epu8(a, b); }
inline vec vmax_u8(vec a, vec b) { return _mm_max_epu8(a, b); }
inline vec vmin_u8(vec a, vec b) { return _mm_min_epu8(a, b); }
inline vec vcmpeq32(vec a, vec b) { return _mm_cmpeq_epi32(a, b); }
inline vec vcmpgt8(vec a, vec b) { return _mm_cmpgt_epi8(a, b); }
inline int vmovemask8(vec a) { return _mm_movemask_epi8(a); }
inline vec vcmpgt32(vec a, vec b) { return _mm_cmpgt_epi32(a, b); }
// The rule weights of four pixels, looked up one by one.
inline vec vrule_weights(const uint8_t* m) {
  return _mm_setr_epi32(rule_table[m[0]], rule_table[m[4]], rule_table[m[8]], rule_table[m[12]]);
}

#include "graphics/pixel_kernels_simd.inc"
#include "graphics/pixel_kernels_simd_fill.inc"

// Two output pixels per step: each the truncated mean of a 2x2 block.
void sse2_half_scale(uint8_t* d, const uint8_t* s, size_t src_row_pixels, size_t out_pixels) {
  const uint8_t* below = s + src_row_pixels * 4;
  size_t i = 0;
  for (; i + 2 <= out_pixels; i += 2) {
    vec a = vload(s + i * 8), b = vload(below + i * 8);
    vec lo = vadd16(lo16(a), lo16(b));  // pixels 0 and 1 of the pair rows
    vec hi = vadd16(hi16(a), hi16(b));
    lo = vadd16(lo, _mm_srli_si128(lo, 8));
    hi = vadd16(hi, _mm_srli_si128(hi, 8));
    vec sum = _mm_unpacklo_epi64(lo, hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + i * 4), vpackus16(vsrli16(sum, 2), vzero()));
  }
  kernels_portable::half_scale(d + i * 4, s + i * 8, src_row_pixels, out_pixels - i);
}

}  // namespace

bool fill_kernel_set_sse2(kernel_slots& set) {
  set = kernel_set_portable;
  fill_simd_body(set);
  set.kernel_half_scale = &sse2_half_scale;
  return true;
}

#else

bool fill_kernel_set_sse2(kernel_slots&) { return false; }

#endif
