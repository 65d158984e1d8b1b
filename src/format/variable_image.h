// The initial-variable image kxbin\kxv.kbn: u16 record count at byte 8, records
// from byte 10, each: u8 scope, u16 script number, u16 variable id, u8 type,
// u8 dimension count, that many u32 sizes, then the initial value (type 1:
// int64, type 2: double, type 3: u16 length and a text expression).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum : uint8_t { image_scope_global = 1, image_scope_script = 2, image_scope_global_alt = 3 };

struct initial_variable_entry {
  uint8_t scope = image_scope_global;
  uint16_t script_number = 0;
  uint16_t variable_id = 0;
  uint8_t type = 1;  // 1 integer, 2 real, 3 text
  std::vector<uint32_t> dimensions{1};
  int64_t int_value = 0;
  double real_value = 0.0;
  std::vector<uint8_t> text_expression;  // compiled expression records (mode 3)
};

constexpr size_t variable_image_header_size = 10;

// Writes the image; the header is "KXV\0", version 553, the u16 count.
std::vector<uint8_t> write_variable_image(const std::vector<initial_variable_entry>& entries);

// The system variables the compiler declares (ids below 1000), each global,
// one-dimensional, with a zero or empty initial value.
struct system_variable_layout {
  uint16_t id;
  uint8_t type;   // 1 integer, 2 real, 3 text
  uint32_t size;  // elements
};
const std::vector<system_variable_layout>& system_variable_layouts();
// The declaration entries of those variables, ready for write_variable_image.
std::vector<initial_variable_entry> system_variable_entries();
// The type of a system id: from the layouts, integer for any other id.
uint8_t system_variable_type(uint32_t id);
