// The compression library the player loads by name at start-up. Its four entry
// points keep C names so they can be looked up with the platform's loader.
#include <cstdint>

#include "format/rirud_codec.h"

extern "C" {

__attribute__((visibility("default"))) uint32_t RIRud_CompressedLength(uint32_t length) {
  return rirud_compressed_length(length);
}

__attribute__((visibility("default"))) int RIRud_Compress(const void* source, uint32_t length, void* destination,
                                                          uint32_t* destination_length) {
  return rirud_compress(static_cast<const uint8_t*>(source), length, static_cast<uint8_t*>(destination),
                        destination_length);
}

__attribute__((visibility("default"))) uint32_t RIRud_UncompressedLength(const void* source, uint32_t length) {
  return rirud_uncompressed_length(static_cast<const uint8_t*>(source), length);
}

__attribute__((visibility("default"))) int RIRud_Uncompress(const void* source, uint32_t length, void* destination,
                                                            uint32_t* destination_length) {
  return rirud_uncompress(static_cast<const uint8_t*>(source), length, static_cast<uint8_t*>(destination),
                          destination_length);
}

}  // extern "C"
