// Subcommands of kxtool; each takes the arguments after its own name and
// returns the process exit status.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "format/pack_format.h"

int kxtool_pack(const std::vector<std::string>& args);
int kxtool_list(const std::vector<std::string>& args);
int kxtool_extract(const std::vector<std::string>& args);
int kxtool_commands(const std::vector<std::string>& args);
int kxtool_asm(const std::vector<std::string>& args);

// Writes a whole host file, creating its parent folders; false on failure.
bool write_host_file(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);

// Builds a pack of `entries` and writes it to `out`: 0, or 1 with a message
// printed. `size` (when given) receives the pack's byte count.
int write_pack_file(const std::filesystem::path& out, const std::vector<pack_writer_entry>& entries,
                    size_t* size = nullptr);
