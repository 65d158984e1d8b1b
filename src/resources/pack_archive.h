// Pack archives (*.kpf) in the game folder and its subfolder "pac": the
// process-wide entry tables filled once at start-up, lookups and entry reads.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/pack_format.h"

struct resource_locator;

// Memory for the lookup tables. A block big enough to fill large pages is
// aligned to them and the host is asked to back it with them, so lookups at
// random spots cost few address-translation misses.
class lookup_block {
 public:
  lookup_block() = default;
  // `size` bytes, not cleared; empty when memory is short.
  explicit lookup_block(size_t size);
  lookup_block(lookup_block&& other) noexcept { swap(other); }
  lookup_block& operator=(lookup_block&& other) noexcept {
    lookup_block(std::move(other)).swap(*this);
    return *this;
  }
  ~lookup_block();
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }  // at least the size asked for
  explicit operator bool() const { return data_ != nullptr; }
  // Blocks at least this big take whole large pages.
  static constexpr size_t large_page_threshold = size_t{1} << 20;

 private:
  void swap(lookup_block& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Filled by open_pack_archives and never changed afterwards. Lookups and reads
// only read it, so any thread may use them without a lock.
//
// Each visible entry is kept once, in sorted order, in one block behind the
// lookup directory: its name hash, where it lies in its pack and the bytes of
// its table entry from the length byte to the type byte (name scrambled);
// names are unscrambled only where they are compared.
struct pack_entry_tables_record {
  // Lower-cased paths of the registered packs (".\x.kpf", ".\pac\x.kpf").
  std::vector<std::string> pack_paths;
  uint32_t entry_total = 0;  // every entry of every pack, hidden ones included
  // Visible entries sorted by name hash (unsigned ascending), equal hashes in
  // pack and table order.
  std::vector<uint32_t> hashes;
  // By sorted index: where the entry starts in `entries`.
  std::vector<uint32_t> entry_offsets;

  // The lookup block: the directory, then the entries. Directory bucket b
  // (the top `32 - bucket_shift` bits of the hash) holds the entries from
  // entries + directory[b] to entries + directory[b + 1], so a lookup reads
  // one directory word, small enough to stay in cache, and then the lines of
  // one bucket, the only trip to memory.
  //
  // An entry: u32 name hash, u32 offset in its pack's entry table, u8 pack
  // slot, the stored length byte, the scrambled name, the type and the u32
  // sorted index.
  lookup_block lookup;
  const uint32_t* directory = nullptr;
  const uint8_t* entries = nullptr;  // null until an opening completes
  int bucket_shift = 31;
  static constexpr size_t table_offset_at = 4;   // where an entry's fields lie
  static constexpr size_t pack_slot_at = 8;
  static constexpr size_t length_byte_at = 9;
  static constexpr size_t entry_head_size = 10;   // hash, table offset, pack slot, length byte
  static constexpr size_t entry_fixed_size = 15;  // and the type and sorted index
  // At most this many entries a bucket on average: a bucket is a line or
  // two, and the directory (4 bytes a bucket) a small part of the cache.
  static constexpr size_t entries_per_bucket = 2;

  uint8_t release_mode = 0;        // a pack holds "kxbin\kxcfg.kbn"
  std::array<std::string, 10> update_slots;  // 1..9: update1.kpf .. update9.kpf

  size_t size() const { return hashes.size(); }
  static size_t name_length_of(const uint8_t* entry) { return pack_name_length_table()[entry[length_byte_at]]; }
  // File offset just behind the type byte of an entry whose name is n bytes.
  static uint64_t data_position_of(const uint8_t* entry, size_t n) { return pack_header_size + get_u32(entry + table_offset_at) + 6 + n; }
  static uint32_t sorted_index_of(const uint8_t* entry, size_t n) { return get_u32(entry + entry_head_size + 1 + n); }

  const uint8_t* entry(size_t i) const { return entries + entry_offsets[i]; }
  uint16_t pack_index(size_t i) const { return entry(i)[pack_slot_at]; }
  size_t name_length(size_t i) const { return name_length_of(entry(i)); }
  uint8_t type(size_t i) const { return entry(i)[entry_head_size + name_length(i)]; }
  // File offset of the entry's length byte, and just behind its type byte.
  uint64_t position(size_t i) const { return pack_header_size + get_u32(entry(i) + table_offset_at) + 4; }
  uint64_t data_position(size_t i) const { return data_position_of(entry(i), name_length(i)); }
  // The name unscrambled and lower-cased (Shift-JIS aware).
  std::string name(size_t i) const;
};
extern pack_entry_tables_record pack_entry_tables;

// Prefix put in front of a pack path to open it (Shift-JIS game path). Empty
// in a release run, where packs sit in the game folder; a development run,
// whose game path differs from the program's folder, sets the program folder.
extern std::string pack_folder_prefix;

// The name-length table and the code-file key of this run.
extern std::array<uint8_t, 256> name_length_table;
extern std::array<uint8_t, 4> code_file_key;

void build_name_length_table();
// 0 or -1 (reported; start-up ends).
// Names compare with ASCII letters folded, every other byte as it is.
bool ascii_iequal(std::string_view a, std::string_view b);

int open_pack_archives();
int scan_pack_folder(const std::string& start_folder, int depth_limit);
int add_pack_file(const std::string& path);

// 2 found (locator filled), 0 not found, -2 a pack holding a candidate is gone.
int find_in_packs(resource_locator& locator, std::string_view name);
// 0, -2 damaged or undecodable, -3 pack not openable or out of memory; reported.
int read_entry_from_pack(resource_locator& locator, std::string_view name);
// With `file` holding the entry and the trailer at `trailer_offset`: 0 when
// the checksum matches, 1 repaired, -1 failed or no repair data.
int verify_and_repair_entry(HostReadFile& file, uint64_t trailer_offset, std::vector<uint8_t>& stored,
                            uint32_t checksum, std::string_view name);

// Pack file access: every lookup and read opens the pack and closes it again.
std::unique_ptr<HostReadFile> pack_file_open(const std::string& pack_path);

// Back to the start-up state (tests and restart).
void reset_pack_tables();
