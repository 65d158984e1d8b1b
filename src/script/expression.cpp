#include "script/expression.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/error_report.h"
#include "core/sjis.h"
#include "format/byte_io.h"
#include "script/system_values.h"
#include "script/variable_store.h"

expression_state_record expression_state;
uint8_t integer_result_rest_pending = 0;
expression_op binary_op_table[256];
assign_int_op assign_int_ops[assign_op_count];
assign_real_op assign_real_ops[assign_op_count];

namespace {

expression_state_record& st = expression_state;

// Every structural fault of a record string (stack, slot or index-level
// under- or overflow, a short payload) is an unknown operation to the script.
int fail_invalid() {
  report_error_at_line(900030, 1);
  return -1;
}
int fail_text_number() {
  report_error_at_line(160010, 1);
  return -1;
}

// Truncating division; 0 for a zero divisor; INT64_MIN / -1 wraps to INT64_MIN.
inline int64_t safe_div(int64_t a, int64_t b) {
  if (b == 0) return 0;
  if (b == -1) return static_cast<int64_t>(0 - static_cast<uint64_t>(a));
  return a / b;
}
inline int64_t safe_rem(int64_t a, int64_t b) {
  if (b == 0 || b == -1) return 0;
  return a % b;
}

// Lowest entry an operator may touch: the entries above the innermost open
// index list's placeholder.
inline uint32_t stack_floor() { return st.level ? st.levels[st.level - 1].depth + 1 : 0; }

inline int push_number_int(int64_t v) {
  if (st.depth >= value_stack_size) return fail_invalid();
  value_entry& e = st.stack[st.depth++];
  e.int_value = v;
  e.real_value = static_cast<double>(v);
  e.tag = 0;
  return 0;
}
inline int push_number_real(double v) {
  if (st.depth >= value_stack_size) return fail_invalid();
  value_entry& e = st.stack[st.depth++];
  e.real_value = v;
  e.int_value = saturate_to_int64(v);
  e.tag = 0;
  return 0;
}
// Pushes an integer in the current arithmetic.
inline int push_int(int64_t v) {
  return st.integer_arithmetic ? push_number_int(v) : push_number_real(static_cast<double>(v));
}
inline int push_real(double v) {
  return st.integer_arithmetic ? push_number_int(saturate_to_int64(v)) : push_number_real(v);
}

// Takes a fresh string slot; 0 when all 1023 are used in this evaluation.
uint16_t take_string_slot() {
  if (st.next_string_slot >= string_slot_count) return 0;
  uint16_t slot = static_cast<uint16_t>(st.next_string_slot);
  if (!st.string_slots[slot]) {
    st.string_slots[slot] = new (std::nothrow) char[string_slot_size];
    if (!st.string_slots[slot]) return 0;
  }
  ++st.next_string_slot;
  st.string_lengths[slot] = 0;
  st.string_slots[slot][0] = 0;
  return slot;
}

// Pushes a copy of a text, cut to fit a slot on a character boundary.
int push_text(const char* text, uint32_t length) {
  if (st.depth >= value_stack_size) return fail_invalid();
  uint16_t slot = take_string_slot();
  if (!slot) return fail_invalid();
  uint32_t n = truncate_sjis(text, length, string_slot_size - 1);
  std::memcpy(st.string_slots[slot], text, n);
  st.string_slots[slot][n] = 0;
  st.string_lengths[slot] = static_cast<uint16_t>(n);
  value_entry& e = st.stack[st.depth++];
  e.int_value = 0;
  e.real_value = 0.0;
  e.tag = slot;
  return 0;
}

// Pushes element `element` of variable `id` in the current arithmetic.
int push_variable(uint32_t id, int64_t element) {
  variable_record* v = find_variable(id);
  uint8_t type = v ? v->type : uint8_t{variable_type_none};
  if (id < first_user_variable) {
    if (type == variable_type_none) type = system_value_kind(id);
    if (type == variable_type_int) return push_int(system_int_value(id, element));
    if (type == variable_type_real) return push_real(system_real_value(id, element));
    std::string text;
    if (system_string_variable(id, element, text) != 0) return -1;
    return push_text(text.data(), static_cast<uint32_t>(text.size()));
  }
  if (type == variable_type_none) {
    report_error_at_line(108010, 1);
    return -1;
  }
  bool inside = element >= 0 && static_cast<uint64_t>(element) < v->element_count;
  switch (type) {
    case variable_type_int:
      return push_int(inside ? v->int_values[element] : 0);
    case variable_type_real:
      return push_real(inside ? v->real_values[element] : 0.0);
    default: {
      const char* t = inside ? v->text_values[element] : nullptr;
      if (!t) t = "";
      return push_text(t, static_cast<uint32_t>(std::strlen(t)));
    }
  }
}

uint8_t prefix_of(uint8_t b) { return b == '`' ? 1 : b == '#' ? 2 : 0; }

void set_last_reference(uint32_t id, int64_t element, uint8_t prefix, uint8_t whole) {
  st.last_variable_id = id;
  st.last_element = element;
  st.last_prefix = prefix;
  st.last_whole_array = whole;
}

// ------------------------------------------------------------ operations

int op_invalid(const uint8_t*, uint32_t) { return fail_invalid(); }
int op_nothing(const uint8_t*, uint32_t) { return 0; }

int op_load_mode_variable(const uint8_t*, uint32_t) {
  st.not_constant = 1;
  return -1;
}

int op_string_literal(const uint8_t* p, uint32_t n) {
  if (n < 1) return fail_invalid();
  if (st.depth >= value_stack_size) return fail_invalid();
  uint16_t slot = take_string_slot();
  if (!slot) return fail_invalid();
  char* out = st.string_slots[slot];
  uint32_t len = 0;
  const uint8_t delimiter = p[0];
  uint32_t i = 1;
  // Bounded by the payload: an unclosed literal ends with it, a lead byte
  // without its second byte is dropped, and the text stops at 4095 bytes on a
  // character boundary.
  while (i < n) {
    uint8_t c = p[i];
    if (c == delimiter) break;
    if (is_sjis_lead(c)) {
      if (i + 1 >= n) break;
      if (len + 2 > string_slot_size - 1) break;
      out[len++] = static_cast<char>(c);
      out[len++] = static_cast<char>(p[i + 1]);
      i += 2;
      continue;
    }
    if (c == '\\') {
      ++i;
      if (i >= n) break;
      uint8_t e = p[i];
      char produced;
      if (e == '\\') produced = '\\';
      else if (e == 'n') produced = '\n';
      else if (e == 't') produced = '\t';
      else continue;  // the backslash is dropped; the character is read as usual
      if (len + 1 > string_slot_size - 1) break;
      out[len++] = produced;
      ++i;
      continue;
    }
    if (len + 1 > string_slot_size - 1) break;
    out[len++] = static_cast<char>(c);
    ++i;
  }
  out[len] = 0;
  st.string_lengths[slot] = static_cast<uint16_t>(len);
  value_entry& e = st.stack[st.depth++];
  e.int_value = 0;
  e.real_value = 0.0;
  e.tag = slot;
  return 0;
}

int op_push_variable(const uint8_t* p, uint32_t n) {
  if (n < 3) return fail_invalid();
  uint32_t id = get_u16(p + 1);
  uint8_t prefix = prefix_of(p[0]);
  set_last_reference(id, 0, prefix, 0);
  if (st.target_mode && st.level == 0) return 0;  // the target: recorded, not read
  return push_variable(id, 0);
}

int op_open_index(const uint8_t* p, uint32_t n) {
  if (n < 3) return fail_invalid();
  if (st.level >= index_level_limit) return fail_invalid();
  if (st.depth >= value_stack_size) return fail_invalid();
  index_level_record& lv = st.levels[st.level];
  lv.depth = st.depth;
  lv.variable_id = get_u16(p + 1);
  lv.prefix = prefix_of(p[0]);
  lv.target = (st.target_mode && st.level == 0) ? 1 : 0;
  value_entry& e = st.stack[st.depth++];  // placeholder
  e.int_value = 0;
  e.real_value = 0.0;
  e.tag = 0;
  ++st.level;
  st.integer_arithmetic = 1;
  return 0;
}

int op_close_index(const uint8_t*, uint32_t) {
  if (st.level == 0) return fail_invalid();
  const index_level_record lv = st.levels[st.level - 1];
  uint32_t count = st.depth - lv.depth - 1;
  if (count > max_index_count) {
    report_error_at_line(107010, 1);
    return -1;
  }
  int64_t indexes[max_index_count];
  for (uint32_t j = 0; j < count; ++j) {
    const value_entry& e = st.stack[lv.depth + 1 + j];
    if (e.tag) return fail_text_number();
    indexes[j] = e.int_value;
  }
  variable_record* v = find_variable(lv.variable_id);
  if (!lv.target && lv.variable_id >= first_user_variable && (!v || v->type == variable_type_none)) {
    report_error_at_line(108010, 1);
    return -1;
  }
  uint32_t dims = v && v->type != variable_type_none ? v->dimension_count : 0;
  if (dims > max_dimension_count) dims = max_dimension_count;
  bool inside = count <= dims;
  int64_t offset = 0;
  for (uint32_t j = 0; j < count && inside; ++j) {
    uint64_t size = v->dimensions[j];
    if (static_cast<uint64_t>(indexes[j]) >= size) {
      inside = false;
      break;
    }
    uint64_t stride = 1;
    for (uint32_t k = j + 1; k < dims; ++k) stride *= v->dimensions[k];
    offset += static_cast<int64_t>(static_cast<uint64_t>(indexes[j]) * stride);
  }
  // Back to the placeholder; the element takes its place.
  st.depth = lv.depth;
  --st.level;
  st.integer_arithmetic = (st.mode == result_mode_int || st.mode == result_mode_text_int || st.level) ? 1 : 0;
  if (lv.target) {
    // Declarations read the sizes; a let into indexes outside the variable
    // writes nothing instead of landing on another element.
    st.target_index_count = count;
    for (uint32_t j = 0; j < count; ++j) st.target_indexes[j] = indexes[j];
    set_last_reference(lv.variable_id, inside ? offset : -1, lv.prefix, 0);
    return push_int(0);
  }
  if (!inside) {
    report_error_at_line(107010, 1);
    return -1;
  }
  set_last_reference(lv.variable_id, offset, lv.prefix, 0);
  return push_variable(lv.variable_id, offset);
}

int op_whole_array(const uint8_t* p, uint32_t n) {
  if (n < 3) return fail_invalid();
  set_last_reference(get_u16(p + 1), 0, prefix_of(p[0]), 1);
  return push_int(0);
}

int op_int8(const uint8_t* p, uint32_t n) {
  if (n < 1) return fail_invalid();
  return push_int(static_cast<int8_t>(p[0]));
}
int op_int16(const uint8_t* p, uint32_t n) {
  if (n < 2) return fail_invalid();
  return push_int(static_cast<int16_t>(get_u16(p)));
}
int op_int32(const uint8_t* p, uint32_t n) {
  if (n < 4) return fail_invalid();
  return push_int(static_cast<int32_t>(get_u32(p)));
}
int op_int64(const uint8_t* p, uint32_t n) {
  if (n < 8) return fail_invalid();
  return push_int(static_cast<int64_t>(get_u64(p)));
}
int op_real(const uint8_t* p, uint32_t n) {
  if (n < 8) return fail_invalid();
  uint64_t bits = get_u64(p);
  double d;
  std::memcpy(&d, &bits, 8);
  return push_real(d);
}

inline value_entry* top_operand() {
  if (st.depth < stack_floor() + 1) return nullptr;
  return &st.stack[st.depth - 1];
}

int op_negate(const uint8_t*, uint32_t) {
  value_entry* e = top_operand();
  if (!e) return fail_invalid();
  if (e->tag) return fail_text_number();
  if (st.integer_arithmetic) e->int_value = wrap_sub(0, e->int_value);
  else e->real_value = -e->real_value;
  return 0;
}

int op_to_text(const uint8_t*, uint32_t) {
  value_entry* e = top_operand();
  if (!e) return fail_invalid();
  if (e->tag) return 0;
  char buf[400];
  int n = st.integer_arithmetic ? std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(e->int_value))
                                : std::snprintf(buf, sizeof buf, "%f", e->real_value);
  if (n < 0) n = 0;
  if (n >= static_cast<int>(sizeof buf)) n = sizeof buf - 1;
  uint16_t slot = take_string_slot();
  if (!slot) return fail_invalid();
  std::memcpy(st.string_slots[slot], buf, static_cast<size_t>(n));
  st.string_slots[slot][n] = 0;
  st.string_lengths[slot] = static_cast<uint16_t>(n);
  e->tag = slot;
  e->int_value = 0;
  e->real_value = 0.0;
  return 0;
}

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int op_to_number(const uint8_t*, uint32_t) {
  value_entry* e = top_operand();
  if (!e) return fail_invalid();
  if (!e->tag) return 0;
  const char* t = st.string_slots[e->tag];
  uint32_t n = st.string_lengths[e->tag];
  e->tag = 0;
  if (n == 0) {
    e->int_value = 0;
    e->real_value = 0.0;
    return 0;
  }
  if (n >= 2 && t[0] == '0' && t[1] == 'x') {
    // 1 to 16 hexadecimal digits, ended by the text's end or by 'h' / 'H'.
    uint64_t v = 0;
    uint32_t digits = 0, i = 2;
    for (; i < n; ++i) {
      uint8_t c = static_cast<uint8_t>(t[i]);
      if (c == 'h' || c == 'H') break;
      int h = hex_value(c);
      if (h < 0 || digits == 16) {
        digits = 0;
        break;
      }
      v = (v << 4) | static_cast<uint64_t>(h);
      ++digits;
    }
    if (digits == 0) {
      report_error_at_line(108210, 1);
      return -1;
    }
    int64_t s = static_cast<int64_t>(v);
    e->int_value = s;
    e->real_value = static_cast<double>(s);
    return 0;
  }
  bool has_point = false;
  for (uint32_t i = 0; i < n; ++i) {
    char c = t[i];
    if (c == '.') has_point = true;
    else if (!(c >= '0' && c <= '9') && c != '-') {
      report_error_at_line(108210, 1);
      return -1;
    }
  }
  if (has_point) {
    double d = 0.0;
    std::from_chars(t, t + n, d);
    e->real_value = d;
    e->int_value = saturate_to_int64(d);
  } else {
    // A leading sign and the digits after it; overflow saturates.
    int64_t v = saturating_decimal_to_int64(std::string_view(t, n));
    e->int_value = v;
    e->real_value = static_cast<double>(v);
  }
  return 0;
}

// Pops the right operand; l and r point at the two operands. Null when the
// stack above the innermost index list holds fewer than two entries.
inline bool pop_two(value_entry*& l, value_entry*& r) {
  if (st.depth < stack_floor() + 2) return false;
  r = &st.stack[st.depth - 1];
  l = &st.stack[st.depth - 2];
  --st.depth;
  return true;
}

inline void set_int_result(value_entry* l, int64_t v) {
  l->int_value = v;
  l->tag = 0;
}
inline void set_real_result(value_entry* l, double v) {
  l->real_value = v;
  l->tag = 0;
}
inline void set_bool_result(value_entry* l, bool b) {
  l->int_value = b ? 1 : 0;
  l->real_value = b ? 1.0 : 0.0;
  l->tag = 0;
}

#define POP_NUMBERS()                        \
  value_entry *l, *r;                        \
  if (!pop_two(l, r)) return fail_invalid(); \
  if (l->tag || r->tag) return fail_text_number()

int op_add(const uint8_t*, uint32_t) {
  value_entry *l, *r;
  if (!pop_two(l, r)) return fail_invalid();
  if (l->tag && r->tag) {
    uint32_t a = st.string_lengths[l->tag], b = st.string_lengths[r->tag];
    if (a + b < string_slot_size) {
      std::memcpy(st.string_slots[l->tag] + a, st.string_slots[r->tag], b);
      st.string_slots[l->tag][a + b] = 0;
      st.string_lengths[l->tag] = static_cast<uint16_t>(a + b);
    }
    return 0;
  }
  if (l->tag || r->tag) return fail_text_number();
  if (st.integer_arithmetic) set_int_result(l, wrap_add(l->int_value, r->int_value));
  else set_real_result(l, l->real_value + r->real_value);
  return 0;
}

int compare_equal(bool want_equal) {
  value_entry *l, *r;
  if (!pop_two(l, r)) return fail_invalid();
  bool equal;
  if (l->tag && r->tag) {
    uint32_t a = st.string_lengths[l->tag], b = st.string_lengths[r->tag];
    equal = a == b && std::memcmp(st.string_slots[l->tag], st.string_slots[r->tag], a) == 0;
  } else if (l->tag || r->tag) {
    return fail_text_number();
  } else {
    equal = st.integer_arithmetic ? l->int_value == r->int_value : l->real_value == r->real_value;
  }
  set_bool_result(l, equal == want_equal);
  return 0;
}
int op_equal(const uint8_t*, uint32_t) { return compare_equal(true); }
int op_not_equal(const uint8_t*, uint32_t) { return compare_equal(false); }

#define NUMERIC_COMPARE(name, OP)                                                                   \
  int name(const uint8_t*, uint32_t) {                                                              \
    POP_NUMBERS();                                                                                  \
    set_bool_result(l, st.integer_arithmetic ? (l->int_value OP r->int_value) : (l->real_value OP r->real_value)); \
    return 0;                                                                                       \
  }
NUMERIC_COMPARE(op_greater, >)
NUMERIC_COMPARE(op_less, <)
NUMERIC_COMPARE(op_greater_equal, >=)
NUMERIC_COMPARE(op_less_equal, <=)
#undef NUMERIC_COMPARE

int op_subtract(const uint8_t*, uint32_t) {
  POP_NUMBERS();
  if (st.integer_arithmetic) set_int_result(l, wrap_sub(l->int_value, r->int_value));
  else set_real_result(l, l->real_value - r->real_value);
  return 0;
}
int op_multiply(const uint8_t*, uint32_t) {
  POP_NUMBERS();
  if (st.integer_arithmetic) set_int_result(l, wrap_mul(l->int_value, r->int_value));
  else set_real_result(l, l->real_value * r->real_value);
  return 0;
}
int op_divide(const uint8_t*, uint32_t) {
  POP_NUMBERS();
  if (st.integer_arithmetic) set_int_result(l, safe_div(l->int_value, r->int_value));
  else set_real_result(l, r->real_value == 0.0 ? 0.0 : l->real_value / r->real_value);
  return 0;
}
int op_logical_and(const uint8_t*, uint32_t) {
  POP_NUMBERS();
  set_bool_result(l, st.integer_arithmetic ? (l->int_value != 0 && r->int_value != 0)
                                           : (l->real_value != 0.0 && r->real_value != 0.0));
  return 0;
}
int op_logical_or(const uint8_t*, uint32_t) {
  POP_NUMBERS();
  set_bool_result(l, st.integer_arithmetic ? (l->int_value != 0 || r->int_value != 0)
                                           : (l->real_value != 0.0 || r->real_value != 0.0));
  return 0;
}
// Integer-only operators: in real arithmetic the left operand stays.
#define INTEGER_ONLY(name, EXPR)                                 \
  int name(const uint8_t*, uint32_t) {                           \
    POP_NUMBERS();                                               \
    if (st.integer_arithmetic) {                                 \
      int64_t a = l->int_value, b = r->int_value;                \
      set_int_result(l, EXPR);                                   \
    }                                                            \
    return 0;                                                    \
  }
INTEGER_ONLY(op_remainder, safe_rem(a, b))
INTEGER_ONLY(op_bit_and, a & b)
INTEGER_ONLY(op_bit_or, a | b)
INTEGER_ONLY(op_bit_xor, a ^ b)
#undef INTEGER_ONLY
#undef POP_NUMBERS

void reset_state(int mode) {
  st.depth = 0;
  st.next_string_slot = 1;
  st.level = 0;
  st.mode = mode;
  st.integer_arithmetic = (mode == result_mode_int || mode == result_mode_text_int) ? 1 : 0;
  st.not_constant = 0;
  st.failed = 0;
  st.stack[0] = value_entry{0, 0.0, 0};
  set_last_reference(0, 0, 0, 0);
  st.target_index_count = 0;
}

int run_records(const uint8_t* bytes, uint32_t length) {
  if (!bytes && length) return fail_invalid();
  uint32_t pos = 0;
  while (pos < length) {
    if (length - pos < 3) return fail_invalid();
    uint8_t op = bytes[pos];
    uint32_t n = get_u16(bytes + pos + 1);
    if (n > length - pos - 3) return fail_invalid();
    expression_op handler = binary_op_table[op];
    if (!handler) return fail_invalid();  // tables not installed yet
    if (handler(bytes + pos + 3, n) != 0) return -1;
    pos += 3 + n;
  }
  return 0;
}

int run(const uint8_t* bytes, uint32_t length, int mode) {
  reset_state(mode);
  if (run_records(bytes, length) != 0) {
    st.failed = 1;
    return -1;
  }
  return 0;
}

int text_result(char* buffer, const uint8_t* bytes, uint32_t length, int mode) {
  if (run(bytes, length, mode) != 0) return -1;
  if (st.depth == 0) {
    buffer[0] = 0;
    return 0;
  }
  value_entry& e = st.stack[0];
  if (!e.tag) {
    // A number left as the result is given as its text.
    st.depth = 1;
    st.level = 0;
    st.integer_arithmetic = mode == result_mode_text_int ? 1 : 0;
    if (op_to_text(nullptr, 0) != 0) {
      st.failed = 1;
      return -1;
    }
  }
  uint32_t n = st.string_lengths[e.tag];
  std::memcpy(buffer, st.string_slots[e.tag], n);
  buffer[n] = 0;
  return static_cast<int>(n);
}

// ------------------------------------------------------------ assignment

variable_record* element_target(uint32_t id, int64_t element, uint8_t type) {
  variable_record* v = find_variable(id);
  if (!v || v->type != type) return nullptr;
  if (element < 0 || static_cast<uint64_t>(element) >= v->element_count) return nullptr;
  return v;
}

#define INT_ASSIGN(name, BODY)                                       \
  void name(uint32_t id, int64_t e, int64_t x) {                     \
    variable_record* v = element_target(id, e, variable_type_int);   \
    if (!v) return;                                                  \
    int64_t& a = v->int_values[e];                                   \
    BODY;                                                            \
  }
INT_ASSIGN(assign_int_set, a = x)
INT_ASSIGN(assign_int_add, a = wrap_add(a, x))
INT_ASSIGN(assign_int_sub, a = wrap_sub(a, x))
INT_ASSIGN(assign_int_mul, a = wrap_mul(a, x))
INT_ASSIGN(assign_int_div, if (x != 0) a = safe_div(a, x))
INT_ASSIGN(assign_int_rem, if (x != 0) a = safe_rem(a, x))
INT_ASSIGN(assign_int_and, a &= x)
INT_ASSIGN(assign_int_or, a |= x)
INT_ASSIGN(assign_int_xor, a ^= x)
#undef INT_ASSIGN

#define REAL_ASSIGN(name, BODY)                                      \
  void name(uint32_t id, int64_t e, double x) {                      \
    variable_record* v = element_target(id, e, variable_type_real);  \
    if (!v) return;                                                  \
    double& a = v->real_values[e];                                   \
    BODY;                                                            \
  }
REAL_ASSIGN(assign_real_set, a = x)
REAL_ASSIGN(assign_real_add, a = a + x)
REAL_ASSIGN(assign_real_sub, a = a - x)
REAL_ASSIGN(assign_real_mul, a = a * x)
REAL_ASSIGN(assign_real_div, if (x != 0.0) a = a / x)
REAL_ASSIGN(assign_real_rem,
            if (x != 0.0) a = static_cast<double>(safe_rem(saturate_to_int64(a), saturate_to_int64(x))))
REAL_ASSIGN(assign_real_and, a = static_cast<double>(saturate_to_int64(a) & saturate_to_int64(x)))
REAL_ASSIGN(assign_real_or, a = static_cast<double>(saturate_to_int64(a) | saturate_to_int64(x)))
REAL_ASSIGN(assign_real_xor, a = static_cast<double>(saturate_to_int64(a) ^ saturate_to_int64(x)))
#undef REAL_ASSIGN

}  // namespace

int64_t saturate_to_int64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return INT64_MAX;
  if (v <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(v);
}

int64_t saturating_decimal_to_int64(std::string_view t) {
  size_t i = 0;
  bool negative = false;
  if (!t.empty() && t[0] == '-') {
    negative = true;
    i = 1;
  }
  uint64_t mag = 0;
  bool over = false;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    unsigned d = static_cast<unsigned>(t[i] - '0');
    if (mag > (UINT64_MAX - d) / 10) over = true;
    else mag = mag * 10 + d;
  }
  if (negative) return (over || mag > (uint64_t{1} << 63)) ? INT64_MIN : static_cast<int64_t>(0 - mag);
  return (over || mag > static_cast<uint64_t>(INT64_MAX)) ? INT64_MAX : static_cast<int64_t>(mag);
}

uint32_t truncate_sjis(const char* text, uint32_t length, uint32_t max_bytes) {
  if (length <= max_bytes) return length;
  uint32_t i = 0;
  while (i < max_bytes) {
    uint32_t step = (i + 1 < length && is_sjis_lead(static_cast<uint8_t>(text[i]))) ? 2 : 1;
    if (i + step > max_bytes) break;
    i += step;
  }
  return i;
}

void init_binary_ops(bool run_mode) {
  for (auto& e : binary_op_table) e = op_invalid;
  auto set_op = [](char op, expression_op handler) { binary_op_table[static_cast<uint8_t>(op)] = handler; };
  set_op('M', op_string_literal);
  set_op('H', run_mode ? op_push_variable : op_load_mode_variable);
  set_op('V', run_mode ? op_open_index : op_load_mode_variable);
  set_op('v', run_mode ? op_whole_array : op_load_mode_variable);
  set_op(')', op_close_index);
  set_op('B', op_int8);
  set_op('W', op_int16);
  set_op('I', op_int32);
  set_op('L', op_int64);
  set_op('F', op_real);
  set_op('R', op_negate);
  set_op('s', op_to_text);
  set_op('i', op_to_number);
  set_op('+', op_add);
  set_op('-', op_subtract);
  set_op('*', op_multiply);
  set_op('/', op_divide);
  set_op('%', op_remainder);
  set_op('=', op_equal);
  set_op('!', op_not_equal);
  set_op('>', op_greater);
  set_op('<', op_less);
  set_op('Z', op_greater_equal);
  set_op('S', op_less_equal);
  set_op('&', op_logical_and);
  set_op('|', op_logical_or);
  set_op('A', op_bit_and);
  set_op('O', op_bit_or);
  set_op('^', op_bit_xor);
  set_op(',', op_nothing);
}

void init_assign_ops() {
  const assign_int_op ints[assign_op_count] = {assign_int_set, assign_int_add, assign_int_sub,
                                               assign_int_mul, assign_int_div, assign_int_rem,
                                               assign_int_and, assign_int_or,  assign_int_xor};
  const assign_real_op reals[assign_op_count] = {assign_real_set, assign_real_add, assign_real_sub,
                                                 assign_real_mul, assign_real_div, assign_real_rem,
                                                 assign_real_and, assign_real_or,  assign_real_xor};
  for (int i = 0; i < assign_op_count; ++i) {
    assign_int_ops[i] = ints[i];
    assign_real_ops[i] = reals[i];
  }
}

int assign_int_value(uint32_t op, uint32_t id, int64_t element, int64_t value) {
  if (op >= assign_op_count || !assign_int_ops[op]) {
    report_error_at_line(101140, 1);
    return -1;
  }
  assign_int_ops[op](id, element, value);
  return 0;
}

int assign_real_value(uint32_t op, uint32_t id, int64_t element, double value) {
  if (op >= assign_op_count || !assign_real_ops[op]) {
    report_error_at_line(101140, 1);
    return -1;
  }
  assign_real_ops[op](id, element, value);
  return 0;
}

void install_expression_tables() {
  init_binary_ops(true);
  init_assign_ops();
}

int evaluate_expression(const uint8_t* bytes, uint32_t length, int mode) { return run(bytes, length, mode); }

int64_t eval_to_int(const uint8_t* bytes, uint32_t length) {
  if (run(bytes, length, result_mode_int) != 0) return 0;
  return st.stack[0].int_value;
}
double eval_to_float(const uint8_t* bytes, uint32_t length) {
  if (run(bytes, length, result_mode_real) != 0) return 0.0;
  return st.stack[0].real_value;
}
double eval_to_float_alt(const uint8_t* bytes, uint32_t length) { return eval_to_float(bytes, length); }
double eval_int_as_float(const uint8_t* bytes, uint32_t length) {
  if (run(bytes, length, result_mode_int) != 0) return 0.0;
  return static_cast<double>(st.stack[0].int_value);
}
int eval_to_string(char* buffer, const uint8_t* bytes, uint32_t length) {
  return text_result(buffer, bytes, length, result_mode_text_int);
}
int eval_to_string_alt(char* buffer, const uint8_t* bytes, uint32_t length) {
  return text_result(buffer, bytes, length, result_mode_text_real);
}

namespace {
bool value_type_valid(uint32_t value_type) {
  if (value_type >= 1 && value_type <= 4) return true;
  report_error_at_line(900030, 1);
  st.failed = 1;
  return false;
}
}  // namespace

int64_t eval_int_by_value_type(uint32_t value_type, const uint8_t* bytes, uint32_t length) {
  if (!value_type_valid(value_type)) return 0;
  if (value_type == 1 || value_type == 3) return eval_to_int(bytes, length);
  return saturate_to_int64(eval_to_float(bytes, length));
}

double eval_real_by_value_type(uint32_t value_type, const uint8_t* bytes, uint32_t length) {
  if (!value_type_valid(value_type)) return 0.0;
  if (value_type == 1 || value_type == 3) return eval_int_as_float(bytes, length);
  return eval_to_float_alt(bytes, length);
}

int eval_string_by_value_type(uint32_t value_type, char* buffer, const uint8_t* bytes, uint32_t length) {
  if (!value_type_valid(value_type)) return -1;
  if (value_type == 4) return eval_to_string_alt(buffer, bytes, length);
  return eval_to_string(buffer, bytes, length);
}

int evaluate_target(const uint8_t* bytes, uint32_t length) {
  st.target_mode = 1;
  int rc = run(bytes, length, result_mode_int);
  st.target_mode = 0;
  return rc;
}


