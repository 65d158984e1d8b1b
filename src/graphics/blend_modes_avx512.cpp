// The computed blend-mode spans in 64-byte steps (blend_modes_vector.inc),
// for processors with AVX-512 (foundation, byte and word, doubleword and
// quadword). Twice the lanes of the AVX2 form for the same instructions,
// and the divider takes sixteen floats in about the time of eight, so the
// dividing modes gain most. What a row leaves (under 64 bytes) goes to the
// AVX2 spans.
//
// Only this file is compiled for AVX-512 (a target pragma after every
// include), and it defines nothing but functions of internal linkage besides
// the entries.
#include "graphics/blend_modes.h"

#include <cmath>
#include <utility>

#include "graphics/blend_modes_computed.h"

#if defined(__x86_64__)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx2")
// GCC 12's AVX-512 intrinsics start their unused result lanes from a
// self-initialised "undefined" vector, which this warning flags once inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

using vec = __m512i;
constexpr size_t VB = 64;

inline vec vload(const uint8_t* p) { return _mm512_loadu_si512(p); }
inline void vstore(uint8_t* p, vec v) { _mm512_storeu_si512(p, v); }
inline vec vzero() { return _mm512_setzero_si512(); }
inline vec vset1_8(char x) { return _mm512_set1_epi8(x); }
inline vec vset1_16(short x) { return _mm512_set1_epi16(x); }
inline vec vset1_32(int x) { return _mm512_set1_epi32(x); }
inline vec vset1_64(int64_t x) { return _mm512_set1_epi64(x); }
inline vec vand(vec a, vec b) { return _mm512_and_si512(a, b); }
inline vec vor(vec a, vec b) { return _mm512_or_si512(a, b); }
inline vec vxor(vec a, vec b) { return _mm512_xor_si512(a, b); }
inline vec vandnot(vec a, vec b) { return _mm512_andnot_si512(a, b); }  // ~a & b
inline vec vadd8(vec a, vec b) { return _mm512_add_epi8(a, b); }
inline vec vsub8(vec a, vec b) { return _mm512_sub_epi8(a, b); }
inline vec vadds_u8(vec a, vec b) { return _mm512_adds_epu8(a, b); }
inline vec vmin_u8(vec a, vec b) { return _mm512_min_epu8(a, b); }
inline vec vadd16(vec a, vec b) { return _mm512_add_epi16(a, b); }
inline vec vsub16(vec a, vec b) { return _mm512_sub_epi16(a, b); }
inline vec vmullo16(vec a, vec b) { return _mm512_mullo_epi16(a, b); }
inline vec vmulhi16(vec a, vec b) { return _mm512_mulhi_epi16(a, b); }
inline vec vmulhi_u16(vec a, vec b) { return _mm512_mulhi_epu16(a, b); }
inline vec vmadd16(vec a, vec b) { return _mm512_madd_epi16(a, b); }
inline vec vmin16(vec a, vec b) { return _mm512_min_epi16(a, b); }
inline vec vmax16(vec a, vec b) { return _mm512_max_epi16(a, b); }
inline vec vmin_u16(vec a, vec b) { return _mm512_min_epu16(a, b); }
inline vec vsubs_u16(vec a, vec b) { return _mm512_subs_epu16(a, b); }
inline vec vabs16(vec a) { return _mm512_abs_epi16(a); }
inline vec vadd32(vec a, vec b) { return _mm512_add_epi32(a, b); }
inline vec vslli16(vec a, int n) { return _mm512_slli_epi16(a, unsigned(n)); }
inline vec vsrli16(vec a, int n) { return _mm512_srli_epi16(a, unsigned(n)); }
inline vec vsrli32(vec a, int n) { return _mm512_srli_epi32(a, unsigned(n)); }
// Unpack, pack and byte shuffle work within each 128-bit lane, as in AVX2.
inline vec vunpacklo8(vec a, vec b) { return _mm512_unpacklo_epi8(a, b); }
inline vec vunpackhi8(vec a, vec b) { return _mm512_unpackhi_epi8(a, b); }
inline vec vunpacklo16(vec a, vec b) { return _mm512_unpacklo_epi16(a, b); }
inline vec vunpackhi16(vec a, vec b) { return _mm512_unpackhi_epi16(a, b); }
inline vec vpackus16(vec a, vec b) { return _mm512_packus_epi16(a, b); }
inline vec vpacks16(vec a, vec b) { return _mm512_packs_epi16(a, b); }
inline vec vpacks32(vec a, vec b) { return _mm512_packs_epi32(a, b); }
inline vec vshuffle8(vec a, vec index) { return _mm512_shuffle_epi8(a, index); }
inline vec vlanes128(__m128i x) { return _mm512_broadcast_i32x4(x); }
// Comparisons give mask registers here; the shared body wants lanes of ones.
inline vec vcmpeq8(vec a, vec b) { return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b)); }
inline vec vcmpgt8(vec a, vec b) { return _mm512_movm_epi8(_mm512_cmpgt_epi8_mask(a, b)); }
inline vec vcmpgt16(vec a, vec b) { return _mm512_movm_epi16(_mm512_cmpgt_epi16_mask(a, b)); }
inline vec vcmpgt32(vec a, vec b) { return _mm512_movm_epi32(_mm512_cmpgt_epi32_mask(a, b)); }
inline vec vlt_u16(vec x, vec y) { return _mm512_movm_epi16(_mm512_cmplt_epu16_mask(x, y)); }
// (a & b) == 0, and b's bits all set in a.
inline bool vtestz(vec a, vec b) { return _mm512_test_epi64_mask(a, b) == 0; }
inline bool vtestc(vec a, vec b) {
  const vec missing = _mm512_andnot_si512(a, b);
  return _mm512_test_epi64_mask(missing, missing) == 0;
}
inline vec vquotient32(vec n, vec q) {
  return _mm512_cvttps_epi32(_mm512_div_ps(_mm512_cvtepi32_ps(n), _mm512_cvtepi32_ps(q)));
}
// size where x > 0, -size where x < 0; callers pass size 0 where x = 0.
inline vec vsign16(vec size, vec x) {
  return _mm512_mask_sub_epi16(size, _mm512_cmplt_epi16_mask(x, vzero()), vzero(), size);
}
// t with the alpha lanes (3 of every 4) of d.
inline vec vkeep_alpha16(vec t, vec d) { return _mm512_mask_blend_epi16(0x88888888u, t, d); }
inline vec vrule_lookup(const uint8_t* m) {
  return _mm512_setr_epi32(rule_table[m[0]], rule_table[m[4]], rule_table[m[8]], rule_table[m[12]],
                           rule_table[m[16]], rule_table[m[20]], rule_table[m[24]], rule_table[m[28]],
                           rule_table[m[32]], rule_table[m[36]], rule_table[m[40]], rule_table[m[44]],
                           rule_table[m[48]], rule_table[m[52]], rule_table[m[56]], rule_table[m[60]]);
}

blend_mode_spans narrower[blend_mode_count];
inline const blend_mode_spans& tail_spans(int mode) { return narrower[mode]; }

#include "graphics/blend_modes_vector.inc"

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

namespace {

bool avx512_usable() {
  // The built-in checks the operating system's register saving as well.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq");
}

}  // namespace

bool fill_computed_blend_spans_avx512(blend_mode_spans (&out)[blend_mode_count]) {
  // The tables are filled once, before any span can run.
  static const bool ready = avx512_usable() && fill_computed_blend_spans_avx2(narrower) &&
                            (fill_soft_light_table(), true);
  if (!ready) return false;
  fill_all(out, std::make_integer_sequence<int, blend_mode_count>{});
  return true;
}

bool computed_blend_quotients_avx512(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count) {
  if (!avx512_usable()) return false;
  quotients(n, q, out, count);
  return true;
}

#else

bool fill_computed_blend_spans_avx512(blend_mode_spans (&)[blend_mode_count]) { return false; }
bool computed_blend_quotients_avx512(const uint16_t*, const uint16_t*, uint16_t*, size_t) { return false; }

#endif
