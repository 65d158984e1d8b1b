// libFuzzer target: the GIF reader over arbitrary bytes, keeping the frames,
// then every kept frame drawn into a small picture (frames placed anywhere).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/engine_state.h"
#include "image/decode_gif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string name = "fuzz";
  picture_buffer picture;
  gif_frame_table frames;
  if (decode_gif_frames(data, size, name, picture, &frames) == 0) {
    uint8_t small[7 * 5 * 4];
    for (const auto& f : frames.frames) draw_gif_frame(*f, small, 7, 5);
  }
  free_picture_buffer(picture);
  quit_flag = 0;
  return 0;
}
