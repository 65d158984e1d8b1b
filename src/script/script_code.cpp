#include "script/script_code.h"

#include <cstring>
#include <new>
#include <string>

#include "core/error_report.h"
#include "format/byte_io.h"
#include "format/compiled_files.h"
#include "format/hashes.h"
#include "resources/compiled_loaders.h"
#include "resources/pack_archive.h"
#include "script/control_flow.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/task.h"
#include "script/variable_store.h"

script_file_records_record script_file_records;

namespace {

constexpr uint8_t command_goto = 32;
constexpr uint8_t command_call = 33;

// Load-time label resolution: constant goto targets become label number +
// resolved_label_flag in the length field; a call's label record gets the label
// number in its 16-bit field (value type low byte, operator high byte).
void resolve_constant_labels(script_code& code) {
  init_binary_ops(false);
  char text[string_slot_size];
  auto constant_label = [&](const argument_record& a) -> int {
    if (static_cast<uint64_t>(a.offset) + a.length > code.expression_pool.size()) return -1;
    int n = eval_to_string(text, code.expression_pool.data() + a.offset, a.length);
    if (n < 0 || expression_state.not_constant) return -1;
    return find_label(text, static_cast<size_t>(n));
  };
  for (uint32_t i = 0; i < code.instruction_count; ++i) {
    uint32_t count = code.argument_counts[i];
    if (!count) continue;
    argument_record* args = &code.arguments[code.first_argument[i]];
    if (code.commands[i] == command_goto) {
      // A length already at the flag would read as a label number: leave it
      // for the run-time check.
      if (args[0].length >= resolved_label_flag) continue;
      int label = constant_label(args[0]);
      if (label >= 0 && static_cast<uint32_t>(label) < resolved_label_flag)
        args[0].length = static_cast<uint32_t>(label) + resolved_label_flag;
    } else if (code.commands[i] == command_call) {
      for (uint32_t k = 0; k < count; ++k) {
        if (args[k].parameter_id != 0) continue;
        args[k].value_type = 0;
        args[k].assignment_operator = 0;
        int label = constant_label(args[k]);
        // Label numbers that do not fit the 16-bit field are looked up by name
        // when the call runs.
        if (label > 0 && label <= 0xFFFF) {
          args[k].value_type = static_cast<uint8_t>(label & 0xFF);
          args[k].assignment_operator = static_cast<uint8_t>(label >> 8);
        }
      }
    }
  }
  init_binary_ops(true);
}

}  // namespace

int parse_code_file(const uint8_t* data, size_t size, const std::array<uint8_t, 4>& key, script_code& out) {
  if (!data || size < code_file_header_size) return compiled_truncated;
  const uint64_t n = get_u32(data + 8);
  const uint64_t s1 = get_u32(data + 12), s2 = get_u32(data + 16), s3 = get_u32(data + 20), s4 = get_u32(data + 24);
  // Every section must lie inside the file and hold what the count says.
  if (code_file_header_size + s1 + s2 + s3 + s4 > size) return compiled_truncated;
  if (s1 != n * code_instruction_size || s4 != n * 4) return compiled_truncated;
  if (s2 % code_argument_size != 0) return compiled_truncated;

  std::vector<uint8_t> sec1(data + code_file_header_size, data + code_file_header_size + s1);
  std::vector<uint8_t> sec2(data + code_file_header_size + s1, data + code_file_header_size + s1 + s2);
  const uint8_t* p3 = data + code_file_header_size + s1 + s2;
  std::vector<uint8_t> pool(p3, p3 + s3);
  std::vector<uint8_t> sec4(p3 + s3, p3 + s3 + s4);
  for (std::vector<uint8_t>* s : {&sec1, &sec2, &pool, &sec4}) scramble_code_section(s->data(), s->size(), key);

  script_code c;
  const uint32_t count = static_cast<uint32_t>(n);
  c.instruction_count = count;
  c.commands.resize(count);
  c.flags.resize(count);
  c.argument_counts.resize(count);
  c.first_argument.resize(count);
  c.line_table.resize(count);
  const uint64_t record_total = s2 / code_argument_size;
  uint64_t next = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* ins = sec1.data() + static_cast<size_t>(i) * code_instruction_size;
    c.commands[i] = ins[0];
    c.argument_counts[i] = ins[1];
    c.flags[i] = ins[2];
    c.first_argument[i] = static_cast<uint32_t>(next);
    next += ins[1];
    if (next > record_total) return compiled_truncated;
    c.line_table[i] = get_u32(sec4.data() + static_cast<size_t>(i) * 4);
  }
  c.arguments.resize(static_cast<size_t>(record_total));
  for (uint64_t k = 0; k < record_total; ++k) {
    const uint8_t* r = sec2.data() + k * code_argument_size;
    argument_record& a = c.arguments[k];
    a.parameter_id = r[0];
    a.unused = r[1];
    a.value_type = r[2];
    a.assignment_operator = r[3];
    a.length = get_u32(r + 4);
    a.offset = get_u32(r + 8);
  }
  c.expression_pool = std::move(pool);
  out = std::move(c);
  return compiled_ok;
}

void lay_out_instruction_records(const script_code& code) {
  code.instruction_records.assign(code.instruction_count, instruction_arguments{});
  for (uint32_t pc = 0; pc < code.instruction_count; ++pc) {
    const uint8_t count = code.argument_counts[pc];
    if (count) code.instruction_records[pc] = {code.arguments.data() + code.first_argument[pc], count};
  }
}

int install_script_code(uint32_t script_number, std::unique_ptr<script_code> code) {
  if (script_number >= script_file_records.codes.size()) {
    script_file_records.codes.resize(script_number + 1);
    script_file_records.states.resize(script_number + 1, script_not_loaded);
  }
  script_code& c = *code;
  c.handlers[0].assign(c.instruction_count, instruction_pre_hook);
  c.handlers[1].resize(c.instruction_count);
  for (uint32_t i = 0; i < c.instruction_count; ++i) c.handlers[1][i] = command_handler_for(c.commands[i]);
  resolve_constant_labels(c);
  decode_simple_lets(c);
  lay_out_instruction_records(c);
  c.installed_as = script_number;
  script_file_records.codes[script_number] = std::move(code);
  script_file_records.states[script_number] = script_loaded;
  return init_static_variables(static_cast<int>(script_number)) == 0 ? 1 : 0;
}

int load_script_file(uint32_t script_number) {
  // A number past the script list names no file (and no slot of the tables).
  if (script_number >= script_name_list.script_count) {
    report_error_at_line_fmt(901030, 1, static_cast<int64_t>(script_number));
    return 0;
  }
  if (script_number >= script_file_records.states.size()) {
    script_file_records.codes.resize(script_name_list.script_count);
    script_file_records.states.resize(script_name_list.script_count, script_not_loaded);
  }
  uint8_t state = script_file_records.states[script_number];
  if (state == script_loaded) return 1;
  if (state == script_load_failed) {
    // Reported when the load failed; a second attempt must not run it either.
    report_error_at_line_fmt(104010, 1, code_file_name(script_number));
    return 0;
  }
  script_file_records.states[script_number] = script_load_failed;
  const std::string name = code_file_name(script_number);
  std::vector<uint8_t> bytes;
  if (load_compiled_file(name, bytes) != 0) return 0;
  std::unique_ptr<script_code> code(new (std::nothrow) script_code());
  if (!code) {
    report_error(100010, 1);
    return 0;
  }
  if (parse_code_file(bytes.data(), bytes.size(), code_file_key, *code) != compiled_ok) {
    report_error_fmt(104010, 1, name);
    return 0;
  }
  return install_script_code(script_number, std::move(code));
}


int find_label(const char* name, size_t length) {
  const std::vector<compiled_label_record>& labels = label_table.labels;
  const uint32_t hash = murmur_hash2(name, length, 0);
  // Bucket 0 always starts at the first label.
  const uint32_t bucket = hash >> 24;
  uint64_t first = bucket == 0 ? 0 : label_table.buckets[bucket];
  if (first >= labels.size()) return -1;
  for (size_t k = static_cast<size_t>(first); k < labels.size(); ++k) {
    const compiled_label_record& l = labels[k];
    if (l.hash == hash && l.name.size() == length && std::memcmp(l.name.data(), name, length) == 0)
      return static_cast<int>(k);
  }
  return -1;
}

int switch_task_to_script(task_record* task, uint32_t script_number, uint32_t position) {
  if (!task) return -1;
  if (script_number > 0xFFFF) {
    report_error_at_line_fmt(901030, 1, static_cast<int64_t>(script_number));
    return -1;
  }
  if (!load_script_file(script_number)) return -1;
  const script_code* code = loaded_script_code(script_number);
  if (!code) return -1;
  task->code = code;
  task->script_number = static_cast<uint16_t>(script_number);
  task->pc = position;
  return 0;
}

int switch_task_to_label(task_record* task, int label_number) {
  if (label_number < 0 || static_cast<size_t>(label_number) >= label_table.labels.size()) {
    report_error_at_line_fmt(104010, 1, "kxbin\\kxl.kbn");
    return -1;
  }
  const compiled_label_record& l = label_table.labels[static_cast<size_t>(label_number)];
  return switch_task_to_script(task, l.script_number, l.position);
}

void reset_script_files() { script_file_records = script_file_records_record{}; }
