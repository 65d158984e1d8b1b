// kxtool kcg: writes a picture (PNG or any other the player reads) in the
// engine image format.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/kcg_format.h"
#include "image/picture_loader.h"
#include "kxtool_files.h"
#include "format/rirud_codec.h"

namespace {

int kcg_usage() {
  std::fprintf(stderr,
               "usage: kxtool kcg [-c raw|zlib|library] [--cut BYTES] INPUT.png OUTPUT.kcg\n"
               "  -c       compression of both parts (default zlib)\n"
               "  --cut    bytes of the pixel area in part 1 (default: half of the rows)\n");
  return 2;
}

}  // namespace

int kxtool_kcg(int argc, char** argv) {
  uint32_t compression = kcg_compression_zlib;
  bool have_cut = false;
  uint64_t cut = 0;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "-c" || arg == "--compression") && i + 1 < argc) {
      const std::string mode = argv[++i];
      if (mode == "raw" || mode == "0") {
        compression = kcg_compression_raw;
      } else if (mode == "zlib" || mode == "1") {
        compression = kcg_compression_zlib;
      } else if (mode == "library" || mode == "rirud" || mode == "2") {
        compression = kcg_compression_library;
      } else {
        return kcg_usage();
      }
    } else if (arg == "--cut" && i + 1 < argc) {
      char* end = nullptr;
      cut = std::strtoull(argv[++i], &end, 10);
      if (!end || *end) return kcg_usage();
      have_cut = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return kcg_usage();
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) return kcg_usage();

  std::vector<uint8_t> input;
  if (!kxtool_read_file(files[0], input)) return 1;
  int type = picture_type_of_name(files[0]);
  if (type == 0) type = picture_type_png;
  picture_buffer picture;
  if (decode_picture_bytes(type, input.data(), input.size(), files[0], picture) != 0) {
    std::fprintf(stderr, "kxtool: cannot decode %s\n", files[0].c_str());
    return 1;
  }
  kcg_library_packer packer;
  if (compression == kcg_compression_library) {
    packer.compressed_length = rirud_compressed_length;
    packer.compress = rirud_compress;
  }
  const uint32_t width = static_cast<uint32_t>(picture.width);
  const uint32_t height = static_cast<uint32_t>(picture.height);
  if (!have_cut) cut = default_kcg_cut(width, height);
  std::vector<uint8_t> file;
  const int status = build_kcg_file(picture.pixels, width, height, compression, cut, &packer, file);
  free_picture_buffer(picture);
  if (status != 0) {
    std::fprintf(stderr, "kxtool: cannot pack %s\n", files[0].c_str());
    return 1;
  }
  return kxtool_write_file(files[1], file) ? 0 : 1;
}
