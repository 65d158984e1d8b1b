#include "format/pack_format.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "format/hashes.h"

namespace {

// The one-byte constant of the name transform and the text of the code-file
// key. Changing either makes every existing pack and code file unreadable.
constexpr uint8_t name_transform_key = 0xA7;
constexpr uint8_t name_transform_add = 0x5B;
constexpr char code_file_key_text[] = "zarvik compiled section key 1.0";

constexpr std::array<uint8_t, 256> make_length_table() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i);
  // A fixed series of pairwise swaps over the identity.
  for (int i = 0; i < 256; ++i) {
    int j = (i * 97 + 61) & 0xFF;
    uint8_t v = t[i];
    t[i] = t[j];
    t[j] = v;
  }
  return t;
}
constexpr std::array<uint8_t, 256> length_table = make_length_table();

constexpr std::array<uint8_t, 256> make_inverse(const std::array<uint8_t, 256>& t) {
  std::array<uint8_t, 256> inv{};
  for (int i = 0; i < 256; ++i) inv[t[i]] = static_cast<uint8_t>(i);
  return inv;
}
constexpr std::array<uint8_t, 256> length_inverse = make_inverse(length_table);

bool is_lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// Shift-JIS aware lower-casing (trail bytes untouched), as names are hashed.
std::string lower_name(std::string_view s) {
  std::string out(s);
  for (size_t i = 0; i < out.size(); ++i) {
    uint8_t b = static_cast<uint8_t>(out[i]);
    if (is_lead(b) && i + 1 < out.size()) {
      ++i;
    } else if (b >= 'A' && b <= 'Z') {
      out[i] = static_cast<char>(b + 32);
    }
  }
  return out;
}

bool iends_with(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    uint8_t a = static_cast<uint8_t>(s[s.size() - suffix.size() + i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<uint8_t>(a + 32);
    if (a != static_cast<uint8_t>(suffix[i])) return false;
  }
  return true;
}

}  // namespace

uint8_t resource_type_of_name(std::string_view name) {
  static const struct {
    const char* suffix;
    uint8_t type;
  } order[] = {{".bmp", resource_type_bmp}, {".png", resource_type_png}, {".jpg", resource_type_jpeg},
               {".gif", resource_type_gif}, {".psd", resource_type_psd}, {".kcg", resource_type_kcg},
               {".wav", resource_type_wav}, {".ogg", resource_type_ogg}};
  for (const auto& o : order)
    if (iends_with(name, o.suffix)) return o.type;
  return resource_type_none;
}

namespace {

constexpr std::array<uint8_t, 256> make_unscramble_table() {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    uint8_t x = static_cast<uint8_t>(b - name_transform_add);
    x = static_cast<uint8_t>((x >> 3) | (x << 5));
    t[b] = static_cast<uint8_t>(x ^ name_transform_key);
  }
  return t;
}
constexpr std::array<uint8_t, 256> unscramble_table = make_unscramble_table();

}  // namespace

const std::array<uint8_t, 256>& pack_name_length_table() { return length_table; }
const std::array<uint8_t, 256>& pack_name_unscramble_table() { return unscramble_table; }
const std::array<uint8_t, 256>& pack_name_length_inverse() { return length_inverse; }

uint8_t scramble_name_byte(uint8_t plain) {
  uint8_t x = static_cast<uint8_t>(plain ^ name_transform_key);
  x = static_cast<uint8_t>((x << 3) | (x >> 5));
  return static_cast<uint8_t>(x + name_transform_add);
}

uint8_t unscramble_name_byte(uint8_t stored) { return unscramble_table[stored]; }

void scramble_name_bytes(const char* plain, size_t size, uint8_t* out) {
  // The transform in arithmetic rather than by table, so the loop runs on
  // many bytes at once.
  for (size_t i = 0; i < size; ++i) {
    uint8_t x = static_cast<uint8_t>(static_cast<uint8_t>(plain[i]) ^ name_transform_key);
    x = static_cast<uint8_t>((x << 3) | (x >> 5));
    out[i] = static_cast<uint8_t>(x + name_transform_add);
  }
}

std::string scramble_name(std::string_view plain) {
  std::string out(plain);
  for (char& c : out) c = static_cast<char>(scramble_name_byte(static_cast<uint8_t>(c)));
  return out;
}

std::string unscramble_name(std::string_view stored) {
  std::string out(stored);
  for (char& c : out) c = static_cast<char>(unscramble_name_byte(static_cast<uint8_t>(c)));
  return out;
}

std::array<uint8_t, 4> derive_code_file_key() {
  uint32_t crc = compute_crc32(code_file_key_text, sizeof(code_file_key_text) - 1);
  return {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 8),
          static_cast<uint8_t>(crc)};
}

void scramble_code_section(uint8_t* data, size_t size, const std::array<uint8_t, 4>& key) {
  for (size_t i = 0; i < size; ++i) data[i] ^= key[i & 3];
}

bool memory_read_file::read_at(uint64_t offset, void* buffer, size_t length) {
  if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
  if (length) std::memcpy(buffer, bytes_.data() + offset, length);
  return true;
}

pack_header_status read_pack_header(HostReadFile& file, pack_header_info& out) {
  uint8_t h[16];
  // One read when the file holds the whole header; a shorter file still
  // needs its magic to tell "no pack" from "truncated pack".
  const uint64_t size = file.size();
  if (size < 4 || !file.read_at(0, h, size < 16 ? 4 : 16)) return pack_header_status::not_a_pack;
  if (h[0] != 'K' || h[1] != 'P' || h[2] != 'F' || h[3] != 0) return pack_header_status::not_a_pack;
  if (size < 16) return pack_header_status::truncated;
  out.version = get_u32(h + 4);
  out.entry_count = get_u32(h + 8);
  out.table_size = get_u32(h + 12);
  return pack_header_status::ok;
}

bool read_pack_entry_table(HostReadFile& file, const pack_header_info& header, std::vector<pack_entry_info>& out) {
  out.clear();
  uint64_t file_size = file.size();
  if (file_size < pack_header_size || header.table_size > file_size - pack_header_size) return false;
  // Each entry takes at least its fixed part, so the count is bounded by the
  // table before anything is allocated for it.
  if (header.entry_count > header.table_size / pack_entry_fixed_size) return false;
  std::vector<uint8_t> table(header.table_size);
  if (header.table_size && !file.read_at(pack_header_size, table.data(), table.size())) return false;
  out.reserve(header.entry_count);
  size_t pos = 0;
  const auto& lengths = pack_name_length_table();
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    if (table.size() - pos < pack_entry_fixed_size) return false;
    pack_entry_info e;
    e.entry_position = pack_header_size + pos + 4;
    e.name_hash = get_u32(&table[pos]);
    size_t n = lengths[table[pos + 4]];
    if (table.size() - pos < pack_entry_fixed_size + n) return false;
    e.name = unscramble_name(std::string_view(reinterpret_cast<const char*>(&table[pos + 5]), n));
    size_t p = pos + 5 + n;
    e.type = table[p];
    e.fields_position = pack_header_size + p + 1;
    pack_entry_fields f;
    decode_pack_entry_fields(&table[p + 1], f);
    e.compression = f.compression;
    e.unpacked_size = f.unpacked_size;
    e.stored_size = f.stored_size;
    e.data_offset = f.data_offset;
    e.checksum = f.checksum;
    out.push_back(std::move(e));
    pos = p + 1 + pack_entry_fields_size;
  }
  return true;
}

void decode_pack_entry_fields(const uint8_t* p, pack_entry_fields& out) {
  out.compression = p[0];
  out.unpacked_size = get_u32(p + 1);
  out.stored_size = get_u32(p + 5);
  out.data_offset = get_u64(p + 9);
  out.checksum = get_u32(p + 17);
}

repair_trailer_status read_pack_repair_trailer(HostReadFile& file, uint64_t trailer_offset, uint32_t stored_size,
                                               pack_repair_trailer& out) {
  uint8_t h[8];
  if (!file.read_at(trailer_offset, h, 4)) return repair_trailer_status::bad;
  out.parity_size = get_u32(h);
  if (out.parity_size == 0) return repair_trailer_status::none;
  if (out.parity_size != pack_repair_block_size || !file.read_at(trailer_offset + 4, h, 4))
    return repair_trailer_status::bad;
  out.block_count = get_u32(h);
  uint64_t expected = (static_cast<uint64_t>(stored_size) + pack_repair_block_size - 1) / pack_repair_block_size;
  if (out.block_count != expected) return repair_trailer_status::bad;
  std::vector<uint8_t> raw(static_cast<size_t>(out.block_count) * 2);
  if (!raw.empty() && !file.read_at(trailer_offset + 8, raw.data(), raw.size())) return repair_trailer_status::bad;
  out.block_crcs.resize(out.block_count);
  for (uint32_t j = 0; j < out.block_count; ++j) out.block_crcs[j] = get_u16(&raw[j * 2]);
  out.parity.resize(pack_repair_block_size);
  if (!file.read_at(trailer_offset + 8 + raw.size(), out.parity.data(), out.parity.size()))
    return repair_trailer_status::bad;
  return repair_trailer_status::ok;
}

void compute_pack_repair_data(const uint8_t* data, size_t size, std::vector<uint16_t>& crcs,
                              std::vector<uint8_t>& parity) {
  size_t blocks = (size + pack_repair_block_size - 1) / pack_repair_block_size;
  crcs.assign(blocks, 0);
  parity.assign(pack_repair_block_size, 0);
  for (size_t j = 0; j < blocks; ++j) {
    size_t start = j * pack_repair_block_size;
    size_t len = std::min<size_t>(pack_repair_block_size, size - start);
    crcs[j] = static_cast<uint16_t>(compute_crc32(data + start, len));
    for (size_t k = 0; k < len; ++k) parity[k] ^= data[start + k];
  }
}

void repair_pack_blocks(uint8_t* data, size_t size, const pack_repair_trailer& trailer) {
  size_t blocks = (size + pack_repair_block_size - 1) / pack_repair_block_size;
  if (trailer.block_crcs.size() != blocks || trailer.parity.size() != pack_repair_block_size) return;
  std::vector<uint16_t> crcs;
  std::vector<uint8_t> xor_now;
  compute_pack_repair_data(data, size, crcs, xor_now);
  for (size_t j = 0; j < blocks; ++j) {
    if (crcs[j] == trailer.block_crcs[j]) continue;
    size_t start = j * pack_repair_block_size;
    size_t len = std::min<size_t>(pack_repair_block_size, size - start);
    for (size_t k = 0; k < len; ++k) {
      if (trailer.parity[k] == xor_now[k]) continue;
      uint8_t v = trailer.parity[k];
      for (size_t o = 0; o < blocks; ++o) {
        if (o == j) continue;
        size_t other_start = o * pack_repair_block_size;
        if (k < std::min<size_t>(pack_repair_block_size, size - other_start)) v ^= data[other_start + k];
      }
      data[start + k] = v;
    }
  }
}

bool build_pack(const std::vector<pack_writer_entry>& entries, std::vector<uint8_t>& out, std::string* error,
                const pack_writer_options& options) {
  struct prepared {
    std::vector<uint8_t> stored;
    uint8_t compression;
  };
  std::vector<prepared> stored(entries.size());
  uint64_t table_size = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const pack_writer_entry& e = entries[i];
    if (e.name.size() > 255) {
      if (error) *error = "entry name longer than 255 bytes: " + e.name;
      return false;
    }
    if (e.data.size() > 0xFFFFFFFFull) {
      if (error) *error = "entry larger than 4 GiB: " + e.name;
      return false;
    }
    table_size += pack_entry_fixed_size + e.name.size();
    stored[i].compression = e.compression;
    if (e.compression == pack_zlib) {
      uLongf cap = compressBound(static_cast<uLong>(e.data.size()));
      stored[i].stored.resize(cap);
      if (compress2(stored[i].stored.data(), &cap, e.data.data(), static_cast<uLong>(e.data.size()), 9) != Z_OK) {
        if (error) *error = "zlib failed on " + e.name;
        return false;
      }
      stored[i].stored.resize(cap);
    } else {
      stored[i].stored = e.data;
    }
  }
  if (table_size > 0xFFFFFFFFull || entries.size() > 0xFFFFFFFFull) {
    if (error) *error = "entry table too large";
    return false;
  }
  out.clear();
  out.insert(out.end(), options.magic.begin(), options.magic.end());
  put_u32(out, options.version);
  put_u32(out, static_cast<uint32_t>(entries.size()));
  put_u32(out, static_cast<uint32_t>(table_size));
  out.resize(pack_header_size, 0);
  // Data starts after the table; compute each entry's offset first.
  uint64_t data_at = pack_header_size + table_size;
  std::vector<uint64_t> offsets(entries.size());
  std::vector<std::vector<uint8_t>> trailers(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    offsets[i] = data_at;
    std::vector<uint8_t>& t = trailers[i];
    const std::vector<uint8_t>& s = stored[i].stored;
    if (entries[i].repair) {
      std::vector<uint16_t> crcs;
      std::vector<uint8_t> parity;
      compute_pack_repair_data(s.data(), s.size(), crcs, parity);
      put_u32(t, pack_repair_block_size);
      put_u32(t, static_cast<uint32_t>(crcs.size()));
      for (uint16_t c : crcs) put_u16(t, c);
      t.insert(t.end(), parity.begin(), parity.end());
    } else {
      put_u32(t, 0);
    }
    data_at += s.size() + t.size();
  }
  const auto& inverse = pack_name_length_inverse();
  for (size_t i = 0; i < entries.size(); ++i) {
    const pack_writer_entry& e = entries[i];
    put_u32(out, name_hash(lower_name(e.name)));
    out.push_back(inverse[e.name.size()]);
    std::string scrambled = scramble_name(e.name);
    out.insert(out.end(), scrambled.begin(), scrambled.end());
    out.push_back(e.type == 0xFF ? resource_type_of_name(e.name) : e.type);
    out.push_back(stored[i].compression);
    put_u32(out, static_cast<uint32_t>(e.data.size()));
    put_u32(out, static_cast<uint32_t>(stored[i].stored.size()));
    put_u64(out, offsets[i]);
    put_u32(out, murmur_hash2(stored[i].stored.data(), stored[i].stored.size(), 0));
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    out.insert(out.end(), stored[i].stored.begin(), stored[i].stored.end());
    out.insert(out.end(), trailers[i].begin(), trailers[i].end());
  }
  return true;
}
