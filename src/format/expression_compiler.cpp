#include "format/expression_compiler.h"

#include <cctype>
#include <charconv>
#include <cstring>

std::optional<int64_t> parse_integer_literal(std::string_view text, bool negative, const char** why) {
  const char* dummy = nullptr;
  const char*& reason = why ? *why : dummy;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    // Hexadecimal is the bit pattern: 0xFFFFFFFFFFFFFFFF is -1.
    std::string_view digits = text.substr(2);
    if (digits.empty()) return reason = "hexadecimal literal without digits", std::nullopt;
    if (digits.size() > 16) return reason = "hexadecimal literal longer than 16 digits", std::nullopt;
    uint64_t v = 0;
    for (char c : digits) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return reason = "malformed number", std::nullopt;
      v = (v << 4) | static_cast<uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return static_cast<int64_t>(negative ? 0 - v : v);
  }
  uint64_t v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || r.ptr != text.data() + text.size()) return reason = "malformed number", std::nullopt;
  if (r.ec != std::errc() || v > (negative ? (uint64_t{1} << 63) : static_cast<uint64_t>(INT64_MAX)))
    return reason = "integer literal out of range", std::nullopt;
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

namespace {

bool is_lead_byte(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool is_name_start(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || is_lead_byte(c); }
bool is_name_char(uint8_t c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

struct compile_error {
  std::string text;
  size_t position;
};

class parser {
 public:
  parser(std::string_view src, const expression_names& names) : s_(src), names_(names) {}

  std::vector<uint8_t> run() {
    skip_space();
    if (pos_ < s_.size()) parse_binary(0);
    skip_space();
    if (pos_ < s_.size()) fail("unexpected '" + std::string(1, s_[pos_]) + "'");
    return std::move(out_);
  }

 private:
  std::string_view s_;
  const expression_names& names_;
  size_t pos_ = 0;
  std::vector<uint8_t> out_;

  [[noreturn]] void fail(const std::string& what) { throw compile_error{what, pos_}; }

  void skip_space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) ++pos_;
  }
  bool accept(std::string_view tok) {
    skip_space();
    if (s_.substr(pos_, tok.size()) == tok) {
      pos_ += tok.size();
      return true;
    }
    return false;
  }
  void expect(std::string_view tok) {
    if (!accept(tok)) fail("expected '" + std::string(tok) + "'");
  }

  // Binary operators by precedence level, lowest first. Longer spellings are
  // listed before their prefixes.
  struct binary_op {
    std::string_view spelling;
    uint8_t record;
    std::string_view not_followed_by;  // so '|' does not take the first half of '||'
  };
  static constexpr int level_count = 9;
  static const std::vector<binary_op>& level(int n) {
    static const std::vector<binary_op> levels[level_count] = {
        {{"||", '|', ""}},
        {{"&&", '&', ""}},
        {{"|", 'O', "|"}},
        {{"^", '^', ""}},
        {{"&", 'A', "&"}},
        {{"==", '=', ""}, {"!=", '!', ""}},
        {{"<=", 'S', ""}, {">=", 'Z', ""}, {"<", '<', ""}, {">", '>', ""}},
        {{"+", '+', ""}, {"-", '-', ""}},
        {{"*", '*', ""}, {"/", '/', ""}, {"%", '%', ""}},
    };
    return levels[n];
  }

  const binary_op* match_operator(int n) {
    skip_space();
    for (const auto& op : level(n)) {
      if (s_.substr(pos_, op.spelling.size()) != op.spelling) continue;
      size_t after = pos_ + op.spelling.size();
      if (!op.not_followed_by.empty() && s_.substr(after, op.not_followed_by.size()) == op.not_followed_by) continue;
      pos_ = after;
      return &op;
    }
    return nullptr;
  }

  void parse_binary(int n) {
    if (n == level_count) {
      parse_unary();
      return;
    }
    parse_binary(n + 1);
    while (const binary_op* op = match_operator(n)) {
      parse_binary(n + 1);
      append_expression_record(out_, op->record);
    }
  }

  void parse_unary() {
    skip_space();
    if (accept("-")) {
      skip_space();
      // A negative literal is one record (and -9223372036854775808 fits).
      if (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
        parse_number(true);
        return;
      }
      parse_unary();
      append_expression_record(out_, 'R');
      return;
    }
    if (accept("+")) {
      parse_unary();
      return;
    }
    if (s_.substr(pos_, 1) == "!" && s_.substr(pos_, 2) != "!=") {
      ++pos_;
      parse_unary();
      append_integer_literal(out_, 0);
      append_expression_record(out_, '=');
      return;
    }
    parse_primary();
  }

  void parse_number(bool negative) {
    size_t start = pos_;
    if (s_.substr(pos_, 2) == "0x" || s_.substr(pos_, 2) == "0X") {
      pos_ += 2;
      auto hex_digit = [&] { return pos_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[pos_])); };
      while (hex_digit() && pos_ - start < 18) ++pos_;
      if (hex_digit()) fail("hexadecimal literal longer than 16 digits");
      const char* why = nullptr;
      auto v = parse_integer_literal(s_.substr(start, pos_ - start), negative, &why);
      if (!v) fail(why);
      append_integer_literal(out_, *v);
      return;
    }
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    bool real = false;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      real = true;
      ++pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      real = true;
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    }
    if (pos_ < s_.size() && is_name_start(static_cast<uint8_t>(s_[pos_]))) fail("malformed number");
    std::string_view text = s_.substr(start, pos_ - start);
    if (real) {
      double d = 0;
      auto r = std::from_chars(text.data(), text.data() + text.size(), d);
      if (r.ec != std::errc() || r.ptr != text.data() + text.size()) fail("malformed real literal");
      append_real_literal(out_, negative ? -d : d);
      return;
    }
    const char* why = nullptr;
    auto v = parse_integer_literal(text, negative, &why);
    if (!v) fail(why);
    append_integer_literal(out_, *v);
  }

  void parse_text() {
    ++pos_;  // opening quote
    std::string text;
    while (true) {
      if (pos_ >= s_.size()) fail("unclosed text literal");
      uint8_t c = static_cast<uint8_t>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        break;
      }
      if (is_lead_byte(c) && pos_ + 1 < s_.size()) {
        text.append(s_.substr(pos_, 2));
        pos_ += 2;
        continue;
      }
      if (c == '\\') {
        if (pos_ + 1 >= s_.size()) fail("unclosed text literal");
        char e = s_[pos_ + 1];
        if (e == 'n') text.push_back('\n');
        else if (e == 't') text.push_back('\t');
        else if (e == '\\' || e == '"') text.push_back(e);
        else fail("unknown escape");
        pos_ += 2;
        continue;
      }
      text.push_back(static_cast<char>(c));
      ++pos_;
    }
    if (!append_text_literal(out_, text)) fail("text literal cannot be encoded");
  }

  std::string_view read_name() {
    size_t start = pos_;
    while (pos_ < s_.size()) {
      uint8_t c = static_cast<uint8_t>(s_[pos_]);
      if (!is_name_char(c)) break;
      pos_ += (is_lead_byte(c) && pos_ + 1 < s_.size()) ? 2 : 1;
    }
    return s_.substr(start, pos_ - start);
  }

  void parse_variable(uint8_t prefix) {
    skip_space();
    uint32_t id;
    size_t at = pos_;
    if (accept("@")) {
      size_t start = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      auto r = std::from_chars(s_.data() + start, s_.data() + pos_, id);
      if (r.ec != std::errc() || id > 0xFFFF) fail("bad variable id");
    } else {
      if (pos_ >= s_.size() || !is_name_start(static_cast<uint8_t>(s_[pos_]))) fail("expected a variable name");
      std::string_view name = read_name();
      auto it = names_.find(name);
      if (it == names_.end()) {
        pos_ = at;
        fail("unknown variable '" + std::string(name) + "'");
      }
      id = it->second;
      if (id > 0xFFFF) fail("variable id above 65535");
    }
    if (!accept("[")) {
      append_variable_reference(out_, 'H', id, prefix);
      return;
    }
    if (accept("]")) {
      append_variable_reference(out_, 'v', id, prefix);
      return;
    }
    append_variable_reference(out_, 'V', id, prefix);
    while (true) {
      parse_binary(0);
      if (accept(",")) continue;
      expect("]");
      if (accept("[")) continue;
      break;
    }
    append_expression_record(out_, ')');
  }

  void parse_primary() {
    skip_space();
    if (pos_ >= s_.size()) fail("expected a value");
    uint8_t c = static_cast<uint8_t>(s_[pos_]);
    if (c == '(') {
      ++pos_;
      parse_binary(0);
      expect(")");
      return;
    }
    if (c >= '0' && c <= '9') {
      parse_number(false);
      return;
    }
    if (c == '"') {
      parse_text();
      return;
    }
    if (c == '#' || c == '`') {
      ++pos_;
      parse_variable(c);
      return;
    }
    if (c == '@') {
      parse_variable(0);
      return;
    }
    if (is_name_start(c)) {
      size_t at = pos_;
      std::string_view name = read_name();
      skip_space();
      bool call = pos_ < s_.size() && s_[pos_] == '(';
      if (call && (name == "str" || name == "num")) {
        ++pos_;
        parse_binary(0);
        expect(")");
        append_expression_record(out_, name == "str" ? 's' : 'i');
        return;
      }
      pos_ = at;
      parse_variable(0);
      return;
    }
    fail("unexpected '" + std::string(1, static_cast<char>(c)) + "'");
  }
};

}  // namespace

expression_compile_result compile_expression(std::string_view source, const expression_names& names) {
  expression_compile_result result;
  try {
    parser p(source, names);
    result.bytes = p.run();
    result.ok = true;
  } catch (const compile_error& e) {
    result.error = e.text;
    result.position = e.position;
  }
  return result;
}

void append_expression_record(std::vector<uint8_t>& out, uint8_t op, const std::vector<uint8_t>& payload) {
  out.push_back(op);
  out.push_back(static_cast<uint8_t>(payload.size()));
  out.push_back(static_cast<uint8_t>(payload.size() >> 8));
  out.insert(out.end(), payload.begin(), payload.end());
}

void append_integer_literal(std::vector<uint8_t>& out, int64_t value) {
  uint8_t op;
  int bytes;
  if (value >= INT8_MIN && value <= INT8_MAX) op = 'B', bytes = 1;
  else if (value >= INT16_MIN && value <= INT16_MAX) op = 'W', bytes = 2;
  else if (value >= INT32_MIN && value <= INT32_MAX) op = 'I', bytes = 4;
  else op = 'L', bytes = 8;
  std::vector<uint8_t> payload;
  uint64_t bits = static_cast<uint64_t>(value);
  for (int i = 0; i < bytes; ++i) payload.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  append_expression_record(out, op, payload);
}

void append_real_literal(std::vector<uint8_t>& out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  std::vector<uint8_t> payload;
  for (int i = 0; i < 8; ++i) payload.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  append_expression_record(out, 'F', payload);
}

bool append_text_literal(std::vector<uint8_t>& out, std::string_view text) {
  // Single-byte characters in use (trail bytes are never read as delimiters).
  bool used[128] = {};
  std::vector<uint8_t> body;
  for (size_t i = 0; i < text.size(); ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (is_lead_byte(c)) {
      if (i + 1 >= text.size()) return false;  // a lead byte without its second byte
      body.push_back(c);
      body.push_back(static_cast<uint8_t>(text[++i]));
      continue;
    }
    if (c < 128) used[c] = true;
    if (c == '\\') body.push_back('\\');
    body.push_back(c);
  }
  static const char preferred[] = "\"'|`#$~^";
  int delimiter = -1;
  for (const char* p = preferred; *p; ++p)
    if (!used[static_cast<uint8_t>(*p)]) {
      delimiter = static_cast<uint8_t>(*p);
      break;
    }
  for (int c = 1; delimiter < 0 && c < 128; ++c)
    if (!used[c] && c != '\\') delimiter = c;
  if (delimiter < 0 || body.size() + 2 > 0xFFFF) return false;
  std::vector<uint8_t> payload;
  payload.reserve(body.size() + 2);
  payload.push_back(static_cast<uint8_t>(delimiter));
  payload.insert(payload.end(), body.begin(), body.end());
  payload.push_back(static_cast<uint8_t>(delimiter));
  append_expression_record(out, 'M', payload);
  return true;
}

void append_variable_reference(std::vector<uint8_t>& out, uint8_t op, uint32_t id, uint8_t prefix) {
  append_expression_record(out, op,
                           {static_cast<uint8_t>(prefix ? prefix : ' '), static_cast<uint8_t>(id),
                            static_cast<uint8_t>(id >> 8)});
}
