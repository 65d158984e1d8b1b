// Subcommands of kxtool; each takes the arguments after its own name and
// returns the process exit status.
#pragma once
#include <string>
#include <vector>

int kxtool_pack(const std::vector<std::string>& args);
int kxtool_list(const std::vector<std::string>& args);
int kxtool_extract(const std::vector<std::string>& args);
int kxtool_commands(const std::vector<std::string>& args);
int kxtool_asm(const std::vector<std::string>& args);
