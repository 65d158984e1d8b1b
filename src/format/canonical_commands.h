// The project's own command file: every command number 0..107 with its name
// and its parameters (index = parameter_id) with their kinds and range checks.
// The external compiler writes kxbin\kxc.kbn in this order; kxtool writes it
// from this table, and tests and the demo use it.
#pragma once
#include <cstdint>
#include <vector>

#include "format/compiled_files.h"

constexpr int canonical_command_count = 108;

// The commands in number order.
const std::vector<compiled_command>& canonical_commands();
// The whole command file: commands, the 37 error-number texts, a zero tail.
compiled_command_file canonical_command_file();
