// Blend modes 0..18, their lookup tables, the span routines that blend one row
// and the dispatch tables through which the compositor picks a span routine.
//
// In the formulas a (or s) is the layer's channel value and b (or d) the value
// below it. Opacity is 0..256 (256 opaque), rule progress and vagueness 0..256.
#pragma once
#include <cstddef>
#include <cstdint>

#include "graphics/pixel_kernels.h"

constexpr int blend_mode_count = 19;
constexpr int blend_span_entries = 40;  // 2 per mode; 38 and 39 stay empty

enum blend_mode : uint8_t {
  blend_normal = 0,
  blend_add = 1,
  blend_subtract = 2,
  blend_multiply = 3,
  blend_divide = 4,
  blend_screen = 5,
  blend_lighten = 6,
  blend_darken = 7,
  blend_difference = 8,
  blend_exclusion = 9,
  blend_overlay = 10,
  blend_colour_dodge = 11,
  blend_colour_burn = 12,
  blend_linear_burn = 13,
  blend_hard_light = 14,
  blend_soft_light = 15,
  blend_vivid_light = 16,
  blend_linear_light = 17,
  blend_pin_light = 18,
};

// Process-wide tables, written once at start-up, read-only afterwards.
struct blend_table_set {
  // prod[x][y + 255] = trunc(x * y / 255), x = 0..256, y = -255..256.
  int16_t prod[257][512];
  // step[o][d + 255] = trunc(o * d / 256), o = 0..256, d = -255..256.
  int16_t step[257][512];
  // quot[n][x] = x * 256 / n for n = 1..255; row 0 is zero.
  uint16_t quot[256][256];
  uint8_t sat[511];         // min(i, 255)
  uint8_t diff_clamp[511];  // [d + 255] = max(d, 0)
  // Modes 3..18: mode_table[m - 3][a * 256 + b]. Mode 3's table is also the
  // j * k / 255 byte table of the start-up step.
  uint8_t mode_table[16][256 * 256];
};
extern blend_table_set blend_tables;

// Rule weight per mask value, rebuilt for each masked layer by the compositor
// thread between jobs; the workers only read it.
extern int32_t rule_table[256];

// Span routines. The opacity argument of plain and alpha variants is unused.
using span_fn = void (*)(uint8_t* dst, const uint8_t* src, int opacity, size_t n);
using span_rule_fn = kernel_rule_fn;

struct blend_span_table_set {
  span_fn span_table_opacity[blend_span_entries];     // job 101
  span_fn span_table_alpha[blend_span_entries];       // job 103
  span_rule_fn span_table_rule[blend_span_entries];   // job 102
  span_rule_fn span_table_rule_alpha[blend_span_entries];  // job 104, even entries
};
extern blend_span_table_set blend_span_tables;

// Start-up tables step: prod, step and the multiply byte table.
void init_blend_tables();
// Then: sat, diff_clamp, quot, the 16 mode tables and the dispatch tables.
void init_blend_dispatch_tables();

// The result of mode m (0..18) for layer value a over background b, from the
// formulas (what the tables hold). Used to build and to check the tables.
int blend_mode_formula(int mode, int a, int b);

// Fills rule_table from the layer's opacity, progress and vagueness (each
// clamped to 0..256).
void build_rule_table(int opacity, int progress, int vagueness);

// Dispatch with the index checked once per layer: the entry for mode and
// opacity, or null when the mode is above 18 or the opacity outside 0..256
// (the layer is then not drawn).
int blend_span_index(int mode, int opacity);  // 2 * mode + (opacity >> 8), or -1
span_fn select_span_opacity(int mode, int opacity);
span_fn select_span_alpha(int mode, int opacity);
span_rule_fn select_span_rule(int mode, int opacity);
span_rule_fn select_span_rule_alpha(int mode, int opacity);

// The six variants of every mode, for tests and benchmarks (variant order:
// plain, opacity, alpha, alpha x opacity, rule, rule x alpha). The kernel-backed
// variants call their slot.
struct blend_mode_spans {
  span_fn plain;
  span_fn opacity;
  span_fn alpha;
  span_fn alpha_opacity;
  span_rule_fn rule;
  span_rule_fn rule_alpha;
};
const blend_mode_spans& blend_spans_of(int mode);
// Every variant of a mode in its table form (one look-up per byte), the
// reference the computed spans are held to.
const blend_mode_spans& blend_table_spans_of(int mode);
// The vector widths the computed spans come in; `widest` is the widest this
// processor runs.
enum class span_width : uint8_t { widest, avx2, avx512 };
// The spans computed with SIMD arithmetic for every mode, where the build and
// the processor allow them (false otherwise). init_blend_dispatch_tables puts
// the widest in place of the table forms when the SIMD kernels are in use.
bool fill_computed_blend_spans(blend_mode_spans (&out)[blend_mode_count], span_width width = span_width::widest);
// out[i] = min(floor(n[i] / q[i]), 32767) (q[i] >= 1) worked out as the computed spans
// divide, a vector at a time (count a multiple of 32); false where they are not built.
bool computed_blend_quotients(const uint16_t* n, const uint16_t* q, uint16_t* out, size_t count,
                              span_width width = span_width::widest);
