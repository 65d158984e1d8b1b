// Kept apart from the variable store's header: format/compiled_files.h and
// script/variable_store.h both define compiled_file_version.
#include "format/canonical_commands.h"
#include "resources/command_table.h"
#include "app/command_handlers.h"

int install_canonical_commands() {
  std::vector<uint8_t> commands = write_command_file(canonical_command_file());
  install_command_handlers();
  return install_command_file(commands.data(), commands.size());
}
