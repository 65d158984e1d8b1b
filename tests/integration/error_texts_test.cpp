// Every error code the engine can report has a text in a game made with the
// listing assembler's defaults (or among the player's built-in texts), so no
// report falls back to the "wrong error text" message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/error_report.h"
#include "core/sjis.h"
#include "format/script_assembler.h"
#include "platform/text_encoding.h"
#include "support/headless_game.h"

namespace {

// Six-digit numbers of the error areas anywhere in the engine's sources (the
// assembler's own table of defaults aside).
std::set<int> codes_in_engine_source() {
  namespace fs = std::filesystem;
  std::set<int> codes;
  const std::regex code(R"(\b(10[0-9]{4}|110[0-9]{3}|160[0-9]{3}|90[01][0-9]{3})\b)");
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(ZARVIK_SOURCE_DIR) / "src")) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".cpp" && ext != ".h" && ext != ".inc") continue;
    if (entry.path().filename() == "script_assembler.cpp") continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    for (std::sregex_iterator it(s.begin(), s.end(), code), end; it != end; ++it) codes.insert(std::stoi((*it)[1]));
  }
  return codes;
}

}  // namespace

TEST(ErrorTexts, EveryCodeTheEngineReportsHasATextInADefaultGame) {
  const std::set<int> codes = codes_in_engine_source();
  ASSERT_GT(codes.size(), 60u);
  headless_game game("script main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(game.start(), 0);
  const std::string fallback = error_text_for_code(999999);
  ASSERT_NE(fallback.find(utf8_to_sjis("エラー文字列の指定ミスです")), std::string::npos);
  for (int c : codes) {
    const std::string text = error_text_for_code(c);
    EXPECT_NE(text, fallback) << c;
    EXPECT_FALSE(text.empty()) << c;
  }
  // The error table holds at most 256 texts: the defaults leave room for the
  // listing's own.
  EXPECT_LT(default_listing_error_texts().size(), 200u);
}

TEST(ErrorTexts, ListingErrorLinesOverrideTheDefaults) {
  headless_game game("error 101280 \"own text\"\nscript main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(game.start(), 0);
  EXPECT_EQ(error_text_for_code(101280), "own text");
  EXPECT_EQ(error_text_for_code(100310), "The layer [%s] (%d x %d) and its mask layer [%s] (%d x %d) differ in size.");
}

// ---------------------------------------------------------------- callers against texts
//
// Every report call in the engine's sources, with its code and arguments,
// against the text a default game shows for that code: the number of
// conversions must equal the number of arguments and each conversion must
// take the kind passed (%s a text, %d and its kin an integer, %f and its kin a
// real). A report without _fmt passes nothing, so its text must have no
// conversion. The kind of an argument is read from the source: literals and
// casts directly, names from their nearest declaration above the call in the
// same file, members and functions from their declarations anywhere in src/.

namespace {

namespace fs = std::filesystem;

struct source_file {
  std::string path;  // relative to the source folder
  std::string text;  // comments blanked, line breaks kept
};

// Comments become blanks (line breaks stay, so offsets keep their lines);
// string and character literals are kept whole.
std::string blank_comments(const std::string& s) {
  std::string out = s;
  for (size_t i = 0; i < out.size();) {
    const char c = out[i];
    if (c == '"' || c == '\'') {
      if (c == '"' && i > 0 && out[i - 1] == 'R') {  // raw literal R"(...)"
        const size_t open = out.find('(', i);
        const std::string close = ")" + out.substr(i + 1, open - i - 1) + "\"";
        const size_t end = out.find(close, open);
        i = end == std::string::npos ? out.size() : end + close.size();
        continue;
      }
      for (++i; i < out.size() && out[i] != c; ++i)
        if (out[i] == '\\') ++i;
      ++i;
    } else if (out.compare(i, 2, "//") == 0) {
      while (i < out.size() && out[i] != '\n') out[i++] = ' ';
    } else if (out.compare(i, 2, "/*") == 0) {
      const size_t end = std::min(out.find("*/", i + 2), out.size() - 2) + 2;
      for (; i < end; ++i)
        if (out[i] != '\n') out[i] = ' ';
    } else {
      ++i;
    }
  }
  return out;
}

const std::vector<source_file>& engine_sources() {
  static const std::vector<source_file> files = [] {
    std::vector<source_file> out;
    const fs::path root = fs::path(ZARVIK_SOURCE_DIR);
    for (const auto& entry : fs::recursive_directory_iterator(root / "src")) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h" && ext != ".inc") continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      out.push_back({fs::relative(entry.path(), root).generic_string(), blank_comments(text.str())});
    }
    std::sort(out.begin(), out.end(), [](const source_file& a, const source_file& b) { return a.path < b.path; });
    return out;
  }();
  return files;
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

// The text from `open` (just after '(') to its matching ')', split at the
// commas of its own level. npos-free: a call cut off by the file's end gives
// what there is.
std::vector<std::string> split_arguments(const std::string& s, size_t open, size_t& end) {
  std::vector<std::string> args;
  int depth = 0;
  size_t start = open, i = open;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"' || c == '\'') {
      for (++i; i < s.size() && s[i] != c; ++i)
        if (s[i] == '\\') ++i;
    } else if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
      --depth;
    } else if (c == ')' || (c == ',' && depth == 0)) {
      args.push_back(trimmed(std::string_view(s).substr(start, i - start)));
      start = i + 1;
      if (c == ')') break;
    }
  }
  end = i;
  return args;
}

enum class kind { text, integer, real, unknown };

char kind_letter(kind k) { return k == kind::text ? 's' : k == kind::integer ? 'd' : k == kind::real ? 'f' : '?'; }

// The kind a value of a declared type passes; a char array or pointer is a
// text, a container's element is its first template argument.
kind kind_of_type(std::string type, const std::string& template_args, bool pointer, bool array) {
  if (type.rfind("std::", 0) == 0) type = type.substr(5);
  if (type == "vector" || type == "array" || type == "deque") {
    const std::string element = template_args.substr(0, template_args.find(','));
    const bool element_pointer = element.find('*') != std::string::npos;
    std::string name = trimmed(element.substr(0, element.find_first_of("*&")));
    if (name.rfind("const ", 0) == 0) name = trimmed(name.substr(6));
    return kind_of_type(name, "", element_pointer, false);
  }
  if (type.find("string") != std::string::npos) return kind::text;
  if (type == "char") return pointer || array ? kind::text : kind::integer;
  if (pointer || array) return kind::unknown;
  static const std::regex integral(R"((u?int(8|16|32|64)?_t|int|unsigned|long|short|size_t|bool))");
  if (std::regex_match(type, integral)) return kind::integer;
  if (type == "double" || type == "float") return kind::real;
  return kind::unknown;
}

// Declarations of `name` in `text`: "TYPE NAME" (also "TYPE a = 1, NAME")
// followed by what may follow a declared name (as a variable or member:
// ; = , ) [ {; as a function: '('). The kind of the last one before `limit`;
// `seen` collects the kinds of them all (bit per kind).
kind declared_kind(const std::string& text, const std::string& name, size_t limit, bool function, unsigned* seen = nullptr) {
  static const std::regex type_before(
      R"((?:^|[\s(,;{])(?:(?:const|static|constexpr|inline|extern|thread_local)\s+)*((?:std::)?[A-Za-z_]\w*)\s*)"
      R"((?:<([^;()]*)>)?\s*(?:const\s*)?([&*]*)\s+(?:[A-Za-z_]\w*\s*(?:=\s*[^,;(){}]*)?,\s*)*$)");
  auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  kind found = kind::unknown;
  for (size_t pos = text.find(name); pos < std::min(limit, text.size()); pos = text.find(name, pos + 1)) {
    const size_t after_name = pos + name.size();
    if ((pos > 0 && word(text[pos - 1])) || (after_name < text.size() && word(text[after_name]))) continue;
    size_t next = after_name;
    while (next < text.size() && (text[next] == ' ' || text[next] == '\n')) ++next;
    const char c = next < text.size() ? text[next] : ';';
    if (function ? c != '(' : !std::strchr(";=,)[{", c)) continue;
    const size_t from = pos > 120 ? pos - 120 : 0;
    // The declarator may hug its pointer or reference mark: "char* NAME".
    std::string before = text.substr(from, pos - from);
    if (!before.empty() && (before.back() == '*' || before.back() == '&')) before += ' ';
    std::smatch m;
    if (!std::regex_search(before, m, type_before)) continue;
    const std::string type = m[1];
    if (type == "return" || type == "else" || type == "case" || type == "new" || type == "delete") continue;
    const kind k = kind_of_type(type, m[2], std::string(m[3]).find('*') != std::string::npos, c == '[' && !function);
    if (k == kind::unknown) continue;
    found = k;
    if (seen) *seen |= 1u << static_cast<unsigned>(k);
  }
  return found;
}

// A member or function's kind from its declarations in the file of the call
// or, when there are none, anywhere in src/; unknown when they disagree.
kind declared_for_member(const source_file& file, const std::string& name, bool function) {
  auto single = [](unsigned seen) {
    for (kind k : {kind::text, kind::integer, kind::real})
      if (seen == 1u << static_cast<unsigned>(k)) return k;
    return kind::unknown;
  };
  unsigned here = 0;
  declared_kind(file.text, name, file.text.size(), function, &here);
  if (here) return single(here);
  static std::map<std::pair<std::string, bool>, unsigned> everywhere;
  auto it = everywhere.find({name, function});
  if (it == everywhere.end()) {
    unsigned seen = 0;
    for (const source_file& f : engine_sources()) declared_kind(f.text, name, f.text.size(), function, &seen);
    it = everywhere.emplace(std::make_pair(name, function), seen).first;
  }
  return single(it->second);
}

// The kind of one argument expression of a call at `at` in `file`.
kind argument_kind(std::string e, const source_file& file, size_t at) {
  e = trimmed(e);
  if (e.empty()) return kind::unknown;
  if (e.front() == '"' || e.rfind("std::string", 0) == 0) return kind::text;
  static const std::regex cast(R"(static_cast<\s*([\w:]+)\s*>.*)");
  static const std::regex braced(R"(((?:std::)?u?int\d+_t|size_t|int)\s*\{.*)");
  static const std::regex number(R"(-?[0-9][0-9a-fA-FxX']*[uUlL]*)");
  static const std::regex real_number(R"(-?[0-9]+\.[0-9]*(e-?[0-9]+)?f?)");
  std::smatch m;
  if (std::regex_match(e, m, cast)) return kind_of_type(m[1], "", false, false);
  if (std::regex_match(e, braced) || std::regex_match(e, number)) return kind::integer;
  if (std::regex_match(e, real_number)) return kind::real;
  // A choice: the kind of its first branch. Arithmetic: of its first operand.
  int depth = 0;
  for (size_t i = 0; i < e.size(); ++i) {
    const char c = e[i];
    if (c == '(' || c == '[' || c == '{') ++depth;
    if (c == ')' || c == ']' || c == '}') --depth;
    if (depth) continue;
    if (c == '?') {
      const size_t colon = e.find(':', i);
      return argument_kind(e.substr(i + 1, colon - i - 1), file, at);
    }
    if ((c == '+' || c == '-' || c == '*' || c == '/') && i > 0 && e[i - 1] == ' ' && e[i + 1] == ' ')
      return argument_kind(e.substr(0, i), file, at);
  }
  if (e.size() > 7 && e.compare(e.size() - 7, 7, ".size()") == 0) return kind::integer;
  // NAME, NAME(...), a.b, a->b(...), a[i]...: the last name decides, a
  // function by its return type.
  static const std::regex tail(R"(([A-Za-z_]\w*)\s*(\((?:[^()]|\([^()]*\))*\))?\s*(\[[^\]]*\])*$)");
  if (!std::regex_search(e, m, tail)) return kind::unknown;
  const std::string name = m[1];
  const bool function = m[2].matched;
  const bool member = m.position(0) > 0;
  if (!member) {
    const kind k = declared_kind(file.text, name, at, function);
    if (k != kind::unknown) return k;
  }
  return declared_for_member(file, name, function);
}

// The conversions of a printf-style text, in order; '*' widths take integers.
std::string conversions_of(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size()) {
      ++i;  // double-byte character (the texts are Shift-JIS)
      continue;
    }
    if (text[i] != '%') continue;
    if (++i < text.size() && text[i] == '%') continue;
    while (i < text.size() && std::strchr("-+ #0123456789.*hlLqjztI", text[i])) {
      if (text[i] == '*') out += 'd';
      ++i;
    }
    if (i >= text.size()) break;
    const char c = text[i];
    out += c == 's' ? 's' : std::strchr("diuoxXcp", c) ? 'd' : std::strchr("fFeEgGaA", c) ? 'f' : '?';
  }
  return out;
}

// The codes a report with a code computed at run time can get, by the file
// and the call's text.
const std::map<std::pair<std::string, std::string>, std::vector<int>>& computed_codes() {
  static const std::map<std::pair<std::string, std::string>, std::vector<int>> m = {
      {{"src/image/cg_command.cpp", "report_error_at_line_fmt(code, 1, name(), parameter_name(selector))"},
       {101281, 101282, 101283, 101284, 101296, 101297, 101298}},
      {{"src/image/decode_bmp.cpp", "report_error_fmt(code, 1, name)"}, {100090}},
      {{"src/image/decode_bmp.cpp", "report_error_at_line(code, 1)"}, {100080}},
      {{"src/image/decode_bmp.cpp", "report_error_at_line_fmt(code, 1, name)"}, {100070, 100091, 100092}},
      {{"src/resources/command_table.cpp", R"(report_error_fmt(r, 1, "kxbin\\kxc.kbn"))"}, {104010}},
      {{"src/resources/compiled_loaders.cpp", "report_error_fmt(compiled_truncated, 1, name)"}, {104010}},
      {{"src/resources/compiled_loaders.cpp", "report_error(code, 1)"}, {105000}},
      {{"src/resources/compiled_loaders.cpp", "report_error_fmt(compiled_script_out_of_range, 1, s.script_number)"},
       {901030}},
      {{"src/script/value_commands.cpp", "report_error_at_line(error, 1)"}, {120010, 120020, 120110, 120120}},
      {{"src/script/argument_binding.cpp",
        "report_error_at_line_fmt(error, 1, command, parameter, value, static_cast<int64_t>(code == 2 ? 1 : 0))"},
       {101010}},
      {{"src/script/argument_binding.cpp", "report_error_at_line_fmt(error, 1, command, parameter, value, min, max)"},
       {101000}},
      {{"src/script/argument_binding.cpp", "report_error_at_line_fmt(error, 1, command, parameter, value, int64_t{3})"},
       {101210}},
      {{"src/script/argument_binding.cpp", "report_error_at_line_fmt(error, 1, command, parameter, value)"},
       {101020, 101030, 101220}},
      {{"src/save/save_data.cpp", "report_error_at_line(code, 1)"}, {107010, 108010, 108070, 108080, 108090, 900000}},
  };
  return m;
}

struct report_call {
  std::string where;     // file:line
  std::string call;      // the call as written, on one line
  std::vector<int> codes;
  std::string kinds;     // one letter per argument after the quit argument
};

std::vector<report_call> report_calls_in_engine() {
  std::vector<report_call> calls;
  static const std::regex call(R"(\breport_error(_at_line)?(_fmt)?(_args)?\s*\()");
  static const std::regex six_digits(R"(\d{6})");
  for (const source_file& f : engine_sources()) {
    if (f.path.rfind("src/core/error_report.", 0) == 0) continue;  // the report functions themselves
    const std::string& s = f.text;
    for (std::sregex_iterator it(s.begin(), s.end(), call), e; it != e; ++it) {
      const size_t at = static_cast<size_t>(it->position(0));
      size_t end = 0;
      std::vector<std::string> args = split_arguments(s, at + static_cast<size_t>(it->length(0)), end);
      report_call r;
      r.where = f.path + ":" + std::to_string(std::count(s.begin(), s.begin() + static_cast<long>(at), '\n') + 1);
      std::string one_line;
      for (char c : s.substr(at, end + 1 - at)) {
        const bool blank = std::isspace(static_cast<unsigned char>(c));
        if (!blank || (!one_line.empty() && one_line.back() != ' ')) one_line += blank ? ' ' : c;
      }
      r.call = one_line;
      if (args.empty()) continue;
      if (std::regex_match(args[0], six_digits)) {
        r.codes = {std::stoi(args[0])};
      } else if (auto c = computed_codes().find({f.path, r.call}); c != computed_codes().end()) {
        r.codes = c->second;
      }
      const bool formatted = (*it)[2].matched;
      if ((*it)[3].matched) r.kinds = "?";  // typed argument lists are not read here
      if (formatted)
        for (size_t k = 2; k < args.size(); ++k) r.kinds += kind_letter(argument_kind(args[k], f, at));
      calls.push_back(std::move(r));
    }
  }
  return calls;
}

// The text a game made with the assembler's defaults shows for a code: the
// built-in texts (looked up with no game table loaded), then the defaults.
std::string default_text(int code) {
  error_table_record loaded;
  std::swap(loaded, error_table);
  const std::string builtin = error_text_for_code(code);
  const bool is_builtin = builtin != error_text_for_code(999999);
  std::swap(loaded, error_table);
  if (is_builtin) return builtin;
  for (const compiled_error_text& t : default_listing_error_texts())
    if (t.code == code) return t.text;
  return {};
}

}  // namespace

TEST(ErrorTexts, EveryCallerPassesWhatItsDefaultTextTakes) {
  const std::vector<report_call> calls = report_calls_in_engine();
  ASSERT_GT(calls.size(), 200u);
  size_t formatted = 0;
  for (const report_call& c : calls) {
    EXPECT_FALSE(c.codes.empty()) << c.where << ": " << c.call
                                  << "\nthe code is computed: list the codes it can take in computed_codes()";
    EXPECT_EQ(c.kinds.find('?'), std::string::npos)
        << c.where << ": " << c.call << "\nthe kind of an argument cannot be read from the source (" << c.kinds << ")";
    formatted += !c.kinds.empty();
    for (int code : c.codes) {
      const std::string text = default_text(code);
      EXPECT_FALSE(text.empty()) << c.where << ": no default text for " << code;
      EXPECT_EQ(conversions_of(text), c.kinds) << c.where << ": " << c.call << "\n" << code << ": " << sjis_to_utf8(text);
    }
  }
  EXPECT_GT(formatted, 80u);
}

// The reader of conversions and of argument kinds on the forms the sources use.
TEST(ErrorTexts, ConversionsAndArgumentKindsAreReadAsTheCompilerSeesThem) {
  EXPECT_EQ(conversions_of("[%s] %s = %d is outside %d..%d. 100%% %-5.2f %*d %lld %c"), "ssdddfdddd");
  EXPECT_EQ(conversions_of(utf8_to_sjis("メモリ不足のため[%s]ファイルを")), "s");
  const source_file f{"x.cpp",
                      "int64_t width = 0;\nconst std::string& name = a;\nvoid g(const char* path, uint32_t n) {\n"
                      "std::string width;\nint64_t x1 = 0, y2 = 0;\nstd::vector<std::string> paths;\n"
                      "char label[8];\nstd::array<int, 2> sizes;\n"};
  const struct {
    const char* expression;
    size_t at;
    kind expected;
  } cases[] = {
      {"\"kxbin\\\\kxl.kbn\"", 0, kind::text},       {"std::string(name)", 0, kind::text},
      {"int64_t{3}", 0, kind::integer},              {"static_cast<int64_t>(n)", 0, kind::integer},
      {"static_cast<double>(n)", 0, kind::real},     {"-1", 0, kind::integer},
      {"width", 20, kind::integer},                  {"width", f.text.size(), kind::text},
      {"path", f.text.size(), kind::text},           {"n", f.text.size(), kind::integer},
      {"name", f.text.size(), kind::text},           {"width - 1", 20, kind::integer},
      {"n ? name : path", f.text.size(), kind::text}, {"name.size()", f.text.size(), kind::integer},
      {"y2", f.text.size(), kind::integer},          {"paths[n]", f.text.size(), kind::text},
      {"label", f.text.size(), kind::text},          {"sizes[1]", f.text.size(), kind::integer},
  };
  for (const auto& c : cases) EXPECT_EQ(kind_letter(argument_kind(c.expression, f, c.at)), kind_letter(c.expected)) << c.expression;
}

// The reports the checks above guard, as a player sees them: each names what
// it is about and leaves no placeholder behind.
TEST(ErrorTexts, ReportsReadWholeInAGame) {
  const struct {
    const char* line;
    int code;
    const char* shown;
  } cases[] = {
      {"window window=1, title=\"s\", layer=\"nothing/\"", 101250, "[window] no layer or menu [nothing/]."},
      {"window window=0, menu=\"nomenu\"", 101250, "[window] no layer or menu [nomenu]."},
      {"window window=0, shape=\"noshape\"", 101250, "[window] no layer or menu [noshape]."},
      {"window window=0, drag_layer=\"nodrag\"", 101250, "[window] no layer or menu [nodrag]."},
      {"save_value val_id=3, layer=\"gone\"", 101250, "[save_value] no layer or menu [gone]."},
      {"save_value val_id=3", 102180, "[save_value] val_id = 3 names neither a variable nor a layer."},
      {"load_value file=\"f\", val_id=4", 102180, "[load_value] val_id = 4 names neither a variable nor a layer."},
      {"task_delete", 101420, "[task_delete] the task [SYSTEM] cannot be deleted."},
  };
  for (const auto& c : cases) {
    headless_game game(std::string("global int n = 0\nscript main.txt\n*SYSTEM_START\n") + c.line +
                       "\n*idle\nwait 1\ngoto idle\n");
    ASSERT_EQ(game.start(), 0) << c.line;
    game.run_ticks(2);
    ASSERT_EQ(game.error_codes(), std::vector<int>{c.code}) << c.line;
    const std::string& text = game.errors()[0].text_utf8;
    EXPECT_NE(text.find(c.shown), std::string::npos) << c.line << "\n" << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
  }
}
