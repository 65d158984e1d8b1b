// PNG files of B, G, R, A pixel rows, for golden pictures and for looking at
// what a test drew. Header-only: libpng comes with the engine's link.
#pragma once
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// An RGBA PNG, or an RGB one (alpha dropped) when `keep_alpha` is false.
// False when the file cannot be written.
inline bool write_bgra_png(const std::string& path, const uint8_t* bgra, int width, int height, bool keep_alpha) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  const int channels = keep_alpha ? 4 : 3;
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               keep_alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(static_cast<size_t>(width) * channels);
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = bgra + static_cast<size_t>(y) * width * 4;
    for (int x = 0; x < width; ++x) {
      row[x * channels + 0] = src[x * 4 + 2];
      row[x * channels + 1] = src[x * 4 + 1];
      row[x * channels + 2] = src[x * 4 + 0];
      if (keep_alpha) row[x * channels + 3] = src[x * 4 + 3];
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}
