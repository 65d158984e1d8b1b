#include "image/cg_filters.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/worker_pool.h"
#include "graphics/colour_tone.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "image/cg_picture.h"
#include "image/picture_buffer.h"

const uint8_t cg_shuffle_table[24][4] = {
    {3, 2, 1, 0}, {2, 3, 1, 0}, {3, 1, 2, 0}, {1, 3, 2, 0}, {2, 1, 3, 0}, {1, 2, 3, 0},
    {3, 2, 0, 1}, {2, 3, 0, 1}, {3, 0, 2, 1}, {0, 3, 2, 1}, {2, 0, 3, 1}, {0, 2, 3, 1},
    {3, 1, 0, 2}, {1, 3, 0, 2}, {3, 0, 1, 2}, {0, 3, 1, 2}, {1, 0, 3, 2}, {0, 1, 3, 2},
    {2, 1, 0, 3}, {1, 2, 0, 3}, {2, 0, 1, 3}, {0, 2, 1, 3}, {1, 0, 2, 3}, {0, 1, 2, 3},
};

namespace {

uint32_t shuffle_state = 1;

// ---------------------------------------------------------------- frames and bands

// One filter run: the whole source picture, the rectangle, and the output
// whose row v holds the result for rectangle row v.
struct filter_frame {
  const uint8_t* pic = nullptr;
  int pic_w = 0, pic_h = 0;
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0, w = 0, h = 0;
  uint8_t* out = nullptr;
  size_t out_stride = 0;  // bytes
  int64_t value = 0, value2 = 0;
  const void* extra = nullptr;  // per-op tables
};

inline const uint8_t* pic_px(const filter_frame& f, int x, int y) {
  return f.pic + (size_t(y) * size_t(f.pic_w) + size_t(x)) * 4;
}
inline uint8_t* out_row(const filter_frame& f, int v) { return f.out + size_t(v) * f.out_stride; }

using band_fn = void (*)(const filter_frame& f, int first, int last);

struct band_task {
  band_fn fn = nullptr;
  const filter_frame* frame = nullptr;
  std::atomic<uint8_t> ran[worker_max] = {};
};

void run_band_job(const worker_job& job) {
  band_task* t = job.ptr<band_task>(0);
  t->fn(*t->frame, int(job.arg[2]), int(job.arg[3]));
  t->ran[job.arg[1]].store(1, std::memory_order_release);
}

std::atomic<bool> band_kind_registered{false};

// Runs fn over rows [0, rows) in bands, one per worker. A band a worker
// skipped (quit set while it woke) runs here afterwards, so the result never
// depends on whether or when the workers ran.
void run_in_bands(band_fn fn, const filter_frame& f, int rows, int64_t pixels_per_row) {
  if (rows <= 0) return;
  int n = std::max(1, worker_pool.worker_count.load());
  n = std::min(n, rows);
  while (n > 1 && int64_t(rows) * pixels_per_row / n < cg_filter_band_pixels_min) --n;
  if (n <= 1 || quit_flag) {
    fn(f, 0, rows);
    return;
  }
  if (!band_kind_registered.exchange(true)) register_worker_job_kind(job_cg_filter_band, run_band_job);
  band_task task;
  task.fn = fn;
  task.frame = &f;
  dispatch_worker_jobs(job_cg_filter_band, n, [&](worker_job& job, int i) {
    job.set_ptr(0, &task);
    job.arg[1] = i;
    job.arg[2] = row_band_first(i, rows, n);
    job.arg[3] = row_band_last(i, rows, n);
  });
  for (int i = 0; i < n; ++i)
    if (!task.ran[i].load(std::memory_order_acquire)) fn(f, row_band_first(i, rows, n), row_band_last(i, rows, n));
}

inline uint8_t clamp_byte(int v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// A double to int that never overflows: NaN gives 0.
int64_t saturating_trunc(double v) {
  if (!(v == v)) return 0;
  if (v >= 1e15) return int64_t(1e15);
  if (v <= -1e15) return -int64_t(1e15);
  return int64_t(v);
}

// ---------------------------------------------------------------- per-pixel ops

void brightness_band(const filter_frame& f, int first, int last) {
  const uint8_t* lut = static_cast<const uint8_t*>(f.extra);
  for (int v = first; v < last; ++v) {
    const uint8_t* s = pic_px(f, f.x1, f.y1 + v);
    uint8_t* d = out_row(f, v);
    for (int u = 0; u < f.w; ++u, s += 4, d += 4) {
      d[0] = lut[s[0]];
      d[1] = lut[s[1]];
      d[2] = lut[s[2]];
      d[3] = s[3];
    }
  }
}

void negative_band(const filter_frame& f, int first, int last) {
  for (int v = first; v < last; ++v) {
    const uint8_t* s = pic_px(f, f.x1, f.y1 + v);
    uint8_t* d = out_row(f, v);
    for (int u = 0; u < f.w; ++u, s += 4, d += 4) {
      d[0] = uint8_t(255 - s[0]);
      d[1] = uint8_t(255 - s[1]);
      d[2] = uint8_t(255 - s[2]);
      d[3] = s[3];
    }
  }
}

void sepia_band(const filter_frame& f, int first, int last) {
  for (int v = first; v < last; ++v) {
    const uint8_t* s = pic_px(f, f.x1, f.y1 + v);
    uint8_t* d = out_row(f, v);
    for (int u = 0; u < f.w; ++u, s += 4, d += 4) {
      const int64_t l = (306 * int64_t(s[2]) + 601 * int64_t(s[1]) + 117 * int64_t(s[0])) * 1024;
      d[2] = uint8_t(std::min<int64_t>((l + 18748416) >> 20, 255));
      d[1] = uint8_t(std::clamp<int64_t>((l - 287585) >> 20, 0, 255));
      d[0] = uint8_t(std::clamp<int64_t>((l - 46347025) >> 20, 0, 255));
      d[3] = s[3];
    }
  }
}

void tone_band(const filter_frame& f, int first, int last) {
  apply_colour_tone(out_row(f, first), f.pic, f.x1, f.y1 + first, f.x2, f.y1 + last - 1, f.pic_w,
                    int(f.out_stride / 4), uint32_t(f.value) & 0xFFFFFFu);
}

void monochrome_band(const filter_frame& f, int first, int last) {
  apply_monochrome(out_row(f, first), f.pic, f.x1, f.y1 + first, f.x2, f.y1 + last - 1, f.pic_w,
                   int(f.out_stride / 4), int(std::clamp<int64_t>(f.value, -1, 257)));
}

void mirror_band(const filter_frame& f, int first, int last) {
  for (int v = first; v < last; ++v) {
    uint8_t* d = out_row(f, v);
    for (int u = 0; u < f.w; ++u) std::memcpy(d + size_t(u) * 4, pic_px(f, f.pic_w - 1 - (f.x1 + u), f.y1 + v), 4);
  }
}

void flip_band(const filter_frame& f, int first, int last) {
  for (int v = first; v < last; ++v)
    pixel_kernels.kernel_copy(out_row(f, v), pic_px(f, f.x1, f.y2 - v), size_t(f.w) * 4);
}

// ---------------------------------------------------------------- waves

struct wave_tables {
  std::vector<int64_t> shift;  // per rectangle row: horizontal source shift
  std::vector<int64_t> rise;   // per rectangle column: vertical source offset
};

void wave_band(const filter_frame& f, int first, int last) {
  const wave_tables& t = *static_cast<const wave_tables*>(f.extra);
  // One before the last column, as the effect always did; never left of the
  // picture when the rectangle ends at column 0.
  const int64_t right = std::max(0, f.x2 - 1);
  for (int v = first; v < last; ++v) {
    const int i = f.y1 + v;
    uint32_t* d = reinterpret_cast<uint32_t*>(out_row(f, v));
    for (int u = 0; u < f.w; ++u) {
      int64_t c = int64_t(u) + t.shift[size_t(v)];
      if (c < 0) c = 0;
      if (c > f.x2) c = right;
      int64_t r = i + t.rise[size_t(u)];
      if (r < f.y1) r = f.y1;
      if (r > f.y2) r = f.y2;
      std::memcpy(d + u, pic_px(f, int(c), int(r)), 4);
    }
  }
}

// ---------------------------------------------------------------- swirl

// The swirl's distance map is kept between calls: an animated swirl redraws
// the same rectangle every frame.
struct swirl_cache_record {
  int w = 0, h = 0;
  std::vector<uint32_t> distance;
};
swirl_cache_record swirl_cache;

struct swirl_tables {
  std::vector<int32_t> cos_t, sin_t;
  const uint32_t* distance = nullptr;
  int cx = 0, cy = 0;
};

void swirl_band(const filter_frame& f, int first, int last) {
  const swirl_tables& t = *static_cast<const swirl_tables*>(f.extra);
  const int64_t limit = int64_t(t.cos_t.size()) - 1;
  for (int y = first; y < last; ++y) {
    uint32_t* d = reinterpret_cast<uint32_t*>(out_row(f, y));
    const uint32_t* dist = t.distance + size_t(y) * size_t(f.w);
    const int64_t dy = y - t.cy;
    for (int x = 0; x < f.w; ++x) {
      const int64_t k = std::min<int64_t>(dist[x], limit);
      const int64_t dx = x - t.cx;
      const int64_t c = t.cos_t[size_t(k)], s = t.sin_t[size_t(k)];
      int64_t sx = ((dx * c - dy * s) >> 8) + t.cx;
      int64_t sy = ((dx * s + dy * c) >> 8) + t.cy;
      sx = std::clamp<int64_t>(sx, 0, f.w - 1);
      sy = std::clamp<int64_t>(sy, 0, f.h - 1);
      std::memcpy(d + x, pic_px(f, f.x1 + int(sx), f.y1 + int(sy)), 4);
    }
  }
}

// ---------------------------------------------------------------- mosaic

struct mosaic_grid {
  std::vector<int> col_start;  // block column edges, last = W
  std::vector<int> row_start;  // block row edges, last = H
};

std::vector<int> block_edges(int size, int s) {
  std::vector<int> edges;
  const int g = (size / 2) % s;
  edges.push_back(0);
  for (int e = g > 0 ? g : s; e < size; e += s) edges.push_back(e);
  edges.push_back(size);
  return edges;
}

// Rows here are block rows.
void mosaic_band(const filter_frame& f, int first, int last) {
  const mosaic_grid& g = *static_cast<const mosaic_grid*>(f.extra);
  for (int br = first; br < last; ++br) {
    const int r0 = g.row_start[size_t(br)], r1 = g.row_start[size_t(br) + 1];
    for (size_t bc = 0; bc + 1 < g.col_start.size(); ++bc) {
      const int c0 = g.col_start[bc], c1 = g.col_start[bc + 1];
      uint64_t sum[3] = {0, 0, 0};
      for (int y = r0; y < r1; ++y) {
        const uint8_t* s = pic_px(f, c0, y);
        for (int x = c0; x < c1; ++x, s += 4) {
          sum[0] += s[0];
          sum[1] += s[1];
          sum[2] += s[2];
        }
      }
      const uint64_t count = uint64_t(r1 - r0) * uint64_t(c1 - c0);
      const uint8_t mean[3] = {uint8_t(sum[0] / count), uint8_t(sum[1] / count), uint8_t(sum[2] / count)};
      for (int y = r0; y < r1; ++y) {
        const uint8_t* s = pic_px(f, c0, y);
        uint8_t* d = out_row(f, y) + size_t(c0) * 4;
        for (int x = c0; x < c1; ++x, s += 4, d += 4) {
          d[0] = mean[0];
          d[1] = mean[1];
          d[2] = mean[2];
          d[3] = s[3];
        }
      }
    }
  }
}

// ---------------------------------------------------------------- blurs

// Which bytes a pass computes and what the others become.
enum blur_bytes : int {
  blur_colour = 0,  // B, G, R averaged, alpha kept
  blur_all = 1,     // B, G, R, A averaged
  blur_alpha = 2,   // A averaged, B = G = R = 0
};

// The window of one position along a line: a plateau [a, b] of weight
// `plateau_weight`, up to 18 single taps, and the weight sum.
struct blur_window {
  int32_t a = 0, b = -1;
  int32_t plateau_weight = 1;
  int32_t tap_count = 0;
  int32_t tap_pos[18];
  int32_t tap_weight[18];
  uint32_t weight_sum = 1;
};

// Windows along a line of `length` for radius r. Box windows reach from
// max(i - r, 0) to min(i + r, length - 1). The weighted profile has 2r + 1
// weights: 512 within q = 2r / 8 of the centre, then halved outward (256 ...
// 1, then 0); a window cut at the line's start takes the profile from its own
// first pixel, so its centre sits r pixels into the window.
std::vector<blur_window> plan_windows(int length, int r, bool weighted) {
  std::vector<blur_window> plan(size_t(std::max(length, 0)));
  const int q = 2 * r / 8;
  for (int i = 0; i < length; ++i) {
    blur_window& win = plan[size_t(i)];
    const int ws = std::max(i - r, 0), we = std::min(i + r, length - 1);
    if (weighted) {
      const int c = ws + r;
      win.a = std::max(ws, c - q);
      win.b = std::min(we, c + q);
      win.plateau_weight = 512;
      uint32_t sum = win.b >= win.a ? uint32_t(win.b - win.a + 1) * 512u : 0u;
      for (int k = 1; k <= 9; ++k) {
        for (int p : {c - q - k, c + q + k}) {
          if (p < ws || p > we) continue;
          win.tap_pos[win.tap_count] = p;
          win.tap_weight[win.tap_count] = 512 >> k;
          ++win.tap_count;
          sum += uint32_t(512 >> k);
        }
      }
      win.weight_sum = sum;
      // A narrow line under a wide radius can meet only zero weights: such a
      // window takes the plain mean instead of dividing by zero.
      if (sum != 0) continue;
      win.tap_count = 0;
    }
    win.a = ws;
    win.b = we;
    win.plateau_weight = 1;
    win.weight_sum = uint32_t(we - ws + 1);
  }
  return plan;
}

struct blur_pass {
  const uint8_t* src = nullptr;  // position (0, 0) of the w x h input
  size_t src_stride = 0;         // bytes
  uint8_t* dst = nullptr;
  size_t dst_stride = 0;
  int w = 0, h = 0;
  int bytes = blur_colour;
  std::vector<blur_window> plan;  // along the pass's direction
};

inline void store_result(uint8_t* d, const uint8_t* s, const uint32_t sum[4], uint32_t weight, int bytes) {
  switch (bytes) {
    case blur_colour:
      d[0] = uint8_t(sum[0] / weight);
      d[1] = uint8_t(sum[1] / weight);
      d[2] = uint8_t(sum[2] / weight);
      d[3] = s[3];
      break;
    case blur_all:
      for (int c = 0; c < 4; ++c) d[c] = uint8_t(sum[c] / weight);
      break;
    default:
      d[0] = d[1] = d[2] = 0;
      d[3] = uint8_t(sum[3] / weight);
      break;
  }
}

void horizontal_band(const filter_frame& f, int first, int last) {
  const blur_pass& p = *static_cast<const blur_pass*>(f.extra);
  std::vector<uint32_t> prefix((size_t(p.w) + 1) * 4);
  for (int y = first; y < last; ++y) {
    const uint8_t* s = p.src + size_t(y) * p.src_stride;
    uint8_t* d = p.dst + size_t(y) * p.dst_stride;
    for (int c = 0; c < 4; ++c) prefix[size_t(c)] = 0;
    for (int x = 0; x < p.w; ++x)
      for (int c = 0; c < 4; ++c) prefix[size_t(x + 1) * 4 + size_t(c)] = prefix[size_t(x) * 4 + size_t(c)] + s[x * 4 + c];
    for (int x = 0; x < p.w; ++x) {
      const blur_window& win = p.plan[size_t(x)];
      uint32_t sum[4] = {0, 0, 0, 0};
      if (win.b >= win.a)
        for (int c = 0; c < 4; ++c)
          sum[c] = uint32_t(win.plateau_weight) *
                   (prefix[size_t(win.b + 1) * 4 + size_t(c)] - prefix[size_t(win.a) * 4 + size_t(c)]);
      for (int t = 0; t < win.tap_count; ++t) {
        const uint8_t* tp = s + size_t(win.tap_pos[t]) * 4;
        for (int c = 0; c < 4; ++c) sum[c] += uint32_t(win.tap_weight[t]) * tp[c];
      }
      store_result(d + size_t(x) * 4, s + size_t(x) * 4, sum, win.weight_sum, p.bytes);
    }
  }
}

// Column sums over the plateau rows slide down the band: both plateau edges
// only ever move down, so each row enters and leaves the sums once.
void vertical_band(const filter_frame& f, int first, int last) {
  const blur_pass& p = *static_cast<const blur_pass*>(f.extra);
  const size_t n = size_t(p.w) * 4;
  std::vector<uint32_t> sums(n, 0);
  std::vector<uint32_t> acc(n);
  int a = 0, b = -1;  // rows in sums
  auto add_row = [&](int row, bool add) {
    const uint8_t* s = p.src + size_t(row) * p.src_stride;
    if (add) {
      for (size_t i = 0; i < n; ++i) sums[i] += s[i];
    } else {
      for (size_t i = 0; i < n; ++i) sums[i] -= s[i];
    }
  };
  for (int y = first; y < last; ++y) {
    const blur_window& win = p.plan[size_t(y)];
    if (win.b < win.a) {
      std::fill(sums.begin(), sums.end(), 0u);
      a = 0;
      b = -1;
    } else if (b < a || win.a > b || win.b < a || win.a < a) {
      std::fill(sums.begin(), sums.end(), 0u);
      for (int r = win.a; r <= win.b; ++r) add_row(r, true);
      a = win.a;
      b = win.b;
    } else {
      while (b < win.b) add_row(++b, true);
      while (b > win.b) add_row(b--, false);
      while (a < win.a) add_row(a++, false);
    }
    const uint32_t pw = uint32_t(win.plateau_weight);
    for (size_t i = 0; i < n; ++i) acc[i] = sums[i] * pw;
    for (int t = 0; t < win.tap_count; ++t) {
      const uint8_t* s = p.src + size_t(win.tap_pos[t]) * p.src_stride;
      const uint32_t tw = uint32_t(win.tap_weight[t]);
      for (size_t i = 0; i < n; ++i) acc[i] += tw * s[i];
    }
    const uint8_t* own = p.src + size_t(y) * p.src_stride;
    uint8_t* d = p.dst + size_t(y) * p.dst_stride;
    for (int x = 0; x < p.w; ++x)
      store_result(d + size_t(x) * 4, own + size_t(x) * 4, &acc[size_t(x) * 4], win.weight_sum, p.bytes);
  }
}

void run_blur_pass(blur_pass& p, bool horizontal, int r, bool weighted) {
  p.plan = plan_windows(horizontal ? p.w : p.h, r, weighted);
  filter_frame f;
  f.extra = &p;
  run_in_bands(horizontal ? horizontal_band : vertical_band, f, p.h, p.w);
}

// ---------------------------------------------------------------- in place

void threshold_rect(uint8_t* pic, int pic_w, int x1, int y1, int x2, int y2, int64_t value) {
  const int64_t limit = 3 * std::clamp<int64_t>(value, -1, 256);
  for (int y = y1; y <= y2; ++y) {
    uint8_t* d = pic + (size_t(y) * size_t(pic_w) + size_t(x1)) * 4;
    for (int x = x1; x <= x2; ++x, d += 4) {
      const uint8_t v = int64_t(d[0]) + d[1] + d[2] >= limit ? 255 : 0;
      d[0] = d[1] = d[2] = v;
    }
  }
}

// Returns the alpha-in-use flag the fill leaves, or -1 for "unchanged".
int fill_rect(uint8_t* pic, int pic_w, int pic_h, int x1, int y1, int x2, int y2, int64_t value, int mode) {
  const bool whole = x1 == 0 && y1 == 0 && x2 == pic_w - 1 && y2 == pic_h - 1;
  const size_t row_bytes = size_t(x2 - x1 + 1) * 4;
  switch (mode) {
    case cg_fill_colour:
    case cg_fill_pixel: {
      const uint32_t px =
          mode == cg_fill_colour ? ((uint32_t(value) & 0xFFFFFFu) | 0xFF000000u) : uint32_t(uint64_t(value));
      for (int y = y1; y <= y2; ++y)
        pixel_kernels.kernel_fill_pixel(pic + (size_t(y) * size_t(pic_w) + size_t(x1)) * 4, row_bytes, px);
      if (mode == cg_fill_colour) return -1;
      return px <= 0xFEFFFFFFu || !whole ? 1 : 0;
    }
    case cg_fill_alpha: {
      const uint8_t a = uint8_t(uint64_t(value) & 0xFF);
      for (int y = y1; y <= y2; ++y) {
        uint8_t* d = pic + (size_t(y) * size_t(pic_w) + size_t(x1)) * 4 + 3;
        for (int x = x1; x <= x2; ++x, d += 4) *d = a;
      }
      return a != 255 || !whole ? 1 : 0;
    }
    default:
      return -1;
  }
}

// ---------------------------------------------------------------- shuffle

void shuffle_block(uint8_t* pic, int pic_w, int x, int y) {
  uint8_t* p[4] = {pic + (size_t(y) * size_t(pic_w) + size_t(x)) * 4, pic + (size_t(y) * size_t(pic_w) + size_t(x) + 1) * 4,
                   pic + (size_t(y + 1) * size_t(pic_w) + size_t(x)) * 4,
                   pic + (size_t(y + 1) * size_t(pic_w) + size_t(x) + 1) * 4};
  uint8_t colour[4][3];
  for (int i = 0; i < 4; ++i) std::memcpy(colour[i], p[i], 3);
  const uint8_t* row = cg_shuffle_table[next_cg_shuffle_random() % 24];
  for (int i = 0; i < 4; ++i) std::memcpy(p[i], colour[row[i]], 3);
}

void shuffle_picture(uint8_t* pic, int w, int h, int64_t value) {
  const int64_t passes = std::clamp<int64_t>(value, 0, 1 << 20) / 2;
  for (int64_t pass = 0; pass < passes; ++pass) {
    const int p = int(std::min<int64_t>(pass, 1 << 20));
    if (p >= h - 1 || p >= w - 1) break;  // no block fits any more: no sweep draws a number
    int per_row = 0;
    for (int y = p; y < h - 1; y += 2) {
      per_row = 0;
      for (int x = p; x < w - 1; x += 2, ++per_row) shuffle_block(pic, w, x, y);
    }
    for (int y = h - 2; y >= p; y -= 2) {
      int x = w - 2 - p;
      for (int k = 0; k < per_row; ++k, x -= 2) shuffle_block(pic, w, x, y);
    }
  }
}

// ---------------------------------------------------------------- running one op

bool in_place_op(int op) { return op == cg_filter_threshold || op == cg_filter_fill; }

bool known_op(int op) {
  switch (op) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 10: case 11: case 12:
    case 19: case 20: case 21: case 22: case 23: case 24: case 27: case 29: case 37: case 38: case 39:
      return true;
    default:
      return false;
  }
}

// Runs a rectangle-sized op from f.pic into f.out.
void run_rect_op(int op, filter_frame& f, bool alpha_in_use) {
  const int64_t w = f.w, h = f.h;
  switch (op) {
    case cg_filter_brightness: {
      uint8_t lut[256];
      const int delta = int(std::clamp<int64_t>(f.value, -1000, 1000)) - 128;
      for (int i = 0; i < 256; ++i) lut[i] = clamp_byte(i + delta);
      f.extra = lut;
      run_in_bands(brightness_band, f, f.h, w);
      return;
    }
    case cg_filter_negative: run_in_bands(negative_band, f, f.h, w); return;
    case cg_filter_sepia: run_in_bands(sepia_band, f, f.h, w); return;
    case cg_filter_tone: run_in_bands(tone_band, f, f.h, w); return;
    case cg_filter_monochrome: run_in_bands(monochrome_band, f, f.h, w); return;
    case cg_filter_copy:
    case cg_filter_copy_attributes:
      copy_cg_rows(f.out, f.pic, f.x1, f.y1, f.x2, f.y2, f.pic_w, f.pic_h, f.w);
      return;
    case cg_filter_mirror: run_in_bands(mirror_band, f, f.h, w); return;
    case cg_filter_flip: run_in_bands(flip_band, f, f.h, w); return;
    case cg_filter_shuffle:
      copy_cg_rows(f.out, f.pic, 0, 0, f.pic_w - 1, f.pic_h - 1, f.pic_w, f.pic_h, f.pic_w);
      shuffle_picture(f.out, f.pic_w, f.pic_h, f.value);
      return;
    case cg_filter_mosaic: {
      mosaic_grid g;
      const int s = int(std::clamp<int64_t>(f.value, 1, 1 << 30));
      g.col_start = block_edges(f.pic_w, s);
      g.row_start = block_edges(f.pic_h, s);
      f.extra = &g;
      run_in_bands(mosaic_band, f, int(g.row_start.size()) - 1, int64_t(f.pic_w) * std::min<int64_t>(s, f.pic_h));
      return;
    }
    case cg_filter_horizontal_wave:
    case cg_filter_vertical_wave:
    case cg_filter_double_wave: {
      constexpr double degree = 0.01745329238474369;
      const double amp = double(f.value);
      const double ax = op == cg_filter_vertical_wave ? 0.0 : amp;
      const double ay = op == cg_filter_horizontal_wave ? 0.0 : amp;
      const double phase = double(f.value2);
      wave_tables t;
      t.shift.resize(size_t(h));
      t.rise.resize(size_t(w));
      for (int v = 0; v < f.h; ++v) t.shift[size_t(v)] = saturating_trunc(ax * std::sin((double(f.y1 + v) + phase) * degree));
      for (int u = 0; u < f.w; ++u) t.rise[size_t(u)] = saturating_trunc(ay * std::cos((double(f.x1 + u) + phase) * degree));
      f.extra = &t;
      run_in_bands(wave_band, f, f.h, w);
      return;
    }
    case cg_filter_swirl: {
      constexpr double degree = 0.017453292519444445;
      swirl_tables t;
      t.cx = f.w / 2;
      t.cy = f.h / 2;
      const int64_t count = int64_t((std::hypot(double(f.w), double(f.h)) + 1) * 0.5 + 1);
      // Tenths of a degree; far beyond any useful turn the angle only loses
      // precision, so huge values are held where doubles still resolve it.
      const double turn = double(std::clamp<int64_t>(f.value, -(int64_t(1) << 40), int64_t(1) << 40));
      t.cos_t.resize(size_t(count));
      t.sin_t.resize(size_t(count));
      for (int64_t i = 0; i < count; ++i) {
        // Real division: the value is in tenths of a degree, and integer
        // division would throw the tenths away.
        const double a = turn / 10.0 - double(i) * turn / (10.0 * double(count));
        t.cos_t[size_t(i)] = int32_t(std::cos(a * degree) * 256);
        t.sin_t[size_t(i)] = int32_t(std::sin(a * degree) * 256);
      }
      if (swirl_cache.w != f.w || swirl_cache.h != f.h || swirl_cache.distance.empty()) {
        swirl_cache.distance.assign(size_t(w) * size_t(h), 0);
        for (int y = 0; y < f.h; ++y)
          for (int x = 0; x < f.w; ++x)
            swirl_cache.distance[size_t(y) * size_t(f.w) + size_t(x)] =
                uint32_t(std::hypot(double(std::abs(x - t.cx)), double(std::abs(y - t.cy))));
        swirl_cache.w = f.w;
        swirl_cache.h = f.h;
      }
      t.distance = swirl_cache.distance.data();
      f.extra = &t;
      run_in_bands(swirl_band, f, f.h, w);
      return;
    }
    default: break;
  }

  // The blurs and shadows: r = max(1, value).
  const int r = int(std::clamp<int64_t>(f.value, 1, 8192));
  const uint8_t* rect = pic_px(f, f.x1, f.y1);
  const size_t pic_stride = size_t(f.pic_w) * 4;
  // Without alpha in use the colours are averaged and alpha kept; with it
  // all four bytes are (the shadows: alpha alone, colours black).
  bool weighted = false;
  int bytes = alpha_in_use ? blur_all : blur_colour;
  bool horizontal = true, vertical = true;
  switch (op) {
    case cg_filter_weighted_blur: weighted = alpha_in_use; break;
    case cg_filter_horizontal_blur: vertical = false; break;
    case cg_filter_vertical_blur: horizontal = false; break;
    case cg_filter_box_blur: break;
    case cg_filter_weighted_shadow:
      weighted = true;
      bytes = blur_alpha;
      break;
    case cg_filter_box_shadow: bytes = alpha_in_use ? blur_alpha : blur_colour; break;
    default: return;
  }
  blur_pass p;
  p.w = f.w;
  p.h = f.h;
  p.bytes = bytes;
  if (horizontal && vertical) {
    std::vector<uint8_t> work(size_t(w) * size_t(h) * 4);
    p.src = rect;
    p.src_stride = pic_stride;
    p.dst = work.data();
    p.dst_stride = size_t(w) * 4;
    run_blur_pass(p, true, r, weighted);
    p.src = work.data();
    p.src_stride = size_t(w) * 4;
    p.dst = f.out;
    p.dst_stride = f.out_stride;
    run_blur_pass(p, false, r, weighted);
    return;
  }
  p.src = rect;
  p.src_stride = pic_stride;
  p.dst = f.out;
  p.dst_stride = f.out_stride;
  run_blur_pass(p, horizontal, r, weighted);
}

}  // namespace

void seed_cg_shuffle_random(uint32_t seed) { shuffle_state = seed; }

int next_cg_shuffle_random() {
  shuffle_state = shuffle_state * 214013u + 2531011u;
  return int((shuffle_state >> 16) & 0x7FFFu);
}

void copy_cg_rows(uint8_t* dst, const uint8_t* src, int x1, int y1, int x2, int y2, int src_w, int src_h, int dst_w) {
  (void)src_h;
  if (!dst || !src || x2 < x1 || y2 < y1) return;
  const size_t bytes = size_t(x2 - x1 + 1) * 4;
  for (int y = y1; y <= y2; ++y)
    pixel_kernels.kernel_copy(dst + size_t(y - y1) * size_t(dst_w) * 4, src + (size_t(y) * size_t(src_w) + size_t(x1)) * 4,
                              bytes);
}

int apply_cg_filter(int op, object_node* first, object_node* second, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
                    int64_t value, int64_t value2, int n, int fill_mode) {
  cg_record* src = layer_record(first);
  // An operation number without an operation changes nothing.
  if (!src || !src->pixels || src->width <= 0 || src->height <= 0 || !known_op(op)) return 0;
  cg_record* dst = n >= 1 ? layer_record(second) : nullptr;
  if (n >= 1 && !dst) return -1;
  const int pic_w = src->width, pic_h = src->height;
  // The shuffle and the mosaic always work on the whole picture.
  if (op == cg_filter_shuffle || op == cg_filter_mosaic) {
    x1 = 0;
    y1 = 0;
    x2 = pic_w - 1;
    y2 = pic_h - 1;
  }
  x1 = std::clamp<int64_t>(x1, 0, pic_w - 1);
  x2 = std::clamp<int64_t>(x2, 0, pic_w - 1);
  y1 = std::clamp<int64_t>(y1, 0, pic_h - 1);
  y2 = std::clamp<int64_t>(y2, 0, pic_h - 1);
  if (x2 < x1 || y2 < y1) {
    report_error(100010, 1);
    return -1;
  }
  const int rx1 = int(x1), ry1 = int(y1), rx2 = int(x2), ry2 = int(y2);
  const int w = rx2 - rx1 + 1, h = ry2 - ry1 + 1;
  const bool alpha_in_use = src->alpha_in_use != 0;

  if (in_place_op(op)) {
    uint8_t* target = src->pixels;
    picture_buffer fresh;
    if (n >= 1) {
      if (alloc_picture_buffer(fresh, pic_w, pic_h, std::string()) != 0) return -1;
      std::memcpy(fresh.pixels, src->pixels, size_t(pic_w) * size_t(pic_h) * 4);
      target = fresh.pixels;
    }
    int flag = -1;
    if (op == cg_filter_threshold) {
      threshold_rect(target, pic_w, rx1, ry1, rx2, ry2, value);
    } else {
      flag = fill_rect(target, pic_w, pic_h, rx1, ry1, rx2, ry2, value, fill_mode);
    }
    if (n >= 1) {
      commit_cg_buffer(dst, fresh, second);
      dst->alpha_in_use = src->alpha_in_use;
      // The fill's own flag goes to the record whose picture received it.
      if (flag >= 0) dst->alpha_in_use = uint8_t(flag);
    } else {
      if (flag >= 0) src->alpha_in_use = uint8_t(flag);
      mark_layer_dirty(first);
    }
    return 0;
  }

  picture_buffer fresh;
  const int out_w = op == cg_filter_shuffle ? pic_w : w;
  const int out_h = op == cg_filter_shuffle ? pic_h : h;
  if (alloc_picture_buffer(fresh, out_w, out_h, std::string()) != 0) return -1;
  filter_frame f;
  f.pic = src->pixels;
  f.pic_w = pic_w;
  f.pic_h = pic_h;
  f.x1 = rx1;
  f.y1 = ry1;
  f.x2 = rx2;
  f.y2 = ry2;
  f.w = w;
  f.h = h;
  f.out = fresh.pixels;
  f.out_stride = size_t(out_w) * 4;
  f.value = value;
  f.value2 = value2;
  run_rect_op(op, f, alpha_in_use);

  if (n < 1) {
    commit_cg_buffer(src, fresh, first);
    return 0;
  }
  const uint8_t first_alpha_in_use = src->alpha_in_use;
  commit_cg_buffer(dst, fresh, second);
  if (op == cg_filter_copy_attributes && dst != src) {
    dst->visible = src->visible;
    dst->alpha = src->alpha;
    dst->tag1 = src->tag1;
    dst->tag2 = src->tag2;
    dst->x = src->x;
    dst->y = src->y;
    dst->rule_progress = src->rule_progress;
    dst->vagueness = src->vagueness;
    dst->blend_mode = src->blend_mode;
    dst->alpha_in_use = src->alpha_in_use;
    dst->mask_path = src->mask_path;
    dst->second_source_path = src->second_source_path;
    // The copy has no animation of its own; frames it had are freed, not lost.
    if (dst->gif_frames && layer_record_hooks.release_gif_frames) layer_record_hooks.release_gif_frames(dst);
    dst->gif_frames = nullptr;
    mark_layer_dirty(second);
  }
  dst->alpha_in_use = first_alpha_in_use;
  return 0;
}
