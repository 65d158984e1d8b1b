#include "format/compiler_link_format.h"

#include <atomic>
#include <cstring>

#include "format/byte_io.h"

int parse_compiler_link_block(const uint8_t* block, size_t size, uint32_t count,
                              std::vector<compiler_link_record>& out) {
  out.clear();
  // Each record takes at least 9 bytes (two lengths and a terminator), so a
  // count the block cannot hold is refused before anything is reserved.
  if (count > size / 9) return -1;
  out.reserve(count);
  size_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < 4) break;
    const uint32_t name_length = get_u32(block + at);
    at += 4;
    if (name_length == 0 || name_length > size - at) break;
    const char* name = reinterpret_cast<const char*>(block + at);
    const void* zero = std::memchr(name, 0, name_length);
    const size_t shown = zero ? static_cast<size_t>(static_cast<const char*>(zero) - name) : name_length;
    at += name_length;
    if (size - at < 4) break;
    const uint32_t data_length = get_u32(block + at);
    at += 4;
    if (data_length > size - at) break;
    out.push_back({std::string_view(name, shown), block + at, data_length});
    at += data_length;
  }
  if (out.size() != count) {
    out.clear();
    return -1;
  }
  return 0;
}

std::vector<uint8_t> write_compiler_link_block(const std::vector<compiler_link_file>& files) {
  std::vector<uint8_t> out;
  for (const compiler_link_file& f : files) {
    put_u32(out, static_cast<uint32_t>(f.name.size() + 1));
    out.insert(out.end(), f.name.begin(), f.name.end());
    out.push_back(0);
    put_u32(out, static_cast<uint32_t>(f.bytes.size()));
    out.insert(out.end(), f.bytes.begin(), f.bytes.end());
  }
  return out;
}

std::string read_link_game_path(const uint8_t* block_a) {
  const char* p = reinterpret_cast<const char*>(block_a + link_game_path_offset);
  const void* zero = std::memchr(p, 0, link_game_path_max);
  return std::string(p, zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : link_game_path_max);
}

bool write_link_game_path(uint8_t* block_a, std::string_view path) {
  if (path.size() > link_game_path_max || path.find('\0') != std::string_view::npos) return false;
  std::memcpy(block_a + link_game_path_offset, path.data(), path.size());
  block_a[link_game_path_offset + path.size()] = 0;
  return true;
}

uint32_t load_link_flag(uint8_t* block, size_t offset) {
  const uint32_t raw =
      std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(block + offset)).load(std::memory_order_acquire);
  uint8_t bytes[4];
  std::memcpy(bytes, &raw, 4);
  return get_u32(bytes);
}

void store_link_flag(uint8_t* block, size_t offset, uint32_t value) {
  uint8_t bytes[4];
  put_u32(bytes, value);
  uint32_t raw;
  std::memcpy(&raw, bytes, 4);
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(block + offset)).store(raw, std::memory_order_release);
}
