// Colour tone and monochrome over a rectangle of BGRA pixels.
#include "graphics/colour_tone.h"

#include <cstddef>

namespace {

// Per-channel value change for tone byte t: toward white above 128, toward
// black below. up <= 127 and down <= 128 keep v + delta inside 0..255.
void build_tone_delta(int t, int delta[256]) {
  int up = t >= 128 ? t - 128 : 0;
  int down = t <= 128 ? 128 - t : 0;
  for (int v = 0; v < 256; ++v) delta[v] = ((up * (255 - v)) >> 7) - ((down * v) >> 7);
}

}  // namespace

void apply_colour_tone(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_row,
                       int dst_row, uint32_t tone) {
  int delta[3][256];
  for (int c = 0; c < 3; ++c) build_tone_delta(int((tone >> (8 * c)) & 0xFF), delta[c]);
  for (int y = y0; y <= y1; ++y) {
    const uint8_t* s = src + (ptrdiff_t(y) * src_row + x0) * 4;
    uint8_t* d = dst + ptrdiff_t(y - y0) * dst_row * 4;
    for (int x = x0; x <= x1; ++x, s += 4, d += 4) {
      for (int c = 0; c < 3; ++c) d[c] = uint8_t(s[c] + delta[c][s[c]]);
      d[3] = s[3];
    }
  }
}

void apply_monochrome(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_row,
                      int dst_row, int strength) {
  // Outside 0..256 the factors overshoot grey or the colour limits and the
  // bytes would wrap.
  int e = strength < 0 ? 0 : (strength > 256 ? 256 : strength);
  int third[766];
  for (int i = 0; i < 766; ++i) third[i] = i / 3;
  for (int y = y0; y <= y1; ++y) {
    const uint8_t* s = src + (ptrdiff_t(y) * src_row + x0) * 4;
    uint8_t* d = dst + ptrdiff_t(y - y0) * dst_row * 4;
    for (int x = x0; x <= x1; ++x, s += 4, d += 4) {
      int g = third[s[0] + s[1] + s[2]];
      if (e < 128) {
        int k = 128 - e;
        for (int c = 0; c < 3; ++c) d[c] = uint8_t(s[c] + (((g - s[c]) * k) >> 7));
      } else {
        // One factor for all three channels, lowered until none leaves 0..255,
        // so the colour moves away from grey without changing its hue.
        int l = e - 128;
        int u = l;
        for (int c = 0; c < 3; ++c) {
          int v = s[c], diff = v - g;
          if (v + ((l * diff) >> 7) > 255) {
            int lim = ((255 - v) * 128) / diff;
            u = lim < u ? lim : u;
          }
        }
        for (int c = 0; c < 3; ++c) {
          int v = s[c], diff = v - g;
          if (v + ((l * diff) >> 7) < 0) {
            int lim = (v * -128) / diff;
            u = lim < u ? lim : u;
          }
        }
        for (int c = 0; c < 3; ++c) d[c] = uint8_t(s[c] + ((u * (s[c] - g)) >> 7));
      }
      d[3] = s[3];
    }
  }
}
