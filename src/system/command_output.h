// The output element a command writes its answer into: the variable element
// the binder recorded for an output parameter.
#pragma once
#include <cstdint>
#include <string_view>

struct command_output {
  uint32_t variable = 0;  // 0: no output given
  int64_t element = -1;
  uint8_t type = 0;       // variable_type_*
  bool inside = false;    // the element lies inside the variable
};

// The recorded element of output parameter `parameter_id` (0-based).
command_output command_output_of(uint32_t parameter_id);
void store_output_number(const command_output& o, int64_t value);
// Only into a text variable.
void store_output_text(const command_output& o, std::string_view text);
// 0, 0.0 or the empty text by the variable's type; nothing outside it.
void clear_output(const command_output& o);
