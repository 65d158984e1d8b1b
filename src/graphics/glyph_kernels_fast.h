// The blend of the rows of a prepared glyph, eight pixels a step where the
// processor allows. Internal to the glyph kernels.
#pragma once
#include <cstddef>
#include <cstdint>

// How a row's pixels are written (see the kernels in glyph_kernels.cpp).
enum class glyph_row_rule : uint8_t {
  replace,      // anti-aliased, no overlay: (colour, alpha)
  over,         // anti-aliased overlay blend
  bit_replace,  // one-bit, no overlay: ink (colour, 255), paper 0xFF000000
  bit_over,     // one-bit overlay: ink (colour, 255), paper unchanged
};

struct glyph_row_args {
  int rows = 0;                        // rows to draw, each `count` pixels
  int count = 0;
  const uint8_t* row_drawn = nullptr;  // per row: 0 skips it
  const uint8_t* alpha = nullptr;      // rows `alpha_stride` apart, readable up to a multiple of 8 pixels
  size_t alpha_stride = 0;
  const uint32_t* colours = nullptr;  // the same, 0xRRGGBB per pixel; null: `colour` throughout
  size_t colour_stride = 0;
  uint32_t colour = 0;
  uint8_t* dst = nullptr;  // rows of contiguous pixels B, G, R, A, `dst_stride` bytes apart
  ptrdiff_t dst_stride = 0;
  glyph_row_rule rule = glyph_row_rule::replace;
};
using glyph_row_fn = void (*)(const glyph_row_args&);

// The row routine for this processor, or null (the scalar loop then runs).
glyph_row_fn glyph_row_kernel();
