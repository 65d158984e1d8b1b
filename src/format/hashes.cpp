#include "format/hashes.h"

#include <array>
#include <cstring>

#include "format/byte_io.h"

uint32_t murmur_hash2(const void* data, size_t length, uint32_t seed) {
  const uint32_t m = 0x5bd1e995;
  const int r = 24;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t h = seed ^ static_cast<uint32_t>(length);
  while (length >= 4) {
    uint32_t k = get_u32(p);
    k *= m;
    k ^= k >> r;
    k *= m;
    h *= m;
    h ^= k;
    p += 4;
    length -= 4;
  }
  switch (length) {
    case 3: h ^= static_cast<uint32_t>(p[2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<uint32_t>(p[1]) << 8; [[fallthrough]];
    case 1: h ^= p[0]; h *= m;
  }
  h ^= h >> 13;
  h *= m;
  h ^= h >> 15;
  return h;
}

namespace {
constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> crc_table = make_crc_table();
}  // namespace

uint32_t compute_crc32(const void* data, size_t length, uint32_t crc) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (size_t i = 0; i < length; ++i) crc = crc_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}
