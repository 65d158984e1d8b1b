// Argument binding: every command handler evaluates the running instruction's
// argument records by the kinds the command file declares, into the shared
// argument slots, and range-checks them. Plus the assignment modes that combine
// an argument with an engine value.
#pragma once
#include <cstdint>

// One argument record of a compiled code file (12 bytes there, parsed field by
// field by the code-file loader).
struct argument_record {
  uint8_t parameter_id;         // 0..99
  uint8_t unused;
  uint8_t value_type;           // 1..4
  uint8_t assignment_operator;  // 0 "=", 1 "+=", 2 "-=", 3 "*=", 4 "/="
  uint32_t length;              // expression length in the pool (or a jump target)
  uint32_t offset;              // expression offset in the pool
};

// The running instruction, filled by the scheduler before it calls a handler.
// An argument whose expression is one integer literal or one user variable,
// decoded when its script is installed (kind 0: anything else). Values of
// calls and returns may also be kind 3: an integer expression of the let's
// decoded shape, script_code::argument_forms[value]; binding itself walks
// the records of those.
struct decoded_argument {
  uint8_t kind = 0;  // 0 none, 1 literal, 2 user variable (element 0), 3 decoded form
  uint8_t prefix = 0;
  uint32_t id = 0;
  int64_t value = 0;
};

struct running_instruction_record {
  uint32_t argument_count = 0;
  const argument_record* arguments = nullptr;  // the instruction's first record
  const uint8_t* expression_pool = nullptr;
  uint32_t expression_pool_size = 0;
  // The decoded forms of the running script's records (null when it has
  // none), by index from `argument_base`; valid for `arguments` only while
  // decoded_for equals it (a caller that sets the records alone never
  // matches). The scheduler sets the bases when the code changes, so that
  // each instruction stores only its own records.
  const decoded_argument* decoded_base = nullptr;
  const argument_record* argument_base = nullptr;
  const argument_record* decoded_for = nullptr;
};
extern running_instruction_record running_instruction;

// The decoded forms of the running instruction's records, or null.
inline const decoded_argument* running_decoded_arguments() {
  const running_instruction_record& ri = running_instruction;
  if (!ri.decoded_base || !ri.arguments || ri.decoded_for != ri.arguments) return nullptr;
  return ri.decoded_base + (ri.arguments - ri.argument_base);
}

constexpr uint32_t parameter_id_limit = 100;
constexpr uint32_t argument_position_limit = 256;  // positions 1..255 (u8 count)

// Presence by parameter id: 1-based position of the argument, 0 = not given.
extern uint8_t command_arg_slots[parameter_id_limit];

// Per argument position (1-based).
struct argument_slots_record {
  uint32_t parameter_id[argument_position_limit];
  uint32_t value_type[argument_position_limit];
  uint32_t assignment_operator[argument_position_limit];
  uint32_t length[argument_position_limit];
  uint32_t offset[argument_position_limit];
  int64_t integer_value[argument_position_limit];
  uint32_t variable_id[argument_position_limit];
  int64_t element_index[argument_position_limit];  // -1: a target outside its variable
  uint8_t whole_array[argument_position_limit];
  uint8_t prefix[argument_position_limit];
  const uint8_t* raw_pointer[argument_position_limit];
  char* string_value[argument_position_limit];  // 4096 bytes, allocated on first use
  uint32_t string_length[argument_position_limit];
};
extern argument_slots_record argument_slots;

int bind_command_arguments(int command_number);
int bind_call_arguments(int command_number);

// Lookups for handlers: the position of a parameter (0 = not given).
inline uint32_t argument_position(uint32_t parameter_id) {
  return parameter_id < parameter_id_limit ? command_arg_slots[parameter_id] : 0;
}
inline bool parameter_given(uint32_t parameter_id) { return argument_position(parameter_id) != 0; }
int64_t parameter_int(uint32_t parameter_id, int64_t fallback = 0);
const char* parameter_text(uint32_t parameter_id);  // "" when not given

// The range test of one check code: 0 passes, else the error code it reports.
int range_check_error(uint32_t code, int64_t value);

int64_t apply_assign_mode(uint32_t op, int64_t old, int64_t x);
int64_t apply_assign_mode_clamped(uint32_t op, int64_t old, int64_t x, int64_t min, int64_t max);
int64_t apply_assign_mode_min(uint32_t op, int64_t old, int64_t x, int64_t min);
