// Control-flow commands: labels and goto, calls with argument and return
// values, if-blocks, counted loops, assignment, declarations, waits, the
// message end, the frame rate and the input-related run settings.
#pragma once
#include <cstdint>
#include <string>

int cmd_else_if();                  // 11
int cmd_declare_real_var();         // 24
int cmd_frame_rate();               // 27
int cmd_goto();                     // 32
int cmd_call();                     // 33
int cmd_if();                       // 34
int cmd_else();                     // 35
int cmd_break();                    // 36
int cmd_continue();                 // 37
int cmd_end_block();                // 38
int cmd_run_settings();             // 39
int cmd_declare_int_var();          // 40
int cmd_label_exists();             // 42
int cmd_let();                      // 43
// Gives the lets of the common shape (see decoded_let) a handler that runs
// them from their decoded form, with the same effects as cmd_let; any other
// case at run time (a missing, real or text variable, an index outside its
// array) goes through cmd_let itself. Likewise calls and returns whose values
// are integers of those shapes (and whose call label was resolved at load)
// run decoded, falling back to cmd_call / cmd_return for anything else.
// Called when a script is installed.
struct script_code;
void decode_simple_lets(script_code& code);
int cmd_loop();                     // 45
int cmd_loop_break();               // 46
int cmd_loop_continue();            // 47
int cmd_loop_end();                 // 48
int cmd_return();                   // 66
int cmd_message_end();              // 68
int cmd_declare_string_variable();  // 79
int cmd_wait();                     // 91

// The input-related run settings of command 39, read by input sampling:
// A nonzero samples the mouse, B nonzero the keyboard, the switch turns the
// cursor's automatic hiding after a key press on (1) and off.
struct run_settings_record {
  int64_t input_setting_a = 1;
  int64_t input_setting_b = 1;
  int64_t input_switch = 0;
  uint8_t pending_state = 0;  // 1: switched on, 2: switched off; input sampling takes it
  uint8_t switch_active = 0;
};
extern run_settings_record run_settings;

// Where commands 27, 43 and 68 reach subsystems built elsewhere. Null entries
// keep the value in `control_flow_values` only.
struct control_flow_hooks_record {
  // Command 68: the open message window's end of text. Returns true when a
  // window was open and took the marks; false sets the pending-end flag.
  bool (*message_end)() = nullptr;
  // Command 43 on system ids: 15 (file_list count), 137..404 (input codes by
  // the input subsystem's tables), 112/113 (message window buffers).
  void (*set_file_list_count)(int64_t count) = nullptr;
  void (*set_input_value)(uint32_t id, int64_t element, int64_t value) = nullptr;
  void (*set_message_text)(int which, const std::string& text) = nullptr;
};
extern control_flow_hooks_record control_flow_hooks;

// Set by command 68 when no message window took the end of its text.
struct control_flow_values_record {
  uint8_t message_end_pending = 0;
};
extern control_flow_values_record control_flow_values;
