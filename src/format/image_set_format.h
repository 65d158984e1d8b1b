// Image-set files: many pictures in one file, each a colour JPEG and an
// optional grey JPEG of its alpha, stored scrambled.
//
//   0   8      not read
//   8   u32    picture count n
//   12  u32    mode: 0 colour only, 1 colour and alpha, other: alpha decoded
//              but the layer's alpha flag left clear
//   16  3 u32  header values 1..3 (only handed out by the query command)
//   28  4      not read
//   32  n u32  offset of each colour part from the start of the file
//   32+4n      n u32 size of each colour part
//   32+8n      n u32 size of each alpha part (it follows its colour part)
//
// Every byte of a part is XORed with image_set_key_byte(its position in the
// part); see image_set_scramble.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t image_set_header_size = 32;

struct image_set_part_span {
  uint64_t offset = 0;  // of the colour part
  uint64_t colour_size = 0;
  uint64_t alpha_size = 0;
};

struct image_set_layout {
  uint32_t count = 0;
  uint32_t mode = 0;
  uint32_t values[3] = {0, 0, 0};
  std::vector<image_set_part_span> parts;
};

enum image_set_status : int {
  image_set_ok = 0,
  image_set_short = 1,     // shorter than the header or the three tables
  image_set_bad_part = 2,  // a part outside the file or over the tables
};

// Reads and checks the header and tables, in 64 bits: 32 + 12n <= size, and
// every part (colour then alpha) lies after the tables and inside the file.
image_set_status parse_image_set_layout(const uint8_t* data, size_t size, image_set_layout& out);

// The key byte for position i within a part: byte i % 4 (little-endian) of
// the murmur3 32-bit finaliser of (i / 4) XOR 0x4B584953.
uint8_t image_set_key_byte(uint64_t position);
// XORs every byte of a part with its key byte; scrambling and unscrambling
// are the same operation.
void image_set_scramble(uint8_t* part, size_t size);

struct image_set_source_entry {
  std::vector<uint8_t> colour;  // a JPEG file
  std::vector<uint8_t> alpha;   // a one-component JPEG file, or empty
};
// A whole file: header, tables, then each entry's scrambled colour and alpha
// parts in order.
std::vector<uint8_t> build_image_set(uint32_t mode, const uint32_t values[3],
                                     const std::vector<image_set_source_entry>& entries);
