#include "app/engine_values.h"

#include "app/game_window.h"
#include "app/pending_hooks.h"
#include "core/object_tree.h"
#include "core/settings.h"
#include "core/system_info.h"
#include "core/window_state.h"
#include "platform/platform.h"
#include "script/control_flow.h"
#include "script/system_values.h"

namespace {

int64_t memory_status(int which) {
  Process* process = platform_installed() ? platform().process : nullptr;
  uint64_t total = 0, available = 0;
  uint32_t load = 0;
  if (!process || !process->memory_status(&total, &available, &load)) return 0;
  switch (which) {
    case 0: return static_cast<int64_t>(total);
    case 1: return load;
    default: return static_cast<int64_t>(available);
  }
}

int64_t argument_count() { return command_line_slots.argument_count; }

std::string argument_text(int64_t slot) {
  return slot >= 0 && slot < argument_slot_count ? command_line_slots.slots[slot] : std::string();
}

// 118 layers, 119 sounds, 120 tasks, 121 menus.
std::string tree_path(int which) {
  static const int trees[4] = {tree_layers, tree_sounds, tree_tasks, tree_menus};
  if (which < 0 || which > 3) return {};
  return object_current_path(trees[which]);
}

// Ids that read one engine value of another subsystem: 103 is the user's
// script switch of kxcfg.dat slot 10.
int64_t other_int_value(uint32_t id, int64_t) {
  if (id == 103) return engine_settings.script_switch;
  return 0;
}

int64_t main_width() {
  const window_state* w = game_window_record(0);
  return w ? w->logical_width : 0;
}
int64_t main_height() {
  const window_state* w = game_window_record(0);
  return w ? w->logical_height : 0;
}

}  // namespace

void publish_engine_values() {
  engine_facts_record& f = engine_facts;
  f.os_code = system_info.os_code;
  f.system_info_count = system_info.core_count;
  f.memory_status = memory_status;
  f.write_test_result = game_folder_not_writable;
  f.save_folder_mode = save_settings.save_folder_mode;
  f.screen_bits_per_pixel = system_info.desktop_depth;
  f.screen_width = system_info.desktop_width;
  f.screen_height = system_info.desktop_height;
  f.game_folder = module_paths.game_folder;
  f.game_path = module_paths.game_path;
  f.save_folder = save_settings.save_path;
  f.app_data_folder = module_paths.app_data_folder;
  f.documents_folder = module_paths.documents_folder;
  f.argument_count = argument_count;
  f.argument_text = argument_text;
  f.tree_path = tree_path;
  f.other_int_value = other_int_value;
  f.main_logical_width = main_width;
  f.main_logical_height = main_height;
}

void set_script_defaults() {
  // Command 39's settings: mouse and keyboard sampled, no automatic hiding.
  run_settings = {};
}
