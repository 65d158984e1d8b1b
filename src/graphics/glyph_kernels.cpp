// The glyph kernels: colour gradients over the cell, rotation placement, and
// the one-bit and anti-aliased passes from a one-bit glyph bitmap.
#include <algorithm>
#include <cstddef>

#include "graphics/fonts.h"
#include "graphics/glyph_kernels_fast.h"

glyph_tables_record glyph_tables;

void init_lookup_tables() {
  for (int s = 0; s <= max_glyph_cell; ++s) glyph_tables.stride_bits[s] = (4 * s / 32) * 32 + 64;
  for (int b = 0; b < 256; ++b) {
    int upper = __builtin_popcount(static_cast<unsigned>(b >> 4));
    int lower = __builtin_popcount(static_cast<unsigned>(b & 15));
    glyph_tables.ink_count[b] = static_cast<uint16_t>((4 - upper) * 256 + (4 - lower));
  }
  for (int n = 0; n < 32; ++n) glyph_tables.coverage_alpha[n] = static_cast<uint8_t>(std::min(18 * n, 255));
}

namespace {

// Corner kinds: which of A, B and the middle M sits at each corner.
enum corner_source : uint8_t { ca, cb, cm };
constexpr corner_source kind_corners[9][4] = {
    // top-left, bottom-left, top-right, bottom-right
    {ca, ca, ca, ca}, {ca, ca, cb, cb}, {cb, cb, ca, ca}, {ca, cb, ca, cb}, {cb, ca, cb, ca},
    {ca, cm, cm, cb}, {cm, ca, cb, cm}, {cb, cm, cm, ca}, {cm, cb, ca, cm},
};
// The kind a rotation 1..3 uses in the glyph's own frame.
constexpr uint8_t rotated_kind[9][3] = {
    {0, 0, 0}, {3, 2, 4}, {4, 1, 3}, {2, 4, 1}, {1, 3, 2}, {8, 7, 6}, {5, 8, 7}, {6, 5, 8}, {7, 6, 5},
};

inline int channel(uint32_t c, int shift) { return static_cast<int>((c >> shift) & 0xFF); }

inline uint32_t middle(uint32_t a, uint32_t b) {
  uint32_t out = 0;
  for (int s : {0, 8, 16}) {
    int ca_ = channel(a, s), cb_ = channel(b, s);
    out |= static_cast<uint32_t>(ca_ + (cb_ - ca_) / 2) << s;
  }
  return out;
}

inline void put_pixel(uint8_t* p, uint32_t rgb, int alpha) {
  p[0] = static_cast<uint8_t>(rgb);
  p[1] = static_cast<uint8_t>(rgb >> 8);
  p[2] = static_cast<uint8_t>(rgb >> 16);
  p[3] = static_cast<uint8_t>(alpha);
}

// Screen size of the placed cell, and whether it lies wholly inside.
bool placed_inside(int rotation, int w, int h, int x, int y, const glyph_surface& s) {
  bool turned = rotation == 1 || rotation == 3;
  int64_t cw = turned ? h : w, ch = turned ? w : h;
  if (x < 0 || y < 0) return false;
  return x + cw - 1 < s.width && y + ch - 1 < s.height;
}

void mark_drawn(int rotation, int w, int h, int x, int y, glyph_surface& s) {
  bool turned = rotation == 1 || rotation == 3;
  int64_t x1 = x + static_cast<int64_t>(turned ? h : w) - 1, y1 = y + static_cast<int64_t>(turned ? w : h) - 1;
  if (!s.dirty()) {
    s.dirty_x0 = x, s.dirty_y0 = y, s.dirty_x1 = x1, s.dirty_y1 = y1;
  } else {
    s.dirty_x0 = std::min<int64_t>(s.dirty_x0, x);
    s.dirty_y0 = std::min<int64_t>(s.dirty_y0, y);
    s.dirty_x1 = std::max(s.dirty_x1, x1);
    s.dirty_y1 = std::max(s.dirty_y1, y1);
  }
  s.alpha_in_use = 1;
}

// Exact C division (truncation toward zero) of |n| <= 65280 by d in 1..256
// through a multiply: m = ceil(2^32 / d) errs by less than d, and n * that
// error stays below 2^32, so the quotient is the true one. The kernels
// divide three channels per pixel; this keeps them off the divider.
struct reciprocal_table {
  uint64_t m[257];
  reciprocal_table() {
    m[0] = 0;
    for (uint64_t d = 1; d <= 256; ++d) m[d] = ((uint64_t{1} << 32) + d - 1) / d;
  }
};
const reciprocal_table reciprocals;

inline int divide_small(int n, int d) {
  uint64_t q = (static_cast<uint64_t>(n < 0 ? -n : n) * reciprocals.m[d]) >> 32;
  return n < 0 ? -static_cast<int>(q) : static_cast<int>(q);
}

// The gradient along one glyph row: the row's left and right colours per
// channel, then colour(j) = left + (right - left) * j / (w - 1).
struct row_gradient {
  int left[3], span[3], last;  // last = w - 1 (0: one column)
  row_gradient(const gradient_corners& c, int i, int w, int h) : last(w > 1 ? w - 1 : 0) {
    for (int k = 0; k < 3; ++k) {
      int s = 8 * k;
      int tl = channel(c.top_left, s), bl = channel(c.bottom_left, s);
      int tr = channel(c.top_right, s), br = channel(c.bottom_right, s);
      int l = h > 1 ? tl + (bl - tl) * i / (h - 1) : tl;
      int r = h > 1 ? tr + (br - tr) * i / (h - 1) : tr;
      left[k] = l;
      span[k] = r - l;
    }
  }
  bool flat() const { return (span[0] | span[1] | span[2]) == 0; }
  uint32_t at(int j) const {
    uint32_t out = 0;
    for (int k = 0; k < 3; ++k) {
      int v = last ? left[k] + divide_small(span[k] * j, last) : left[k];
      out |= static_cast<uint32_t>(v & 0xFF) << (8 * k);
    }
    return out;
  }
};

// Where glyph row i starts in the picture and how far apart its pixels are
// (in pixels): glyph_pixel_position walked along a row.
inline uint8_t* row_start(const glyph_surface& s, int rotation, int x, int y, int w, int h, int i,
                          ptrdiff_t& step) {
  int px, py;
  glyph_pixel_position(rotation, x, y, w, h, i, 0, px, py);
  switch (rotation) {
    case 1: step = s.width; break;
    case 2: step = -1; break;
    case 3: step = -static_cast<ptrdiff_t>(s.width); break;
    default: step = 1; break;
  }
  step *= 4;
  return s.pixels + (static_cast<size_t>(py) * static_cast<size_t>(s.width) + static_cast<size_t>(px)) * 4;
}

// Bitmap rows per glyph row step: the glyph rendered w high is stretched to
// h rows. Never 0, however thin the cell.
inline int64_t row_divisor(int w, int h) { return std::max<int64_t>(1, static_cast<int64_t>(h) * 100 / w); }

}  // namespace

int glyph_divide(int n, int d) { return divide_small(n, d); }

int gradient_kind_for_rotation(int gradient, int rotation) {
  if (gradient < 0 || gradient > 8) return gradient;
  if (rotation >= 1 && rotation <= 3) return rotated_kind[gradient][rotation - 1];
  return gradient;
}

gradient_corners gradient_corners_for(int gradient, int rotation, int32_t colour, int32_t second_colour) {
  uint32_t a = static_cast<uint32_t>(colour) & 0xFFFFFF;
  uint32_t b = second_colour == -1 ? a : static_cast<uint32_t>(second_colour) & 0xFFFFFF;
  uint32_t m = middle(a, b);
  int kind = gradient_kind_for_rotation(gradient, rotation);
  if (kind < 0 || kind > 8) kind = 0;
  auto pick = [&](corner_source c) { return c == ca ? a : c == cb ? b : m; };
  const corner_source* k = kind_corners[kind];
  return {pick(k[0]), pick(k[1]), pick(k[2]), pick(k[3])};
}

uint32_t gradient_colour(const gradient_corners& c, int i, int j, int w, int h) {
  uint32_t out = 0;
  for (int s : {0, 8, 16}) {
    int tl = channel(c.top_left, s), bl = channel(c.bottom_left, s);
    int tr = channel(c.top_right, s), br = channel(c.bottom_right, s);
    // A cell one pixel high or wide has no span to interpolate over.
    int left = h > 1 ? tl + (bl - tl) * i / (h - 1) : tl;
    int right = h > 1 ? tr + (br - tr) * i / (h - 1) : tr;
    int v = w > 1 ? left + (right - left) * j / (w - 1) : left;
    out |= static_cast<uint32_t>(v & 0xFF) << s;
  }
  return out;
}

void glyph_pixel_position(int rotation, int x, int y, int w, int h, int i, int j, int& px, int& py) {
  switch (rotation) {
    case 1: px = x + h - 1 - i; py = y + j; break;
    case 2: px = x + w - 1 - j; py = y + h - 1 - i; break;
    case 3: px = x + i; py = y + w - 1 - j; break;
    default: px = x + j; py = y + i; break;  // 0, and 4..8 which have no placement of their own
  }
}

bool glyph_kernel_one_bit(const uint8_t* bits, int stride, int rows, const gradient_corners& corners, int rotation,
                          int w, int h, int x, int y, int overlay_glyphs, glyph_surface& s) {
  if (rotation < 0 || rotation > 3) rotation = 0;
  if (w < 1 || h < 1 || !s.pixels || !placed_inside(rotation, w, h, x, y, s)) return false;
  const int64_t divisor = row_divisor(w, h);
  const size_t row_bytes = static_cast<size_t>(stride) / 8;
  for (int i = 0; i < h; ++i) {
    int64_t r = static_cast<int64_t>(i) * 100 / divisor;
    if (r >= rows) continue;
    const uint8_t* src = bits + static_cast<size_t>(r) * row_bytes;
    const row_gradient grad(corners, i, w, h);
    ptrdiff_t step = 0;
    uint8_t* const start = row_start(s, rotation, x, y, w, h, i, step);
    for (int j = 0; j < w; ++j) {
      if (static_cast<size_t>(j / 8) >= row_bytes) break;
      bool ink = !(src[j / 8] & (0x80 >> (j % 8)));
      if (!ink && overlay_glyphs) continue;
      uint8_t* p = start + step * j;
      if (ink)
        put_pixel(p, grad.at(j), 255);
      else
        put_pixel(p, 0, 255);  // paper is opaque black
    }
  }
  mark_drawn(rotation, w, h, x, y, s);
  return true;
}

bool glyph_kernel_antialiased(const uint8_t* bits, int stride, int rows, const gradient_corners& corners,
                              int rotation, int w, int h, int x, int y, int overlay_glyphs, glyph_surface& s) {
  if (rotation < 0 || rotation > 3) rotation = 0;
  if (w < 1 || h < 1 || !s.pixels || !placed_inside(rotation, w, h, x, y, s)) return false;
  const int64_t divisor = row_divisor(w, h);
  const size_t row_bytes = static_cast<size_t>(stride) / 8;
  static const glyph_row_fn fast_row = glyph_row_kernel();
  glyph_row_args row_args;
  if (fast_row) {
    row_args.row_bytes = row_bytes;
    row_args.overlay = overlay_glyphs;
    // The per-nibble halves of ink_count and the first 16 coverage entries.
    for (int n = 0; n < 16; ++n) {
      row_args.ink_per_nibble[n] = static_cast<uint8_t>(glyph_tables.ink_count[n] & 0xFF);
      row_args.alpha_per_coverage[n] = glyph_tables.coverage_alpha[n];
    }
  }
  for (int i = 0; i < h; ++i) {
    int64_t r = static_cast<int64_t>(i) * 400 / divisor;
    if (r + 3 >= rows) continue;
    const uint8_t* r0 = bits + static_cast<size_t>(r) * row_bytes;
    const row_gradient grad(corners, i, w, h);
    ptrdiff_t step = 0;
    uint8_t* const start = row_start(s, rotation, x, y, w, h, i, step);
    const bool flat = grad.flat();
    const uint32_t flat_colour = grad.at(0);
    int first = 0;
    // Upright rows of one colour: eight pixels a step where the processor
    // allows, the rest below.
    if (rotation == 0 && flat && fast_row && w >= 8 && static_cast<size_t>(w / 8 * 4) <= row_bytes &&
        glyph_tables.coverage_alpha[16] == glyph_tables.coverage_alpha[15]) {
      row_args.bits = r0;
      row_args.count = w / 8 * 8;
      row_args.colour = flat_colour;
      row_args.dst = start;
      fast_row(row_args);
      first = row_args.count;
    }
    if (!overlay_glyphs && flat && static_cast<size_t>((w - 1) / 2) < row_bytes) {
      // One colour along the row: only the alpha differs per pixel.
      const uint32_t g = flat_colour;
      const uint8_t* r1 = r0 + row_bytes;
      const uint8_t* r2 = r1 + row_bytes;
      const uint8_t* r3 = r2 + row_bytes;
      for (int j = first; j < w; ++j) {
        const size_t byte = static_cast<size_t>(j / 2);
        const int sh = (j & 1) ? 0 : 8;
        int coverage = ((glyph_tables.ink_count[r0[byte]] >> sh) & 0xFF) +
                       ((glyph_tables.ink_count[r1[byte]] >> sh) & 0xFF) +
                       ((glyph_tables.ink_count[r2[byte]] >> sh) & 0xFF) +
                       ((glyph_tables.ink_count[r3[byte]] >> sh) & 0xFF);
        put_pixel(start + step * j, g, glyph_tables.coverage_alpha[coverage]);
      }
      continue;
    }
    for (int j = first; j < w; ++j) {
      size_t byte = static_cast<size_t>(j / 2);
      if (byte >= row_bytes) break;
      int coverage = 0;
      for (int k = 0; k < 4; ++k) {
        uint16_t e = glyph_tables.ink_count[r0[k * row_bytes + byte]];
        coverage += (j & 1) ? (e & 0xFF) : (e >> 8);
      }
      int a = glyph_tables.coverage_alpha[coverage];
      uint8_t* p = start + step * j;
      if (!overlay_glyphs) {
        put_pixel(p, flat ? flat_colour : grad.at(j), a);
        continue;
      }
      int d = p[3];
      if (a == 0 && d == 255) continue;  // paper over an opaque pixel changes nothing
      uint32_t g = flat ? flat_colour : grad.at(j);
      if (d == 0) {
        // Over a transparent pixel the blend below gives exactly the glyph's
        // colour and alpha: na = a and every channel moves by (g - old) * b / b.
        put_pixel(p, g, a);
        continue;
      }
      int b = a + 1;
      int na = d + b - (d * b >> 8) - 1;
      for (int c = 0; c < 3; ++c) {
        int old = p[c];
        int gc = static_cast<int>((g >> (8 * c)) & 0xFF);
        p[c] = static_cast<uint8_t>(old + divide_small((gc - old) * b, na + 1));
      }
      p[3] = static_cast<uint8_t>(na);
    }
  }
  mark_drawn(rotation, w, h, x, y, s);
  return true;
}
