// Internal to the kernel files: the portable routines by name, so the slot
// record can be filled with them at load time, and the SIMD sets can finish
// their tails with exactly the portable formula.
#pragma once
#include <cstddef>
#include <cstdint>

#include "graphics/pixel_kernels.h"

namespace kernels_portable {
void fill_zero(uint8_t* dst, size_t n);
void fill_byte(uint8_t* dst, size_t n, int value);
void fill_pixel(uint8_t* dst, size_t n, uint32_t value);
void copy(uint8_t* dst, const uint8_t* src, size_t n);
void crossfade(uint8_t* dst, const uint8_t* src, int w, size_t n);
void alpha_blend(uint8_t* dst, const uint8_t* src, int unused, size_t n);
void alpha_blend_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n);
void rule_blend(uint8_t* dst, const uint8_t* src, const uint8_t* mask, int progress, int vagueness,
                size_t n);
void mix_two(uint8_t* dst, const uint8_t* src1, const uint8_t* src2, int w, size_t n);
void add_sat(uint8_t* dst, const uint8_t* src, size_t n);
void add_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n);
void add_alpha(uint8_t* dst, const uint8_t* src, int unused, size_t n);
void add_alpha_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n);
void sub_sat(uint8_t* dst, const uint8_t* src, size_t n);
void multiply(uint8_t* dst, const uint8_t* src, size_t n);
void screen(uint8_t* dst, const uint8_t* src, size_t n);
void screen_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n);
void lighten(uint8_t* dst, const uint8_t* src, size_t n);
void darken(uint8_t* dst, const uint8_t* src, size_t n);
void linear_burn(uint8_t* dst, const uint8_t* src, size_t n);
void linear_light(uint8_t* dst, const uint8_t* src, size_t n);
void half_scale(uint8_t* dst, const uint8_t* src, size_t src_row_pixels, size_t out_pixels);
void alpha_over(uint8_t* dst, const uint8_t* src, size_t n);
void alpha_over_opacity(uint8_t* dst, const uint8_t* src, int o, size_t n);
void alpha_over_fade(uint8_t* dst, const uint8_t* src, int f, size_t n);
void alpha_over_weighted(uint8_t* dst, const uint8_t* src, int f, int w, size_t n);
}  // namespace kernels_portable

// Filled by the SIMD files; false where they are not built.
bool fill_kernel_set_sse2(kernel_slots& set);
bool fill_kernel_set_avx2(kernel_slots& set);
