// Kept apart from the variable store's header: both it and the compiled-file
// layouts name the compiled-file version.
#include <cstdint>
#include <string>
#include <vector>

#include "format/canonical_commands.h"
#include "format/compiled_files.h"
#include "resources/command_table.h"
#include "app/command_handlers.h"

namespace script_test {

int install_canonical_command_file() {
  std::vector<uint8_t> file = write_command_file(canonical_command_file());
  install_command_handlers();
  return install_command_file(file.data(), file.size());
}

int canonical_parameter_id(int command, const std::string& name) {
  const compiled_command& c = canonical_commands()[static_cast<size_t>(command)];
  for (size_t id = 0; id < c.parameters.size(); ++id)
    if (c.parameters[id].name == name) return static_cast<int>(id);
  return -1;
}

}  // namespace script_test
