// GIF decoding beside giflib (both ending in the B, G, R, A picture of frame
// 0), and image-set draws per second at 1280 x 720 with alpha beside bare
// libjpeg decoding the same two parts. Prints the ratios.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <jpeglib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "format/image_set_format.h"
#include "graphics/layer_record.h"
#include "image/image_sets.h"
#include "image/picture_loader.h"
#include "image/picture_writers.h"
#include "../tests/support/gif_encode.h"

namespace {

constexpr int gif_width = 1280, gif_height = 720;
constexpr int set_width = 1280, set_height = 720, set_pictures = 8;

// A 256-colour picture with flat areas, gradients and dithered noise, so the
// LZW strings have the lengths real pictures give.
gif_test_file bench_gif_file(int frames) {
  gif_test_file f;
  f.width = gif_width;
  f.height = gif_height;
  for (int i = 0; i < 256; ++i)
    f.global_palette.insert(f.global_palette.end(), {uint8_t(i), uint8_t(255 - i), uint8_t((i * 7) & 255)});
  uint32_t seed = 99;
  for (int k = 0; k < frames; ++k) {
    gif_test_image im;
    im.width = gif_width;
    im.height = gif_height;
    im.indexes.resize(size_t(gif_width) * gif_height);
    for (int y = 0; y < gif_height; ++y)
      for (int x = 0; x < gif_width; ++x) {
        seed = seed * 1103515245 + 12345;
        const double v = 128 + 100 * std::sin(x * 0.01 + k) * std::cos(y * 0.013);
        const bool flat = (x / 160 + y / 120) % 3 == 0;
        im.indexes[size_t(y) * gif_width + x] = flat ? uint8_t(40 + k) : uint8_t(int(v) + int((seed >> 16) & 3));
      }
    f.images.push_back(std::move(im));
  }
  return f;
}

const std::vector<uint8_t>& bench_gif() {
  static const std::vector<uint8_t> file = giflib_encode(bench_gif_file(1));
  return file;
}

void BM_gif_player(benchmark::State& state) {
  const auto& file = bench_gif();
  for (auto _ : state) {
    picture_buffer picture;
    if (decode_picture_bytes(picture_type_gif, file.data(), file.size(), "bench", picture) != 0)
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(picture.pixels);
    free_picture_buffer(picture);
  }
  state.SetItemsProcessed(state.iterations() * gif_width * gif_height);
}

// giflib's whole-file read, then frame 0's indexes through its colour map
// into a picture block of the same kind.
void BM_gif_giflib(benchmark::State& state) {
  const auto& file = bench_gif();
  for (auto _ : state) {
    std::pair<const std::vector<uint8_t>*, size_t> src{&file, 0};
    int error = 0;
    GifFileType* g = DGifOpen(&src, gif_test_read_fn, &error);
    if (!g || DGifSlurp(g) != GIF_OK) {
      state.SkipWithError("giflib failed");
      break;
    }
    const size_t stride = size_t(g->SWidth) * 4;
    auto* pixels = static_cast<uint8_t*>(std::malloc(stride * (g->SHeight + 1) + 4));
    const SavedImage& si = g->SavedImages[0];
    const ColorMapObject* map = si.ImageDesc.ColorMap ? si.ImageDesc.ColorMap : g->SColorMap;
    uint32_t colour[256] = {};
    for (int i = 0; i < map->ColorCount && i < 256; ++i)
      colour[i] = 0xFF000000u | uint32_t(map->Colors[i].Red) << 16 | uint32_t(map->Colors[i].Green) << 8 |
                  map->Colors[i].Blue;
    const size_t count = size_t(si.ImageDesc.Width) * si.ImageDesc.Height;
    for (size_t i = 0; i < count; ++i) std::memcpy(pixels + i * 4, &colour[si.RasterBits[i]], 4);
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
    DGifCloseFile(g, &error);
  }
  state.SetItemsProcessed(state.iterations() * gif_width * gif_height);
}

// ---------------------------------------------------------------- image sets

struct bench_set {
  std::vector<uint8_t> file;
  std::vector<image_set_source_entry> parts;  // unscrambled, for the libjpeg baseline
};

const bench_set& the_set() {
  static const bench_set set = [] {
    bench_set s;
    std::vector<uint8_t> px(size_t(set_width) * set_height * 4);
    for (int k = 0; k < set_pictures; ++k) {
      for (int y = 0; y < set_height; ++y)
        for (int x = 0; x < set_width; ++x) {
          uint8_t* p = px.data() + (size_t(y) * set_width + x) * 4;
          p[0] = uint8_t(x / 5 + k * 20);
          p[1] = uint8_t(y / 3);
          p[2] = uint8_t(128 + 100 * std::sin((x + y) * 0.02 + k));
          const int dx = x - 640, dy = y - 360;  // an opaque figure on a clear ground
          p[3] = dx * dx / 4 + dy * dy < 300 * 300 ? 255 : dx * dx / 4 + dy * dy < 320 * 320 ? 128 : 0;
        }
      image_set_source_entry e;
      encode_picture_jpeg(px.data(), set_width, set_height, 90, false, e.colour);
      encode_picture_jpeg(px.data(), set_width, set_height, 90, true, e.alpha);
      s.parts.push_back(std::move(e));
    }
    const uint32_t values[3] = {0, 0, 0};
    s.file = build_image_set(1, values, s.parts);
    return s;
  }();
  return set;
}

object_node* bench_layer() {
  static object_node* node = [] {
    create_tree_roots();
    install_layer_tree_hooks();
    object_node* n = create_object_by_path(object_trees[tree_layers].root, "W0/set", 0, 1, 0);
    alloc_layer_picture(attach_new_cg_record(n), set_width, set_height);
    return n;
  }();
  return node;
}

void BM_image_set_draw(benchmark::State& state) {
  object_node* node = bench_layer();
  if (install_image_set(the_set().file, "bench") != 0) state.SkipWithError("set refused");
  int64_t n = 0;
  for (auto _ : state) {
    if (draw_image_set_entry(node, n++ % set_pictures) != 0) state.SkipWithError("draw failed");
    benchmark::DoNotOptimize(layer_record(node)->pixels);
  }
  free_image_set();
  state.SetItemsProcessed(state.iterations());
}

// Bare libjpeg: a decompressor made and destroyed per part, colour rows as
// B, G, R, A, then the grey part copied into the alpha bytes.
void BM_image_set_libjpeg(benchmark::State& state) {
  const auto& parts = the_set().parts;
  const size_t stride = size_t(set_width) * 4;
  std::vector<uint8_t> pixels(stride * (set_height + 1) + 4);
  std::vector<uint8_t> grey(set_width);
  int64_t n = 0;
  for (auto _ : state) {
    const image_set_source_entry& e = parts[size_t(n++ % set_pictures)];
    for (int pass = 0; pass < 2; ++pass) {
      const std::vector<uint8_t>& file = pass ? e.alpha : e.colour;
      jpeg_decompress_struct cinfo{};
      jpeg_error_mgr err{};
      cinfo.err = jpeg_std_error(&err);
      jpeg_create_decompress(&cinfo);
      jpeg_mem_src(&cinfo, file.data(), file.size());
      jpeg_read_header(&cinfo, TRUE);
      cinfo.out_color_space = pass ? JCS_GRAYSCALE : JCS_EXT_BGRA;
      jpeg_start_decompress(&cinfo);
      while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* row = pixels.data() + stride * cinfo.output_scanline;
        JSAMPROW target = pass ? grey.data() : row;
        jpeg_read_scanlines(&cinfo, &target, 1);
        if (pass)
          for (int x = 0; x < set_width; ++x) row[x * 4 + 3] = grey[size_t(x)];
      }
      jpeg_finish_decompress(&cinfo);
      jpeg_destroy_decompress(&cinfo);
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetItemsProcessed(state.iterations());
}

class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
        times[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

BENCHMARK(BM_gif_player)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_gif_giflib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_image_set_draw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_image_set_libjpeg)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("GIF %dx%d, %zu bytes; image set of %d pictures %dx%d with alpha, %zu bytes\n", gif_width, gif_height,
              bench_gif().size(), set_pictures, set_width, set_height, the_set().file.size());
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* ours, const char* peer) {
    if (reporter.times.count(ours) && reporter.times.count(peer))
      std::printf("%s / %s = %.3f (time; below 1 is faster)\n", ours, peer, reporter.times[ours] / reporter.times[peer]);
  };
  ratio("BM_gif_player", "BM_gif_giflib");
  ratio("BM_image_set_draw", "BM_image_set_libjpeg");
  if (reporter.times.count("BM_image_set_draw"))
    std::printf("image-set draws per second at %dx%d with alpha: %.1f\n", set_width, set_height,
                1000.0 / reporter.times["BM_image_set_draw"]);  // times in ms
  benchmark::Shutdown();
  return 0;
}
