// The save and load commands: 73 save (stage and/or write), 44 load, 74 clear
// the staged values, 75 bind only (in the command table's own file).
#pragma once
#include <string>

// Parameter ids of commands 73 and 44.
enum : unsigned {
  save_param_file = 0,      // file name (text)
  save_param_slot = 1,      // memory slot 0..499, or 99999 on saving
  save_param_val_id = 2,    // VAL_ID
  save_param_variable = 3,  // the variable reference (element or, with "[]", whole)
  save_param_layer = 4,     // layer path (text)
};
constexpr int memory_slot_image_request = 99999;

// Lower-cases the name (A-Z only, Shift-JIS aware) and turns '/' into '\'.
// For a file: longer than 32 bytes is 102160, holding '\' is 102150 (reported,
// -1); else ".sd" is appended unless the name ends in it. 0 on success.
int complete_save_file_name(std::string& name);

int cmd_save_value();
int cmd_load_value();
int cmd_clear_staged_values();
