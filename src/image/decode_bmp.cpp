#include "image/decode_bmp.h"

#include <cstring>

#include "core/error_report.h"
#include "format/byte_io.h"

namespace {

constexpr size_t bmp_file_header_size = 14;
constexpr size_t bmp_info_header_size = 40;

bool decoded_bit_count(uint16_t bits) { return bits == 1 || bits == 4 || bits == 8 || bits == 24 || bits == 32; }

uint64_t stored_row_bytes(uint16_t bits, uint64_t width) {
  switch (bits) {
    case 1:
      return (width + 31) / 32 * 4;
    case 4:
    case 8:
      return (width * bits + 31) / 32 * 4;
    case 24:
      return (width * 3 + 3) / 4 * 4;
    case 32:
      return width * 4;
    default:
      return 0;
  }
}

// Bytes of a row that hold pixels (the padding of the last row may be missing).
uint64_t used_row_bytes(uint16_t bits, uint64_t width) { return (width * bits + 7) / 8; }

void store_pixel(uint8_t* out, const uint8_t* bgra) { std::memcpy(out, bgra, 4); }

}  // namespace

int read_bmp_layout(const uint8_t* data, size_t size, bmp_layout& out) {
  if (!data || size < 2 || data[0] != 'B' || data[1] != 'M') return 100070;
  if (size < bmp_file_header_size + bmp_info_header_size) return 100070;
  bmp_layout layout;
  layout.pixel_offset = get_u32(data + 10);
  layout.info_size = get_u32(data + 14);
  layout.width = static_cast<int32_t>(get_u32(data + 18));
  layout.height = static_cast<int32_t>(get_u32(data + 22));
  layout.bit_count = get_u16(data + 28);
  layout.compression = get_u32(data + 30);
  layout.colours_used = get_u32(data + 46);
  // Older core headers have another field layout; nothing to read them as.
  if (layout.info_size < bmp_info_header_size) return 100070;
  if (layout.pixel_offset < 11 || layout.pixel_offset > size) return 100080;
  if (layout.width > max_decoded_picture_side || layout.height > max_decoded_picture_side) return 100091;
  if (layout.height < 0) return 100092;
  if (layout.width <= 0 || layout.height == 0) return 100091;
  if ((layout.bit_count == 4 || layout.bit_count == 8) && layout.compression != 0) return 100090;
  if (decoded_bit_count(layout.bit_count)) {
    layout.row_bytes = stored_row_bytes(layout.bit_count, static_cast<uint64_t>(layout.width));
    const uint64_t end = uint64_t{layout.pixel_offset} + layout.row_bytes * static_cast<uint64_t>(layout.height - 1) +
                         used_row_bytes(layout.bit_count, static_cast<uint64_t>(layout.width));
    if (end > size) return 100080;
  }
  out = layout;
  return 0;
}

int decode_bmp(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out) {
  bmp_layout layout;
  const int code = read_bmp_layout(data, size, layout);
  if (code != 0) {
    if (code == 100090) {
      report_error_fmt(code, 1, name);
    } else if (code == 100080) {
      report_error_at_line(code, 1);
    } else {
      report_error_at_line_fmt(code, 1, name);
    }
    return -1;
  }
  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, layout.width, layout.height, name) != 0) return -1;

  const uint32_t width = static_cast<uint32_t>(layout.width);
  const uint32_t height = static_cast<uint32_t>(layout.height);
  const size_t stride = static_cast<size_t>(width) * 4;
  const uint16_t bits = layout.bit_count;

  if (!decoded_bit_count(bits)) {
    // Nothing to decode: a transparent picture of the file's size.
    std::memset(fresh.pixels, 0, stride * height);
    commit_picture_buffer(out, fresh);
    return 0;
  }

  uint8_t palette[256][4];
  if (bits <= 8) {
    // Entries past the colour count, or past the end of the file, are opaque black.
    for (auto& entry : palette) {
      entry[0] = entry[1] = entry[2] = 0;
      entry[3] = 255;
    }
    const uint32_t capacity = 1u << bits;
    const uint32_t count = layout.colours_used == 0 || layout.colours_used > capacity ? capacity : layout.colours_used;
    const uint64_t palette_offset = bmp_file_header_size + uint64_t{layout.info_size};
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = palette_offset + uint64_t{i} * 4;
      if (at + 3 > size) break;
      palette[i][0] = data[at];
      palette[i][1] = data[at + 1];
      palette[i][2] = data[at + 2];
    }
  }

  for (uint32_t r = 0; r < height; ++r) {
    const uint8_t* src = data + layout.pixel_offset + layout.row_bytes * r;
    uint8_t* dst = fresh.pixels + stride * (height - 1 - r);
    switch (bits) {
      case 1:
        for (uint32_t x = 0; x < width; ++x) store_pixel(dst + x * 4, palette[(src[x >> 3] >> (7 - (x & 7))) & 1]);
        break;
      case 4:
        for (uint32_t x = 0; x < width; ++x) {
          const uint8_t b = src[x >> 1];
          store_pixel(dst + x * 4, palette[(x & 1) ? (b & 0x0F) : (b >> 4)]);
        }
        break;
      case 8:
        for (uint32_t x = 0; x < width; ++x) store_pixel(dst + x * 4, palette[src[x]]);
        break;
      case 24:
        for (uint32_t x = 0; x < width; ++x) {
          dst[x * 4] = src[x * 3];
          dst[x * 4 + 1] = src[x * 3 + 1];
          dst[x * 4 + 2] = src[x * 3 + 2];
          dst[x * 4 + 3] = 255;
        }
        break;
      case 32:
        std::memcpy(dst, src, stride);
        break;
    }
  }
  fresh.alpha_in_use = bits == 32 ? 1 : 0;
  fresh.opaque = bits == 32 ? 0 : 1;
  commit_picture_buffer(out, fresh);
  return 0;
}
