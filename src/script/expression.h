// The expression evaluator: compiled script arguments are postfix records
// (u8 operation, u16 payload length, payload) run over a value stack, in one
// arithmetic chosen by the caller (int64 or double); array indexes are always
// integer. Also the compound-assignment tables of the let command.
#pragma once
#include <cstdint>
#include <string_view>

// Result modes of an evaluation.
enum : int {
  result_mode_int = 1,        // int64 result
  result_mode_real = 2,       // double result
  result_mode_text_int = 3,   // text result, integer arithmetic
  result_mode_text_real = 4,  // text result, real arithmetic
};

constexpr uint32_t value_stack_size = 1024;
constexpr uint32_t string_slot_count = 1024;  // slots 1..1023; tag 0 means "number"
constexpr uint32_t string_slot_size = 4096;   // a text holds at most 4095 bytes
constexpr uint32_t index_level_limit = 128;
constexpr uint32_t max_index_count = 8;

struct value_entry {
  int64_t int_value;
  double real_value;
  uint16_t tag;  // 0 = number, else the string slot holding the text
};

struct index_level_record {
  uint32_t depth;  // stack depth at the opening: the placeholder's entry
  uint32_t variable_id;
  uint8_t prefix;
  uint8_t target;  // 1 when the list is the top-level target of an assignment
};

// The scalars come first and side by side: an evaluation's end (and the
// decoded paths, in set_integer_result_state) writes most of them at once.
struct expression_state_record {
  uint32_t depth;
  uint32_t next_string_slot;
  uint32_t level;
  int mode;
  uint8_t integer_arithmetic;  // mode 1 or 3, or an index list open
  uint8_t not_constant;        // load mode: the expression referenced a variable
  uint8_t failed;              // the last evaluation failed

  // Last-reference outputs, read by argument binding.
  uint8_t last_whole_array;
  // The indexes of the last top-level target list, as the declare commands read
  // them (the sizes of the variable being declared).
  uint32_t target_index_count;
  uint8_t last_prefix;  // '`' -> 1, '#' -> 2, else 0
  uint8_t target_mode;  // set by the let and declare commands around their target
  uint32_t last_variable_id;
  int64_t last_element;  // -1 when a target's indexes lie outside the variable
  int64_t target_indexes[max_index_count];

  value_entry stack[value_stack_size];
  char* string_slots[string_slot_count];  // 4096-byte buffers, allocated on first use
  uint16_t string_lengths[string_slot_count];
  index_level_record levels[index_level_limit];
};
extern expression_state_record expression_state;

// Operation handler: payload and its length; 0 = go on, nonzero = fail.
using expression_op = int (*)(const uint8_t* payload, uint32_t length);
extern expression_op binary_op_table[256];

// Fills binary_op_table. run = false is load mode: variable references only
// mark the expression as not constant and fail silently.
void init_binary_ops(bool run);

// Compound assignment into element `element` of variable `id`, operators 0..8
// = "=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=".
using assign_int_op = void (*)(uint32_t id, int64_t element, int64_t value);
using assign_real_op = void (*)(uint32_t id, int64_t element, double value);
constexpr int assign_op_count = 9;
extern assign_int_op assign_int_ops[assign_op_count];
extern assign_real_op assign_real_ops[assign_op_count];
void init_assign_ops();

// Checked forms for callers holding an operator byte from compiled code: an
// operator above 8 reports 101140 and returns -1.
int assign_int_value(uint32_t op, uint32_t id, int64_t element, int64_t value);
int assign_real_value(uint32_t op, uint32_t id, int64_t element, double value);

// The start-up installer (called by init_startup_tables): run-mode operation
// table and both assignment tables.
void install_expression_tables();

// Evaluates in the given mode. 0 on success, -1 on failure (already reported,
// except in load mode and for the silent load-mode failure).
int evaluate_expression(const uint8_t* bytes, uint32_t length, int mode);

// Entry points. On failure they return 0 (or -1 for the text forms, whose
// buffer is then left untouched) and expression_state.failed is set.
int64_t eval_to_int(const uint8_t* bytes, uint32_t length);
double eval_to_float(const uint8_t* bytes, uint32_t length);
double eval_to_float_alt(const uint8_t* bytes, uint32_t length);
double eval_int_as_float(const uint8_t* bytes, uint32_t length);
// `buffer` holds at least string_slot_size bytes; returns the text length or -1.
int eval_to_string(char* buffer, const uint8_t* bytes, uint32_t length);
int eval_to_string_alt(char* buffer, const uint8_t* bytes, uint32_t length);

// The evaluator table by value type (1..4). A value type outside 1..4 reports
// 900030 and fails.
int64_t eval_int_by_value_type(uint32_t value_type, const uint8_t* bytes, uint32_t length);
double eval_real_by_value_type(uint32_t value_type, const uint8_t* bytes, uint32_t length);
int eval_string_by_value_type(uint32_t value_type, char* buffer, const uint8_t* bytes, uint32_t length);

// Evaluation of an assignment target: a top-level variable only records the
// reference (no value, no "undeclared" error), a top-level index list is not
// bounds-checked and its indexes are kept in target_indexes.
int evaluate_target(const uint8_t* bytes, uint32_t length);

// The evaluator's state after an integer-mode evaluation that ended with one
// value (its integer, the real the stack entry holds) and the given last
// reference: what the decoded fast paths leave behind. In two parts: the
// value and reference, and the rest, the same after every such evaluation.
[[gnu::always_inline]] inline void set_integer_result_values(int64_t value, double real_value, uint32_t last_id,
                                                              int64_t last_element, uint8_t last_prefix) {
  expression_state_record& st = expression_state;
  st.last_prefix = last_prefix;
  st.last_variable_id = last_id;
  st.last_element = last_element;
  st.stack[0].int_value = value;
  st.stack[0].real_value = real_value;
}
[[gnu::always_inline]] inline void set_integer_result_rest() {
  expression_state_record& st = expression_state;
  st.depth = 1;
  st.next_string_slot = 1;
  st.level = 0;
  st.mode = result_mode_int;
  st.integer_arithmetic = 1;
  st.not_constant = 0;
  st.failed = 0;
  st.last_whole_array = 0;
  st.target_index_count = 0;
  st.stack[0].tag = 0;
}
[[gnu::always_inline]] inline void set_integer_result_state(int64_t value, double real_value, uint32_t last_id,
                                                             int64_t last_element, uint8_t last_prefix) {
  set_integer_result_values(value, real_value, last_id, last_element, last_prefix);
  set_integer_result_rest();
}

// In the scheduler's loop the decoded forms write the value and reference
// and leave the rest pending: the loop writes it before anything that could
// read the evaluator's state runs (a handler, a hook, a report, the end of
// the turn), so each form need not write it again.
extern uint8_t integer_result_rest_pending;

[[gnu::always_inline]] inline void write_pending_result() {
  if (!integer_result_rest_pending) return;
  integer_result_rest_pending = 0;
  set_integer_result_rest();
}

// Saturating double -> int64 (NaN gives 0).
int64_t saturate_to_int64(double v);

// A leading '-' and the decimal digits after it, up to the first other byte;
// overflow saturates to INT64_MIN / INT64_MAX.
int64_t saturating_decimal_to_int64(std::string_view text);

// Two's-complement wrapping int64 arithmetic, as the script's integers behave.
inline int64_t wrap_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrap_sub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
inline int64_t wrap_mul(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// Copies at most max_bytes of `text` so that no double-byte character is split;
// returns the length kept.
uint32_t truncate_sjis(const char* text, uint32_t length, uint32_t max_bytes);
