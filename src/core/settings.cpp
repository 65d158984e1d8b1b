#include "core/settings.h"

#include <algorithm>

#include "core/sjis.h"
#include "format/byte_io.h"
#include "platform/platform.h"

engine_settings_record engine_settings;
save_settings_record save_settings;
command_line_slots_record command_line_slots;
uint8_t game_folder_not_writable = 0;

namespace {

// The slots wholly present in the file; a short file gives fewer.
std::vector<uint32_t> read_slots(const std::vector<uint8_t>& bytes) {
  size_t count = bytes.size() / 4;
  if (count > settings_slot_count) count = settings_slot_count;
  std::vector<uint32_t> slots(count);
  for (size_t i = 0; i < count; ++i)
    slots[i] = get_u32(bytes.data() + i * 4);
  return slots;
}

void flag_slot(const std::vector<uint32_t>& slots, size_t index, uint8_t& field) {
  if (index < slots.size() && slots[index] <= 1) field = static_cast<uint8_t>(slots[index]);
}

}  // namespace

void apply_engine_settings(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> s = read_slots(bytes);
  engine_settings_record& e = engine_settings;
  flag_slot(s, 0, e.movie_engine);
  flag_slot(s, 2, e.sse_allowed);
  flag_slot(s, 3, e.sse2_allowed);
  if (s.size() > 4) e.worker_maximum = s[4] == 0 ? 1 : 4;
  if (s.size() > 6 && s[6] <= 1) e.best_mode_search = s[6] == 0 ? 1 : 0;
  if (s.size() > 7 && s[7] <= 3) {
    static const uint8_t policy_of_slot[4] = {1, 2, 3, 0};
    e.scaling_policy = policy_of_slot[s[7]];
  }
  if (s.size() > 8 && s[8] <= 3) {
    static const uint8_t level_of_method[4] = {3, 2, 1, 0};
    e.drawing_method = static_cast<int32_t>(s[8]);
    e.gpu_drawing = s[8] <= 1 ? 1 : 0;
    e.quality_level = level_of_method[s[8]];
    if (s[8] == 2) e.smoothing = 1;
    if (s[8] == 3) e.smoothing = 0;
  }
  flag_slot(s, 9, e.title_double_click_to_script);
  flag_slot(s, 10, e.script_switch);
  flag_slot(s, 12, e.device_option);
  if (s.size() > 13 && s[13] <= 1) {
    e.texture_bits = s[13] ? 16 : 32;
    e.texture_format_code = s[13] ? 26 : 21;
  }
  flag_slot(s, 14, e.texture_option);
  flag_slot(s, 22, e.disable_composition);
  e.texture_size_large = 512;
  e.texture_size_small = 256;
}

void apply_save_settings(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> s = read_slots(bytes);
  if (s.size() > 21 && s[21] <= 3) save_settings.save_folder_mode = static_cast<int>(s[21]);
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

void read_engine_settings() {
  std::vector<uint8_t> bytes;
  if (platform().files->read_file("kxcfg.dat", bytes)) apply_engine_settings(bytes);
  else apply_engine_settings({});
}

void read_save_settings() {
  std::vector<uint8_t> bytes;
  if (platform().files->read_file("kxsfs.dat", bytes)) apply_save_settings(bytes);
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
