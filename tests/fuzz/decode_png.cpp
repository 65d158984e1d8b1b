// libFuzzer target: the PNG reader over arbitrary bytes, seeded with the
// shared PNG corpus (scripts/run-fuzzers.sh). Before decoding, the signature
// is put in place and every chunk's CRC recomputed, so mutations get past
// libpng's checksum test into the whole decode: inflate, filters, interlace,
// bit depths, palettes, transparency and gamma. Pictures of more than a
// million pixels are skipped to keep the rate up.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "image/decode_png.h"
#include "quiet_reports.h"

namespace {

uint32_t get_be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string name = "fuzz";
  quiet_reports();
  static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> png(signature, signature + 8);
  png.insert(png.end(), data + (size >= 8 ? 8 : size), data + size);
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = get_be32(&png[at]);
    if (length > png.size() - at - 12) break;
    if (at == 8 && length >= 8 && std::string(png.begin() + 12, png.begin() + 16) == "IHDR") {
      const uint64_t pixels = uint64_t(get_be32(&png[16])) * get_be32(&png[20]);
      if (pixels > (1u << 20)) return 0;
    }
    put_be32(&png[at + 8 + length], static_cast<uint32_t>(crc32(0, &png[at + 4], length + 4)));
    at += 12 + length;
  }
  picture_buffer picture;
  decode_png(png.data(), png.size(), name, picture);
  free_picture_buffer(picture);
  quit_flag = 0;
  return 0;
}
