#include "format/kcg_format.h"

#include <zlib.h>

#include <cstring>

#include "format/byte_io.h"

namespace {



// Packs one part; false when the packer failed or the result does not fit u32.
bool pack_part(const uint8_t* source, uint32_t length, uint32_t compression, const kcg_library_packer* packer,
               std::vector<uint8_t>& out) {
  if (compression == kcg_compression_raw) {
    out.assign(source, source + length);
    return true;
  }
  if (compression == kcg_compression_zlib) {
    uLongf capacity = compressBound(length);
    out.resize(capacity);
    if (compress2(out.data(), &capacity, source, length, Z_BEST_COMPRESSION) != Z_OK) return false;
    out.resize(capacity);
    return capacity <= UINT32_MAX;
  }
  if (!packer || !packer->compressed_length || !packer->compress) return false;
  uint32_t capacity = packer->compressed_length(length);
  out.resize(capacity);
  // Callers of the library never look at its result: with the bound as
  // capacity it must succeed. Still refuse a size it could not have written.
  packer->compress(source, length, out.data(), &capacity);
  if (capacity > out.size()) return false;
  out.resize(capacity);
  return true;
}

}  // namespace

bool read_kcg_header(const uint8_t* data, size_t size, kcg_header& out) {
  if (!data || size < kcg_header_size) return false;
  out.magic_ok = std::memcmp(data, "KCG\0", 4) == 0;
  out.width = get_u32(data + 4);
  out.height = get_u32(data + 8);
  out.compression = get_u32(data + 16);
  out.part1_unpacked = get_u32(data + 32);
  out.part1_packed = get_u32(data + 36);
  out.part2_unpacked = get_u32(data + 48);
  out.part2_packed = get_u32(data + 52);
  return true;
}

void write_kcg_header(const kcg_header& header, uint8_t out[kcg_header_size]) {
  std::memset(out, 0, kcg_header_size);
  std::memcpy(out, "KCG\0", 4);
  put_u32(out + 4, header.width);
  put_u32(out + 8, header.height);
  put_u32(out + 16, header.compression);
  put_u32(out + 32, header.part1_unpacked);
  put_u32(out + 36, header.part1_packed);
  put_u32(out + 48, header.part2_unpacked);
  put_u32(out + 52, header.part2_packed);
}

kcg_layout check_kcg_layout(const kcg_header& header, uint64_t file_size) {
  if (!header.magic_ok) return kcg_layout::bad_magic;
  if (header.width == 0 || header.height == 0 || header.width > kcg_max_side || header.height > kcg_max_side)
    return kcg_layout::bad_size;
  if (header.compression > kcg_compression_library) return kcg_layout::bad_compression;
  const uint64_t area = uint64_t{header.width} * header.height * 4;
  if (uint64_t{header.part1_unpacked} + header.part2_unpacked != area) return kcg_layout::parts_mismatch;
  if (header.compression == kcg_compression_raw &&
      (header.part1_packed != header.part1_unpacked || header.part2_packed != header.part2_unpacked))
    return kcg_layout::parts_mismatch;
  if (file_size < kcg_header_size ||
      uint64_t{header.part1_packed} + header.part2_packed > file_size - kcg_header_size)
    return kcg_layout::parts_past_end;
  return kcg_layout::ok;
}

uint64_t default_kcg_cut(uint32_t width, uint32_t height) { return uint64_t{width} * 4 * (height / 2); }

int build_kcg_file(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t compression, uint64_t cut,
                   const kcg_library_packer* packer, std::vector<uint8_t>& out) {
  if (width == 0 || height == 0 || width > kcg_max_side || height > kcg_max_side) return -1;
  if (compression > kcg_compression_library) return -1;
  const uint64_t area = uint64_t{width} * height * 4;
  if (cut > area) cut = area;
  std::vector<uint8_t> part1, part2;
  if (!pack_part(pixels, static_cast<uint32_t>(cut), compression, packer, part1) ||
      !pack_part(pixels + cut, static_cast<uint32_t>(area - cut), compression, packer, part2))
    return -2;
  kcg_header header;
  header.magic_ok = true;
  header.width = width;
  header.height = height;
  header.compression = compression;
  header.part1_unpacked = static_cast<uint32_t>(cut);
  header.part1_packed = static_cast<uint32_t>(part1.size());
  header.part2_unpacked = static_cast<uint32_t>(area - cut);
  header.part2_packed = static_cast<uint32_t>(part2.size());
  out.assign(kcg_header_size, 0);
  write_kcg_header(header, out.data());
  out.insert(out.end(), part1.begin(), part1.end());
  out.insert(out.end(), part2.begin(), part2.end());
  return 0;
}
