#include "system/registry_store.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "core/sjis.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "script/argument_binding.h"
#include "system/command_output.h"

namespace {

constexpr size_t value_limit = 1023;  // the read buffer of 1024 bytes, terminated

std::mutex store_lock;
bool loaded = false;
registry_image image;
std::string file_host;

std::string lower_ascii(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

// Key paths: '/' as '\', no trailing '\', the comparison key lower-cased.
std::string key_of(std::string_view path_utf8) {
  std::string k(path_utf8);
  std::replace(k.begin(), k.end(), '/', '\\');
  while (!k.empty() && k.back() == '\\') k.pop_back();
  return k;
}

std::string quoted(std::string_view s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') {
      r += '\\';
      r += c;
    } else if (c == '\n') {
      r += "\\n";
    } else if (c == '\r') {
      r += "\\r";
    } else {
      r += c;
    }
  }
  return r + "\"";
}

// Reads a quoted text at `i`; false when it is not one.
bool read_quoted(std::string_view line, size_t& i, std::string& out) {
  if (i >= line.size() || line[i] != '"') return false;
  ++i;
  out.clear();
  while (i < line.size()) {
    char c = line[i++];
    if (c == '"') return true;
    if (c == '\\') {
      if (i >= line.size()) return false;
      char e = line[i++];
      out += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
    } else {
      out += c;
    }
  }
  return false;
}

std::string config_folder_host() {
  Process* p = platform_installed() ? platform().process : nullptr;
  return p ? p->user_config_folder_host() : std::string();
}

std::string game_folder_host() {
  HostFiles* f = platform_installed() ? platform().files : nullptr;
  return f ? f->game_folder_host() : std::string();
}

void load_locked() {
  if (loaded) return;
  loaded = true;
  image.clear();
  HostFiles* files = platform_installed() ? platform().files : nullptr;
  if (!files) return;
  // Only this game's own file: the other games' files beside it stay theirs.
  file_host = game_registry_file_host(config_folder_host(), game_folder_host());
  files->add_write_file(file_host);
  std::vector<uint8_t> bytes;
  if (files->read_file(utf8_to_sjis(file_host), bytes) || files->read_file("registry.txt", bytes))
    image = parse_registry_text(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool save_locked() {
  HostFiles* files = platform_installed() ? platform().files : nullptr;
  if (!files || file_host.empty()) return false;
  const std::string text = format_registry_text(image);
  return files->replace_file(utf8_to_sjis(file_host), text.data(), text.size());
}

}  // namespace

registry_image parse_registry_text(std::string_view text) {
  registry_image out;
  registry_key_entry* key = nullptr;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.rfind(']');
      if (close == std::string_view::npos || close < 1) {
        key = nullptr;
        continue;
      }
      const std::string path = key_of(line.substr(1, close - 1));
      registry_key_entry& e = out[lower_ascii(path)];
      if (e.path.empty()) e.path = path;
      key = &e;
      continue;
    }
    if (!key) continue;
    size_t i = 0;
    std::string name, value;
    if (!read_quoted(line, i, name)) continue;
    if (i >= line.size() || line[i] != '=') continue;
    ++i;
    if (!read_quoted(line, i, value)) continue;
    key->values[lower_ascii(name)] = {name, value};
  }
  return out;
}

std::string format_registry_text(const registry_image& image_in) {
  std::string out;
  for (const auto& [lower, key] : image_in) {
    out += "[" + key.path + "]\n";
    for (const auto& [lname, nv] : key.values) out += quoted(nv.first) + "=" + quoted(nv.second) + "\n";
    out += "\n";
  }
  return out;
}

size_t registry_root_length(std::string_view key_path) {
  static const char* const roots[] = {"HKEY_CLASSES_ROOT\\", "HKEY_CURRENT_USER\\",     "HKEY_LOCAL_MACHINE\\",
                                      "HKEY_USERS\\",        "HKEY_PERFORMANCE_DATA\\", "HKEY_CURRENT_CONFIG\\",
                                      "HKEY_DYN_DATA\\"};
  for (const char* r : roots) {
    const std::string_view root(r);
    if (key_path.substr(0, root.size()) == root) return root.size();
  }
  return 0;
}

bool registry_read_value(std::string_view key_path, std::string_view name, std::string& value) {
  std::lock_guard<std::mutex> g(store_lock);
  load_locked();
  const auto key = image.find(lower_ascii(key_of(sjis_to_utf8(key_path))));
  if (key == image.end()) return false;
  const auto v = key->second.values.find(lower_ascii(sjis_to_utf8(name)));
  if (v == key->second.values.end()) return false;
  value = utf8_to_sjis(v->second.second);
  return true;
}

bool registry_delete_value(std::string_view key_path, std::string_view name) {
  std::lock_guard<std::mutex> g(store_lock);
  load_locked();
  const auto key = image.find(lower_ascii(key_of(sjis_to_utf8(key_path))));
  if (key == image.end()) return false;
  if (key->second.values.erase(lower_ascii(sjis_to_utf8(name))) == 0) return false;
  return save_locked();
}

bool registry_delete_key(std::string_view key_path) {
  std::lock_guard<std::mutex> g(store_lock);
  load_locked();
  const std::string k = lower_ascii(key_of(sjis_to_utf8(key_path)));
  if (k.empty()) return false;
  bool any = false;
  for (auto it = image.begin(); it != image.end();) {
    if (it->first == k || (it->first.size() > k.size() && it->first.compare(0, k.size(), k) == 0 &&
                           it->first[k.size()] == '\\')) {
      it = image.erase(it);
      any = true;
    } else {
      ++it;
    }
  }
  return any && save_locked();
}

bool registry_write_value(std::string_view key_path, std::string_view name, std::string_view value) {
  std::lock_guard<std::mutex> g(store_lock);
  load_locked();
  const std::string path = key_of(sjis_to_utf8(key_path));
  registry_key_entry& e = image[lower_ascii(path)];
  if (e.path.empty()) e.path = path;
  const std::string n = sjis_to_utf8(name);
  e.values[lower_ascii(n)] = {n, sjis_to_utf8(value)};
  return save_locked();
}

void reset_registry_store() {
  std::lock_guard<std::mutex> g(store_lock);
  loaded = false;
  image.clear();
  file_host.clear();
}

std::string registry_file_host() {
  std::lock_guard<std::mutex> g(store_lock);
  load_locked();
  return file_host;
}

int cmd_read_registry() {
  if (bind_command_arguments(65) != 0) return -1;
  const command_output out = command_output_of(2);
  if (!out.variable) return 0;
  std::string key = parameter_text(0);
  replace_sjis_char(key, '/', '\\');
  if (registry_root_length(key) == 0) return 0;
  std::string value;
  if (!registry_read_value(key, parameter_text(1), value)) {
    clear_output(out);
    return 0;
  }
  // The value as read into a 1024-byte buffer: at most 1023 bytes, never a
  // half character.
  if (value.size() > value_limit) {
    size_t i = 0;
    while (i < value_limit) {
      const uint8_t b = static_cast<uint8_t>(value[i]);
      const size_t step = ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) ? 2 : 1;
      if (i + step > value_limit) break;
      i += step;
    }
    value.resize(i);
  }
  if (out.type == 3) store_output_text(out, value);  // number elements are left alone
  return 0;
}
