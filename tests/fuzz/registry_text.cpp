// The registry store's file: any bytes parse without reading past them, and
// what parses writes out and parses again to the same keys and values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "system/registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const registry_image first = parse_registry_text(bytes);
  const registry_image second = parse_registry_text(format_registry_text(first));
  if (second.size() != first.size()) std::abort();
  for (const auto& [key, entry] : first) {
    auto it = second.find(key);
    if (it == second.end() || it->second.values != entry.values) std::abort();
  }
  return 0;
}
