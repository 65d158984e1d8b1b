// CPU presentation: a 1280 x 720 frame shown at 1920 x 1080 through the
// bilinear scaler (single thread and over the workers), the nearest scaler,
// and a 1:1 partial blit of a changed rectangle, beside pixman's bilinear
// scaling of the same picture (one thread, PIXMAN_FILTER_BILINEAR, SRC).
//
// Counters: px/s (destination pixels a second) and, for the scalers,
// x_pixman_bilinear = our rate / pixman's bilinear rate measured in the same
// run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/worker_pool.h"
#include "graphics/pixel_kernels.h"
#include "graphics/presentation.h"

#if defined(ZARVIK_HAVE_PIXMAN)
#include <pixman.h>
#endif

namespace {

constexpr int src_w = 1280, src_h = 720, dst_w = 1920, dst_h = 1080;

const std::vector<uint8_t>& source() {
  static std::vector<uint8_t> s = [] {
    std::vector<uint8_t> p(size_t(src_w) * 4 * src_h + size_t(src_w) * 4 + 4, 0);
    std::mt19937 rng(5);
    for (size_t i = 0; i < size_t(src_w) * 4 * src_h; ++i) p[i] = uint8_t(rng());
    return p;
  }();
  return s;
}

std::vector<uint8_t>& destination() {
  static std::vector<uint8_t> d(size_t(dst_w) * dst_h * 4 + 64);
  return d;
}

void ready() {
  static bool done = false;
  if (done) return;
  done = true;
  init_pixel_kernels(true, true);
  init_presentation();
  presentation_settings.simd = 1;
  start_worker_threads(4);
}

void finish(benchmark::State& state, int64_t pixels_per_run) {
  state.counters["px/s"] = benchmark::Counter(double(pixels_per_run), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_bilinear_single(benchmark::State& state) {
  ready();
  auto& dst = destination();
  for (auto _ : state)
    scale_image_bilinear(dst.data(), source().data(), 0, 0, (src_w - 1) * 100, (src_h - 1) * 100, src_w, src_h,
                         dst_w * 100, dst_h * 100);
  finish(state, int64_t(dst_w) * dst_h);
}

void BM_bilinear_threaded(benchmark::State& state) {
  ready();
  auto& dst = destination();
  for (auto _ : state)
    scale_image_bilinear_mt(dst.data(), source().data(), 0, 0, (src_w - 1) * 100, (src_h - 1) * 100, src_w, src_h,
                            dst_w * 100, dst_h * 100);
  finish(state, int64_t(dst_w) * dst_h);
}

void BM_bilinear_portable_single(benchmark::State& state) {
  ready();
  presentation_settings.simd = 0;
  auto& dst = destination();
  for (auto _ : state)
    scale_image_bilinear(dst.data(), source().data(), 0, 0, (src_w - 1) * 100, (src_h - 1) * 100, src_w, src_h,
                         dst_w * 100, dst_h * 100);
  presentation_settings.simd = 1;
  finish(state, int64_t(dst_w) * dst_h);
}

void BM_nearest_threaded(benchmark::State& state) {
  ready();
  auto& dst = destination();
  for (auto _ : state)
    scale_image_nearest_mt(dst.data(), source().data(), 0, 0, src_w - 1, src_h - 1, src_w, src_h, dst_w, dst_h);
  finish(state, int64_t(dst_w) * dst_h);
}

void BM_nearest_single(benchmark::State& state) {
  ready();
  auto& dst = destination();
  for (auto _ : state)
    scale_image_nearest_mt(dst.data(), source().data(), 0, 0, src_w - 1, src_h - 1, src_w, src_h, dst_w, dst_h,
                           false);
  finish(state, int64_t(dst_w) * dst_h);
}

// The blit a 1:1 window does: the changed rectangle's rows into the window's
// frame (here a 1280 x 720 client, rectangle 400 x 300).
void BM_partial_blit_1to1(benchmark::State& state) {
  ready();
  std::vector<uint8_t> client(size_t(src_w) * src_h * 4);
  const int x0 = 200, y0 = 150, w = 400, h = 300;
  const uint8_t* src = source().data();
  for (auto _ : state) {
    for (int y = 0; y < h; ++y)
      std::memcpy(client.data() + (size_t(y0 + y) * src_w + x0) * 4, src + (size_t(y0 + y) * src_w + x0) * 4,
                  size_t(w) * 4);
    benchmark::ClobberMemory();
  }
  state.counters["px/s"] = benchmark::Counter(double(w) * h, benchmark::Counter::kIsIterationInvariantRate);
}

#if defined(ZARVIK_HAVE_PIXMAN)
void BM_pixman_bilinear(benchmark::State& state) {
  auto& src = const_cast<std::vector<uint8_t>&>(source());
  auto& dst = destination();
  pixman_image_t* s = pixman_image_create_bits(PIXMAN_a8r8g8b8, src_w, src_h, reinterpret_cast<uint32_t*>(src.data()),
                                               src_w * 4);
  pixman_image_t* d =
      pixman_image_create_bits(PIXMAN_a8r8g8b8, dst_w, dst_h, reinterpret_cast<uint32_t*>(dst.data()), dst_w * 4);
  pixman_transform_t t;
  pixman_transform_init_scale(&t, pixman_double_to_fixed(double(src_w - 1) / (dst_w - 1)),
                              pixman_double_to_fixed(double(src_h - 1) / (dst_h - 1)));
  pixman_image_set_transform(s, &t);
  pixman_image_set_filter(s, PIXMAN_FILTER_BILINEAR, nullptr, 0);
  for (auto _ : state) pixman_image_composite32(PIXMAN_OP_SRC, s, nullptr, d, 0, 0, 0, 0, 0, 0, dst_w, dst_h);
  pixman_image_unref(s);
  pixman_image_unref(d);
  state.counters["px/s"] =
      benchmark::Counter(double(dst_w) * dst_h, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_pixman_bilinear)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK(BM_bilinear_single)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bilinear_threaded)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_bilinear_portable_single)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nearest_single)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nearest_threaded)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_partial_blit_1to1)->Unit(benchmark::kMicrosecond);

// Prints each scaler's rate beside pixman's bilinear rate of the same run
// (pixman's benchmark is registered first, so it runs first).
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // Rates of single runs, or the mean of repetitions.
    auto is_rate = [](const Run& r) { return r.run_type == Run::RT_Iteration || r.aggregate_name == "mean"; };
    for (const Run& r : runs) {
      auto it = r.counters.find("px/s");
      if (is_rate(r) && it != r.counters.end() && r.run_name.function_name.find("pixman") != std::string::npos)
        pixman_measured_ = it->second.value;
    }
    std::vector<Run> copy = runs;
    for (Run& r : copy) {
      auto it = r.counters.find("px/s");
      double base = is_rate(r) ? pixman_measured_ : 0;
      if (it != r.counters.end() && base > 0 && r.run_name.function_name.find("pixman") == std::string::npos &&
          r.run_name.function_name.find("blit") == std::string::npos)
        r.counters["x_pixman_bilinear"] = it->second.value / base;
    }
    ConsoleReporter::ReportRuns(copy);
  }

 private:
  double pixman_measured_ = 0;
};

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  stop_worker_threads();
  return 0;
}
