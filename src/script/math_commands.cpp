#include "script/math_commands.h"

#include <cmath>
#include <cstring>

#include "format/hashes.h"
#include "script/argument_binding.h"
#include "script/expression.h"
#include "script/random.h"
#include "script/system_values.h"
#include "script/variable_store.h"

namespace {

enum math_function : int {
  fn_sin = 4, fn_asin = 5, fn_sinh = 6, fn_cos = 7, fn_acos = 8, fn_cosh = 9, fn_tan = 10, fn_atan = 11,
  fn_atan2 = 12, fn_tanh = 13, fn_sqrt = 14, fn_abs = 15, fn_exp = 16, fn_log = 17, fn_log10 = 18,
  fn_pow = 19, fn_random = 20, fn_crc32 = 21,
};

// The order in which the function parameters are tested.
constexpr int function_order[] = {fn_sin,  fn_cos,  fn_tan, fn_asin, fn_acos, fn_sinh, fn_cosh, fn_tanh, fn_atan,
                                  fn_atan2, fn_sqrt, fn_abs, fn_exp,  fn_log,  fn_log10, fn_pow, fn_random, fn_crc32};

// A raw operand: its expression bytes and value type (absent: no bytes).
struct raw_operand {
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
  uint32_t value_type = 1;
};

raw_operand operand_of(uint32_t parameter_id) {
  raw_operand o;
  uint32_t pos = argument_position(parameter_id);
  if (!pos) return o;
  o.bytes = argument_slots.raw_pointer[pos];
  o.length = argument_slots.length[pos];
  o.value_type = argument_slots.value_type[pos];
  return o;
}

// An absent operand is 0. False after an evaluation failure (reported).
bool real_of(const raw_operand& o, bool real_arithmetic, double& out) {
  out = 0.0;
  if (!o.length) return true;
  out = real_arithmetic ? eval_to_float(o.bytes, o.length) : eval_real_by_value_type(o.value_type, o.bytes, o.length);
  return !expression_state.failed;
}
bool int_of(const raw_operand& o, int64_t& out) {
  out = 0;
  if (!o.length) return true;
  out = eval_int_by_value_type(o.value_type, o.bytes, o.length);
  return !expression_state.failed;
}

inline bool integer_value_type(uint32_t value_type) { return value_type == 1 || value_type == 3; }

}  // namespace

bool parameter_element(uint32_t parameter_id, element_ref& out) {
  uint32_t pos = argument_position(parameter_id);
  if (!pos) return false;
  out.id = argument_slots.variable_id[pos];
  out.element = argument_slots.element_index[pos];
  return true;
}

uint8_t variable_type_of(uint32_t id) {
  const variable_record* v = find_variable(id);
  uint8_t type = v ? v->type : uint8_t{variable_type_none};
  if (type == variable_type_none && id < first_user_variable) type = system_value_kind(id);
  return type;
}

int cmd_math() {
  if (bind_command_arguments(50) != 0) return -1;
  int function = 0;
  for (int f : function_order)
    if (parameter_given(static_cast<uint32_t>(f))) {
      function = f;
      break;
    }
  if (!function) return 0;
  element_ref out;
  const bool has_output = parameter_element(0, out);
  const raw_operand a = operand_of(1), b = operand_of(2);

  if (function == fn_crc32) {
    // The text operand up to its terminator.
    const char* text = parameter_text(3);
    const uint32_t crc = compute_crc32(text, std::strlen(text));
    if (has_output) set_numeric_element(out.id, out.element, static_cast<int64_t>(crc));
    return 0;
  }
  if (function == fn_random) {
    int64_t low = 0, high = 0;
    if (!int_of(a, low) || !int_of(b, high)) return -1;
    const int64_t r = random_between(low, high);
    if (has_output) set_numeric_element(out.id, out.element, r);
    return 0;
  }
  if (function == fn_abs) {
    // Integer value types take the int64 absolute value (the most negative
    // value wraps to itself); real ones the real absolute value.
    if (integer_value_type(a.value_type)) {
      int64_t v = 0;
      if (!int_of(a, v)) return -1;
      const int64_t r = v < 0 ? static_cast<int64_t>(0 - static_cast<uint64_t>(v)) : v;
      if (has_output) set_numeric_element(out.id, out.element, r);
    } else {
      double v = 0.0;
      if (!real_of(a, false, v)) return -1;
      if (has_output) set_real_element(out.id, out.element, std::fabs(v));
    }
    return 0;
  }

  double x = 0.0, y = 0.0;
  if (!real_of(a, function == fn_sin || function == fn_cos, x)) return -1;
  if ((function == fn_atan2 || function == fn_pow) && !real_of(b, false, y)) return -1;
  double r = 0.0;
  switch (function) {
    case fn_sin: r = std::sin(x); break;
    case fn_cos: r = std::cos(x); break;
    case fn_tan: r = std::tan(x); break;
    case fn_asin: r = std::asin(x); break;
    case fn_acos: r = std::acos(x); break;
    case fn_sinh: r = std::sinh(x); break;
    case fn_cosh: r = std::cosh(x); break;
    case fn_tanh: r = std::tanh(x); break;
    case fn_atan: r = std::atan(x); break;
    case fn_atan2: r = std::atan2(x, y); break;
    case fn_sqrt: r = std::sqrt(x); break;
    case fn_exp: r = std::exp(x); break;
    case fn_log: r = std::log(x); break;
    case fn_log10: r = std::log10(x); break;
    case fn_pow: r = std::pow(x, y); break;
    default: return 0;
  }
  if (has_output) set_real_element(out.id, out.element, r);
  return 0;
}

void compute_derived_values(const int64_t* I, const double* R, double* out) {
  if (I[7] != 0) {
    out[0] = R[13] - R[18] * R[16] / 100.0;
    out[1] = R[14] - R[19] * R[17] / 100.0;
    out[2] = R[16];
    out[3] = R[17];
    return;
  }
  const double a = R[3] + R[28], b = R[4] + R[29], c = R[5] + R[30];
  const double p1 = std::pow(2.0, (R[27] - R[8] + c) / 100.0);
  const double p2 = std::pow(2.0, (R[27] - R[15] + c) / 100.0);
  double x = 0.5 * static_cast<double>(I[5]) + R[11] * R[20] + (R[6] - R[9] - R[20] * a) * p1;
  double y = 0.5 * static_cast<double>(I[6]) + R[12] * R[21] + (R[7] - R[10] - R[21] * b) * p1;
  double p = p2;
  if (I[1] != I[2]) {
    x += R[9] * p1;
    y += R[10] * p1;
    if (I[4] == 0) {
      x += (R[13] * R[20] - R[18]) * p2;
      y += (R[14] * R[21] - R[19]) * p2;
    } else {
      p = std::pow(2.0, (R[27] - R[24] + c) / 100.0);
      x += ((R[13] + R[22]) * R[20] - R[18] - R[25]) * p;
      y += ((R[14] + R[23]) * R[21] - R[19] - R[26]) * p;
    }
  }
  x += (100.0 - R[16]) * R[18] * p / 100.0;
  y += (100.0 - R[17]) * R[19] * p / 100.0;
  out[0] = x;
  out[1] = y;
  out[2] = R[16] * p;
  out[3] = R[17] * p;
}

int cmd_get_system_values() {
  if (bind_command_arguments(51) != 0) return -1;
  element_ref ints, reals;
  if (!parameter_element(0, ints) || !parameter_element(1, reals)) return 0;
  int64_t I[8] = {};
  double R[31] = {};
  for (int k : {1, 2, 4, 5, 6, 7}) I[k] = get_int_element(ints.id, k);
  for (int k = 3; k <= 30; ++k) R[k] = get_real_element(reals.id, k);
  double out[4];
  compute_derived_values(I, R, out);
  for (int k = 0; k < 4; ++k) set_real_element(reals.id, 31 + k, out[k]);
  return 0;
}
