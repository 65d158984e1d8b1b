// The message window and its typesetter: scripts append characters (with their
// attributes) and control steps; each frame the typesetter draws the next
// characters into the message layer with a per-character delay, breaks lines
// by the Japanese line-start rules, waits for clicks and starts new pages.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "graphics/fonts.h"

struct object_node;
struct task_record;

constexpr int message_buffer_size = 8192;
// The command string keeps its terminator: at most 8191 steps.
constexpr int message_step_limit = message_buffer_size - 1;

struct message_window_record {
  // The message layer is layer_links.message_layer (cleared when its node is
  // freed); message_layer() reads it.
  int32_t char_delay = 0;
  int32_t end_new_line = 1, end_new_page = 1, end_click_wait = 1;
  int32_t pen_x = 0, pen_y = 0;
  uint8_t is_open = 1;
  int32_t char_width = 20, char_height = 20;
  int32_t colour = 0xFFFFFF, second_colour = -1;
  uint8_t gradient = 1;
  uint8_t rotation = 0;
  uint8_t bold = 0;
  uint8_t overlay_glyphs = 0;
  uint8_t glyph_mode = 1;
  uint8_t waiting_for_click = 0;
  uint8_t reset_pending = 1;
  uint8_t restart_timing = 0;
  char text[message_buffer_size];
  char commands[message_buffer_size];
  int16_t widths[message_buffer_size], heights[message_buffer_size], delays[message_buffer_size];
  int32_t colours[message_buffer_size], second_colours[message_buffer_size];
  uint8_t gradients[message_buffer_size], rotations[message_buffer_size], bolds[message_buffer_size];
  int32_t text_length = 0;
  int32_t command_count = 0;
  int32_t text_pos = 0;
  int32_t command_pos = 0;
};
// Null until init_message_window succeeded.
extern message_window_record* message_window;

// Program-wide typesetter values and the advance and skip keys (input codes).
constexpr int message_key_none = 1023;  // never pressed
struct typesetter_state_record {
  uint8_t instant_text = 0;
  uint32_t last_char_time = 0;
  int32_t advance_keys[4] = {1, 13, message_key_none, message_key_none};
  int32_t skip_keys[4] = {17, message_key_none, message_key_none, message_key_none};
};
extern typesetter_state_record typesetter_state;

// Key values by input code, filled by input sampling (tests fill it directly).
// An advance key acts on the frame its value is exactly 1, a skip key while
// its value is above 0. Null: nothing is pressed.
struct message_input_hooks_record {
  int64_t (*key_value)(int input_code) = nullptr;
};
extern message_input_hooks_record message_input_hooks;

// Allocates the record with its defaults, resets it and installs the hooks of
// the scheduler, the message end, the system texts 112/113 and the font
// mirror. 1 when the allocation fails (no window then), else 0.
int init_message_window();
// Frees the record (shutdown and tests) and removes the hooks.
void release_message_window();
// Only while reset_pending: clears it, empties the text and steps, restarts
// the timing.
void reset_message_window();
// The per-frame step of a task waiting on its text (message_wait).
void process_message_text(task_record* task);
object_node* message_layer();

// Appending (0 success; -1 after reporting 102000 when the steps are full).
// A character step of 1 or 2 bytes takes the current attributes; its bytes go
// to the text.
int append_message_control_step(char command);
// The text command's append: refuses (102000) a text that would reach 8191
// bytes or steps past the arrays.
int append_message_text(std::string_view sjis);
// The message end (message end command): the marks of an open window and the
// final 'E'; true when the window was open.
bool message_window_end();

int cmd_message_window_set();    // 85
int cmd_message_window_query();  // 86
int cmd_text_append();           // 95
int cmd_text_append_value();     // 99
