#include "core/window_state.h"

#include <exception>

#include "core/error_report.h"
#include "core/info_log.h"

window_states_record window_states;
screen_state_record screen_state;
frame_handover frame_handovers[game_window_count];
frame_buffer_record cpu_frame_buffer;

int apply_frame_buffer_rule(std::vector<uint8_t>& buffer, int width, int height) {
  if (width > 8192) {
    show_message_box("", cg_too_large_text(), width, height);
    report_error(100010, 1);
    return -1;
  }
  // Sizes in 64 bits: w*4*h overflows 32 bits long before memory runs out.
  int64_t bytes = width > 0 && height > 0
                      ? int64_t{width} * 4 + int64_t{width} * 4 * int64_t{height} + 4
                      : 0;
  bool ok = bytes > 0;
  if (ok) {
    try {
      buffer.resize(static_cast<size_t>(bytes));  // keeps the old block if it throws
    } catch (const std::exception&) {
      ok = false;
    }
  }
  if (!ok) {
    write_info_log("", cg_memory_error_text(), "", width, height);
    report_error_fmt(104030, 1, std::string());
    return -1;
  }
  return 0;
}
