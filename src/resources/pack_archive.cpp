#include "resources/pack_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_map>

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

// Entry counts of the registered packs, by slot, as their headers gave them
// at registration.
std::vector<uint32_t> registered_entry_counts;

// An entry's name as stored (unscrambled, not lower-cased), read again from
// its pack for a report; the lower-cased name when that fails.
std::string stored_entry_name(const std::string& pack_path, uint64_t position, std::string_view lowered_name) {
  std::string name(lowered_name);
  std::unique_ptr<HostReadFile> file = pack_file_open(pack_path);
  if (!file || !file->read_at(position + 1, reinterpret_cast<uint8_t*>(name.data()), name.size()))
    return std::string(lowered_name);
  for (char& c : name) c = static_cast<char>(unscramble_name_byte(static_cast<uint8_t>(c)));
  return name;
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
  registered_entry_counts.clear();
}

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
  file.reset();
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
  registered_entry_counts.push_back(header.entry_count);
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

int open_pack_archives() {
  reset_pack_tables();
  pack_entry_tables.pack_paths.reserve(pack_max_packs);
  if (scan_pack_folder(".", 1) != 0) return -1;
  for (int slot = 1; slot <= 9; ++slot) {
    const std::string& path = pack_entry_tables.update_slots[slot];
    if (!path.empty()) add_pack_file(path);  // failures are reported; the rest still register
  }

  // Every entry of every pack, in registration and table order. Names go
  // into one block of bytes; rows hold offsets into it.
  struct entry_row {
    uint32_t hash;
    uint32_t name_offset;
    uint64_t position;
    uint64_t data_position;
    uint16_t name_length;
    uint16_t pack;
    uint8_t type;
    bool hidden;
  };
  std::vector<entry_row> rows;
  rows.reserve(pack_entry_tables.entry_total);
  std::unique_ptr<char[]> names;
  size_t names_size = 0, names_capacity = 0;
  static const std::string config_name = "kxbin\\kxcfg.kbn";
  const auto& lengths = pack_name_length_table();
  uint8_t unscramble[256];
  for (int b = 0; b < 256; ++b) unscramble[b] = unscramble_name_byte(static_cast<uint8_t>(b));
  std::vector<uint8_t> table;

  // Reading stops at the first pack that cannot be opened or whose table
  // does not fit; that failure is reported after the duplicate test of the
  // packs before it, the order in which one pack after another would meet
  // them.
  size_t failed_pack = SIZE_MAX;
  int failure_code = 0;
  for (size_t pack = 0; pack < pack_entry_tables.pack_paths.size(); ++pack) {
    const std::string& path = pack_entry_tables.pack_paths[pack];
    std::unique_ptr<HostReadFile> file = pack_file_open(path);
    if (!file) {
      failed_pack = pack, failure_code = 901040;
      break;
    }
    // The table is walked in place: the same checks as read_pack_entry_table
    // without building a record per entry.
    pack_header_info header;
    bool fits = read_pack_header(*file, header) == pack_header_status::ok &&
                header.entry_count == registered_entry_counts[pack];
    if (fits) {
      uint64_t file_size = file->size();
      fits = file_size >= pack_header_size && header.table_size <= file_size - pack_header_size &&
             header.entry_count <= header.table_size / pack_entry_fixed_size;
    }
    if (fits) {
      table.resize(header.table_size);
      fits = !header.table_size || file->read_at(pack_header_size, table.data(), table.size());
    }
    file.reset();
    size_t first_row = rows.size();
    for (size_t pos = 0, i = 0; fits && i < header.entry_count; ++i) {
      if (table.size() - pos < pack_entry_fixed_size) {
        fits = false;
        break;
      }
      size_t n = lengths[table[pos + 4]];
      if (table.size() - pos < pack_entry_fixed_size + n) {
        fits = false;
        break;
      }
      entry_row r;
      r.hash = get_u32(&table[pos]);
      r.name_length = static_cast<uint16_t>(n);
      r.position = pack_header_size + pos + 4;
      size_t p = pos + 5 + n;
      r.type = table[p];
      r.data_position = pack_header_size + p + 1;
      r.pack = static_cast<uint16_t>(pack);
      r.hidden = false;
      if (names_size + n > names_capacity) {
        // Grown by doubling; no byte is cleared before it is written.
        size_t grown = std::max(names_size + n + table.size(), names_capacity * 2);
        std::unique_ptr<char[]> bigger(new char[grown]);
        if (names_size) std::memcpy(bigger.get(), names.get(), names_size);
        names = std::move(bigger);
        names_capacity = grown;
      }
      r.name_offset = static_cast<uint32_t>(names_size);
      char* name = names.get() + names_size;
      names_size += n;
      // Unscrambled and lower-cased (Shift-JIS aware) in one pass.
      const uint8_t* stored = &table[pos + 5];
      for (size_t k = 0; k < n; ++k) {
        uint8_t c = unscramble[stored[k]];
        if (k + 1 < n && is_sjis_lead(c)) {
          name[k] = static_cast<char>(c);
          name[k + 1] = static_cast<char>(unscramble[stored[k + 1]]);
          ++k;
          continue;
        }
        name[k] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
      }
      if (std::string_view(name, n) == config_name) pack_entry_tables.release_mode = 1;
      rows.push_back(r);
      pos = p + 1 + pack_entry_fields_size;
    }
    if (!fits) {
      // The table does not fit the file (or changed since registration).
      rows.resize(first_row);
      failed_pack = pack, failure_code = 104120;
      break;
    }
  }

  // Every row by hash, in row order among equal hashes: a stable radix sort
  // of (hash, row) keys, byte by byte from the lowest.
  std::vector<uint64_t> keys(rows.size()), spare(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) keys[i] = uint64_t(rows[i].hash) << 32 | i;
  // Three passes of 11, 11 and 10 bits; the counts of all three in one walk.
  {
    static constexpr int shifts[3] = {32, 43, 54};
    std::vector<uint32_t> counts(3 * 2049, 0);
    for (uint64_t k : keys)
      for (int d = 0; d < 3; ++d) ++counts[d * 2049 + ((k >> shifts[d]) & 0x7FF) + 1];
    for (int d = 0; d < 3; ++d) {
      uint32_t* c = counts.data() + d * 2049;
      for (int b = 1; b < 2049; ++b) c[b] += c[b - 1];
      for (uint64_t k : keys) spare[c[(k >> shifts[d]) & 0x7FF]++] = k;
      keys.swap(spare);
    }
  }

  // Duplicates share a hash, so they sit in one run of the sorted keys. Taken
  // in row order, a name met again in an update pack hides the copy seen so
  // far; met again elsewhere it is an error, the first such row in row order
  // being the one reported. (Update packs register last, so the copy seen so
  // far of a name met in an ordinary pack is never in an update pack.)
  std::vector<uint8_t> update_packs(pack_entry_tables.pack_paths.size());
  for (size_t pack = 0; pack < update_packs.size(); ++pack)
    update_packs[pack] = is_update_pack_path(pack_entry_tables.pack_paths[pack]) ? 1 : 0;
  auto row_name = [&](const entry_row& r) { return std::string_view(names.get() + r.name_offset, r.name_length); };
  size_t duplicate_row = SIZE_MAX;
  for (size_t start = 0; start < keys.size();) {
    size_t end = start + 1;
    while (end < keys.size() && (keys[end] >> 32) == (keys[start] >> 32)) ++end;
    for (size_t j = start + 1; j < end; ++j) {
      entry_row& later = rows[uint32_t(keys[j])];
      for (size_t i = start; i < j; ++i) {
        entry_row& earlier = rows[uint32_t(keys[i])];
        if (earlier.hidden || row_name(earlier) != row_name(later)) continue;
        if (update_packs[later.pack])
          earlier.hidden = true;
        else
          duplicate_row = std::min<size_t>(duplicate_row, uint32_t(keys[j]));
        break;
      }
    }
    start = end;
  }
  if (duplicate_row != SIZE_MAX && (failed_pack == SIZE_MAX || rows[duplicate_row].pack < failed_pack)) {
    const entry_row& r = rows[duplicate_row];
    report_error_fmt(104150, 0, stored_entry_name(pack_entry_tables.pack_paths[r.pack], r.position, row_name(r)));
    return -1;
  }
  if (failed_pack != SIZE_MAX) {
    report_error_fmt(failure_code, 1, pack_entry_tables.pack_paths[failed_pack]);
    return -1;
  }

  pack_entry_tables_record& t = pack_entry_tables;
  size_t count = 0;
  for (uint64_t k : keys)
    if (!rows[uint32_t(k)].hidden) keys[count++] = k;
  keys.resize(count);
  t.hashes.resize(count);
  t.pack_indexes.resize(count);
  t.positions.resize(count);
  t.data_positions.resize(count);
  t.types.resize(count);
  t.name_offsets.resize(count);
  t.name_lengths.resize(count);
  for (size_t k = 0; k < count; ++k) {
    const entry_row& r = rows[uint32_t(keys[k])];
    t.hashes[k] = r.hash;
    t.pack_indexes[k] = r.pack;
    t.positions[k] = r.position;
    t.data_positions[k] = r.data_position;
    t.types[k] = r.type;
    t.name_offsets[k] = r.name_offset;
    t.name_lengths[k] = r.name_length;
  }
  t.name_bytes = std::move(names);
  t.name_bytes_size = names_size;
  size_t slots = 16;
  while (slots < count * 2) slots *= 2;
  t.lookup_slots.assign(slots, 0);
  for (size_t k = 0; k < count; ++k) {
    size_t slot = t.hashes[k] & (slots - 1);
    while (t.lookup_slots[slot] != 0) slot = (slot + 1) & (slots - 1);
    t.lookup_slots[slot] = static_cast<uint32_t>(k + 1);
  }
  return 0;
}

int find_in_packs(resource_locator& locator, std::string_view name) {
  const pack_entry_tables_record& t = pack_entry_tables;
  if (t.lookup_slots.empty()) return 0;
  const uint32_t hash = murmur_hash2(name.data(), name.size(), 0);
  const size_t mask = t.lookup_slots.size() - 1;
  // Visible names are unique, so the one entry of this hash and name is the
  // match whatever the probe order.
  for (size_t slot = hash & mask; t.lookup_slots[slot] != 0; slot = (slot + 1) & mask) {
    const size_t i = t.lookup_slots[slot] - 1;
    if (t.hashes[i] != hash) continue;
    std::string_view stored = t.name(i);
    if (stored != name && !ascii_iequal(stored, name)) continue;
    locator.state = resource_in_pack;
    locator.entry_index = static_cast<int32_t>(i);
    locator.pack_index = t.pack_indexes[i];
    locator.type = t.types[i];
    locator.position = t.data_positions[i];
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
