// kxtool imageset: writes an image-set file from pictures (any format the
// player reads): per picture a colour JPEG and, unless the mode is 0, a grey
// JPEG of its alpha, scrambled as the player expects.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/image_set_format.h"
#include "image/picture_loader.h"
#include "image/picture_writers.h"
#include "kxtool_files.h"

namespace {

int imageset_usage() {
  std::fprintf(stderr,
               "usage: kxtool imageset [--mode N] [--quality Q] [--values A,B,C] OUT IN...\n"
               "  --mode     0 colour only, 1 colour and alpha (default), other values: alpha\n"
               "             parts written, the layer's alpha flag left clear\n"
               "  --quality  JPEG quality 1..100 (default 90)\n"
               "  --values   the three header values the query command hands out (default 0,0,0)\n");
  return 2;
}

bool parse_number(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 0);
  return end && end != text && !*end;
}

}  // namespace

int kxtool_imageset(int argc, char** argv) {
  long long mode = 1, quality = 90;
  uint32_t values[3] = {0, 0, 0};
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mode" && i + 1 < argc) {
      if (!parse_number(argv[++i], mode) || mode < 0 || mode > 0xFFFFFFFFll) return imageset_usage();
    } else if (arg == "--quality" && i + 1 < argc) {
      if (!parse_number(argv[++i], quality) || quality < 1 || quality > 100) return imageset_usage();
    } else if (arg == "--values" && i + 1 < argc) {
      std::string list = argv[++i];
      for (int k = 0; k < 3; ++k) {
        const size_t comma = list.find(',');
        long long v = 0;
        if (!parse_number(list.substr(0, comma).c_str(), v) || (comma == std::string::npos) != (k == 2))
          return imageset_usage();
        values[k] = static_cast<uint32_t>(v);
        if (comma != std::string::npos) list.erase(0, comma + 1);
      }
    } else if (!arg.empty() && arg[0] == '-') {
      return imageset_usage();
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() < 2) return imageset_usage();

  std::vector<image_set_source_entry> entries;
  for (size_t i = 1; i < files.size(); ++i) {
    std::vector<uint8_t> input;
    if (!kxtool_read_file(files[i], input)) return 1;
    picture_buffer picture;
    if (decode_picture_bytes(picture_type_of_name(files[i]), input.data(), input.size(), files[i], picture) != 0) {
      std::fprintf(stderr, "kxtool: cannot decode %s\n", files[i].c_str());
      return 1;
    }
    image_set_source_entry entry;
    int status = encode_picture_jpeg(picture.pixels, picture.width, picture.height, static_cast<int>(quality), false,
                                     entry.colour);
    if (status == 0 && mode != 0)
      status = encode_picture_jpeg(picture.pixels, picture.width, picture.height, static_cast<int>(quality), true,
                                   entry.alpha);
    free_picture_buffer(picture);
    if (status != 0) {
      std::fprintf(stderr, "kxtool: cannot encode %s\n", files[i].c_str());
      return 1;
    }
    entries.push_back(std::move(entry));
  }
  return kxtool_write_file(files[0], build_image_set(static_cast<uint32_t>(mode), values, entries)) ? 0 : 1;
}
