#include "resources/pack_archive.h"

#include <zlib.h>

#include <algorithm>
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

  // Every entry of every pack, in registration and table order.
  struct entry_row {
    uint32_t hash;
    uint16_t pack;
    uint64_t position;
    uint64_t data_position;
    uint8_t type;
    bool hidden;
    std::string name;  // lower-cased
  };
  std::vector<entry_row> rows;
  rows.reserve(pack_entry_tables.entry_total);
  // (hash, lower-cased name) -> the visible row of that name. Two entries are
  // the same file only when both their stored hashes and names agree. The
  // keys view the rows' names: `rows` is reserved for every entry, so it never
  // moves.
  struct row_key {
    uint32_t hash;
    std::string_view name;
    bool operator==(const row_key& o) const { return hash == o.hash && name == o.name; }
  };
  struct row_key_hash {
    size_t operator()(const row_key& k) const { return k.hash; }
  };
  std::unordered_map<row_key, size_t, row_key_hash> visible;
  visible.reserve(pack_entry_tables.entry_total);
  static const std::string config_name = "kxbin\\kxcfg.kbn";

  for (size_t pack = 0; pack < pack_entry_tables.pack_paths.size(); ++pack) {
    const std::string& path = pack_entry_tables.pack_paths[pack];
    std::unique_ptr<HostReadFile> file = pack_file_open(path);
    if (!file) {
      report_error_fmt(901040, 1, path);
      return -1;
    }
    pack_header_info header;
    std::vector<pack_entry_info> entries;
    if (read_pack_header(*file, header) != pack_header_status::ok || header.entry_count != registered_entry_counts[pack] ||
        !read_pack_entry_table(*file, header, entries)) {
      // The table does not fit the file (or changed since registration).
      report_error_fmt(104120, 1, path);
      return -1;
    }
    file.reset();
    bool update_pack = is_update_pack_path(path);
    for (pack_entry_info& e : entries) {
      rows.push_back({e.name_hash, static_cast<uint16_t>(pack), e.entry_position, e.fields_position, e.type, false,
                      e.name});
      entry_row& row = rows.back();
      lower_path_sjis(row.name);
      if (row.name == config_name) pack_entry_tables.release_mode = 1;
      auto [found, inserted] = visible.try_emplace(row_key{row.hash, row.name}, rows.size() - 1);
      if (!inserted) {
        if (!update_pack) {
          report_error_fmt(104150, 0, e.name);  // as stored
          return -1;
        }
        rows[found->second].hidden = true;
        found->second = rows.size() - 1;
      }
    }
  }

  // (hash, row) pairs sort like a stable sort by hash, and stay in cache.
  std::vector<std::pair<uint32_t, uint32_t>> order;
  order.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    if (!rows[i].hidden) order.emplace_back(rows[i].hash, static_cast<uint32_t>(i));
  std::sort(order.begin(), order.end());
  pack_entry_tables_record& t = pack_entry_tables;
  t.hashes.reserve(order.size());
  t.pack_indexes.reserve(order.size());
  t.positions.reserve(order.size());
  t.data_positions.reserve(order.size());
  t.types.reserve(order.size());
  t.names.reserve(order.size());
  for (const auto& [hash, i] : order) {
    entry_row& r = rows[i];
    t.hashes.push_back(r.hash);
    t.pack_indexes.push_back(r.pack);
    t.positions.push_back(r.position);
    t.data_positions.push_back(r.data_position);
    t.types.push_back(r.type);
    t.names.push_back(std::move(r.name));
  }
  return 0;
}

int find_in_packs(resource_locator& locator, std::string_view name) {
  const pack_entry_tables_record& t = pack_entry_tables;
  uint32_t hash = murmur_hash2(name.data(), name.size(), 0);
  auto first = std::lower_bound(t.hashes.begin(), t.hashes.end(), hash);
  for (auto it = first; it != t.hashes.end() && *it == hash; ++it) {
    size_t i = static_cast<size_t>(it - t.hashes.begin());
    if (!ascii_iequal(t.names[i], name)) continue;
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
