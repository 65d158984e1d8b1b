// Layouts of the compiled files under kxbin\ (all little-endian, Shift-JIS
// strings), with a writer and a bounds-checked parser for each. Every file
// starts with a 16-byte header: four magic bytes (not checked), u32 version,
// u32 record count, u32 meaning per file.
//
// Parsers never read past the buffer: a length, offset or count that does not
// fit gives compiled_truncated (the player reports it as 104010).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t compiled_file_version = 553;
constexpr size_t compiled_header_size = 16;

// Parser results.
enum : int {
  compiled_ok = 0,
  compiled_truncated = 104010,        // a length, count or string runs past the file
  compiled_bad_version = 105000,      // kxt.kbn not of version 553
  compiled_script_out_of_range = 901030,
};

// ---------------------------------------------------------------- kxcfg.kbn

struct compiled_engine_config {
  uint32_t main_width = 640;
  uint32_t main_height = 480;
  uint32_t main_window_kind = 1;
  std::array<uint8_t, 8> image_order = {1, 2, 3, 4, 0, 0, 0, 0};
  std::array<uint8_t, 4> sound_order = {1, 2, 0, 0};
  uint32_t frame_thread_mode = 0;
  uint32_t debug_switch = 0;
  uint32_t sound_on = 1;
  uint32_t keep_thick_frame = 0;
  uint32_t main_window_style = 0;
  uint32_t kept_flag = 0;
  uint32_t dev_loose_first = 0;
  uint32_t release_loose_first = 0;
  uint32_t unread_72 = 0;
  std::string title;  // Shift-JIS, any length up to 65535 (the player refuses 129+)
};
std::vector<uint8_t> write_engine_config_file(const compiled_engine_config& c);
int parse_engine_config_file(const uint8_t* data, size_t size, compiled_engine_config& out);

// ---------------------------------------------------------------- kxt.kbn

struct compiled_variable_counts {
  uint32_t version = compiled_file_version;
  uint32_t variable_count = 0;  // the variable table gets this + 1 records
  uint32_t system_value_114 = 0;
};
std::vector<uint8_t> write_variable_count_file(const compiled_variable_counts& c);
// Checks the version too (105000).
int parse_variable_count_file(const uint8_t* data, size_t size, compiled_variable_counts& out);

// ---------------------------------------------------------------- kxt_list.kbn

struct compiled_script_record {
  uint32_t script_number = 0;
  std::string source_name;  // Shift-JIS
  uint32_t entry_value = 0;
};
std::vector<uint8_t> write_script_list_file(const std::vector<compiled_script_record>& scripts);
// Records in file order. Bounds only; the script number check is the loader's.
int parse_script_list_file(const uint8_t* data, size_t size, uint32_t& script_count,
                           std::vector<compiled_script_record>& out);

// ---------------------------------------------------------------- kxl.kbn

constexpr size_t label_records_offset = 1036;  // magic, version, count, then 256 buckets from 12

struct compiled_label_record {
  std::string name;  // at most 255 bytes
  uint32_t hash = 0;  // MurmurHash2 of the name; the writer fills it
  uint32_t position = 0;
  uint16_t script_number = 0;
  uint8_t block_depth = 0;
  uint8_t loop_depth = 0;
};
struct compiled_label_file {
  std::vector<compiled_label_record> labels;  // in hash order
  std::array<uint32_t, 256> buckets{};        // first label whose hash >> 24 is b (0 for b = 0)
};
// Sorts the labels by hash, fills their hashes and the bucket table.
std::vector<uint8_t> write_label_file(std::vector<compiled_label_record> labels);
int parse_label_file(const uint8_t* data, size_t size, compiled_label_file& out);

// ---------------------------------------------------------------- kxe.kbn

struct compiled_error_text {
  int32_t code = 0;
  std::string text;  // Shift-JIS, no zero byte inside
};
std::vector<uint8_t> write_error_text_file(const std::vector<compiled_error_text>& texts);
// Reads at most `limit` records (the player keeps 256); later records are not
// looked at.
int parse_error_text_file(const uint8_t* data, size_t size, std::vector<compiled_error_text>& out,
                          size_t limit = 256);

// ---------------------------------------------------------------- kxc.kbn

constexpr size_t command_errno_text_count = 37;
constexpr size_t command_tail_table_size = 256;

struct compiled_parameter {
  std::string name;
  uint8_t kind = 0;         // 0 integer expression, 1 string, 2 raw
  uint8_t range_check = 0;  // 0 none, 1..28
  // Authoring knowledge, not stored in the file: the parameter names a
  // variable (an output, or the variable a command reads or fills), so the
  // assembler refuses a literal there.
  bool takes_variable = false;
};
struct compiled_command {
  std::string name;
  std::vector<compiled_parameter> parameters;  // index = parameter_id; at most 255
};
struct compiled_command_file {
  std::vector<compiled_command> commands;
  std::vector<std::string> errno_texts;  // 37
  std::array<uint8_t, command_tail_table_size> tail{};
};
std::vector<uint8_t> write_command_file(const compiled_command_file& f);
int parse_command_file(const uint8_t* data, size_t size, compiled_command_file& out);

// The C runtime's texts of error numbers 0 to 36, as the command file carries them.
const std::vector<std::string>& default_errno_texts();

// ---------------------------------------------------------------- kxt%05d.kbn

// A compiled code file: instructions of 4 bytes (command, argument count, flag
// byte, unused), argument records of 12 bytes (parameter_id, unused, value
// type, assignment operator, u32 length, u32 offset), the expression pool and
// one u32 source line per instruction. The four sections are scrambled with
// the code-file key.
struct compiled_argument {
  uint8_t parameter_id = 0;
  uint8_t value_type = 1;
  uint8_t assignment_operator = 0;
  uint32_t length = 0;
  uint32_t offset = 0;
};
struct compiled_instruction {
  uint8_t command = 0;
  uint8_t flags = 0;
  std::vector<compiled_argument> arguments;  // at most 255
  uint32_t source_line = 0;
};
struct compiled_code_file {
  std::vector<compiled_instruction> instructions;
  std::vector<uint8_t> expression_pool;
};
std::vector<uint8_t> write_code_file(const compiled_code_file& f, const std::array<uint8_t, 4>& key);

// "kxbin\kxt%05d.kbn"
std::string code_file_name(uint32_t script_number);
