// The loader's parse of kxbin\ compiled file bytes: never reads past them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "resources/compiled_loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so any overread lands outside the allocation.
  std::vector<uint8_t> bytes(data, data + size);
  install_variable_counts(bytes.data(), bytes.size());
  return 0;
}
