#include "resources/command_table.h"

#include <cstring>

#include "core/error_report.h"
#include "format/compiled_files.h"
#include "graphics/fonts.h"
#include "graphics/layer_commands.h"
#include "graphics/message_window.h"
#include "resources/compiled_loaders.h"
#include "save/save_commands.h"
#include "script/argument_binding.h"
#include "script/control_flow.h"
#include "script/math_commands.h"
#include "script/task_commands.h"
#include "script/value_commands.h"
#include "sound/sound_commands.h"
#include "system/file_commands.h"
#include "system/system_call.h"
#include "system/text_commands.h"

command_table_record command_table;
command_handler command_handler_table[command_slot_count] = {};
int (*bind_arguments_hook)(int command_number) = bind_command_arguments;
namespace {
// The bound arguments of the running instruction.
bool bound_integer_argument(int parameter_id, int64_t& value) {
  if (parameter_id < 0 || !parameter_given(static_cast<uint32_t>(parameter_id))) return false;
  value = parameter_int(static_cast<uint32_t>(parameter_id));
  return true;
}
}  // namespace
bool (*argument_integer_hook)(int parameter_id, int64_t& value) = bound_integer_argument;
uint8_t engine_options[128] = {};

namespace {

int bind_only(int number) {
  if (bind_arguments_hook && bind_arguments_hook(number) != 0) return -1;
  return 0;
}

}  // namespace

int return_zero() { return 0; }

int cmd_unknown() {
  report_error_at_line(900050, 1);
  return -1;
}

int cmd_args_only_14() { return bind_only(14); }
int cmd_args_only_56() { return bind_only(56); }
int cmd_args_only_57() { return bind_only(57); }
int cmd_args_only_58() { return bind_only(58); }
int cmd_args_only_63() { return bind_only(63); }
int cmd_args_only_75() { return bind_only(75); }
int cmd_args_only_88() { return bind_only(88); }

int cmd_set_engine_options() {
  if (bind_only(13) != 0) return -1;
  if (argument_integer_hook) set_engine_options_from_arguments(argument_integer_hook);
  return 0;
}

void reset_engine_options() { std::memset(engine_options, 1, sizeof engine_options); }

void set_engine_options_from_arguments(bool (*given)(int parameter_id, int64_t& value)) {
  // The presence table covers ids 0..99: options 98..108 cannot be given.
  for (int p = 3; p <= 110 && p < 100; ++p) {
    int64_t v = 0;
    if (given(p, v)) engine_options[p - 2] = static_cast<uint8_t>(v);
  }
}

// Slots without an entry here keep cmd_unknown until their subsystem lands
// and names its handler in this table.
command_handler designed_command_handlers[command_slot_count] = {
    /*   0 */ return_zero,
    /*   1 */ cmd_layer,
    /*   2 */ nullptr,  // cmd_cg_process
    /*   3 */ cmd_delete_layer,
    /*   4 */ cmd_get_layer_info,
    /*   5 */ cmd_set_clipboard_text,
    /*   6 */ cmd_get_clipboard_text,
    /*   7 */ cmd_read_text_lines,
    /*   8 */ cmd_count_csv_fields,
    /*   9 */ return_zero,
    /*  10 */ cmd_message_box,
    /*  11 */ cmd_else_if,
    /*  12 */ nullptr,  // cmd_quit
    /*  13 */ cmd_set_engine_options,
    /*  14 */ cmd_args_only_14,
    /*  15 */ nullptr,
    /*  16 */ nullptr,
    /*  17 */ nullptr,
    /*  18 */ nullptr,
    /*  19 */ cmd_file_operation,
    /*  20 */ cmd_file_exists,
    /*  21 */ nullptr,  // cmd_flash_open
    /*  22 */ nullptr,  // cmd_flash_close
    /*  23 */ nullptr,  // cmd_flash_query
    /*  24 */ cmd_declare_real_var,
    /*  25 */ cmd_font_settings,
    /*  26 */ cmd_font_info,
    /*  27 */ cmd_frame_rate,
    /*  28 */ nullptr,
    /*  29 */ nullptr,
    /*  30 */ nullptr,
    /*  31 */ nullptr,
    /*  32 */ cmd_goto,
    /*  33 */ cmd_call,
    /*  34 */ cmd_if,
    /*  35 */ cmd_else,
    /*  36 */ cmd_break,
    /*  37 */ cmd_continue,
    /*  38 */ cmd_end_block,
    /*  39 */ cmd_run_settings,
    /*  40 */ cmd_declare_int_var,
    /*  41 */ return_zero,
    /*  42 */ cmd_label_exists,
    /*  43 */ cmd_let,
    /*  44 */ cmd_load_value,
    /*  45 */ cmd_loop,
    /*  46 */ cmd_loop_break,
    /*  47 */ cmd_loop_continue,
    /*  48 */ cmd_loop_end,
    /*  49 */ nullptr,
    /*  50 */ cmd_math,
    /*  51 */ cmd_get_system_values,
    /*  52 */ nullptr,  // cmd_menu_item
    /*  53 */ nullptr,  // cmd_popup_menu
    /*  54 */ nullptr,  // cmd_delete_menu_item
    /*  55 */ nullptr,  // cmd_get_menu_item
    /*  56 */ cmd_args_only_56,
    /*  57 */ cmd_args_only_57,
    /*  58 */ cmd_args_only_58,
    /*  59 */ nullptr,  // cmd_mouse_cursor
    /*  60 */ nullptr,  // cmd_movie_play
    /*  61 */ nullptr,  // cmd_movie_stop
    /*  62 */ nullptr,  // cmd_movie_status
    /*  63 */ cmd_args_only_63,
    /*  64 */ return_zero,
    /*  65 */ nullptr,  // cmd_read_registry
    /*  66 */ cmd_return,
    /*  67 */ return_zero,
    /*  68 */ cmd_message_end,
    /*  69 */ return_zero,
    /*  70 */ return_zero,
    /*  71 */ return_zero,
    /*  72 */ nullptr,
    /*  73 */ cmd_save_value,
    /*  74 */ cmd_clear_staged_values,
    /*  75 */ cmd_args_only_75,
    /*  76 */ cmd_sound_set,
    /*  77 */ cmd_sound_delete,
    /*  78 */ cmd_sound_query,
    /*  79 */ cmd_declare_string_variable,
    /*  80 */ nullptr,  // cmd_system_settings
    /*  81 */ cmd_script_list_query,
    /*  82 */ cmd_task_start,
    /*  83 */ cmd_task_delete,
    /*  84 */ cmd_task_query,
    /*  85 */ cmd_message_window_set,
    /*  86 */ cmd_message_window_query,
    /*  87 */ nullptr,  // cmd_tray_icon_menu
    /*  88 */ cmd_args_only_88,
    /*  89 */ cmd_string_array_util,
    /*  90 */ cmd_variable_info,
    /*  91 */ cmd_wait,
    /*  92 */ nullptr,  // cmd_window_set
    /*  93 */ nullptr,  // cmd_window_hide
    /*  94 */ nullptr,  // cmd_window_query
    /*  95 */ cmd_text_append,
    /*  96 */ nullptr,  // cmd_image_set_load
    /*  97 */ nullptr,  // cmd_image_set_release
    /*  98 */ nullptr,  // cmd_image_set_query
    /*  99 */ cmd_text_append_value,
    /* 100 */ nullptr,
    /* 101 */ nullptr,
    /* 102 */ nullptr,
    /* 103 */ cmd_system_call,
    /* 104 */ nullptr,
    /* 105 */ nullptr,
    /* 106 */ nullptr,
    /* 107 */ nullptr,
};

void fill_command_handler_table() {
  for (int i = 0; i < command_slot_count; ++i)
    command_handler_table[i] = designed_command_handlers[i] ? designed_command_handlers[i] : cmd_unknown;
}

command_handler command_handler_for(unsigned number) {
  if (number >= static_cast<unsigned>(command_slot_count)) return cmd_unknown;
  return command_handler_table[number] ? command_handler_table[number] : cmd_unknown;
}

const command_parameter_record* command_parameter(unsigned command_number, unsigned parameter_id) {
  if (command_number >= command_table.commands.size()) return nullptr;
  const auto& params = command_table.commands[command_number].parameters;
  if (parameter_id >= params.size()) return nullptr;
  return &params[parameter_id];
}

const std::string& command_name(unsigned command_number) {
  static const std::string empty;
  if (command_number >= command_table.commands.size()) return empty;
  return command_table.commands[command_number].name;
}

int install_command_file(const uint8_t* data, size_t size) {
  compiled_command_file f;
  int r = parse_command_file(data, size, f);
  if (r != compiled_ok) {
    report_error_fmt(r, 1, "kxbin\\kxc.kbn");
    return r;
  }
  command_table_record t;
  t.commands.reserve(f.commands.size());
  for (compiled_command& c : f.commands) {
    command_definition_record d;
    d.name = std::move(c.name);
    d.parameters.reserve(c.parameters.size());
    for (compiled_parameter& p : c.parameters) d.parameters.push_back({std::move(p.name), p.kind, p.range_check});
    t.commands.push_back(std::move(d));
  }
  t.errno_texts = std::move(f.errno_texts);
  t.tail = f.tail;
  command_table = std::move(t);
  fill_command_handler_table();
  return 0;
}

int load_command_table() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file("kxbin\\kxc.kbn", bytes) != 0) return -1;
  return install_command_file(bytes.data(), bytes.size()) == 0 ? 0 : -1;
}
