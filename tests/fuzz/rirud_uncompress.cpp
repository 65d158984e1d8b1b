// Unpacks arbitrary bytes (never past the stated capacity), and round-trips
// them through the packer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/rirud_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Inputs above 64 KiB add no new paths, only time (the packer's match
  // search grows with the input).
  if (size > (1u << 16)) return 0;
  uint32_t n = static_cast<uint32_t>(size);
  uint32_t stated = rirud_uncompressed_length(data, n);
  if (stated != 0xFFFFFFFFu && stated <= (1u << 20)) {
    std::vector<uint8_t> out(stated);
    uint32_t capacity = stated;
    rirud_uncompress(data, n, out.data(), &capacity);
  }
  std::vector<uint8_t> packed(rirud_compressed_length(n));
  uint32_t packed_size = static_cast<uint32_t>(packed.size());
  if (rirud_compress(data, n, packed.data(), &packed_size) != rirud_ok) std::abort();
  std::vector<uint8_t> back(n);
  uint32_t back_size = n;
  if (rirud_uncompress(packed.data(), packed_size, back.data(), &back_size) != rirud_ok) std::abort();
  if (n && std::memcmp(back.data(), data, n) != 0) std::abort();
  return 0;
}
