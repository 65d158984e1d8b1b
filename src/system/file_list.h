// The shared list of file names: filled by the folder listing and by files
// dropped on a game window, read by scripts (system values 14 and 15).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t file_list_max = 8192;
// One entry's buffer: a 260-byte path, a trailing '\' for folders, the NUL.
constexpr size_t file_list_entry_size = 262;

struct file_list_record {
  std::vector<std::string> names;  // Shift-JIS
};
extern file_list_record file_list;

void clear_file_list();
// Appends a name: 0, or -1 when the list is full or the name (with its NUL)
// does not fit an entry. Names are never cut: a cut path names another file.
int add_file_list_entry(const std::string& name);

// Entries for scripts: the count (system value 15) and an entry (14).
int64_t file_list_count();
std::string file_list_entry(int64_t index);
// A script's write to the count (system value 15): clamped to 0 .. the
// entries held, so the list never reads past its names; a lower count drops
// the entries past it.
void set_file_list_count(int64_t count);
