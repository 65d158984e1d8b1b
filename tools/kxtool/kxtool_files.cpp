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

namespace {
void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}
}  // namespace

std::vector<uint8_t> encode_wav(const std::vector<int16_t>& samples, int channels, int rate) {
  std::vector<uint8_t> out;
  const uint32_t data_bytes = static_cast<uint32_t>(samples.size() * 2);
  const uint32_t block = static_cast<uint32_t>(channels) * 2;
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  put32(out, 36 + data_bytes);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put32(out, 16);
  put16(out, 1);  // PCM
  put16(out, static_cast<uint32_t>(channels));
  put32(out, static_cast<uint32_t>(rate));
  put32(out, static_cast<uint32_t>(rate) * block);
  put16(out, block);
  put16(out, 16);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  put32(out, data_bytes);
  for (int16_t s : samples) put16(out, static_cast<uint16_t>(s));
  return out;
}
