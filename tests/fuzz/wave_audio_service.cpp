// Hostile WAV images handed to the audio conversion service (FFmpeg): every
// format tag and block it is given must give 16-bit PCM of one or two
// channels, or a refusal, and never read outside the data.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/ffmpeg/ffmpeg_audio_decoder.h"
#include "sound/wave_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<AudioDecoder> decoder = make_ffmpeg_audio_decoder();
  std::vector<uint8_t> image(data, data + size);
  wave_chunks chunks;
  if (find_wave_chunks(image.data(), image.size(), chunks) != 0) return 0;
  wave_format_block format;
  if (read_wave_format(image.data(), chunks, format) != 0) return 0;
  wave_stream_format f;
  f.format_tag = format.format_tag;
  f.channels = format.channels;
  f.rate = format.rate;
  f.bytes_per_second = format.bytes_per_second;
  f.block_align = format.block_align;
  f.bits = format.bits;
  f.extra = format.extra;
  // The data alone, so a read past it is caught at its end.
  std::vector<uint8_t> body(image.begin() + static_cast<std::ptrdiff_t>(chunks.data_offset),
                            image.begin() + static_cast<std::ptrdiff_t>(chunks.data_offset + chunks.data_size));
  decoded_pcm out;
  if (decoder->decode_wave(f, body.data(), body.size(), out) == audio_decode_ok) {
    if (out.channels < 1 || out.channels > 2 || out.rate == 0) __builtin_trap();
    if (out.samples.size() % (size_t(out.channels) * 2) != 0) __builtin_trap();
  }
  return 0;
}
