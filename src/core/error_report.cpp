#include "core/error_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "core/engine_state.h"
#include "core/sjis.h"
#include "platform/platform.h"
#include "core/engine_config.h"

error_table_record error_table;
std::optional<script_place> (*current_script_place)() = nullptr;
std::atomic<uint8_t> error_dialog_shown{0};
void (*error_report_listener)(int code, const std::string& text) = nullptr;
void (*message_box_listener)(const std::string& caption, const std::string& text) = nullptr;
std::string error_dialog_title = "ZARVIK Debug Info.";
error_editor_target_record error_editor_target;
void (*error_dialog_cursor_hook)() = nullptr;
std::string error_editor_program;

namespace {

// Cuts a Shift-JIS text to at most `limit` bytes without splitting a character.
void cut_sjis(std::string& s, size_t limit) {
  if (s.size() <= limit) return;
  size_t end = 0;
  for (size_t i = 0; i < s.size();) {
    size_t next = sjis_next(s, i);
    if (next > limit) break;
    end = i = next;
  }
  s.resize(end);
}

// ---------------------------------------------------------------- checked formatter

constexpr int format_number_limit = 4096;  // width or precision; more is a hostile text

bool is_flag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int parse_number(std::string_view f, size_t& i) {
  int v = 0;
  while (i < f.size() && is_digit(f[i])) {
    v = std::min(format_number_limit, v * 10 + (f[i] - '0'));
    ++i;
  }
  return v;
}

// Flags in a fixed order, each once, kept only where the conversion defines them.
std::string flags_for(std::string_view given, char conv) {
  const bool is_signed = conv == 'd' || conv == 'i';
  const bool is_unsigned = conv == 'u' || conv == 'o' || conv == 'x' || conv == 'X' || conv == 'p';
  std::string out;
  for (char f : {'-', '+', ' ', '#', '0'}) {
    bool want = given.find(f) != std::string_view::npos;
    if (f == '#') want = conv == 'p' || (want && !is_signed && conv != 'u');
    if ((f == '+' || f == ' ') && is_unsigned) want = false;
    if (want) out += f;
  }
  return out;
}

void pad_to(std::string& out, std::string_view body, int width, bool left) {
  size_t w = width > 0 ? static_cast<size_t>(width) : 0;
  if (!left && body.size() < w) out.append(w - body.size(), ' ');
  out.append(body);
  if (left && body.size() < w) out.append(w - body.size(), ' ');
}

template <class T>
void append_snprintf(std::string& out, const std::string& spec, T value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, spec.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  out.append(big.data(), static_cast<size_t>(n));
}

}  // namespace

std::string format_checked(std::string_view f, const std::vector<report_arg>& args) {
  std::string out;
  size_t next_arg = 0;
  size_t i = 0;
  while (i < f.size()) {
    if (f[i] != '%') {
      size_t n = sjis_char_length(f, i);
      out.append(f.substr(i, n));
      i += n;
      continue;
    }
    const size_t start = i++;
    if (i < f.size() && f[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    bool ok = true;
    std::string flags;
    while (i < f.size() && is_flag(f[i])) flags += f[i++];
    int width = -1, precision = -1;
    // Arguments are taken in order; each conversion uses up the ones it names
    // even when it prints literally, so the rest stay matched to their places.
    auto take_int = [&](int64_t& v) {
      if (next_arg >= args.size()) return false;
      const report_arg& a = args[next_arg++];
      if (!std::holds_alternative<int64_t>(a)) return false;
      v = std::get<int64_t>(a);
      return true;
    };
    if (i < f.size() && f[i] == '*') {
      ++i;
      int64_t v = 0;
      if (!take_int(v)) {
        ok = false;
      } else {
        if (v < 0) {
          flags += '-';
          v = v < -format_number_limit ? format_number_limit : -v;
        }
        width = static_cast<int>(std::min<int64_t>(v, format_number_limit));
      }
    } else if (i < f.size() && is_digit(f[i])) {
      width = parse_number(f, i);
    }
    if (i < f.size() && f[i] == '.') {
      ++i;
      if (i < f.size() && f[i] == '*') {
        ++i;
        int64_t v = 0;
        if (!take_int(v))
          ok = false;
        else
          precision = v < 0 ? -1 : static_cast<int>(std::min<int64_t>(v, format_number_limit));
      } else {
        precision = parse_number(f, i);
      }
    }
    // Length modifiers: the argument's own type decides, but h and hh narrow
    // unsigned output as the C library would.
    int narrow = 0;  // 0: 32-bit by default, 1: h, 2: hh, 3: 64-bit
    if (f.substr(i, 2) == "hh") {
      narrow = 2, i += 2;
    } else if (f.substr(i, 2) == "ll" || f.substr(i, 3) == "I64") {
      narrow = 3, i += f[i] == 'I' ? 3 : 2;
    } else if (f.substr(i, 3) == "I32") {
      i += 3;
    } else if (i < f.size() && f[i] == 'h') {
      narrow = 1, ++i;
    } else if (i < f.size() && (f[i] == 'j' || f[i] == 'z' || f[i] == 't' || f[i] == 'q')) {
      narrow = 3, ++i;
    } else if (i < f.size() && (f[i] == 'l' || f[i] == 'L' || f[i] == 'I')) {
      ++i;
    }
    if (i >= f.size()) {
      // A lone '%' (or an unfinished specification) at the end is text.
      out.append(f.substr(start));
      break;
    }
    const char conv = f[i];
    if (!std::strchr("diuoxXcsfFeEgGaAp", conv) || conv == '\0') {
      // Not a conversion (this includes %n, which would write memory): the
      // '%' is text, and scanning goes on after it.
      out += '%';
      i = start + 1;
      continue;
    }
    ++i;
    const std::string_view spec_text = f.substr(start, i - start);
    if (!ok || next_arg >= args.size()) {
      if (next_arg < args.size()) ++next_arg;  // a bad '*' argument still uses up this one
      out.append(spec_text);
      continue;
    }
    const report_arg& a = args[next_arg++];
    const bool left = flags.find('-') != std::string::npos;
    // The specification handed to the C library is rebuilt in its one valid
    // order (flags, width, precision, length, conversion), each flag once and
    // only where C defines it: '#' is undefined for d, i and u, '+' and ' '
    // mean nothing for unsigned conversions, and %p prints as %#llx.
    std::string spec = "%" + flags_for(flags, conv);
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) spec += "." + std::to_string(precision);

    switch (conv) {
      case 's': {
        if (!std::holds_alternative<std::string>(a)) {
          out.append(spec_text);
          break;
        }
        std::string s = std::get<std::string>(a);
        if (precision >= 0) cut_sjis(s, static_cast<size_t>(precision));
        pad_to(out, s, width, left);
        break;
      }
      case 'c': {
        if (!std::holds_alternative<int64_t>(a)) {
          out.append(spec_text);
          break;
        }
        char ch = static_cast<char>(std::get<int64_t>(a) & 0xFF);
        pad_to(out, std::string_view(&ch, 1), width, left);
        break;
      }
      case 'd':
      case 'i': {
        if (!std::holds_alternative<int64_t>(a)) {
          out.append(spec_text);
          break;
        }
        int64_t v = std::get<int64_t>(a);
        if (narrow == 1) v = static_cast<int16_t>(v);
        if (narrow == 2) v = static_cast<int8_t>(v);
        append_snprintf(out, spec + "lld", static_cast<long long>(v));
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X':
      case 'p': {
        if (!std::holds_alternative<int64_t>(a)) {
          out.append(spec_text);
          break;
        }
        int64_t v = std::get<int64_t>(a);
        uint64_t u = static_cast<uint64_t>(v);
        if (narrow == 1) u = static_cast<uint16_t>(v);
        else if (narrow == 2) u = static_cast<uint8_t>(v);
        else if (narrow == 0 && v >= INT32_MIN && v <= static_cast<int64_t>(UINT32_MAX)) u = static_cast<uint32_t>(v);
        append_snprintf(out, spec + "ll" + (conv == 'p' ? 'x' : conv), static_cast<unsigned long long>(u));
        break;
      }
      default: {  // floating point
        if (!std::holds_alternative<double>(a)) {
          out.append(spec_text);
          break;
        }
        append_snprintf(out, spec + conv, std::get<double>(a));
        break;
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------- texts

namespace {

const char* const licence_notice_utf8 =
    "【使用ライブラリのライセンス表示】\n"
    "\n"
    "■ Ogg Vorbis\n"
    "Copyright (c) 2002-2008 Xiph.org Foundation\n"
    "BSD 形式のライセンスで配布されています。\n"
    "音声形式 Ogg Vorbis の再生に使用しています。\n"
    "\n"
    "■ libpng\n"
    "Copyright (c) 1998-2008 Glenn Randers-Pehrson\n"
    "Copyright (c) 1996-1997 Andreas Dilger\n"
    "Copyright (c) 1995-1996 Guy Eric Schalnat, Group 42, Inc.\n"
    "PNG 画像の読み書きに使用しています。\n"
    "\n"
    "■ zlib 1.2.3\n"
    "Copyright (C) 1995-2005 Jean-loup Gailly and Mark Adler\n"
    "データの圧縮展開に使用しています。";

const std::map<int, std::string>& builtin_texts() {
  static const std::map<int, std::string> texts = [] {
    const std::pair<int, const char*> utf8[] = {
        {100000, licence_notice_utf8},
        {100010, "メモリ不足です。"},
        {104010, "[%s]ファイルを\n読み込めませんでした。"},
        {104030, "メモリ不足のため[%s]ファイルを\n読み込めませんでした。"},
        {104060, "[%s]ファイルが\n存在しません。"},
        {104100, "パックファイル中に破損ファイルが見つかりました。\n\nPacFile = %s\nFile = %s"},
        {104110, "フォルダの数が多すぎます。"},
        {104111, "フォルダの階層が深すぎます。"},
        {104120, "パックファイル仕様が現在の仕様と一致しません。\n\n[%s]"},
        {104130, "パックファイルを同時に扱えるのは %d 個までです。"},
        {104140, "パックファイル内に含まれるファイルが、合計 %d 個を超えました。"},
        {104150, "パックファイル内のファイル\n[%s]が\n重複しています。"},
        {106010, "メモリ不足により\n[%s]ファイルを展開出来ませんでした。"},
        {900040, "[内部エラー]\n\nバッファ不足により\n[%s]ファイルを展開出来ませんでした。"},
        {901040, "[内部エラー]\n\nパックファイル[%s]が\nオープンできませんでした。"},
    };
    std::map<int, std::string> m;
    for (const auto& [code, text] : utf8) m.emplace(code, utf8_to_sjis(text));
    return m;
  }();
  return texts;
}

const std::string& fallback_text() {
  static const std::string t =
      utf8_to_sjis("[内部エラー]\n\nエラー文字列の指定ミスです。\nシステム開発者までお問い合わせください。");
  return t;
}

}  // namespace

std::string error_text_for_code(int code) {
  const auto& builtin = builtin_texts();
  if (auto it = builtin.find(code); it != builtin.end()) return it->second;
  size_t n = std::min(error_table.codes.size(), error_table.texts.size());
  for (size_t k = 0; k < n; ++k)
    if (error_table.codes[k] == code) return error_table.texts[k];
  return fallback_text();
}

std::string format_error_with_place(std::string_view text) {
  error_editor_target = {};
  std::optional<script_place> place;
  if (current_script_place) place = current_script_place();
  if (!place) return std::string(text);
  static const std::string prefix = utf8_to_sjis("[対象ファイル]\n%s\n\n[場所]\n%d 行目\n\n[内容]\n\n");
  std::string out = format_checked(prefix, {place->file_name, static_cast<int64_t>(place->line)});
  out.append(text);
  error_editor_target.source_file = place->file_name;
  error_editor_target.line = place->line;
  return out;
}

// ---------------------------------------------------------------- the dialog

namespace {

struct deferred_dialog {
  bool is_error_dialog = false;
  std::string caption, text;
};
thread_local bool dialogs_deferred = false;
thread_local std::vector<deferred_dialog> deferred_dialogs;

void present_error_dialog(const std::string& shown);
void present_message_box(const std::string& caption, const std::string& text);

}  // namespace

void defer_dialogs_on_this_thread(bool on) { dialogs_deferred = on; }

void show_deferred_dialogs() {
  std::vector<deferred_dialog> due;
  due.swap(deferred_dialogs);
  for (const deferred_dialog& d : due) {
    if (d.is_error_dialog)
      present_error_dialog(d.text);
    else
      present_message_box(d.caption, d.text);
  }
}

void show_error_dialog(const std::string& text) {
  if (error_dialog_shown.exchange(1) != 0) return;
  std::string shown = text;
  cut_sjis(shown, error_message_max);
  if (dialogs_deferred) {
    deferred_dialogs.push_back({true, std::string(), std::move(shown)});
    return;
  }
  present_error_dialog(shown);
}

namespace {

void present_error_dialog(const std::string& shown) {
  if (error_dialog_cursor_hook) error_dialog_cursor_hook();
  if (!platform_installed() || !platform().ui) {
    std::fprintf(stderr, "%s\n%s\n", sjis_to_utf8(error_dialog_title).c_str(), sjis_to_utf8(shown).c_str());
    return;
  }
  // The Edit button exists only with the debug switch, and is usable only when
  // a source file is known; the dialog stays open while the editor starts.
  const bool offer_edit = engine_config.debug_switch == 1 && !error_editor_target.source_file.empty();
  while (platform().ui->error_dialog(error_dialog_title, shown, offer_edit) == 1 && offer_edit) launch_error_editor();
}

void present_message_box(const std::string& caption, const std::string& text) {
  if (!platform_installed() || !platform().ui) {
    std::fprintf(stderr, "%s: %s\n", sjis_to_utf8(caption).c_str(), sjis_to_utf8(text).c_str());
    return;
  }
  platform().ui->message_box(caption, text, mb_system_modal);
}

}  // namespace

namespace {
void report(int code, int quit, bool with_place, const std::vector<report_arg>* args) {
  std::string text = error_text_for_code(code);
  if (args) text = format_checked(text, *args);
  if (with_place) text = format_error_with_place(text);
  quit_flag = static_cast<uint8_t>(quit != 0);
  // The licence notice is shown through a report but is no failure.
  quit_by_error = static_cast<uint8_t>(quit != 0 && code != 100000);
  if (error_report_listener) error_report_listener(code, text);
  show_error_dialog(text);
}
}  // namespace

void report_error(int code, int quit) { report(code, quit, false, nullptr); }
void report_error_at_line(int code, int quit) { report(code, quit, true, nullptr); }
void report_error_fmt_args(int code, int quit, const std::vector<report_arg>& args) { report(code, quit, false, &args); }
void report_error_at_line_fmt_args(int code, int quit, const std::vector<report_arg>& args) {
  report(code, quit, true, &args);
}

void show_message_box_args(std::string_view caption, std::string_view format, const std::vector<report_arg>& args) {
  std::string text = format_checked(format, args);
  cut_sjis(text, 1023);
  if (message_box_listener) message_box_listener(std::string(caption), text);
  if (dialogs_deferred) {
    deferred_dialogs.push_back({false, std::string(caption), std::move(text)});
    return;
  }
  present_message_box(std::string(caption), text);
}

// ---------------------------------------------------------------- external editors

namespace {

struct editor_row {
  const char* program;
  const char* format;
  const char* order;  // per conversion: q quote, p path, l line
};

// The editors known to the original player, then the usual ones of this
// platform. Any other program gets the path alone.
const editor_row editor_rows[] = {
    {"apsaly.exe", " /j%d %s", "lp"},
    {"EmEditor.exe", " %c%s%c /l %d", "qpql"},
    {"Ginnie.exe", " %c%s%c /r%d", "qpql"},
    {"GinnieFE.exe", " %c%s%c /r%d", "qpql"},
    {"Jcref.exe", " %c%s%c /r%d", "qpql"},
    {"JmEdit2.exe", " %c%s%c/%d", "qpql"},
    {"K2Editor.exe", " %s /j%d", "pl"},
    {"MIW.exe", " %c%s+%d%c", "qplq"},
    {"oseditor2.exe", " /j%d %s", "lp"},
    {"otbedit.exe", " %s /r%d", "pl"},
    {"QXW32.exe", " -J%d %c%s%c", "lqpq"},
    {"tepa.exe", " /j%d %c%s%c", "lqpq"},
    {"TeraPad.exe", " /jl=%d %s", "lp"},
    {"whinny.exe", " %c%s/%d%c", "qplq"},
    {"WZEDITOR.exe", " %s /j%d", "pl"},
    {"sakura.exe", " %c%s%c -Y=%d", "qpql"},
    {"hidemaru.exe", " /j%d %c%s%c", "lqpq"},
    {"gedit", " +%d %s", "lp"},
    {"vim", " +%d %s", "lp"},
    {"gvim", " +%d %s", "lp"},
    {"nvim", " +%d %s", "lp"},
    {"emacs", " +%d %s", "lp"},
    {"kate", " -l %d %s", "lp"},
    {"code", " -g %s:%d", "pl"},
};
const editor_row any_other_editor = {"", " %s", "p"};

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// File name after the last '\' or '/' (a trail byte is no separator).
std::string_view program_file_name(std::string_view program) {
  size_t begin = 0;
  for (size_t i = 0; i < program.size(); i = sjis_next(program, i))
    if (program[i] == '\\' || program[i] == '/') begin = i + 1;
  return program.substr(begin);
}

const editor_row& editor_row_for(std::string_view program) {
  std::string_view name = program_file_name(program);
  for (const editor_row& r : editor_rows) {
    std::string_view p = r.program;
    if (equal_nocase(name, p)) return r;
    if (p.size() > 4 && equal_nocase(p.substr(p.size() - 4), ".exe") && equal_nocase(name, p.substr(0, p.size() - 4)))
      return r;
  }
  return any_other_editor;
}

std::vector<report_arg> editor_args(const char* order, std::string_view path, int line, bool with_quotes) {
  std::vector<report_arg> args;
  for (const char* o = order; *o; ++o) {
    if (*o == 'q') {
      if (with_quotes) args.emplace_back(int64_t{'"'});
    } else if (*o == 'p') {
      args.emplace_back(std::string(path));
    } else {
      args.emplace_back(int64_t{line});
    }
  }
  return args;
}

std::vector<std::string> split_blanks(std::string_view s) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    size_t b = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > b) words.emplace_back(s.substr(b, i - b));
  }
  return words;
}

}  // namespace

std::string editor_parameter_text(std::string_view program, std::string_view path, int line) {
  const editor_row& r = editor_row_for(program);
  return format_checked(r.format, editor_args(r.order, path, line, true));
}

std::vector<std::string> editor_arguments(std::string_view program, std::string_view path, int line) {
  const editor_row& r = editor_row_for(program);
  // Split the table's format (not the finished text) at its blanks, so blanks
  // inside the path never split it; the quote characters only served the
  // command line and are dropped.
  std::string format;
  for (const char* p = r.format; *p; ++p) {
    if (p[0] == '%' && p[1] == 'c') {
      ++p;
      continue;
    }
    format += *p;
  }
  std::vector<report_arg> args = editor_args(r.order, path, line, false);
  std::vector<std::string> out;
  size_t next = 0;
  for (const std::string& token : split_blanks(format)) {
    size_t conversions = static_cast<size_t>(std::count(token.begin(), token.end(), '%'));
    std::vector<report_arg> mine(args.begin() + static_cast<std::ptrdiff_t>(std::min(next, args.size())),
                                 args.begin() + static_cast<std::ptrdiff_t>(std::min(next + conversions, args.size())));
    next += conversions;
    out.push_back(format_checked(token, mine));
  }
  return out;
}

int launch_error_editor() {
  if (error_editor_target.source_file.empty()) return -1;
  std::string command = error_editor_program;
  if (command.empty()) {
    const char* env = std::getenv("ZARVIK_EDITOR");
    if (!env || !*env) env = std::getenv("VISUAL");
    if (env) command = env;
  }
  std::vector<std::string> argv = split_blanks(command);
  if (argv.empty() || !platform_installed() || !platform().process) return -1;
  std::string path = platform().files ? platform().files->host_path(error_editor_target.source_file)
                                      : sjis_to_utf8(error_editor_target.source_file);
  for (std::string& a : editor_arguments(argv.front(), path, error_editor_target.line)) argv.push_back(std::move(a));
  // A failed launch is silent, like the original.
  return platform().process->spawn(argv) ? 0 : -1;
}

const std::string& cg_too_large_text() {
  static const std::string text = utf8_to_sjis("ＣＧサイズが大きすぎます。X=%d, Y=%d");
  return text;
}

const std::string& cg_memory_error_text() {
  static const std::string text = utf8_to_sjis("メモリ確保エラーです。[%s](%d, %d)");
  return text;
}
