// Arbitrary initial-variable images (kxbin\kxv.kbn): applied globally and for
// one script, never read past their end, declarations freed cleanly.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/engine_state.h"
#include "script/expression.h"
#include "script/variable_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (install_expression_tables(), true);
  (void)ready;
  quit_flag = 0;
  create_variable_table(1100, 0);
  set_initial_variable_image(std::vector<uint8_t>(data, data + size));
  init_static_variables(-1);
  init_static_variables(size ? data[0] : 0);
  destroy_variable_table();
  return 0;
}
