// Arbitrary text resources for the field scanner (command 7) and the field
// counter (command 8): never read past the text, and the two agree on the
// fields they both see. Also the clipboard filter of command 6.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "system/csv_text.h"
#include "system/text_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so reading one byte past the text is caught.
  std::vector<uint8_t> text(data, data + size);
  const uint8_t* p = size ? text.data() : nullptr;
  std::vector<std::string> fields = scan_text_fields(p, size);
  size_t bytes = 0;
  for (const std::string& f : fields) bytes += f.size();
  // Fields are pieces of the text (the appended line end adds at most 2).
  if (bytes > size + 2) std::abort();
  if (count_csv_fields(p, size) < 0) std::abort();
  std::string clip = clipboard_text_for_script(std::string(text.begin(), text.end()));
  if (clip.size() > 1024) std::abort();
  return 0;
}
