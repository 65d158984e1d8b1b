#include "save/save_commands.h"

#include <cstring>

#include "core/error_report.h"
#include "core/object_tree.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "graphics/layer_commands.h"
#include "platform/platform.h"
#include "resources/command_table.h"
#include "save/save_data.h"
#include "script/argument_binding.h"


namespace {

constexpr int command_save = 73;
constexpr int command_load = 44;
constexpr int command_clear = 74;

std::string parameter_name(int command, unsigned id) {
  const command_parameter_record* p = command_parameter(static_cast<unsigned>(command), id);
  return p ? p->name : std::string();
}

// A memory slot number 0..499 (and 99999 when `image_allowed`); else 101000.
bool slot_number_valid(int command, int64_t slot, bool image_allowed) {
  if ((slot >= 0 && slot < static_cast<int64_t>(memory_slot_count)) ||
      (image_allowed && slot == memory_slot_image_request))
    return true;
  report_error_at_line_fmt(101000, 1, command_name(command), parameter_name(command, save_param_slot), slot, 0,
                           static_cast<int64_t>(memory_slot_count) - 1);
  return false;
}

bool val_id_valid(int command, int64_t val_id, int64_t last) {
  if (val_id >= 1 && val_id <= last) return true;
  report_error_at_line_fmt(101000, 1, command_name(command), parameter_name(command, save_param_val_id), val_id, 1,
                           last);
  return false;
}

// A VAL_ID without a layer path moves a variable: one must be named.
bool variable_given(int command, int64_t val_id) {
  if (parameter_given(save_param_variable)) return true;
  report_error_at_line_fmt(102180, 1, command_name(command), parameter_name(command, save_param_val_id), val_id);
  return false;
}

// The save folder and the completed file name; empty after a report.
std::string file_argument() {
  std::string name = parameter_text(save_param_file);
  if (complete_save_file_name(name) != 0) return std::string();
  return save_settings.save_path + name;
}

}  // namespace

int complete_save_file_name(std::string& name) {
  lower_path_sjis(name);
  replace_sjis_char(name, '/', '\\');
  if (name.size() > 32) {
    report_error_at_line_fmt(102160, 1, name);
    return -1;
  }
  for (size_t i = 0; i < name.size(); i = sjis_next(name, i)) {
    if (name[i] == '\\' && sjis_char_length(name, i) == 1) {
      report_error_at_line_fmt(102150, 1, name);
      return -1;
    }
  }
  // Lower-cased already, so ".SD" matches too.
  if (name.size() < 3 || name.compare(name.size() - 3, 3, ".sd") != 0) name += ".sd";
  return 0;
}

int cmd_save_value() {
  if (bind_command_arguments(command_save) != 0) return -1;
  save_value_source source;
  if (parameter_given(save_param_layer)) {
    std::string resolved;
    source.layer = find_named_layer(parameter_text(save_param_layer), resolved, command_save);
    if (!source.layer) return -1;
  }
  std::string path;
  const bool to_file = parameter_given(save_param_file);
  if (to_file) {
    path = file_argument();
    if (path.empty()) return -1;
  }
  int64_t slot = -1;
  if (parameter_given(save_param_slot)) {
    slot = parameter_int(save_param_slot);
    if (!slot_number_valid(command_save, slot, true)) return -1;
    if (slot == memory_slot_image_request) return build_memory_save_image() == 0 ? 0 : -1;
  }
  if (parameter_given(save_param_val_id)) {
    const int64_t val_id = parameter_int(save_param_val_id);
    // 1024 holds the memory-slot image only: a value staged there would be
    // read back as one.
    if (!val_id_valid(command_save, val_id, memory_slot_image_id - 1)) return -1;
    if (!source.layer) {
      if (!variable_given(command_save, val_id)) return -1;
      const uint32_t at = argument_position(save_param_variable);
      source.variable_id = argument_slots.variable_id[at];
      source.element = argument_slots.element_index[at];
      source.whole = argument_slots.whole_array[at] != 0;
    }
    if (stage_save_value(static_cast<uint32_t>(val_id), source, command_name(command_save),
                         parameter_name(command_save, save_param_val_id)) != 0)
      return -1;
  }
  if (slot >= 0) return write_staged_values_to_slot(static_cast<int>(slot)) == 0 ? 0 : -1;
  if (to_file) return write_staged_values_to_file(path, command_name(command_save)) == 0 ? 0 : -1;
  return 0;
}

int cmd_load_value() {
  if (bind_command_arguments(command_load) != 0) return -1;
  save_load_request request;
  request.command_name = command_name(command_load);
  request.val_id_name = parameter_name(command_load, save_param_val_id);
  if (parameter_given(save_param_layer)) {
    request.layer = find_named_layer(parameter_text(save_param_layer), request.layer_path, command_load);
    if (!request.layer) return -1;
  }
  int64_t slot = -1;
  std::string path;
  if (parameter_given(save_param_slot)) {
    slot = parameter_int(save_param_slot);
    if (!slot_number_valid(command_load, slot, false)) return -1;
  } else {
    std::string name = parameter_given(save_param_file) ? parameter_text(save_param_file) : std::string();
    if (!parameter_given(save_param_file) || complete_save_file_name(name) != 0) {
      if (!parameter_given(save_param_file))
        report_error_at_line_fmt(102100, 1, request.command_name, parameter_name(command_load, save_param_file),
                                 std::string());
      return -1;
    }
    path = save_settings.save_path + name;
  }
  if (!parameter_given(save_param_val_id)) {
    report_error_at_line_fmt(102110, 1, request.command_name, request.val_id_name);
    return -1;
  }
  const int64_t val_id = parameter_int(save_param_val_id);
  if (!val_id_valid(command_load, val_id, memory_slot_image_id)) return -1;
  request.val_id = static_cast<uint32_t>(val_id);
  request.from_file = slot < 0;
  const bool restores_slots = request.from_file && request.val_id == memory_slot_image_id;
  if (!request.layer && !restores_slots) {
    if (!variable_given(command_load, val_id)) return -1;
    const uint32_t at = argument_position(save_param_variable);
    request.variable_id = argument_slots.variable_id[at];
    request.element = argument_slots.element_index[at];
    request.whole = argument_slots.whole_array[at] != 0;
  }
  if (slot >= 0) {
    const int s = static_cast<int>(slot);
    // A slot never written holds no container.
    if (!memory_save_slots.buffer[s] || memory_save_slots.length[s] == 0) {
      report_error_at_line(108030, 1);
      return -1;
    }
    memory_save_slots.cursor[s] = 0;
    return load_saved_value(memory_save_slots.buffer[s], memory_save_slots.length[s], request);
  }
  std::vector<uint8_t> bytes;
  HostFiles* files = platform_installed() ? platform().files : nullptr;
  if (!files || files->kind(path) != host_entry_kind::file || !files->read_file(path, bytes)) {
    report_error_at_line_fmt(102100, 1, request.command_name, parameter_name(command_load, save_param_file), path);
    return -1;
  }
  return load_saved_value(bytes.data(), bytes.size(), request);
}

int cmd_clear_staged_values() {
  if (bind_command_arguments(command_clear) != 0) return -1;
  free_staged_values(-1);
  return 0;
}
