#include "format/rirud_codec.h"

#include <cstring>
#include <memory>
#include <vector>

#include "format/byte_io.h"
#include "format/hashes.h"

namespace {

constexpr uint8_t magic[4] = {'R', 'Z', '7', '7'};
constexpr uint8_t method_stored = 0;
constexpr uint8_t method_lz77 = 1;
constexpr uint32_t min_match = 4;
constexpr uint32_t max_offset = 65535;
constexpr int hash_bits = 16;



uint32_t hash4(const uint8_t* p) { return (get_u32(p) * 2654435761u) >> (32 - hash_bits); }

// Output cursor that refuses to pass its limit.
struct writer {
  uint8_t* p;
  uint8_t* end;
  bool byte(uint8_t v) {
    if (p == end) return false;
    *p++ = v;
    return true;
  }
  bool count(uint32_t extra) {  // the continuation bytes of a nibble that was 15
    while (extra >= 255) {
      if (!byte(255)) return false;
      extra -= 255;
    }
    return byte(static_cast<uint8_t>(extra));
  }
  bool bytes(const uint8_t* s, uint32_t n) {
    if (static_cast<size_t>(end - p) < n) return false;
    std::memcpy(p, s, n);
    p += n;
    return true;
  }
};

bool emit_sequence(writer& w, const uint8_t* literals, uint32_t literal_count, uint32_t match_length,
                   uint32_t offset) {
  uint32_t lit_nibble = literal_count < 15 ? literal_count : 15;
  uint32_t match_code = match_length ? match_length - min_match : 0;
  uint32_t match_nibble = match_code < 15 ? match_code : 15;
  if (!w.byte(static_cast<uint8_t>(lit_nibble << 4 | match_nibble))) return false;
  if (lit_nibble == 15 && !w.count(literal_count - 15)) return false;
  if (!w.bytes(literals, literal_count)) return false;
  if (!match_length) return true;
  if (!w.byte(static_cast<uint8_t>(offset)) || !w.byte(static_cast<uint8_t>(offset >> 8))) return false;
  if (match_nibble == 15 && !w.count(match_code - 15)) return false;
  return true;
}

// Greedy LZ77 into [out, out + limit); false when it does not fit.
bool pack_lz77(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t limit, uint32_t* produced) {
  writer w{out, out + limit};
  // position + 1, 0 = empty; cleared in one memset (an element loop is slow
  // under coverage instrumentation).
  std::unique_ptr<uint32_t[]> table(new uint32_t[size_t{1} << hash_bits]);
  std::memset(table.get(), 0, sizeof(uint32_t) << hash_bits);
  uint32_t anchor = 0, i = 0;
  while (n >= min_match && i <= n - min_match) {
    uint32_t h = hash4(in + i);
    uint32_t candidate = table[h];
    table[h] = i + 1;
    if (candidate && i - (candidate - 1) <= max_offset && std::memcmp(in + candidate - 1, in + i, min_match) == 0) {
      uint32_t from = candidate - 1;
      uint32_t length = min_match;
      while (i + length < n && in[from + length] == in[i + length]) ++length;
      if (!emit_sequence(w, in + anchor, i - anchor, length, i - from)) return false;
      // Keep the table fed inside long matches so the next search finds them.
      uint32_t end = i + length;
      for (uint32_t k = i + 1; k < end && n - k >= min_match; k += (length > 64 ? 16 : 1))
        table[hash4(in + k)] = k + 1;
      i = anchor = end;
    } else {
      ++i;
    }
  }
  if (!emit_sequence(w, in + anchor, n - anchor, 0, 0)) return false;
  *produced = static_cast<uint32_t>(w.p - out);
  return true;
}

// Reads continuation count bytes; false when the payload ends first or the
// count leaves 32 bits.
bool read_count(const uint8_t*& p, const uint8_t* end, uint32_t& value) {
  for (;;) {
    if (p == end) return false;
    uint8_t b = *p++;
    if (value > 0xFFFFFFFFu - b) return false;
    value += b;
    if (b != 255) return true;
  }
}

int unpack_lz77(const uint8_t* p, const uint8_t* end, uint8_t* out, uint32_t out_size) {
  uint32_t pos = 0;
  for (;;) {
    if (p == end) return rirud_corrupt;  // a stream always ends with its literal sequence
    uint8_t token = *p++;
    uint32_t literals = token >> 4;
    if (literals == 15 && !read_count(p, end, literals)) return rirud_corrupt;
    if (literals > static_cast<size_t>(end - p) || literals > out_size - pos) return rirud_corrupt;
    if (literals) std::memcpy(out + pos, p, literals);
    p += literals;
    pos += literals;
    if (p == end) return (token & 15) == 0 && pos == out_size ? rirud_ok : rirud_corrupt;
    if (end - p < 2) return rirud_corrupt;
    uint32_t offset = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
    p += 2;
    uint32_t length = token & 15;
    if (length == 15 && !read_count(p, end, length)) return rirud_corrupt;
    if (length > 0xFFFFFFFFu - min_match) return rirud_corrupt;
    length += min_match;
    if (offset == 0 || offset > pos || length > out_size - pos) return rirud_corrupt;
    uint8_t* d = out + pos;
    const uint8_t* s = d - offset;
    if (offset >= length) {
      std::memcpy(d, s, length);
    } else {
      for (uint32_t k = 0; k < length; ++k) d[k] = s[k];  // overlapping run
    }
    pos += length;
  }
}

}  // namespace

uint32_t rirud_compressed_length(uint32_t length) {
  if (length > rirud_max_input) return 0xFFFFFFFFu;
  return length + rirud_header_size;  // stored mode is the worst case
}

int rirud_compress(const uint8_t* source, uint32_t length, uint8_t* destination, uint32_t* destination_length) {
  if (!destination || !destination_length || (!source && length)) return rirud_bad_argument;
  if (length > rirud_max_input) return rirud_too_large;
  uint32_t capacity = *destination_length;
  if (capacity < rirud_header_size) return rirud_no_room;
  uint32_t room = capacity - rirud_header_size;
  uint8_t* payload = destination + rirud_header_size;

  uint8_t method = method_lz77;
  uint32_t packed = 0;
  // LZ77 only pays when it beats the stored bytes; stored always fits the bound.
  uint32_t limit = room < length ? room : length;
  if (length == 0 || !pack_lz77(source, length, payload, limit, &packed)) {
    if (room < length) return rirud_no_room;
    method = method_stored;
    if (length) std::memcpy(payload, source, length);
    packed = length;
  }
  std::memcpy(destination, magic, 4);
  destination[4] = method;
  destination[5] = destination[6] = destination[7] = 0;
  put_u32(destination + 8, length);
  put_u32(destination + 12, packed);
  put_u32(destination + 16, compute_crc32(source, length));
  *destination_length = rirud_header_size + packed;
  return rirud_ok;
}

namespace {
int check_header(const uint8_t* source, uint32_t length) {
  if (!source || length < rirud_header_size) return rirud_wrong_length;
  if (std::memcmp(source, magic, 4) != 0 || source[4] > method_lz77 || source[5] || source[6] || source[7])
    return rirud_bad_header;
  return rirud_ok;
}
}  // namespace

uint32_t rirud_uncompressed_length(const uint8_t* source, uint32_t length) {
  if (check_header(source, length) != rirud_ok) return 0xFFFFFFFFu;
  return get_u32(source + 8);
}

int rirud_uncompress(const uint8_t* source, uint32_t length, uint8_t* destination, uint32_t* destination_length) {
  if (!destination_length) return rirud_bad_argument;
  if (int r = check_header(source, length); r != rirud_ok) return r;
  uint32_t unpacked = get_u32(source + 8);
  uint32_t payload = get_u32(source + 12);
  uint32_t crc = get_u32(source + 16);
  if (payload != length - rirud_header_size || unpacked != *destination_length) return rirud_wrong_length;
  if (!destination && unpacked) return rirud_bad_argument;
  const uint8_t* p = source + rirud_header_size;
  if (source[4] == method_stored) {
    if (payload != unpacked) return rirud_corrupt;
    if (unpacked) std::memcpy(destination, p, unpacked);
  } else {
    if (int r = unpack_lz77(p, p + payload, destination, unpacked); r != rirud_ok) return r;
  }
  if (compute_crc32(destination, unpacked) != crc) return rirud_bad_checksum;
  return rirud_ok;
}
