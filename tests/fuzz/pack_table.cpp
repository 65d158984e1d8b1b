// The pack opening pass and entry reads over one arbitrary pack file.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "format/hashes.h"
#include "format/pack_format.h"
#include "platform/headless/headless_platform.h"
#include "platform/platform.h"
#include "resources/pack_archive.h"
#include "resources/resource_locator.h"

namespace {

// A game folder holding one pack made of the fuzzer's bytes.
class one_pack_files final : public HostFiles {
 public:
  std::vector<uint8_t> bytes;
  std::string game_folder_host() const override { return "/fuzz/"; }
  std::string host_path(std::string_view p) const override { return std::string(p); }
  host_entry_kind kind(std::string_view, uint64_t*) const override { return host_entry_kind::missing; }
  bool read_file(std::string_view, std::vector<uint8_t>&) const override { return false; }
  bool with_update = false;  // the same bytes again as an update pack
  std::unique_ptr<HostReadFile> open_read(std::string_view path) const override {
    if (path != ".\\fuzz.kpf" && !(with_update && path == ".\\update1.kpf")) return nullptr;
    return std::make_unique<memory_read_file>(bytes);
  }
  std::vector<host_folder_entry> list_folder(std::string_view path) const override {
    if (path != ".") return {};
    if (with_update) return {{"update1.kpf", false, bytes.size()}, {"fuzz.kpf", false, bytes.size()}};
    return {{"fuzz.kpf", false, bytes.size()}};
  }
  bool write_file(std::string_view, const void*, size_t) override { return false; }
  bool append_file(std::string_view, const void*, size_t) override { return false; }
  bool replace_file(std::string_view, const void*, size_t) override { return false; }
  bool remove_file(std::string_view) override { return false; }
  bool rename(std::string_view, std::string_view) override { return false; }
  bool make_folder(std::string_view) override { return false; }
  bool remove_folder(std::string_view) override { return false; }
  bool write_allowed(std::string_view) const override { return false; }
  void add_write_root(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static one_pack_files files;
  static Platform services;
  static HeadlessClock clock;  // the info log stamps its header
  services.files = &files;
  services.clock = &clock;
  install_platform(&services);
  build_name_length_table();
  files.bytes.assign(data, data + size);
  // Alone, and then with an update pack whose every entry hides its copy.
  for (bool update : {false, true}) {
    files.with_update = update;
    if (open_pack_archives() != 0) continue;
    size_t n = std::min<size_t>(pack_entry_tables.size(), 32);
    for (size_t i = 0; i < n; ++i) {
      resource_locator l;
      std::string name(pack_entry_tables.name(i));
      if (find_in_packs(l, name) != 2) continue;
      // The entry found holds the name (letters folded) under the name's
      // hash; a table may store other hashes, so it need not be entry i.
      const size_t found = static_cast<size_t>(l.entry_index);
      if (found >= pack_entry_tables.size() || pack_entry_tables.hashes[found] != name_hash(name) ||
          !ascii_iequal(pack_entry_tables.name(found), name))
        __builtin_trap();
      read_entry_from_pack(l, name);
    }
  }
  return 0;
}
