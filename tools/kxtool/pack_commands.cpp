// kxtool pack / list / extract: folders to .kpf archives and back.
#include "pack_commands.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "core/sjis.h"
#include "format/hashes.h"
#include "format/pack_format.h"

namespace fs = std::filesystem;

bool write_host_file(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::error_code ec;
  if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

int write_pack_file(const fs::path& out, const std::vector<pack_writer_entry>& entries, size_t* size) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!build_pack(entries, bytes, &error)) {
    std::cerr << "kxtool: " << error << "\n";
    return 1;
  }
  if (!write_host_file(out, bytes)) {
    std::cerr << "kxtool: cannot write " << out << "\n";
    return 1;
  }
  if (size) *size = bytes.size();
  return 0;
}

namespace {

bool read_host_file(const fs::path& p, std::vector<uint8_t>& out) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

const char* type_name(uint8_t t) {
  static const char* names[] = {"-", "bmp", "png", "jpeg", "gif", "wav", "ogg", "psd", "kcg"};
  return t < 9 ? names[t] : "?";
}

// The entry's bytes as the player would hand them out, checksum and repair
// included. Empty error on success.
std::string read_entry(memory_read_file& file, const pack_entry_info& e, std::vector<uint8_t>& out) {
  if (e.data_offset > file.size() || e.stored_size > file.size() - e.data_offset) return "data outside the file";
  std::vector<uint8_t> stored(e.stored_size);
  file.read_at(e.data_offset, stored.data(), stored.size());
  if (murmur_hash2(stored.data(), stored.size(), 0) != e.checksum) {
    pack_repair_trailer t;
    if (read_pack_repair_trailer(file, e.data_offset + e.stored_size, e.stored_size, t) != repair_trailer_status::ok)
      return "damaged, no repair data";
    repair_pack_blocks(stored.data(), stored.size(), t);
    if (murmur_hash2(stored.data(), stored.size(), 0) != e.checksum) return "damaged beyond repair";
  }
  if (e.compression == pack_stored) {
    if (e.unpacked_size != e.stored_size) return "stored entry with a different unpacked size";
    out = std::move(stored);
    return {};
  }
  if (e.compression != pack_zlib) return "unknown compression";
  if (e.unpacked_size > pack_max_inflated_size(e.stored_size)) return "impossible unpacked size";
  out.resize(e.unpacked_size);
  uLongf n = static_cast<uLongf>(out.size());
  if (uncompress(out.data(), &n, stored.data(), static_cast<uLong>(stored.size())) != Z_OK || n != out.size())
    return "zlib stream damaged";
  return {};
}

bool load_pack(const std::string& path, std::unique_ptr<memory_read_file>& file, std::vector<pack_entry_info>& entries) {
  std::vector<uint8_t> bytes;
  if (!read_host_file(path, bytes)) {
    std::cerr << "kxtool: cannot read " << path << "\n";
    return false;
  }
  file = std::make_unique<memory_read_file>(std::move(bytes));
  pack_header_info h;
  if (read_pack_header(*file, h) != pack_header_status::ok) {
    std::cerr << "kxtool: " << path << " is not a pack\n";
    return false;
  }
  if (h.version < pack_oldest_version) {
    std::cerr << "kxtool: " << path << ": pack version " << h.version << " is too old\n";
    return false;
  }
  if (!read_pack_entry_table(*file, h, entries)) {
    std::cerr << "kxtool: " << path << ": damaged entry table\n";
    return false;
  }
  return true;
}

}  // namespace

int kxtool_pack(const std::vector<std::string>& args) {
  std::string mode = "auto";
  bool repair = true;
  std::vector<std::string> rest;
  for (const std::string& a : args) {
    if (a == "--store") mode = "store";
    else if (a == "--zlib") mode = "zlib";
    else if (a == "--auto") mode = "auto";
    else if (a == "--no-repair") repair = false;
    else if (a == "--repair") repair = true;
    else rest.push_back(a);
  }
  if (rest.size() != 2) {
    std::cerr << "usage: kxtool pack [--store|--zlib|--auto] [--no-repair] FOLDER OUT.kpf\n";
    return 2;
  }
  fs::path root = rest[0];
  fs::path out_path = rest[1];
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    std::cerr << "kxtool: " << root << " is not a folder\n";
    return 1;
  }
  fs::path out_abs = fs::weakly_canonical(out_path, ec);
  std::vector<fs::path> files;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file()) continue;
    if (fs::weakly_canonical(it->path(), ec) == out_abs) continue;  // never pack the pack being written
    files.push_back(it->path());
  }
  if (ec) {
    std::cerr << "kxtool: cannot walk " << root << ": " << ec.message() << "\n";
    return 1;
  }
  std::sort(files.begin(), files.end());
  std::vector<pack_writer_entry> entries;
  for (const fs::path& p : files) {
    pack_writer_entry e;
    const std::string rel_utf8 = fs::relative(p, root).generic_string();
    std::string rel = rel_utf8;
    std::replace(rel.begin(), rel.end(), '/', '\\');
    e.name = utf8_to_sjis(rel);
    // A character Shift-JIS cannot hold would come back as '?'.
    std::string back = sjis_to_utf8(e.name);
    std::replace(back.begin(), back.end(), '\\', '/');
    if (back != rel_utf8) {
      std::cerr << "kxtool: " << rel_utf8 << ": the name has characters Shift-JIS cannot hold\n";
      return 1;
    }
    if (!read_host_file(p, e.data)) {
      std::cerr << "kxtool: cannot read " << p << "\n";
      return 1;
    }
    e.type = resource_type_of_name(e.name);
    e.repair = repair;
    if (mode == "store") {
      e.compression = pack_stored;
    } else if (mode == "zlib") {
      e.compression = pack_zlib;
    } else {
      // zlib only where it saves something: pictures and sounds are mostly
      // compressed already.
      uLongf cap = compressBound(static_cast<uLong>(e.data.size()));
      std::vector<uint8_t> probe(cap);
      bool smaller = compress2(probe.data(), &cap, e.data.data(), static_cast<uLong>(e.data.size()), 9) == Z_OK &&
                     cap + 16 < e.data.size();
      e.compression = smaller ? pack_zlib : pack_stored;
    }
    entries.push_back(std::move(e));
  }
  size_t size = 0;
  if (write_pack_file(out_path, entries, &size)) return 1;
  std::cout << "packed " << entries.size() << " files into " << out_path.string() << " (" << size << " bytes)\n";
  return 0;
}

int kxtool_list(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::cerr << "usage: kxtool list PACK.kpf\n";
    return 2;
  }
  std::unique_ptr<memory_read_file> file;
  std::vector<pack_entry_info> entries;
  if (!load_pack(args[0], file, entries)) return 1;
  for (const pack_entry_info& e : entries) {
    std::string name = sjis_to_utf8(e.name);
    std::printf("%-5s %-4s %10u %10u %s %s\n", type_name(e.type), e.compression == pack_zlib ? "zlib" : "raw",
                e.unpacked_size, e.stored_size, name.c_str(),
                name_hash([&] {
                  std::string l = e.name;
                  lower_path_sjis(l);
                  return l;
                }()) == e.name_hash
                    ? ""
                    : "(hash mismatch)");
  }
  return 0;
}

int kxtool_extract(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::cerr << "usage: kxtool extract PACK.kpf FOLDER\n";
    return 2;
  }
  std::unique_ptr<memory_read_file> file;
  std::vector<pack_entry_info> entries;
  if (!load_pack(args[0], file, entries)) return 1;
  fs::path root = args[1];
  int status = 0;
  for (const pack_entry_info& e : entries) {
    std::string rel = sjis_to_utf8(e.name);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    fs::path relative = fs::path(rel).lexically_normal();
    if (rel.empty() || relative.is_absolute() || relative.empty() || *relative.begin() == "..") {
      std::cerr << "kxtool: skipping entry outside the folder: " << rel << "\n";
      status = 1;
      continue;
    }
    std::vector<uint8_t> data;
    std::string error = read_entry(*file, e, data);
    if (!error.empty()) {
      std::cerr << "kxtool: " << rel << ": " << error << "\n";
      status = 1;
      continue;
    }
    if (!write_host_file(root / relative, data)) {
      std::cerr << "kxtool: cannot write " << (root / relative) << "\n";
      status = 1;
    }
  }
  return status;
}
