// Blend-mode spans computed with AVX2 instead of one table look-up per byte.
// Every mode is worked out on 16-bit lanes (vivid light is gathered from its
// table) so that it yields exactly the byte its 256 x 256 table holds (the
// tests compare both over all 65,536 byte pairs), and every variant's
// weighting is rewritten in a form that gives the same bytes:
//   d + (((T - d) * w) >> 8)  ==  d + mulhi((T - d) << 7, 2w)         (0 <= w <= 256)
//   d - ((o * (d - T) + 255) >> 8)  ==  d + (((T - d) * o) >> 8)      (0 <= o <= 256)
// (mulhi being the high half of the signed 16-bit product).
// Anything the vector loop does not cover (the tail of a row, an opacity
// outside 0..256) goes through the table form.
//
// Only this file is compiled for AVX2 (a target pragma after every include),
// and it defines nothing but functions of internal linkage.
#include "graphics/blend_modes.h"

#include <cmath>
#include <utility>

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

inline vec load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(uint8_t* p, vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline vec set16(int x) { return _mm256_set1_epi16(static_cast<short>(x)); }

// A 16-bit constant the loops take from memory as an operand. Made in a
// register, it is rebuilt inside the loop (three instructions) whenever the
// sixteen vector registers run short, as they do in the heavier modes; the
// array is left writable so that the compiler keeps it in memory.
template <uint16_t K>
struct memory_constant {
  alignas(32) static inline uint16_t lanes[16] = {K, K, K, K, K, K, K, K, K, K, K, K, K, K, K, K};
};
template <uint16_t K>
inline vec mem16() {
  asm("" : "+m"(memory_constant<K>::lanes));  // its bytes unknown to the compiler from here
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(memory_constant<K>::lanes));
}

// trunc(x / 255) for 0 <= x <= 65535 (the constant from memory in the modes
// that run short of registers).
template <bool from_memory = false>
inline vec div255(vec x) {
  return _mm256_srli_epi16(_mm256_mulhi_epu16(x, from_memory ? mem16<0x8081>() : set16(0x8081)), 7);
}

// trunc(n / q) for 16-bit lanes: n signed (-32768..32767 as int16) or
// unsigned (when `unsigned_n`), q 1..65535, through single floats. The
// quotient is exact after truncation: n and q are exact in a float, the
// division is correctly rounded, and a quotient below 65,536 that is not a
// whole number lies at least 1/q (>= 2^-16) from the next whole number, more
// than half a unit in the last place (<= 2^-9).
template <bool unsigned_n>
inline vec divide16(vec n, vec q) {
  const vec zero = _mm256_setzero_si256();
  vec n_lo, n_hi;
  if constexpr (unsigned_n) {
    n_lo = _mm256_unpacklo_epi16(n, zero);
    n_hi = _mm256_unpackhi_epi16(n, zero);
  } else {
    n_lo = _mm256_srai_epi32(_mm256_unpacklo_epi16(n, n), 16);
    n_hi = _mm256_srai_epi32(_mm256_unpackhi_epi16(n, n), 16);
  }
  vec q_lo = _mm256_unpacklo_epi16(q, zero), q_hi = _mm256_unpackhi_epi16(q, zero);
  vec r_lo = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(n_lo), _mm256_cvtepi32_ps(q_lo)));
  vec r_hi = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(n_hi), _mm256_cvtepi32_ps(q_hi)));
  return _mm256_packs_epi32(r_lo, r_hi);  // callers clamp to 0..255 afterwards
}

inline vec clamp_byte(vec x) { return _mm256_min_epi16(_mm256_max_epi16(x, _mm256_setzero_si256()), set16(255)); }

// What a mode works out on all 32 bytes of a step before they are split into
// 16-bit halves (per half h: x[h], y[h]); most modes need nothing.
struct byte_prep {
  vec x[2], y[2];
};

// Soft light's t, worked out once rather than per pixel. Where a < 128 or
// b > 32, t = 16384 - ceil(sqrt(256 - b)) is 16384 - c with 1 <= c <= 16, and
// the result does not depend on c: (x * t) >> 15 with -128 <= x < 0 is
// floor(x / 2 + e), 0 < e = -x * c / 32768 <= 1/16, which is floor(x / 2);
// (x * t) >> 16 with 0 <= x < 128 is floor(x / 4 - e), 0 <= e < 1/32, which
// is 0 for x = 0 and floor((x - 1) / 4) above. t = 16383 (c = 1) gives the
// same. Only a >= 128 with b <= 32 needs the real t of its background: 33
// values, looked up by byte shuffles (b < 16, 16 <= b < 32 and b = 32), each
// stored XOR 16383 so that lanes no shuffle fills read 16383.
struct soft_light_lookup {
  alignas(32) uint8_t low[2][32];   // low bytes of t ^ 16383: b = 0..15, 16..31
  alignas(32) uint8_t high[2][32];  // high bytes
  uint8_t low32, high32;            // b = 32
};
soft_light_lookup soft_light_t;

inline byte_prep soft_light_prep(vec s8, vec d8) {
  const vec zero = _mm256_setzero_si256();
  vec i0 = _mm256_adds_epu8(d8, _mm256_set1_epi8(0x70));  // b < 16 keeps bit 7 clear
  vec i1 = _mm256_adds_epu8(_mm256_sub_epi8(d8, _mm256_set1_epi8(16)), _mm256_set1_epi8(0x70));
  vec lo = _mm256_or_si256(_mm256_shuffle_epi8(load(soft_light_t.low[0]), i0),
                           _mm256_shuffle_epi8(load(soft_light_t.low[1]), i1));
  vec hi = _mm256_or_si256(_mm256_shuffle_epi8(load(soft_light_t.high[0]), i0),
                           _mm256_shuffle_epi8(load(soft_light_t.high[1]), i1));
  vec at32 = _mm256_cmpeq_epi8(d8, _mm256_set1_epi8(32));
  lo = _mm256_or_si256(lo, _mm256_and_si256(at32, _mm256_set1_epi8(char(soft_light_t.low32))));
  hi = _mm256_or_si256(hi, _mm256_and_si256(at32, _mm256_set1_epi8(char(soft_light_t.high32))));
  vec high_a = _mm256_cmpgt_epi8(zero, s8);  // a >= 128
  lo = _mm256_and_si256(lo, high_a);
  hi = _mm256_and_si256(hi, high_a);
  // k = 15 (x doubled) unless a >= 128 and b > 32.
  vec near_black = _mm256_cmpeq_epi8(_mm256_min_epu8(d8, _mm256_set1_epi8(32)), d8);
  vec twice = _mm256_or_si256(_mm256_cmpgt_epi8(s8, _mm256_set1_epi8(-1)), near_black);
  byte_prep p;
  p.x[0] = _mm256_xor_si256(_mm256_unpacklo_epi8(lo, hi), set16(16383));
  p.x[1] = _mm256_xor_si256(_mm256_unpackhi_epi8(lo, hi), set16(16383));
  p.y[0] = _mm256_unpacklo_epi8(twice, twice);
  p.y[1] = _mm256_unpackhi_epi8(twice, twice);
  return p;
}

// Modes whose bytes are gathered from their table: vivid light's two
// divisions by a per-byte divisor cost more in arithmetic than the gathers.
template <int M>
constexpr bool gathered = M == blend_vivid_light;

// (a << 8) | b of channel C in each pixel's 32-bit lane: byte C of the source
// and of the destination moved to bytes 1 and 0.
template <int C>
inline vec table_index(vec s8, vec d8) {
  const vec from_d = _mm256_setr_epi8(C, -1, -1, -1, C + 4, -1, -1, -1, C + 8, -1, -1, -1, C + 12, -1, -1, -1,  //
                                      C, -1, -1, -1, C + 4, -1, -1, -1, C + 8, -1, -1, -1, C + 12, -1, -1, -1);
  const vec from_s = _mm256_setr_epi8(-1, C, -1, -1, -1, C + 4, -1, -1, -1, C + 8, -1, -1, -1, C + 12, -1, -1,  //
                                      -1, C, -1, -1, -1, C + 4, -1, -1, -1, C + 8, -1, -1, -1, C + 12, -1, -1);
  return _mm256_or_si256(_mm256_shuffle_epi8(d8, from_d), _mm256_shuffle_epi8(s8, from_s));
}

// T of every colour byte (and the alpha byte too when all_four) gathered from
// mode M's table, one gather per channel for the eight pixels. Each gather
// reads the four bytes ending at index a * 256 + b, so the wanted byte is the
// top one and no read goes past the table (the one before it lies in the
// same table set).
template <int M, bool all_four>
inline byte_prep gather_prep(vec s8, vec d8) {
  const int* base = reinterpret_cast<const int*>(blend_tables.mode_table[M - 3] - 3);
  const vec zero = _mm256_setzero_si256();
  vec t = _mm256_srli_epi32(_mm256_i32gather_epi32(base, table_index<0>(s8, d8), 1), 24);
  t = _mm256_or_si256(t, _mm256_and_si256(_mm256_srli_epi32(_mm256_i32gather_epi32(base, table_index<1>(s8, d8), 1), 16),
                                          _mm256_set1_epi32(0xFF00)));
  t = _mm256_or_si256(t, _mm256_and_si256(_mm256_srli_epi32(_mm256_i32gather_epi32(base, table_index<2>(s8, d8), 1), 8),
                                          _mm256_set1_epi32(0xFF0000)));
  if constexpr (all_four)
    t = _mm256_or_si256(t, _mm256_and_si256(_mm256_i32gather_epi32(base, table_index<3>(s8, d8), 1),
                                            _mm256_set1_epi32(int(0xFF000000u))));
  byte_prep p;
  p.x[0] = _mm256_unpacklo_epi8(t, zero);
  p.x[1] = _mm256_unpackhi_epi8(t, zero);
  return p;
}

// T(a, b) of mode M on 16-bit lanes holding bytes: a the layer, b below, in
// half h of the step whose byte work is prep.
template <int M>
inline vec mode16(vec a, vec b, [[maybe_unused]] const byte_prep& prep, [[maybe_unused]] int h) {
  if constexpr (M == blend_normal) {
    return a;
  } else if constexpr (M == blend_add) {
    return _mm256_min_epi16(_mm256_add_epi16(a, b), set16(255));
  } else if constexpr (M == blend_subtract) {
    return _mm256_subs_epu16(a, b);
  } else if constexpr (M == blend_multiply) {
    return div255(_mm256_mullo_epi16(a, b));
  } else if constexpr (M == blend_divide) {
    // b = 0 behaves as b = 1: 255 * a clamps to 255 unless a = 0.
    vec q = divide16<true>(_mm256_mullo_epi16(a, set16(255)), _mm256_max_epi16(b, set16(1)));
    return _mm256_min_epu16(q, set16(255));
  } else if constexpr (M == blend_screen) {
    return _mm256_sub_epi16(_mm256_add_epi16(a, b), div255(_mm256_mullo_epi16(a, b)));
  } else if constexpr (M == blend_lighten) {
    return _mm256_max_epi16(a, b);
  } else if constexpr (M == blend_darken) {
    return _mm256_min_epi16(a, b);
  } else if constexpr (M == blend_difference) {
    return _mm256_or_si256(_mm256_subs_epu16(a, b), _mm256_subs_epu16(b, a));
  } else if constexpr (M == blend_exclusion) {
    vec p = div255(_mm256_mullo_epi16(a, b));
    return _mm256_sub_epi16(_mm256_add_epi16(a, b), _mm256_add_epi16(p, p));
  } else if constexpr (M == blend_overlay || M == blend_hard_light) {
    // Overlay splits on the background, hard light on the layer. With
    // k = min(2 key, 512 - 2 key) (2 key for a key up to 128, else 512 - 2 key) both
    // sides are other * k / 255, plus max(2 key - 257, 0), which is 2 key - 257
    // exactly above 128. At key = 128 that gives other * 256 / 255, which is
    // other itself but for 255 -> 256: the final min mends that one.
    vec key = M == blend_overlay ? b : a, other = M == blend_overlay ? a : b;
    vec twice = _mm256_add_epi16(key, key);
    vec k = _mm256_min_epi16(twice, _mm256_sub_epi16(mem16<512>(), twice));
    vec r = _mm256_add_epi16(div255<true>(_mm256_mullo_epi16(k, other)), _mm256_subs_epu16(twice, mem16<257>()));
    return _mm256_min_epi16(r, mem16<255>());
  } else if constexpr (M == blend_colour_dodge) {
    vec q = divide16<true>(_mm256_slli_epi16(b, 8), _mm256_sub_epi16(set16(256), a));
    return _mm256_min_epu16(q, set16(255));
  } else if constexpr (M == blend_colour_burn) {
    vec q = divide16<true>(_mm256_slli_epi16(_mm256_sub_epi16(set16(255), b), 8), _mm256_add_epi16(a, set16(1)));
    return _mm256_subs_epu16(set16(255), q);
  } else if constexpr (M == blend_linear_burn) {
    return _mm256_subs_epu16(_mm256_add_epi16(a, b), set16(255));
  } else if constexpr (M == blend_soft_light) {
    // clamp(b + (((a - 128) * t) >> k), 0, 255) as b + mulhi(x, t): the high
    // half of a 16-bit product is >> 16, and k = 15 doubles x first (the
    // prepared mask). t itself comes prepared: see soft_light_prep.
    vec x = _mm256_sub_epi16(a, set16(128));
    x = _mm256_add_epi16(x, _mm256_and_si256(x, prep.y[h]));
    return clamp_byte(_mm256_add_epi16(b, _mm256_mulhi_epi16(x, prep.x[h])));
  } else if constexpr (M == blend_vivid_light) {
    return prep.x[h];  // gathered from the table
  } else if constexpr (M == blend_linear_light) {
    // 2a + b is 0..765: the unsigned saturating subtraction clamps below.
    vec x = _mm256_add_epi16(_mm256_add_epi16(a, a), b);
    return _mm256_min_epi16(_mm256_subs_epu16(x, mem16<256>()), mem16<255>());
  } else if constexpr (M == blend_pin_light) {
    // min(max(b, 2a - 255), 2a): below 128, 2a - 255 is negative and the
    // max gives b; from 128 up, 2a is above 255 and the min changes nothing.
    vec twice = _mm256_add_epi16(a, a);
    return _mm256_min_epi16(_mm256_max_epi16(b, _mm256_sub_epi16(twice, set16(255))), twice);
  } else {
    return b;
  }
}

// d + (((T - d) * w) >> 8) for 0 <= w <= 256, given w2 = 2w per lane: the
// signed high multiply of (T - d) << 7 (at most 32,640 in size) by 2w floors
// (T - d) * 256w / 65,536, the same quantity. The opacity form
// d - ((o * (d - T) + 255) >> 8) is this one too (a ceiling of the negation).
inline vec lerp(vec d, vec t, vec w2) {
  return _mm256_add_epi16(d, _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_sub_epi16(t, d), 7), w2));
}

// Spreads the low 16 bits of each pixel's 32-bit lane to that pixel's three
// colour lanes (the alpha lane gets 0, so it stays as it is), for the pixels
// of the low unpacked half (0, 1 | 4, 5) or of the high one (2, 3 | 6, 7).
inline vec spread_colour(vec w32, int h) {
  const vec lo = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, -1, -1, 4, 5, 4, 5, 4, 5, -1, -1,  //
                                  0, 1, 0, 1, 0, 1, -1, -1, 4, 5, 4, 5, 4, 5, -1, -1);
  const vec hi = _mm256_setr_epi8(8, 9, 8, 9, 8, 9, -1, -1, 12, 13, 12, 13, 12, 13, -1, -1,  //
                                  8, 9, 8, 9, 8, 9, -1, -1, 12, 13, 12, 13, 12, 13, -1, -1);
  return _mm256_shuffle_epi8(w32, h == 0 ? lo : hi);
}

enum variant_kind { k_plain, k_opacity, k_alpha, k_alpha_opacity, k_rule, k_rule_alpha };

// Rule weights of the eight pixels of a 32-byte step, 0 where the table says
// 1 or less (weight 0 leaves the pixel as it is).
inline vec rule_weights(const uint8_t* m) {
  // Eight scalar loads: cheaper than a gather on processors that microcode it.
  vec w = _mm256_setr_epi32(rule_table[m[0]], rule_table[m[4]], rule_table[m[8]], rule_table[m[12]],
                            rule_table[m[16]], rule_table[m[20]], rule_table[m[24]], rule_table[m[28]]);
  return _mm256_and_si256(w, _mm256_cmpgt_epi32(w, _mm256_set1_epi32(1)));
}

// What one scan of the rule table per row tells the rule steps. The tables
// the compositor builds rise with the mask value: weights of 1 or less below
// some value (the part of a transition not yet reached), then a ramp as wide
// as the vagueness makes it, then one weight of at most 256 (the part already
// shown). Eight pixels whose mask values all lie below `live` stay as they
// are; eight whose mask values all lie at or above `top` take `top_weight`
// without a look-up. Every other step looks its eight weights up, so a
// table of any other shape still gives its exact bytes.
struct rule_scan {
  int live;        // first mask value whose weight is above 1 (256: none)
  int top;         // first mask value from which every weight is the same
  int top_weight;  // that weight, 0 when it is 1 or less
};

inline rule_scan scan_rule_table() {
  rule_scan r{256, 255, 0};
  for (int i = 0; i < 256; i += 8) {
    vec w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rule_table + i));
    int live = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(w, _mm256_set1_epi32(1))));
    if (live) {
      r.live = i + __builtin_ctz(unsigned(live));
      break;
    }
  }
  const int last = rule_table[255];
  const vec same = _mm256_set1_epi32(last);
  for (int i = 248; i >= 0; i -= 8) {
    vec w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rule_table + i));
    int other = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(w, same))) ^ 0xFF;
    if (other) {
      r.top = i + 32 - __builtin_clz(unsigned(other));  // one past the highest differing entry
      break;
    }
    r.top = i;
  }
  r.top_weight = last > 1 ? last : 0;
  return r;
}

// The rule scan as the steps use it, in registers: made once per row (the
// stores of a row could otherwise stand for the scan's memory).
struct rule_steps {
  vec below_live;  // live - 1
  vec top;
  vec top_weight;  // per pixel
  vec top_w2;      // 2 * top_weight in the colour lanes of a half, 0 in the alpha lanes
  bool top_dead;   // the top weight is 1 or less: those steps change nothing
};

inline rule_steps steps_of(const rule_scan& r) {
  rule_steps k;
  k.below_live = _mm256_set1_epi32(r.live - 1);
  k.top = _mm256_set1_epi32(r.top);
  k.top_weight = _mm256_set1_epi32(r.top_weight);
  k.top_w2 = _mm256_set1_epi64x(int64_t(uint64_t(2 * r.top_weight) * 0x000000010001'0001u));
  k.top_dead = r.top_weight == 0;
  return k;
}

// One 32-byte step (eight pixels) of variant V of mode M. The bytes go to
// 16-bit lanes in two halves (unpack low: pixels 0, 1, 4, 5; high: 2, 3, 6, 7)
// and come back in order through the saturating pack. Per-pixel weights are
// worked out once in 32-bit lanes (one per pixel) and spread to each half.
template <int M, variant_kind V>
inline void step(uint8_t* dp, const uint8_t* sp, const uint8_t* mp, int o, const rule_steps& rule) {
  const vec zero = _mm256_setzero_si256();
  vec w32 = zero;
  vec w2_lo = zero, w2_hi = zero;  // spread weights of the two halves, where made before `half`
  bool at_top = false;
  if constexpr (V == k_rule || V == k_rule_alpha) {
    vec index = _mm256_and_si256(load(mp), _mm256_set1_epi32(0xFF));
    vec live = _mm256_cmpgt_epi32(index, rule.below_live), below_top = _mm256_cmpgt_epi32(rule.top, index);
    if (_mm256_testz_si256(live, live)) return;
    at_top = _mm256_testz_si256(below_top, below_top);
    if (at_top && rule.top_dead) return;
    w32 = at_top ? rule.top_weight : rule_weights(mp);
  }
  vec s8 = load(sp);
  if constexpr (V == k_alpha_opacity || (V == k_rule_alpha && M == blend_normal)) {
    // Eight clear pixels weigh (o * 0 + o) >> 8 = 0 below full opacity, and
    // w * 0 under a rule (normal): nothing changes, not even a store. (The
    // other whole-step shortcuts follow below, where d is loaded.)
    if (_mm256_testz_si256(s8, _mm256_set1_epi32(int(0xFF000000u)))) return;
  }
  vec d8 = load(dp);
  // Whole steps of one kind of pixel finish in fewer operations (each path
  // gives the general form's bytes, see `half`).
  enum path_kind { general, big_weights, clear, opaque };
  path_kind path = general;
  vec big = zero;
  const vec alpha_bytes = _mm256_set1_epi32(int(0xFF000000u));
  if constexpr (V == k_alpha) {
    if (_mm256_testz_si256(s8, alpha_bytes))
      path = clear;
    else if (_mm256_testc_si256(s8, alpha_bytes))
      path = opaque;
    w32 = _mm256_add_epi32(_mm256_srli_epi32(s8, 24), _mm256_set1_epi32(1));
    w32 = _mm256_add_epi32(w32, w32);
  } else if constexpr (V == k_alpha_opacity) {
    // (o * a + o) >> 8, below 256 for o < 256.
    w32 = _mm256_mullo_epi16(_mm256_add_epi32(_mm256_srli_epi32(s8, 24), _mm256_set1_epi32(1)), set16(o));
    w32 = _mm256_srli_epi32(w32, 7);  // twice the weight, odd bit cleared below
    w32 = _mm256_and_si256(w32, _mm256_set1_epi32(0x1FE));
  } else if constexpr (V == k_rule) {
    if (at_top) {
      w2_lo = w2_hi = rule.top_w2;
    } else {
      w32 = _mm256_add_epi32(w32, w32);  // w <= 256
      w2_lo = spread_colour(w32, 0);
      w2_hi = spread_colour(w32, 1);
    }
  } else if constexpr (V == k_rule_alpha) {
    if (M != blend_normal && at_top && _mm256_testc_si256(s8, alpha_bytes)) {
      // w * 256 at full alpha: the rule variant's lerp by the top weight.
      path = opaque;
      w2_lo = w2_hi = rule.top_w2;
    } else if (M != blend_normal && at_top && _mm256_testz_si256(s8, alpha_bytes)) {
      path = clear;  // w * 1, w from 2 to 256: -1 where T < d, as for the alpha variant's weight 1
    } else {
      // w2 = w * (a + 1) (normal: w * a), up to 65,536. Both factors sit in the
      // low half of each 32-bit lane, so one multiply-add gives the product.
      vec a = _mm256_srli_epi32(s8, 24);
      if constexpr (M != blend_normal) a = _mm256_add_epi32(a, _mm256_set1_epi32(1));
      w32 = _mm256_madd_epi16(w32, a);
      // Lanes whose weight does not fit a signed 16-bit lane (see below).
      big = _mm256_cmpgt_epi32(w32, _mm256_set1_epi32(32767));
      if (!_mm256_testz_si256(big, big)) path = big_weights;
    }
  }
  byte_prep prep{};
  if constexpr (M == blend_soft_light)
    prep = soft_light_prep(s8, d8);
  else if constexpr (gathered<M>)
    prep = gather_prep<M, V == k_plain || V == k_opacity>(s8, d8);  // those two blend the alpha byte too
  // The two halves written out: left as a loop, some modes kept their
  // halves in memory and ran twice as long.
  auto half = [&](vec s16, vec d, int h, path_kind path) -> vec {
    vec t = mode16<M>(s16, d, prep, h);
    if constexpr (V == k_plain) {
      return t;
    } else if constexpr (V == k_opacity) {
      if constexpr (M == blend_difference) {
        // d + trunc(o * (T - d) / 256): toward zero on both sides, so the
        // size is worked out on |T - d| and given the sign back.
        vec x = _mm256_sub_epi16(t, d);
        vec size = _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_abs_epi16(x), set16(o)), 8);
        return _mm256_add_epi16(d, _mm256_sign_epi16(size, x));
      } else {
        return lerp(d, t, set16(2 * o));
      }
    } else {
      if ((V == k_alpha || V == k_rule_alpha) && path == clear) {
        // Weight 1 of 256 (under a rule, w <= 256 of 65,536): one less where
        // T < d, in the colour lanes.
        const vec colour = _mm256_set1_epi64x(0x0000FFFFFFFFFFFF);
        return _mm256_add_epi16(d, _mm256_and_si256(_mm256_cmpgt_epi16(d, t), colour));
      }
      if constexpr (V == k_alpha) {
        if (path == opaque) return _mm256_blend_epi16(t, d, 0x88);  // weight 256: T, the alpha lanes kept
        return lerp(d, t, spread_colour(w32, h));
      } else if constexpr (V == k_alpha_opacity) {
        return lerp(d, t, spread_colour(w32, h));
      } else if constexpr (V == k_rule) {
        return lerp(d, t, h == 0 ? w2_lo : w2_hi);
      } else {
        if (path == opaque) return lerp(d, t, h == 0 ? w2_lo : w2_hi);
        // d + (((T - d) * w2) >> 16) on 16-bit lanes. The signed high multiply
        // reads a weight w2 >= 32,768 as w2 - 65,536, which takes exactly
        // T - d off the floored product: add it back in those lanes (w2 = 65,536,
        // stored as 0, then gives T - d, as it should). The alpha lanes get
        // weight 0 and no correction.
        vec x = _mm256_sub_epi16(t, d);
        vec p = _mm256_mulhi_epi16(x, spread_colour(w32, h));
        if (path == big_weights) p = _mm256_add_epi16(p, _mm256_and_si256(x, spread_colour(big, h)));
        return _mm256_add_epi16(d, p);
      }
    }
  };
  auto both = [&](path_kind path) {
    vec r0 = half(_mm256_unpacklo_epi8(s8, zero), _mm256_unpacklo_epi8(d8, zero), 0, path);
    vec r1 = half(_mm256_unpackhi_epi8(s8, zero), _mm256_unpackhi_epi8(d8, zero), 1, path);
    store(dp, _mm256_packus_epi16(r0, r1));
  };
  // One copy of the arithmetic per path, each with its choice made once.
  switch (path) {
    case general: both(general); break;
    case big_weights: both(big_weights); break;
    case clear: both(clear); break;
    case opaque: both(opaque); break;
  }
}

template <int M, variant_kind V>
inline size_t run(uint8_t* d, const uint8_t* s, const uint8_t* m, int o, size_t n, const rule_scan& scan = {}) {
  const rule_steps rule = steps_of(scan);
  const size_t whole = n & ~size_t(31);
  // Pointers stepped side by side (an index beside them costs the loop moves).
  for (uint8_t* const end = d + whole; d != end; d += 32, s += 32) {
    // The mode arithmetic keeps the loop from running ahead of memory as a
    // copy would; asking for the rows 512 bytes ahead covers the difference.
    _mm_prefetch(reinterpret_cast<const char*>(s + 512), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(d + 512), _MM_HINT_T0);
    step<M, V>(d, s, m, o, rule);
    if (m) m += 32;
  }
  return whole;
}

// The table forms finish what the vector loop leaves (fewer than 32 bytes,
// whole pixels) and take opacities outside the range the rewrites hold for.
template <int M>
void plain_span(uint8_t* d, const uint8_t* s, int o, size_t n) {
  size_t i = run<M, k_plain>(d, s, nullptr, o, n);
  if (i < n) blend_table_spans_of(M).plain(d + i, s + i, o, n - i);
}

template <int M>
void opacity_span(uint8_t* d, const uint8_t* s, int o, size_t n) {
  size_t i = o >= 0 && o <= 256 ? run<M, k_opacity>(d, s, nullptr, o, n) : 0;
  if (i < n) blend_table_spans_of(M).opacity(d + i, s + i, o, n - i);
}

template <int M>
void alpha_span(uint8_t* d, const uint8_t* s, int o, size_t n) {
  size_t i = run<M, k_alpha>(d, s, nullptr, o, n);
  if (i < n) blend_table_spans_of(M).alpha(d + i, s + i, o, n - i);
}

template <int M>
void alpha_opacity_span(uint8_t* d, const uint8_t* s, int o, size_t n) {
  size_t i = 0;
  if (o == 256)
    i = run<M, k_alpha>(d, s, nullptr, o, n);  // (256 * a + 256) >> 8 = a + 1
  else if (o >= 0 && o < 256)
    i = run<M, k_alpha_opacity>(d, s, nullptr, o, n);
  if (i < n) blend_table_spans_of(M).alpha_opacity(d + i, s + i, o, n - i);
}

template <int M>
void rule_span(uint8_t* d, const uint8_t* s, const uint8_t* m, int p, int v, size_t n) {
  size_t i = run<M, k_rule>(d, s, m, 0, n, scan_rule_table());
  if (i < n) blend_table_spans_of(M).rule(d + i, s + i, m + i, p, v, n - i);
}

template <int M>
void rule_alpha_span(uint8_t* d, const uint8_t* s, const uint8_t* m, int p, int v, size_t n) {
  size_t i = run<M, k_rule_alpha>(d, s, m, 0, n, scan_rule_table());
  if (i < n) blend_table_spans_of(M).rule_alpha(d + i, s + i, m + i, p, v, n - i);
}

template <int M>
blend_mode_spans computed() {
  return {&plain_span<M>, &opacity_span<M>, &alpha_span<M>, &alpha_opacity_span<M>, &rule_span<M>,
          &rule_alpha_span<M>};
}

template <int... Ms>
void fill_all(blend_mode_spans* out, std::integer_sequence<int, Ms...>) {
  ((out[Ms] = computed<Ms>()), ...);
}

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool fill_computed_blend_spans(blend_mode_spans (&out)[blend_mode_count]) {
  if (!kernel_set_avx2()) return false;
  // Soft light's t where a >= 128 and b <= 32, worked out as the table's
  // builder does (double square root, truncated).
  for (int b = 0; b <= 32; ++b) {
    int t = int(16384.0 - double(768 - 8 * b) * std::sqrt(double(256 - b))) ^ 16383;
    if (b == 32) {
      soft_light_t.low32 = uint8_t(t);
      soft_light_t.high32 = uint8_t(t >> 8);
      continue;
    }
    for (int lane = 0; lane < 2; ++lane) {
      soft_light_t.low[b >> 4][lane * 16 + (b & 15)] = uint8_t(t);
      soft_light_t.high[b >> 4][lane * 16 + (b & 15)] = uint8_t(t >> 8);
    }
  }
  fill_all(out, std::make_integer_sequence<int, blend_mode_count>{});
  return true;
}

#else

bool fill_computed_blend_spans(blend_mode_spans (&)[blend_mode_count]) { return false; }

#endif
