// The pack archive layout (.kpf), shared by the player's reader and kxtool.
//
// Header (32 bytes, little-endian): "KPF\0", u32 version, u32 entry count,
// u32 entry-table size, 16 reserved bytes. The entry table follows at 32; each
// entry is 27 bytes plus its name: u32 name hash, length byte (through the
// name-length table), scrambled name, u8 type, u8 compression, u32 unpacked
// size, u32 stored size, u64 data offset, u32 checksum. Each entry's stored
// bytes are followed at once by its repair trailer: u32 parity size (0 or
// 1024), u32 block count, one u16 CRC per block, the parity block.
#pragma once

#include "format/byte_io.h"
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

constexpr uint32_t pack_current_version = 553;
constexpr uint32_t pack_oldest_version = 234;
constexpr size_t pack_header_size = 32;
constexpr size_t pack_entry_fixed_size = 27;  // plus the name bytes
constexpr uint32_t pack_repair_block_size = 1024;
constexpr int pack_max_packs = 100;
constexpr uint32_t pack_max_entries = 100000;

enum : uint8_t { pack_stored = 0, pack_zlib = 1 };

// Resource types, as a pack entry stores them and as a name's suffix gives them.
enum : uint8_t {
  resource_type_none = 0,
  resource_type_bmp = 1,
  resource_type_png = 2,
  resource_type_jpeg = 3,
  resource_type_gif = 4,
  resource_type_wav = 5,
  resource_type_ogg = 6,
  resource_type_psd = 7,
  resource_type_kcg = 8,
};
// Suffix tested without regard to case: .bmp .png .jpg .gif .psd .kcg .wav .ogg.
uint8_t resource_type_of_name(std::string_view name);

// ---------------------------------------------------------------- scrambling

// Stored length byte -> name length. The inverse gives the byte to store.
const std::array<uint8_t, 256>& pack_name_length_table();
const std::array<uint8_t, 256>& pack_name_length_inverse();
// unscramble_name_byte for every byte value, for loops over many names.
const std::array<uint8_t, 256>& pack_name_unscramble_table();
// The name transform: writers scramble, readers unscramble.
uint8_t scramble_name_byte(uint8_t plain);
uint8_t unscramble_name_byte(uint8_t stored);
std::string scramble_name(std::string_view plain);
void scramble_name_bytes(const char* plain, size_t size, uint8_t* out);
std::string unscramble_name(std::string_view stored);

// The 4-byte key of the compiled code-file sections: the CRC-32 of a fixed
// text, most significant byte first.
std::array<uint8_t, 4> derive_code_file_key();
// XORs byte i of a section with key[i mod 4]; its own inverse.
void scramble_code_section(uint8_t* data, size_t size, const std::array<uint8_t, 4>& key);

// ---------------------------------------------------------------- reading

// In-memory bytes behind the file interface (tests, fuzzers, kxtool).
class memory_read_file final : public HostReadFile {
 public:
  explicit memory_read_file(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  bool read_at(uint64_t offset, void* buffer, size_t length) override;
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

struct pack_header_info {
  uint32_t version = 0;
  uint32_t entry_count = 0;
  uint32_t table_size = 0;
};

// One entry of the table, its name unscrambled (case as stored).
struct pack_entry_info {
  uint32_t name_hash = 0;
  std::string name;
  uint8_t type = 0;
  uint8_t compression = 0;
  uint32_t unpacked_size = 0;
  uint32_t stored_size = 0;
  uint64_t data_offset = 0;
  uint32_t checksum = 0;
  uint64_t entry_position = 0;  // file offset of the length byte
  uint64_t fields_position = 0; // file offset just behind the type byte
};

enum class pack_header_status { ok, not_a_pack, truncated };
// Reads the first 16 bytes: a file without the magic is no pack at all.
pack_header_status read_pack_header(HostReadFile& file, pack_header_info& out);

// Parses the whole entry table. Every entry must lie inside the declared
// table, the table inside the file, and the count must fill it exactly with
// room for each name. False on any mismatch; `out` is then unspecified.
bool read_pack_entry_table(HostReadFile& file, const pack_header_info& header, std::vector<pack_entry_info>& out);

// The fields behind an entry's type byte (compression .. checksum).
struct pack_entry_fields {
  uint8_t compression = 0;
  uint32_t unpacked_size = 0;
  uint32_t stored_size = 0;
  uint64_t data_offset = 0;
  uint32_t checksum = 0;
};
constexpr size_t pack_entry_fields_size = 21;
void decode_pack_entry_fields(const uint8_t* p, pack_entry_fields& out);

// Repair trailer of one entry, read from `file` at `trailer_offset`.
struct pack_repair_trailer {
  uint32_t parity_size = 0;
  uint32_t block_count = 0;
  std::vector<uint16_t> block_crcs;
  std::vector<uint8_t> parity;
};
enum class repair_trailer_status { ok, none, bad };
// `none` for parity size 0; `bad` when the trailer does not fit the file or
// does not describe `stored_size` bytes.
repair_trailer_status read_pack_repair_trailer(HostReadFile& file, uint64_t trailer_offset, uint32_t stored_size,
                                               pack_repair_trailer& out);

// Rebuilds the blocks whose CRC differs from the trailer from the parity block.
// One damaged block comes back exactly; with two or more the bytes are wrong,
// which the caller's checksum then shows.
void repair_pack_blocks(uint8_t* data, size_t size, const pack_repair_trailer& trailer);

// Low 16 bits of each 1024-byte block's CRC-32, and the XOR of all blocks.
void compute_pack_repair_data(const uint8_t* data, size_t size, std::vector<uint16_t>& crcs,
                              std::vector<uint8_t>& parity);

// The largest size a zlib stream of `stored` bytes can inflate to (deflate
// never does better than 1032:1); larger unpacked sizes are damage.
inline uint64_t pack_max_inflated_size(uint64_t stored) { return stored * 1032 + 1024; }

// ---------------------------------------------------------------- writing

struct pack_writer_entry {
  std::string name;  // Shift-JIS, '\' separated; stored as given, hashed in lower case
  std::vector<uint8_t> data;
  uint8_t type = 0;           // resource_type_*; 0xFF: from the name's suffix
  uint8_t compression = pack_stored;
  bool repair = true;         // write parity data
};

struct pack_writer_options {
  uint32_t version = pack_current_version;
  std::array<uint8_t, 4> magic = {'K', 'P', 'F', 0};
};

// Builds a whole pack in memory. Names longer than 255 bytes cannot be stored:
// false with `error` set.
bool build_pack(const std::vector<pack_writer_entry>& entries, std::vector<uint8_t>& out, std::string* error = nullptr,
                const pack_writer_options& options = {});

