// Task-state texts: a task's position, script and block, call and loop stacks
// written as letters ('a' + one 4-bit digit, most significant first; two per
// byte, eight per 32-bit value) after an 8-byte magic, and read back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct task_record;

constexpr size_t task_state_magic_length = 8;
// Deepest stack a state may hold: a 64th open block, call or loop is an error
// of the control-flow commands, so no running task ever has more than 63.
constexpr int task_state_max_depth = 63;
// A source name is read back at most this long; the writer cuts it the same.
constexpr size_t task_state_name_max = 262;
// Fixed part: magic, three counts, mark, position and name length.
constexpr size_t task_state_fixed_length = 8 + 2 + 2 + 2 + 24;
constexpr size_t task_state_block_length = 18;
constexpr size_t task_state_call_length = 20;
constexpr size_t task_state_loop_length = 34;

struct task_state_block {
  uint8_t saved_loop_depth = 0;
  uint32_t open_index = 0;
  uint32_t end_index = 0;
};
struct task_state_call {
  int8_t saved_block_depth = 0;
  int8_t saved_loop_depth = 0;
  uint32_t return_index = 0;
  uint16_t return_script = 0;
};
struct task_state_loop {
  uint8_t saved_block_depth = 0;
  uint32_t body_start = 0;
  uint32_t end_index = 0;
  int64_t counter = 0;  // only the low 32 bits travel, read back sign-extended
  int64_t limit = 0;
};

// Everything a state text carries.
struct task_state_image {
  std::vector<task_state_block> blocks;
  std::vector<task_state_call> calls;
  std::vector<task_state_loop> loops;
  uint32_t mark = 0;  // first word of the message mark
  uint32_t pc = 0;
  std::string name;  // the current script's source name
};

enum : int { task_state_bad_magic = -1, task_state_malformed = -2 };

// Writes the text (the name cut to task_state_name_max bytes). The caller
// keeps the stacks within task_state_max_depth.
void write_task_state(const task_state_image& image, std::string& out);
// Reads a text into `image`: the number of characters read, or
// task_state_bad_magic / task_state_malformed (a digit that is no letter
// 'a'..'p', a count or saved depth above task_state_max_depth, a return
// script above 16 bits, or a text that ends before its last field). Trailing
// characters after the name are not read. `image` is written only on success.
int parse_task_state(std::string_view text, task_state_image& image);
