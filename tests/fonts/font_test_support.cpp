#include "font_test_support.h"

#include <png.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "format/canonical_commands.h"
#include "image/decode_png.h"
#include "resources/command_table.h"
#include "image/picture_buffer.h"

namespace font_test {

int install_canonical_commands() {
  std::vector<uint8_t> file = write_command_file(canonical_command_file());
  return install_command_file(file.data(), file.size());
}

bool write_png_file(const std::string& path, const uint8_t* bgra, int width, int height) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = bgra + static_cast<size_t>(y) * width * 4;
    for (int x = 0; x < width; ++x) {
      row[x * 4 + 0] = src[x * 4 + 2];
      row[x * 4 + 1] = src[x * 4 + 1];
      row[x * 4 + 2] = src[x * 4 + 0];
      row[x * 4 + 3] = src[x * 4 + 3];
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

bool read_png_file(const std::string& path, std::vector<uint8_t>& bgra, int& width, int& height) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  picture_buffer pic;
  if (decode_png(bytes.data(), bytes.size(), path, pic) != 0) return false;
  width = pic.width;
  height = pic.height;
  bgra.assign(pic.pixels, pic.pixels + static_cast<size_t>(width) * height * 4);
  free_picture_buffer(pic);
  return true;
}

}  // namespace font_test
