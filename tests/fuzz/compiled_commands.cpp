// The command-file loader over arbitrary bytes, then the checked lookups.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "resources/command_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (install_command_file(bytes.data(), bytes.size()) != 0) return 0;
  for (unsigned c = 0; c < 256; c += 7) {
    command_handler_for(c);
    for (unsigned p = 0; p < 256; p += 13) command_parameter(c, p);
  }
  return 0;
}
