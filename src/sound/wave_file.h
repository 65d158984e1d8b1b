// WAV images in memory: the bounded RIFF chunk walk, the format block, and the
// player's own converters from the non-PCM formats (IMA and Microsoft ADPCM,
// A-law, mu-law, extensible PCM) to 16-bit PCM.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum : uint16_t {
  wave_tag_pcm = 0x0001,
  wave_tag_ms_adpcm = 0x0002,
  wave_tag_alaw = 0x0006,
  wave_tag_mulaw = 0x0007,
  wave_tag_ima_adpcm = 0x0011,
  wave_tag_extensible = 0xFFFE,
};

// The WAV error codes of the sound player (negative; shown by the sound thread).
enum : int {
  wave_error_open = -10030,
  wave_error_not_riff = -10040,
  wave_error_not_wave = -10050,
  wave_error_no_format = -10060,
  wave_error_no_data = -10080,
  wave_error_chunks = -10090,
  wave_error_no_converter = -10200,
  wave_error_convert_memory = -10210,
  wave_error_output_memory = -10220,
  wave_error_not_possible = -10310,
};

struct wave_chunks {
  size_t format_offset = 0, format_size = 0;  // body of "fmt "
  size_t data_offset = 0, data_size = 0;      // body of "data", clamped to the image
};

struct wave_format_block {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint32_t bytes_per_second = 0;
  uint16_t block_align = 0;
  uint16_t bits = 0;
  uint16_t extra_size = 0;
  std::vector<uint8_t> extra;  // exactly extra_size bytes
};

// Walks the chunks of a RIFF/WAVE image: from byte 12 up to the RIFF size + 8
// and never past the image, each chunk padded to even length. Returns 0, or
// one of the codes above: not "RIFF", not "WAVE", no "fmt ", no "data", or a
// "fmt " chunk shorter than 14 bytes (wave_error_chunks).
int find_wave_chunks(const uint8_t* image, size_t size, wave_chunks& out);

// Reads the format chunk as a zero-padded block of at least 18 bytes. The extra
// bytes must lie inside the chunk (else wave_error_no_converter for non-PCM
// tags, whose converters need them).
int read_wave_format(const uint8_t* image, const wave_chunks& chunks, wave_format_block& out);

// Converts non-PCM data to 16-bit PCM (`out_format` tag 1). Returns 0 or
// wave_error_no_converter (unknown tag or a format no converter accepts) or
// wave_error_not_possible (broken block data).
int convert_wave_to_pcm(const wave_format_block& in, const uint8_t* data, size_t size, wave_format_block& out_format,
                        std::vector<uint8_t>& out_pcm);
