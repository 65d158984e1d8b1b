#include "image_test_util.h"

#include <dirent.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <csetjmp>
#include <cstring>
#include <fstream>
#include <iterator>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>

uint32_t owned_picture::pixel(int x, int y) const {
  const uint8_t* p = picture.pixels + (static_cast<size_t>(y) * picture.width + x) * 4;
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

std::vector<uint8_t> owned_picture::bytes() const {
  if (!picture.pixels) return {};
  return std::vector<uint8_t>(picture.pixels, picture.pixels + size_t(picture.width) * picture.height * 4);
}

std::string testdata_folder() {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("ZARVIK_TESTDATA")) candidates.push_back(env);
  candidates.push_back(std::string(ZARVIK_SOURCE_DIR) + "/tests/data/conformance");
  for (const std::string& c : candidates) {
    struct stat st {};
    if (stat((c + "/README.md").c_str(), &st) == 0) return c + "/";
  }
  return "";
}

std::vector<uint8_t> read_file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> list_files(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool reference_decode_rgba(const std::vector<uint8_t>& file, int& width, int& height, std::vector<uint8_t>& rgba) {
  int channels = 0;
  stbi_uc* data = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width, &height, &channels, 4);
  if (!data) return false;
  rgba.assign(data, data + size_t(width) * height * 4);
  stbi_image_free(data);
  return true;
}

namespace {

void png_append(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void png_no_flush(png_structp) {}

}  // namespace

std::vector<uint8_t> encode_png(int width, int height, int color_type, int bit_depth, bool interlaced,
                                const std::vector<uint8_t>& packed_rows, const std::vector<uint8_t>& palette_rgb,
                                const std::vector<uint8_t>& trns, double gamma) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, png_append, png_no_flush);
  png_set_IHDR(png, info, width, height, bit_depth, color_type,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> colours;
  for (size_t i = 0; i + 2 < palette_rgb.size(); i += 3)
    colours.push_back(png_color{palette_rgb[i], palette_rgb[i + 1], palette_rgb[i + 2]});
  if (!colours.empty()) png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
  if (!trns.empty()) {
    if (color_type == PNG_COLOR_TYPE_PALETTE) {
      png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
    } else {
      png_color_16 key{};
      key.gray = trns[0];
      if (trns.size() >= 3) {
        key.red = trns[0];
        key.green = trns[1];
        key.blue = trns[2];
      }
      png_set_tRNS(png, info, nullptr, 0, &key);
    }
  }
  if (gamma > 0) png_set_gAMA(png, info, gamma);
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  const size_t stride = png_get_rowbytes(png, info);
  for (int pass = 0; pass < passes; ++pass)
    for (int y = 0; y < height; ++y) png_write_row(png, const_cast<uint8_t*>(packed_rows.data()) + stride * y);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::vector<uint8_t> noise_bytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> out(count);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 3);
  }
  return out;
}

// Lets the allocation-failure tests ask for absurd sizes under the sanitizers.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
