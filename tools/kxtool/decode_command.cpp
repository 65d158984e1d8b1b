// kxtool decode: decodes any picture the player reads, through the player's
// own loader, and writes it out as an RGBA PNG.
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/picture_loader.h"
#include "kxtool_files.h"

namespace {

int decode_usage() {
  std::fprintf(stderr,
               "usage: kxtool decode [--type N] INPUT OUTPUT.png\n"
               "  --type   resource type (1 BMP, 2 PNG, 3 JPEG, 4 GIF, 8 kcg); by default\n"
               "           taken from the file's signature, else from its name\n");
  return 2;
}

// The type a pack entry would carry for these bytes: pictures in the engine's
// own format often sit under other picture names.
int sniff_picture_type(const std::vector<uint8_t>& bytes) {
  auto starts = [&](const char* magic, size_t n) { return bytes.size() >= n && std::memcmp(bytes.data(), magic, n) == 0; };
  if (starts("KCG\0", 4)) return picture_type_kcg;
  if (starts("\x89PNG\r\n\x1a\n", 8)) return picture_type_png;
  if (starts("\xff\xd8", 2)) return picture_type_jpeg;
  if (starts("GIF8", 4)) return picture_type_gif;
  if (starts("BM", 2)) return picture_type_bmp;
  if (starts("8BPS", 4)) return picture_type_psd;
  return 0;
}

struct png_memory_writer {
  std::vector<uint8_t>* out;
};

void png_write_to_memory(png_structp png, png_bytep data, png_size_t length) {
  auto* writer = static_cast<png_memory_writer*>(png_get_io_ptr(png));
  writer->out->insert(writer->out->end(), data, data + length);
}
void png_flush_nothing(png_structp) {}

[[noreturn]] void png_write_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// No destructors between setjmp and the jump: only pointers live here.
int write_png_body(png_structp png, png_infop info, const picture_buffer* picture, png_memory_writer* writer) {
  if (setjmp(png_jmpbuf(png))) return -1;
  png_set_write_fn(png, writer, png_write_to_memory, png_flush_nothing);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture->width), static_cast<png_uint_32>(picture->height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  const size_t stride = static_cast<size_t>(picture->width) * 4;
  for (int32_t y = 0; y < picture->height; ++y) png_write_row(png, picture->pixels + stride * y);
  png_write_end(png, info);
  return 0;
}

}  // namespace

int encode_png(const picture_buffer& picture, std::vector<uint8_t>& out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_write_error, nullptr);
  if (!png) return -1;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return -1;
  }
  png_memory_writer writer{&out};
  const int status = write_png_body(png, info, &picture, &writer);
  png_destroy_write_struct(&png, &info);
  return status;
}

int kxtool_decode(int argc, char** argv) {
  int type = 0;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--type" && i + 1 < argc) {
      char* end = nullptr;
      type = static_cast<int>(std::strtol(argv[++i], &end, 10));
      if (!end || *end) return decode_usage();
    } else if (!arg.empty() && arg[0] == '-') {
      return decode_usage();
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) return decode_usage();

  std::vector<uint8_t> input;
  if (!kxtool_read_file(files[0], input)) return 1;
  if (type == 0) type = sniff_picture_type(input);
  if (type == 0) type = picture_type_of_name(files[0]);
  // Only the packed mode of the engine format needs the compression library.
  if (type == picture_type_kcg && input.size() >= 20 && input[16] == 2 && !input[17] && !input[18] && !input[19])
    kxtool_load_compression_library();

  picture_buffer picture;
  if (decode_picture_bytes(type, input.data(), input.size(), files[0], picture) != 0) {
    std::fprintf(stderr, "kxtool: cannot decode %s\n", files[0].c_str());
    return 1;
  }
  std::vector<uint8_t> png;
  const int status = encode_png(picture, png);
  free_picture_buffer(picture);
  if (status != 0) {
    std::fprintf(stderr, "kxtool: cannot encode %s\n", files[1].c_str());
    return 1;
  }
  return kxtool_write_file(files[1], png) ? 0 : 1;
}
