#include "golden_png.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct file_closer {
  void operator()(FILE* f) const { std::fclose(f); }
};

std::string expected_path(const std::string& name, const char* suffix) {
  return std::string(ZARVIK_SOURCE_DIR) + "/tests/graphics/expected/" + name + suffix;
}

std::vector<uint8_t> to_rgb(int w, int h, const uint8_t* bgra) {
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    rgb[i * 3 + 0] = bgra[i * 4 + 2];
    rgb[i * 3 + 1] = bgra[i * 4 + 1];
    rgb[i * 3 + 2] = bgra[i * 4 + 0];
  }
  return rgb;
}

}  // namespace

int write_rgb_png(const std::string& path, int w, int h, const uint8_t* bgra) {
  std::unique_ptr<FILE, file_closer> f(std::fopen(path.c_str(), "wb"));
  if (!f) return -1;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return -1;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return -1;
  }
  std::vector<uint8_t> rgb = to_rgb(w, h, bgra);
  png_init_io(png, f.get());
  png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) png_write_row(png, rgb.data() + size_t(y) * w * 3);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return 0;
}

int read_rgb_png(const std::string& path, int* w, int* h, std::vector<uint8_t>* rgb) {
  std::unique_ptr<FILE, file_closer> f(std::fopen(path.c_str(), "rb"));
  if (!f) return -1;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return -1;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return -1;
  }
  png_init_io(png, f.get());
  png_read_info(png, info);
  if (png_get_color_type(png, info) != PNG_COLOR_TYPE_RGB || png_get_bit_depth(png, info) != 8) {
    png_destroy_read_struct(&png, &info, nullptr);
    return -1;
  }
  *w = int(png_get_image_width(png, info));
  *h = int(png_get_image_height(png, info));
  rgb->assign(size_t(*w) * *h * 3, 0);
  for (int y = 0; y < *h; ++y) png_read_row(png, rgb->data() + size_t(y) * *w * 3, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return 0;
}

std::string compare_golden(const std::string& name, int w, int h, const uint8_t* bgra) {
  std::string path = expected_path(name, ".png");
  const char* update = std::getenv("ZARVIK_UPDATE_GOLDEN");
  if (update && *update == '1') {
    return write_rgb_png(path, w, h, bgra) == 0 ? "" : "cannot write " + path;
  }
  int ew = 0, eh = 0;
  std::vector<uint8_t> expected;
  std::string problem;
  if (read_rgb_png(path, &ew, &eh, &expected) != 0) {
    problem = "missing or unreadable " + path + " (run with ZARVIK_UPDATE_GOLDEN=1 to make it)";
  } else if (ew != w || eh != h) {
    problem = "size differs from " + path;
  } else {
    std::vector<uint8_t> actual = to_rgb(w, h, bgra);
    for (size_t i = 0; i < actual.size(); ++i)
      if (actual[i] != expected[i]) {
        size_t p = i / 3;
        problem = "pixel (" + std::to_string(p % size_t(w)) + ", " + std::to_string(p / size_t(w)) +
                  ") differs from " + path;
        break;
      }
  }
  if (!problem.empty()) write_rgb_png(expected_path(name, "-ACTUAL.png"), w, h, bgra);
  return problem;
}
