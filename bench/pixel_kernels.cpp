// Every kernel slot at L1, L2 and memory sizes, beside memcpy of the same
// bytes. Counters: bytes/s of destination processed and x_memcpy, the ratio to
// memcpy's rate at that size measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "graphics/blend_modes.h"
#include "graphics/pixel_kernels.h"

namespace {

struct size_class {
  const char* name;
  size_t bytes;  // per buffer
};

// L1d is 32-48 KiB and L2 1-2 MiB per core on current x86; the memory size is
// far beyond any per-core share of the last-level cache.
const size_class sizes[] = {{"L1", 8 << 10}, {"L2", 384 << 10}, {"mem", 192u << 20}};

struct buffers {
  std::vector<uint8_t> dst, src, src2;
};

buffers& buffers_for(size_t bytes) {
  static std::map<size_t, buffers> all;
  auto it = all.find(bytes);
  if (it != all.end()) return it->second;
  buffers b;
  std::mt19937 rng(42);
  b.dst.resize(bytes + 64);
  b.src.resize(bytes + 64);
  b.src2.resize(bytes + 64);
  for (auto* v : {&b.dst, &b.src, &b.src2})
    for (size_t i = 0; i < v->size(); i += 4) {
      uint32_t x = rng();
      std::memcpy(v->data() + i, &x, 4);
    }
  return all.emplace(bytes, std::move(b)).first->second;
}

double memcpy_rate(size_t bytes) {
  static std::map<size_t, double> rates;
  auto it = rates.find(bytes);
  if (it != rates.end()) return it->second;
  buffers& b = buffers_for(bytes);
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    size_t reps = 0;
    auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
      std::memcpy(b.dst.data(), b.src.data(), bytes);
      benchmark::ClobberMemory();
      ++reps;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (elapsed < 0.05);
    best = std::max(best, double(reps * bytes) / elapsed);
  }
  rates[bytes] = best;
  return best;
}

using kernel_call = std::function<void(const kernel_slots&, uint8_t*, const uint8_t*, const uint8_t*, size_t)>;

struct kernel_case {
  const char* name;
  kernel_call call;
};

std::vector<kernel_case> kernel_cases() {
  using K = const kernel_slots&;
  using P = uint8_t*;
  using C = const uint8_t*;
  return {
      {"07_fill_zero", [](K k, P d, C, C, size_t n) { k.kernel_fill_zero(d, n); }},
      {"08_fill_byte", [](K k, P d, C, C, size_t n) { k.kernel_fill_byte(d, n, 0x5A); }},
      {"09_fill_pixel", [](K k, P d, C, C, size_t n) { k.kernel_fill_pixel(d, n, 0x80FF2010u); }},
      {"10_copy", [](K k, P d, C s, C, size_t n) { k.kernel_copy(d, s, n); }},
      {"11_crossfade", [](K k, P d, C s, C, size_t n) { k.kernel_crossfade(d, s, 100, n); }},
      {"12_alpha_blend", [](K k, P d, C s, C, size_t n) { k.kernel_alpha_blend(d, s, 0, n); }},
      {"13_alpha_blend_opacity", [](K k, P d, C s, C, size_t n) { k.kernel_alpha_blend_opacity(d, s, 200, n); }},
      {"14_rule_blend", [](K k, P d, C s, C m, size_t n) { k.kernel_rule_blend(d, s, m, 140, 40, n); }},
      {"15_mix_two", [](K k, P d, C s, C m, size_t n) { k.kernel_mix_two(d, s, m, 77, n); }},
      {"16_add_sat", [](K k, P d, C s, C, size_t n) { k.kernel_add_sat(d, s, n); }},
      {"17_add_opacity", [](K k, P d, C s, C, size_t n) { k.kernel_add_opacity(d, s, 150, n); }},
      {"18_add_alpha", [](K k, P d, C s, C, size_t n) { k.kernel_add_alpha(d, s, 0, n); }},
      {"19_add_alpha_opacity", [](K k, P d, C s, C, size_t n) { k.kernel_add_alpha_opacity(d, s, 150, n); }},
      {"20_sub_sat", [](K k, P d, C s, C, size_t n) { k.kernel_sub_sat(d, s, n); }},
      {"21_multiply", [](K k, P d, C s, C, size_t n) { k.kernel_multiply(d, s, n); }},
      {"22_screen", [](K k, P d, C s, C, size_t n) { k.kernel_screen(d, s, n); }},
      {"23_screen_opacity", [](K k, P d, C s, C, size_t n) { k.kernel_screen_opacity(d, s, 150, n); }},
      {"24_lighten", [](K k, P d, C s, C, size_t n) { k.kernel_lighten(d, s, n); }},
      {"25_darken", [](K k, P d, C s, C, size_t n) { k.kernel_darken(d, s, n); }},
      {"26_linear_burn", [](K k, P d, C s, C, size_t n) { k.kernel_linear_burn(d, s, n); }},
      {"27_linear_light", [](K k, P d, C s, C, size_t n) { k.kernel_linear_light(d, s, n); }},
      // Two source rows of n / 2 bytes each (the n counted) into n / 4 bytes.
      {"28_half_scale", [](K k, P d, C s, C, size_t n) { k.kernel_half_scale(d, s, n / 8, n / 16); }},
      {"29_alpha_over", [](K k, P d, C s, C, size_t n) { k.kernel_alpha_over(d, s, n); }},
      {"30_alpha_over_opacity", [](K k, P d, C s, C, size_t n) { k.kernel_alpha_over_opacity(d, s, 180, n); }},
      {"31_alpha_over_fade", [](K k, P d, C s, C, size_t n) { k.kernel_alpha_over_fade(d, s, 200, n); }},
      {"32_alpha_over_weighted",
       [](K k, P d, C s, C, size_t n) { k.kernel_alpha_over_weighted(d, s, 200, 180, n); }},
  };
}

void run_memcpy(benchmark::State& state, size_t bytes) {
  buffers& b = buffers_for(bytes);
  for (auto _ : state) {
    std::memcpy(b.dst.data(), b.src.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// Google Benchmark reports rates only after the run; the ratio is computed
// from the measured time inside the benchmark with a manual timer.
void run_kernel_timed(benchmark::State& state, const kernel_slots* set, const kernel_call& call, size_t bytes) {
  buffers& b = buffers_for(bytes);
  double base = memcpy_rate(bytes);
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    call(*set, b.dst.data(), b.src.data(), b.src2.data(), bytes);
    benchmark::ClobberMemory();
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(t);
    seconds += t;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  double rate = double(state.iterations()) * double(bytes) / seconds;
  state.counters["x_memcpy"] = rate / base;
}

}  // namespace

int main(int argc, char** argv) {
  init_pixel_kernels(true, true);
  init_blend_tables();
  init_blend_dispatch_tables();
  build_rule_table(256, 140, 40);

  struct named_set {
    const char* name;
    const kernel_slots* set;
  };
  std::vector<named_set> sets = {{"portable", &kernel_set_portable}};
  if (kernel_set_sse2()) sets.push_back({"sse2", kernel_set_sse2()});
  if (kernel_set_avx2()) sets.push_back({"avx2", kernel_set_avx2()});

  for (const size_class& size : sizes) {
    size_t bytes = size.bytes;
    benchmark::RegisterBenchmark((std::string("memcpy/") + size.name).c_str(),
                                 [bytes](benchmark::State& st) { run_memcpy(st, bytes); });
    for (const kernel_case& kc : kernel_cases())
      for (const named_set& ns : sets) {
        std::string name = std::string(kc.name) + "/" + ns.name + "/" + size.name;
        const kernel_slots* set = ns.set;
        kernel_call call = kc.call;
        benchmark::RegisterBenchmark(name.c_str(), [set, call, bytes](benchmark::State& st) {
          run_kernel_timed(st, set, call, bytes);
        })->UseManualTime();
      }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
