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
struct pack_entry_tables_record {
  // Lower-cased paths of the registered packs (".\x.kpf", ".\pac\x.kpf").
  std::vector<std::string> pack_paths;
  uint32_t entry_total = 0;  // every entry of every pack, hidden ones included
  // Visible entries sorted by name hash (unsigned ascending); parallel arrays.
  std::vector<uint32_t> hashes;
  std::vector<uint16_t> pack_indexes;
  std::vector<uint64_t> positions;       // file offset of the entry's length byte
  std::vector<uint64_t> data_positions;  // file offset just behind the type byte
  std::vector<uint8_t> types;
  // Names, unscrambled and lower-cased, back to back in one block (in the
  // packs' order): entry i's name is name_lengths[i] bytes at name_offsets[i].
  std::shared_ptr<const char[]> name_bytes;
  size_t name_bytes_size = 0;
  std::vector<uint32_t> name_offsets;
  std::vector<uint16_t> name_lengths;
  // Open addressing over the visible entries by name hash: each slot holds
  // an entry index + 1, or 0 when empty; the size is a power of two.
  std::vector<uint32_t> lookup_slots;
  size_t size() const { return hashes.size(); }
  std::string_view name(size_t i) const {
    return std::string_view(name_bytes.get() + name_offsets[i], name_lengths[i]);
  }
  uint8_t release_mode = 0;        // a pack holds "kxbin\kxcfg.kbn"
  std::array<std::string, 10> update_slots;  // 1..9: update1.kpf .. update9.kpf
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
