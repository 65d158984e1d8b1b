#include "system/file_list.h"

file_list_record file_list;

void clear_file_list() { file_list.names.clear(); }

int add_file_list_entry(const std::string& name) {
  if (file_list.names.size() >= file_list_max) return -1;
  if (name.size() + 1 > file_list_entry_size) return -1;
  file_list.names.push_back(name);
  return 0;
}

int64_t file_list_count() { return static_cast<int64_t>(file_list.names.size()); }

std::string file_list_entry(int64_t index) {
  return index >= 0 && index < file_list_count() ? file_list.names[static_cast<size_t>(index)] : std::string();
}

void set_file_list_count(int64_t count) {
  if (count < 0) count = 0;
  if (count < file_list_count()) file_list.names.resize(static_cast<size_t>(count));
}
