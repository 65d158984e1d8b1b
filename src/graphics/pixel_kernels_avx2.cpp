// The AVX2 kernel set: the SSE2 set with the slots that gain from 32-byte
// steps replaced. Only this file is compiled for AVX2 (a target pragma after
// every include), and it defines nothing but functions of internal linkage,
// so no AVX2 code can leak into the baseline build through shared inlines.
#include "graphics/blend_modes.h"
#include "graphics/pixel_kernels_sets.h"

#if defined(__x86_64__)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace {

using vec = __m256i;
constexpr size_t VB = 32;
constexpr int VMASK_ALL = -1;

inline vec vload(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void vstore(uint8_t* p, vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline vec vzero() { return _mm256_setzero_si256(); }
inline vec vset1_8(char x) { return _mm256_set1_epi8(x); }
inline vec vset1_16(short x) { return _mm256_set1_epi16(x); }
inline vec vset1_32(int x) { return _mm256_set1_epi32(x); }
inline vec vand(vec a, vec b) { return _mm256_and_si256(a, b); }
inline vec vor(vec a, vec b) { return _mm256_or_si256(a, b); }
inline vec vxor(vec a, vec b) { return _mm256_xor_si256(a, b); }
inline vec vadd8(vec a, vec b) { return _mm256_add_epi8(a, b); }
inline vec vadd16(vec a, vec b) { return _mm256_add_epi16(a, b); }
inline vec vsub16(vec a, vec b) { return _mm256_sub_epi16(a, b); }
inline vec vadd32(vec a, vec b) { return _mm256_add_epi32(a, b); }
inline vec vmullo16(vec a, vec b) { return _mm256_mullo_epi16(a, b); }
inline vec vmulhi16(vec a, vec b) { return _mm256_mulhi_epi16(a, b); }
inline vec vmulhi_u16(vec a, vec b) { return _mm256_mulhi_epu16(a, b); }
inline vec vmadd16(vec a, vec b) { return _mm256_madd_epi16(a, b); }
inline vec vslli16(vec a, int n) { return _mm256_slli_epi16(a, n); }
inline vec vsrli16(vec a, int n) { return _mm256_srli_epi16(a, n); }
inline vec vslli32(vec a, int n) { return _mm256_slli_epi32(a, n); }
inline vec vsrli32(vec a, int n) { return _mm256_srli_epi32(a, n); }
// Unpack and pack work within each 128-bit half; used in pairs they keep the
// byte order, and the per-pixel weights are spread the same way.
inline vec vunpacklo8(vec a, vec b) { return _mm256_unpacklo_epi8(a, b); }
inline vec vunpackhi8(vec a, vec b) { return _mm256_unpackhi_epi8(a, b); }
inline vec vunpacklo32(vec a, vec b) { return _mm256_unpacklo_epi32(a, b); }
inline vec vunpackhi32(vec a, vec b) { return _mm256_unpackhi_epi32(a, b); }
inline vec vpackus16(vec a, vec b) { return _mm256_packus_epi16(a, b); }
inline vec vadds_u8(vec a, vec b) { return _mm256_adds_epu8(a, b); }
inline vec vsubs_u8(vec a, vec b) { return _mm256_subs_epu8(a, b); }
inline vec vmax_u8(vec a, vec b) { return _mm256_max_epu8(a, b); }
inline vec vmin_u8(vec a, vec b) { return _mm256_min_epu8(a, b); }
inline vec vcmpeq32(vec a, vec b) { return _mm256_cmpeq_epi32(a, b); }
inline vec vcmpgt8(vec a, vec b) { return _mm256_cmpgt_epi8(a, b); }
inline int vmovemask8(vec a) { return _mm256_movemask_epi8(a); }
inline vec vcmpgt32(vec a, vec b) { return _mm256_cmpgt_epi32(a, b); }
// The rule weights of eight pixels in one gather.
inline vec vrule_weights(const uint8_t* m) {
  vec index = vand(vload(m), vset1_32(0xFF));
  return _mm256_i32gather_epi32(reinterpret_cast<const int*>(rule_table), index, 4);
}

#include "graphics/pixel_kernels_simd.inc"

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace {
#include "graphics/pixel_kernels_simd_fill.inc"
}  // namespace

bool fill_kernel_set_avx2(kernel_slots& set) {
  if (!fill_kernel_set_sse2(set)) return false;
  fill_simd_body(set);
  return true;
}

#else

bool fill_kernel_set_avx2(kernel_slots&) { return false; }

#endif
