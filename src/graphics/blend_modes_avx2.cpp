// Blend-mode spans computed with AVX2 instead of one table look-up per byte.
// Every mode is worked out on 16-bit lanes so that it yields exactly the byte
// its 256 x 256 table holds (the tests compare both over all 65,536 byte
// pairs), and every variant's weighting is rewritten in a form that gives the
// same bytes:
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

// floor(n / q) for 16-bit lanes, n unsigned, q >= 1, saturated to 32,767
// (callers clamp to 0..255 afterwards), through single floats: n and q are
// exact in a float, the division is correctly rounded, and a quotient below
// 65,536 that is not a whole number lies at least 1/q (>= 2^-16) below the
// next whole number, more than half a unit in the last place (<= 2^-9), so
// truncation gives the floor. (A reciprocal estimate refined by a Newton step
// avoids the divider but costs more in arithmetic than the divider's
// throughput once the loop is unrolled.)
inline vec quotient32(vec n, vec q) {
  return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(n), _mm256_cvtepi32_ps(q)));
}

inline vec divide16(vec n, vec q) {
  const vec zero = _mm256_setzero_si256();
  return _mm256_packs_epi32(quotient32(_mm256_unpacklo_epi16(n, zero), _mm256_unpacklo_epi16(q, zero)),
                            quotient32(_mm256_unpackhi_epi16(n, zero), _mm256_unpackhi_epi16(q, zero)));
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

// Vivid light's T on all 32 bytes. Below 128:
// max(255 - ceil(255 (255 - b) / 2a), 0), the same as the truncated
// max((510a + 255b - 65025) / 2a, 0); from 128 up: min(floor(255b / (510 - 2a)), 255).
// Either is one division per lane, q = 2a or 510 - 2a (a byte: at most 254)
// into 255x + c below 65,536, with x = 255 - b and c = q - 1 (the ceiling)
// below 128, x = b and c = 0 above. q is 0 only at a = 0 and a = 255, whose
// lanes divide 255 * 255 by 1 instead and so come out 0 and 255 through the
// same clamps. Most of the work is done on bytes, 32 lanes at a time.
inline byte_prep vivid_light_prep(vec s8, vec d8) {
  const vec zero = _mm256_setzero_si256();
  vec high = _mm256_cmpgt_epi8(zero, s8);  // a >= 128
  vec low = _mm256_xor_si256(high, _mm256_set1_epi8(-1));
  vec twice = _mm256_add_epi8(s8, s8);                                            // 2a - 256 above
  vec q = _mm256_add_epi8(_mm256_xor_si256(twice, high), high);                  // 254 - (2a - 256) above
  vec ends = _mm256_cmpeq_epi8(q, zero);
  q = _mm256_sub_epi8(q, ends);
  vec x = _mm256_or_si256(_mm256_xor_si256(d8, low), ends);
  vec c = _mm256_and_si256(low, _mm256_add_epi8(q, _mm256_set1_epi8(-1)));
  vec t[2];
  for (int h = 0; h < 2; ++h) {
    vec x256_c = h == 0 ? _mm256_unpacklo_epi8(c, x) : _mm256_unpackhi_epi8(c, x);  // 256x + c
    vec x16 = h == 0 ? _mm256_unpacklo_epi8(x, zero) : _mm256_unpackhi_epi8(x, zero);
    vec q16 = h == 0 ? _mm256_unpacklo_epi8(q, zero) : _mm256_unpackhi_epi8(q, zero);
    t[h] = divide16(_mm256_sub_epi16(x256_c, x16), q16);
  }
  vec r = _mm256_xor_si256(_mm256_packus_epi16(t[0], t[1]), low);  // 255 - r below 128
  byte_prep p;
  p.x[0] = _mm256_unpacklo_epi8(r, zero);
  p.x[1] = _mm256_unpackhi_epi8(r, zero);
  return p;
}

// Modes whose "T < b" has a test cheaper than T itself. The alpha variant
// weighs a clear pixel (alpha 0) 1/256: b + ((T - b) >> 8) is b - 1 where
// T < b and b elsewhere, so eight clear pixels need only that test.
template <int M>
constexpr bool clear_test = M == blend_divide || M == blend_colour_dodge || M == blend_colour_burn ||
                            M == blend_soft_light || M == blend_vivid_light;

// x < y for unsigned 16-bit lanes, as a mask.
inline vec below16(vec x, vec y) { return _mm256_xor_si256(_mm256_cmpeq_epi16(_mm256_max_epu16(x, y), x), set16(-1)); }

// Bytes where T(a, b) < b, all ones (other bytes 0):
// - divide: floor(255a / max(b, 1)) < b (min 255 changes nothing, b <= 255)
//   is 255a < b * b;
// - colour dodge: 256b / (256 - a) >= b, never;
// - colour burn: min(floor(256 (255 - b) / (a + 1)), 255) > 255 - b is, for
//   b > 0, 256 (255 - b) >= (256 - b)(a + 1), a product up to 65,536 compared
//   as that product less one;
// - soft light: a < 128 adds a negative amount (t > 0) clamped at 0, a >= 128
//   a non-negative one: a < 128 and b > 0;
// - vivid light: a >= 128 gives at least min(b, 255) (its divisor is below
//   255), a = 0 gives 0, and 0 < a < 128 gives max(255 - ceil(255 (255 - b) / 2a), 0),
//   whose quotient is above 255 - b (2a < 255) unless b = 255 (T = 255).
//   So a < 128 and b > 0, and b < 255 unless a = 0.
template <int M>
inline vec below_background(vec s8, vec d8) {
  const vec zero = _mm256_setzero_si256();
  if constexpr (M == blend_colour_dodge) {
    return zero;
  } else if constexpr (M == blend_soft_light || M == blend_vivid_light) {
    vec low = _mm256_cmpgt_epi8(s8, _mm256_set1_epi8(-1));
    vec bad = _mm256_cmpeq_epi8(d8, zero);
    if constexpr (M == blend_vivid_light)
      bad = _mm256_or_si256(bad, _mm256_andnot_si256(_mm256_cmpeq_epi8(s8, zero),
                                                     _mm256_cmpeq_epi8(d8, _mm256_set1_epi8(-1))));
    return _mm256_andnot_si256(bad, low);
  } else {
    vec m[2];
    for (int h = 0; h < 2; ++h) {
      vec a = h == 0 ? _mm256_unpacklo_epi8(s8, zero) : _mm256_unpackhi_epi8(s8, zero);
      vec b = h == 0 ? _mm256_unpacklo_epi8(d8, zero) : _mm256_unpackhi_epi8(d8, zero);
      if constexpr (M == blend_divide) {
        m[h] = below16(_mm256_mullo_epi16(a, set16(255)), _mm256_mullo_epi16(b, b));
      } else {
        vec product = _mm256_mullo_epi16(_mm256_sub_epi16(set16(256), b), _mm256_add_epi16(a, set16(1)));
        m[h] = below16(_mm256_sub_epi16(product, set16(1)), _mm256_slli_epi16(_mm256_sub_epi16(set16(255), b), 8));
      }
    }
    vec below = _mm256_packs_epi16(m[0], m[1]);
    if constexpr (M == blend_colour_burn) below = _mm256_andnot_si256(_mm256_cmpeq_epi8(d8, zero), below);
    return below;
  }
}

// Eight clear pixels of the alpha variant (weight 1 of 256), or of rule x
// alpha at one top weight (2..256 of 65,536): each colour byte less one
// where T < b.
template <int M>
inline void clear_pixels(uint8_t* dp, vec s8) {
  vec d8 = load(dp);
  vec below = _mm256_andnot_si256(_mm256_set1_epi32(int(0xFF000000u)), below_background<M>(s8, d8));
  store(dp, _mm256_add_epi8(d8, below));
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
    vec q = divide16(_mm256_mullo_epi16(a, set16(255)), _mm256_max_epi16(b, set16(1)));
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
    vec q = divide16(_mm256_slli_epi16(b, 8), _mm256_sub_epi16(set16(256), a));
    return _mm256_min_epu16(q, set16(255));
  } else if constexpr (M == blend_colour_burn) {
    vec q = divide16(_mm256_slli_epi16(_mm256_sub_epi16(set16(255), b), 8), _mm256_add_epi16(a, set16(1)));
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
    return prep.x[h];  // see vivid_light_prep
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
// Always inlined: otherwise GCC keeps it out of the loop with its halves and
// prep in memory, a third slower.
template <int M, variant_kind V>
[[gnu::always_inline]] inline void step(uint8_t* dp, const uint8_t* sp, const uint8_t* mp, int o,
                                        const rule_steps& rule) {
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
  const vec alpha_bytes = _mm256_set1_epi32(int(0xFF000000u));
  vec s8 = load(sp);
  if constexpr (V == k_alpha_opacity || (V == k_rule_alpha && M == blend_normal)) {
    // Eight clear pixels weigh (o * 0 + o) >> 8 = 0 below full opacity, and
    // w * 0 under a rule (normal): nothing changes, not even a store. (The
    // other whole-step shortcuts follow below, where d is loaded.)
    if (_mm256_testz_si256(s8, alpha_bytes)) return;
  }
  if constexpr (V == k_alpha && clear_test<M>) {
    if (_mm256_testz_si256(s8, alpha_bytes)) return clear_pixels<M>(dp, s8);
  }
  vec d8 = load(dp);
  // Whole steps of one kind of pixel finish in fewer operations (each path
  // gives the general form's bytes, see `half`).
  enum path_kind { general, big_weights, clear, opaque };
  path_kind path = general;
  vec big = zero;
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
      // w * 1, w from 2 to 256: -1 where T < d, as for the alpha variant's
      // weight 1 (and as cheap where that has a test of its own).
      if constexpr (clear_test<M>) return clear_pixels<M>(dp, s8);
      path = clear;
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
  else if constexpr (M == blend_vivid_light)
    prep = vivid_light_prep(s8, d8);
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
    // The mask is read once: fetched without a place in the shared cache, it
    // leaves the source and destination there.
    if (m) _mm_prefetch(reinterpret_cast<const char*>(m + 512), _MM_HINT_NTA);
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

void quotients(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count) {
  for (size_t i = 0; i + 16 <= count; i += 16)
    store(reinterpret_cast<uint8_t*>(out + i), divide16(load(reinterpret_cast<const uint8_t*>(n + i)),
                                                        load(reinterpret_cast<const uint8_t*>(q + i))));
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

bool computed_blend_quotients(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count) {
  if (!kernel_set_avx2()) return false;
  quotients(n, q, out, count);
  return true;
}

#else

bool fill_computed_blend_spans(blend_mode_spans (&)[blend_mode_count]) { return false; }
bool computed_blend_quotients(const uint16_t*, const uint16_t*, uint16_t*, size_t) { return false; }

#endif
