#include "resources/resource_locator.h"

#include <new>

#include "core/error_report.h"
#include "core/sjis.h"
#include "format/pack_format.h"
#include "platform/platform.h"
#include "core/engine_config.h"
#include "resources/compiler_link.h"
#include "resources/pack_archive.h"

resource_memory_caches_record resource_memory_caches;

namespace {

bool iends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && ascii_iequal(s.substr(s.size() - suffix.size()), suffix);
}

bool has_extension_of_kind(std::string_view name, int kind) {
  if (kind == resource_kind_image)
    return iends_with(name, ".bmp") || iends_with(name, ".png") || iends_with(name, ".jpg") ||
           iends_with(name, ".gif");
  if (kind == resource_kind_sound) return iends_with(name, ".wav") || iends_with(name, ".ogg");
  return false;
}

const char* extension_for_code(int kind, uint8_t code) {
  if (kind == resource_kind_image) {
    switch (code) {
      case 1: return ".png";
      case 2: return ".bmp";
      case 3: return ".jpg";
      case 4: return ".gif";
    }
  } else if (kind == resource_kind_sound) {
    switch (code) {
      case 1: return ".ogg";
      case 2: return ".wav";
    }
  }
  return nullptr;
}

// Packs before loose files, unless the run kind's loose-first flag is set.
bool loose_files_first() {
  return pack_entry_tables.release_mode ? engine_config.release_loose_first != 0
                                        : engine_config.dev_loose_first != 0;
}

bool copy_bytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& in) {
  try {
    out = in;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

void reset_resource_caches() {
  resource_memory_caches = resource_memory_caches_record{};
  reset_compiler_link_table();
}

std::string normalise_resource_name(std::string_view name) {
  std::string in(name);
  replace_sjis_char(in, '\\', '/');
  std::string working;
  bool special = false;
  for (size_t i = 0; i < in.size(); i = sjis_next(in, i))
    if (sjis_char_length(in, i) == 1 && (in[i] == '.' || in[i] == ':' || in[i] == '/')) special = true;
  if (!special) {
    working = in;
  } else {
    std::string_view w(in);
    if (w.substr(0, 2) == ":/") {
      w.remove_prefix(2);
    } else if (!w.empty() && (w[0] == ':' || w[0] == '/')) {
      w.remove_prefix(1);
    }
    // Component by component: "./" is dropped, "../" takes back the last
    // component written (nothing at the start), anything else is copied.
    std::string out;
    size_t start = 0;
    std::string text(w);
    size_t i = 0;
    while (i <= text.size()) {
      bool at_end = i == text.size();
      if (!at_end && !(sjis_char_length(text, i) == 1 && text[i] == '/')) {
        i = sjis_next(text, i);
        continue;
      }
      std::string component = text.substr(start, i - start);
      if (at_end) {
        out += component;
        break;
      }
      if (component == ".") {
      } else if (component == "..") {
        if (!out.empty()) {
          size_t cut = out.size() - 1;  // out ends in '/'
          size_t prev = 0;
          for (size_t k = 0; k < cut; k = sjis_next(out, k))
            if (sjis_char_length(out, k) == 1 && out[k] == '/') prev = k + 1;
          out.resize(prev);
        }
      } else {
        out += component;
        out += '/';
      }
      ++i;
      start = i;
    }
    if (!out.empty() && out.back() == '/') {
      // A trailing '/' is never a trail byte: the loop above only appends it
      // after whole characters.
      out.pop_back();
    }
    working = out;
  }
  lower_path_sjis(working);
  replace_sjis_char(working, '/', '\\');
  return working;
}

int find_in_memory_caches(resource_locator& locator, std::string_view name) {
  for (int g = 0; g < memory_cache_groups; ++g) {
    const memory_cache_group& group = resource_memory_caches.groups[g];
    for (size_t s = 0; s < group.slots.size(); ++s) {
      if (!ascii_iequal(group.slots[s].name, name)) continue;
      locator.state = resource_in_memory_cache;
      locator.cache_group = g;
      locator.cache_slot = static_cast<int32_t>(s);
      locator.type = group.slots[s].type;
      return resource_in_memory_cache;
    }
  }
  return 0;
}

bool loose_file_exists(std::string_view name) {
  if (!platform_installed() || !platform().files || name.empty()) return false;
  return platform().files->kind(name) == host_entry_kind::file;
}

int locate_resource(resource_locator& locator, std::string_view name, bool want_type) {
  locator.state = resource_nowhere;
  locator.type = 0;
  if (find_in_memory_caches(locator, name)) return locator.state;
  if (find_in_mapped_list(locator, name)) return locator.state;
  auto try_loose = [&]() {
    if (!loose_file_exists(name)) return false;
    locator.state = resource_loose_file;
    if (want_type) locator.type = resource_type_of_name(name);
    return true;
  };
  if (loose_files_first() && try_loose()) return locator.state;
  int r = find_in_packs(locator, name);
  if (r == 2) return locator.state;
  if (r < 0) return -2;
  if (!loose_files_first() && try_loose()) return locator.state;
  return 0;
}

int resolve_resource_name(resource_locator& locator, std::string& out_name, std::string& in_name, int kind) {
  replace_sjis_char(in_name, '\\', '/');
  std::string base = normalise_resource_name(in_name);
  if (kind == resource_kind_any || has_extension_of_kind(base, kind)) {
    out_name = base;
    int r = locate_resource(locator, base, true);
    if (r < 0) return -1;
    return r > 0 ? 0 : 1;
  }
  const uint8_t* order = kind == resource_kind_image ? engine_config.image_extension_order
                                                      : engine_config.sound_extension_order;
  int tries = kind == resource_kind_image ? 4 : 2;
  out_name = base;
  locator.state = resource_nowhere;
  locator.type = 0;
  for (int i = 0; i < tries; ++i) {
    const char* ext = extension_for_code(kind, order[i]);
    if (!ext) continue;
    out_name = base + ext;
    int r = locate_resource(locator, out_name, true);
    if (r < 0) return -1;
    if (r > 0) return 0;
  }
  return 1;
}

int read_entry_from_loose_file(resource_locator& locator, std::string_view name) {
  std::vector<uint8_t> bytes;
  try {
    if (!platform_installed() || !platform().files || !platform().files->read_file(name, bytes)) {
      report_error_fmt(104010, 1, std::string(name));
      return -3;
    }
  } catch (const std::bad_alloc&) {
    report_error_fmt(104030, 1, std::string(name));
    return -3;
  }
  locator.size = static_cast<uint32_t>(bytes.size());
  locator.data = std::move(bytes);
  return 0;
}

int read_entry_from_memory_cache(resource_locator& locator, std::string_view name) {
  if (locator.cache_group < 0 || locator.cache_group >= memory_cache_groups) return -3;
  const memory_cache_group& group = resource_memory_caches.groups[locator.cache_group];
  if (locator.cache_slot < 0 || static_cast<size_t>(locator.cache_slot) >= group.slots.size()) return -3;
  const memory_cache_slot& slot = group.slots[locator.cache_slot];
  if (!copy_bytes(locator.data, slot.data)) {
    report_error_fmt(104030, 1, std::string(name));
    return -3;
  }
  locator.size = static_cast<uint32_t>(locator.data.size());
  return 0;
}

int read_located_resource(resource_locator& locator, std::string_view name) {
  switch (locator.state) {
    case resource_loose_file: return read_entry_from_loose_file(locator, name);
    case resource_in_pack: return read_entry_from_pack(locator, name);
    case resource_in_link_table: return read_entry_from_mapped_list(locator, name);
    case resource_in_memory_cache: return read_entry_from_memory_cache(locator, name);
  }
  return -3;
}

int preload_resource(int group_number, std::string& in_name, int kind) {
  if (group_number < 0 || group_number >= memory_cache_groups) return -1;
  resource_locator locator;
  std::string name;
  int r = resolve_resource_name(locator, name, in_name, kind);
  if (r < 0) return -1;
  if (r == 1) return 0;
  memory_cache_group& group = resource_memory_caches.groups[group_number];
  if (locator.state == resource_in_memory_cache && locator.cache_group == group_number) {
    // Already held: it becomes the newest, without reading it again.
    memory_cache_slot slot = std::move(group.slots[locator.cache_slot]);
    group.slots.erase(group.slots.begin() + locator.cache_slot);
    slot.name = name;
    group.slots.push_back(std::move(slot));
    return 0;
  }
  if (read_located_resource(locator, name) != 0) return -1;
  if (group.slots.size() >= static_cast<size_t>(memory_cache_slots)) {
    group.byte_total -= group.slots.front().size;
    group.slots.erase(group.slots.begin());
  }
  memory_cache_slot slot;
  slot.name = name;
  slot.size = locator.size;
  slot.type = locator.type;
  slot.data = std::move(locator.data);
  group.byte_total += slot.size;
  group.slots.push_back(std::move(slot));
  return 0;
}
