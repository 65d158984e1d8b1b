#include "sound/wave_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "format/byte_io.h"

namespace {

int16_t s16(const uint8_t* p) { return static_cast<int16_t>(get_u16(p)); }
bool tag_is(const uint8_t* p, const char* t) { return std::memcmp(p, t, 4) == 0; }

void put16(std::vector<uint8_t>& out, size_t at, int v) {
  out[at] = static_cast<uint8_t>(v & 0xFF);
  out[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

int clamp16(int v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }

// ---------------------------------------------------------------- G.711

int mulaw_to_linear(uint8_t u) {
  u = static_cast<uint8_t>(~u);
  int t = ((u & 0x0F) << 3) + 0x84;
  t <<= (u & 0x70) >> 4;
  return (u & 0x80) ? (0x84 - t) : (t - 0x84);
}

int alaw_to_linear(uint8_t a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  int seg = (a & 0x70) >> 4;
  if (seg == 0) t += 8;
  else if (seg == 1) t += 0x108;
  else t = (t + 0x108) << (seg - 1);
  return (a & 0x80) ? t : -t;
}

// ---------------------------------------------------------------- IMA ADPCM

const int ima_steps[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int ima_index_steps[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

struct ima_state {
  int predictor = 0, index = 0;
  int decode(int nibble) {
    int step = ima_steps[index];
    int diff = step >> 3;
    if (nibble & 4) diff += step;
    if (nibble & 2) diff += step >> 1;
    if (nibble & 1) diff += step >> 2;
    predictor = clamp16((nibble & 8) ? predictor - diff : predictor + diff);
    index = std::clamp(index + ima_index_steps[nibble], 0, 88);
    return predictor;
  }
};

int convert_ima(const wave_format_block& in, const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  const size_t ch = in.channels, align = in.block_align;
  if (in.bits != 4 || align < 4 * ch || (align - 4 * ch) % (4 * ch) != 0) return wave_error_no_converter;
  size_t per_block = (align - 4 * ch) * 2 / ch + 1;  // frames per whole block
  size_t blocks = size / align;
  size_t tail = size % align;
  size_t frames = blocks * per_block;
  size_t tail_frames = tail >= 4 * ch ? (tail - 4 * ch) / (4 * ch) * 8 + 1 : 0;
  out.assign((frames + tail_frames) * ch * 2, 0);
  size_t frame_at = 0;
  for (size_t b = 0; b <= blocks; ++b) {
    const uint8_t* p = data + b * align;
    size_t bytes = b < blocks ? align : tail;
    if (bytes < 4 * ch) break;
    size_t groups = (bytes - 4 * ch) / (4 * ch);  // 8 frames per group
    ima_state st[2];
    for (size_t c = 0; c < ch; ++c) {
      st[c].predictor = s16(p + c * 4);
      if (p[c * 4 + 2] > 88) return wave_error_not_possible;
      st[c].index = p[c * 4 + 2];
      put16(out, ((frame_at)*ch + c) * 2, st[c].predictor);
    }
    const uint8_t* q = p + 4 * ch;
    for (size_t gi = 0; gi < groups; ++gi) {
      for (size_t c = 0; c < ch; ++c) {
        for (size_t k = 0; k < 8; ++k) {
          uint8_t byte = q[c * 4 + k / 2];
          int nibble = (k & 1) ? (byte >> 4) : (byte & 0x0F);
          put16(out, ((frame_at + 1 + gi * 8 + k) * ch + c) * 2, st[c].decode(nibble));
        }
      }
      q += 4 * ch;
    }
    frame_at += 1 + groups * 8;
  }
  out.resize(frame_at * ch * 2);
  return 0;
}

// ---------------------------------------------------------------- Microsoft ADPCM

const int ms_adapt[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};
const int ms_standard_coefs[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};

int convert_ms_adpcm(const wave_format_block& in, const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  const size_t ch = in.channels, align = in.block_align;
  if (in.bits != 4 || align < 7 * ch) return wave_error_no_converter;
  std::vector<std::pair<int, int>> coefs;
  size_t per_block = (align - 7 * ch) * 2 / ch + 2;
  if (in.extra_size >= 4 && in.extra.size() >= 4) {
    size_t declared = get_u16(in.extra.data());
    size_t count = get_u16(in.extra.data() + 2);
    if (declared < 2 || declared > per_block || count == 0 || in.extra.size() < 4 + count * 4)
      return wave_error_no_converter;
    per_block = declared;
    for (size_t i = 0; i < count; ++i)
      coefs.emplace_back(s16(in.extra.data() + 4 + i * 4), s16(in.extra.data() + 6 + i * 4));
  } else {
    for (auto& c : ms_standard_coefs) coefs.emplace_back(c[0], c[1]);
  }
  size_t blocks = (size + align - 1) / align;
  out.assign(blocks * per_block * ch * 2, 0);
  size_t frame_at = 0;
  for (size_t b = 0; b < blocks; ++b) {
    const uint8_t* p = data + b * align;
    size_t bytes = std::min(align, size - b * align);
    if (bytes < 7 * ch) break;
    int c1[2], c2[2], delta[2], s1[2], s2[2];
    for (size_t c = 0; c < ch; ++c) {
      size_t pred = p[c];
      if (pred >= coefs.size()) return wave_error_not_possible;
      c1[c] = coefs[pred].first;
      c2[c] = coefs[pred].second;
      delta[c] = s16(p + ch + c * 2);
      s1[c] = s16(p + 3 * ch + c * 2);
      s2[c] = s16(p + 5 * ch + c * 2);
    }
    for (size_t c = 0; c < ch; ++c) {
      put16(out, (frame_at * ch + c) * 2, s2[c]);
      put16(out, ((frame_at + 1) * ch + c) * 2, s1[c]);
    }
    size_t frames = 2;
    size_t nibbles = (bytes - 7 * ch) * 2;
    size_t wanted = (per_block - 2) * ch;
    const uint8_t* q = p + 7 * ch;
    for (size_t n = 0; n < nibbles && n < wanted; ++n) {
      size_t c = n % ch;
      int code = (n & 1) ? (q[n / 2] & 0x0F) : (q[n / 2] >> 4);
      int signed_code = code >= 8 ? code - 16 : code;
      // 64-bit: hostile coefficient tables and step sizes must not overflow.
      int64_t predictor = (static_cast<int64_t>(s1[c]) * c1[c] + static_cast<int64_t>(s2[c]) * c2[c]) >> 8;
      int64_t sum = predictor + static_cast<int64_t>(signed_code) * delta[c];
      int sample = static_cast<int>(std::clamp<int64_t>(sum, -32768, 32767));
      s2[c] = s1[c];
      s1[c] = sample;
      delta[c] = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(ms_adapt[code]) * delta[c] >> 8, INT32_MAX / 768));
      if (delta[c] < 16) delta[c] = 16;
      put16(out, ((frame_at + 2 + n / ch) * ch + c) * 2, sample);
      if (c == ch - 1) ++frames;
    }
    frame_at += frames;
  }
  out.resize(frame_at * ch * 2);
  return 0;
}

}  // namespace

int find_wave_chunks(const uint8_t* image, size_t size, wave_chunks& out) {
  if (!image || size < 8 || !tag_is(image, "RIFF")) return wave_error_not_riff;
  if (size < 12 || !tag_is(image + 8, "WAVE")) return wave_error_not_wave;
  uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(get_u32(image + 4)) + 8, size);
  bool have_format = false, have_data = false;
  uint64_t pos = 12;
  while (pos + 8 <= end && !(have_format && have_data)) {
    const uint8_t* h = image + pos;
    uint64_t body = pos + 8;
    uint64_t length = get_u32(h + 4);
    uint64_t available = end - body;
    if (tag_is(h, "fmt ") && !have_format) {
      if (length > available) break;  // a format block cut short is no format
      out.format_offset = static_cast<size_t>(body);
      out.format_size = static_cast<size_t>(length);
      have_format = true;
    } else if (tag_is(h, "data") && !have_data) {
      // Writers that never fixed the size up leave it too large: keep what is there.
      out.data_offset = static_cast<size_t>(body);
      out.data_size = static_cast<size_t>(std::min(length, available));
      have_data = true;
    }
    pos = body + length + (length & 1);
  }
  if (!have_format) return wave_error_no_format;
  if (!have_data) return wave_error_no_data;
  if (out.format_size < 14) return wave_error_chunks;
  return 0;
}

int read_wave_format(const uint8_t* image, const wave_chunks& chunks, wave_format_block& out) {
  uint8_t block[18] = {};
  std::memcpy(block, image + chunks.format_offset, std::min<size_t>(chunks.format_size, sizeof block));
  out.format_tag = get_u16(block);
  out.channels = get_u16(block + 2);
  out.rate = get_u32(block + 4);
  out.bytes_per_second = get_u32(block + 8);
  out.block_align = get_u16(block + 12);
  out.bits = get_u16(block + 14);
  out.extra_size = chunks.format_size >= 18 ? get_u16(block + 16) : 0;
  out.extra.clear();
  if (out.format_tag == wave_tag_pcm) {
    out.extra_size = 0;  // PCM needs none; some writers leave garbage here
    return 0;
  }
  size_t room = chunks.format_size > 18 ? chunks.format_size - 18 : 0;
  if (out.extra_size > room) return wave_error_no_converter;
  out.extra.assign(image + chunks.format_offset + 18, image + chunks.format_offset + 18 + out.extra_size);
  return 0;
}

int convert_wave_to_pcm(const wave_format_block& in, const uint8_t* data, size_t size, wave_format_block& out_format,
                        std::vector<uint8_t>& out_pcm) {
  if (in.channels < 1 || in.channels > 2 || in.rate == 0 || in.block_align == 0) return wave_error_no_converter;
  out_pcm.clear();
  int result = wave_error_no_converter;
  uint16_t out_bits = 16;
  switch (in.format_tag) {
    case wave_tag_alaw:
    case wave_tag_mulaw: {
      if (in.bits != 8 || in.block_align != in.channels) return wave_error_no_converter;
      out_pcm.resize(size * 2);
      for (size_t i = 0; i < size; ++i)
        put16(out_pcm, i * 2, in.format_tag == wave_tag_alaw ? alaw_to_linear(data[i]) : mulaw_to_linear(data[i]));
      result = 0;
      break;
    }
    case wave_tag_ima_adpcm: result = convert_ima(in, data, size, out_pcm); break;
    case wave_tag_ms_adpcm: result = convert_ms_adpcm(in, data, size, out_pcm); break;
    case wave_tag_extensible: {
      // PCM sub-format only: {00000001-0000-0010-8000-00aa00389b71}.
      static const uint8_t pcm_guid[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
      if (in.extra.size() < 22 || std::memcmp(in.extra.data() + 6, pcm_guid, 16) != 0) return wave_error_no_converter;
      if (in.bits != 8 && in.bits != 16 && in.bits != 24 && in.bits != 32) return wave_error_no_converter;
      if (in.block_align != in.channels * in.bits / 8) return wave_error_no_converter;
      out_pcm.assign(data, data + size / in.block_align * in.block_align);
      out_bits = in.bits;
      result = 0;
      break;
    }
    default: return wave_error_no_converter;
  }
  if (result != 0) return result;
  out_format = wave_format_block{};
  out_format.format_tag = wave_tag_pcm;
  out_format.channels = in.channels;
  out_format.rate = in.rate;
  out_format.bits = out_bits;
  out_format.block_align = static_cast<uint16_t>(in.channels * out_bits / 8);
  out_format.bytes_per_second = in.rate * out_format.block_align;
  return 0;
}
