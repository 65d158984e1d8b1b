// Loaders of the compiled files under kxbin\ (engine configuration, variable
// count, script list, labels, initial-variable image, error texts). Each finds
// its file through the resource locator, reads it whole, parses it with
// bounds checks and fills its global record only when the whole file is good.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/compiled_files.h"

// kxbin\kxt.kbn: the variable store allocates variable_count + 1 records.
struct variable_count_record {
  uint32_t variable_count = 0;
  uint32_t system_value_114 = 0;  // handed out as system integer value 114
  uint8_t loaded = 0;
};
extern variable_count_record variable_counts;

// kxbin\kxt_list.kbn.
struct script_name_list_record {
  uint32_t script_count = 0;
  std::vector<std::string> names;           // by script number; "" where no record named it
  std::vector<uint32_t> entry_values;       // by record order
};
extern script_name_list_record script_name_list;

// kxbin\kxl.kbn: labels in hash order and the 256-entry bucket table
// (entry b: the first label whose hash >> 24 is b).
struct label_table_record {
  std::vector<compiled_label_record> labels;
  std::array<uint32_t, 256> buckets{};
};
extern label_table_record label_table;

// kxbin\kxv.kbn, kept whole for the variable store (scripts loaded later
// apply their own records from it).
extern std::vector<uint8_t> initial_variable_image;

// Finds `name` through the locator and reads it whole. 0, or -1 after the
// report (104060 missing, 901040 pack not openable, the reader's own codes).
int load_compiled_file(std::string_view name, std::vector<uint8_t>& out);

// Each returns 0, or nonzero after reporting (quit set).
int load_engine_config();
int load_error_texts();
int load_variable_table();
int load_script_name_list();
int load_variable_image();
int load_label_table();

// The parse-and-install halves, for callers that already hold the bytes.
int install_engine_config(const uint8_t* data, size_t size);
int install_error_texts(const uint8_t* data, size_t size);
int install_variable_counts(const uint8_t* data, size_t size);
int install_script_name_list(const uint8_t* data, size_t size);
int install_label_table(const uint8_t* data, size_t size);

// Back to the start-up state (tests and restart).
void reset_compiled_tables();
