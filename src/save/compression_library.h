// The compression library's four entry points, taken by name from RIRud.so at
// start-up. Null entries mean the library is not loaded; callers then fail
// the way a failing call would.
#pragma once
#include <cstdint>

struct compression_library_entries {
  void* handle = nullptr;  // the loaded library (start-up's loader)
  // Largest packed size RIRud_Compress can produce for that many input bytes.
  uint32_t (*compressed_length)(uint32_t input_length) = nullptr;
  // Packs; *destination_length holds the capacity on entry, the packed size on return.
  int32_t (*compress)(const uint8_t* source, uint32_t source_length, uint8_t* destination,
                      uint32_t* destination_length) = nullptr;
  // Resolved and required at start-up; nothing calls it.
  void* uncompressed_length = nullptr;
  // Unpacks; *destination_length holds the capacity on entry. 0 = success.
  int32_t (*uncompress)(const uint8_t* source, uint32_t source_length, uint8_t* destination,
                        uint32_t* destination_length) = nullptr;
};

extern compression_library_entries compression_library;
