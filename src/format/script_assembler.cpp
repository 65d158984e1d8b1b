#include "format/script_assembler.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "format/canonical_commands.h"
#include "format/expression_compiler.h"
#include "format/variable_image.h"
#include "platform/text_encoding.h"

namespace {

// Command numbers the assembler emits itself.
enum : uint8_t {
  op_else_if = 11,
  op_real = 24,
  op_goto = 32,
  op_call = 33,
  op_if = 34,
  op_else = 35,
  op_break = 36,
  op_continue = 37,
  op_end = 38,
  op_int = 40,
  op_let = 43,
  op_loop = 45,
  op_loop_break = 46,
  op_loop_continue = 47,
  op_loop_end = 48,
  op_return = 66,
  op_message_end = 68,
  op_string = 79,
  op_wait = 91,
};

enum value_kind : uint8_t { kind_int = 1, kind_real = 2, kind_text = 3 };

bool is_lead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool is_name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Calls `visit(i)` for each single-byte character outside text literals,
// stepping over double-byte characters, literals and their escapes. Stops at
// the first position for which `visit` returns true and gives it, else npos.
template <class Visit>
size_t scan_unquoted(std::string_view s, Visit visit) {
  bool quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    if (is_lead(c)) {
      ++i;
      continue;
    }
    if (quoted) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted = false;
      continue;
    }
    if (c == '"') {
      quoted = true;
      continue;
    }
    if (visit(i)) return i;
  }
  return std::string_view::npos;
}

// Splits `s` at top-level occurrences of `sep` (outside quotes and brackets).
std::vector<std::string_view> split_top(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  int depth = 0;
  size_t start = 0;
  scan_unquoted(s, [&](size_t i) {
    const char c = s[i];
    if (c == '(' || c == '[') {
      ++depth;
    } else if (c == ')' || c == ']') {
      --depth;
    } else if (c == sep && depth == 0) {
      out.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    }
    return false;
  });
  out.push_back(trim(s.substr(start)));
  return out;
}

// Position of a top-level assignment operator and its operator number
// (0 "=", 1 "+=", 2 "-=", 3 "*=", 4 "/=", 5 "%=", 6 "&=", 7 "|=", 8 "^="), or npos.
size_t find_assignment(std::string_view s, uint8_t& op, size_t& op_length) {
  int depth = 0;
  const size_t i = scan_unquoted(s, [&](size_t j) {
    const char c = s[j];
    if (c == '(' || c == '[') ++depth;
    if (c == ')' || c == ']') --depth;
    return depth == 0 && c == '=';
  });
  if (i == std::string_view::npos) return i;
  if (i + 1 < s.size() && s[i + 1] == '=') return std::string_view::npos;  // "=="
  const char before = i > 0 ? s[i - 1] : 0;
  static const std::string_view ops = "+-*/%&|^";
  size_t k = ops.find(before);
  if (i > 0 && k != std::string_view::npos) {
    // "&&=" and "||=" are not operators of the language; "<=", ">=", "!=" are comparisons.
    op = static_cast<uint8_t>(k + 1);
    op_length = 2;
    return i - 1;
  }
  if (before == '<' || before == '>' || before == '!') return std::string_view::npos;
  op = 0;
  op_length = 1;
  return i;
}

struct pending_block {
  bool is_loop = false;
  uint32_t open_instruction = 0;         // the if or loop instruction
  int32_t pending_false = -1;            // instruction whose false target waits for the next branch
  std::vector<uint32_t> else_jumps;      // (kept for the listing's checks)
  bool seen_else = false;
  uint32_t line = 0;
};

struct script_in_progress {
  assembled_script script;
  std::vector<pending_block> blocks;
};

class assembler {
 public:
  explicit assembler(const assembler_options& o) : options_(o) {
    config_ = o.config;
    for (const auto& [name, id] : listing_system_names()) {
      names_[name] = id;
      types_[id] = system_variable_type(id);
    }
    const auto& cmds = canonical_commands();
    for (size_t i = 0; i < cmds.size(); ++i) command_numbers_[cmds[i].name] = static_cast<uint8_t>(i);
    errors_texts_ = default_listing_error_texts();
  }

  assemble_result run(std::string_view listing) {
    // Names are declared anywhere in the listing and known everywhere: a first
    // pass collects the declarations so code may use a name above its line.
    collect_names(listing);
    uint32_t line_number = 0;
    size_t pos = 0;
    while (pos <= listing.size()) {
      size_t end = listing.find('\n', pos);
      if (end == std::string_view::npos) end = listing.size();
      ++line_number;
      line_ = line_number;
      statement(strip_comment(listing.substr(pos, end - pos)));
      pos = end + 1;
    }
    for (script_in_progress& s : scripts_)
      for (const pending_block& b : s.blocks) error_at(b.line, b.is_loop ? "loop without end" : "if without end");
    for (const auto& [label, line] : goto_targets_)
      if (!label_numbers_.count(label)) error_at(line, "unknown label " + label);
    assemble_result r;
    std::stable_sort(errors_.begin(), errors_.end(),
                     [](const assembler_diagnostic& a, const assembler_diagnostic& b) { return a.line < b.line; });
    r.errors = errors_;
    r.variables = names_;
    r.labels = labels_;
    if (!errors_.empty()) return r;
    if (scripts_.empty()) new_script("main.txt");
    write_files(r);
    r.ok = true;
    return r;
  }

 private:
  const assembler_options& options_;
  compiled_engine_config config_;
  std::vector<compiled_error_text> errors_texts_;
  std::vector<assembler_diagnostic> errors_;
  std::vector<script_in_progress> scripts_;
  expression_names names_;
  std::map<uint32_t, uint8_t> types_;  // variable id -> kind
  std::map<std::string, uint8_t, std::less<>> command_numbers_;
  std::vector<compiled_label_record> labels_;
  std::map<std::string, uint32_t, std::less<>> label_numbers_;
  std::vector<std::pair<std::string, uint32_t>> goto_targets_;
  std::vector<initial_variable_entry> image_;
  uint32_t next_variable_ = 1000;
  uint32_t line_ = 0;

  void error(const std::string& message) { error_at(line_, message); }
  void error_at(uint32_t line, const std::string& message) { errors_.push_back({line, message}); }

  static std::string_view strip_comment(std::string_view s) {
    const size_t at = scan_unquoted(s, [&](size_t i) { return s[i] == '/' && i + 1 < s.size() && s[i + 1] == '/'; });
    return trim(at == std::string_view::npos ? s : s.substr(0, at));
  }

  static std::pair<std::string_view, std::string_view> split_word(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    return {s.substr(0, i), trim(s.substr(i))};
  }

  script_in_progress& current() {
    if (scripts_.empty()) new_script("main.txt");
    return scripts_.back();
  }

  void new_script(std::string_view name) {
    script_in_progress s;
    s.script.number = static_cast<uint32_t>(scripts_.size());
    s.script.source_name = std::string(name);
    scripts_.push_back(std::move(s));
  }

  bool script_named(std::string_view name) const {
    std::string wanted(name);
    lowercase_sjis(wanted);
    for (const script_in_progress& s : scripts_) {
      std::string n = s.script.source_name;
      lowercase_sjis(n);
      if (n == wanted) return true;
    }
    return false;
  }

  uint32_t here() { return static_cast<uint32_t>(current().script.code.instructions.size()); }

  compiled_instruction& emit(uint8_t command, uint8_t flags = 0) {
    compiled_instruction ins;
    ins.command = command;
    ins.flags = flags;
    ins.source_line = line_;
    auto& v = current().script.code.instructions;
    v.push_back(std::move(ins));
    return v.back();
  }

  // An argument record holding an expression appended to the pool.
  void add_expression(compiled_instruction& ins, uint8_t parameter_id, uint8_t value_type,
                      const std::vector<uint8_t>& bytes, uint8_t op = 0) {
    auto& pool = current().script.code.expression_pool;
    compiled_argument a;
    a.parameter_id = parameter_id;
    a.value_type = value_type;
    a.assignment_operator = op;
    a.offset = static_cast<uint32_t>(pool.size());
    a.length = static_cast<uint32_t>(bytes.size());
    pool.insert(pool.end(), bytes.begin(), bytes.end());
    ins.arguments.push_back(a);
  }
  // A record carrying a jump target in its length field.
  static void add_target(compiled_instruction& ins, uint8_t parameter_id, uint32_t target) {
    compiled_argument a;
    a.parameter_id = parameter_id;
    a.value_type = 1;
    a.length = target;
    ins.arguments.push_back(a);
  }

  std::optional<std::vector<uint8_t>> expression(std::string_view source) {
    expression_compile_result r = compile_expression(source, names_);
    if (!r.ok) {
      error("expression \"" + std::string(source) + "\": " + r.error);
      return std::nullopt;
    }
    return r.bytes;
  }
  std::optional<std::vector<uint8_t>> text_literal(std::string_view text) {
    std::vector<uint8_t> out;
    if (!append_text_literal(out, text)) {
      error("text cannot be written as a literal");
      return std::nullopt;
    }
    return out;
  }

  // The kind an expression yields: text when it holds a text literal, str()
  // or a text variable; else real with a real literal or variable; else integer.
  uint8_t infer_kind(std::string_view s) {
    uint8_t kind = kind_int;
    for (size_t i = 0; i < s.size();) {
      const char c = s[i];
      if (is_lead(static_cast<uint8_t>(c))) {
        i += 2;
        continue;
      }
      if (c == '"') return kind_text;
      if (std::isdigit(static_cast<unsigned char>(c))) {
        size_t j = i;
        bool hex = c == '0' && j + 1 < s.size() && (s[j + 1] == 'x' || s[j + 1] == 'X');
        while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '.')) {
          if (!hex && (s[j] == '.' || s[j] == 'e' || s[j] == 'E')) kind = std::max<uint8_t>(kind, kind_real);
          ++j;
        }
        i = j;
        continue;
      }
      if (is_name_start(c) || c == '#' || c == '`') {
        size_t j = i + 1;
        while (j < s.size() && is_name_char(s[j])) ++j;
        std::string_view name = s.substr(c == '#' || c == '`' ? i + 1 : i, j - (c == '#' || c == '`' ? i + 1 : i));
        size_t k = j;
        while (k < s.size() && s[k] == ' ') ++k;
        if (name == "str" && k < s.size() && s[k] == '(') return kind_text;
        if (auto it = names_.find(name); it != names_.end()) {
          auto t = types_.find(it->second);
          if (t != types_.end()) {
            if (t->second == kind_text) return kind_text;
            kind = std::max(kind, t->second);
          }
        }
        i = j;
        continue;
      }
      ++i;
    }
    return kind;
  }

  // "int x", "real y" or "text z" before a value: the kind and the rest.
  std::pair<uint8_t, std::string_view> explicit_kind(std::string_view s) {
    auto [word, rest] = split_word(s);
    if (!rest.empty()) {
      if (word == "int") return {kind_int, rest};
      if (word == "real") return {kind_real, rest};
      if (word == "text") return {kind_text, rest};
    }
    return {infer_kind(s), s};
  }

  // ------------------------------------------------------------ declarations

  struct declaration {
    uint8_t kind = kind_int;
    std::string name;
    std::string_view sizes_source;  // "[3][4]" or empty
    std::string_view value_source;  // after '=' or empty
  };

  std::optional<declaration> parse_declaration(uint8_t kind, std::string_view rest) {
    declaration d;
    d.kind = kind;
    size_t i = 0;
    while (i < rest.size() && (is_name_char(rest[i]) || is_lead(static_cast<uint8_t>(rest[i])))) {
      i += is_lead(static_cast<uint8_t>(rest[i])) ? 2 : 1;
    }
    if (i == 0 || !(is_name_start(rest[0]) || is_lead(static_cast<uint8_t>(rest[0])))) {
      error("declaration without a name");
      return std::nullopt;
    }
    d.name = std::string(rest.substr(0, std::min(i, rest.size())));
    std::string_view tail = trim(rest.substr(std::min(i, rest.size())));
    size_t eq = std::string_view::npos;
    int depth = 0;
    for (size_t k = 0; k < tail.size(); ++k) {
      if (tail[k] == '[') ++depth;
      if (tail[k] == ']') --depth;
      if (tail[k] == '=' && depth == 0) {
        eq = k;
        break;
      }
    }
    d.sizes_source = trim(tail.substr(0, eq == std::string_view::npos ? tail.size() : eq));
    if (eq != std::string_view::npos) d.value_source = trim(tail.substr(eq + 1));
    if (!d.sizes_source.empty() && d.sizes_source.front() != '[') {
      error("unexpected text after the declared name");
      return std::nullopt;
    }
    return d;
  }

  void register_name(const std::string& name, uint8_t kind) {
    auto it = names_.find(name);
    if (it != names_.end()) {
      types_[it->second] = kind;  // a later declaration may change its kind
      return;
    }
    names_[name] = next_variable_;
    types_[next_variable_] = kind;
    ++next_variable_;
  }

  void collect_names(std::string_view listing) {
    size_t pos = 0;
    while (pos <= listing.size()) {
      size_t end = listing.find('\n', pos);
      if (end == std::string_view::npos) end = listing.size();
      std::string_view s = strip_comment(listing.substr(pos, end - pos));
      pos = end + 1;
      auto [word, rest] = split_word(s);
      if (word == "global" || word == "static") std::tie(word, rest) = split_word(rest);
      uint8_t kind = word == "int" ? kind_int : word == "real" ? kind_real : word == "string" ? kind_text : 0;
      if (!kind) continue;
      size_t i = 0;
      while (i < rest.size() && (is_name_char(rest[i]) || is_lead(static_cast<uint8_t>(rest[i])))) ++i;
      if (i > 0 && !names_.count(rest.substr(0, i))) register_name(std::string(rest.substr(0, i)), kind);
    }
  }

  // The sizes of a declaration as constants (for the image).
  std::optional<std::vector<uint32_t>> constant_sizes(std::string_view sizes) {
    std::vector<uint32_t> out;
    while (!sizes.empty()) {
      if (sizes.front() != '[') break;
      size_t close = sizes.find(']');
      if (close == std::string_view::npos) break;
      for (std::string_view part : split_top(sizes.substr(1, close - 1), ',')) {
        char* e = nullptr;
        std::string p(part);
        long long v = std::strtoll(p.c_str(), &e, 0);
        if (p.empty() || *e || v <= 0 || v > 0xFFFFFFFFll) {
          error("a size of a global declaration must be a positive integer");
          return std::nullopt;
        }
        out.push_back(static_cast<uint32_t>(v));
      }
      sizes = trim(sizes.substr(close + 1));
    }
    if (!sizes.empty()) {
      error("malformed sizes");
      return std::nullopt;
    }
    if (out.empty()) out.push_back(1);
    return out;
  }

  void image_declaration(uint8_t scope, uint8_t kind, std::string_view rest) {
    auto d = parse_declaration(kind, rest);
    if (!d) return;
    register_name(d->name, kind);
    auto sizes = constant_sizes(d->sizes_source);
    if (!sizes) return;
    initial_variable_entry e;
    e.scope = scope;
    // A declaration is no code: above the first `script` line it belongs to the
    // script that comes next (number 0) and opens no script of its own.
    e.script_number = static_cast<uint16_t>(scripts_.empty() ? 0 : scripts_.back().script.number);
    e.variable_id = static_cast<uint16_t>(names_[d->name]);
    e.type = kind;
    e.dimensions = *sizes;
    std::string v(d->value_source);
    if (kind == kind_text) {
      auto bytes = expression(v.empty() ? std::string("\"\"") : v);
      if (!bytes) return;
      e.text_expression = *bytes;
    } else if (!v.empty()) {
      if (kind == kind_int) {
        // The same literal rules as in expressions: hexadecimal is the bit pattern.
        const bool negative = v[0] == '-';
        const char* why = nullptr;
        auto value = parse_integer_literal(std::string_view(v).substr(negative ? 1 : 0), negative, &why);
        if (!value) {
          error(std::string("the value of a global declaration must be an integer literal (") + why + ")");
          return;
        }
        e.int_value = *value;
      } else {
        char* end = nullptr;
        e.real_value = std::strtod(v.c_str(), &end);
        if (*end) {
          error("the value of a global declaration must be a number");
          return;
        }
      }
    }
    if (e.variable_id != names_[d->name]) {
      error("too many variables");
      return;
    }
    image_.push_back(std::move(e));
  }

  void run_declaration(uint8_t kind, std::string_view rest) {
    auto d = parse_declaration(kind, rest);
    if (!d) return;
    register_name(d->name, kind);
    std::string target = d->name + std::string(d->sizes_source);
    if (d->sizes_source.empty()) target += "[1]";
    auto t = expression(target);
    std::string value(d->value_source);
    if (value.empty()) value = kind == kind_text ? "\"\"" : "0";
    auto v = t ? expression(value) : std::nullopt;
    if (!v) return;
    compiled_instruction& ins = emit(kind == kind_int ? op_int : kind == kind_real ? op_real : op_string);
    add_expression(ins, 0, 1, *t);
    add_expression(ins, 1, kind, *v);
  }

  // ------------------------------------------------------------ statements

  void statement(std::string_view s) {
    if (s.empty()) return;
    if (s.front() == '*') return label(trim(s.substr(1)));
    auto [word, rest] = split_word(s);
    if (word == "script") {
      if (!scripts_.empty()) check_closed();
      if (rest.empty()) return error("script without a name");
      // The player finds a script by its source name (task states, errors), so
      // two scripts of one name would make the second unreachable.
      if (script_named(rest)) return error("a second script named " + std::string(rest));
      return new_script(rest);
    }
    if (word == "config") return config(rest);
    if (word == "error") return error_text(rest);
    if (word == "label") return label(rest);
    if (word == "global" || word == "static") {
      auto [kind_word, decl] = split_word(rest);
      uint8_t kind = kind_word == "int" ? kind_int : kind_word == "real" ? kind_real : kind_word == "string" ? kind_text : 0;
      if (!kind) return error("global and static take int, real or string");
      return image_declaration(word == "global" ? image_scope_global : image_scope_script, kind, decl);
    }
    if (word == "int") return run_declaration(kind_int, rest);
    if (word == "real") return run_declaration(kind_real, rest);
    if (word == "string") return run_declaration(kind_text, rest);
    if (word == "if") return open_if(rest);
    if (word == "elseif") return else_if(rest);
    if (word == "else") return else_branch(rest);
    if (word == "end") return end_block(rest);
    if (word == "loop") return open_loop(rest);
    if (word == "break" || word == "continue" || word == "loop_break" || word == "loop_continue") {
      const uint8_t op = word == "break" ? op_break : word == "continue" ? op_continue
                         : word == "loop_break" ? op_loop_break : op_loop_continue;
      compiled_instruction& ins = emit(op);
      if (!rest.empty()) {
        auto n = expression(rest);
        if (n) add_expression(ins, 0, 1, *n);
      }
      return;
    }
    if (word == "goto") return go_to(rest);
    if (word == "call") return call(rest);
    if (word == "return") return values(op_return, rest, true);
    if (word == "wait" && rest.find('=') == std::string_view::npos) return wait(rest);
    if (word == "message_end") {
      emit(op_message_end);
      return;
    }
    if (word == "let") return let(rest);
    if (auto it = command_numbers_.find(word); it != command_numbers_.end() && !word.empty()) {
      uint8_t op = 0;
      size_t len = 0;
      // "name = value" where the name is also a command's: an assignment.
      size_t at = find_assignment(s, op, len);
      if (at == std::string_view::npos || trim(s.substr(0, at)) != word) return generic(it->second, rest);
    }
    return let(s);
  }

  void check_closed() {
    for (const pending_block& b : current().blocks)
      error_at(b.line, b.is_loop ? "loop without end" : "if without end");
    current().blocks.clear();
  }

  void label(std::string_view name) {
    name = trim(name);
    if (name.empty() || name.find(' ') != std::string_view::npos) return error("malformed label");
    if (name.size() > 255) return error("label longer than 255 bytes");
    if (label_numbers_.count(name)) return error("label " + std::string(name) + " defined twice");
    compiled_label_record l;
    l.name = std::string(name);
    l.position = here();
    l.script_number = static_cast<uint16_t>(current().script.number);
    uint8_t blocks = 0, loops = 0;
    for (const pending_block& b : current().blocks) (b.is_loop ? loops : blocks) += 1;
    l.block_depth = blocks;
    l.loop_depth = loops;
    label_numbers_[l.name] = static_cast<uint32_t>(labels_.size());
    labels_.push_back(l);
  }

  void config(std::string_view rest) {
    auto [key, value] = split_word(rest);
    std::string v(value);
    auto number = [&]() -> uint32_t { return static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0)); };
    if (key == "title") {
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      config_.title = v;
    } else if (key == "size") {
      auto [w, h] = split_word(value);
      config_.main_width = static_cast<uint32_t>(std::strtoul(std::string(w).c_str(), nullptr, 0));
      config_.main_height = static_cast<uint32_t>(std::strtoul(std::string(h).c_str(), nullptr, 0));
    } else if (key == "window_kind") {
      config_.main_window_kind = number();
    } else if (key == "debug") {
      config_.debug_switch = number();
    } else if (key == "sound") {
      config_.sound_on = number();
    } else if (key == "frame_thread") {
      config_.frame_thread_mode = number();
    } else if (key == "thick_frame") {
      config_.keep_thick_frame = number();
    } else if (key == "window_style") {
      config_.main_window_style = number();
    } else if (key == "loose_first") {
      config_.release_loose_first = number();
      config_.dev_loose_first = number();
    } else {
      error("unknown config key " + std::string(key));
    }
  }

  void error_text(std::string_view rest) {
    auto [code, text] = split_word(rest);
    std::string t(text);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
    // "\n" in the listing is a line break of the message.
    std::string unescaped;
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] == '\\' && i + 1 < t.size() && t[i + 1] == 'n') {
        unescaped += '\n';
        ++i;
      } else {
        unescaped += t[i];
      }
    }
    int32_t c = static_cast<int32_t>(std::strtol(std::string(code).c_str(), nullptr, 10));
    for (compiled_error_text& e : errors_texts_)
      if (e.code == c) {
        e.text = unescaped;
        return;
      }
    errors_texts_.push_back({c, unescaped});
  }

  void open_if(std::string_view cond) {
    auto e = expression(cond);
    if (!e) return;
    pending_block b;
    b.open_instruction = here();
    b.pending_false = static_cast<int32_t>(here());
    b.line = line_;
    compiled_instruction& ins = emit(op_if);
    add_expression(ins, 0, 1, *e);
    add_target(ins, 1, 0);
    add_target(ins, 2, 0);
    current().blocks.push_back(b);
  }

  pending_block* innermost_if(const char* what) {
    auto& blocks = current().blocks;
    if (blocks.empty() || blocks.back().is_loop) {
      error(std::string(what) + " without if");
      return nullptr;
    }
    if (blocks.back().seen_else) {
      error(std::string(what) + " after else");
      return nullptr;
    }
    return &blocks.back();
  }

  void set_false_target(pending_block& b, uint32_t target) {
    if (b.pending_false < 0) return;
    auto& ins = current().script.code.instructions[static_cast<size_t>(b.pending_false)];
    ins.arguments[1].length = target;
    b.pending_false = -1;
  }

  void else_if(std::string_view cond) {
    pending_block* b = innermost_if("elseif");
    if (!b) return;
    auto e = expression(cond);
    if (!e) return;
    // The branch before ends by jumping to the block's end.
    emit(op_else);
    set_false_target(*b, here());
    b->pending_false = static_cast<int32_t>(here());
    compiled_instruction& ins = emit(op_else_if);
    add_expression(ins, 0, 1, *e);
    add_target(ins, 1, 0);
  }

  void else_branch(std::string_view rest) {
    if (!rest.empty()) return error("else takes nothing (use elseif)");
    pending_block* b = innermost_if("else");
    if (!b) return;
    emit(op_else);
    set_false_target(*b, here());
    b->seen_else = true;
  }

  void open_loop(std::string_view count) {
    std::string c = count.empty() ? std::string("-1") : std::string(count);
    auto e = expression(c);
    if (!e) return;
    pending_block b;
    b.is_loop = true;
    b.open_instruction = here();
    b.line = line_;
    compiled_instruction& ins = emit(op_loop);
    add_expression(ins, 0, 1, *e);
    add_target(ins, 1, 0);
    current().blocks.push_back(b);
  }

  void end_block(std::string_view rest) {
    if (!rest.empty()) return error("end takes nothing");
    auto& blocks = current().blocks;
    if (blocks.empty()) return error("end without if or loop");
    pending_block b = blocks.back();
    blocks.pop_back();
    const uint32_t at = here();
    auto& code = current().script.code.instructions;
    if (b.is_loop) {
      code[b.open_instruction].arguments[1].length = at;
      emit(op_loop_end);
      return;
    }
    // An if without else leaves its false target 0: the end index serves.
    b.pending_false = -1;
    code[b.open_instruction].arguments[2].length = at;
    emit(op_end);
  }

  void go_to(std::string_view rest) {
    if (rest.empty()) return error("goto without a label");
    compiled_instruction& ins = emit(op_goto);
    if (rest.front() == '(') {
      auto e = expression(rest);
      if (e) add_expression(ins, 0, 3, *e);
      return;
    }
    auto t = text_literal(rest);
    if (!t) return;
    goto_targets_.emplace_back(std::string(rest), line_);
    add_expression(ins, 0, 3, *t);
  }

  // call LABEL(values) or call (EXPR)(values).
  void call(std::string_view rest) {
    if (rest.empty()) return error("call without a label");
    std::string_view label_part, args;
    if (rest.front() == '(') {
      int depth = 0;
      size_t i = 0;
      for (; i < rest.size(); ++i) {
        if (rest[i] == '(') ++depth;
        if (rest[i] == ')' && --depth == 0) break;
      }
      label_part = rest.substr(0, i + 1);
      args = trim(rest.substr(std::min(i + 1, rest.size())));
    } else {
      size_t i = 0;
      while (i < rest.size() && rest[i] != '(' && rest[i] != ' ') ++i;
      label_part = rest.substr(0, i);
      args = trim(rest.substr(i));
    }
    if (!args.empty()) {
      if (args.front() != '(' || args.back() != ')') return error("call arguments go in parentheses");
      args = trim(args.substr(1, args.size() - 2));
    }
    std::vector<uint8_t> label_bytes;
    if (label_part.front() == '(') {
      auto e = expression(label_part);
      if (!e) return;
      label_bytes = *e;
    } else {
      auto t = text_literal(label_part);
      if (!t) return;
      label_bytes = *t;
      goto_targets_.emplace_back(std::string(label_part), line_);
    }
    std::vector<std::string_view> parts;
    if (!args.empty()) parts = split_top(args, ',');
    if (parts.size() > 16) return error("at most 16 values");
    compiled_instruction& ins = emit(op_call, static_cast<uint8_t>(parts.size()));
    add_expression(ins, 0, 3, label_bytes);
    add_values(current().script.code.instructions.back(), parts, false);
  }

  // Values 1..n: integer, real or text by kind. For a call: parameter i,
  // 16 + i, 32 + i; for a return: i - 1, i + 15, i + 31.
  void add_values(compiled_instruction& ins_ref, const std::vector<std::string_view>& parts, bool for_return) {
    const size_t index = current().script.code.instructions.size() - 1;
    (void)ins_ref;
    for (size_t k = 0; k < parts.size(); ++k) {
      const uint32_t i = static_cast<uint32_t>(k + 1);
      auto [kind, source] = explicit_kind(parts[k]);
      auto e = expression(source);
      if (!e) return;
      uint32_t id = for_return ? i - 1 : i;
      if (kind == kind_real) id += 16;
      if (kind == kind_text) id += 32;
      add_expression(current().script.code.instructions[index], static_cast<uint8_t>(id),
                     kind == kind_real ? 2 : kind == kind_text ? 3 : 1, *e);
    }
  }

  void values(uint8_t command, std::string_view rest, bool for_return) {
    std::vector<std::string_view> parts;
    if (!rest.empty()) parts = split_top(rest, ',');
    if (parts.size() > 16) return error("at most 16 values");
    compiled_instruction& ins = emit(command, static_cast<uint8_t>(parts.size()));
    add_values(ins, parts, for_return);
  }

  void wait(std::string_view rest) {
    std::string_view count = rest;
    uint8_t id = 0;
    if (rest.size() > 2 && rest.substr(rest.size() - 2) == "ms") {
      count = trim(rest.substr(0, rest.size() - 2));
      id = 1;
    }
    auto e = expression(count.empty() ? std::string_view("1") : count);
    if (!e) return;
    compiled_instruction& ins = emit(op_wait);
    add_expression(ins, id, 1, *e);
  }

  void let(std::string_view s) {
    uint8_t op = 0;
    size_t len = 0;
    size_t at = find_assignment(s, op, len);
    if (at == std::string_view::npos) return error("unknown statement: " + std::string(s));
    std::string_view target = trim(s.substr(0, at));
    std::string_view value = trim(s.substr(at + len));
    if (target.empty() || value.empty()) return error("assignment needs a target and a value");
    auto t = expression(target);
    auto v = t ? expression(value) : std::nullopt;
    if (!v) return;
    // The kind of the target variable picks the arithmetic.
    uint8_t kind = kind_int;
    size_t i = (target.front() == '#' || target.front() == '`') ? 1 : 0;
    size_t j = i;
    while (j < target.size() && (is_name_char(target[j]) || is_lead(static_cast<uint8_t>(target[j])))) ++j;
    if (auto it = names_.find(target.substr(i, j - i)); it != names_.end()) {
      auto ty = types_.find(it->second);
      if (ty != types_.end()) kind = ty->second;
    }
    compiled_instruction& ins = emit(op_let);
    add_expression(ins, 0, kind, *t, op);
    add_expression(ins, 1, kind, *v, op);
  }

  // A text or number literal, where a parameter needs a variable.
  static bool is_literal(std::string_view v) {
    if (!v.empty() && v.front() == '-') v.remove_prefix(1);
    return !v.empty() && (v.front() == '"' || (v.front() >= '0' && v.front() <= '9'));
  }

  void generic(uint8_t number, std::string_view rest) {
    const compiled_command& c = canonical_commands()[number];
    compiled_instruction& ins_first = emit(number);
    (void)ins_first;
    const size_t index = current().script.code.instructions.size() - 1;
    if (rest.empty()) return;
    for (std::string_view part : split_top(rest, ',')) {
      uint8_t op = 0;
      size_t len = 0;
      size_t at = find_assignment(part, op, len);
      if (at == std::string_view::npos || op > 4) return error("argument \"" + std::string(part) + "\" needs name=value");
      std::string_view name = trim(part.substr(0, at));
      auto [kind, source] = explicit_kind(trim(part.substr(at + len)));
      size_t id = 0;
      while (id < c.parameters.size() && c.parameters[id].name != name) ++id;
      if (id >= c.parameters.size()) return error(c.name + " has no parameter " + std::string(name));
      if (c.parameters[id].takes_variable && is_literal(source))
        return error(c.name + "'s parameter " + std::string(name) + " takes a variable, not \"" +
                     std::string(source) + "\": write the variable's name without quotes");
      auto e = expression(source);
      if (!e) return;
      uint8_t value_type = 1;
      if (c.parameters[id].kind == 1)
        value_type = kind == kind_real ? 4 : 3;
      else if (kind == kind_real)
        value_type = 2;
      else if (kind == kind_text && c.parameters[id].kind == 2)
        value_type = 3;  // a raw parameter is evaluated by its value's own kind
      add_expression(current().script.code.instructions[index], static_cast<uint8_t>(id), value_type, *e, op);
    }
  }

  // ------------------------------------------------------------ output

  void write_files(assemble_result& r) {
    for (script_in_progress& s : scripts_) r.scripts.push_back(s.script);
    r.files.push_back({"kxbin\\kxcfg.kbn", write_engine_config_file(config_)});
    r.files.push_back({"kxbin\\kxc.kbn", write_command_file(canonical_command_file())});
    compiled_variable_counts counts;
    counts.variable_count = std::max<uint32_t>(next_variable_ - 1, 999);
    r.files.push_back({"kxbin\\kxt.kbn", write_variable_count_file(counts)});
    std::vector<compiled_script_record> list;
    // Each entry carries its script number, as a compiled game does (command 81 reads it).
    for (const assembled_script& s : r.scripts) list.push_back({s.number, s.source_name, s.number});
    r.files.push_back({"kxbin\\kxt_list.kbn", write_script_list_file(list)});
    r.files.push_back({"kxbin\\kxl.kbn", write_label_file(labels_)});
    std::vector<initial_variable_entry> image = system_variable_entries();
    image.insert(image.end(), image_.begin(), image_.end());
    r.files.push_back({"kxbin\\kxv.kbn", write_variable_image(image)});
    r.files.push_back({"kxbin\\kxe.kbn", write_error_text_file(errors_texts_)});
    for (const assembled_script& s : r.scripts)
      r.files.push_back({code_file_name(s.number), write_code_file(s.code, options_.code_key)});
  }
};

}  // namespace

assemble_result assemble_listing(std::string_view listing, const assembler_options& options) {
  assembler a(options);
  return a.run(listing);
}

const expression_names& listing_system_names() {
  static const expression_names names = {
      {"local_time", 0}, {"clock", 1},       {"os_code", 2},     {"pi", 10},         {"debug_switch", 11},
      {"args", 12},      {"arg_count", 13},  {"files", 14},      {"file_count", 15}, {"loop_counter", 48},
      {"arg_int", 49},   {"arg_real", 51},   {"arg_text", 52},   {"arg_given", 53},  {"ret_int", 54},
      {"ret_real", 55},  {"ret_text", 56},   {"ret_given", 57},  {"task_int", 58},   {"task_real", 59},
      {"task_text", 60}, {"game_folder", 93}, {"version", 98},   {"frame_count", 99}, {"pass_count", 100},
      {"task_name", 115}, {"task_count", 116}, {"chr", 117},     {"layer_path", 118}, {"task_path", 120},
      {"menu_path", 121},
  };
  return names;
}

const std::vector<compiled_error_text>& default_listing_error_texts() {
  // Every code the player reports (the 15 with built-in texts aside), with
  // the arguments its reports pass, in their order.
  static const std::vector<compiled_error_text> texts = {
      {100010, "Out of memory."},
      {100030, "[%s] [%s] is not of a type this command reads."},
      {100070, "[%s] is not a BMP file."},
      {100080, "The BMP pixel data lies outside the file."},
      {100090, "[%s]: compressed 4-bit and 8-bit BMP files are not supported."},
      {100091, "[%s]: the picture's width or height is out of range."},
      {100092, "[%s]: top-down BMP files are not supported."},
      {100200, "The PNG file could not be decoded."},
      {100210, "The JPEG file could not be decoded."},
      {100215, "The GIF file could not be decoded."},
      {100220, "[%s]: PSD pictures are not supported."},
      {100230, "The group [%s] does not exist."},
      {100240, "[%s] a new layer needs a priority."},
      {100242, "[%s]: a name may not hold a space."},
      {100243, "[%s] a canvas needs both a width and a height."},
      {100260, "[%s] the new menu item [%s] has no caption."},
      {100310, "The layer [%s] (%d x %d) and its mask layer [%s] (%d x %d) differ in size."},
      {101000, "[%s] %s = %d is outside %d..%d."},
      {101010, "[%s] %s = %d must be at least %d."},
      {101020, "[%s] %s = %d is not a colour or -1."},
      {101030, "[%s] %s = %d is not a colour."},
      {101100, "An array may hold at most %d elements."},
      {101110, "An array needs at least one element."},
      {101140, "The variable cannot be assigned this value or in this way."},
      {101150, "[%s] this system variable cannot be assigned."},
      {101210, "[%s] %s = %d is above %d."},
      {101220, "[%s] %s = %d is negative."},
      {101230, "[%s] the layer [%s] does not exist."},
      {101240, "[%s] %s = %d: only %d font faces are installed."},
      {101250, "[%s] no layer or menu [%s]."},
      {101280, "[%s] a group takes no picture file and shares no layer."},
      {101281, "[%s] %s takes no rectangle (x1, y1, x2, y2)."},
      {101282, "[%s] %s rotates the whole picture: give no rectangle (x1, y1, x2, y2)."},
      {101283, "[%s] %s works on the whole picture: give no rectangle (x1, y1, x2, y2)."},
      {101284, "[%s] %s works on the whole picture: give no rectangle (x1, y1, x2, y2)."},
      {101291, "[%s] a group cannot receive the picture."},
      {101292, "[%s] a sound group takes no file."},
      {101293, "[%s] [%s] names nothing."},
      {101295, "[%s] a pixel query needs both its x and y."},
      {101296, "[%s] %s needs a second layer."},
      {101297, "[%s] %s needs a second layer to exchange with."},
      {101298, "[%s] %s needs a second layer."},
      {101300, "[%s] without its [%s]."},
      {101310, "[%s] %s = %d cannot be used for the main window."},
      {101320, "[%s] a new sub window needs its title."},
      {101330, "[%s] %s = %d: the main window cannot be hidden."},
      {101400, "[%s] no task [%s]."},
      {101420, "[%s] the task [%s] cannot be deleted."},
      {101450, "[%s] %s: the text is empty."},
      {101510, "The movie file is not given."},
      {101520, "The movie cannot be played."},
      {101600, "[%s] nested deeper than %d levels."},
      {102000, "The message text is full."},
      {102030, "A value for the message text is longer than 1024 bytes."},
      {102040, "The glyph cache failed."},
      {102100, "[%s] %s = [%s]: the save file cannot be opened."},
      {102110, "[%s] the save file holds no entry for %s."},
      {102120, "[%s] the saved value is not of the type [%s] declares."},
      {102130, "[%s] no script [%s]."},
      {102140, "[%s] [%s] cannot be written (error %d: %s)."},
      {102150, "[%s]: a save file name may not hold a folder separator."},
      {102160, "[%s]: a save file name may be at most 32 bytes long."},
      {102170, "[%s] %s = %d is already staged."},
      {102180, "[%s] %s = %d names neither a variable nor a layer."},
      {105000, "The compiled files are of another version."},
      {105210, "The display mode could not be changed."},
      {107010, "Array index out of range."},
      {108010, "Variable not declared."},
      {108030, "Not a save image (no KXSD mark)."},
      {108040, "The save image is of another version."},
      {108050, "A layer entry cannot be loaded without a layer path."},
      {108070, "The saved data is larger than 40,000,000 bytes."},
      {108080, "The saved dimension count differs from the variable's."},
      {108090, "A saved dimension size differs from the variable's."},
      {108100, "A variable entry cannot be loaded into a layer."},
      {108110, "The saved entry is not a layer picture."},
      {108120, "loop end without loop."},
      {108180, "Label [%s] not found."},
      {108200, "One text and one number are needed."},
      {108210, "The text is not a number."},
      {108220, "This needs text variables."},
      {110200, "The sound request queue is full."},
      {120010, "The part starts beyond the end of the text."},
      {120020, "The part runs past the end of the text."},
      {120110, "The part to erase starts beyond the end of the text."},
      {120120, "The part to erase runs past the end of the text."},
      {160010, "Text and number mixed."},
      {900000, "Damaged task state."},
      {900010, "[internal] unknown message text command."},
      {900020, "[internal] no object path."},
      {900030, "Damaged expression."},
      {900050, "Unknown command."},
      {900070, "Damaged initial-variable image."},
      {901000, "Window title too long."},
      {901020, "Bad window size or frame-thread mode."},
      {901030, "Script number %d is outside the script list."},
  };
  return texts;
}
