// The script debug log: debuglog.txt in the game folder, started afresh by the
// first line of each run under a dated header, with a warning before every
// line once it has grown past 10 MB.
#pragma once
#include <cstdint>
#include <string_view>

struct debug_log_record {
  uint8_t first_line = 1;  // set at program start, cleared by the first append
};
extern debug_log_record debug_log;

constexpr uint64_t debug_log_warning_size = 10485760;  // more than 10,485,759 bytes

// Appends one line (the text's bytes unchanged, then "\n"). Nothing happens
// when the file cannot be written.
void append_debug_log(std::string_view text);
void delete_debug_log();
// The game path of the log.
const char* debug_log_path();
