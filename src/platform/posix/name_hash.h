// A 64-bit FNV-1a hash of a host path, for names of locks and shared blocks
// that must be short but stay distinct per game folder.
#pragma once
#include <cstdint>
#include <string_view>

inline uint64_t host_name_hash(std::string_view text) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
  return h;
}
