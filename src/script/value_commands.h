// The text and one-dimensional array utility command (89) and the variable
// information command (90).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

int cmd_string_array_util();  // 89
int cmd_variable_info();      // 90

// Reads a text as a number the way the evaluator's conversion does: "0x" and
// 1 to 16 hexadecimal digits (ended by the text's end or 'h' / 'H'), or only
// digits, '.' and '-' (with a '.' a real, else a saturating integer). False
// when the text is neither. An empty text is the integer 0.
bool parse_number_text(std::string_view text, bool& is_real, int64_t& int_value, double& real_value);

// Array element moves of a one-dimensional variable of any type: insert
// shifts elements index .. n-2 up and clears `index`; remove shifts index+1 ..
// n-1 down and clears the last. -1 when the variable is not one-dimensional
// or the index lies outside 0..n-1 (nothing changes).
int array_insert_element(uint32_t id, int64_t index);
int array_remove_element(uint32_t id, int64_t index);
