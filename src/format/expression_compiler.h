// Compiles readable infix expressions into the player's expression records
// (u8 operation, u16 little-endian payload length, payload; postfix order).
// Used by kxtool's script listings and by the tests. Syntax: docs/expressions.md.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Variable names (Shift-JIS) to variable ids.
using expression_names = std::map<std::string, uint32_t, std::less<>>;

struct expression_compile_result {
  bool ok = false;
  std::vector<uint8_t> bytes;
  std::string error;  // what went wrong, for the author
  size_t position = 0;  // byte offset of the error in the source
};

// `source` is Shift-JIS (ASCII operators, double-byte characters allowed in
// names and text literals).
expression_compile_result compile_expression(std::string_view source, const expression_names& names);

// An integer literal as expressions read it (text without sign; `negative`
// for a leading '-'): decimal within int64, or "0x" with 1 to 16 hexadecimal
// digits taken as the 64-bit pattern. Nothing on a malformed or out-of-range
// text, with the reason in *why.
std::optional<int64_t> parse_integer_literal(std::string_view text, bool negative, const char** why = nullptr);

// Record builders, for writers and for tests that need exact or damaged bytes.
void append_expression_record(std::vector<uint8_t>& out, uint8_t op, const std::vector<uint8_t>& payload = {});
// The smallest of 'B', 'W', 'I', 'L' that holds the value.
void append_integer_literal(std::vector<uint8_t>& out, int64_t value);
void append_real_literal(std::vector<uint8_t>& out, double value);
// 'M' with a delimiter that does not occur in the text; backslashes escaped.
// False when the text cannot be encoded (too long, or no free delimiter).
bool append_text_literal(std::vector<uint8_t>& out, std::string_view text);
// 'H', 'V' or 'v' with a prefix byte (0, '`' or '#').
void append_variable_reference(std::vector<uint8_t>& out, uint8_t op, uint32_t id, uint8_t prefix = 0);
