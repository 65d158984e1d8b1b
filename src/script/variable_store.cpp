#include "script/variable_store.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/error_report.h"
#include "format/byte_io.h"
#include "script/expression.h"
#include "script/system_values.h"

variable_table_record variable_table;

namespace {

// Frees the value arrays by the layout they were made with.
void free_values(variable_record& v) {
  if (v.text_values) {
    for (uint64_t i = 0; i < v.element_count; ++i) std::free(v.text_values[i]);
  }
  // Most records of a table hold nothing: skip the calls (free is not free
  // under the sanitizers, and tables are made and dropped per game).
  for (void* block : {static_cast<void*>(v.int_values), static_cast<void*>(v.real_values),
                      static_cast<void*>(v.text_values), static_cast<void*>(v.text_capacities)})
    if (block) std::free(block);
  v.int_values = nullptr;
  v.real_values = nullptr;
  v.text_values = nullptr;
  v.text_capacities = nullptr;
}

bool inside(const variable_record* v, int64_t index) {
  return v && index >= 0 && static_cast<uint64_t>(index) < v->element_count;
}

void report_memory() { report_error_at_line(100010, 1); }

// Checks a layout; reports and returns 0 when it is refused.
uint64_t checked_count(uint32_t dimension_count, const uint32_t* dimensions) {
  if (dimension_count > max_dimension_count) {
    report_error_at_line(107010, 1);
    return 0;
  }
  uint64_t n = count_elements(dimension_count, dimensions);
  if (n > max_variable_elements) {
    report_error_at_line_fmt(101100, 1, static_cast<int64_t>(max_variable_elements));
    return 0;
  }
  if (n == 0) {
    report_error_at_line(101110, 1);
    return 0;
  }
  return n;
}

// Stores a new layout and value arrays after the old arrays are gone.
void commit(variable_record& v, uint8_t type, uint32_t dimension_count, const uint32_t* dimensions, uint64_t count,
            int64_t* ints, double* reals, char** texts, uint32_t* capacities) {
  free_values(v);
  uint32_t dims[max_dimension_count] = {};
  for (uint32_t i = 0; i < dimension_count; ++i) dims[i] = dimensions[i];
  v.type = type;
  v.dimension_count = static_cast<uint8_t>(dimension_count);
  std::memcpy(v.dimensions, dims, sizeof dims);
  v.element_count = count;
  v.int_values = ints;
  v.real_values = reals;
  v.text_values = texts;
  v.text_capacities = capacities;
}

variable_record* declarable(uint32_t id) {
  variable_record* v = find_variable(id);
  if (!v) report_error_at_line(108010, 1);
  return v;
}

// Copies a text into an element's buffer, growing it when its capacity is short.
int store_text(variable_record& v, uint64_t index, const char* bytes, size_t length) {
  size_t need = length + 1;
  if (need > UINT32_MAX) return -1;
  if (!v.text_values[index] || v.text_capacities[index] < need) {
    char* grown = static_cast<char*>(std::realloc(v.text_values[index], need));
    if (!grown) {
      report_memory();
      return -1;
    }
    v.text_values[index] = grown;
    v.text_capacities[index] = static_cast<uint32_t>(need);
  }
  if (length) std::memcpy(v.text_values[index], bytes, length);
  v.text_values[index][length] = 0;
  return 0;
}

uint8_t effective_type(uint32_t id, const variable_record* v) {
  uint8_t type = v ? v->type : uint8_t{variable_type_none};
  if (id < first_user_variable && type == variable_type_none) type = system_value_kind(id);
  return type;
}

// Text of a system variable that has no text record to live in.
std::string system_text_fallback;

}  // namespace

variable_table_record::~variable_table_record() {
  for (uint32_t i = 0; i < variable_count; ++i) free_values(records[i]);
  delete[] records;
}

int create_variable_table(uint32_t file_variable_count, uint32_t header_value) {
  destroy_variable_table();
  uint64_t count = static_cast<uint64_t>(file_variable_count) + 1;
  if (count > UINT32_MAX) {
    report_error(100010, 1);
    return -1;
  }
  variable_record* records = new (std::nothrow) variable_record[count]();
  if (!records) {
    report_error(100010, 1);
    return -1;
  }
  variable_table.records = records;
  variable_table.variable_count = static_cast<uint32_t>(count);
  variable_table.header_value = header_value;
  return 0;
}

void destroy_variable_table() {
  for (uint32_t i = 0; i < variable_table.variable_count; ++i) free_values(variable_table.records[i]);
  delete[] variable_table.records;
  variable_table.records = nullptr;
  variable_table.variable_count = 0;
}

void set_initial_variable_image(std::vector<uint8_t> bytes) { variable_table.initial_image = std::move(bytes); }


int64_t get_int_element(uint32_t id, int64_t index) {
  variable_record* v = find_variable(id);
  uint8_t type = effective_type(id, v);
  if (id < first_user_variable) {
    if (v && v->type != variable_type_none && !inside(v, index)) return 0;
    if (type == variable_type_int) return system_int_value(id, index);
    if (type == variable_type_real) return saturate_to_int64(system_real_value(id, index));
    return 0;
  }
  if (!inside(v, index)) return 0;
  if (type == variable_type_int) return v->int_values[index];
  if (type == variable_type_real) return saturate_to_int64(v->real_values[index]);
  return 0;
}

double get_real_element(uint32_t id, int64_t index) {
  variable_record* v = find_variable(id);
  uint8_t type = effective_type(id, v);
  if (id < first_user_variable) {
    if (v && v->type != variable_type_none && !inside(v, index)) return 0.0;
    if (type == variable_type_real) return system_real_value(id, index);
    if (type == variable_type_int) return static_cast<double>(system_int_value(id, index));
    return 0.0;
  }
  if (!inside(v, index)) return 0.0;
  if (type == variable_type_real) return v->real_values[index];
  if (type == variable_type_int) return static_cast<double>(v->int_values[index]);
  return 0.0;
}

const char* get_string_element(uint32_t id, int64_t index) {
  variable_record* v = find_variable(id);
  uint8_t type = effective_type(id, v);
  if (type != variable_type_text) return nullptr;
  if (id < first_user_variable) {
    if (v && v->type != variable_type_none && !inside(v, index)) return nullptr;
    std::string text;
    if (system_string_variable(id, index, text) != 0) return nullptr;
    text.resize(truncate_sjis(text.data(), static_cast<uint32_t>(text.size()), string_slot_size - 1));
    if (v && v->type == variable_type_text) {
      if (store_text(*v, static_cast<uint64_t>(index), text.data(), text.size()) != 0) return nullptr;
      return v->text_values[index];
    }
    system_text_fallback = std::move(text);
    return system_text_fallback.c_str();
  }
  if (!inside(v, index)) return nullptr;
  return v->text_values[index] ? v->text_values[index] : "";
}

int set_numeric_element(uint32_t id, int64_t index, int64_t value) {
  variable_record* v = find_variable(id);
  if (!inside(v, index)) return -1;
  switch (v->type) {
    case variable_type_int: v->int_values[index] = value; return 0;
    case variable_type_real: v->real_values[index] = static_cast<double>(value); return 0;
    default: report_error_at_line(101140, 1); return -1;
  }
}

int set_real_element(uint32_t id, int64_t index, double value) {
  variable_record* v = find_variable(id);
  if (!inside(v, index)) return -1;
  switch (v->type) {
    case variable_type_real: v->real_values[index] = value; return 0;
    case variable_type_int: v->int_values[index] = saturate_to_int64(value); return 0;
    default: report_error_at_line(101140, 1); return -1;
  }
}

int set_string_element(uint32_t id, int64_t index, const char* text) {
  return set_string_element_n(id, index, text ? text : "", text ? std::strlen(text) : 0);
}

int set_string_element_n(uint32_t id, int64_t index, const char* bytes, size_t length) {
  variable_record* v = find_variable(id);
  if (!inside(v, index)) return -1;
  if (v->type != variable_type_text) {
    report_error_at_line(101140, 1);
    return -1;
  }
  return store_text(*v, static_cast<uint64_t>(index), bytes, length);
}

uint64_t count_elements(uint32_t dimension_count, const uint32_t* dimensions) {
  if (dimension_count == 0) return 0;
  uint64_t n = 1;
  for (uint32_t i = 0; i < dimension_count && i < max_dimension_count; ++i) {
    n *= dimensions[i];  // both factors at most 2^32 and 4,000,000: no overflow
    if (n == 0) return 0;
    if (n > max_variable_elements) return max_variable_elements + 1;
  }
  return n;
}

int update_element_count(uint32_t id) {
  variable_record* v = find_variable(id);
  if (!v) {
    report_error_at_line(108010, 1);
    return -1;
  }
  uint64_t n = checked_count(v->dimension_count, v->dimensions);
  if (n == 0) return -1;
  // The count describes the value arrays: it changes together with them
  // (declarations and resizes), never on its own.
  if (!v->int_values && !v->real_values && !v->text_values) v->element_count = n;
  return 0;
}

int resize_array_1d(uint32_t id, int64_t new_size) {
  variable_record* v = find_variable(id);
  if (!v || v->type == variable_type_none || v->dimension_count != 1) return -1;
  if (new_size > static_cast<int64_t>(max_variable_elements)) {
    report_error_at_line_fmt(101100, 1, static_cast<int64_t>(max_variable_elements));
    return -1;
  }
  if (new_size <= 0) {
    report_error_at_line(101110, 1);
    return -1;
  }
  const uint64_t n = static_cast<uint64_t>(new_size);
  const uint64_t keep = n < v->element_count ? n : v->element_count;
  const uint32_t dims[1] = {static_cast<uint32_t>(n)};
  if (v->type == variable_type_int || v->type == variable_type_real) {
    void* grown = std::calloc(n, 8);
    if (!grown) {
      report_memory();
      return -1;
    }
    if (v->type == variable_type_int) {
      std::memcpy(grown, v->int_values, keep * 8);
      commit(*v, v->type, 1, dims, n, static_cast<int64_t*>(grown), nullptr, nullptr, nullptr);
    } else {
      std::memcpy(grown, v->real_values, keep * 8);
      commit(*v, v->type, 1, dims, n, nullptr, static_cast<double*>(grown), nullptr, nullptr);
    }
    return 0;
  }
  char** texts = static_cast<char**>(std::calloc(n, sizeof(char*)));
  uint32_t* caps = static_cast<uint32_t*>(std::calloc(n, sizeof(uint32_t)));
  bool ok = texts && caps;
  for (uint64_t i = keep; ok && i < n; ++i) {
    texts[i] = static_cast<char*>(std::malloc(1));
    if (!texts[i]) ok = false;
    else {
      texts[i][0] = 0;
      caps[i] = 1;
    }
  }
  if (!ok) {
    if (texts)
      for (uint64_t i = keep; i < n; ++i) std::free(texts[i]);
    std::free(texts);
    std::free(caps);
    report_memory();
    return -1;
  }
  // Kept texts move over; the ones past the new size go with the old arrays.
  for (uint64_t i = 0; i < keep; ++i) {
    texts[i] = v->text_values[i];
    caps[i] = v->text_capacities[i];
    v->text_values[i] = nullptr;
  }
  commit(*v, variable_type_text, 1, dims, n, nullptr, nullptr, texts, caps);
  return 0;
}

int declare_int_variable(uint32_t id, uint32_t dimension_count, const uint32_t* dimensions, int64_t value) {
  variable_record* v = declarable(id);
  if (!v) return -1;
  uint64_t n = checked_count(dimension_count, dimensions);
  if (n == 0) return -1;
  int64_t* values = static_cast<int64_t*>(std::malloc(n * sizeof(int64_t)));
  if (!values) {
    report_memory();
    return -1;
  }
  for (uint64_t i = 0; i < n; ++i) values[i] = value;
  commit(*v, variable_type_int, dimension_count, dimensions, n, values, nullptr, nullptr, nullptr);
  return 0;
}

int declare_real_variable(uint32_t id, uint32_t dimension_count, const uint32_t* dimensions, double value) {
  variable_record* v = declarable(id);
  if (!v) return -1;
  uint64_t n = checked_count(dimension_count, dimensions);
  if (n == 0) return -1;
  double* values = static_cast<double*>(std::malloc(n * sizeof(double)));
  if (!values) {
    report_memory();
    return -1;
  }
  for (uint64_t i = 0; i < n; ++i) values[i] = value;
  commit(*v, variable_type_real, dimension_count, dimensions, n, nullptr, values, nullptr, nullptr);
  return 0;
}

int declare_string_variable(uint32_t id, uint32_t dimension_count, const uint32_t* dimensions, const char* text,
                            size_t length) {
  variable_record* v = declarable(id);
  if (!v) return -1;
  uint64_t n = checked_count(dimension_count, dimensions);
  if (n == 0) return -1;
  if (!text) length = 0;
  if (length + 1 > UINT32_MAX) {
    report_memory();
    return -1;
  }
  char** texts = static_cast<char**>(std::calloc(n, sizeof(char*)));
  uint32_t* caps = static_cast<uint32_t*>(std::calloc(n, sizeof(uint32_t)));
  bool ok = texts && caps;
  for (uint64_t i = 0; ok && i < n; ++i) {
    texts[i] = static_cast<char*>(std::malloc(length + 1));
    if (!texts[i]) {
      ok = false;
      break;
    }
    if (length) std::memcpy(texts[i], text, length);
    texts[i][length] = 0;
    caps[i] = static_cast<uint32_t>(length + 1);
  }
  if (!ok) {
    if (texts)
      for (uint64_t i = 0; i < n; ++i) std::free(texts[i]);
    std::free(texts);
    std::free(caps);
    report_memory();
    return -1;
  }
  commit(*v, variable_type_text, dimension_count, dimensions, n, nullptr, nullptr, texts, caps);
  return 0;
}

namespace {
// The layout the caller wrote into the record, copied before anything changes.
bool requested_layout(uint32_t id, uint32_t& count, uint32_t* dims) {
  variable_record* v = declarable(id);
  if (!v) return false;
  count = v->dimension_count;
  for (uint32_t i = 0; i < max_dimension_count; ++i) dims[i] = v->dimensions[i];
  return true;
}
}  // namespace

int declare_int_variable(uint32_t id, int64_t value) {
  uint32_t count, dims[max_dimension_count];
  if (!requested_layout(id, count, dims)) return -1;
  return declare_int_variable(id, count, dims, value);
}

int declare_real_variable(uint32_t id, double value) {
  uint32_t count, dims[max_dimension_count];
  if (!requested_layout(id, count, dims)) return -1;
  return declare_real_variable(id, count, dims, value);
}

int declare_string_variable(uint32_t id, const char* text, size_t length) {
  uint32_t count, dims[max_dimension_count];
  if (!requested_layout(id, count, dims)) return -1;
  return declare_string_variable(id, count, dims, text, length);
}

namespace {

struct image_reader {
  const std::vector<uint8_t>& b;
  size_t pos;
  bool take(size_t n) { return n <= b.size() - pos; }
  uint32_t u8() { return b[pos++]; }
  uint32_t u16() {
    uint32_t v = get_u16(b.data() + pos);
    pos += 2;
    return v;
  }
  uint32_t u32() {
    uint32_t v = get_u32(b.data() + pos);
    pos += 4;
    return v;
  }
  uint64_t u64() {
    uint64_t v = get_u64(b.data() + pos);
    pos += 8;
    return v;
  }
};

int bad_image() {
  report_error(900070, 1);
  return -1;
}

}  // namespace

int init_static_variables(int key) {
  const std::vector<uint8_t>& img = variable_table.initial_image;
  if (img.empty()) return 0;
  if (img.size() < 10) return bad_image();
  image_reader r{img, 8};
  const uint32_t count = r.u16();
  for (uint32_t k = 0; k < count; ++k) {
    if (!r.take(7)) return bad_image();
    const uint32_t scope = r.u8();
    const uint32_t script = r.u16();
    const uint32_t id = r.u16();
    const uint32_t type = r.u8();
    const uint32_t dimension_count = r.u8();
    if (dimension_count > max_dimension_count || !r.take(4 * dimension_count)) return bad_image();
    uint32_t dims[max_dimension_count] = {};
    for (uint32_t i = 0; i < dimension_count; ++i) dims[i] = r.u32();
    const bool applies = (key == -1 && (scope == 1 || scope == 3)) ||
                         (key >= 0 && static_cast<uint32_t>(key) == script && scope == 2);
    if (type == variable_type_int || type == variable_type_real) {
      if (!r.take(8)) return bad_image();
      const uint64_t bits = r.u64();
      if (!applies) continue;
      if (id >= variable_table.variable_count) return bad_image();
      if (type == variable_type_int) {
        if (declare_int_variable(id, dimension_count, dims, static_cast<int64_t>(bits)) != 0) return -1;
      } else {
        double d;
        std::memcpy(&d, &bits, 8);
        if (declare_real_variable(id, dimension_count, dims, d) != 0) return -1;
      }
    } else if (type == variable_type_text) {
      if (!r.take(2)) return bad_image();
      const uint32_t length = r.u16();
      if (!r.take(length)) return bad_image();
      const uint8_t* expression = img.data() + r.pos;
      r.pos += length;
      if (!applies) continue;
      if (id >= variable_table.variable_count) return bad_image();
      char buffer[string_slot_size];
      int n = eval_to_string(buffer, expression, length);
      if (n < 0) return -1;
      if (declare_string_variable(id, dimension_count, dims, buffer, static_cast<size_t>(n)) != 0) return -1;
    } else {
      return bad_image();  // no way to know the record's size
    }
  }
  return 0;
}
