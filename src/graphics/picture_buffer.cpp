#include "graphics/picture_buffer.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/error_report.h"
#include "core/info_log.h"



uint64_t picture_block_bytes(int64_t width, int64_t height) {
  if (width <= 0 || height <= 0 || width > max_picture_width) return 0;
  // Height is unbounded here, so keep the product from wrapping even for
  // absurd values: anything past 2^40 rows can never be allocated anyway.
  if (height > (int64_t{1} << 40)) return 0;
  const uint64_t row = static_cast<uint64_t>(width) * 4;
  return row * static_cast<uint64_t>(height) + row + 4;
}

uint8_t* alloc_picture_block(uint8_t* old_block, int64_t width, int64_t height, const std::string& name) {
  if (width > max_picture_width) {
    show_message_box("", cg_too_large_text(), width, height);
    report_error(100010, 1);
    return nullptr;
  }
  const uint64_t bytes = picture_block_bytes(width, height);
  if (bytes == 0) {
    report_error(100010, 1);
    return nullptr;
  }
  void* block = nullptr;
  if (bytes <= SIZE_MAX) block = old_block ? std::realloc(old_block, bytes) : std::malloc(bytes);
  if (!block) {
    write_info_log("", cg_memory_error_text(), name, width, height);
    if (!name.empty()) {
      report_error(100010, 1);
    } else {
      report_error_fmt(104030, 1, std::string());
    }
    return nullptr;
  }
  return static_cast<uint8_t*>(block);
}

bool refuse_blank_picture_size(int64_t width, int64_t height) {
  if (width > max_picture_width) {
    show_message_box("", cg_too_large_text(), width, height);
    report_error(100010, 1);
    return true;
  }
  // A height past what the record holds could never be allocated either.
  if (width < 0 || height < 0 || height > INT32_MAX) {
    write_info_log("", cg_memory_error_text(), std::string(), width, height);
    report_error_fmt(104030, 1, std::string());
    return true;
  }
  return false;
}

int alloc_picture_buffer(picture_buffer& out, int64_t width, int64_t height, const std::string& name) {
  uint8_t* block = alloc_picture_block(nullptr, width, height, name);
  if (!block) return -1;
  // The spare row and bytes are read by the scalers: keep them defined.
  const uint64_t row = static_cast<uint64_t>(width) * 4;
  std::memset(block + row * static_cast<uint64_t>(height), 0, row + 4);
  out.pixels = block;
  out.width = static_cast<int32_t>(width);
  out.height = static_cast<int32_t>(height);
  out.alpha_in_use = 0;
  out.opaque = 0;
  return 0;
}

void free_picture_buffer(picture_buffer& picture) {
  std::free(picture.pixels);
  picture = picture_buffer{};
}

void commit_picture_buffer(picture_buffer& target, picture_buffer& fresh) {
  if (&target == &fresh) return;
  std::free(target.pixels);
  target = fresh;
  fresh = picture_buffer{};
}

void normalise_transparent_pixels(uint8_t* pixels, uint64_t pixel_count) {
  if constexpr (std::endian::native == std::endian::little) {
    // Whole-word form so the compiler can vectorise it: alpha is the top byte.
    for (uint64_t i = 0; i < pixel_count; ++i) {
      uint32_t v;
      std::memcpy(&v, pixels + i * 4, 4);
      v = (v >> 24) ? v : transparent_pixel_value;
      std::memcpy(pixels + i * 4, &v, 4);
    }
  } else {
    for (uint64_t i = 0; i < pixel_count; ++i) {
      uint8_t* p = pixels + i * 4;
      if (p[3] == 0) p[0] = p[1] = p[2] = 0x80;
    }
  }
}

void normalise_transparent_pixels(picture_buffer& picture) {
  if (!picture.pixels || picture.width <= 0 || picture.height <= 0) return;
  normalise_transparent_pixels(picture.pixels,
                               static_cast<uint64_t>(picture.width) * static_cast<uint64_t>(picture.height));
}
