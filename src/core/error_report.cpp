// Placeholder until the error dialog lands: reports go to stderr and set quit.
#include "core/error_report.h"

#include <cstdio>

#include "core/engine_state.h"

error_table_record error_table;

std::string format_checked(std::string_view format, const std::vector<report_arg>&) { return std::string(format); }

void report_error(int code, int quit) {
  std::fprintf(stderr, "error %d\n", code);
  quit_flag = static_cast<uint8_t>(quit);
}
void report_error_at_line(int code, int quit) { report_error(code, quit); }
void report_error_fmt_args(int code, int quit, const std::vector<report_arg>&) { report_error(code, quit); }
void report_error_at_line_fmt_args(int code, int quit, const std::vector<report_arg>&) { report_error(code, quit); }
void show_message_box_args(std::string_view caption, std::string_view format, const std::vector<report_arg>& args) {
  std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(caption.size()), caption.data(), format_checked(format, args).c_str());
}
