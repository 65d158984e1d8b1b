// Compiled code files kxbin\kxt%05d.kbn: loading them into per-instruction
// handler arrays, resolving constant goto and call labels at load time, the
// label lookup, and pointing a task at a label.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "resources/command_table.h"
#include "script/argument_binding.h"

struct task_record;

constexpr size_t code_file_header_size = 32;
constexpr size_t code_instruction_size = 4;
constexpr size_t code_argument_size = 12;
// A goto record's length field at or above this holds a pre-resolved label.
constexpr uint32_t resolved_label_flag = 0x10000000;

// One loaded script. Built once, kept for the run; the arrays never move, so
// tasks and the running instruction may point into them.
// A let of the common shape, decoded at load: an integer target (a variable
// or an array element) and a value of one or two operands (variables, array
// elements with plain indexes, integer literals) joined by one operator.
// Values may also read elements of the task and call values (ids 48..60,
// such as ret_int[1]). Values of calls and returns use the same form without
// a target.
struct decoded_operand {
  // 0 integer literal, 1 variable (element 0), 2 array element, 3 a call's
  // integer argument or return value (arg_int, ret_int) by one literal index
  uint8_t kind = 0;
  uint8_t prefix = 0;
  uint8_t index_count = 0;  // kinds 2, 3: indexes at decoded_let::indexes[first_index...]
  uint8_t first_index = 0;
  uint32_t id = 0;
  int64_t value = 0;  // kind 0; kind 3: the index
};
struct decoded_let {
  decoded_operand target;
  decoded_operand left, right;
  uint8_t binary = 0;  // 0: the value is `left` alone; else the operator record
  uint8_t assign_op = 0;
  // 1: a variable set to, raised or lowered by an integer literal (x += 1),
  // the commonest shape, which needs none of the operand reading.
  uint8_t literal_step = 0;
  decoded_operand indexes[16];  // literals and variables only
};

// A call or return whose values all have decoded forms, laid out at load:
// the values in record order with their slots, so the handler need not walk
// the argument records.
struct decoded_transfer_value {
  decoded_argument form;
  uint8_t slot = 0;  // value number - 1
};
struct decoded_transfer {
  int32_t label = 0;        // a call's label, resolved at load
  uint32_t given = 0;       // bit k: value k + 1 given
  uint8_t count = 0;        // slots filled: the flag byte, at most 16
  uint8_t value_count = 0;  // 0: a call of its label alone
  uint8_t forms = 0;        // 1: some value has a decoded form (kind 3)
  uint8_t label_records = 0;  // a call's label record (1), none for a return
  uint8_t in_order = 0;     // 1: value k fills slot k, for every slot
  uint32_t first_value = 0; // in script_code::transfer_values
};

// An instruction's argument records as the dispatch hands them to its
// handler: the first record (null when it has none) and their count.
struct instruction_arguments {
  const argument_record* first = nullptr;
  uint32_t count = 0;
};

struct script_code {
  uint32_t instruction_count = 0;
  // The script number this record was installed as (it is that script's
  // loaded code while it lives), or none.
  uint32_t installed_as = UINT32_MAX;
  std::vector<command_handler> handlers[2];  // 0: pre-hook array, 1: command handlers
  std::vector<uint8_t> commands;             // command number per instruction
  std::vector<uint8_t> flags;                // flag byte per instruction
  std::vector<uint8_t> argument_counts;
  std::vector<uint32_t> first_argument;      // index into `arguments`
  std::vector<argument_record> arguments;
  std::vector<uint8_t> expression_pool;
  std::vector<uint32_t> line_table;
  // Decoded lets, by instruction (index into `lets`, or none).
  std::vector<decoded_let> lets;
  std::vector<uint32_t> let_index;
  // Per argument record (same index as `arguments`).
  std::vector<decoded_argument> decoded_arguments;
  // The decoded expressions of kind-3 arguments (calls and returns).
  std::vector<decoded_let> argument_forms;
  // Decoded calls and returns, by instruction (index into `transfers`, or none).
  std::vector<decoded_transfer> transfers;
  std::vector<decoded_transfer_value> transfer_values;
  std::vector<uint32_t> transfer_index;
  // By instruction, from argument_counts and first_argument (the records
  // never move once parsed); laid out at install, or by the dispatch for a
  // code that was not installed.
  mutable std::vector<instruction_arguments> instruction_records;
};

// Fills code.instruction_records.
void lay_out_instruction_records(const script_code& code);

enum : uint8_t { script_not_loaded = 0, script_loaded = 1, script_load_failed = 2 };

// By script number (sized to the script list at system start).
struct script_file_records_record {
  std::vector<std::unique_ptr<script_code>> codes;
  std::vector<uint8_t> states;
};
extern script_file_records_record script_file_records;

// Parses and unscrambles a code file into `out` (handlers not filled). Every
// section is checked against the file. 0, or 104010 for a damaged file.
int parse_code_file(const uint8_t* data, size_t size, const std::array<uint8_t, 4>& key, script_code& out);

// 1 when the script is (already) loaded, 0 when it is not there or damaged
// (reported: 901030 past the script list, 104060 missing, 104010 damaged).
int load_script_file(uint32_t script_number);
// The loaded code of a script, or null.
inline const script_code* loaded_script_code(uint32_t script_number) {
  if (script_number >= script_file_records.codes.size()) return nullptr;
  if (script_file_records.states[script_number] != script_loaded) return nullptr;
  return script_file_records.codes[script_number].get();
}
// Installs an already parsed script (tests and the fuzz target): builds the
// handler arrays, resolves labels and applies the script's initial variables.
int install_script_code(uint32_t script_number, std::unique_ptr<script_code> code);

// Label number by name, or -1.
int find_label(const char* name, size_t length);
inline int find_label(std::string_view name) { return find_label(name.data(), name.size()); }

// Points a task at a label: position, script (loaded when needed) and code.
// Depths are the caller's. 0, or -1 after a report.
int switch_task_to_label(task_record* task, int label_number);
// Points a task at an instruction of a script. 0, or -1 after a report.
int switch_task_to_script(task_record* task, uint32_t script_number, uint32_t position);

// Back to the start-up state (tests and restart).
void reset_script_files();
