// The GPU scene: eight full-HD layers (normal blend, opacity 200, pictures
// with soft alpha edges) drawn into a full-HD target and read back, through
// each GPU backend that can be made here, reported beside
//   x_cpu = frame time / the CPU compositor drawing the same eight layers
//           (alpha-weighted, four workers), measured in the same run.
// A report only: llvmpipe and our rasteriser run on the CPU, not a GPU.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "graphics/layer_changes.h"
#include "core/object_tree.h"
#include "core/worker_pool.h"
#include "d3d/d3d_device.h"
#include "d3d/layer_textures.h"
#include "d3d/scene_drawing.h"
#include "graphics/blend_modes.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "platform/gles/gles_gpu.h"
#include "platform/gpu/software_gpu.h"

namespace {

constexpr int width = 1920, height = 1080, layer_count = 8;

void draw_picture(uint8_t* p, int index) {
  const int shift = index * 37;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double dx = ((x + shift) % 240) - 120.0, dy = ((y + shift / 2) % 240) - 120.0;
      const double r = std::sqrt(dx * dx + dy * dy);
      const int a = r < 80 ? 255 : (r > 88 ? 0 : int(255 * (88 - r) / 8));
      uint8_t* q = p + (size_t(y) * width + x) * 4;
      q[0] = uint8_t(x + index * 16), q[1] = uint8_t(y), q[2] = uint8_t((x ^ y) + index * 8), q[3] = uint8_t(a);
    }
}

struct bench_scene {
  object_node* w0 = nullptr;
  object_node* layers[layer_count] = {};
};

bench_scene& scene() {
  static bench_scene s;
  if (s.w0) return s;
  init_pixel_kernels(true, true);
  init_blend_tables();
  init_blend_dispatch_tables();
  layer_tree_main_size = {width, height};
  install_layer_tree_hooks();
  create_tree_roots();
  s.w0 = object_trees[tree_layers].root->first_child;
  layer_links.windows[0].kind = 1;
  for (int i = 0; i < layer_count; ++i) {
    object_node* n =
        create_object_by_path(object_trees[tree_layers].root, "W0/l" + std::to_string(i), 0, uint32_t(i + 1), 0);
    cg_record* r = attach_new_cg_record(n);
    alloc_layer_picture(r, width, height);
    draw_picture(r->pixels, i);
    r->alpha = 200;
    r->alpha_in_use = 1;
    s.layers[i] = n;
  }
  start_worker_threads(4);
  return s;
}

double cpu_frame_seconds() {
  static double best = 0;
  if (best > 0) return best;
  bench_scene& s = scene();
  best = 1e9;
  for (int run = 0; run < 5; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    cg_record* root = layer_record(s.w0);
    layer_rect whole{0, 0, width - 1, height - 1};
    union_dirty_rect(whole, root, 0);
    render_window(0);
    reset_dirty_rects();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

std::unique_ptr<GpuDevice> make_device(int backend, std::string* why) {
  if (backend == 0) return std::make_unique<SoftwareGpuDevice>(width, height);
  return make_gles_device(backend == 1 ? gles_device_kind::llvmpipe : gles_device_kind::hardware, width, height, why);
}

const char* const backend_names[] = {"software", "llvmpipe", "hardware"};

void BM_gpu_frame(benchmark::State& state) {
  bench_scene& s = scene();
  const double cpu = cpu_frame_seconds();
  std::string why;
  reset_gpu_drawing();
  d3d_renderer_state.device = make_device(int(state.range(0)), &why);
  if (!d3d_renderer_state.device) {
    state.SkipWithError(("no " + std::string(backend_names[state.range(0)]) + " device: " + why).c_str());
    return;
  }
  d3d_renderer_state.max_texture_width = d3d_renderer_state.max_texture_height = 8192;
  set_device_defaults();
  init_shader_effect();
  for (object_node* n : s.layers) paste_sprite_texture(layer_record(n), 0, 512, 256);
  std::vector<uint8_t> frame(size_t(width) * height * 4);
  GpuDevice& d = *d3d_renderer_state.device;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    d.begin_scene();
    d.clear(0xFF000000u);
    draw_layer_tree_gpu(s.w0);
    d.end_scene();
    read_back_buffer_with_tone(frame.data(), width, height, 128, 0x808080);
    benchmark::DoNotOptimize(frame.data());
  }
  const double per_frame = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                           double(std::max<int64_t>(state.iterations(), 1));
  state.counters["frame_ms"] = per_frame * 1e3;
  state.counters["cpu_ms"] = cpu * 1e3;
  state.counters["x_cpu"] = per_frame / cpu;
  state.SetLabel(d.info().renderer);
  for (object_node* n : s.layers) release_layer_textures(layer_record(n));
  reset_gpu_drawing();
}
BENCHMARK(BM_gpu_frame)->DenseRange(0, 2)->ArgName("backend")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_cpu_frame(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(cpu_frame_seconds());
  state.counters["cpu_ms"] = cpu_frame_seconds() * 1e3;
}
BENCHMARK(BM_cpu_frame)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The workers wait for jobs until told to stop.
  stop_worker_threads();
  return 0;
}
