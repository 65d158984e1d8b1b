// Arbitrary expression records against a small variable table, in every
// result mode, as a target and in load mode: the evaluator must fail cleanly.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/engine_state.h"
#include "format/variable_image.h"
#include "script/expression.h"
#include "script/variable_store.h"

namespace {

bool set_up() {
  install_expression_tables();
  create_variable_table(1010, 0);
  const uint32_t one[1] = {1}, ten[1] = {10}, grid[2] = {3, 4}, cube[3] = {2, 3, 4};
  for (const auto& l : system_variable_layouts()) {
    if (l.size > 64) continue;  // keep start-up quick; the big ones are tested elsewhere
    const uint32_t size[1] = {l.size};
    if (l.type == 1) declare_int_variable(l.id, 1, size, 0);
    else if (l.type == 2) declare_real_variable(l.id, 1, size, 0.0);
    else declare_string_variable(l.id, 1, size, "", 0);
  }
  declare_int_variable(1000, 1, one, 7);
  declare_int_variable(1001, 1, ten, -3);
  declare_real_variable(1002, 1, ten, 2.5);
  declare_string_variable(1003, 1, ten, "text\x82\xA0", 6);
  declare_int_variable(1004, 2, grid, 1);
  declare_real_variable(1005, 3, cube, 0.5);
  std::string long_text(5000, 'L');
  set_string_element(1003, 9, long_text.c_str());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = set_up();
  (void)ready;
  if (size < 1) return 0;
  const uint8_t control = data[0];
  const uint8_t* bytes = data + 1;
  const uint32_t length = static_cast<uint32_t>(size - 1);
  quit_flag = 0;
  char buffer[string_slot_size];
  switch (control & 7) {
    case 0: eval_to_int(bytes, length); break;
    case 1: eval_to_float(bytes, length); break;
    case 2: eval_int_as_float(bytes, length); break;
    case 3: eval_to_string(buffer, bytes, length); break;
    case 4: eval_to_string_alt(buffer, bytes, length); break;
    case 5: evaluate_target(bytes, length); break;
    case 6:
      init_binary_ops(false);
      eval_to_string(buffer, bytes, length);
      init_binary_ops(true);
      break;
    default: {
      // Value types straight from the input, as damaged code would give them.
      uint32_t value_type = control >> 3;
      eval_int_by_value_type(value_type, bytes, length);
      eval_string_by_value_type(value_type, buffer, bytes, length);
      break;
    }
  }
  return 0;
}
