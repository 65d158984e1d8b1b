#include "resources/pack_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <utility>

#include "core/error_report.h"
#include "core/info_log.h"
#include "core/sjis.h"
#include "format/hashes.h"
#include "platform/platform.h"
#include "resources/resource_locator.h"

pack_entry_tables_record pack_entry_tables;
std::string pack_folder_prefix;
std::array<uint8_t, 256> name_length_table{};
std::array<uint8_t, 4> code_file_key{};

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    uint8_t x = static_cast<uint8_t>(a[i]), y = static_cast<uint8_t>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<uint8_t>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<uint8_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

namespace {

constexpr size_t scan_queue_limit = 1000;
constexpr int scan_depth_limit = 32;

// What registration learned of each pack, by slot. The table is read and
// walked while the file is open for its header (and its bytes are still in
// the cache); a table that does not fit the file is reported when the
// opening pass reaches its pack, in pack order.
enum class table_state : uint8_t { ok, damaged, no_memory };
struct registered_pack {
  table_state state = table_state::ok;
  // One key per entry in table order: the hash, then the entry ref (pack
  // slot and table offset), so sorting the keys of all packs orders equal
  // hashes as the packs hold them.
  std::vector<uint64_t> keys;
};
std::vector<registered_pack> registered_packs;

// Unscrambles the name of the entry at `entry` (its hash field) into `out`
// (at least 255 bytes), lower-cased Shift-JIS aware when asked; its length.
size_t decode_entry_name(const uint8_t* entry, char* out, bool lower) {
  const auto& unscramble = pack_name_unscramble_table();
  const size_t n = pack_name_length_table()[entry[4]];
  const uint8_t* stored = entry + 5;
  for (size_t k = 0; k < n; ++k) {
    uint8_t c = unscramble[stored[k]];
    out[k] = static_cast<char>(c);
    if (!lower) continue;
    if (k + 1 < n && is_sjis_lead(c)) {
      ++k;
      out[k] = static_cast<char>(unscramble[stored[k]]);
    } else if (c >= 'A' && c <= 'Z') {
      out[k] = static_cast<char>(c + ('a' - 'A'));
    }
  }
  return n;
}

std::string entry_name(const uint8_t* entry, bool lower) {
  char buffer[256];
  return std::string(buffer, decode_entry_name(entry, buffer, lower));
}

// The table being walked, read into the same block for every pack of an
// opening (it stays in cache); `table_padding` spare bytes let each entry be
// copied in one fixed-size move.
constexpr size_t table_padding = 32;
constexpr size_t kept_index_size = 4;
std::unique_ptr<uint8_t[]> table_scratch;
size_t table_scratch_size = 0;

// Reads the entry table of a registered pack while its file is open, keeps
// what lookups need of each entry in `out` and makes a key for each entry;
// sets `release_mode` when an entry is the engine configuration.
//
// An entry is kept as its table offset (u32) followed by its stored length
// byte, scrambled name and type: the layout of the table entry from the
// length byte on, with the offset where the hash was, and without the fields
// behind the type byte, which the read takes from the file. Behind the type
// the opening pass writes the entry's index in the sorted arrays (u32).
table_state read_entry_table(HostReadFile& file, const pack_header_info& header, size_t pack,
                             std::unique_ptr<uint8_t[]>& out, std::vector<uint64_t>& keys) {
  const uint64_t file_size = file.size();
  if (file_size < pack_header_size || header.table_size > file_size - pack_header_size ||
      header.entry_count > header.table_size / pack_entry_fixed_size)
    return table_state::damaged;
  if (header.table_size == 0) return table_state::ok;
  const size_t size = header.table_size;
  if (table_scratch_size < size) {
    table_scratch.reset(new (std::nothrow) uint8_t[size + table_padding]);
    table_scratch_size = table_scratch ? size : 0;
    if (!table_scratch) return table_state::no_memory;
  }
  uint8_t* table = table_scratch.get();
  if (!file.read_at(pack_header_size, table, size)) return table_state::damaged;
  std::memset(table + size, 0, table_padding);
  // Each kept entry is `pack_entry_fields_size - 4` bytes shorter than in
  // the table, so this holds them all (plus the spare bytes of the last move).
  const size_t kept_size = size - size_t{header.entry_count} * (pack_entry_fields_size - kept_index_size);
  out.reset(new (std::nothrow) uint8_t[kept_size + table_padding]);
  if (!out) return table_state::no_memory;

  static_assert(uint64_t{pack_max_entries} * (pack_entry_fixed_size + 255 - pack_entry_fields_size + kept_index_size) <=
                        (uint64_t{1} << pack_entry_tables_record::ref_offset_bits) &&
                    pack_max_packs <= (1 << (32 - pack_entry_tables_record::ref_offset_bits)),
                "an entry ref holds the pack slot and the offset of the kept entry");
  static constexpr std::string_view config_name = "kxbin\\kxcfg.kbn";
  const auto& lengths = pack_name_length_table();
  const uint64_t pack_ref = uint64_t(pack) << pack_entry_tables_record::ref_offset_bits;
  keys.reserve(header.entry_count);  // bounded by the table, which the file holds
  uint8_t* kept = out.get();
  size_t at = 0;
  for (size_t pos = 0, i = 0; i < header.entry_count; ++i) {
    // This entry and the fixed parts of those after it must fit: a table
    // whose names eat the room of later entries fails here, before its kept
    // entries could outgrow `kept_size`.
    const size_t rest = size_t{header.entry_count - i} * pack_entry_fixed_size;
    if (size - pos < rest) return table_state::damaged;
    const size_t n = lengths[table[pos + 4]];
    if (size - pos - rest < n) return table_state::damaged;
    keys.push_back(uint64_t(get_u32(table + pos)) << 32 | pack_ref | at);
    put_u32(kept + at, static_cast<uint32_t>(pos));
    std::memcpy(kept + at + 4, table + pos + 4, table_padding);  // length byte, name, type and more
    if (n + 2 > table_padding)
      std::memcpy(kept + at + 4 + table_padding, table + pos + 4 + table_padding, n + 2 - table_padding);
    if (n == config_name.size() && !pack_entry_tables.release_mode) {
      char name[256];
      decode_entry_name(kept + at, name, true);
      if (std::string_view(name, n) == config_name) pack_entry_tables.release_mode = 1;
    }
    at += n + 6 + kept_index_size;
    pos += pack_entry_fixed_size + n;
  }
  return table_state::ok;
}

std::string lowered(std::string_view s) {
  std::string out(s);
  lower_path_sjis(out);
  return out;
}

// 1..9 for "update1.kpf" .. "update9.kpf" (any case), else 0.
int update_slot_of_file_name(std::string_view file_name) {
  if (file_name.size() != 11 || !ascii_iequal(file_name.substr(0, 6), "update") || !ascii_iequal(file_name.substr(7), ".kpf"))
    return 0;
  char d = file_name[6];
  return d >= '1' && d <= '9' ? d - '0' : 0;
}

// The pack's base name (folder and extension removed) is "update1".."update9".
bool is_update_pack_path(std::string_view path) {
  size_t slash = path.find_last_of("\\/");
  std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return update_slot_of_file_name(file) != 0;
}

const std::string& text_repair_start() {
  static const std::string t = utf8_to_sjis("[%s] ファイルに破損が見つかりました。修復を試みます。");
  return t;
}
const std::string& text_repair_done() {
  static const std::string t = utf8_to_sjis("[%s] ファイルの修復に成功しました。");
  return t;
}

}  // namespace

void reset_pack_tables() {
  pack_entry_tables = pack_entry_tables_record{};
  registered_packs = {};
}

std::string pack_entry_tables_record::name(size_t i) const { return entry_name(entry(i), true); }

void build_name_length_table() {
  name_length_table = pack_name_length_table();
  code_file_key = derive_code_file_key();
}

std::unique_ptr<HostReadFile> pack_file_open(const std::string& pack_path) {
  if (!platform_installed() || !platform().files) return nullptr;
  return platform().files->open_read(pack_folder_prefix + pack_path);
}

int add_pack_file(const std::string& path) {
  std::unique_ptr<HostReadFile> file = pack_file_open(path);
  if (!file) {
    report_error_fmt(901040, 1, path);
    return -1;
  }
  pack_header_info header;
  pack_header_status status = read_pack_header(*file, header);
  if (status == pack_header_status::not_a_pack) return 0;  // another kind of file: ignored without a word
  if (status == pack_header_status::truncated || header.version < pack_oldest_version) {
    report_error_fmt(104120, 1, path);
    return -1;
  }
  uint64_t total = static_cast<uint64_t>(pack_entry_tables.entry_total) + header.entry_count;
  if (total > pack_max_entries) {
    report_error_fmt(104140, 1, static_cast<int>(pack_max_entries));
    return -1;
  }
  if (pack_entry_tables.pack_paths.size() >= static_cast<size_t>(pack_max_packs)) {
    report_error_fmt(104130, 1, pack_max_packs);
    return -1;
  }
  pack_entry_tables.entry_total = static_cast<uint32_t>(total);
  pack_entry_tables.pack_paths.push_back(path);
  registered_pack r;
  std::unique_ptr<uint8_t[]> table;
  r.state = read_entry_table(*file, header, registered_packs.size(), table, r.keys);
  pack_entry_tables.entry_blocks.push_back(std::move(table));
  registered_packs.push_back(std::move(r));
  return 0;
}

int scan_pack_folder(const std::string& start_folder, int depth_limit) {
  struct queued {
    std::string folder;
    int depth;
  };
  std::deque<queued> queue;
  queue.push_back({start_folder, 1});
  while (!queue.empty()) {
    queued current = queue.front();
    queue.pop_front();
    for (const host_folder_entry& e : platform().files->list_folder(current.folder)) {
      if (e.name == "." || e.name == "..") continue;
      if (e.is_folder) {
        if (!ascii_iequal(e.name, "pac") || current.depth > depth_limit) continue;
        if (queue.size() >= scan_queue_limit) {
          report_error(104110, 1);
          return -1;
        }
        if (current.depth >= scan_depth_limit) {
          report_error(104111, 1);
          return -1;
        }
        queue.push_back({current.folder + "\\" + e.name, current.depth + 1});
        continue;
      }
      if (e.name.size() < 4 || !ascii_iequal(std::string_view(e.name).substr(e.name.size() - 4), ".kpf")) continue;
      std::string path = lowered(current.folder + "\\" + e.name);
      if (int slot = update_slot_of_file_name(e.name)) {
        std::string& kept = pack_entry_tables.update_slots[slot];
        if (!kept.empty()) {
          // The later find wins, as it always has; say which copy was dropped.
          write_info_log("", "update pack [%s] ignored: [%s] replaces it", kept, path);
        }
        kept = path;
        continue;
      }
      if (add_pack_file(path) != 0) return -1;
    }
  }
  return 0;
}

namespace {

// Writes each visible entry's sorted index into its kept entry and fills the
// lookup slots (2^bits of them, more than the entries) in sorted order.
void build_lookup_slots(pack_entry_tables_record& t, int bits) {
  const auto& lengths = pack_name_length_table();
  t.slot_shift = 32 - bits;
  t.slots.assign(size_t{1} << bits, {0, pack_entry_tables_record::empty_slot});
  const size_t mask = t.slots.size() - 1;
  // The entries lie scattered over the blocks: a loop without branches lets
  // the processor wait for many of them at once.
  for (size_t k = 0; k < t.hashes.size(); ++k) {
    uint8_t* entry = const_cast<uint8_t*>(t.entry(k));
    put_u32(entry + 6 + lengths[entry[4]], static_cast<uint32_t>(k));
  }
  for (size_t k = 0; k < t.hashes.size(); ++k) {
    size_t at = t.hashes[k] >> t.slot_shift;
    while (t.slots[at].ref != pack_entry_tables_record::empty_slot) at = (at + 1) & mask;
    t.slots[at] = {t.hashes[k], t.refs[k]};
  }
}

}  // namespace

int open_pack_archives() {
  reset_pack_tables();
  // What registration gathered for this pass is dropped however it ends.
  struct release_opening_state {
    ~release_opening_state() {
      registered_packs = {};
      table_scratch.reset();
      table_scratch_size = 0;
    }
  } release_at_exit;
  pack_entry_tables_record& t = pack_entry_tables;
  t.pack_paths.reserve(pack_max_packs);
  t.entry_blocks.reserve(pack_max_packs);
  if (scan_pack_folder(".", 1) != 0) return -1;
  for (int slot = 1; slot <= 9; ++slot) {
    const std::string& path = t.update_slots[slot];
    if (!path.empty()) add_pack_file(path);  // failures are reported; the rest still register
  }

  // About one entry per bucket of the sort below.
  int bits = 1;
  while (bits < 17 && (size_t{1} << bits) < t.entry_total) ++bits;
  const int shift = 32 - bits;
  const size_t buckets = size_t{1} << bits;

  // The entries of the packs before the first one whose table does not fit;
  // that failure is reported after the duplicate test of those packs, the
  // order in which one pack after another would meet them.
  size_t failed_pack = SIZE_MAX;
  int failure_code = 0;
  size_t key_count = 0;
  std::vector<uint32_t> starts(buckets + 2, 0);
  for (size_t pack = 0; pack < registered_packs.size(); ++pack) {
    const registered_pack& r = registered_packs[pack];
    if (r.state != table_state::ok) {
      failed_pack = pack, failure_code = r.state == table_state::no_memory ? 100010 : 104120;
      break;
    }
    for (uint64_t key : r.keys) ++starts[(key >> 32 >> shift) + 2];
    key_count += r.keys.size();
  }
  const size_t packs_read = std::min(failed_pack, registered_packs.size());

  // Counting sort by the top bits of the hash (stable, so each bucket stays
  // in pack order), then each bucket sorted by the whole key.
  for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  t.hashes.resize(key_count);
  t.refs.resize(key_count);
  for (size_t pack = 0; pack < packs_read; ++pack) {
    for (uint64_t key : registered_packs[pack].keys) {
      const uint32_t hash = static_cast<uint32_t>(key >> 32);
      const uint32_t at = starts[(hash >> shift) + 1]++;
      t.hashes[at] = hash;
      t.refs[at] = static_cast<uint32_t>(key);
    }
    registered_packs[pack].keys = {};
  }
  // starts[b] is now where bucket b begins, for b up to `buckets`.
  starts.pop_back();
  auto key_at = [&](size_t k) { return uint64_t(t.hashes[k]) << 32 | t.refs[k]; };
  // Only tables made to collide fill a bucket past a few entries; those
  // buckets are sorted whole, so the insertion pass below never moves an
  // entry far.
  std::vector<uint64_t> spill;
  for (size_t b = 0; b < buckets; ++b) {
    const size_t begin = starts[b], end = starts[b + 1];
    if (end - begin <= 32) continue;
    spill.clear();
    for (size_t k = begin; k < end; ++k) spill.push_back(key_at(k));
    std::sort(spill.begin(), spill.end());
    for (size_t k = begin; k < end; ++k) {
      t.hashes[k] = static_cast<uint32_t>(spill[k - begin] >> 32);
      t.refs[k] = static_cast<uint32_t>(spill[k - begin]);
    }
  }
  // Every bucket's keys are below the next bucket's, so one insertion pass
  // over the whole array sorts each bucket in place.
  for (size_t k = 1; k < key_count; ++k) {
    const uint64_t key = key_at(k);
    if (key_at(k - 1) < key) continue;
    size_t j = k;
    for (; j > 0 && key_at(j - 1) > key; --j) {
      t.hashes[j] = t.hashes[j - 1];
      t.refs[j] = t.refs[j - 1];
    }
    t.hashes[j] = static_cast<uint32_t>(key >> 32);
    t.refs[j] = static_cast<uint32_t>(key);
  }

  // Duplicates share a hash, so they sit in one run of the sorted entries.
  // In pack order, a name met again in an update pack hides the copy seen so
  // far; met again elsewhere it is an error, the first such entry in pack
  // order being the one reported. Update packs register last, so once an
  // update pack's copy appears, every later copy is in an update pack too.
  constexpr uint32_t hidden = UINT32_MAX;  // no pack slot reaches it
  std::vector<uint8_t> update_packs(t.pack_paths.size());
  for (size_t pack = 0; pack < update_packs.size(); ++pack)
    update_packs[pack] = is_update_pack_path(t.pack_paths[pack]) ? 1 : 0;
  uint32_t duplicate_ref = hidden;
  bool any_hidden = false;
  std::vector<std::pair<std::string, size_t>> run;
  for (size_t start = 0; start < key_count;) {
    size_t end = start + 1;
    while (end < key_count && t.hashes[end] == t.hashes[start]) ++end;
    if (end - start > 1) {
      // The run's names, lower-cased, grouped by a stable sort: each group
      // holds the copies of one name in pack order.
      run.clear();
      for (size_t k = start; k < end; ++k) run.emplace_back(t.name(k), k);
      std::stable_sort(run.begin(), run.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (size_t g = 0; g < run.size();) {
        size_t h = g + 1;
        while (h < run.size() && run[h].first == run[g].first) ++h;
        bool error = false;
        for (size_t m = g + 1; m < h && !error; ++m) {
          const uint32_t ref = t.refs[run[m].second];
          if (!update_packs[pack_entry_tables_record::pack_of_ref(ref)]) {
            duplicate_ref = std::min(duplicate_ref, ref);
            error = true;
          }
        }
        if (!error)
          for (size_t m = g; m + 1 < h; ++m) t.refs[run[m].second] = hidden, any_hidden = true;
        g = h;
      }
    }
    start = end;
  }
  if (duplicate_ref != hidden) {
    const uint8_t* entry = t.entry_of_ref(duplicate_ref);
    report_error_fmt(104150, 0, entry_name(entry, false));
    return -1;
  }
  if (failed_pack != SIZE_MAX) {
    report_error_fmt(failure_code, 1, t.pack_paths[failed_pack]);
    return -1;
  }

  if (any_hidden) {
    size_t count = 0;
    for (size_t k = 0; k < key_count; ++k) {
      if (t.refs[k] == hidden) continue;
      t.hashes[count] = t.hashes[k];
      t.refs[count] = t.refs[k];
      ++count;
    }
    t.hashes.resize(count);
    t.refs.resize(count);
  }
  // A quarter of the slots stay free at least: probes stay short and the
  // table small.
  int slot_bits = 1;
  while ((size_t{1} << slot_bits) < t.hashes.size() + t.hashes.size() / 4 + 1) ++slot_bits;
  build_lookup_slots(t, slot_bits);
  return 0;
}

int find_in_packs(resource_locator& locator, std::string_view name) {
  const pack_entry_tables_record& t = pack_entry_tables;
  if (t.hashes.empty()) return 0;
  if (name.size() > 255) return 0;
  const uint32_t hash = murmur_hash2(name.data(), name.size(), 0);
  const size_t mask = t.slots.size() - 1;
  size_t at = hash >> t.slot_shift;
  // The slot's line is on its way while the name is scrambled.
  __builtin_prefetch(&t.slots[at]);
  const auto& unscramble = pack_name_unscramble_table();
  const auto& lengths = pack_name_length_table();
  uint8_t scrambled[256];
  scramble_name_bytes(name.data(), name.size(), scrambled);
  // Visible names are unique, so the first entry of this hash and name is
  // the match.
  for (;; at = (at + 1) & mask) {
    const pack_entry_tables_record::lookup_slot& slot = t.slots[at];
    if (slot.ref == pack_entry_tables_record::empty_slot) break;
    if (slot.hash != hash) continue;
    const uint8_t* entry = t.entry_of_ref(slot.ref);
    const size_t n = lengths[entry[4]];
    if (n != name.size()) continue;
    size_t k = 0;
    if (std::memcmp(entry + 5, scrambled, n) == 0) k = n;
    for (; k < n; ++k) {
      uint8_t x = unscramble[entry[5 + k]], y = static_cast<uint8_t>(name[k]);
      if (x >= 'A' && x <= 'Z') x = static_cast<uint8_t>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<uint8_t>(y + 32);
      if (x != y) break;
    }
    if (k != n) continue;
    locator.state = resource_in_pack;
    locator.entry_index = static_cast<int32_t>(pack_entry_tables_record::sorted_index_of(entry, n));
    locator.pack_index = pack_entry_tables_record::pack_of_ref(slot.ref);
    locator.type = entry[5 + n];
    locator.position = pack_entry_tables_record::data_position_of(entry, n);
    return 2;
  }
  return 0;
}

int verify_and_repair_entry(HostReadFile& file, uint64_t trailer_offset, std::vector<uint8_t>& stored,
                            uint32_t checksum, std::string_view name) {
  if (murmur_hash2(stored.data(), stored.size(), 0) == checksum) return 0;
  pack_repair_trailer trailer;
  repair_trailer_status status =
      read_pack_repair_trailer(file, trailer_offset, static_cast<uint32_t>(stored.size()), trailer);
  if (status == repair_trailer_status::none) return -1;
  write_info_log("", text_repair_start(), name);
  if (status != repair_trailer_status::ok) return -1;
  repair_pack_blocks(stored.data(), stored.size(), trailer);
  if (murmur_hash2(stored.data(), stored.size(), 0) != checksum) return -1;
  write_info_log("", text_repair_done(), name);
  return 1;
}

namespace {

// A buffer of `size` bytes, or false when memory is short.
bool allocate(std::vector<uint8_t>& buffer, size_t size) {
  try {
    buffer.resize(size);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

}  // namespace

int read_entry_from_pack(resource_locator& locator, std::string_view name) {
  const pack_entry_tables_record& t = pack_entry_tables;
  if (locator.pack_index < 0 || static_cast<size_t>(locator.pack_index) >= t.pack_paths.size()) {
    report_error_fmt(901040, 1, std::string(name));
    return -3;
  }
  const std::string& pack_path = t.pack_paths[locator.pack_index];
  std::unique_ptr<HostReadFile> file = pack_file_open(pack_path);
  if (!file) {
    report_error_fmt(901040, 1, pack_path);
    return -3;
  }
  auto damaged = [&]() {
    report_error_fmt(104100, 1, pack_path, std::string(name));
    return -2;
  };
  auto out_of_memory = [&]() {
    report_error_fmt(104030, 1, std::string(name));
    return -3;
  };
  uint8_t raw[pack_entry_fields_size];
  if (!file->read_at(locator.position, raw, sizeof raw)) return damaged();
  pack_entry_fields f;
  decode_pack_entry_fields(raw, f);
  // The stored bytes and their trailer must lie inside the file before any
  // buffer is sized from these fields.
  if (f.data_offset > file->size() || f.stored_size > file->size() - f.data_offset) return damaged();
  uint64_t trailer_offset = f.data_offset + f.stored_size;

  std::vector<uint8_t> data;
  if (f.compression == pack_stored) {
    // A stored entry is exactly its stored bytes; a different unpacked size
    // would hand out bytes the pack does not have.
    if (f.unpacked_size != f.stored_size) return damaged();
    if (!allocate(data, f.stored_size)) return out_of_memory();
    if (!file->read_at(f.data_offset, data.data(), data.size())) return damaged();
    if (verify_and_repair_entry(*file, trailer_offset, data, f.checksum, name) < 0) return damaged();
  } else if (f.compression == pack_zlib) {
    if (f.unpacked_size > pack_max_inflated_size(f.stored_size)) return damaged();
    std::vector<uint8_t> stored;
    if (!allocate(data, f.unpacked_size) || !allocate(stored, f.stored_size)) return out_of_memory();
    if (!file->read_at(f.data_offset, stored.data(), stored.size())) return damaged();
    for (int attempt = 0;; ++attempt) {
      uLongf produced = static_cast<uLongf>(data.size());
      int z = uncompress(data.data(), &produced, stored.data(), static_cast<uLong>(stored.size()));
      if (z == Z_OK) {
        // A stream that ends early would leave the rest of the buffer unset.
        if (produced != data.size()) return damaged();
        break;
      }
      if (z == Z_DATA_ERROR) {
        if (attempt > 0) return damaged();
        if (verify_and_repair_entry(*file, trailer_offset, stored, f.checksum, name) < 0) return damaged();
        continue;
      }
      if (z == Z_BUF_ERROR) {
        report_error_fmt(900040, 1, std::string(name));
        return -2;
      }
      report_error_fmt(106010, 1, std::string(name));
      return -2;
    }
  } else {
    report_error_fmt(901040, 1, pack_path);
    return -3;
  }
  locator.size = static_cast<uint32_t>(data.size());
  locator.data = std::move(data);
  return 0;
}
