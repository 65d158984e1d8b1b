// The guard against services that no start-up connects: every hook table of
// the engine (a struct of function pointers with a global instance, declared
// in src/) must have each of its fields filled somewhere in src/. A field
// filled only by tests, or by nothing, is a feature the running player does
// not have. Fields that may stay empty on purpose are listed once, below,
// with the reason.
//   usage: check-hooks [--tables] [source root]   (default: the current folder)
// Prints one line per unfilled field and exits 1; with --tables, lists the
// tables it found ("type instance field...") instead.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Table type, field, why it may stay empty in the player.
struct allowed_empty {
  const char* table;
  const char* field;
  const char* reason;
};
const allowed_empty allowed_empty_fields[] = {
    {"sound_thread_record", "sleep_ms",
     "unset, the sound thread sleeps through the clock; only tests that step it in real time set it"},
};

bool allowed(const std::string& table, const std::string& field) {
  for (const allowed_empty& a : allowed_empty_fields)
    if (table == a.table && field == a.field) return true;
  return false;
}

// ---------------------------------------------------------------- tokens

bool ident_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool ident_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// C++ source as tokens: identifiers, numbers and operators; comments, string
// and character literals (raw strings too) and preprocessor lines dropped.
std::vector<std::string> tokenize(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  bool line_start = true;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\n') {
      line_start = true;
      ++i;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    if (line_start && c == '#') {
      // Up to the end of the line, with continuations.
      while (i < s.size() && s[i] != '\n') i += s[i] == '\\' ? 2 : 1;
      continue;
    }
    line_start = false;
    if (s.compare(i, 2, "//") == 0) {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    if (s.compare(i, 2, "/*") == 0) {
      const size_t end = s.find("*/", i + 2);
      i = end == std::string::npos ? s.size() : end + 2;
      continue;
    }
    if (c == 'R' && i + 1 < s.size() && s[i + 1] == '"') {
      const size_t open = s.find('(', i + 2);
      if (open != std::string::npos) {
        const std::string close = ")" + s.substr(i + 2, open - i - 2) + "\"";
        const size_t end = s.find(close, open);
        i = end == std::string::npos ? s.size() : end + close.size();
        out.push_back("\"\"");
        continue;
      }
    }
    if (c == '"' || c == '\'') {
      size_t j = i + 1;
      while (j < s.size() && s[j] != c) j += s[j] == '\\' ? 2 : 1;
      i = j + 1;
      out.push_back("\"\"");
      continue;
    }
    if (ident_start(c)) {
      size_t j = i;
      while (j < s.size() && ident_char(s[j])) ++j;
      out.push_back(s.substr(i, j - i));
      i = j;
      continue;
    }
    if (std::isdigit(static_cast<unsigned char>(c))) {
      size_t j = i;
      while (j < s.size() && (ident_char(s[j]) || s[j] == '.' || s[j] == '\'')) ++j;
      out.push_back(s.substr(i, j - i));
      i = j;
      continue;
    }
    static const char* const operators[] = {"<<=", ">>=", "==", "!=", "<=", ">=", "+=", "-=", "*=", "/=", "%=",
                                            "&=",  "|=",  "^=", "->", "::", "&&", "||", "<<", ">>", "++", "--"};
    std::string op(1, c);
    for (const char* o : operators)
      if (s.compare(i, std::char_traits<char>::length(o), o) == 0) {
        op = o;
        break;
      }
    out.push_back(op);
    i += op.size();
  }
  return out;
}

// Index of the token that closes the bracket at `open` (its match), or the end.
size_t closing(const std::vector<std::string>& t, size_t open) {
  const std::string o = t[open], c = o == "{" ? "}" : o == "(" ? ")" : "]";
  int depth = 0;
  for (size_t i = open; i < t.size(); ++i) {
    if (t[i] == o) ++depth;
    if (t[i] == c && --depth == 0) return i;
  }
  return t.size();
}

struct source_file {
  std::string path;  // relative to the root
  bool test = false;
  std::vector<std::string> tokens;
};

// ---------------------------------------------------------------- tables

struct hook_table {
  std::string type, header;
  std::vector<std::string> fields;  // function-pointer fields, in order
  bool only_pointers = true;        // no other data members (positional fills map)
  std::set<std::string> instances;
  std::string name;  // the instance its header declares extern: how reports name the table
};

// The structs of a header whose members include function pointers.
void find_tables(const source_file& f, std::map<std::string, hook_table>& tables) {
  const std::vector<std::string>& t = f.tokens;
  for (size_t i = 0; i + 2 < t.size(); ++i) {
    if (t[i] != "struct" || !ident_start(t[i + 1][0]) || t[i + 2] != "{") continue;
    hook_table table;
    table.type = t[i + 1];
    table.header = f.path;
    const size_t end = closing(t, i + 2);
    size_t start = i + 3;
    for (size_t j = start; j < end; ++j) {
      if (t[j] == "{" || t[j] == "(" || t[j] == "[") {
        j = closing(t, j);
        // A member function's body ends its statement without a ';'.
        if (t[j] == "}" && j + 1 < end && t[j + 1] != ";" && t[j + 1] != "," && t[start] != "=") start = j + 1;
        continue;
      }
      if (t[j] != ";") continue;
      // One member statement [start, j): a pointer field is "R ( * name ) (" with no '(' before.
      size_t paren = start;
      while (paren < j && t[paren] != "(") ++paren;
      if (paren + 4 < j && t[paren + 1] == "*" && ident_start(t[paren + 2][0]) && t[paren + 3] == ")" &&
          t[paren + 4] == "(") {
        table.fields.push_back(t[paren + 2]);
      } else if (paren == j && j > start && t[start] != "using" && t[start] != "static" &&
                 t[start] != "friend" && t[start] != "struct") {
        table.only_pointers = false;  // a data member
      } else if (paren < j) {
        // A member function or a data member with a parenthesised initialiser.
        bool function = paren > start && ident_start(t[paren - 1][0]) && t[paren - 1] != "decltype";
        if (!function) table.only_pointers = false;
      }
      start = j + 1;
    }
    if (!table.fields.empty()) tables[table.type] = table;
    i = end;
  }
}

// Variables of a table's type: "T name;", "T name[...]", "T name = ...",
// "T name{...}", references and pointers too.
void find_instances(const source_file& f, std::map<std::string, hook_table>& tables) {
  const std::vector<std::string>& t = f.tokens;
  for (size_t i = 0; i + 2 < t.size(); ++i) {
    auto it = tables.find(t[i]);
    if (it == tables.end() || (i > 0 && (t[i - 1] == "struct" || t[i - 1] == "::"))) continue;
    size_t j = i + 1;
    while (j < t.size() && (t[j] == "&" || t[j] == "*" || t[j] == "const")) ++j;
    if (j + 1 >= t.size() || !ident_start(t[j][0])) continue;
    const std::string& next = t[j + 1];
    if (next != ";" && next != "=" && next != "{" && next != "[") continue;
    it->second.instances.insert(t[j]);
    const bool declared_extern = (i > 0 && t[i - 1] == "extern") || (i > 1 && t[i - 2] == "extern");
    if (declared_extern && it->second.name.empty()) it->second.name = t[j];
  }
}

bool empty_value(const std::vector<std::string>& t, size_t at) {
  if (at >= t.size()) return true;
  return t[at] == "nullptr" || t[at] == "NULL" || (t[at] == "0" && at + 1 < t.size() && t[at + 1] == ";") ||
         (t[at] == "{" && at + 1 < t.size() && t[at + 1] == "}");
}

// Fields a brace initialiser at `open` fills: designated ".f = v", or the
// first n fields of an all-pointer table for n positional values.
void fields_of_initialiser(const std::vector<std::string>& t, size_t open, const hook_table& table,
                           std::set<std::string>& filled) {
  const size_t end = closing(t, open);
  bool designated = false;
  std::vector<size_t> values{open + 1};
  for (size_t k = open + 1; k < end; ++k) {
    if (t[k] == "{" || t[k] == "(" || t[k] == "[") {
      k = closing(t, k);
      continue;
    }
    if (t[k] == "." && k + 2 < end && t[k + 2] == "=") {
      designated = true;
      if (!empty_value(t, k + 3)) filled.insert(t[k + 1]);
    }
    if (t[k] == ",") values.push_back(k + 1);
  }
  if (designated || !table.only_pointers || end == open + 1) return;
  for (size_t v = 0; v < values.size() && v < table.fields.size(); ++v)
    if (values[v] < end && !empty_value(t, values[v])) filled.insert(table.fields[v]);
}

// Fields of `table` that `f` fills through any of its instances.
std::set<std::string> filled_fields(const source_file& f, const hook_table& table) {
  std::set<std::string> filled;
  const std::vector<std::string>& t = f.tokens;
  for (size_t i = 0; i + 1 < t.size(); ++i) {
    if (!table.instances.count(t[i]) || (i > 0 && (t[i - 1] == "." || t[i - 1] == "->"))) continue;
    size_t j = i + 1;
    if (t[j] == "[") j = closing(t, j) + 1;
    if (j + 2 < t.size() && (t[j] == "." || t[j] == "->") && t[j + 2] == "=") {
      if (!empty_value(t, j + 3)) filled.insert(t[j + 1]);
      continue;
    }
    // "name = T{...}", "name = {...}", "T name = {...}", "T name{...}".
    if (j < t.size() && t[j] == "=") ++j;
    if (j < t.size() && t[j] == table.type) ++j;
    if (j < t.size() && t[j] == "{") fields_of_initialiser(t, j, table, filled);
  }
  return filled;
}

std::vector<source_file> read_tree(const fs::path& root) {
  std::vector<source_file> files;
  for (const char* folder : {"src", "tests"}) {
    const fs::path base = root / folder;
    if (!fs::is_directory(base)) continue;
    for (const auto& e : fs::recursive_directory_iterator(base)) {
      const std::string ext = e.path().extension().string();
      if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp" && ext != ".inc")) continue;
      std::ifstream in(e.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      source_file f;
      f.path = fs::relative(e.path(), root).generic_string();
      f.test = std::string(folder) == "tests";
      f.tokens = tokenize(text.str());
      files.push_back(std::move(f));
    }
  }
  std::sort(files.begin(), files.end(), [](const source_file& a, const source_file& b) { return a.path < b.path; });
  return files;
}

// One line per field that no file of src/ fills: "table.field (type, header):
// assigned only in tests" or "... assigned nowhere".
std::vector<std::string> unwired_hooks(const std::vector<source_file>& files,
                                       const std::map<std::string, hook_table>& tables) {
  std::vector<std::string> out;
  for (const auto& [type, table] : tables) {
    if (table.instances.empty()) continue;  // a record passed as an argument, not a table filled at start-up
    std::set<std::string> in_src, in_tests;
    for (const source_file& f : files) {
      std::set<std::string> filled = filled_fields(f, table);
      (f.test ? in_tests : in_src).insert(filled.begin(), filled.end());
    }
    for (const std::string& field : table.fields) {
      if (in_src.count(field) || allowed(type, field)) continue;
      const std::string name = (table.name.empty() ? *table.instances.begin() : table.name) + "." + field + " (" + type + ", " + table.header + ")";
      out.push_back(name + (in_tests.count(field) ? ": assigned only in tests" : ": assigned nowhere"));
    }
  }
  return out;
}

std::map<std::string, hook_table> engine_tables(const std::vector<source_file>& files) {
  std::map<std::string, hook_table> tables;
  for (const source_file& f : files)
    if (!f.test && f.path.size() > 2 && f.path.compare(f.path.size() - 2, 2, ".h") == 0) find_tables(f, tables);
  for (const source_file& f : files)
    if (!f.test) find_instances(f, tables);
  return tables;
}

}  // namespace

int main(int argc, char** argv) {
  bool list = false;
  fs::path root = ".";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--tables") {
      list = true;
    } else {
      root = a;
    }
  }
  if (!fs::is_directory(root / "src")) {
    std::fprintf(stderr, "check-hooks: no src/ under %s\n", root.string().c_str());
    return 2;
  }
  const std::vector<source_file> files = read_tree(root);
  const std::map<std::string, hook_table> tables = engine_tables(files);
  if (list) {
    for (const auto& [type, table] : tables) {
      if (table.instances.empty()) continue;
      std::string line = type + " " + (table.name.empty() ? *table.instances.begin() : table.name);
      for (const std::string& f : table.fields) line += " " + f;
      std::printf("%s%s\n", line.c_str(), table.only_pointers ? "" : " (and data)");
    }
    return 0;
  }
  const std::vector<std::string> unwired = unwired_hooks(files, tables);
  for (const std::string& line : unwired) std::printf("%s\n", line.c_str());
  if (!unwired.empty()) {
    std::printf("hooks: %zu hook field(s) that the player's start-up never fills\n", unwired.size());
    return 1;
  }
  std::printf("hooks: every hook table field is filled in src/\n");
  return 0;
}
