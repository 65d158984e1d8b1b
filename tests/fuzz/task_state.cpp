// Task-state texts arrive from save data: parsing any bytes must stay within
// the text and the 63-frame stacks, and a parsed state must write back to the
// same characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "script/task_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  task_state_image image;
  const int read = parse_task_state(text, image);
  if (read < 0) return 0;
  if (static_cast<size_t>(read) > size || image.blocks.size() > task_state_max_depth ||
      image.calls.size() > task_state_max_depth || image.loops.size() > task_state_max_depth)
    std::abort();
  std::string again;
  write_task_state(image, again);
  // Names longer than the read limit come back cut, so compare what was read.
  if (image.name.size() < task_state_name_max && again != text.substr(0, static_cast<size_t>(read))) std::abort();
  return 0;
}
