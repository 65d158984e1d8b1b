// The compiled command file kxbin\kxc.kbn and the player's handler table.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int command_slot_count = 108;

enum : uint8_t { param_kind_integer = 0, param_kind_string = 1, param_kind_raw = 2 };

struct command_parameter_record {
  std::string name;        // Shift-JIS
  uint8_t kind = 0;        // param_kind_*
  uint8_t range_check = 0; // 0 none, 1..28
};

struct command_definition_record {
  std::string name;  // Shift-JIS
  std::vector<command_parameter_record> parameters;  // indexed by parameter_id
};

struct command_table_record {
  std::vector<command_definition_record> commands;  // indexed by command number
  std::vector<std::string> errno_texts;             // the 37 C runtime error texts
  std::array<uint8_t, 256> tail{};
};

extern command_table_record command_table;

// A handler returns 0 to go on with the task's next instruction, nonzero to end
// the task's turn for this frame.
using command_handler = int (*)();
extern command_handler command_handler_table[command_slot_count];

// ---------------------------------------------------------------- handlers

// Loads kxbin\kxc.kbn into command_table and fills command_handler_table:
// every slot cmd_unknown, then the fixed handlers. 0 or -1 (reported).
int load_command_table();
// Parses a command file's bytes into command_table and fills the handler
// table; 0 or the parse error (104010), nothing changed on failure.
int install_command_file(const uint8_t* data, size_t size);

// Fills all 108 slots: cmd_unknown first, then every handler of
// designed_command_handlers that exists.
void fill_command_handler_table();

// The handler of each slot as designed; null where the handler comes with a
// later subsystem (the slot then keeps cmd_unknown). Subsystems that land put
// their handler here.
extern command_handler designed_command_handlers[command_slot_count];

// The handler for a command number of an instruction (a u8 in the code file):
// numbers past the 108 slots get cmd_unknown.
command_handler command_handler_for(unsigned number);
// The parameter record of a command, or null when the command or the
// parameter id lies past the loaded tables.
const command_parameter_record* command_parameter(unsigned command_number, unsigned parameter_id);
// The command's name, or "" past the table (messages).
const std::string& command_name(unsigned command_number);

int return_zero();
// Reports 900050 at the script line (fatal) and returns -1.
int cmd_unknown();
// Bind-only handlers: bind their arguments (so argument errors are still
// reported) and do nothing else.
int cmd_args_only_14();
int cmd_args_only_56();
int cmd_args_only_57();
int cmd_args_only_58();
int cmd_args_only_63();
int cmd_args_only_75();
int cmd_args_only_88();
int cmd_set_engine_options();

// Argument binding of the bind-only handlers: bind_command_arguments (tests
// may put another binder here).
extern int (*bind_arguments_hook)(int command_number);
// After binding: true when `parameter_id` was given, with its integer value.
extern bool (*argument_integer_hook)(int parameter_id, int64_t& value);

// ---------------------------------------------------------------- options

// Engine options 0..127, all 1 at start-up; command 13 sets 1..108.
extern uint8_t engine_options[128];
void reset_engine_options();
// Option p - 2 := low byte of parameter p, for every given p in 3..110; ids
// past the argument presence table (100..110) count as not given.
void set_engine_options_from_arguments(bool (*given)(int parameter_id, int64_t& value));
