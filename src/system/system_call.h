// Command 103: numbered services with no command of their own (files and the
// folder list, free space, the administrator test, boxes, the edit box, the
// debug log, the play-time pause, window visibility, the folder browser).
#pragma once
#include <cstdint>
#include <string>

int cmd_system_call();

constexpr size_t system_call_text1_size = 1024;
constexpr size_t system_call_text2_size = 2048;

// Sub-function 21: replaces file_list with the folder's entries (files whose
// name ends in "." + `extension`, all files when it is empty; folders, with
// '/' appended, only when `with_folders`). At most 8192 names: reaching them
// shows the limit message once and stops. Names in a stable order.
void list_folder_into_file_list(const std::string& folder, const std::string& extension, bool with_folders);

// The folder that stands for the system's own folder (sub-function 21031).
const char* system_folder_path();
