#include "font_test_support.h"
#include "app/command_handlers.h"


#include <cstdio>
#include <fstream>
#include <iterator>

#include "format/canonical_commands.h"
#include "image/decode_png.h"
#include "resources/command_table.h"
#include "graphics/picture_buffer.h"
#include "support/png_output.h"

namespace font_test {

int install_canonical_commands() {
  std::vector<uint8_t> file = write_command_file(canonical_command_file());
  install_command_handlers();
  return install_command_file(file.data(), file.size());
}

bool write_png_file(const std::string& path, const uint8_t* bgra, int width, int height) {
  return write_bgra_png(path, bgra, width, height, true);
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
