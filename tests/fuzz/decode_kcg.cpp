// libFuzzer target: the KCG reader over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/engine_state.h"
#include "image/decode_kcg.h"
#include "core/compression_library.h"
#include "quiet_reports.h"

namespace {

// A stand-in library so the packed mode is reached: copies what fits.
int copy_uncompress(const void* source, uint32_t n, void* destination, uint32_t* dst_len) {
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  const uint32_t count = n < *dst_len ? n : *dst_len;
  for (uint32_t i = 0; i < count; ++i) dst[i] = src[i];
  *dst_len = count;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quiet_reports();
  static const std::string name = "fuzz";
  compression_library.uncompress = copy_uncompress;
  picture_buffer picture;
  decode_kcg(data, size, name, picture);
  free_picture_buffer(picture);
  quit_flag = 0;
  return 0;
}
