// Window shapes come from game pictures, and fake displays from kxtool's
// command line: every run must lie inside the picture, one row high, never
// more than the limit, and a display that parses must have a size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/window_commands.h"
#include "platform/headless/headless_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int width = 1 + data[0] % 64;
  const size_t pixels = (size - 2) / 4;
  const int height = static_cast<int>(pixels / static_cast<size_t>(width));
  if (height > 0) {
    std::vector<ui_rect> rects;
    const int rc = region_from_bitmap(data + 2, width, height, static_cast<size_t>(width) * 4, rects);
    if (rc != 0 && !rects.empty()) std::abort();
    if (rects.size() >= static_cast<size_t>(window_shape_run_limit)) std::abort();
    for (const ui_rect& r : rects)
      if (r.x < 0 || r.width < 1 || r.x + r.width > width || r.y < 0 || r.y >= height || r.height != 1) std::abort();
  }
  headless_display d;
  if (parse_headless_display(std::string(reinterpret_cast<const char*>(data), size), d)) {
    if (d.info.bounds.width <= 0 || d.info.bounds.height <= 0 || d.modes.empty()) std::abort();
    for (const ui_display_mode& m : d.modes)
      if (m.width <= 0 || m.height <= 0) std::abort();
  }
  return 0;
}
