#include "resources/pack_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
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
  // slot and offset of the kept entry), so sorting the keys of all packs
  // orders equal hashes as the packs hold them.
  std::vector<uint64_t> keys;
  // The pack's entries back to back, each its u32 offset in the entry table,
  // the stored length byte, the scrambled name and the type; `kept_size`
  // bytes and spare ones behind them.
  std::unique_ptr<uint8_t[]> kept;
  size_t kept_size = 0;
};
std::vector<registered_pack> registered_packs;

// An entry ref: the pack slot, then the offset of its kept entry. 100,000
// entries of at most 6 + 255 bytes never reach 2^25 bytes into a block, and
// 100 packs fit the remaining 7 bits.
constexpr int ref_offset_bits = 25;
constexpr uint32_t ref_offset_mask = (1u << ref_offset_bits) - 1;
uint32_t pack_of_ref(uint32_t ref) { return ref >> ref_offset_bits; }
// A kept entry's stored length byte lies where it lies in the table entry,
// behind the u32 that held the hash there.
constexpr size_t kept_length_byte_at = 4;
const uint8_t* kept_entry_of_ref(uint32_t ref) {
  return registered_packs[pack_of_ref(ref)].kept.get() + (ref & ref_offset_mask);
}
const uint8_t* kept_length_byte_of_ref(uint32_t ref) { return kept_entry_of_ref(ref) + kept_length_byte_at; }

// Unscrambles the name behind the stored length byte at `length_byte` into
// `out` (at least 255 bytes), lower-cased Shift-JIS aware when asked; its
// length.
size_t decode_entry_name(const uint8_t* length_byte, char* out, bool lower) {
  const auto& unscramble = pack_name_unscramble_table();
  const size_t n = pack_name_length_table()[length_byte[0]];
  const uint8_t* stored = length_byte + 1;
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

std::string entry_name(const uint8_t* length_byte, bool lower) {
  char buffer[256];
  return std::string(buffer, decode_entry_name(length_byte, buffer, lower));
}

// The table being walked, read into the same block for every pack of an
// opening (it stays in cache); `table_padding` spare bytes let each entry be
// copied in one fixed-size move.
constexpr size_t table_padding = 32;

// Copies an entry's stored length byte, n-byte name and type from `from` to
// `to`: one fixed-size move (from and to have `table_padding` spare bytes
// behind them), and a second one for longer names.
void copy_name_and_type(uint8_t* to, const uint8_t* from, size_t n) {
  std::memcpy(to, from, table_padding);
  if (n + 2 > table_padding) std::memcpy(to + table_padding, from + table_padding, n + 2 - table_padding);
}
std::unique_ptr<uint8_t[]> table_scratch;
size_t table_scratch_size = 0;

// Reads the entry table of a registered pack while its file is open, keeps
// what lookups need of each entry in `out` and makes a key for each entry;
// sets `release_mode` when an entry is the engine configuration.
//
// An entry is kept as its table offset (u32) followed by its stored length
// byte, scrambled name and type: the layout of the table entry from the
// length byte on, with the offset where the hash was, and without the fields
// behind the type byte, which the read takes from the file.
table_state read_entry_table(HostReadFile& file, const pack_header_info& header, size_t pack,
                             registered_pack& r) {
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
  // Each kept entry is `pack_entry_fields_size` bytes shorter than in the
  // table, so this holds them all (plus the spare bytes of the last move).
  const size_t kept_size = size - size_t{header.entry_count} * pack_entry_fields_size;
  std::unique_ptr<uint8_t[]>& out = r.kept;
  std::vector<uint64_t>& keys = r.keys;
  out.reset(new (std::nothrow) uint8_t[kept_size + table_padding]);
  if (!out) return table_state::no_memory;
  r.kept_size = kept_size;

  static_assert(uint64_t{pack_max_entries} * (pack_entry_fixed_size + 255 - pack_entry_fields_size) <=
                        (uint64_t{1} << ref_offset_bits) &&
                    pack_max_packs <= (1 << (32 - ref_offset_bits)),
                "an entry ref holds the pack slot and the offset of the kept entry");
  static constexpr std::string_view config_name = "kxbin\\kxcfg.kbn";
  const auto& lengths = pack_name_length_table();
  const uint64_t pack_ref = uint64_t(pack) << ref_offset_bits;
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
    copy_name_and_type(kept + at + kept_length_byte_at, table + pos + kept_length_byte_at, n);
    if (n == config_name.size() && !pack_entry_tables.release_mode) {
      char name[256];
      decode_entry_name(kept + at + kept_length_byte_at, name, true);
      if (std::string_view(name, n) == config_name) pack_entry_tables.release_mode = 1;
    }
    at += n + 6;
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
  registered_packs = std::vector<registered_pack>();
}

std::string pack_entry_tables_record::name(size_t i) const { return entry_name(entry(i) + length_byte_at, true); }

lookup_block::lookup_block(size_t size) {
  // Large blocks take whole large pages; the rest share their lines with nothing.
  const size_t alignment = size >= large_page_threshold ? large_page_size : 64;
  const size_t rounded = (size + alignment - 1) / alignment * alignment;
  data_ = static_cast<uint8_t*>(std::aligned_alloc(alignment, rounded));
  if (!data_) return;
  size_ = rounded;
  if (alignment == large_page_size) prefer_large_pages(data_, size_);
}

lookup_block::~lookup_block() { std::free(data_); }

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
  r.state = read_entry_table(*file, header, registered_packs.size(), r);
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

// Copies the visible entries, in sorted order, into one block behind the
// lookup directory; the previous opening's block is used again when it is big
// enough (its pages are in place already). False when memory is short.
bool build_lookup_block(pack_entry_tables_record& t, const std::vector<uint32_t>& refs, lookup_block& previous) {
  using record = pack_entry_tables_record;
  const auto& lengths = pack_name_length_table();
  const size_t count = t.hashes.size();
  int bits = 1;
  while (bits < 31 && (size_t{1} << bits) * record::entries_per_bucket < count) ++bits;
  const size_t buckets = size_t{1} << bits;
  // Each entry grows by its hash, pack slot and sorted index, so the kept
  // blocks bound the entries' room.
  size_t kept_total = 0;
  for (const registered_pack& r : registered_packs) kept_total += r.kept_size;
  const size_t directory_size = ((buckets + 1) * 4 + 63) / 64 * 64;
  const size_t entries_room = kept_total + count * (record::entry_fixed_size - 6) + table_padding;
  if (previous.size() < directory_size + entries_room) {
    previous = lookup_block();  // given back before the new one is made
    previous = lookup_block(directory_size + entries_room);
  }
  lookup_block block = std::move(previous);
  if (!block) return false;
  uint32_t* directory = reinterpret_cast<uint32_t*>(block.data());
  uint8_t* entries = block.data() + directory_size;
  t.entry_offsets.resize(count);
  // The kept entries lie scattered over the packs' blocks: each is asked for
  // a few entries ahead, so many are on their way at once.
  constexpr size_t ahead = 16;
  const int shift = 32 - bits;
  size_t at = 0, bucket = 0;
  for (size_t k = 0; k < count; ++k) {
    if (k + ahead < count) __builtin_prefetch(kept_length_byte_of_ref(refs[k + ahead]));
    const uint32_t ref = refs[k];
    const uint8_t* kept = kept_entry_of_ref(ref);
    const size_t n = lengths[kept[kept_length_byte_at]];
    for (const size_t b = t.hashes[k] >> shift; bucket <= b; ++bucket) directory[bucket] = static_cast<uint32_t>(at);
    uint8_t* e = entries + at;
    put_u32(e, t.hashes[k]);
    std::memcpy(e + record::table_offset_at, kept, 4);
    e[record::pack_slot_at] = static_cast<uint8_t>(pack_of_ref(ref));
    copy_name_and_type(e + record::length_byte_at, kept + kept_length_byte_at, n);
    put_u32(e + record::entry_head_size + 1 + n, static_cast<uint32_t>(k));
    t.entry_offsets[k] = static_cast<uint32_t>(at);
    at += record::entry_fixed_size + n;
  }
  for (; bucket <= buckets; ++bucket) directory[bucket] = static_cast<uint32_t>(at);
  t.bucket_shift = shift;
  t.directory = directory;
  t.entries = entries;
  t.lookup = std::move(block);
  return true;
}

}  // namespace

int open_pack_archives() {
  lookup_block previous_block = std::move(pack_entry_tables.lookup);
  reset_pack_tables();
  // What registration gathered for this pass is dropped however it ends.
  struct release_opening_state {
    ~release_opening_state() {
      registered_packs = std::vector<registered_pack>();
      table_scratch.reset();
      table_scratch_size = 0;
    }
  } release_at_exit;
  pack_entry_tables_record& t = pack_entry_tables;
  t.pack_paths.reserve(pack_max_packs);
  registered_packs.reserve(pack_max_packs);
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
  bool failed_for_memory = false;
  size_t key_count = 0;
  std::vector<uint32_t> starts(buckets + 2, 0);
  for (size_t pack = 0; pack < registered_packs.size(); ++pack) {
    const registered_pack& r = registered_packs[pack];
    if (r.state != table_state::ok) {
      failed_pack = pack, failed_for_memory = r.state == table_state::no_memory;
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
  std::vector<uint32_t> refs(key_count);
  for (size_t pack = 0; pack < packs_read; ++pack) {
    for (uint64_t key : registered_packs[pack].keys) {
      const uint32_t hash = static_cast<uint32_t>(key >> 32);
      const uint32_t at = starts[(hash >> shift) + 1]++;
      t.hashes[at] = hash;
      refs[at] = static_cast<uint32_t>(key);
    }
    registered_packs[pack].keys = {};
  }
  // starts[b] is now where bucket b begins, for b up to `buckets`.
  starts.pop_back();
  auto key_at = [&](size_t k) { return uint64_t(t.hashes[k]) << 32 | refs[k]; };
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
      refs[k] = static_cast<uint32_t>(spill[k - begin]);
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
      refs[j] = refs[j - 1];
    }
    t.hashes[j] = static_cast<uint32_t>(key >> 32);
    refs[j] = static_cast<uint32_t>(key);
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
      for (size_t k = start; k < end; ++k) run.emplace_back(entry_name(kept_length_byte_of_ref(refs[k]), true), k);
      std::stable_sort(run.begin(), run.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (size_t g = 0; g < run.size();) {
        size_t h = g + 1;
        while (h < run.size() && run[h].first == run[g].first) ++h;
        bool error = false;
        for (size_t m = g + 1; m < h && !error; ++m) {
          const uint32_t ref = refs[run[m].second];
          if (!update_packs[pack_of_ref(ref)]) {
            duplicate_ref = std::min(duplicate_ref, ref);
            error = true;
          }
        }
        if (!error)
          for (size_t m = g; m + 1 < h; ++m) refs[run[m].second] = hidden, any_hidden = true;
        g = h;
      }
    }
    start = end;
  }
  if (duplicate_ref != hidden) {
    report_error_fmt(104150, 0, entry_name(kept_length_byte_of_ref(duplicate_ref), false));
    return -1;
  }
  if (failed_pack != SIZE_MAX) {
    // Out of memory names nothing; a table that does not fit names its pack.
    if (failed_for_memory)
      report_error(100010, 1);
    else
      report_error_fmt(104120, 1, t.pack_paths[failed_pack]);
    return -1;
  }

  if (any_hidden) {
    size_t count = 0;
    for (size_t k = 0; k < key_count; ++k) {
      if (refs[k] == hidden) continue;
      t.hashes[count] = t.hashes[k];
      refs[count] = refs[k];
      ++count;
    }
    t.hashes.resize(count);
    refs.resize(count);
  }
  if (!build_lookup_block(t, refs, previous_block)) {
    report_error(100010, 1);
    return -1;
  }
  return 0;
}

int find_in_packs(resource_locator& locator, std::string_view name) {
  using record = pack_entry_tables_record;
  const record& t = pack_entry_tables;
  if (!t.entries) return 0;
  if (name.size() > 255) return 0;
  const uint32_t hash = murmur_hash2(name.data(), name.size(), 0);
  const uint32_t bucket = hash >> t.bucket_shift;
  const uint8_t* at = t.entries + t.directory[bucket];
  const uint8_t* const end = t.entries + t.directory[bucket + 1];
  // The bucket's lines (a bucket only a table made to collide makes long
  // is asked for in part) are on their way while the name is scrambled.
  const uintptr_t first_line = reinterpret_cast<uintptr_t>(at) & ~uintptr_t{63};
  for (uintptr_t line = first_line; line < reinterpret_cast<uintptr_t>(end) && line < first_line + 256; line += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(line));
  const auto& lengths = pack_name_length_table();
  uint8_t scrambled[256];
  scramble_name_bytes(name.data(), name.size(), scrambled);
  // Visible names are unique, so the first entry of this hash and name is
  // the match; the bucket is sorted, so a greater hash ends the search.
  for (; at < end; at += record::entry_fixed_size + lengths[at[record::length_byte_at]]) {
    const uint32_t entry_hash = get_u32(at);
    if (entry_hash != hash) {
      if (entry_hash > hash) break;
      continue;
    }
    const size_t n = lengths[at[record::length_byte_at]];
    if (n != name.size()) continue;
    const uint8_t* stored = at + record::entry_head_size;
    size_t k = 0;
    if (std::memcmp(stored, scrambled, n) == 0) k = n;
    const auto& unscramble = pack_name_unscramble_table();
    for (; k < n; ++k) {
      uint8_t x = unscramble[stored[k]], y = static_cast<uint8_t>(name[k]);
      if (x >= 'A' && x <= 'Z') x = static_cast<uint8_t>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<uint8_t>(y + 32);
      if (x != y) break;
    }
    if (k != n) continue;
    locator.state = resource_in_pack;
    locator.entry_index = static_cast<int32_t>(record::sorted_index_of(at, n));
    locator.pack_index = at[record::pack_slot_at];
    locator.type = stored[n];
    locator.position = record::data_position_of(at, n);
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
