// Picture resizing and rotation beside pixman doing the same transform on the
// same sampling grid (one thread, SRC):
//
//   nearest   -> PIXMAN_FILTER_NEAREST
//   bilinear  -> PIXMAN_FILTER_BILINEAR
//   bicubic   -> separable convolution, CUBIC reconstruction
//   smooth    -> PIXMAN_FILTER_BILINEAR (pixman has no four-sample filter;
//                its bilinear is the cheaper of the two)
//   lanczos   -> separable convolution, LANCZOS2 (widened when reducing)
//   rotation  -> affine transform, BILINEAR or NEAREST
//
// Sizes: 1920x1080 -> 1280x720, 1280x720 -> 1920x1080, 640x480 -> 64x48, each
// method with 1 and 4 workers (bicubic and Lanczos run on one thread either
// way), and a 1920x1080 picture turned by 30 degrees.
//
// Counters: px/s (destination pixels a second) and x_pixman = our rate /
// pixman's rate for the same transform, both timed the same way in the same
// run (best of five batches; above 1: faster than pixman). With 4 workers,
// x_pixman_thread divides by the threads used.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/worker_pool.h"
#include "graphics/pixel_kernels.h"
#include "graphics/presentation.h"
#include "image/cg_resize.h"
#include "image/cg_rotate.h"

#if defined(ZARVIK_HAVE_PIXMAN)
#include <pixman.h>
#endif

namespace {

struct size_case {
  int sw, sh, dw, dh;
};
const size_case sizes[] = {{1920, 1080, 1280, 720}, {1280, 720, 1920, 1080}, {640, 480, 64, 48}};
const int methods[] = {resize_nearest, resize_bilinear, resize_bicubic, resize_smooth, resize_lanczos};
const char* method_names[] = {"nearest", "bilinear", "bicubic", "smooth", "lanczos"};

// A photo-like picture: smooth areas, edges and noise, opaque.
std::vector<uint8_t> make_picture(int w, int h) {
  std::vector<uint8_t> p(size_t(w) * 4 * h + size_t(w) * 4 + 4, 0);
  std::mt19937 rng(7);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* q = &p[(size_t(y) * w + x) * 4];
      q[0] = uint8_t((x * 255) / w + (rng() & 15));
      q[1] = uint8_t(((x / 64 + y / 64) & 1) ? 200 : 40);
      q[2] = uint8_t((y * 255) / h ^ (rng() & 7));
      q[3] = 255;
    }
  return p;
}

const std::vector<uint8_t>& picture(int w, int h) {
  static std::map<std::pair<int, int>, std::vector<uint8_t>> cache;
  auto& p = cache[{w, h}];
  if (p.empty()) p = make_picture(w, h);
  return p;
}

void ready(int workers) {
  static bool kernels = false;
  if (!kernels) {
    init_pixel_kernels(true, true);
    init_presentation();
    presentation_settings.simd = 1;
    register_resize_jobs();
    kernels = true;
  }
  if (worker_pool.worker_count.load() != workers) {
    stop_worker_threads();
    start_worker_threads(workers);
  }
}

void run_ours(int method, const uint8_t* src, uint8_t* dst, const size_case& s, int workers) {
  const int x2 = (s.sw - 1) * 100, y2 = (s.sh - 1) * 100;
  switch (method) {
    case resize_nearest:
      scale_image_nearest_mt(dst, src, 0, 0, s.sw - 1, s.sh - 1, s.sw, s.sh, s.dw, s.dh);
      break;
    case resize_bilinear:
      scale_image_bilinear_mt(dst, src, 0, 0, x2, y2, s.sw, s.sh, s.dw * 100, s.dh * 100);
      break;
    case resize_bicubic:
      resample_bicubic(dst, src, 0, 0, s.sw - 1, s.sh - 1, s.sw, s.sh, s.dw, s.dh);
      break;
    case resize_smooth:
      resize_smooth_threaded(dst, src, 0, 0, x2, y2, s.sw, s.sh, s.dw * 100, s.dh * 100, workers);
      break;
    case resize_lanczos:
      resample_lanczos2(dst, src, s.sw, s.sh, s.dw, s.dh);
      break;
  }
}

// Seconds per run, the best of a few timed batches: the same measure for
// pixman and for ours, so a busy machine skews neither side.
template <class F>
double best_seconds(F&& f) {
  double best = 1e30;
  for (int batch = 0; batch < 5; ++batch) {
    const auto t0 = std::chrono::steady_clock::now();
    int runs = 0;
    do {
      f();
      ++runs;
    } while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(60));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / runs;
    best = std::min(best, s);
  }
  return best;
}

#if defined(ZARVIK_HAVE_PIXMAN)
// pixman on the player's grid: destination index j samples source index
// j * scale + offset.
pixman_image_t* pixman_source(const uint8_t* src, int w, int h, double sx, double sy, double ox, double oy,
                              int method) {
  pixman_image_t* s =
      pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(src)), w * 4);
  pixman_transform_t t;
  pixman_transform_init_identity(&t);
  const double half = method == resize_nearest ? 1.0 / 4096 : 0.5;
  t.matrix[0][0] = pixman_double_to_fixed(sx);
  t.matrix[1][1] = pixman_double_to_fixed(sy);
  t.matrix[0][2] = pixman_double_to_fixed(ox + half - 0.5 * sx);
  t.matrix[1][2] = pixman_double_to_fixed(oy + half - 0.5 * sy);
  pixman_image_set_transform(s, &t);
  pixman_image_set_repeat(s, PIXMAN_REPEAT_PAD);
  if (method == resize_nearest) {
    pixman_image_set_filter(s, PIXMAN_FILTER_NEAREST, nullptr, 0);
  } else if (method == resize_bilinear || method == resize_smooth) {
    pixman_image_set_filter(s, PIXMAN_FILTER_BILINEAR, nullptr, 0);
  } else {
    int n = 0;
    pixman_fixed_t* params;
    if (method == resize_bicubic) {
      params = pixman_filter_create_separable_convolution(&n, pixman_fixed_1, pixman_fixed_1, PIXMAN_KERNEL_CUBIC,
                                                          PIXMAN_KERNEL_CUBIC, PIXMAN_KERNEL_IMPULSE,
                                                          PIXMAN_KERNEL_IMPULSE, 4, 4);
    } else {
      const bool reduce_x = sx > 1, reduce_y = sy > 1;
      params = pixman_filter_create_separable_convolution(
          &n, pixman_double_to_fixed(reduce_x ? sx : 1), pixman_double_to_fixed(reduce_y ? sy : 1),
          reduce_x ? PIXMAN_KERNEL_IMPULSE : PIXMAN_KERNEL_LANCZOS2,
          reduce_y ? PIXMAN_KERNEL_IMPULSE : PIXMAN_KERNEL_LANCZOS2,
          reduce_x ? PIXMAN_KERNEL_LANCZOS2 : PIXMAN_KERNEL_IMPULSE,
          reduce_y ? PIXMAN_KERNEL_LANCZOS2 : PIXMAN_KERNEL_IMPULSE, 4, 4);
    }
    pixman_image_set_filter(s, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, n);
    free(params);
  }
  return s;
}

double pixman_resize_seconds(int method, const size_case& s) {
  static std::map<std::string, double> cache;
  const std::string key = std::to_string(method) + "/" + std::to_string(s.sw) + "/" + std::to_string(s.dw);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  double sx = double(s.sw) / s.dw, sy = double(s.sh) / s.dh, ox = 0, oy = 0;
  if (method == resize_bilinear || method == resize_smooth || method == resize_lanczos)
    sx = double(s.sw - 1) / (s.dw - 1), sy = double(s.sh - 1) / (s.dh - 1);
  if (method == resize_smooth) ox = 0.25 * sx, oy = 0.25 * sy;
  std::vector<uint8_t> out(size_t(s.dw) * 4 * s.dh);
  pixman_image_t* src = pixman_source(picture(s.sw, s.sh).data(), s.sw, s.sh, sx, sy, ox, oy, method);
  pixman_image_t* dst =
      pixman_image_create_bits(PIXMAN_a8r8g8b8, s.dw, s.dh, reinterpret_cast<uint32_t*>(out.data()), s.dw * 4);
  const double secs = best_seconds(
      [&] { pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, s.dw, s.dh); });
  pixman_image_unref(src);
  pixman_image_unref(dst);
  return cache[key] = secs;
}

double pixman_rotate_seconds(bool bilinear) {
  static double cached[2] = {0, 0};
  if (cached[bilinear]) return cached[bilinear];
  const int w = 1920, h = 1080;
  std::vector<uint8_t> out(size_t(w) * 4 * h);
  pixman_image_t* src = pixman_image_create_bits(
      PIXMAN_a8r8g8b8, w, h, reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(picture(w, h).data())), w * 4);
  pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, reinterpret_cast<uint32_t*>(out.data()), w * 4);
  const double r = 30 * 3.14159265358979323846 / 180, cs = std::cos(r), sn = std::sin(r);
  const double cx = w / 2, cy = h / 2, half = bilinear ? 0.5 : 1.0 / 4096;
  pixman_transform_t t;
  pixman_transform_init_identity(&t);
  t.matrix[0][0] = pixman_double_to_fixed(cs);
  t.matrix[0][1] = pixman_double_to_fixed(-sn);
  t.matrix[1][0] = pixman_double_to_fixed(sn);
  t.matrix[1][1] = pixman_double_to_fixed(cs);
  t.matrix[0][2] = pixman_double_to_fixed(-0.5 * cs + 0.5 * sn + cx - cs * cx + sn * cy + half);
  t.matrix[1][2] = pixman_double_to_fixed(-0.5 * sn - 0.5 * cs + cy - sn * cx - cs * cy + half);
  pixman_image_set_transform(src, &t);
  pixman_image_set_filter(src, bilinear ? PIXMAN_FILTER_BILINEAR : PIXMAN_FILTER_NEAREST, nullptr, 0);
  const double secs =
      best_seconds([&] { pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, w, h); });
  pixman_image_unref(src);
  pixman_image_unref(dst);
  return cached[bilinear] = secs;
}
#endif

template <class F>
void report(benchmark::State& state, double pixels, double pixman_secs, int threads, F&& ours) {
  state.counters["px/s"] = benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate);
  if (pixman_secs <= 0) return;
  const double ratio = pixman_secs / best_seconds(ours);
  state.counters["x_pixman"] = ratio;
  if (threads > 1) state.counters["x_pixman_thread"] = ratio / threads;
}

void BM_resize(benchmark::State& state) {
  const int method = methods[state.range(0)];
  const size_case& s = sizes[state.range(1)];
  const int workers = int(state.range(2));
  ready(workers);
  const std::vector<uint8_t>& src = picture(s.sw, s.sh);
  std::vector<uint8_t> dst(size_t(s.dw) * 4 * s.dh + size_t(s.dw) * 4 + 4);
  double pixman = 0;
#if defined(ZARVIK_HAVE_PIXMAN)
  pixman = pixman_resize_seconds(method, s);
#endif
  for (auto _ : state) {
    run_ours(method, src.data(), dst.data(), s, workers);
    benchmark::ClobberMemory();
  }
  const bool threaded = method == resize_nearest || method == resize_bilinear || method == resize_smooth;
  report(state, double(s.dw) * s.dh, pixman, threaded ? workers : 1,
         [&] { run_ours(method, src.data(), dst.data(), s, workers); });
  state.SetLabel(std::string(method_names[state.range(0)]) + " " + std::to_string(s.sw) + "x" + std::to_string(s.sh) +
                 "->" + std::to_string(s.dw) + "x" + std::to_string(s.dh) + " workers " + std::to_string(workers));
}

void BM_rotate_30(benchmark::State& state) {
  const bool bilinear = state.range(0) != 0;
  ready(1);
  const int w = 1920, h = 1080;
  const std::vector<uint8_t>& src = picture(w, h);
  std::vector<uint8_t> dst(size_t(w) * 4 * h + size_t(w) * 4 + 4);
  double pixman = 0;
#if defined(ZARVIK_HAVE_PIXMAN)
  pixman = pixman_rotate_seconds(bilinear);
#endif
  for (auto _ : state) {
    if (bilinear)
      rotate_bilinear(dst.data(), src.data(), w, h, 30);
    else
      rotate_nearest_clear(dst.data(), src.data(), w, h, 30);
    benchmark::ClobberMemory();
  }
  report(state, double(w) * h, pixman, 1, [&] {
    if (bilinear)
      rotate_bilinear(dst.data(), src.data(), w, h, 30);
    else
      rotate_nearest_clear(dst.data(), src.data(), w, h, 30);
  });
  state.SetLabel(bilinear ? "bilinear 1920x1080 at 30" : "nearest 1920x1080 at 30");
}

}  // namespace

BENCHMARK(BM_resize)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1, 2}, {1, 4}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_rotate_30)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  stop_worker_threads();
  return 0;
}
