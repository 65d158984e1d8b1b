// System variables (ids below 1000): values computed from engine state when a
// script reads them. Facts owned by subsystems that live elsewhere come through
// engine_facts, which each subsystem fills in as it starts; an unset entry
// reads as 0 or as the empty text.
#pragma once
#include <cstdint>
#include <string>

struct engine_facts_record {
  // System information and start-up.
  int64_t os_code = 0;                // 2
  int64_t system_info_count = 0;      // 3
  int64_t write_test_result = 0;      // 9
  int64_t save_folder_mode = 0;       // 102
  int64_t screen_bits_per_pixel = 0;  // 104
  int64_t screen_width = 0;           // 105
  int64_t screen_height = 0;          // 106
  // 5, 6, 7: which = 0 total physical memory, 1 memory load in percent,
  // 2 available physical memory.
  int64_t (*memory_status)(int which) = nullptr;

  // Folders, Shift-JIS with a trailing '\': 93 game folder, 94 game path,
  // 95 save folder, 96 application data, 97 documents.
  std::string game_folder, game_path, save_folder, app_data_folder, documents_folder;

  // Command-line argument slots 0..8 (12, 13).
  int64_t (*argument_count)() = nullptr;
  std::string (*argument_text)(int64_t slot) = nullptr;

  // file_list (14, 15).
  int64_t (*file_list_count)() = nullptr;
  std::string (*file_list_entry)(int64_t index) = nullptr;

  // Frame tick and scheduler (99, 100).
  int64_t (*frame_counter)() = nullptr;
  int64_t (*scheduler_pass_counter)() = nullptr;

  // Tasks and calls: 48 loop counter, 49..60 call arguments, return values and
  // task parameters (element = value number 1..16), 115 running task name,
  // 116 number of tasks under the root.
  int64_t (*task_int_value)(uint32_t id, int64_t element) = nullptr;
  double (*task_real_value)(uint32_t id, int64_t element) = nullptr;
  std::string (*task_text_value)(uint32_t id, int64_t element) = nullptr;

  // 112, 113: the message window's two text buffers (which = 0 or 1).
  std::string (*message_text)(int which) = nullptr;
  // 118..121: current path of the layer, sound, task and menu trees (tree 0..3).
  std::string (*tree_path)(int tree) = nullptr;

  // 123..132: mouse x (axis 0) or y (axis 1) of window 0..4, from window_state.
  int64_t (*mouse_position)(int window, int axis) = nullptr;

  // Input: 134 (value of input code `element`) and 137..537 by the input
  // subsystem's own mapping tables.
  int64_t (*input_value)(uint32_t id, int64_t element) = nullptr;
  // Key states for set_system_value: the phase byte and the value slot of an
  // input code, or null for a code out of range.
  uint8_t* (*key_state_phase)(int code) = nullptr;
  int64_t* (*key_state_value)(int code) = nullptr;

  // Ids that read one value of another subsystem (3, 103, 111, 133): first
  // asked here; null or unhandled gives 0.
  int64_t (*other_int_value)(uint32_t id, int64_t element) = nullptr;

  // Main window logical size (range checks 26 and 27); null: the compiled
  // configuration's size.
  int64_t (*main_logical_width)() = nullptr;
  int64_t (*main_logical_height)() = nullptr;
};
extern engine_facts_record engine_facts;

// Values the engine keeps for scripts: id 0 elements 8..15, and the input
// values 107..110, 122, 135, 136 that the window procedure writes and the let
// command may set.
struct kept_system_values_record {
  int64_t time_extra[8] = {};
  int64_t input_107_110[4] = {};
  int64_t input_122 = 0;
  int64_t input_135 = 0;
  int64_t input_136 = 0;
};
extern kept_system_values_record kept_system_values;
// Sets one of the kept values (ids 107..110, 122, 135, 136); false for others.
bool set_kept_system_value(uint32_t id, int64_t value);

int64_t system_int_value(uint32_t id, int64_t element);
double system_real_value(uint32_t id, int64_t element);
// Builds the text of a text system variable. 0, or -1 after a fatal report
// (a file_list index beyond the count: 107010).
int system_string_variable(uint32_t id, int64_t element, std::string& out);

// Writes a value into the value slot of an input code by the key-state rule.
void set_system_value(int input_code, int64_t value);

// 1 integer, 2 real, 3 text: the kind the engine computes for a system id
// whose record is not declared.
uint8_t system_value_kind(uint32_t id);
