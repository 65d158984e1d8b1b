// Numbered error reports. A report looks the code's text up, optionally prefixes
// the running script's place, shows the error dialog once per run and stores its
// quit argument into quit_flag.
#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
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

// ---------------------------------------------------------------- texts and the dialog

// The text of a code: the fifteen built-in texts first (they work before the
// game's table is loaded), then the table, then the fallback text. Shift-JIS.
std::string error_text_for_code(int code);

// Where the running script is: its source file (as the compiled file names it)
// and the source line of the current instruction.
struct script_place {
  std::string file_name;  // Shift-JIS, relative to the game folder
  int line = 1;
};
// Set by the script scheduler; returns nothing while no task runs.
extern std::optional<script_place> (*current_script_place)();

// Called with every report's code and final text before the dialog step, also
// for reports that show no dialog; the headless harness and tests listen here.
extern void (*error_report_listener)(int code, const std::string& text);
// Called with every message box's caption and text (Shift-JIS) before it is shown.
extern void (*message_box_listener)(const std::string& caption, const std::string& text);

// The place prefix of the at-line reports: resets the editor target, and when a
// task runs prefixes the text with its file and line and targets them.
std::string format_error_with_place(std::string_view text);

// Shows the error dialog once per run; later calls return at once.
void show_error_dialog(const std::string& text);

// A thread that holds the engine lock for a whole cycle of work (the sound
// thread) never shows a dialog inside it: with deferring on, the error dialog
// and message boxes raised on this thread are kept (the once-per-run rule and
// quit already applied) and shown by show_deferred_dialogs once the lock has
// been left. Thread-local.
void defer_dialogs_on_this_thread(bool on);
void show_deferred_dialogs();

// Dialog state. The title starts as "ZARVIK Debug Info."; start-up sets
// "License Information" for "/info".
extern std::atomic<uint8_t> error_dialog_shown;
extern std::string error_dialog_title;
// The dialog's text is cut to this many bytes (never inside a character).
constexpr size_t error_message_max = 8191;

struct error_editor_target_record {
  std::string source_file;  // empty: none known
  int line = 1;
};
extern error_editor_target_record error_editor_target;

// Made visible before the dialog (the cursor service sets it).
extern void (*error_dialog_cursor_hook)();

// ---------------------------------------------------------------- external editors

// The editor the Edit button starts: a host command (program and optional
// leading arguments, split at blanks). Empty: $ZARVIK_EDITOR, else $VISUAL; with
// none of them the button does nothing.
extern std::string error_editor_program;

// The open-at-line parameter text of the editor table for a program file name
// (compared case-insensitively, with or without ".exe"), e.g. for "sakura.exe":
// ` "path" -Y=line`.
std::string editor_parameter_text(std::string_view program_file_name, std::string_view path, int line);
// The same as argv entries after the program: the table's text split at its
// own blanks, quotes dropped, so a path with blanks stays one argument.
std::vector<std::string> editor_arguments(std::string_view program_file_name, std::string_view path, int line);
// Starts the editor on the editor target through Process::spawn (never a
// shell). 0 when started, -1 when there is no editor, target or process service.
int launch_error_editor();

// The two texts every picture allocation reports: the message box of a width
// above 8192 (then 100010) and the info-log line of a failed allocation (then
// 104030). Shift-JIS, converted once.
const std::string& cg_too_large_text();     // "ＣＧサイズが大きすぎます。X=%d, Y=%d"
const std::string& cg_memory_error_text();  // "メモリ確保エラーです。[%s](%d, %d)"
