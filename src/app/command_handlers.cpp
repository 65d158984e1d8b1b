#include "app/command_handlers.h"

#include <algorithm>

#include "app/window_commands.h"
#include "graphics/fonts.h"
#include "graphics/layer_commands.h"
#include "graphics/message_window.h"
#include "image/cg_command.h"
#include "image/image_sets.h"
#include "resources/command_table.h"
#include "save/save_commands.h"
#include "script/argument_binding.h"
#include "script/control_flow.h"
#include "script/math_commands.h"
#include "script/task_commands.h"
#include "script/value_commands.h"
#include "sound/movie_commands.h"
#include "sound/sound_commands.h"
#include "system/file_commands.h"
#include "system/system_call.h"
#include "system/text_commands.h"
#include "system/cursor_tray.h"
#include "system/flash_host.h"
#include "system/menus.h"
#include "system/registry_store.h"
#include "system/settings_commands.h"

namespace {

// The bound arguments of the running instruction, as the engine-options
// command reads them.
bool bound_integer_argument(int parameter_id, int64_t& value) {
  if (parameter_id < 0 || !parameter_given(static_cast<uint32_t>(parameter_id))) return false;
  value = parameter_int(static_cast<uint32_t>(parameter_id));
  return true;
}

// Every slot's handler as designed; null where the handler's subsystem is not
// built (the slot then keeps cmd_unknown).
const command_handler engine_command_handlers[command_slot_count] = {
    /*   0 */ return_zero,
    /*   1 */ cmd_layer,
    /*   2 */ cmd_cg_process,
    /*   3 */ cmd_delete_layer,
    /*   4 */ cmd_get_layer_info,
    /*   5 */ cmd_set_clipboard_text,
    /*   6 */ cmd_get_clipboard_text,
    /*   7 */ cmd_read_text_lines,
    /*   8 */ cmd_count_csv_fields,
    /*   9 */ return_zero,
    /*  10 */ cmd_message_box,
    /*  11 */ cmd_else_if,
    /*  12 */ cmd_quit,
    /*  13 */ cmd_set_engine_options,
    /*  14 */ cmd_args_only_14,
    /*  15 */ nullptr,
    /*  16 */ nullptr,
    /*  17 */ nullptr,
    /*  18 */ nullptr,
    /*  19 */ cmd_file_operation,
    /*  20 */ cmd_file_exists,
    /*  21 */ cmd_flash_open,
    /*  22 */ cmd_flash_close,
    /*  23 */ cmd_flash_query,
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
    /*  52 */ cmd_menu_item,
    /*  53 */ cmd_popup_menu,
    /*  54 */ cmd_delete_menu_item,
    /*  55 */ cmd_get_menu_item,
    /*  56 */ cmd_args_only_56,
    /*  57 */ cmd_args_only_57,
    /*  58 */ cmd_args_only_58,
    /*  59 */ cmd_mouse_cursor,
    /*  60 */ cmd_movie_play,
    /*  61 */ cmd_movie_stop,
    /*  62 */ cmd_movie_status,
    /*  63 */ cmd_args_only_63,
    /*  64 */ return_zero,
    /*  65 */ cmd_read_registry,
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
    /*  80 */ cmd_system_settings,
    /*  81 */ cmd_script_list_query,
    /*  82 */ cmd_task_start,
    /*  83 */ cmd_task_delete,
    /*  84 */ cmd_task_query,
    /*  85 */ cmd_message_window_set,
    /*  86 */ cmd_message_window_query,
    /*  87 */ cmd_tray_icon_menu,
    /*  88 */ cmd_args_only_88,
    /*  89 */ cmd_string_array_util,
    /*  90 */ cmd_variable_info,
    /*  91 */ cmd_wait,
    /*  92 */ cmd_window_set,
    /*  93 */ cmd_window_hide,
    /*  94 */ cmd_window_query,
    /*  95 */ cmd_text_append,
    /*  96 */ cmd_image_set_load,
    /*  97 */ cmd_image_set_release,
    /*  98 */ cmd_image_set_query,
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

}  // namespace

void install_command_handlers() {
  // Once per process: the table is the program's make-up, not run state, so a
  // restart keeps it (and a test's stand-in put in after it stays).
  static bool installed = false;
  if (installed) return;
  installed = true;
  bind_arguments_hook = bind_command_arguments;
  argument_integer_hook = bound_integer_argument;
  std::copy(std::begin(engine_command_handlers), std::end(engine_command_handlers), designed_command_handlers);
}
