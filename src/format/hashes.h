// Hashes shared by the player and kxtool.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// MurmurHash2 (multiplier 0x5bd1e995, shift 24). Tail bytes are taken as
// unsigned: Shift-JIS names have bytes >= 0x80.
uint32_t murmur_hash2(const void* data, size_t length, uint32_t seed = 0);
inline uint32_t name_hash(std::string_view name) { return murmur_hash2(name.data(), name.size(), 0); }

// The standard CRC-32 (reflected, polynomial 0xEDB88320, initial and final
// value 0xFFFFFFFF). Pass a previous result as `crc` to continue a running sum.
uint32_t compute_crc32(const void* data, size_t length, uint32_t crc = 0);
