#include "kxtool_files.h"


#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "core/compression_library.h"
#include "format/rirud_codec.h"

bool kxtool_read_file(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kxtool: cannot open %s\n", path.c_str());
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::fprintf(stderr, "kxtool: cannot read %s\n", path.c_str());
    return false;
  }
  return true;
}

bool kxtool_write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "kxtool: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// kxtool carries the codec itself (the packed format is the project's own), so
// the player's loaders find the same entry points without loading RIRud.so.
int kxtool_load_compression_library() {
  compression_library.compressed_length = rirud_compressed_length;
  compression_library.compress = [](const void* source, uint32_t length, void* destination, uint32_t* out_length) {
    return rirud_compress(static_cast<const uint8_t*>(source), length, static_cast<uint8_t*>(destination), out_length);
  };
  compression_library.uncompressed_length = [](const void* source, uint32_t length) {
    return rirud_uncompressed_length(static_cast<const uint8_t*>(source), length);
  };
  compression_library.uncompress = [](const void* source, uint32_t length, void* destination, uint32_t* out_length) {
    return rirud_uncompress(static_cast<const uint8_t*>(source), length, static_cast<uint8_t*>(destination),
                            out_length);
  };
  return 0;
}
