// Fuzz inputs that are Ogg images get every page checksum recomputed first,
// so mutations reach the Vorbis headers and packets instead of being dropped
// by libogg's CRC test.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz_ogg {

// libogg's page checksum: CRC-32, polynomial 0x04C11DB7, not reflected, over
// the page with its checksum field zeroed.
inline uint32_t page_crc(const uint8_t* p, size_t n) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      table[i] = r;
    }
    ready = true;
  }
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

inline void fix_page_checksums(std::vector<uint8_t>& image) {
  for (size_t at = 0; at + 27 <= image.size();) {
    if (image[at] != 'O' || image[at + 1] != 'g' || image[at + 2] != 'g' || image[at + 3] != 'S') {
      ++at;
      continue;
    }
    const size_t segments = image[at + 26];
    if (at + 27 + segments > image.size()) return;
    size_t body = 0;
    for (size_t s = 0; s < segments; ++s) body += image[at + 27 + s];
    const size_t length = 27 + segments + body;
    if (at + length > image.size()) return;
    for (int k = 0; k < 4; ++k) image[at + 22 + k] = 0;
    const uint32_t crc = page_crc(&image[at], length);
    for (int k = 0; k < 4; ++k) image[at + 22 + k] = static_cast<uint8_t>(crc >> (8 * k));
    at += length;
  }
}

}  // namespace fuzz_ogg
