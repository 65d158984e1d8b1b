// Registry values of one game: a text file in the user's configuration folder
// ("$XDG_CONFIG_HOME/zarvik/registry/<game>-<hash>.txt"), seeded from
// "registry.txt" in the game folder until the game first changes it. Key
// paths start with a root name ("HKEY_CURRENT_USER\...") and, like value
// names, are compared without regard to ASCII case. The file holds UTF-8:
//
//   [HKEY_CURRENT_USER\Software\Maker\Game]
//   "name"="value"          ("\\", "\"" and "\n" escape inside quotes)
//
// Interface texts are Shift-JIS. Deletes rewrite the file atomically.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The parsed file: keys by lower-cased path, values by lower-cased name.
struct registry_key_entry {
  std::string path;  // as first written (UTF-8)
  std::map<std::string, std::pair<std::string, std::string>> values;  // lower name -> (name, value)
};
using registry_image = std::map<std::string, registry_key_entry>;

// Parses the file's text; lines that are not understood are skipped.
registry_image parse_registry_text(std::string_view text);
std::string format_registry_text(const registry_image& image);

// The root names a key path may start with ("HKEY_CURRENT_USER\" ...): the
// length of the matching prefix, 0 for none. '/' must already be '\'.
size_t registry_root_length(std::string_view key_path);

// True and the value (Shift-JIS) when the key and value exist.
bool registry_read_value(std::string_view key_path, std::string_view name, std::string& value);
// Deletes one value, or a key with every key below it. True when something
// was deleted and the file rewritten.
bool registry_delete_value(std::string_view key_path, std::string_view name);
bool registry_delete_key(std::string_view key_path);
// Stores a value (tools and tests; scripts only read and delete).
bool registry_write_value(std::string_view key_path, std::string_view name, std::string_view value);
// Forgets the loaded file: the next call loads it again (start of a run).
void reset_registry_store();
// The store's file (host path, UTF-8) for the current game.
std::string registry_file_host();

int cmd_read_registry();  // 65
