// The engine image format kcg: a 56-byte little-endian header and the pixel
// area (B, G, R, A, rows from the top) cut into two parts, each stored raw,
// zlib-packed or packed by the compression library, so two workers can unpack
// them at once.
//
//   0  "KCG\0"          16 compression         32 part 1 unpacked size
//   4  width            20..31 not read        36 part 1 packed size
//   8  height                                  40..47 not read
//   12 not read                                48 part 2 unpacked size
//                                              52 part 2 packed size
//   56 part 1 packed bytes, then part 2 packed bytes
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kcg_header_size = 56;
constexpr uint32_t kcg_max_side = 8192;

enum : uint32_t { kcg_compression_raw = 0, kcg_compression_zlib = 1, kcg_compression_library = 2 };

struct kcg_header {
  bool magic_ok = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t compression = 0;
  uint32_t part1_unpacked = 0;
  uint32_t part1_packed = 0;
  uint32_t part2_unpacked = 0;
  uint32_t part2_packed = 0;
};

// Reads the header fields; false when fewer than 56 bytes are given.
bool read_kcg_header(const uint8_t* data, size_t size, kcg_header& out);

// Writes the 56 header bytes (fields that are not read are written as 0).
void write_kcg_header(const kcg_header& header, uint8_t out[kcg_header_size]);

enum class kcg_layout {
  ok,
  bad_magic,
  bad_size,          // width or height 0 or above 8192
  bad_compression,   // not 0, 1 or 2
  parts_mismatch,    // unpacked sizes do not add up to width*height*4, or raw sizes differ
  parts_past_end,    // packed parts run past the end of the file
};

// Checks a header against itself and the file size, in 64 bits. The checks
// run in the order of the enum, so the first failing one is returned.
kcg_layout check_kcg_layout(const kcg_header& header, uint64_t file_size);

// The compression library's packing entry points, passed in by the caller
// (the format library holds no engine state).
struct kcg_library_packer {
  uint32_t (*compressed_length)(uint32_t input_length) = nullptr;
  int32_t (*compress)(const uint8_t* source, uint32_t source_length, uint8_t* destination,
                      uint32_t* destination_length) = nullptr;
};

// Writes a whole kcg file for width x height pixels (width*height*4 bytes),
// cutting the pixel area after `cut` bytes (clamped to the area). 0 success,
// -1 for a bad size or compression, -2 when packing failed.
int build_kcg_file(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t compression, uint64_t cut,
                   const kcg_library_packer* packer, std::vector<uint8_t>& out);

// The cut the writer uses by default: after half of the rows.
uint64_t default_kcg_cut(uint32_t width, uint32_t height);
