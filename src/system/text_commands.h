// Commands 5 and 6 (the clipboard), 7 (the comma-separated fields of a text
// resource into a string array), 8 (their count) and 10 (a message box or the
// text-input box).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

int cmd_set_clipboard_text();
int cmd_get_clipboard_text();
int cmd_read_text_lines();
int cmd_count_csv_fields();
int cmd_message_box();

constexpr size_t clipboard_read_limit = 1024;
// What command 6 keeps of a clipboard text: its first 1024 bytes without the
// control bytes 0..31; a lead byte keeps its trail byte, and a lead byte
// whose trail byte lies past the 1024 is dropped.
std::string clipboard_text_for_script(const std::string& sjis);

// A text resource read whole (name lower-cased, '/' as '\'); 0, or -1 after
// the report (104060 missing, 901040 pack, the reader's codes).
int read_text_resource(const std::string& name, std::vector<uint8_t>& out);
