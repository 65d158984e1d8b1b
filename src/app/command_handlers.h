// The command table's assembly: every subsystem's handler in its slot. The
// table itself (resources/command_table) knows no subsystem above it.
#pragma once

// Puts each subsystem's handler into designed_command_handlers, once per
// process; start-up calls it before the command file is loaded.
void install_command_handlers();
