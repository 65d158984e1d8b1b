#include "core/settings.h"

#include <algorithm>

#include "core/sjis.h"
#include "format/byte_io.h"
#include "platform/platform.h"

engine_settings_record engine_settings;
save_settings_record save_settings;
command_line_slots_record command_line_slots;
uint8_t game_folder_not_writable = 0;

// Slot 8's default (GPU drawing at level 0) has no slot value of its own;
// the tool offers GPU drawing at its first level in its place.
const std::vector<settings_slot_rule> engine_settings_rules = {
    {0, 2, 1},  {2, 2, 1},  {3, 2, 1},  {4, 0, 1},  {6, 2, 0},  {7, 4, 0},  {8, 4, 0},
    {9, 2, 0},  {10, 2, 0}, {12, 2, 0}, {13, 2, 0}, {14, 2, 1}, {22, 2, 0},
};
const std::vector<settings_slot_rule> save_settings_rules = {{21, 4, 0}};

std::vector<uint32_t> read_settings_slots(const std::vector<uint8_t>& bytes) {
  size_t count = std::min<size_t>(bytes.size() / 4, settings_slot_count);
  std::vector<uint32_t> slots(count);
  for (size_t i = 0; i < count; ++i) slots[i] = get_u32(bytes.data() + i * 4);
  return slots;
}

bool settings_slot_acts(const std::vector<uint32_t>& slots, int slot, const std::vector<settings_slot_rule>& rules) {
  if (slot < 0 || static_cast<size_t>(slot) >= slots.size()) return false;
  for (const settings_slot_rule& r : rules)
    if (r.slot == slot) return r.value_count == 0 || slots[static_cast<size_t>(slot)] < r.value_count;
  return false;
}

std::vector<uint32_t> settings_slots_for_editing(const std::vector<uint8_t>& bytes,
                                                 const std::vector<settings_slot_rule>& rules) {
  std::vector<uint32_t> slots = read_settings_slots(bytes);
  std::vector<uint32_t> edited = slots;
  edited.resize(settings_slot_count, 0);
  for (const settings_slot_rule& r : rules)
    if (!settings_slot_acts(slots, r.slot, rules)) edited[static_cast<size_t>(r.slot)] = r.default_value;
  return edited;
}

std::vector<uint8_t> settings_file_bytes(const std::vector<uint32_t>& slots) {
  std::vector<uint8_t> bytes;
  bytes.reserve(settings_slot_count * 4);
  for (size_t i = 0; i < settings_slot_count; ++i) put_u32(bytes, i < slots.size() ? slots[i] : 0);
  return bytes;
}

bool write_settings_file(const char* name, const std::vector<uint32_t>& slots) {
  std::vector<uint8_t> bytes = settings_file_bytes(slots);
  return platform().files->replace_file(name, bytes.data(), bytes.size());
}

namespace {

// The value of a slot the player acts on; false leaves the default.
bool acting_value(const std::vector<uint32_t>& slots, int slot, uint32_t& value) {
  if (!settings_slot_acts(slots, slot, engine_settings_rules)) return false;
  value = slots[static_cast<size_t>(slot)];
  return true;
}

void flag_slot(const std::vector<uint32_t>& slots, int slot, uint8_t& field) {
  uint32_t v = 0;
  if (acting_value(slots, slot, v)) field = static_cast<uint8_t>(v);
}

}  // namespace

void apply_engine_settings(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> s = read_settings_slots(bytes);
  engine_settings_record& e = engine_settings;
  uint32_t v = 0;
  flag_slot(s, 0, e.movie_engine);
  flag_slot(s, 2, e.sse_allowed);
  flag_slot(s, 3, e.sse2_allowed);
  if (acting_value(s, 4, v)) e.worker_maximum = v == 0 ? 1 : 4;
  if (acting_value(s, 6, v)) e.best_mode_search = v == 0 ? 1 : 0;
  if (acting_value(s, 7, v)) {
    static const uint8_t policy_of_slot[4] = {1, 2, 3, 0};
    e.scaling_policy = policy_of_slot[v];
  }
  if (acting_value(s, 8, v)) {
    static const uint8_t level_of_method[4] = {3, 2, 1, 0};
    e.drawing_method = static_cast<int32_t>(v);
    e.gpu_drawing = v <= 1 ? 1 : 0;
    e.quality_level = level_of_method[v];
    if (v == 2) e.smoothing = 1;
    if (v == 3) e.smoothing = 0;
  }
  flag_slot(s, 9, e.title_double_click_to_script);
  flag_slot(s, 10, e.script_switch);
  flag_slot(s, 12, e.device_option);
  if (acting_value(s, 13, v)) {
    e.texture_bits = v ? 16 : 32;
    e.texture_format_code = v ? 26 : 21;
  }
  flag_slot(s, 14, e.texture_option);
  flag_slot(s, 22, e.disable_composition);
  e.texture_size_large = 512;
  e.texture_size_small = 256;
}

void apply_save_settings(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> s = read_settings_slots(bytes);
  if (settings_slot_acts(s, 21, save_settings_rules)) save_settings.save_folder_mode = static_cast<int>(s[21]);
}

void build_save_path() {
  // The per-user folders end in '/', so the suffix starts without a separator.
  static const std::string suffix = "Quillmere_SaveData\\KEP\\save\\";
  switch (save_settings.save_folder_mode) {
    case 1: save_settings.save_path = module_paths.user_data_home + suffix; break;
    case 2: save_settings.save_path = module_paths.user_documents_home + suffix; break;
    case 3: save_settings.save_path = module_paths.user_documents_home + "My Games\\" + suffix; break;
    default: save_settings.save_path = "save\\"; break;
  }
}

void copy_command_line() {
  Process* process = platform().process;
  for (std::string& slot : command_line_slots.slots) slot.clear();
  if (!process) return;
  command_line_slots.slots[0] = utf8_to_sjis(process->program_path_host());
  std::vector<std::string> args = process->arguments();
  for (size_t i = 0; i < args.size() && i + 1 < argument_slot_count; ++i) command_line_slots.slots[i + 1] = args[i];
  command_line_slots.argument_count = static_cast<int>(std::min<size_t>(args.size(), argument_slot_count - 1));
}

namespace {
// A file that is there but short reads as zeros for its missing slots, as a
// whole-file read into a cleared block does; only a missing file keeps every
// default.
bool read_settings_file(const char* name, std::vector<uint8_t>& bytes) {
  if (!platform().files->read_file(name, bytes)) return false;
  if (bytes.size() < settings_slot_count * 4) bytes.resize(settings_slot_count * 4, 0);
  return true;
}
}  // namespace

void read_engine_settings() {
  std::vector<uint8_t> bytes;
  if (read_settings_file(engine_settings_file_name, bytes)) apply_engine_settings(bytes);
  else apply_engine_settings({});
}

void read_save_settings() {
  std::vector<uint8_t> bytes;
  if (read_settings_file(save_settings_file_name, bytes)) apply_save_settings(bytes);
  build_save_path();
  // Saves outside the game folder need their folder admitted as a write root.
  if (save_settings.save_folder_mode != 0)
    platform().files->add_write_root(platform().files->host_path(save_settings.save_path));
}

void test_folder_writable() {
  HostFiles* files = platform().files;
  std::string folder = module_paths.game_path;
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  // A fresh "ini????.tmp" name, made, opened for writing and removed again.
  uint32_t seed = platform().clock->tick_ms();
  static const char hex[] = "0123456789ABCDEF";
  std::string name;
  for (uint32_t attempt = 0; attempt < 0x10000; ++attempt) {
    uint32_t unique = (seed + attempt) & 0xFFFF;
    if (unique == 0) continue;
    name = folder + "ini";
    for (int shift = 12; shift >= 0; shift -= 4) name += hex[(unique >> shift) & 15];
    name += ".tmp";
    if (files->kind(name) == host_entry_kind::missing) break;
  }
  bool ok = files->write_file(name, "", 0) && files->write_file(name, "", 0);
  if (ok) files->remove_file(name);
  if (!ok) game_folder_not_writable = 1;
}

module_paths_record module_paths;
