// The variable store: one table of variable records indexed by the id the
// compiler assigns. Ids below 1000 are system variables computed when read;
// ids from 1000 up are the game's integer, real and text variables of one to
// eight dimensions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/compiled_files.h"

enum : uint8_t { variable_type_none = 0, variable_type_int = 1, variable_type_real = 2, variable_type_text = 3 };

constexpr uint32_t first_user_variable = 1000;
constexpr uint64_t max_variable_elements = 4000000;
constexpr uint32_t max_dimension_count = 8;

struct variable_record {
  uint8_t type;  // variable_type_*
  uint8_t dimension_count;
  uint32_t dimensions[max_dimension_count];
  uint64_t element_count;
  int64_t* int_values;       // type 1
  double* real_values;       // type 2
  char** text_values;        // type 3: element_count heap texts, zero-terminated
  uint32_t* text_capacities; // allocated size of each text
};

struct variable_table_record {
  uint32_t variable_count = 0;  // the variable file's count + 1
  variable_record* records = nullptr;
  uint32_t header_value = 0;          // kxt.kbn +12, system value 114
  std::vector<uint8_t> initial_image; // kxv.kbn, kept whole
  ~variable_table_record();
};
extern variable_table_record variable_table;

// Builds the table from the variable file: `file_variable_count` + 1 zero-filled
// records; `header_value` is the file's +12 field. Frees any previous table.
// 0, or -1 after 100010.
int create_variable_table(uint32_t file_variable_count, uint32_t header_value);
// Frees every record's values and the table.
void destroy_variable_table();
// Keeps the initial-variable image (kxbin\kxv.kbn) for init_static_variables.
void set_initial_variable_image(std::vector<uint8_t> bytes);

// The record of an id, or null past the table (inline: every variable read
// of the decoded fast paths starts here).
inline variable_record* find_variable(uint32_t id) {
  return id < variable_table.variable_count ? &variable_table.records[id] : nullptr;
}

// Element access. Reads outside the variable give 0, 0.0 or null.
int64_t get_int_element(uint32_t id, int64_t index);
double get_real_element(uint32_t id, int64_t index);
const char* get_string_element(uint32_t id, int64_t index);
int set_numeric_element(uint32_t id, int64_t index, int64_t value);
int set_real_element(uint32_t id, int64_t index, double value);
int set_string_element(uint32_t id, int64_t index, const char* text);
int set_string_element_n(uint32_t id, int64_t index, const char* bytes, size_t length);

// Recounts element_count from the record's dimensions (101100 above 4,000,000,
// 101110 for zero elements; both fatal). 0 or -1.
int update_element_count(uint32_t id);
// Element count for a layout, checked after every factor: 0 when a size is 0,
// max_variable_elements + 1 when the product passes the limit.
uint64_t count_elements(uint32_t dimension_count, const uint32_t* dimensions);

int resize_array_1d(uint32_t id, int64_t new_size);

// Declarations with the layout the caller has written into the record.
int declare_int_variable(uint32_t id, int64_t value);
int declare_real_variable(uint32_t id, double value);
int declare_string_variable(uint32_t id, const char* text, size_t length);
// The same with the layout given; the record changes only on success.
int declare_int_variable(uint32_t id, uint32_t dimension_count, const uint32_t* dimensions, int64_t value);
int declare_real_variable(uint32_t id, uint32_t dimension_count, const uint32_t* dimensions, double value);
int declare_string_variable(uint32_t id, uint32_t dimension_count, const uint32_t* dimensions, const char* text,
                            size_t length);

// Applies the initial-variable image: key -1 the global records (scopes 1 and
// 3), a script number the scope-2 records of that script. 0, or -1 after the
// first failure (reported).
int init_static_variables(int key);
