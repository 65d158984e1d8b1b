// Error texts come from the game's kxe.kbn and are used as formats: any text
// with any typed arguments must format without reading past its arguments.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: argument kinds, two bits each for up to four arguments
  // (0 none, 1 integer, 2 real, 3 text); the rest is the format.
  std::vector<report_arg> args;
  for (int i = 0; i < 4; ++i) {
    switch ((data[0] >> (2 * i)) & 3) {
      case 1: args.emplace_back(int64_t{-1234567890123} * (i + 1)); break;
      case 2: args.emplace_back(1.5e300 / (i + 1)); break;
      case 3: args.emplace_back(std::string("\x82\xA0%s%n", 6)); break;
      default: break;
    }
  }
  std::string format(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string out = format_checked(format, args);
  // Each byte of the format yields a bounded amount of output.
  if (out.size() > (format.size() + 1) * 8192) __builtin_trap();
  return 0;
}
