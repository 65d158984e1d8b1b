// The packed byte format of the compression library (RIRud.so): an LZ77 code
// behind a fixed header that holds the unpacked length and its CRC-32, so that
// damaged or truncated data is refused instead of unpacked into garbage.
//
// Header, 20 bytes, little-endian:
//   0  "RZ77"            magic
//   4  u8 method         0 stored, 1 LZ77
//   5  3 bytes           zero
//   8  u32               unpacked length
//  12  u32               payload length (the bytes after the header)
//  16  u32               CRC-32 of the unpacked bytes
//
// LZ77 payload: a run of sequences. A sequence is a token byte (high nibble the
// literal count, low nibble the match length minus 4; 15 in either means more
// count bytes follow: each adds its value, 255 means another follows), the
// literals, then, unless the payload ends right after the literals, a 16-bit
// offset (1..65535 back into the output) and the match's extra count bytes.
#pragma once
#include <cstdint>

constexpr uint32_t rirud_header_size = 20;
// The longest input whose packed size still fits the 32-bit length fields.
constexpr uint32_t rirud_max_input = 0xFFFFFFFFu - rirud_header_size;

enum : int {
  rirud_ok = 0,
  rirud_bad_argument = 1,  // null pointers
  rirud_no_room = 2,       // destination capacity too small
  rirud_bad_header = 3,    // not our magic, unknown method, reserved bytes set
  rirud_wrong_length = 4,  // source or destination length disagrees with the header
  rirud_corrupt = 5,       // the LZ77 stream runs out of bounds or ends early
  rirud_bad_checksum = 6,  // unpacked bytes do not match the stored CRC-32
  rirud_too_large = 7,     // input longer than rirud_max_input
};

// The largest packed size rirud_compress can produce for `length` input bytes
// (0xFFFFFFFF for inputs longer than rirud_max_input, which are refused).
uint32_t rirud_compressed_length(uint32_t length);

// Packs `length` bytes. `*destination_length` holds the capacity on entry and
// the packed size on success. With a capacity of rirud_compressed_length it
// always succeeds.
int rirud_compress(const uint8_t* source, uint32_t length, uint8_t* destination, uint32_t* destination_length);

// The unpacked length stored in a header, or 0xFFFFFFFF when the header is bad.
uint32_t rirud_uncompressed_length(const uint8_t* source, uint32_t length);

// Unpacks. `*destination_length` must equal the stored unpacked length (callers
// keep it beside the packed bytes); the source must be exactly the packed size.
// Nothing is reported as success unless the CRC-32 matches.
int rirud_uncompress(const uint8_t* source, uint32_t length, uint8_t* destination, uint32_t* destination_length);
