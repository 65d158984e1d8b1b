// A faster form of the anti-aliased glyph kernel's most common rows: upright
// (rotation 0) and of one colour. Internal to the glyph kernels.
#pragma once
#include <cstddef>
#include <cstdint>

struct glyph_row_args {
  const uint8_t* bits = nullptr;  // the row's first bitmap row; three more follow
  size_t row_bytes = 0;
  int count = 0;  // pixels, a multiple of 8; reads count / 2 bytes of each row
  uint32_t colour = 0;
  int overlay = 0;
  uint8_t* dst = nullptr;  // the row's first picture pixel
  uint8_t ink_per_nibble[16] = {};      // clear bits of a nibble
  uint8_t alpha_per_coverage[16] = {};  // coverage 0..15 (16 is entry 15's value)
};
using glyph_row_fn = void (*)(const glyph_row_args&);

// The row routine for this processor, or null (the scalar loop then runs).
glyph_row_fn glyph_row_kernel();
