// The compiler link of a development run: the player starts the script
// compiler in the game folder, hands it the game path through shared block A,
// and takes every compiled file back through block B. The table built from
// block B is the resource locator's second source.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/compiler_link_format.h"
#include "resources/resource_locator.h"

// The compiler, as a game path: the game folder's "system\ZIVer\ZIVer",
// found without regard to case.
inline constexpr const char compiler_program_path[] = "system\\ZIVer\\ZIVer";

// The player's own copy of block B and the records in it (names and data
// point into `block`), kept for the whole run.
struct compiler_link_table_record {
  uint32_t count = 0;
  std::vector<uint8_t> block;
  std::vector<compiler_link_record> entries;
};
extern compiler_link_table_record compiler_link_table;

// Start-up fills this before the link runs: the one-time tables are built
// while the compiler works.
struct compiler_link_hooks_record {
  void (*while_compiling)() = nullptr;
};
extern compiler_link_hooks_record compiler_link_hooks;

// Runs the link once. `game_path` comes in as the game folder (Shift-JIS) and
// goes out as the folder the compiler handed back, which becomes the folder
// relative game paths start from. 0 success; 1 the compiler is missing (the
// library notice was shown), could not be started, ended before it was
// ready, reported a failed compilation, or the run was asked to quit while it
// worked; -1 the blocks could not be made or block B was damaged.
int run_compiler_link(std::string* game_path);

// Takes `block` as the table's copy of block B and walks `count` records in
// it. 0, or -1 when the records do not fit the block (the table is then empty).
int install_compiler_link_table(std::vector<uint8_t> block, uint32_t count);

// The table's search (entries in order, names without regard to case): sets
// state 3 and the entry index. 3 when found, else 0.
int find_in_mapped_list(resource_locator& locator, std::string_view name);
// A new copy of the entry's bytes: 0, or -3 (104030 when memory runs out).
int read_entry_from_mapped_list(resource_locator& locator, std::string_view name);

void reset_compiler_link_table();
