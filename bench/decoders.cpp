// Decode speed of a full-HD PNG and JPEG through the player's loader, beside
// the bare libraries producing the same B, G, R, A rows. Prints the ratios.
#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "format/kcg_format.h"
#include "image/picture_loader.h"
#include "../tests/support/jpeg_encode.h"

namespace {

constexpr int bench_width = 1920;
constexpr int bench_height = 1080;

// A photo-like picture: smooth gradients, a few shapes and light noise, so
// neither codec sees a trivial image.
std::vector<uint8_t> make_rgb() {
  std::vector<uint8_t> rgb(size_t(bench_width) * bench_height * 3);
  uint32_t seed = 12345;
  for (int y = 0; y < bench_height; ++y)
    for (int x = 0; x < bench_width; ++x) {
      seed = seed * 1103515245 + 12345;
      const int noise = static_cast<int>((seed >> 16) & 15) - 8;
      const double fx = x / double(bench_width), fy = y / double(bench_height);
      const double wave = 40 * std::sin(fx * 17 + fy * 5) * std::cos(fy * 11);
      const bool disc = (x - 900) * (x - 900) + (y - 500) * (y - 500) < 300 * 300;
      int v[3] = {int(200 * fx + wave), int(180 * fy + 40), int(disc ? 220 : 90 + 60 * fx * fy)};
      for (int c = 0; c < 3; ++c) rgb[(size_t(y) * bench_width + x) * 3 + c] = uint8_t(std::clamp(v[c] + noise, 0, 255));
    }
  return rgb;
}

void png_append(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}

std::vector<uint8_t> encode_png(const std::vector<uint8_t>& rgb) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, png_append, nullptr);
  png_set_IHDR(png, info, bench_width, bench_height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < bench_height; ++y)
    png_write_row(png, const_cast<uint8_t*>(rgb.data()) + size_t(y) * bench_width * 3);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

const std::vector<uint8_t>& bench_rgb() {
  static const std::vector<uint8_t> rgb = make_rgb();
  return rgb;
}
const std::vector<uint8_t>& bench_png() {
  static const std::vector<uint8_t> file = encode_png(bench_rgb());
  return file;
}
const std::vector<uint8_t>& bench_jpeg() {
  static const std::vector<uint8_t> file = encode_jpeg(bench_width, bench_height, 3, bench_rgb(), false);
  return file;
}
const std::vector<uint8_t>& bench_kcg() {
  static const std::vector<uint8_t> file = [] {
    std::vector<uint8_t> bgra(size_t(bench_width) * bench_height * 4);
    const auto& rgb = bench_rgb();
    for (size_t i = 0; i < size_t(bench_width) * bench_height; ++i) {
      bgra[i * 4] = rgb[i * 3 + 2];
      bgra[i * 4 + 1] = rgb[i * 3 + 1];
      bgra[i * 4 + 2] = rgb[i * 3];
      bgra[i * 4 + 3] = 255;
    }
    std::vector<uint8_t> out;
    build_kcg_file(bgra.data(), bench_width, bench_height, kcg_compression_zlib,
                   default_kcg_cut(bench_width, bench_height), nullptr, out);
    return out;
  }();
  return file;
}

struct png_reader {
  const uint8_t* data;
  size_t at;
};
void png_read_memory(png_structp png, png_bytep out, png_size_t n) {
  auto* r = static_cast<png_reader*>(png_get_io_ptr(png));
  std::memcpy(out, r->data + r->at, n);
  r->at += n;
}

void player_decode(benchmark::State& state, int type, const std::vector<uint8_t>& file) {
  for (auto _ : state) {
    picture_buffer picture;
    if (decode_picture_bytes(type, file.data(), file.size(), "bench", picture) != 0) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(picture.pixels);
    free_picture_buffer(picture);
  }
  state.SetItemsProcessed(state.iterations() * bench_width * bench_height);
}

void BM_png_player(benchmark::State& state) { player_decode(state, picture_type_png, bench_png()); }

// libpng alone, the same transformations into the same kind of block.
void BM_png_libpng(benchmark::State& state) {
  const auto& file = bench_png();
  for (auto _ : state) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_reader reader{file.data(), 0};
    png_set_read_fn(png, &reader, png_read_memory);
    png_read_info(png, info);
    png_set_bgr(png);
    png_set_filler(png, 0xff, PNG_FILLER_AFTER);
    png_read_update_info(png, info);
    const size_t stride = size_t(bench_width) * 4;
    auto* pixels = static_cast<uint8_t*>(std::malloc(stride * (bench_height + 1) + 4));
    for (int y = 0; y < bench_height; ++y) png_read_row(png, pixels + stride * y, nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
  state.SetItemsProcessed(state.iterations() * bench_width * bench_height);
}

void BM_jpeg_player(benchmark::State& state) { player_decode(state, picture_type_jpeg, bench_jpeg()); }

// libjpeg alone with its own memory source, B, G, R, A output.
void BM_jpeg_libjpeg(benchmark::State& state) {
  const auto& file = bench_jpeg();
  for (auto _ : state) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), file.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&cinfo);
    const size_t stride = size_t(bench_width) * 4;
    auto* pixels = static_cast<uint8_t*>(std::malloc(stride * (bench_height + 1) + 4));
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = pixels + stride * cinfo.output_scanline;
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
  state.SetItemsProcessed(state.iterations() * bench_width * bench_height);
}

// The engine's own format (zlib parts, unpacked in the calling thread).
void BM_kcg_player(benchmark::State& state) { player_decode(state, picture_type_kcg, bench_kcg()); }

// Records each benchmark's CPU time (the machine may be shared) so the
// ratios can be printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // Plain runs, or the median when repetitions are asked for.
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

BENCHMARK(BM_png_player)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_png_libpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_jpeg_player)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_jpeg_libjpeg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kcg_player)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("full-HD inputs: PNG %zu bytes, JPEG %zu bytes, kcg (zlib) %zu bytes\n", bench_png().size(),
              bench_jpeg().size(), bench_kcg().size());
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* ours, const char* peer) {
    if (reporter.times.count(ours) && reporter.times.count(peer))
      std::printf("%s / %s = %.3f\n", ours, peer, reporter.times[ours] / reporter.times[peer]);
  };
  ratio("BM_png_player", "BM_png_libpng");
  ratio("BM_jpeg_player", "BM_jpeg_libjpeg");
  benchmark::Shutdown();
  return 0;
}
