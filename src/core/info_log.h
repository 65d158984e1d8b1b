// The diagnostic log info.txt in the game folder (Shift-JIS, LF line ends).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/error_report.h"
#include "platform/platform.h"

// The run header is written before the first entry of a run.
struct info_log_state_record {
  uint8_t header_due = 1;
};
extern info_log_state_record info_log_state;

// Longer entries are cut to this many bytes.
constexpr size_t info_log_entry_limit = 4096;

// Appends one entry when the tag is null, empty, "ERR" or "ACT"; other tags are
// dropped. The first entry of a run is preceded by the dated header.
void write_info_log_args(const char* tag, std::string_view format, const std::vector<report_arg>& args);

// Told of every entry written (with its tag), when set; kxtool run prints
// the error entries. Called under engine_lock.
extern void (*info_log_listener)(const char* tag, const std::string& entry);

template <class... A>
void write_info_log(const char* tag, std::string_view format, const A&... args) {
  write_info_log_args(tag, format, {error_report_detail::to_report_arg(args)...});
}

// The three header lines for a local time: dashes, "//■yy/mm/dd time=hh:mm:ss", dashes.
std::string info_log_header(const local_time& t);
