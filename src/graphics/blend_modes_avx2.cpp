// The computed blend-mode spans in 32-byte steps (blend_modes_vector.inc),
// with the table forms for what they leave.
//
// Only this file is compiled for AVX2 (a target pragma after every include),
// and it defines nothing but functions of internal linkage besides the entries.
#include "graphics/blend_modes.h"

#include <cmath>
#include <utility>

#include "graphics/blend_modes_computed.h"

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

// floor(n / q) of 32-bit lanes through single floats (see divide16).
inline vec vquotient32(vec n, vec q) {
  return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(n), _mm256_cvtepi32_ps(q)));
}
// x < y for unsigned 16-bit lanes, as a mask.
inline vec vlt_u16(vec x, vec y) { return vxor(vcmpeq16(vmax_u16(x, y), x), vset1_16(-1)); }
// size where x > 0, -size where x < 0, 0 where x = 0.
inline vec vsign16(vec size, vec x) { return _mm256_sign_epi16(size, x); }
// t with the alpha lanes (3 of every 4) of d.
inline vec vkeep_alpha16(vec t, vec d) { return _mm256_blend_epi16(t, d, 0x88); }
// The rule table's entries for the mask values of eight pixels. Eight scalar
// loads: cheaper than a gather on processors that microcode it.
inline vec vrule_lookup(const uint8_t* m) {
  return _mm256_setr_epi32(rule_table[m[0]], rule_table[m[4]], rule_table[m[8]], rule_table[m[12]],
                           rule_table[m[16]], rule_table[m[20]], rule_table[m[24]], rule_table[m[28]]);
}
inline const blend_mode_spans& tail_spans(int mode) { return blend_table_spans_of(mode); }

#include "graphics/blend_modes_vector.inc"

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool fill_computed_blend_spans_avx2(blend_mode_spans (&out)[blend_mode_count]) {
  if (!kernel_set_avx2()) return false;
  // Filled once, before any span can run.
  static const bool ready = (fill_soft_light_table(), true);
  (void)ready;
  fill_all(out, std::make_integer_sequence<int, blend_mode_count>{});
  return true;
}

bool computed_blend_quotients_avx2(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count) {
  if (!kernel_set_avx2()) return false;
  quotients(n, q, out, count);
  return true;
}

#else

bool fill_computed_blend_spans_avx2(blend_mode_spans (&)[blend_mode_count]) { return false; }
bool computed_blend_quotients_avx2(const uint16_t*, const uint16_t*, uint16_t*, size_t) { return false; }

#endif
