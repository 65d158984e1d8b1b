#include "system/command_output.h"

#include <string>

#include "script/argument_binding.h"
#include "script/variable_store.h"

command_output command_output_of(uint32_t parameter_id) {
  command_output o;
  const uint32_t pos = argument_position(parameter_id);
  if (!pos || !argument_slots.variable_id[pos]) return o;
  o.variable = argument_slots.variable_id[pos];
  o.element = argument_slots.element_index[pos];
  if (const variable_record* v = find_variable(o.variable)) {
    o.type = v->type;
    o.inside = o.element >= 0 && static_cast<uint64_t>(o.element) < v->element_count;
  }
  return o;
}

void store_output_number(const command_output& o, int64_t value) {
  if (o.variable) set_numeric_element(o.variable, o.element, value);
}

void store_output_text(const command_output& o, std::string_view text) {
  if (o.variable && o.type == variable_type_text) set_string_element_n(o.variable, o.element, text.data(), text.size());
}

void clear_output(const command_output& o) {
  if (!o.variable || !o.inside) return;
  if (o.type == variable_type_text)
    set_string_element(o.variable, o.element, "");
  else if (o.type == variable_type_int || o.type == variable_type_real)
    set_numeric_element(o.variable, o.element, 0);
}
