// Full-HD layer compositing through the span dispatch tables, row by row as a
// compositor job does, beside pixman's OVER of the same pictures (one thread).
//
// Two source pictures: "sprite" (opaque areas, transparent areas stored as
// 0x00808080, soft edges between) and "noise" (every alpha random, the worst
// case for both libraries). pixman gets the same picture premultiplied, its
// native form, with transparent pixels as 0.
//
// Counters: px/s, and x_pixman_over = our rate / pixman OVER's rate on that
// picture. Where pixman has the same operation (ADD, OVER with a solid or a8
// mask, OVERLAY) x_pixman_same_op compares with that too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "graphics/blend_modes.h"
#include "graphics/pixel_kernels.h"

#if defined(ZARVIK_HAVE_PIXMAN)
#include <pixman.h>
#endif

namespace {

constexpr int width = 1920, height = 1080;
constexpr size_t picture_bytes = size_t(width) * height * 4;

struct picture_set {
  std::vector<uint8_t> src, premultiplied, mask, dst;
};

enum class kind { sprite, noise };

picture_set make_pictures(kind k) {
  picture_set p;
  p.src.resize(picture_bytes);
  p.premultiplied.resize(picture_bytes);
  p.mask.resize(picture_bytes);
  p.dst.resize(picture_bytes);
  std::mt19937 rng(k == kind::sprite ? 1 : 2);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      size_t i = (size_t(y) * width + x) * 4;
      int alpha;
      if (k == kind::noise) {
        alpha = int(rng() & 0xFF);
      } else {
        // Rounded blobs on a 240-pixel grid with an 8-pixel soft edge.
        double dx = (x % 240) - 120.0, dy = (y % 240) - 120.0;
        double r = std::sqrt(dx * dx + dy * dy);
        alpha = r < 80 ? 255 : (r > 88 ? 0 : int(255 * (88 - r) / 8));
      }
      uint8_t colour[3] = {uint8_t(x), uint8_t(y), uint8_t(x ^ y)};
      for (int c = 0; c < 3; ++c) {
        p.src[i + c] = alpha == 0 ? 0x80 : colour[c];
        p.premultiplied[i + c] = uint8_t(colour[c] * alpha / 255);
        p.dst[i + c] = uint8_t(rng());
      }
      p.src[i + 3] = p.premultiplied[i + 3] = uint8_t(alpha);
      p.dst[i + 3] = 255;
      uint8_t m = uint8_t((x + y) * 255 / (width + height));
      for (int c = 0; c < 4; ++c) p.mask[i + c] = m;
    }
  return p;
}

picture_set& pictures(kind k) {
  static std::map<kind, picture_set> all;
  auto it = all.find(k);
  if (it == all.end()) it = all.emplace(k, make_pictures(k)).first;
  return it->second;
}

// Rows through one span routine, as a worker's band does.
void blend_rows(span_fn fn, picture_set& p, int opacity) {
  size_t row = size_t(width) * 4;
  for (int y = 0; y < height; ++y) fn(p.dst.data() + y * row, p.src.data() + y * row, opacity, row);
}

void blend_rule_rows(span_rule_fn fn, picture_set& p, int progress, int vagueness) {
  size_t row = size_t(width) * 4;
  for (int y = 0; y < height; ++y)
    fn(p.dst.data() + y * row, p.src.data() + y * row, p.mask.data() + y * row, progress, vagueness, row);
}

template <class F>
double frames_per_second(F frame) {
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    int frames = 0;
    auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
      frame();
      ++frames;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (elapsed < 0.1);
    best = std::max(best, frames / elapsed);
  }
  return best;
}

#if defined(ZARVIK_HAVE_PIXMAN)

enum class pixman_case { over, over_solid_mask, over_a8_mask, add, overlay };

struct pixman_pictures {
  pixman_image_t* src = nullptr;
  pixman_image_t* dst = nullptr;
  pixman_image_t* solid = nullptr;
  pixman_image_t* a8 = nullptr;
  std::vector<uint8_t> a8_bits, dst_bits;
};

pixman_pictures& pixman_for(kind k) {
  static std::map<kind, pixman_pictures> all;
  auto it = all.find(k);
  if (it != all.end()) return it->second;
  picture_set& p = pictures(k);
  pixman_pictures px;
  px.dst_bits = p.dst;
  px.src = pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height,
                                    reinterpret_cast<uint32_t*>(p.premultiplied.data()), width * 4);
  px.dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, reinterpret_cast<uint32_t*>(px.dst_bits.data()),
                                    width * 4);
  pixman_color_t grey = {0, 0, 0, uint16_t(200 * 257)};
  px.solid = pixman_image_create_solid_fill(&grey);
  int a8_stride = (width + 3) & ~3;
  px.a8_bits.resize(size_t(a8_stride) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) px.a8_bits[size_t(y) * a8_stride + x] = p.mask[(size_t(y) * width + x) * 4];
  px.a8 = pixman_image_create_bits(PIXMAN_a8, width, height, reinterpret_cast<uint32_t*>(px.a8_bits.data()),
                                   a8_stride);
  return all.emplace(k, std::move(px)).first->second;
}

void pixman_frame(kind k, pixman_case c) {
  pixman_pictures& px = pixman_for(k);
  switch (c) {
    case pixman_case::over:
      pixman_image_composite32(PIXMAN_OP_OVER, px.src, nullptr, px.dst, 0, 0, 0, 0, 0, 0, width, height);
      break;
    case pixman_case::over_solid_mask:
      pixman_image_composite32(PIXMAN_OP_OVER, px.src, px.solid, px.dst, 0, 0, 0, 0, 0, 0, width, height);
      break;
    case pixman_case::over_a8_mask:
      pixman_image_composite32(PIXMAN_OP_OVER, px.src, px.a8, px.dst, 0, 0, 0, 0, 0, 0, width, height);
      break;
    case pixman_case::add:
      pixman_image_composite32(PIXMAN_OP_ADD, px.src, nullptr, px.dst, 0, 0, 0, 0, 0, 0, width, height);
      break;
    case pixman_case::overlay:
      pixman_image_composite32(PIXMAN_OP_OVERLAY, px.src, nullptr, px.dst, 0, 0, 0, 0, 0, 0, width, height);
      break;
  }
}

double pixman_rate(kind k, pixman_case c) {
  static std::map<std::pair<kind, pixman_case>, double> rates;
  auto key = std::make_pair(k, c);
  auto it = rates.find(key);
  if (it != rates.end()) return it->second;
  double fps = frames_per_second([&] { pixman_frame(k, c); });
  return rates[key] = fps * width * height;
}

void bench_pixman(benchmark::State& state, kind k, pixman_case c) {
  pixman_for(k);
  for (auto _ : state) {
    pixman_frame(k, c);
    benchmark::ClobberMemory();
  }
  state.counters["px/s"] = benchmark::Counter(double(state.iterations()) * width * height, benchmark::Counter::kIsRate);
}

#endif

enum class our_case { normal_alpha, alpha_opacity, add, overlay, rule_mask };

void our_frame(kind k, our_case c) {
  picture_set& p = pictures(k);
  switch (c) {
    case our_case::normal_alpha: blend_rows(select_span_alpha(blend_normal, 256), p, 256); break;
    case our_case::alpha_opacity: blend_rows(select_span_alpha(blend_normal, 200), p, 200); break;
    case our_case::add: blend_rows(select_span_alpha(blend_add, 256), p, 256); break;
    case our_case::overlay: blend_rows(select_span_alpha(blend_overlay, 256), p, 256); break;
    case our_case::rule_mask: blend_rule_rows(select_span_rule(blend_normal, 256), p, 140, 40); break;
  }
}

void bench_ours(benchmark::State& state, kind k, our_case c) {
  pictures(k);
  if (c == our_case::rule_mask) build_rule_table(256, 140, 40);
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    our_frame(k, c);
    benchmark::ClobberMemory();
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(t);
    seconds += t;
  }
  double rate = double(state.iterations()) * width * height / seconds;
  state.counters["px/s"] = rate;
#if defined(ZARVIK_HAVE_PIXMAN)
  state.counters["x_pixman_over"] = rate / pixman_rate(k, pixman_case::over);
  switch (c) {
    case our_case::alpha_opacity:
      state.counters["x_pixman_same_op"] = rate / pixman_rate(k, pixman_case::over_solid_mask);
      break;
    case our_case::add: state.counters["x_pixman_same_op"] = rate / pixman_rate(k, pixman_case::add); break;
    case our_case::overlay:
      state.counters["x_pixman_same_op"] = rate / pixman_rate(k, pixman_case::overlay);
      break;
    case our_case::rule_mask:
      state.counters["x_pixman_same_op"] = rate / pixman_rate(k, pixman_case::over_a8_mask);
      break;
    default: break;
  }
#endif
}

// Every mode in its six variants over the sprite picture, one thread, in CPU
// time (steadier on a shared machine); the report divides each time by the
// normal-alpha span's (mode/0/alpha).
enum mode_variant { v_plain, v_opacity, v_alpha, v_alpha_opacity, v_rule, v_rule_alpha, variant_count };
const char* const variant_names[variant_count] = {"plain", "opacity", "alpha", "alpha_opacity", "rule", "rule_alpha"};

void mode_frame(int mode, mode_variant v) {
  picture_set& p = pictures(kind::sprite);
  switch (v) {
    case v_plain: blend_rows(select_span_opacity(mode, 256), p, 256); break;
    case v_opacity: blend_rows(select_span_opacity(mode, 180), p, 180); break;
    case v_alpha: blend_rows(select_span_alpha(mode, 256), p, 256); break;
    case v_alpha_opacity: blend_rows(select_span_alpha(mode, 180), p, 180); break;
    case v_rule: blend_rule_rows(select_span_rule(mode, 180), p, 140, 40); break;
    case v_rule_alpha: blend_rule_rows(select_span_rule_alpha(mode, 180), p, 140, 40); break;
    default: break;
  }
}

void bench_mode(benchmark::State& state, int mode, mode_variant v) {
  pictures(kind::sprite);
  build_rule_table(180, 140, 40);
  for (auto _ : state) {
    mode_frame(mode, v);
    benchmark::ClobberMemory();
  }
  state.counters["px/s"] = benchmark::Counter(double(state.iterations()) * width * height, benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  init_pixel_kernels(true, true);
  init_blend_tables();
  init_blend_dispatch_tables();

  const std::pair<kind, const char*> kinds[] = {{kind::sprite, "sprite"}, {kind::noise, "noise"}};
  for (auto [k, kname] : kinds) {
#if defined(ZARVIK_HAVE_PIXMAN)
    const std::pair<pixman_case, const char*> peers[] = {{pixman_case::over, "OVER"},
                                                         {pixman_case::over_solid_mask, "OVER_solid_mask"},
                                                         {pixman_case::over_a8_mask, "OVER_a8_mask"},
                                                         {pixman_case::add, "ADD"},
                                                         {pixman_case::overlay, "OVERLAY"}};
    for (auto [c, cname] : peers) {
      std::string name = std::string("pixman_") + cname + "/" + kname;
      benchmark::RegisterBenchmark(name.c_str(), [k = k, c = c](benchmark::State& st) { bench_pixman(st, k, c); })
          ->Unit(benchmark::kMillisecond);
    }
#endif
    const std::pair<our_case, const char*> ours[] = {{our_case::normal_alpha, "normal_alpha"},
                                                     {our_case::alpha_opacity, "normal_alpha_opacity200"},
                                                     {our_case::add, "add_alpha"},
                                                     {our_case::overlay, "overlay_alpha"},
                                                     {our_case::rule_mask, "rule_mask"}};
    for (auto [c, cname] : ours) {
      std::string name = std::string("composite_") + cname + "/" + kname;
      benchmark::RegisterBenchmark(name.c_str(), [k = k, c = c](benchmark::State& st) { bench_ours(st, k, c); })
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (int m = 0; m < blend_mode_count; ++m)
    for (int v = 0; v < variant_count; ++v) {
      std::string name = "mode/" + std::to_string(m) + "/" + variant_names[v];
      benchmark::RegisterBenchmark(name.c_str(), [m, v](benchmark::State& st) { bench_mode(st, m, mode_variant(v)); })
          ->MinTime(0.05)
          ->Unit(benchmark::kMillisecond);
    }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
