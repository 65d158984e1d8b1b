// Hostile WAV images: the chunk walk, the format block and every converter
// must stay inside the image and the declared sizes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sound/wave_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copy so reads past the end are caught exactly at the image's end.
  std::vector<uint8_t> image(data, data + size);
  wave_chunks chunks;
  if (find_wave_chunks(image.data(), image.size(), chunks) != 0) return 0;
  if (chunks.format_offset + chunks.format_size > image.size()) __builtin_trap();
  if (chunks.data_offset + chunks.data_size > image.size()) __builtin_trap();
  wave_format_block format;
  if (read_wave_format(image.data(), chunks, format) != 0) return 0;
  if (format.extra.size() != format.extra_size) __builtin_trap();
  wave_format_block out;
  std::vector<uint8_t> pcm;
  if (format.format_tag != wave_tag_pcm &&
      convert_wave_to_pcm(format, image.data() + chunks.data_offset, chunks.data_size, out, pcm) == 0) {
    if (out.block_align == 0 || pcm.size() % out.block_align != 0) __builtin_trap();
  }
  return 0;
}
