// Pixel conversions every GPU backend shares, so textures hold the same texels
// whichever device draws them.
#pragma once
#include <cstddef>
#include <cstdint>

// BGRA rows to 16-bit texels 0xRGBA (4 bits each, red in the high nibble).
// With `dither` the rounding error of every channel is spread Floyd-Steinberg
// fashion (7/16 right, 3/16 down-left, 5/16 down, 1/16 down-right) over the
// w x h block, row by row from the top-left.
void quantise_4444(const uint8_t* bgra, size_t stride, int width, int height, bool dither, uint16_t* out);

// A 0xRGBA texel back to 8-bit B, G, R, A (each nibble times 17).
inline void expand_4444(uint16_t t, uint8_t out[4]) {
  out[0] = static_cast<uint8_t>(((t >> 4) & 15) * 17);
  out[1] = static_cast<uint8_t>(((t >> 8) & 15) * 17);
  out[2] = static_cast<uint8_t>(((t >> 12) & 15) * 17);
  out[3] = static_cast<uint8_t>((t & 15) * 17);
}
