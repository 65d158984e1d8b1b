// The glyph kernels: colour gradients over the cell, rotation placement, and
// the one-bit and anti-aliased passes from a one-bit glyph bitmap.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

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

// Pixels are handled as 32-bit words 0xAARRGGBB (bytes B, G, R, A).
static_assert(std::endian::native == std::endian::little);

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

bool glyph_cell_inside(int rotation, int w, int h, int x, int y, const glyph_surface& s) {
  if (rotation < 0 || rotation > 3) rotation = 0;
  return w >= 1 && h >= 1 && s.pixels && placed_inside(rotation, w, h, x, y, s);
}

void prepare_glyph(const uint8_t* bits, int stride, int rows, int w, int h, bool one_bit, prepared_glyph& out) {
  out.w = w;
  out.h = h;
  out.one_bit = one_bit;
  out.columns = 0;
  if (w < 1 || h < 1) {
    out.alpha.clear();
    out.row_drawn.clear();
    return;
  }
  const size_t row_bytes = static_cast<size_t>(stride) / 8;
  // Columns whose byte lies past the bitmap's row are not drawn.
  const size_t reach = one_bit ? row_bytes * 8 : row_bytes * 2;
  const int columns = static_cast<int>(std::min<size_t>(static_cast<size_t>(w), reach));
  out.columns = columns;
  out.alpha.assign(static_cast<size_t>(w) * static_cast<size_t>(h) + glyph_plane_padding, 0);
  out.row_drawn.assign(static_cast<size_t>(h), 0);
  const int64_t divisor = row_divisor(w, h);
  for (int i = 0; i < h; ++i) {
    uint8_t* a = out.alpha.data() + static_cast<size_t>(i) * static_cast<size_t>(w);
    if (one_bit) {
      const int64_t r = static_cast<int64_t>(i) * 100 / divisor;
      if (r >= rows) continue;
      const uint8_t* src = bits + static_cast<size_t>(r) * row_bytes;
      for (int j = 0; j < columns; ++j) a[j] = (src[j / 8] & (0x80 >> (j % 8))) ? 0 : 255;  // a clear bit is ink
    } else {
      const int64_t r = static_cast<int64_t>(i) * 400 / divisor;
      if (r + 3 >= rows) continue;
      const uint8_t* r0 = bits + static_cast<size_t>(r) * row_bytes;
      const uint8_t* r1 = r0 + row_bytes;
      const uint8_t* r2 = r1 + row_bytes;
      const uint8_t* r3 = r2 + row_bytes;
      // Both nibbles of a byte at once: the halves of ink_count never carry
      // (at most 16 each).
      for (int j = 0; j < columns; j += 2) {
        const size_t b = static_cast<size_t>(j / 2);
        const int both = glyph_tables.ink_count[r0[b]] + glyph_tables.ink_count[r1[b]] +
                         glyph_tables.ink_count[r2[b]] + glyph_tables.ink_count[r3[b]];
        a[j] = glyph_tables.coverage_alpha[both >> 8];
        if (j + 1 < columns) a[j + 1] = glyph_tables.coverage_alpha[both & 0xFF];
      }
    }
    out.row_drawn[static_cast<size_t>(i)] = 1;
  }
}

namespace {

inline uint32_t load_pixel(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store_pixel(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// The overlay blend of one pixel: b = a + 1, new alpha d + b - (d b >> 8) - 1,
// each channel c + (g - c) b / (new alpha + 1), in integers.
inline uint32_t blend_over(uint32_t old, uint32_t g, int a) {
  const int d = static_cast<int>(old >> 24);
  if (a == 0 && d == 255) return old;  // paper over an opaque pixel changes nothing
  // Over a transparent pixel the blend gives exactly the glyph's colour and
  // alpha: na = a and every channel moves by (g - old) * b / b.
  if (d == 0) return g | static_cast<uint32_t>(a) << 24;
  const int b = a + 1;
  const int na = d + b - (d * b >> 8) - 1;
  uint32_t out = static_cast<uint32_t>(na) << 24;
  for (int c = 0; c < 3; ++c) {
    const int o = channel(old, 8 * c);
    const int gc = channel(g, 8 * c);
    out |= static_cast<uint32_t>(o + divide_small((gc - o) * b, na + 1)) << (8 * c);
  }
  return out;
}

template <glyph_row_rule rule>
void row_scalar_rule(const glyph_row_args& r) {
  for (int i = 0; i < r.rows; ++i) {
    if (!r.row_drawn[i]) continue;
    const uint8_t* alpha = r.alpha + static_cast<size_t>(i) * r.alpha_stride;
    const uint32_t* colours = r.colours ? r.colours + static_cast<size_t>(i) * r.colour_stride : nullptr;
    uint8_t* dst = r.dst + i * r.dst_stride;
    for (int j = 0; j < r.count; ++j) {
      const uint32_t g = colours ? colours[j] : r.colour;
      const uint32_t a = alpha[j];
      uint8_t* p = dst + static_cast<size_t>(j) * 4;
      switch (rule) {
        case glyph_row_rule::replace: store_pixel(p, g | a << 24); break;
        case glyph_row_rule::over: store_pixel(p, blend_over(load_pixel(p), g, static_cast<int>(a))); break;
        case glyph_row_rule::bit_replace: store_pixel(p, 0xFF000000u | (a ? g : 0)); break;  // paper is opaque black
        case glyph_row_rule::bit_over:
          if (a) store_pixel(p, 0xFF000000u | g);
          break;
      }
    }
  }
}

void row_scalar(const glyph_row_args& r) {
  switch (r.rule) {
    case glyph_row_rule::replace: row_scalar_rule<glyph_row_rule::replace>(r); break;
    case glyph_row_rule::over: row_scalar_rule<glyph_row_rule::over>(r); break;
    case glyph_row_rule::bit_replace: row_scalar_rule<glyph_row_rule::bit_replace>(r); break;
    case glyph_row_rule::bit_over: row_scalar_rule<glyph_row_rule::bit_over>(r); break;
  }
}

// The colour planes of the last few gradients drawn (text mostly keeps one).
struct gradient_plane_cache {
  struct entry {
    gradient_corners corners{};
    int w = 0, h = 0;
    uint64_t used = 0;
    std::vector<uint32_t> colours;
  };
  entry entries[4];
  uint64_t clock = 0;
};
thread_local gradient_plane_cache gradient_planes;

inline bool same_corners(const gradient_corners& a, const gradient_corners& b) {
  return a.top_left == b.top_left && a.bottom_left == b.bottom_left && a.top_right == b.top_right &&
         a.bottom_right == b.bottom_right;
}

// The prepared glyph of the bitmap kernels below (reused, so a pass
// allocates only while cells grow).
thread_local prepared_glyph kernel_scratch;

inline uint8_t* pixel_at(const glyph_surface& s, int x, int y) {
  return s.pixels + (static_cast<size_t>(y) * static_cast<size_t>(s.width) + static_cast<size_t>(x)) * 4;
}

}  // namespace

const uint32_t* gradient_plane(const gradient_corners& c, int w, int h) {
  if (c.top_left == c.bottom_left && c.top_left == c.top_right && c.top_left == c.bottom_right) return nullptr;
  if (w < 1 || h < 1) return nullptr;
  gradient_plane_cache& cache = gradient_planes;
  gradient_plane_cache::entry* pick = &cache.entries[0];
  for (gradient_plane_cache::entry& e : cache.entries) {
    if (e.w == w && e.h == h && same_corners(e.corners, c)) {
      e.used = ++cache.clock;
      return e.colours.data();
    }
    if (e.used < pick->used) pick = &e;
  }
  pick->colours.assign(static_cast<size_t>(w) * static_cast<size_t>(h) + glyph_plane_padding, 0);
  for (int i = 0; i < h; ++i) {
    const row_gradient grad(c, i, w, h);
    uint32_t* row = pick->colours.data() + static_cast<size_t>(i) * static_cast<size_t>(w);
    for (int j = 0; j < w; ++j) row[j] = grad.at(j);
  }
  pick->corners = c;
  pick->w = w;
  pick->h = h;
  pick->used = ++cache.clock;
  return pick->colours.data();
}

namespace {

// The processor's row routine, chosen once.
glyph_row_fn row_routine() {
  static const glyph_row_fn fast_row = glyph_row_kernel();
  return fast_row ? fast_row : &row_scalar;
}

// The row arguments of a pass of the glyph drawn upright, all but `dst`.
glyph_row_args upright_rows(const prepared_glyph& g, const gradient_corners& corners, int overlay_glyphs,
                            const glyph_surface& s) {
  glyph_row_args args;
  args.rows = g.h;
  args.count = g.columns;
  args.row_drawn = g.row_drawn.data();
  args.colour = corners.top_left & 0xFFFFFF;
  args.colours = gradient_plane(corners, g.w, g.h);
  args.colour_stride = static_cast<size_t>(g.w);
  args.alpha = g.alpha.data();
  args.alpha_stride = static_cast<size_t>(g.w);
  args.dst_stride = static_cast<ptrdiff_t>(s.width) * 4;
  args.rule = g.one_bit ? (overlay_glyphs ? glyph_row_rule::bit_over : glyph_row_rule::bit_replace)
                        : (overlay_glyphs ? glyph_row_rule::over : glyph_row_rule::replace);
  return args;
}

}  // namespace

bool draw_prepared_glyph(const prepared_glyph& g, const gradient_corners& corners, int rotation, int x, int y,
                         int overlay_glyphs, glyph_surface& s) {
  if (rotation < 0 || rotation > 3) rotation = 0;
  const int w = g.w, h = g.h;
  if (!glyph_cell_inside(rotation, w, h, x, y, s)) return false;
  const glyph_row_fn row = row_routine();
  glyph_row_args args = upright_rows(g, corners, overlay_glyphs, s);
  const uint32_t* const colours = args.colours;
  if (args.count > 0 && rotation == 0) {
    // Upright: the rows lie in the picture as they are.
    args.dst = pixel_at(s, x, y);
    row(args);
  } else if (args.count > 0) {
    // Turned: each row is blended in a contiguous copy of its pixels.
    const bool reads_picture = args.rule == glyph_row_rule::over || args.rule == glyph_row_rule::bit_over;
    uint32_t line[max_glyph_cell + glyph_plane_padding];
    static const uint8_t drawn = 1;
    glyph_row_args part = args;
    part.rows = 1;
    part.row_drawn = &drawn;
    part.dst = reinterpret_cast<uint8_t*>(line);
    for (int i = 0; i < h; ++i) {
      if (!g.row_drawn[static_cast<size_t>(i)]) continue;
      const size_t offset = static_cast<size_t>(i) * static_cast<size_t>(w);
      ptrdiff_t step = 0;
      uint8_t* const start = row_start(s, rotation, x, y, w, h, i, step);
      for (int j0 = 0; j0 < args.count; j0 += max_glyph_cell) {
        part.count = std::min(args.count - j0, max_glyph_cell);
        part.alpha = args.alpha + offset + j0;
        part.colours = colours ? colours + offset + j0 : nullptr;
        uint8_t* const first = start + step * j0;
        if (reads_picture)
          for (int j = 0; j < part.count; ++j) line[j] = load_pixel(first + step * j);
        row(part);
        for (int j = 0; j < part.count; ++j) store_pixel(first + step * j, line[j]);
      }
    }
  }
  mark_drawn(rotation, w, h, x, y, s);
  return true;
}

void draw_prepared_glyph_passes(const prepared_glyph& g, const gradient_corners& corners, int rotation,
                                const glyph_place* places, int count, int overlay_glyphs, glyph_surface& s) {
  if (rotation < 0 || rotation > 3) rotation = 0;
  if (rotation != 0 || g.columns <= 0) {
    for (int k = 0; k < count; ++k)
      draw_prepared_glyph(g, corners, rotation, places[k].x, places[k].y, overlay_glyphs, s);
    return;
  }
  // Upright: what draw_prepared_glyph works out for a pass is the same for
  // every pass but where its rows start.
  const glyph_row_fn row = row_routine();
  glyph_row_args args = upright_rows(g, corners, overlay_glyphs, s);
  for (int k = 0; k < count; ++k) {
    args.dst = pixel_at(s, places[k].x, places[k].y);
    row(args);
    mark_drawn(0, g.w, g.h, places[k].x, places[k].y, s);
  }
}

bool glyph_kernel_one_bit(const uint8_t* bits, int stride, int rows, const gradient_corners& corners, int rotation,
                          int w, int h, int x, int y, int overlay_glyphs, glyph_surface& s) {
  if (!glyph_cell_inside(rotation, w, h, x, y, s)) return false;
  prepare_glyph(bits, stride, rows, w, h, true, kernel_scratch);
  return draw_prepared_glyph(kernel_scratch, corners, rotation, x, y, overlay_glyphs, s);
}

bool glyph_kernel_antialiased(const uint8_t* bits, int stride, int rows, const gradient_corners& corners,
                              int rotation, int w, int h, int x, int y, int overlay_glyphs, glyph_surface& s) {
  if (!glyph_cell_inside(rotation, w, h, x, y, s)) return false;
  prepare_glyph(bits, stride, rows, w, h, false, kernel_scratch);
  return draw_prepared_glyph(kernel_scratch, corners, rotation, x, y, overlay_glyphs, s);
}
