// Picture buffers: the one pixel block every picture lives in.
//
// width x height pixels of 4 bytes B, G, R, A, rows from the top with no gap,
// in one block of width*4*height + width*4 + 4 bytes: the spare row and the
// 4 spare bytes are read by the bilinear scalers at the right and bottom edges.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int32_t max_picture_width = 8192;
// Every decoder refuses pictures larger than this in either direction.
constexpr int32_t max_decoded_picture_side = 8192;
// Fully transparent pixels are stored as this value after every load.
constexpr uint32_t transparent_pixel_value = 0x00808080u;

// A decoded picture before it is handed to a layer's picture record. `pixels`
// comes from malloc/realloc so the record can resize it in place.
struct picture_buffer {
  uint8_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  uint8_t alpha_in_use = 0;  // the picture carries its own alpha
  // Set by a decoder whose pictures can hold no alpha below 255 (JPEG, RGB
  // PNG without tRNS, 24-bit BMP...): the loader then skips normalising.
  uint8_t opaque = 0;
};

// Size of the block for a picture, in 64 bits; 0 for a size that is refused
// (width or height of 0 or less, width above 8192).
uint64_t picture_block_bytes(int64_t width, int64_t height);

// Resizes `old_block` (or allocates a new block when it is null) for a picture
// of width x height. Refusals and memory failures are reported (quit set) and
// give null; `old_block` then stays valid and untouched.
uint8_t* alloc_picture_block(uint8_t* old_block, int64_t width, int64_t height, const std::string& name);

// Gives `out` (which must hold no block) a new block and the size. 0 or -1
// (reported); `out` is unchanged on failure.
int alloc_picture_buffer(picture_buffer& out, int64_t width, int64_t height, const std::string& name);

// The size checks of a group's blank picture, where a zero width or height is
// a pure container without pixels: a width above 8192 shows the too-large box
// and reports 100010, a negative size is refused as a failed allocation (the
// info-log line without a name, then 104030). True when refused (reported).
bool refuse_blank_picture_size(int64_t width, int64_t height);

void free_picture_buffer(picture_buffer& picture);

// Installs `fresh` into `target`: the target's old block is freed, `fresh` is
// left empty. Decoders call it only once the whole picture succeeded.
void commit_picture_buffer(picture_buffer& target, picture_buffer& fresh);

// Every pixel whose alpha byte is 0 becomes 0x00808080.
void normalise_transparent_pixels(uint8_t* pixels, uint64_t pixel_count);
void normalise_transparent_pixels(picture_buffer& picture);
