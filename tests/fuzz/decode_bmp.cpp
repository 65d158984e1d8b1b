// libFuzzer target: the BMP reader over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/engine_state.h"
#include "image/decode_bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string name = "fuzz";
  picture_buffer picture;
  decode_bmp(data, size, name, picture);
  free_picture_buffer(picture);
  quit_flag = 0;
  return 0;
}
