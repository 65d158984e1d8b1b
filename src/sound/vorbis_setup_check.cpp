#include "sound/vorbis_setup_check.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

namespace {

// Vorbis packs fields from the least significant bit of each byte upward.
// Every read is checked against the packet end; once past it, the reader
// stays failed.
class bit_reader {
 public:
  bit_reader(const uint8_t* data, size_t size) : data_(data), bits_(static_cast<uint64_t>(size) * 8) {}
  uint32_t read(int n) {
    if (failed_ || static_cast<uint64_t>(n) > bits_ - pos_) {
      failed_ = true;
      return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_)
      v |= static_cast<uint32_t>((data_[pos_ >> 3] >> (pos_ & 7)) & 1) << i;
    return v;
  }
  // Skips n bits (n may be large: a codebook's multiplicands).
  void skip(uint64_t n) {
    if (failed_ || n > bits_ - pos_) {
      failed_ = true;
      return;
    }
    pos_ += n;
  }
  bool failed() const { return failed_; }
  uint64_t position() const { return pos_; }

 private:
  const uint8_t* data_;
  uint64_t bits_;
  uint64_t pos_ = 0;
  bool failed_ = false;
};

int ilog(uint32_t v) {
  int n = 0;
  while (v) {
    ++n;
    v >>= 1;
  }
  return n;
}

// The greatest r with r^dimensions <= entries, or -1 when there is none or no
// bound (dimension 0: every r qualifies).
int64_t lookup1_values(uint32_t entries, uint32_t dimensions) {
  if (dimensions == 0) return -1;
  auto fits = [&](uint64_t r) {
    uint64_t p = 1;
    for (uint32_t i = 0; i < dimensions; ++i) {
      p *= r;
      if (p > entries) return false;
      if (r <= 1) break;  // 0 or 1 to any power
    }
    return p <= entries;
  };
  // r^dimensions <= entries < 2^24 keeps r below 2^24; bisect.
  uint64_t lo = 0, hi = uint64_t{1} << 24;
  if (!fits(0)) return -1;
  while (lo < hi) {
    uint64_t mid = (lo + hi + 1) / 2;
    if (fits(mid)) lo = mid;
    else hi = mid - 1;
  }
  return static_cast<int64_t>(lo);
}

using fault = vorbis_setup_fault;

#define VS_CHECK(cond, f) \
  do {                    \
    if (!(cond)) return f; \
  } while (0)
#define VS_READ(var, n)                          \
  do {                                           \
    (var) = r.read(n);                           \
    if (r.failed()) return fault::truncated;     \
  } while (0)

#define VS_TRY(expr)                     \
  do {                                   \
    fault f_ = (expr);                   \
    if (f_ != fault::none) return f_;    \
  } while (0)

// Codewords of `count` entries of one length take their share of the code
// space (2^32 = the whole tree, lengths 1..32). A tree filled past the whole
// has no valid Huffman code; libvorbis takes some such books and then
// decodes entries that its tables do not hold (a divide by zero in its
// residue decode).
fault fill_tree(uint64_t& code_space, uint32_t length, uint64_t count = 1) {
  code_space += count << (32 - length);  // count < 2^24: no overflow below 2^56
  VS_CHECK(code_space <= (uint64_t{1} << 32), fault::codebook_lengths);
  return fault::none;
}

fault read_codebook(bit_reader& r, vorbis_setup_summary::codebook& cb) {
  cb.bit_offset = r.position();
  uint32_t sync;
  VS_READ(sync, 24);
  VS_CHECK(sync == 0x564342, fault::codebook_sync);
  VS_READ(cb.dimensions, 16);
  VS_READ(cb.entries, 24);
  uint32_t ordered;
  VS_READ(ordered, 1);
  uint64_t code_space = 0, used_entries = 0;
  if (!ordered) {
    uint32_t sparse;
    VS_READ(sparse, 1);
    // One length of 5 bits, or a flag and maybe a length, per entry: the
    // packet end bounds the loop, whatever the entry count claims.
    for (uint32_t i = 0; i < cb.entries; ++i) {
      uint32_t used = 1, length;
      if (sparse) VS_READ(used, 1);
      if (!used) continue;
      VS_READ(length, 5);
      VS_TRY(fill_tree(code_space, length + 1));
      ++used_entries;
    }
  } else {
    uint32_t current = 0, length;
    VS_READ(length, 5);
    ++length;
    // Each run reads at least one bit while entries remain.
    while (current < cb.entries) {
      uint32_t number;
      VS_READ(number, ilog(cb.entries - current));
      VS_CHECK(number <= cb.entries - current, fault::codebook_lengths);
      VS_CHECK(number == 0 || length <= 32, fault::codebook_lengths);
      if (number) VS_TRY(fill_tree(code_space, length, number));
      used_entries += number;
      current += number;
      if (length <= 32) ++length;
      else length = 33;
    }
  }
  // A tree with gaps is as broken as an overfilled one (libvorbis decodes
  // into the gap), except the single codeword of a one-entry book.
  VS_CHECK(used_entries < 2 || code_space == (uint64_t{1} << 32), fault::codebook_lengths);
  VS_READ(cb.lookup_type, 4);
  VS_CHECK(cb.lookup_type <= 2, fault::lookup_type);
  if (cb.lookup_type != 0) {
    r.skip(64);  // minimum and delta values
    uint32_t value_bits, sequence;
    VS_READ(value_bits, 4);
    ++value_bits;
    VS_READ(sequence, 1);
    (void)sequence;
    int64_t values;
    if (cb.lookup_type == 1) values = lookup1_values(cb.entries, cb.dimensions);
    else values = static_cast<int64_t>(cb.entries) * cb.dimensions;
    // The decoder keeps counts in 32-bit integers and expands every VQ book
    // to entries x dimensions values.
    VS_CHECK(values >= 0 && values <= INT32_MAX, fault::lookup_count);
    VS_CHECK(static_cast<uint64_t>(cb.entries) * cb.dimensions <= INT32_MAX, fault::lookup_count);
    r.skip(static_cast<uint64_t>(values) * value_bits);
    if (r.failed()) return fault::truncated;
  }
  return fault::none;
}

// A codebook a floor or residue decodes with: inside the table and of at
// least one dimension (the decoder divides by it).
fault use_book(const vorbis_setup_summary& s, uint32_t book) {
  VS_CHECK(book < s.codebooks.size(), fault::index_past_table);
  VS_CHECK(s.codebooks[book].dimensions != 0, fault::zero_dimension);
  return fault::none;
}

fault read_floor(bit_reader& r, const vorbis_setup_summary& s, uint32_t& type) {
  VS_READ(type, 16);
  VS_CHECK(type <= 1, fault::floor_type);
  uint32_t v;
  if (type == 0) {
    r.skip(8 + 16 + 16 + 6 + 8);  // order, rate, bark map size, amplitude bits and offset
    uint32_t books;
    VS_READ(books, 4);
    for (uint32_t i = 0; i <= books; ++i) {
      VS_READ(v, 8);
      VS_TRY(use_book(s, v));
    }
    return fault::none;
  }
  uint32_t partitions;
  VS_READ(partitions, 5);
  uint32_t partition_class[31];
  int max_class = -1;
  for (uint32_t i = 0; i < partitions; ++i) {
    VS_READ(partition_class[i], 4);
    max_class = std::max(max_class, static_cast<int>(partition_class[i]));
  }
  uint32_t class_dimensions[16] = {};
  for (int c = 0; c <= max_class; ++c) {
    VS_READ(v, 3);
    class_dimensions[c] = v + 1;
    uint32_t subclasses;
    VS_READ(subclasses, 2);
    if (subclasses) {
      VS_READ(v, 8);
      VS_TRY(use_book(s, v));
    }
    for (uint32_t j = 0; j < (1u << subclasses); ++j) {
      VS_READ(v, 8);
      if (v != 0) VS_TRY(use_book(s, v - 1));  // 0 means no book
    }
  }
  r.skip(2);  // multiplier
  uint32_t range_bits;
  VS_READ(range_bits, 4);
  // X list: 0 and 2^range_bits first, at most 65 values, all different.
  uint32_t xs[65];
  size_t count = 2;
  xs[0] = 0;
  xs[1] = 1u << range_bits;
  for (uint32_t i = 0; i < partitions; ++i) {
    for (uint32_t j = 0; j < class_dimensions[partition_class[i]]; ++j) {
      VS_CHECK(count < 65, fault::floor_values);
      VS_READ(xs[count], static_cast<int>(range_bits));
      ++count;
    }
  }
  std::sort(xs, xs + count);
  VS_CHECK(std::adjacent_find(xs, xs + count) == xs + count, fault::floor_values);
  return fault::none;
}

fault read_residue(bit_reader& r, const vorbis_setup_summary& s, vorbis_setup_summary::residue& res) {
  VS_READ(res.type, 16);
  VS_CHECK(res.type <= 2, fault::residue_type);
  r.skip(24 + 24 + 24);  // begin, end, partition size - 1
  uint32_t classifications;
  VS_READ(classifications, 6);
  ++classifications;
  VS_READ(res.classbook, 8);
  VS_TRY(use_book(s, res.classbook));
  uint32_t cascade[64];
  for (uint32_t i = 0; i < classifications; ++i) {
    uint32_t low, high = 0, flag;
    VS_READ(low, 3);
    VS_READ(flag, 1);
    if (flag) VS_READ(high, 5);
    cascade[i] = high * 8 + low;
  }
  for (uint32_t i = 0; i < classifications; ++i) {
    for (int j = 0; j < 8; ++j) {
      if (!(cascade[i] & (1u << j))) continue;
      uint32_t book;
      VS_READ(book, 8);
      VS_TRY(use_book(s, book));
      res.books.push_back(book);
    }
  }
  return fault::none;
}

fault read_mapping(bit_reader& r, const vorbis_setup_summary& s, uint32_t channels) {
  uint32_t type, v;
  VS_READ(type, 16);
  VS_CHECK(type == 0, fault::mapping_type);
  uint32_t submaps = 1;
  VS_READ(v, 1);
  if (v) {
    VS_READ(submaps, 4);
    ++submaps;
  }
  VS_READ(v, 1);
  if (v) {
    uint32_t steps;
    VS_READ(steps, 8);
    ++steps;
    const int width = ilog(channels - 1);
    for (uint32_t i = 0; i < steps; ++i) {
      uint32_t magnitude, angle;
      VS_READ(magnitude, width);
      VS_READ(angle, width);
      VS_CHECK(magnitude != angle && magnitude < channels && angle < channels, fault::mapping_coupling);
    }
  }
  VS_READ(v, 2);
  VS_CHECK(v == 0, fault::reserved_bits);
  if (submaps > 1) {
    for (uint32_t c = 0; c < channels; ++c) {
      VS_READ(v, 4);
      VS_CHECK(v < submaps, fault::index_past_table);
    }
  }
  for (uint32_t i = 0; i < submaps; ++i) {
    r.skip(8);  // unused time configuration
    VS_READ(v, 8);
    VS_CHECK(v < s.floor_types.size(), fault::index_past_table);
    VS_READ(v, 8);
    VS_CHECK(v < s.residues.size(), fault::index_past_table);
  }
  return fault::none;
}

}  // namespace

vorbis_setup_fault check_vorbis_setup_packet(const uint8_t* packet, size_t size, int channels,
                                             vorbis_setup_summary* summary) {
  vorbis_setup_summary local;
  vorbis_setup_summary& s = summary ? *summary : local;
  s = vorbis_setup_summary{};
  if (channels < 1 || channels > 255) return fault::bad_identification;
  if (!packet || size < 7 || packet[0] != 5 || std::memcmp(packet + 1, "vorbis", 6) != 0) return fault::not_setup;
  bit_reader r(packet + 7, size - 7);
  uint32_t v;

  VS_READ(v, 8);
  s.codebooks.resize(v + 1);
  for (auto& cb : s.codebooks) {
    VS_TRY(read_codebook(r, cb));
    cb.bit_offset += 56;  // from the packet start, past type and signature
  }

  VS_READ(v, 6);
  for (uint32_t i = 0; i <= v; ++i) {
    uint32_t t;
    VS_READ(t, 16);
    VS_CHECK(t == 0, fault::time_domain);
  }

  VS_READ(v, 6);
  s.floor_types.resize(v + 1);
  for (auto& type : s.floor_types) VS_TRY(read_floor(r, s, type));

  VS_READ(v, 6);
  s.residues.resize(v + 1);
  for (auto& res : s.residues) VS_TRY(read_residue(r, s, res));

  VS_READ(v, 6);
  s.mappings = v + 1;
  for (uint32_t i = 0; i < s.mappings; ++i) VS_TRY(read_mapping(r, s, static_cast<uint32_t>(channels)));

  VS_READ(v, 6);
  s.modes = v + 1;
  for (uint32_t i = 0; i < s.modes; ++i) {
    uint32_t window, transform, mapping;
    r.skip(1);  // block flag
    VS_READ(window, 16);
    VS_READ(transform, 16);
    VS_CHECK(window == 0 && transform == 0, fault::mode_transform);
    VS_READ(mapping, 8);
    VS_CHECK(mapping < s.mappings, fault::index_past_table);
  }
  VS_READ(v, 1);
  VS_CHECK(v == 1, fault::framing);
  return fault::none;
}

vorbis_setup_fault check_vorbis_setups(const uint8_t* data, size_t size) {
  // Per logical stream: waiting for the identification header, then reading
  // header packets until the first audio packet.
  struct stream {
    ogg_stream_state os;
    int channels = 0;
    bool headers = false;  // identification seen, audio not yet
    bool done = false;
  };
  std::map<int, stream> streams;
  ogg_sync_state oy;
  ogg_sync_init(&oy);
  fault result = fault::none;
  size_t fed = 0;
  const size_t chunk = 65536;
  while (result == fault::none) {
    ogg_page og;
    int got = ogg_sync_pageout(&oy, &og);
    if (got < 0) continue;  // bytes skipped while seeking the next page
    if (got == 0) {
      if (fed >= size) break;
      size_t n = std::min(chunk, size - fed);
      char* buffer = ogg_sync_buffer(&oy, static_cast<long>(n));
      if (!buffer) break;
      std::memcpy(buffer, data + fed, n);
      ogg_sync_wrote(&oy, static_cast<long>(n));
      fed += n;
      continue;
    }
    const int serial = ogg_page_serialno(&og);
    auto it = streams.find(serial);
    if (ogg_page_bos(&og)) {
      // A new stream, or a chained link reusing a serial number: start over.
      if (it == streams.end()) {
        it = streams.emplace(serial, stream{}).first;
        ogg_stream_init(&it->second.os, serial);
      } else {
        ogg_stream_reset_serialno(&it->second.os, serial);
      }
      it->second.channels = 0;
      it->second.headers = false;
      it->second.done = false;
    }
    if (it == streams.end() || it->second.done) continue;
    stream& st = it->second;
    if (ogg_stream_pagein(&st.os, &og) != 0) continue;
    ogg_packet op;
    int rc;
    while (!st.done && (rc = ogg_stream_packetout(&st.os, &op)) != 0) {
      if (rc < 0) continue;  // a hole: whatever follows is still checked
      const uint8_t* p = op.packet;
      const size_t n = static_cast<size_t>(op.bytes);
      const bool vorbis_header = n >= 7 && (p[0] & 1) && std::memcmp(p + 1, "vorbis", 6) == 0;
      if (!st.headers) {
        // The first packet decides whether the stream is Vorbis at all.
        if (!(vorbis_header && p[0] == 1)) {
          st.done = true;
        } else if (n < 12 || p[11] == 0) {
          result = fault::bad_identification;
          st.done = true;
        } else {
          st.channels = p[11];
          st.headers = true;
        }
      } else if (n == 0 || !(p[0] & 1)) {
        st.done = true;  // audio: the headers are behind us
      } else if (vorbis_header && p[0] == 5) {
        result = check_vorbis_setup_packet(p, n, st.channels);
        if (result != fault::none) st.done = true;
      }
    }
    if (st.done) ogg_stream_clear(&st.os), ogg_stream_init(&st.os, serial);
  }
  for (auto& [serial, st] : streams) ogg_stream_clear(&st.os);
  ogg_sync_clear(&oy);
  return result;
}
