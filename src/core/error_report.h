// Numbered error reports. A report looks the code's text up, optionally prefixes
// the running script's place, shows the error dialog once per run and stores its
// quit argument into quit_flag.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// One argument of a formatted report. Texts from the game's error table are used
// as formats, so arguments are typed and checked instead of passed as varargs.
using report_arg = std::variant<int64_t, double, std::string>;

// The game's error texts (kxbin\kxe.kbn), filled by the compiled-file loader.
// Parallel arrays: the first equal code gives its text.
struct error_table_record {
  std::vector<int32_t> codes;
  std::vector<std::string> texts;  // Shift-JIS
};
extern error_table_record error_table;

void report_error(int code, int quit);
void report_error_at_line(int code, int quit);
void report_error_fmt_args(int code, int quit, const std::vector<report_arg>& args);
void report_error_at_line_fmt_args(int code, int quit, const std::vector<report_arg>& args);

namespace error_report_detail {
inline report_arg to_report_arg(const std::string& v) { return v; }
inline report_arg to_report_arg(std::string_view v) { return std::string(v); }
inline report_arg to_report_arg(const char* v) { return std::string(v ? v : ""); }
inline report_arg to_report_arg(double v) { return v; }
inline report_arg to_report_arg(float v) { return static_cast<double>(v); }
template <class T>
inline report_arg to_report_arg(T v) requires std::is_integral_v<T> { return static_cast<int64_t>(v); }
}  // namespace error_report_detail

template <class... A>
void report_error_fmt(int code, int quit, const A&... args) {
  report_error_fmt_args(code, quit, {error_report_detail::to_report_arg(args)...});
}
template <class... A>
void report_error_at_line_fmt(int code, int quit, const A&... args) {
  report_error_at_line_fmt_args(code, quit, {error_report_detail::to_report_arg(args)...});
}

// Formats a printf-style Shift-JIS text with typed arguments. A conversion with
// no matching argument (or of the wrong kind) is printed literally.
std::string format_checked(std::string_view format, const std::vector<report_arg>& args);

// Message box for start-up and device messages (system modal, no owner).
template <class... A>
void show_message_box(std::string_view caption, std::string_view format, const A&... args);
void show_message_box_args(std::string_view caption, std::string_view format, const std::vector<report_arg>& args);
template <class... A>
void show_message_box(std::string_view caption, std::string_view format, const A&... args) {
  show_message_box_args(caption, format, {error_report_detail::to_report_arg(args)...});
}
