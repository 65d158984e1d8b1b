#include "format/image_set_format.h"

#include <cstring>

#include "format/byte_io.h"

namespace {

constexpr uint32_t image_set_key_seed = 0x4B584953u;

inline uint32_t fmix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

inline uint32_t key_word(uint64_t word_index) {
  return fmix32(static_cast<uint32_t>(word_index) ^ image_set_key_seed);
}

}  // namespace

image_set_status parse_image_set_layout(const uint8_t* data, size_t size, image_set_layout& out) {
  if (!data || size < image_set_header_size) return image_set_short;
  const uint32_t count = get_u32(data + 8);
  const uint64_t tables_end = image_set_header_size + 12 * uint64_t{count};
  if (tables_end > size) return image_set_short;
  image_set_layout layout;
  layout.count = count;
  layout.mode = get_u32(data + 12);
  for (int i = 0; i < 3; ++i) layout.values[i] = get_u32(data + 16 + 4 * i);
  layout.parts.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    image_set_part_span& p = layout.parts[i];
    p.offset = get_u32(data + image_set_header_size + 4 * uint64_t{i});
    p.colour_size = get_u32(data + image_set_header_size + 4 * uint64_t{count} + 4 * uint64_t{i});
    p.alpha_size = get_u32(data + image_set_header_size + 8 * uint64_t{count} + 4 * uint64_t{i});
    if (p.offset < tables_end || p.offset + p.colour_size + p.alpha_size > size) return image_set_bad_part;
  }
  out = std::move(layout);
  return image_set_ok;
}

uint8_t image_set_key_byte(uint64_t position) {
  return static_cast<uint8_t>(key_word(position / 4) >> (8 * (position % 4)));
}

void image_set_scramble(uint8_t* part, size_t size) {
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    const uint32_t k = key_word(i / 4);
    part[i] ^= static_cast<uint8_t>(k);
    part[i + 1] ^= static_cast<uint8_t>(k >> 8);
    part[i + 2] ^= static_cast<uint8_t>(k >> 16);
    part[i + 3] ^= static_cast<uint8_t>(k >> 24);
  }
  for (; i < size; ++i) part[i] ^= image_set_key_byte(i);
}

std::vector<uint8_t> build_image_set(uint32_t mode, const uint32_t values[3],
                                     const std::vector<image_set_source_entry>& entries) {
  const uint32_t n = static_cast<uint32_t>(entries.size());
  std::vector<uint8_t> out(image_set_header_size + 12 * size_t{n}, 0);
  std::memcpy(out.data(), "KXIMGSET", 8);
  put_u32(out.data() + 8, n);
  put_u32(out.data() + 12, mode);
  for (int i = 0; i < 3; ++i) put_u32(out.data() + 16 + 4 * i, values ? values[i] : 0);
  for (uint32_t i = 0; i < n; ++i) {
    const image_set_source_entry& e = entries[i];
    put_u32(out.data() + image_set_header_size + 4 * size_t{i}, static_cast<uint32_t>(out.size()));
    put_u32(out.data() + image_set_header_size + 4 * size_t{n} + 4 * size_t{i}, static_cast<uint32_t>(e.colour.size()));
    put_u32(out.data() + image_set_header_size + 8 * size_t{n} + 4 * size_t{i}, static_cast<uint32_t>(e.alpha.size()));
    for (const std::vector<uint8_t>* part : {&e.colour, &e.alpha}) {
      const size_t at = out.size();
      out.insert(out.end(), part->begin(), part->end());
      image_set_scramble(out.data() + at, part->size());
    }
  }
  return out;
}
