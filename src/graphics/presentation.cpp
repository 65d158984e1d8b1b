#include "graphics/presentation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/engine_state.h"
#include "core/frame_state.h"
#include "core/window_state.h"
#include "platform/platform.h"
#include "core/settings.h"
#include "core/worker_pool.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"

presentation_settings_record presentation_settings;
presentation_stats_record presentation_stats;

namespace {

// ---------------------------------------------------------------- tables

// Per destination column of a bilinear scale: the source byte offset of P00 and
// the two horizontal weights (256 - wx, wx) after sharpening.
struct bilinear_tables {
  std::vector<int64_t> column_position;  // 24.8 fixed point
  std::vector<int64_t> row_position;
  std::vector<int64_t> column_offset;    // bytes
  std::vector<uint16_t> column_weights;  // two per column
  // The same weights spread over the four channels of P00 and of P01 (eight
  // 16-bit lanes per column), loaded whole by the SIMD row.
  std::vector<uint16_t> column_lanes;
  int first_column = 0, end_column = 0;  // valid columns [first, end)
  int first_row = 0, end_row = 0;
};

struct nearest_tables {
  std::vector<int32_t> columns;  // source column per destination column
  std::vector<int32_t> rows;
  int first_column = 0, end_column = 0;
  int first_row = 0, end_row = 0;
};

// The presenting thread's tables; the frame thread's scaler has its own.
// Per thread: in frame-thread mode the main thread's paint and the frame
// thread's picture resizing both use the nearest and bilinear scalers.
thread_local bilinear_tables main_bilinear;
bilinear_tables frame_bilinear;
thread_local nearest_tables main_nearest;

uint8_t sharpen_entries[256];
bool sharpen_built = false;

void build_sharpening_table() {
  if (sharpen_built) return;
  for (int w = 0; w < 256; ++w) {
    double v = (w - 128) * 1.25 + 128;
    v = std::clamp(v, 0.0, 255.0);
    sharpen_entries[w] = static_cast<uint8_t>(v);  // truncated
  }
  sharpen_built = true;
}

// The first and end index of a non-decreasing position run whose index lies
// inside [0, limit).
template <class Index>
void valid_range(int count, Index index_of, int limit, int& first, int& end) {
  first = 0;
  while (first < count && index_of(first) < 0) ++first;
  end = first;
  while (end < count && index_of(end) >= 0 && index_of(end) < limit) ++end;
}

// Source position of destination step j: the corners of source and
// destination meet. 64-bit throughout: j * 256 * extent overflows 32 bits for
// any screen-sized scale.
inline int64_t bilinear_position(int64_t origin100, int64_t end100, int64_t j, int64_t dst100) {
  int64_t divisor = dst100 > 100 ? dst100 - 100 : 100;
  return origin100 * 256 / 100 + j * 256 * (end100 - origin100) / divisor;
}

void build_bilinear_tables(bilinear_tables& t, int x0, int y0, int x1, int y1, int src_w, int src_h, int dst_w,
                           int dst_h, int dst_w100, int dst_h100, bool sharpen) {
  build_sharpening_table();
  t.column_position.resize(static_cast<size_t>(dst_w));
  t.column_offset.resize(static_cast<size_t>(dst_w));
  t.column_weights.resize(static_cast<size_t>(dst_w) * 2);
  t.column_lanes.resize(static_cast<size_t>(dst_w) * 8);
  t.row_position.resize(static_cast<size_t>(dst_h));
  for (int j = 0; j < dst_w; ++j) {
    int64_t p = bilinear_position(x0, x1, j, dst_w100);
    t.column_position[size_t(j)] = p;
    int wx = static_cast<int>(p & 255);
    if (sharpen) wx = sharpen_entries[wx];
    t.column_offset[size_t(j)] = (p >> 8) * 4;
    t.column_weights[size_t(j) * 2] = static_cast<uint16_t>(256 - wx);
    t.column_weights[size_t(j) * 2 + 1] = static_cast<uint16_t>(wx);
    for (int c = 0; c < 4; ++c) {
      t.column_lanes[size_t(j) * 8 + size_t(c)] = static_cast<uint16_t>(256 - wx);
      t.column_lanes[size_t(j) * 8 + 4 + size_t(c)] = static_cast<uint16_t>(wx);
    }
  }
  for (int i = 0; i < dst_h; ++i) t.row_position[size_t(i)] = bilinear_position(y0, y1, i, dst_h100);
  valid_range(dst_w, [&](int j) { return t.column_position[size_t(j)] >> 8; }, src_w, t.first_column, t.end_column);
  valid_range(dst_h, [&](int i) { return t.row_position[size_t(i)] >> 8; }, src_h, t.first_row, t.end_row);
}

// The scale in two steps, with exactly the formula's rounding: the horizontal
// mix of one source row, h = (P0 * (256 - wx) + P1 * wx) >> 8 per channel,
// depends only on that row, so it is made once per source row (16-bit lanes)
// and shared by every destination row that reads the row; the vertical mix
// (h_top * (256 - wy) + h_bottom * wy) >> 8 then makes each destination row.
// The spare row of the picture buffer serves as the row below the last one.
void bilinear_horizontal_portable(uint16_t* h, const uint8_t* row, const bilinear_tables& t) {
  for (int j = t.first_column; j < t.end_column; ++j) {
    const uint8_t* p = row + t.column_offset[size_t(j)];
    const int w0 = t.column_weights[size_t(j) * 2], w1 = t.column_weights[size_t(j) * 2 + 1];
    for (int c = 0; c < 4; ++c) h[size_t(j) * 4 + size_t(c)] = static_cast<uint16_t>((p[c] * w0 + p[4 + c] * w1) >> 8);
  }
}

void bilinear_vertical_portable(uint8_t* out, const uint16_t* a, const uint16_t* b, int wy, int first, int end) {
  const int iy = 256 - wy;
  for (size_t x = size_t(first) * 4; x < size_t(end) * 4; ++x) {
    const int v = (a[x] * iy + b[x] * wy) >> 8;
    out[x] = static_cast<uint8_t>(v > 255 ? 255 : v);
  }
}

#if defined(__SSE2__)
// Every product and sum fits 16 bits unsigned (at most 255 * 256), so the
// 16-bit lanes compute the portable arithmetic exactly.
void bilinear_horizontal_sse2(uint16_t* h, const uint8_t* row, const bilinear_tables& t) {
  const __m128i zero = _mm_setzero_si128();
  auto pair = [&](int j) {  // P0 * w0 | P1 * w1
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&t.column_lanes[size_t(j) * 8]));
    const __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + t.column_offset[size_t(j)]));
    return _mm_mullo_epi16(_mm_unpacklo_epi8(p, zero), w);
  };
  int j = t.first_column;
  for (; j + 1 < t.end_column; j += 2) {
    const __m128i a = pair(j), b = pair(j + 1);
    const __m128i v = _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b)), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + size_t(j) * 4), v);
  }
  if (j < t.end_column) {
    const __m128i a = pair(j);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(h + size_t(j) * 4),
                     _mm_srli_epi16(_mm_add_epi16(a, _mm_srli_si128(a, 8)), 8));
  }
}

void bilinear_vertical_sse2(uint8_t* out, const uint16_t* a, const uint16_t* b, int wy, int first, int end) {
  const __m128i vy = _mm_set1_epi16(short(wy)), viy = _mm_set1_epi16(short(256 - wy));
  size_t x = size_t(first) * 4;
  const size_t stop = size_t(end) * 4;
  auto mix = [&](size_t at) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at));
    const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at));
    return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(p, viy), _mm_mullo_epi16(q, vy)), 8);
  };
  for (; x + 16 <= stop; x += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(mix(x), mix(x + 8)));
  for (; x + 8 <= stop; x += 8) {
    const __m128i v = mix(x);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(v, v));
  }
  if (x < stop) bilinear_vertical_portable(out + x, a + x, b + x, wy, 0, int((stop - x) / 4));
}
#endif

struct bilinear_kernels {
  void (*horizontal)(uint16_t* h, const uint8_t* row, const bilinear_tables& t);
  void (*vertical)(uint8_t* out, const uint16_t* a, const uint16_t* b, int wy, int first, int end);
};
const bilinear_kernels bilinear_portable{bilinear_horizontal_portable, bilinear_vertical_portable};
#if defined(__SSE2__)
const bilinear_kernels bilinear_sse2{bilinear_horizontal_sse2, bilinear_vertical_sse2};
#endif

using bilinear_row_fn = const bilinear_kernels*;

bilinear_row_fn bilinear_row() {
#if defined(__SSE2__)
  if (presentation_settings.simd) return &bilinear_sse2;
#endif
  return &bilinear_portable;
}

// Rows [first, end) of a bilinear scale: rows outside the source and the
// columns outside the valid range are cleared. The horizontal mixes of the
// two source rows last used are kept, so each source row is mixed once.
void bilinear_rows(uint8_t* dst, const uint8_t* src, int src_w, int dst_w, const bilinear_tables& t, int first,
                   int end, bilinear_row_fn row) {
  const int64_t src_stride = int64_t{src_w} * 4;
  const size_t dst_stride = size_t(dst_w) * 4;
  std::vector<uint16_t> cache(size_t(dst_w) * 8);
  uint16_t* slot[2] = {cache.data(), cache.data() + size_t(dst_w) * 4};
  int64_t held[2] = {-1, -1};
  auto mixed = [&](int64_t k, int keep) {
    for (int s = 0; s < 2; ++s)
      if (held[s] == k) return s;
    const int s = keep == 0 ? 1 : 0;
    row->horizontal(slot[s], src + k * src_stride, t);
    held[s] = k;
    return s;
  };
  for (int i = first; i < end; ++i) {
    uint8_t* out = dst + size_t(i) * dst_stride;
    if (i < t.first_row || i >= t.end_row) {
      std::memset(out, 0, dst_stride);
      continue;
    }
    int64_t p = t.row_position[size_t(i)];
    int wy = static_cast<int>(p & 255);
    if (t.first_column > 0) std::memset(out, 0, size_t(t.first_column) * 4);
    if (t.end_column < dst_w) std::memset(out + size_t(t.end_column) * 4, 0, size_t(dst_w - t.end_column) * 4);
    const int64_t k = p >> 8;
    // The row below is mixed only when it weighs: with wy 0 the result is
    // the upper row's mix exactly.
    const int upper = mixed(k, held[0] == k + 1 ? 0 : held[1] == k + 1 ? 1 : -1);
    const int lower = wy != 0 ? mixed(k + 1, upper) : upper;
    row->vertical(out, slot[upper], slot[lower], wy, t.first_column, t.end_column);
  }
}

// ---------------------------------------------------------------- jobs

enum : int {
  arg_first_row = 0,
  arg_end_row = 1,
  arg_first_column = 2,
  arg_end_column = 3,
  arg_src_x = 4,
  arg_src_y = 5,
  arg_src_w = 6,
  arg_src_h = 7,
  arg_dst_w = 8,
  arg_dst_h = 9,
  arg_dst = 10,
  arg_src = 11,
  arg_tables = 12,
  arg_row_fn = 13,
};

void nearest_rows(uint8_t* dst, const uint8_t* src, int src_w, int dst_w, const nearest_tables& t, int first, int end) {
  const size_t dst_stride = size_t(dst_w) * 4;
  const size_t src_stride = size_t(src_w) * 4;
  for (int i = first; i < end; ++i) {
    uint8_t* out = dst + size_t(i) * dst_stride;
    if (t.first_column > 0) std::memset(out, 0, size_t(t.first_column) * 4);
    if (t.end_column < dst_w) std::memset(out + size_t(t.end_column) * 4, 0, size_t(dst_w - t.end_column) * 4);
    const uint32_t* line = reinterpret_cast<const uint32_t*>(src + size_t(t.rows[size_t(i)]) * src_stride);
    uint32_t* o = reinterpret_cast<uint32_t*>(out);
    for (int j = t.first_column; j < t.end_column; ++j) o[j] = line[t.columns[size_t(j)]];
  }
}

void run_nearest_job(const worker_job& job) {
  const auto* t = job.ptr<const nearest_tables>(arg_tables);
  nearest_rows(job.ptr<uint8_t>(arg_dst), job.ptr<const uint8_t>(arg_src), int(job.arg[arg_src_w]),
               int(job.arg[arg_dst_w]), *t, int(job.arg[arg_first_row]), int(job.arg[arg_end_row]));
}

void run_bilinear_job(const worker_job& job) {
  const auto* t = job.ptr<const bilinear_tables>(arg_tables);
  auto row = reinterpret_cast<bilinear_row_fn>(job.arg[arg_row_fn]);
  bilinear_rows(job.ptr<uint8_t>(arg_dst), job.ptr<const uint8_t>(arg_src), int(job.arg[arg_src_w]),
                int(job.arg[arg_dst_w]), *t, int(job.arg[arg_first_row]), int(job.arg[arg_end_row]), row);
}

// The arguments both scaling jobs carry: the band, the drawn columns, the
// source rectangle and the two pictures with their tables.
void fill_scale_job(worker_job& job, int64_t first_row, int64_t end_row, int64_t first_column, int64_t end_column,
                    int src_x, int src_y, int src_w, int src_h, int dst_w, int dst_h, uint8_t* dst, const uint8_t* src,
                    const void* tables) {
  job.arg[arg_first_row] = first_row;
  job.arg[arg_end_row] = end_row;
  job.arg[arg_first_column] = first_column;
  job.arg[arg_end_column] = end_column;
  job.arg[arg_src_x] = src_x;
  job.arg[arg_src_y] = src_y;
  job.arg[arg_src_w] = src_w;
  job.arg[arg_src_h] = src_h;
  job.arg[arg_dst_w] = dst_w;
  job.arg[arg_dst_h] = dst_h;
  job.set_ptr(arg_dst, dst);
  job.set_ptr(arg_src, src);
  job.set_ptr(arg_tables, tables);
}

bool jobs_registered = false;

int pool_workers() { return std::max(1, worker_pool.worker_count.load()); }

bool valid_scale(const uint8_t* dst, const uint8_t* src, int src_w, int src_h, int dst_w, int dst_h) {
  return dst && src && src_w > 0 && src_h > 0 && dst_w > 0 && dst_h > 0;
}

}  // namespace

const uint8_t* sharpening_table() {
  build_sharpening_table();
  return sharpen_entries;
}

void register_presentation_jobs() {
  register_worker_job_kind(job_scale_nearest, run_nearest_job);
  register_worker_job_kind(job_scale_bilinear, run_bilinear_job);
  jobs_registered = true;
}

void init_presentation() {
  presentation_settings.scaling_policy = engine_settings.scaling_policy;
  int method = engine_settings.drawing_method < 0 ? 0 : engine_settings.drawing_method;
  presentation_settings.cpu_scaling_mode = method == 3 ? 0 : 1;
  presentation_settings.d3d_filter = static_cast<uint8_t>(3 - std::clamp(method, 0, 3));
  presentation_settings.simd = pixel_kernels.sse2 != 0 || pixel_kernels.sse != 0 ? 1 : 0;
  build_sharpening_table();
  register_presentation_jobs();
}

// ---------------------------------------------------------------- scalers

void scale_image_nearest_mt(uint8_t* dst, const uint8_t* src, int src_x0, int src_y0, int src_x1, int src_y1, int src_w,
                            int src_h, int dst_w, int dst_h, bool threaded) {
  if (!valid_scale(dst, src, src_w, src_h, dst_w, dst_h)) return;
  nearest_tables& t = main_nearest;
  // The extent is taken modulo 65536, as the 16.16 step requires.
  int64_t sx = (int64_t((src_x1 - src_x0 + 1) & 0xFFFF) << 16) / dst_w;
  int64_t sy = (int64_t((src_y1 - src_y0 + 1) & 0xFFFF) << 16) / dst_h;
  t.columns.resize(size_t(dst_w));
  t.rows.resize(size_t(dst_h));
  for (int j = 0; j < dst_w; ++j) t.columns[size_t(j)] = static_cast<int32_t>(src_x0 + ((j * sx) >> 16));
  for (int i = 0; i < dst_h; ++i) t.rows[size_t(i)] = static_cast<int32_t>(src_y0 + ((i * sy) >> 16));
  valid_range(dst_w, [&](int j) { return t.columns[size_t(j)]; }, src_w, t.first_column, t.end_column);
  valid_range(dst_h, [&](int i) { return t.rows[size_t(i)]; }, src_h, t.first_row, t.end_row);
  const size_t dst_stride = size_t(dst_w) * 4;
  for (int i = 0; i < dst_h; ++i)
    if (i < t.first_row || i >= t.end_row) std::memset(dst + size_t(i) * dst_stride, 0, dst_stride);
  if (t.first_row >= t.end_row) return;
  int workers = threaded ? std::min(pool_workers(), t.end_row - t.first_row) : 1;
  if (workers <= 1) {
    nearest_rows(dst, src, src_w, dst_w, t, t.first_row, t.end_row);
    return;
  }
  if (!jobs_registered) register_presentation_jobs();
  dispatch_worker_jobs(job_scale_nearest, workers, [&](worker_job& job, int m) {
    fill_scale_job(job, nearest_band_first(m, workers, t.first_row, t.end_row),
                   nearest_band_end(m, workers, t.first_row, t.end_row), t.first_column, t.end_column, src_x0, src_y0,
                   src_w, src_h, dst_w, dst_h, dst, src, &t);
  });
}

void scale_image_bilinear(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_w, int src_h,
                          int dst_w100, int dst_h100) {
  int dst_w = dst_w100 / 100, dst_h = dst_h100 / 100;
  if (!valid_scale(dst, src, src_w, src_h, dst_w, dst_h)) return;
  bilinear_tables& t = main_bilinear;
  build_bilinear_tables(t, x0, y0, x1, y1, src_w, src_h, dst_w, dst_h, dst_w100, dst_h100,
                        presentation_settings.sharpen != 0);
  bilinear_rows(dst, src, src_w, dst_w, t, 0, dst_h, bilinear_row());
}

void scale_image_bilinear_mt(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_w, int src_h,
                             int dst_w100, int dst_h100) {
  int dst_w = dst_w100 / 100, dst_h = dst_h100 / 100;
  if (!valid_scale(dst, src, src_w, src_h, dst_w, dst_h)) return;
  bilinear_tables& t = main_bilinear;
  build_bilinear_tables(t, x0, y0, x1, y1, src_w, src_h, dst_w, dst_h, dst_w100, dst_h100,
                        presentation_settings.sharpen != 0);
  int workers = std::min(pool_workers(), dst_h);
  bilinear_row_fn row = bilinear_row();
  if (workers <= 1) {
    bilinear_rows(dst, src, src_w, dst_w, t, 0, dst_h, row);
    return;
  }
  if (!jobs_registered) register_presentation_jobs();
  dispatch_worker_jobs(job_scale_bilinear, workers, [&](worker_job& job, int m) {
    fill_scale_job(job, row_band_first(m, dst_h, workers), row_band_last(m, dst_h, workers), t.first_column,
                   t.end_column, x0, y0, src_w, src_h, dst_w, dst_h, dst, src, &t);
    job.arg[arg_row_fn] = reinterpret_cast<intptr_t>(row);
  });
}

void scale_image_bilinear_frame_mode(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_w,
                                     int src_h, int dst_w100, int dst_h100) {
  int dst_w = dst_w100 / 100, dst_h = dst_h100 / 100;
  if (!valid_scale(dst, src, src_w, src_h, dst_w, dst_h)) return;
  bilinear_tables& t = frame_bilinear;
  build_bilinear_tables(t, x0, y0, x1, y1, src_w, src_h, dst_w, dst_h, dst_w100, dst_h100,
                        presentation_settings.sharpen_frame_mode != 0);
  bilinear_rows(dst, src, src_w, dst_w, t, 0, dst_h, bilinear_row());
}

// ---------------------------------------------------------------- presentation

namespace {

// The frame buffer must hold an out_w x out_h frame (with its spare bytes).
bool frame_buffer_fits(int out_w, int out_h) {
  size_t need = size_t(out_w) * 4 * size_t(out_h) + size_t(out_w) * 4 + 4;
  if (cpu_frame_buffer.pixels.size() >= need) return true;
  return apply_frame_buffer_rule(cpu_frame_buffer.pixels, out_w, out_h) == 0;
}

void blit(int window, const uint8_t* pixels, int width, int height, int stride, int x, int y) {
  if (width <= 0 || height <= 0) return;
  platform().ui->present(window, pixels, width, height, stride, x, y);
  ++presentation_stats.blits;
}

// Scales the whole source into the frame buffer at the output size and blits
// it 1:1. bilinear: the threaded scaler when allowed, the frame thread's own
// when the frame thread is on; nearest otherwise.
void scale_and_blit(int window, const present_source& s, int out_w, int out_h, bool bilinear, int x, int y) {
  if (!frame_buffer_fits(out_w, out_h)) return;
  uint8_t* frame = cpu_frame_buffer.pixels.data();
  // In frame-thread mode the frame thread owns the worker pool: the main
  // thread's paint never posts jobs.
  bool may_post = !frame_thread.enabled;
  if (bilinear) {
    int x1 = (s.width - 1) * 100, y1 = (s.height - 1) * 100;
    if (frame_thread.enabled)
      scale_image_bilinear_frame_mode(frame, s.pixels, 0, 0, x1, y1, s.width, s.height, out_w * 100, out_h * 100);
    else if (presentation_settings.simd && presentation_settings.threaded_scalers && may_post)
      scale_image_bilinear_mt(frame, s.pixels, 0, 0, x1, y1, s.width, s.height, out_w * 100, out_h * 100);
    else
      scale_image_bilinear(frame, s.pixels, 0, 0, x1, y1, s.width, s.height, out_w * 100, out_h * 100);
  } else {
    scale_image_nearest_mt(frame, s.pixels, 0, 0, s.width - 1, s.height - 1, s.width, s.height, out_w, out_h,
                           may_post);
  }
  ++presentation_stats.scaled_frames;
  window_state* w = game_window_record(window);
  if (w) {
    w->bitmap_width = out_w;
    w->bitmap_height = out_h;
  }
  blit(window, frame, out_w, out_h, out_w * 4, x, y);
}

}  // namespace

void present_window_source(int window, const present_source& s) {
  if (quit_flag) return;
  if (s.rect[2] < s.rect[0] || s.rect[3] < s.rect[1]) return;
  if (!s.pixels || s.width <= 0 || s.height <= 0) return;
  window_state* w = game_window_record(window);
  if (!w) return;
  int out_w = window == 0 ? cpu_frame_buffer.output_width : w->logical_width;
  int out_h = window == 0 ? cpu_frame_buffer.output_height : w->logical_height;
  if (out_w <= 0 || out_h <= 0) return;
  w->bitmap_width = s.width;
  w->bitmap_height = s.height;
  const uint8_t policy = presentation_settings.scaling_policy;
  const uint8_t mode = presentation_settings.cpu_scaling_mode;

  if (window == 0 && (screen_state.fullscreen || screen_state.maximised)) {
    int cw = screen_state.client_width, ch = screen_state.client_height;
    int ox = cw > out_w ? (cw - out_w) / 2 : 0, oy = ch > out_h ? (ch - out_h) / 2 : 0;
    w->picture_offset_x = ox;
    w->picture_offset_y = oy;
    if ((policy != 0 && mode == 1) || (screen_state.maximised && !screen_state.fullscreen)) {
      presentation_stats.last_path = 1;
      scale_and_blit(window, s, out_w, out_h, true, ox, oy);
    } else if (policy != 0 && mode == 0) {
      presentation_stats.last_path = 2;
      scale_and_blit(window, s, out_w, out_h, false, ox, oy);
    } else {
      // The whole picture stretched onto the output rectangle (nearest, as
      // the colour-on-colour stretch mode does).
      presentation_stats.last_path = 3;
      scale_and_blit(window, s, out_w, out_h, false, ox, oy);
    }
    return;
  }

  w->picture_offset_x = 0;
  w->picture_offset_y = 0;
  if (window == 0 && (s.width != out_w || s.height != out_h)) {
    presentation_stats.last_path = mode == 1 ? 1 : 2;
    scale_and_blit(window, s, out_w, out_h, mode == 1, static_cast<int>(s.x), static_cast<int>(s.y));
    return;
  }

  // No scaling: only the changed rectangle.
  int64_t x0 = s.rect[0], y0 = s.rect[1], x1 = s.rect[2], y1 = s.rect[3];
  int rw = static_cast<int>(x1 - x0 + 1), rh = static_cast<int>(y1 - y0 + 1);
  int64_t dx = s.x + x0, dy = s.y + y0;
  const size_t stride = size_t(s.width) * 4;
  const uint8_t* from = s.pixels + size_t(y0) * stride + size_t(x0) * 4;
  if (dx == 0 && dy > 0 && dy + rh >= s.height) {
    // The rectangle's columns over the whole picture height.
    dy = s.y;
    rh = s.height;
    from = s.pixels + size_t(x0) * 4;
  }
  presentation_stats.last_path = 4;
  presentation_stats.bytes = uint64_t(rw) * uint64_t(rh) * 4;
  presentation_stats.rect[0] = static_cast<int32_t>(dx);
  presentation_stats.rect[1] = static_cast<int32_t>(dy);
  presentation_stats.rect[2] = rw;
  presentation_stats.rect[3] = rh;
  blit(window, from, rw, rh, static_cast<int>(stride), static_cast<int>(dx), static_cast<int>(dy));
}

void present_window_frame(int window, cg_record* root) {
  if (quit_flag || !root || !root->pixels) return;
  layer_rect r;
  if (take_present_rect(root, r) != 0) return;
  present_source s;
  s.pixels = root->pixels;
  s.width = root->width;
  s.height = root->height;
  s.x = root->x;
  s.y = root->y;
  s.rect[0] = r.x0;
  s.rect[1] = r.y0;
  s.rect[2] = r.x1;
  s.rect[3] = r.y1;
  present_window_source(window, s);
}
