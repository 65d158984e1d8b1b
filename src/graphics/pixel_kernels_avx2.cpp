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

#include "graphics/vector_avx2.inc"

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
