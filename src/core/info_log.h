// The diagnostic log info.txt in the game folder (Shift-JIS, LF line ends).
#pragma once
#include "core/error_report.h"

// Appends one entry when the tag is null, empty, "ERR" or "ACT"; other tags are
// dropped. The first entry of a run is preceded by the dated header.
void write_info_log_args(const char* tag, std::string_view format, const std::vector<report_arg>& args);

template <class... A>
void write_info_log(const char* tag, std::string_view format, const A&... args) {
  write_info_log_args(tag, format, {error_report_detail::to_report_arg(args)...});
}
