// The compiled command file kxbin\kxc.kbn and the player's handler table.
#pragma once
#include <array>
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
