// Blend modes: tables, span routines and the dispatch tables.
#include "graphics/blend_modes.h"

#include <array>
#include <cmath>
#include <utility>

#include "graphics/blend_modes_computed.h"

blend_table_set blend_tables;
int32_t rule_table[256];
blend_span_table_set blend_span_tables;

namespace {

inline int clamp_int(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

int soft_light(int a, int b) {
  int t, k;
  double root = std::sqrt(double(256 - b));
  if (a < 128) {
    t = int(16384.0 - root);
    k = 15;
  } else if (b <= 32) {
    t = int(16384.0 - double(768 - 8 * b) * root);
    k = 15;
  } else {
    t = int(16384.0 - root);
    k = 16;
  }
  return clamp_int(b + (((a - 128) * t) >> k), 0, 255);
}

int vivid_light(int a, int b) {
  if (a == 0) return 0;
  if (a < 128) {
    int r = (510 * a + 255 * b - 65025) / (2 * a);
    return r > 0 ? r : 0;
  }
  if (a < 255) {
    int r = 255 * b / (510 - 2 * a);
    return r < 255 ? r : 255;
  }
  return 255;
}

}  // namespace

int blend_mode_formula(int mode, int a, int b) {
  switch (mode) {
    case blend_normal: return a;
    case blend_add: return a + b < 255 ? a + b : 255;
    case blend_subtract: return a - b > 0 ? a - b : 0;
    case blend_multiply: return a * b / 255;
    case blend_divide:
      if (b == 0) return a == 0 ? 0 : 255;
      return a * 255 / b < 255 ? a * 255 / b : 255;
    case blend_screen: return a + b - a * b / 255;
    case blend_lighten: return a > b ? a : b;
    case blend_darken: return a < b ? a : b;
    case blend_difference: return a > b ? a - b : b - a;
    case blend_exclusion: return a + b - 2 * (a * b / 255);
    case blend_overlay:
      if (b < 128) return 2 * a * b / 255;
      if (b == 128) return a;
      return a * (512 - 2 * b) / 255 + 2 * b - 257;
    case blend_colour_dodge: {
      int r = 256 * b / (256 - a);
      return r < 255 ? r : 255;
    }
    case blend_colour_burn: {
      int r = 255 - 256 * (255 - b) / (a + 1);
      return r > 0 ? r : 0;
    }
    case blend_linear_burn: return a + b - 255 > 0 ? a + b - 255 : 0;
    case blend_hard_light:
      if (a < 128) return 2 * a * b / 255;
      if (a == 128) return b;
      return b * (512 - 2 * a) / 255 + 2 * a - 257;
    case blend_soft_light: return soft_light(a, b);
    case blend_vivid_light: return vivid_light(a, b);
    case blend_linear_light: return clamp_int(2 * a + b - 256, 0, 255);
    case blend_pin_light:
      if (a < 128) return b < 2 * a ? b : 2 * a;
      return b > 2 * a - 255 ? b : 2 * a - 255;
    default: return b;
  }
}

void init_blend_tables() {
  for (int x = 0; x <= 256; ++x) {
    for (int y = -255; y <= 256; ++y) {
      blend_tables.prod[x][y + 255] = int16_t(x * y / 255);
      blend_tables.step[x][y + 255] = int16_t(x * y / 256);
    }
  }
  uint8_t* mul = blend_tables.mode_table[blend_multiply - 3];
  for (int j = 0; j < 256; ++j)
    for (int k = 0; k < 256; ++k) mul[j * 256 + k] = uint8_t(j * k / 255);
}

// ---- span routines ----

namespace {

// T(s, d) of mode M: s the layer byte, d the byte below.
template <int M>
inline int mode_value(int s, int d) {
  if constexpr (M == blend_normal) {
    return s;
  } else if constexpr (M == blend_add) {
    return blend_tables.sat[s + d];
  } else if constexpr (M == blend_subtract) {
    return blend_tables.diff_clamp[s - d + 255];
  } else {
    return blend_tables.mode_table[M - 3][s * 256 + d];
  }
}

template <int M>
void span_plain(uint8_t* d, const uint8_t* s, int, size_t n) {
  for (size_t i = 0; i < n; ++i) d[i] = uint8_t(mode_value<M>(s[i], d[i]));
}

template <int M>
void span_opacity(uint8_t* d, const uint8_t* s, int o, size_t n) {
  if constexpr (M == blend_difference) {
    const int16_t* step = blend_tables.step[o] + 255;
    for (size_t i = 0; i < n; ++i) d[i] = uint8_t(d[i] + step[mode_value<M>(s[i], d[i]) - d[i]]);
  } else {
    for (size_t i = 0; i < n; ++i) {
      int b = d[i];
      d[i] = uint8_t(b - ((o * (b - mode_value<M>(s[i], b)) + 255) >> 8));
    }
  }
}

template <int M>
inline void weigh_colours(uint8_t* d, const uint8_t* s, int w, int shift) {
  for (int c = 0; c < 3; ++c) {
    int b = d[c];
    d[c] = uint8_t(b + (((mode_value<M>(s[c], b) - b) * w) >> shift));
  }
}

template <int M>
void span_alpha(uint8_t* d, const uint8_t* s, int, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) weigh_colours<M>(d + i, s + i, s[i + 3] + 1, 8);
}

template <int M>
void span_alpha_opacity(uint8_t* d, const uint8_t* s, int o, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) weigh_colours<M>(d + i, s + i, (o * s[i + 3] + o) >> 8, 8);
}

template <int M>
void span_rule(uint8_t* d, const uint8_t* s, const uint8_t* m, int, int, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    int w = rule_table[m[i]];
    if (w > 1) weigh_colours<M>(d + i, s + i, w, 8);
  }
}

template <int M>
void span_rule_alpha(uint8_t* d, const uint8_t* s, const uint8_t* m, int, int, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    int w = rule_table[m[i]];
    if (w <= 1) continue;
    // Normal weighs by a_s alone: an opaque pixel at full weight still keeps
    // 1/256 of the background, as designed.
    int a = M == blend_normal ? s[i + 3] : s[i + 3] + 1;
    weigh_colours<M>(d + i, s + i, w * a, 16);
  }
}

// Kernel-backed variants call their slot at run time, so a change of kernel
// set never leaves the dispatch tables pointing at the old one.
void k_copy(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_copy(d, s, n); }
void k_crossfade(uint8_t* d, const uint8_t* s, int o, size_t n) { pixel_kernels.kernel_crossfade(d, s, o, n); }
void k_alpha_blend(uint8_t* d, const uint8_t* s, int o, size_t n) { pixel_kernels.kernel_alpha_blend(d, s, o, n); }
void k_alpha_blend_opacity(uint8_t* d, const uint8_t* s, int o, size_t n) {
  pixel_kernels.kernel_alpha_blend_opacity(d, s, o, n);
}
void k_rule_blend(uint8_t* d, const uint8_t* s, const uint8_t* m, int p, int v, size_t n) {
  pixel_kernels.kernel_rule_blend(d, s, m, p, v, n);
}
void k_add_sat(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_add_sat(d, s, n); }
void k_add_opacity(uint8_t* d, const uint8_t* s, int o, size_t n) { pixel_kernels.kernel_add_opacity(d, s, o, n); }
void k_add_alpha(uint8_t* d, const uint8_t* s, int o, size_t n) { pixel_kernels.kernel_add_alpha(d, s, o, n); }
void k_add_alpha_opacity(uint8_t* d, const uint8_t* s, int o, size_t n) {
  pixel_kernels.kernel_add_alpha_opacity(d, s, o, n);
}
void k_sub_sat(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_sub_sat(d, s, n); }
void k_multiply(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_multiply(d, s, n); }
void k_screen(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_screen(d, s, n); }
void k_screen_opacity(uint8_t* d, const uint8_t* s, int o, size_t n) {
  pixel_kernels.kernel_screen_opacity(d, s, o, n);
}
void k_lighten(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_lighten(d, s, n); }
void k_darken(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_darken(d, s, n); }
void k_linear_burn(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_linear_burn(d, s, n); }
void k_linear_light(uint8_t* d, const uint8_t* s, int, size_t n) { pixel_kernels.kernel_linear_light(d, s, n); }

template <int M>
constexpr blend_mode_spans table_spans() {
  return {&span_plain<M>, &span_opacity<M>, &span_alpha<M>, &span_alpha_opacity<M>, &span_rule<M>,
          &span_rule_alpha<M>};
}

template <int M>
constexpr blend_mode_spans with(span_fn plain, span_fn opacity = nullptr) {
  blend_mode_spans spans = table_spans<M>();
  spans.plain = plain;
  if (opacity) spans.opacity = opacity;
  return spans;
}

const blend_mode_spans mode_spans[blend_mode_count] = {
    {&k_copy, &k_crossfade, &k_alpha_blend, &k_alpha_blend_opacity, &span_rule<0>, &span_rule_alpha<0>},
    {&k_add_sat, &k_add_opacity, &k_add_alpha, &k_add_alpha_opacity, &span_rule<1>, &span_rule_alpha<1>},
    with<2>(&k_sub_sat),
    with<3>(&k_multiply),
    table_spans<4>(),
    with<5>(&k_screen, &k_screen_opacity),
    with<6>(&k_lighten),
    with<7>(&k_darken),
    table_spans<8>(),
    table_spans<9>(),
    table_spans<10>(),
    table_spans<11>(),
    table_spans<12>(),
    with<13>(&k_linear_burn),
    table_spans<14>(),
    table_spans<15>(),
    table_spans<16>(),
    with<17>(&k_linear_light),
    table_spans<18>(),
};

template <int... Ms>
constexpr std::array<blend_mode_spans, blend_mode_count> all_table_spans(std::integer_sequence<int, Ms...>) {
  return {table_spans<Ms>()...};
}

const std::array<blend_mode_spans, blend_mode_count> table_form_spans =
    all_table_spans(std::make_integer_sequence<int, blend_mode_count>{});

// What the dispatch tables hold: the kernels, and for every variant left in
// table form the computed span when there is one.
blend_mode_spans installed_spans[blend_mode_count];

}  // namespace

bool fill_computed_blend_spans(blend_mode_spans (&out)[blend_mode_count], span_width width) {
  if (width != span_width::avx2 && fill_computed_blend_spans_avx512(out)) return true;
  return width != span_width::avx512 && fill_computed_blend_spans_avx2(out);
}

bool computed_blend_quotients(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count, span_width width) {
  if (width != span_width::avx2 && computed_blend_quotients_avx512(n, q, out, count)) return true;
  return width != span_width::avx512 && computed_blend_quotients_avx2(n, q, out, count);
}

namespace {

void install_mode_spans() {
  blend_mode_spans computed[blend_mode_count];
  // The computed spans (the widest the processor runs) go with the AVX2
  // kernel set; the lower levels (chosen by the processor or the settings)
  // keep the table forms.
  bool use_computed = pixel_kernels.level == 3 && pixel_kernels.avx2 && fill_computed_blend_spans(computed);
  for (int m = 0; m < blend_mode_count; ++m) {
    blend_mode_spans spans = mode_spans[m];
    if (use_computed) {
      const blend_mode_spans& table = table_form_spans[size_t(m)];
      const blend_mode_spans& fast = computed[m];
      if (spans.plain == table.plain) spans.plain = fast.plain;
      if (spans.opacity == table.opacity) spans.opacity = fast.opacity;
      if (spans.alpha == table.alpha) spans.alpha = fast.alpha;
      if (spans.alpha_opacity == table.alpha_opacity) spans.alpha_opacity = fast.alpha_opacity;
      if (spans.rule == table.rule) spans.rule = fast.rule;
      if (spans.rule_alpha == table.rule_alpha) spans.rule_alpha = fast.rule_alpha;
    }
    installed_spans[m] = spans;
  }
}

}  // namespace

const blend_mode_spans& blend_spans_of(int mode) {
  static const blend_mode_spans none{};
  return mode >= 0 && mode < blend_mode_count ? installed_spans[mode] : none;
}

const blend_mode_spans& blend_table_spans_of(int mode) {
  static const blend_mode_spans none{};
  return mode >= 0 && mode < blend_mode_count ? table_form_spans[size_t(mode)] : none;
}

void init_blend_dispatch_tables() {
  for (int i = 0; i <= 510; ++i) {
    blend_tables.sat[i] = uint8_t(i < 255 ? i : 255);
    blend_tables.diff_clamp[i] = uint8_t(i - 255 > 0 ? i - 255 : 0);
  }
  for (int x = 0; x < 256; ++x) blend_tables.quot[0][x] = 0;
  for (int q = 1; q < 256; ++q)
    for (int x = 0; x < 256; ++x) blend_tables.quot[q][x] = uint16_t(x * 256 / q);
  for (int m = 3; m < blend_mode_count; ++m) {
    uint8_t* table = blend_tables.mode_table[m - 3];
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) table[a * 256 + b] = uint8_t(blend_mode_formula(m, a, b));
  }
  install_mode_spans();
  blend_span_tables = {};
  for (int m = 0; m < blend_mode_count; ++m) {
    const blend_mode_spans& spans = installed_spans[m];
    blend_span_tables.span_table_opacity[2 * m] = spans.opacity;
    blend_span_tables.span_table_opacity[2 * m + 1] = spans.plain;
    blend_span_tables.span_table_alpha[2 * m] = spans.alpha_opacity;
    blend_span_tables.span_table_alpha[2 * m + 1] = spans.alpha;
    blend_span_tables.span_table_rule[2 * m] = spans.rule;
    blend_span_tables.span_table_rule[2 * m + 1] = m == blend_normal ? &k_rule_blend : spans.rule;
    // Read only at 2m (the opacity is inside the rule weights); the odd entry
    // holds the same routine so a stray read cannot reach an empty slot.
    blend_span_tables.span_table_rule_alpha[2 * m] = spans.rule_alpha;
    blend_span_tables.span_table_rule_alpha[2 * m + 1] = spans.rule_alpha;
  }
}

void build_rule_table(int opacity, int progress, int vagueness) {
  int o = clamp_int(opacity, 0, 256), p = clamp_int(progress, 0, 256), v = clamp_int(vagueness, 0, 256);
  for (int i = 0; i < 256; ++i) {
    int e;
    if (v == 256) {
      e = i >= 256 - p ? 256 : 0;
    } else {
      e = p * (v >> 1) - 128 * v + p + ((i * v) >> 1);
      e = (e < 255 ? e : 255) + 1;
    }
    rule_table[i] = (o * e) >> 8;
  }
}

int blend_span_index(int mode, int opacity) {
  if (mode < 0 || mode >= blend_mode_count || opacity < 0 || opacity > 256) return -1;
  return 2 * mode + (opacity >> 8);
}

span_fn select_span_opacity(int mode, int opacity) {
  int i = blend_span_index(mode, opacity);
  return i < 0 ? nullptr : blend_span_tables.span_table_opacity[i];
}

span_fn select_span_alpha(int mode, int opacity) {
  int i = blend_span_index(mode, opacity);
  return i < 0 ? nullptr : blend_span_tables.span_table_alpha[i];
}

span_rule_fn select_span_rule(int mode, int opacity) {
  int i = blend_span_index(mode, opacity);
  return i < 0 ? nullptr : blend_span_tables.span_table_rule[i];
}

span_rule_fn select_span_rule_alpha(int mode, int opacity) {
  int i = blend_span_index(mode, opacity);
  return i < 0 ? nullptr : blend_span_tables.span_table_rule_alpha[2 * mode];
}
