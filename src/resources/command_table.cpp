#include "resources/command_table.h"

#include <cstring>

#include "core/error_report.h"
#include "format/compiled_files.h"
#include "resources/compiled_loaders.h"

command_table_record command_table;
command_handler command_handler_table[command_slot_count] = {};
// Installed with the handlers (the argument binder lives above the table).
int (*bind_arguments_hook)(int command_number) = nullptr;
bool (*argument_integer_hook)(int parameter_id, int64_t& value) = nullptr;
uint8_t engine_options[128] = {};

namespace {

int bind_only(int number) {
  if (bind_arguments_hook && bind_arguments_hook(number) != 0) return -1;
  return 0;
}

}  // namespace

int return_zero() { return 0; }

int cmd_unknown() {
  report_error_at_line(900050, 1);
  return -1;
}

int cmd_args_only_14() { return bind_only(14); }
int cmd_args_only_56() { return bind_only(56); }
int cmd_args_only_57() { return bind_only(57); }
int cmd_args_only_58() { return bind_only(58); }
int cmd_args_only_63() { return bind_only(63); }
int cmd_args_only_75() { return bind_only(75); }
int cmd_args_only_88() { return bind_only(88); }

int cmd_set_engine_options() {
  if (bind_only(13) != 0) return -1;
  if (argument_integer_hook) set_engine_options_from_arguments(argument_integer_hook);
  return 0;
}

void reset_engine_options() { std::memset(engine_options, 1, sizeof engine_options); }

void set_engine_options_from_arguments(bool (*given)(int parameter_id, int64_t& value)) {
  // The presence table covers ids 0..99: options 98..108 cannot be given.
  for (int p = 3; p <= 110 && p < 100; ++p) {
    int64_t v = 0;
    if (given(p, v)) engine_options[p - 2] = static_cast<uint8_t>(v);
  }
}

// Empty until the program installs every subsystem's handler
// (install_command_handlers); an empty slot keeps cmd_unknown.
command_handler designed_command_handlers[command_slot_count] = {};

void fill_command_handler_table() {
  for (int i = 0; i < command_slot_count; ++i)
    command_handler_table[i] = designed_command_handlers[i] ? designed_command_handlers[i] : cmd_unknown;
}

command_handler command_handler_for(unsigned number) {
  if (number >= static_cast<unsigned>(command_slot_count)) return cmd_unknown;
  return command_handler_table[number] ? command_handler_table[number] : cmd_unknown;
}

const command_parameter_record* command_parameter(unsigned command_number, unsigned parameter_id) {
  if (command_number >= command_table.commands.size()) return nullptr;
  const auto& params = command_table.commands[command_number].parameters;
  if (parameter_id >= params.size()) return nullptr;
  return &params[parameter_id];
}

const std::string& command_name(unsigned command_number) {
  static const std::string empty;
  if (command_number >= command_table.commands.size()) return empty;
  return command_table.commands[command_number].name;
}

int install_command_file(const uint8_t* data, size_t size) {
  compiled_command_file f;
  int r = parse_command_file(data, size, f);
  if (r != compiled_ok) {
    report_error_fmt(r, 1, "kxbin\\kxc.kbn");
    return r;
  }
  command_table_record t;
  t.commands.reserve(f.commands.size());
  for (compiled_command& c : f.commands) {
    command_definition_record d;
    d.name = std::move(c.name);
    d.parameters.reserve(c.parameters.size());
    for (compiled_parameter& p : c.parameters) d.parameters.push_back({std::move(p.name), p.kind, p.range_check});
    t.commands.push_back(std::move(d));
  }
  t.errno_texts = std::move(f.errno_texts);
  t.tail = f.tail;
  command_table = std::move(t);
  fill_command_handler_table();
  return 0;
}

int load_command_table() {
  std::vector<uint8_t> bytes;
  if (load_compiled_file("kxbin\\kxc.kbn", bytes) != 0) return -1;
  return install_command_file(bytes.data(), bytes.size()) == 0 ? 0 : -1;
}
