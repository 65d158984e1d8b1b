// Whole-frame compositing through the layer tree, the dirty rectangles and the
// worker pool: a full-HD root with 1, 4, 8 and 16 full-frame layers in seven
// scenes, on 1, 2 and 4 workers, and 40 x 40 dirty rectangles over eight alpha
// layers. Each result is a frame (or rectangle) time, reported beside
//   x_memcpy  = frame time / one memcpy of the frame (8 MB, one thread)
//   x_pixman  = frame time / pixman compositing the same layers (one thread;
//               pixman has no scene culling, so it draws every layer)
// measured in the same run. Frames also report GBps, the bytes of distinct
// pictures the frame has to bring from memory (every blended layer's rows, the
// rule mask once, the frame written once) per second, to read beside
// BM_memcpy_frame's bytes_per_second on one and on four threads: when the
// frame's figure nears the four-thread copy's, memory is the wall.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "graphics/layer_changes.h"
#include "core/object_tree.h"
#include "core/worker_pool.h"
#include "graphics/blend_modes.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"

#if defined(ZARVIK_HAVE_PIXMAN)
#include <pixman.h>
#endif

namespace {

constexpr int width = 1920, height = 1080;
constexpr int max_layers = 16;
constexpr size_t frame_bytes = size_t(width) * height * 4;

enum scene_kind : int { opaque_cover, normal_alpha, alpha_opacity, add, overlay, rule_mask, tone_mono, scene_count };
const char* const scene_names[scene_count] = {"opaque_cover", "normal_alpha", "alpha_x_opacity", "add",
                                              "overlay",      "rule_mask",    "tone_mono"};

// Sprite-like pictures: rounded blobs with soft edges on transparent pixels
// (0x00808080), shifted per layer; colour from the position.
void draw_picture(uint8_t* p, int index) {
  int shift = index * 37;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      double dx = ((x + shift) % 240) - 120.0, dy = ((y + shift / 2) % 240) - 120.0;
      double r = std::sqrt(dx * dx + dy * dy);
      int a = r < 80 ? 255 : (r > 88 ? 0 : int(255 * (88 - r) / 8));
      uint8_t* q = p + (size_t(y) * width + x) * 4;
      if (a == 0) {
        q[0] = q[1] = q[2] = 0x80, q[3] = 0;
      } else {
        q[0] = uint8_t(x + index * 16), q[1] = uint8_t(y), q[2] = uint8_t((x ^ y) + index * 8), q[3] = uint8_t(a);
      }
    }
}

struct engine_scene {
  object_node* w0 = nullptr;
  object_node* layers[max_layers] = {};
  object_node* mask = nullptr;
};

engine_scene& scene() {
  static engine_scene s;
  if (s.w0) return s;
  init_pixel_kernels(true, true);
  init_blend_tables();
  init_blend_dispatch_tables();
  layer_tree_main_size = {width, height};
  install_layer_tree_hooks();
  create_tree_roots();
  s.w0 = object_trees[tree_layers].root->first_child;
  layer_links.windows[0].kind = 1;
  for (int i = 0; i < max_layers; ++i) {
    std::string path = "W0/l" + std::to_string(i);
    object_node* n = create_object_by_path(object_trees[tree_layers].root, path, 0, uint32_t(i + 1), 0);
    cg_record* r = attach_new_cg_record(n);
    alloc_layer_picture(r, width, height);
    draw_picture(r->pixels, i);
    s.layers[i] = n;
  }
  s.mask = create_object_by_path(object_trees[tree_layers].root, "W0/mask", 0, 0, 0);
  cg_record* m = attach_new_cg_record(s.mask);
  alloc_layer_picture(m, width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t v = uint8_t((x + y) * 255 / (width + height));
      std::memset(m->pixels + (size_t(y) * width + x) * 4, v, 4);
    }
  m->visible = 0;
  return s;
}

void configure(scene_kind kind, int count) {
  engine_scene& s = scene();
  for (int i = 0; i < max_layers; ++i) {
    cg_record* r = layer_record(s.layers[i]);
    uint8_t* pixels = r->pixels;
    uint8_t* block = r->pixel_block;
    release_effect_buffer(r);
    *r = cg_record();
    r->pixels = pixels;
    r->pixel_block = block;
    r->width = r->loaded_width = width;
    r->height = r->loaded_height = height;
    r->visible = i < count;
    switch (kind) {
      case opaque_cover: break;
      case normal_alpha: r->alpha_in_use = 1; break;
      case alpha_opacity: r->alpha_in_use = 1, r->alpha = 180; break;
      case add: r->blend_mode = blend_add; break;
      case overlay: r->blend_mode = blend_overlay, r->alpha_in_use = 1; break;
      case rule_mask: r->mask_path = "mask", r->rule_progress = 128, r->vagueness = 64; break;
      case tone_mono: r->alpha_in_use = 1, r->colour_tone = 0xA08070, r->monochrome = 64; break;
      default: break;
    }
  }
}

void composite_whole_frame() {
  cg_record* root = layer_record(scene().w0);
  layer_rect whole{0, 0, width - 1, height - 1};
  union_dirty_rect(whole, root, 0);
  render_window(0);
  reset_dirty_rects();
}

void use_workers(int n) {
  stop_worker_threads();
  start_worker_threads(n);
}

template <class F>
double best_seconds(F&& f, int runs) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

double memcpy_seconds() {
  static double seconds = [] {
    std::vector<uint8_t> a(frame_bytes, 1), b(frame_bytes, 2);
    return best_seconds(
        [&] {
          std::memcpy(b.data(), a.data(), frame_bytes);
          benchmark::ClobberMemory();
        },
        30);
  }();
  return seconds;
}

// ---------------------------------------------------------------- pixman

#if defined(ZARVIK_HAVE_PIXMAN)
struct pixman_scene {
  std::vector<std::vector<uint32_t>> bits;  // premultiplied copies
  std::vector<pixman_image_t*> layers;
  std::vector<uint32_t> dst_bits;
  pixman_image_t* dst = nullptr;
  pixman_image_t* solid = nullptr;
  std::vector<uint8_t> a8_bits;
  pixman_image_t* a8 = nullptr;
};

pixman_scene& pixman() {
  static pixman_scene p;
  if (p.dst) return p;
  engine_scene& s = scene();
  p.bits.resize(max_layers);
  for (int i = 0; i < max_layers; ++i) {
    const uint8_t* src = layer_record(s.layers[i])->pixels;
    p.bits[i].resize(size_t(width) * height);
    for (size_t k = 0; k < p.bits[i].size(); ++k) {
      const uint8_t* q = src + k * 4;
      uint32_t a = q[3];
      p.bits[i][k] = a << 24 | (q[2] * a / 255) << 16 | (q[1] * a / 255) << 8 | (q[0] * a / 255);
    }
    p.layers.push_back(
        pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, p.bits[i].data(), width * 4));
  }
  p.dst_bits.assign(size_t(width) * height, 0xFF000000u);
  p.dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, p.dst_bits.data(), width * 4);
  pixman_color_t grey = {0, 0, 0, uint16_t(180 * 257)};
  p.solid = pixman_image_create_solid_fill(&grey);
  p.a8_bits.resize(size_t(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) p.a8_bits[size_t(y) * width + x] = uint8_t((x + y) * 255 / (width + height));
  p.a8 = pixman_image_create_bits(PIXMAN_a8, width, height, reinterpret_cast<uint32_t*>(p.a8_bits.data()), width);
  return p;
}

// The same layers through pixman: clear, then each layer with the nearest
// operator (opaque copy as SRC, alpha as OVER, opacity as a solid mask, the
// rule as an a8 mask, add as ADD, overlay as OVERLAY; tone is cached by the
// compositor, so OVER).
void pixman_frame(scene_kind kind, int count, int x, int y, int w, int h) {
  pixman_scene& p = pixman();
  pixman_image_composite32(PIXMAN_OP_CLEAR, p.dst, nullptr, p.dst, 0, 0, 0, 0, x, y, w, h);
  for (int i = 0; i < count; ++i) {
    pixman_image_t* src = p.layers[size_t(i)];
    switch (kind) {
      case opaque_cover: pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, p.dst, x, y, 0, 0, x, y, w, h); break;
      case alpha_opacity:
        pixman_image_composite32(PIXMAN_OP_OVER, src, p.solid, p.dst, x, y, 0, 0, x, y, w, h);
        break;
      case add: pixman_image_composite32(PIXMAN_OP_ADD, src, nullptr, p.dst, x, y, 0, 0, x, y, w, h); break;
      case overlay: pixman_image_composite32(PIXMAN_OP_OVERLAY, src, nullptr, p.dst, x, y, 0, 0, x, y, w, h); break;
      case rule_mask: pixman_image_composite32(PIXMAN_OP_OVER, src, p.a8, p.dst, x, y, x, y, x, y, w, h); break;
      default: pixman_image_composite32(PIXMAN_OP_OVER, src, nullptr, p.dst, x, y, 0, 0, x, y, w, h); break;
    }
  }
}

double pixman_seconds(scene_kind kind, int count) {
  static std::map<std::pair<int, int>, double> cache;
  auto key = std::make_pair(int(kind), count);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  double s = best_seconds([&] { pixman_frame(kind, count, 0, 0, width, height); }, 5);
  cache[key] = s;
  return s;
}
#endif

// ---------------------------------------------------------------- benchmarks

void BM_frame(benchmark::State& state) {
  auto kind = scene_kind(state.range(0));
  int count = int(state.range(1));
  int workers = int(state.range(2));
  configure(kind, count);
  use_workers(workers);
  composite_whole_frame();  // effect buffers made once, as in a running game
  uint64_t rows0 = compositor_stats.rows_blended;
  // Wall time of the loop: the posting thread waits while the workers run, so
  // its CPU time says little.
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) composite_whole_frame();
  double per_frame =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / double(state.iterations());
  // Every layer spans the whole width, so rows give the bytes read.
  double layer_bytes = double(compositor_stats.rows_blended - rows0) / double(state.iterations()) * width * 4;
  double bytes = layer_bytes + double(frame_bytes) * (kind == rule_mask ? 2 : 1);
  state.counters["frame_ms"] = per_frame * 1e3;
  state.counters["GBps"] = bytes / per_frame / 1e9;
  state.counters["x_memcpy"] = per_frame / memcpy_seconds();
#if defined(ZARVIK_HAVE_PIXMAN)
  state.counters["x_pixman"] = per_frame / pixman_seconds(kind, count);
#endif
  state.SetLabel(scene_names[kind]);
  stop_worker_threads();
}

void frame_args(benchmark::internal::Benchmark* b) {
  for (int kind = 0; kind < scene_count; ++kind)
    for (int count : {1, 4, 8, 16})
      for (int workers : {1, 2, 4}) b->Args({kind, count, workers});
}
BENCHMARK(BM_frame)->Apply(frame_args)->ArgNames({"scene", "layers", "workers"})->Unit(benchmark::kMillisecond)->UseRealTime();

// 40 x 40 dirty rectangles over eight alpha layers, at spread positions.
void BM_small_rects(benchmark::State& state) {
  int workers = int(state.range(0));
  configure(normal_alpha, 8);
  use_workers(workers);
  composite_whole_frame();
  std::mt19937 rng(7);
  std::vector<std::pair<int, int>> spots(256);
  for (auto& s : spots) s = {int(rng() % (width - 40)), int(rng() % (height - 40))};
  cg_record* root = layer_record(scene().w0);
  size_t i = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto [x, y] = spots[i++ % spots.size()];
    layer_rect r{x, y, x + 39, y + 39};
    union_dirty_rect(r, root, 0);
    render_window(0);
    reset_dirty_rects();
  }
  double per_rect =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / double(state.iterations());
  state.counters["rect_us"] = per_rect * 1e6;
#if defined(ZARVIK_HAVE_PIXMAN)
  // pixman visits the same spots in the same order, so both meet the same
  // caches (timing one spot again and again would find it already cached).
  static double pixman_rect = [&] {
    double best = best_seconds(
        [&] {
          for (size_t k = 0; k < spots.size(); ++k)
            pixman_frame(normal_alpha, 8, spots[k].first, spots[k].second, 40, 40);
        },
        20);
    return best / double(spots.size());
  }();
  state.counters["x_pixman"] = per_rect / pixman_rect;
#endif
  stop_worker_threads();
}
BENCHMARK(BM_small_rects)->Arg(1)->Arg(2)->Arg(4)->ArgName("workers")->Unit(benchmark::kMicrosecond)->UseRealTime();

// One frame copied per iteration by each thread, each with its own frames:
// bytes_per_second sums the threads, the memory bandwidth the compositor's
// workers share.
void BM_memcpy_frame(benchmark::State& state) {
  std::vector<uint8_t> a(frame_bytes, 1), b(frame_bytes, 2);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), frame_bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame_bytes));
}
BENCHMARK(BM_memcpy_frame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_memcpy_frame)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(4);

#if defined(ZARVIK_HAVE_PIXMAN)
void BM_pixman_frame(benchmark::State& state) {
  auto kind = scene_kind(state.range(0));
  int count = int(state.range(1));
  for (auto _ : state) pixman_frame(kind, count, 0, 0, width, height);
  state.SetLabel(scene_names[kind]);
}
void pixman_args(benchmark::internal::Benchmark* b) {
  for (int kind = 0; kind < scene_count; ++kind)
    for (int count : {1, 8}) b->Args({kind, count});
}
BENCHMARK(BM_pixman_frame)->Apply(pixman_args)->ArgNames({"scene", "layers"})->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
