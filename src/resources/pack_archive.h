// Pack archives (*.kpf) in the game folder and its subfolder "pac": the
// process-wide entry tables filled once at start-up, lookups and entry reads.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "format/pack_format.h"

struct resource_locator;

// Filled by open_pack_archives and never changed afterwards. Lookups and reads
// only read it, so any thread may use them without a lock.
//
// Each entry is kept as its pack stores it from the length byte to the type
// byte (name scrambled), behind its table offset; names are unscrambled only
// where they are compared.
struct pack_entry_tables_record {
  // Lower-cased paths of the registered packs (".\x.kpf", ".\pac\x.kpf").
  std::vector<std::string> pack_paths;
  uint32_t entry_total = 0;  // every entry of every pack, hidden ones included
  // By pack slot: the pack's entries back to back, each a u32 offset in the
  // entry table, the stored length byte, the scrambled name and the type.
  std::vector<std::unique_ptr<uint8_t[]>> entry_blocks;
  // Visible entries sorted by name hash (unsigned ascending), equal hashes in
  // pack and table order; parallel arrays.
  std::vector<uint32_t> hashes;
  std::vector<uint32_t> refs;  // pack slot << ref_offset_bits | offset of the entry in its block
  // The lookup's own table: hash and ref of the visible entries again,
  // open-addressed by the top `32 - slot_shift` bits of the hash (linear
  // probing, at most half full), so a lookup reads one slot and then the
  // kept entry, which holds its index in the sorted arrays. Entries of one
  // hash lie along the probe in their sorted order.
  struct lookup_slot {
    uint32_t hash;
    uint32_t ref;  // empty_slot when free
  };
  static constexpr uint32_t empty_slot = UINT32_MAX;
  std::vector<lookup_slot> slots;
  int slot_shift = 32;
  uint8_t release_mode = 0;        // a pack holds "kxbin\kxcfg.kbn"
  std::array<std::string, 10> update_slots;  // 1..9: update1.kpf .. update9.kpf

  // 100,000 entries of at most 6 + 255 bytes never reach 2^25 bytes into a
  // block, and 100 packs fit the remaining 7 bits.
  static constexpr int ref_offset_bits = 25;
  static constexpr uint32_t ref_offset_mask = (1u << ref_offset_bits) - 1;

  size_t size() const { return hashes.size(); }
  static uint16_t pack_of_ref(uint32_t ref) { return static_cast<uint16_t>(ref >> ref_offset_bits); }
  // The kept entry: table offset, length byte, name, type.
  const uint8_t* entry_of_ref(uint32_t ref) const { return entry_blocks[pack_of_ref(ref)].get() + (ref & ref_offset_mask); }
  // File offset just behind the type byte of a kept entry whose name is n
  // bytes, and the entry's index in the sorted arrays (behind its type).
  static uint64_t data_position_of(const uint8_t* entry, size_t n) { return pack_header_size + get_u32(entry) + 6 + n; }
  static uint32_t sorted_index_of(const uint8_t* entry, size_t n) { return get_u32(entry + 6 + n); }

  uint16_t pack_index(size_t i) const { return pack_of_ref(refs[i]); }
  const uint8_t* entry(size_t i) const { return entry_of_ref(refs[i]); }
  size_t name_length(size_t i) const { return pack_name_length_table()[entry(i)[4]]; }
  uint8_t type(size_t i) const { return entry(i)[5 + name_length(i)]; }
  // File offset of the entry's length byte, and just behind its type byte.
  uint64_t position(size_t i) const { return pack_header_size + get_u32(entry(i)) + 4; }
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
