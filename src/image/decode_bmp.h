// BMP reader (the player's own): 1, 4 and 8-bit palette, 24 and 32-bit files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/picture_buffer.h"

// The parts of the file and information headers the reader uses, checked
// against the file.
struct bmp_layout {
  uint32_t pixel_offset = 0;
  uint32_t info_size = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bit_count = 0;
  uint32_t compression = 0;
  uint32_t colours_used = 0;
  uint64_t row_bytes = 0;  // stored row length, padding included (0: not decoded)
};

// Reads and checks the headers. 0 when the file can be decoded, otherwise the
// error code to report: 100070 not a BMP the player reads (no "BM", a file
// shorter than the 54 header bytes, an information header under 40 bytes),
// 100080 pixel data outside the file, 100090 compressed 4 or 8-bit data,
// 100091 width or height of 0 or less or above 8192, 100092 top-down rows.
int read_bmp_layout(const uint8_t* data, size_t size, bmp_layout& out);

// Decodes a whole BMP file held in memory. 0 success (committed into `out`),
// -1 failure (reported; `out` untouched). Bit counts the reader does not
// decode (16, for instance) give a fully transparent picture of the size.
int decode_bmp(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out);
