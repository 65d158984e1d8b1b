#include "system/file_list.h"

file_list_record file_list;

void clear_file_list() { file_list.names.clear(); }

int add_file_list_entry(const std::string& name) {
  if (file_list.names.size() >= file_list_max) return -1;
  if (name.size() + 1 > file_list_entry_size) return -1;
  file_list.names.push_back(name);
  return 0;
}
