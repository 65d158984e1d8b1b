// Input sampling: once per tick the keyboard, the mouse and up to 16 joysticks
// become one table of input codes (key_states), each with a press phase, a
// signed duration value and a press count. Mouse positions are turned into
// each window's logical coordinates.
//
// The main thread samples the platform (poll_input) into its own snapshot and
// publishes it; the tick (main or frame thread) takes the newest snapshot in
// sample_input_for_frame. The window procedure's mouse-moved byte and wheel
// value go through the same exchange, so the two threads never share a buffer
// that one of them is writing.
#pragma once
#include <cstdint>
#include <mutex>

#include "app/game_window.h"

// Input codes: 0 any key; 1, 2, 4 mouse buttons; 5 wheel up; 6 wheel down;
// 7 mouse moved; keyboard virtual-key codes; 384 + 36 * p + n for joystick p
// (0..15): n 0 up, 1 down, 2 left, 3 right, 4..35 buttons 1..32.
constexpr int joystick_max = 16;
constexpr int joystick_code_base = 384;
constexpr int joystick_codes_each = 36;
constexpr int key_state_code_count = joystick_code_base + joystick_codes_each * joystick_max;  // 960
constexpr int key_state_byte_count = 1024;
constexpr int sampled_keyboard_code_count = 117;
constexpr uint32_t joystick_centre = 32767;

enum key_phase : uint8_t { key_phase_up = 0, key_phase_down = 2 };

struct key_state {
  uint8_t phase = key_phase_up;
  int64_t value = 0;        // n > 0 down for n ticks, -n up for n ticks
  int64_t press_count = 0;
};
// Every code up to the highest joystick code has its entry.
extern key_state key_states[key_state_code_count];

// The four handlers, indexed by phase + down bit: 0 up and staying up
// (value - 1), 1 going down (value 1, phase 2, press count + 1), 2 going up
// (value -1, phase 0), 3 staying down (value + 1).
using key_state_handler = void (*)(key_state& k);
extern key_state_handler key_state_handlers[4];
void key_value_decrement(key_state& k);
void key_press(key_state& k);
void key_release(key_state& k);
void key_value_increment(key_state& k);
// Runs the handler for code `code` with the byte's down bit (bit 7).
void update_key_state(int code, uint8_t byte);

// The 117 keyboard codes sampled, in table order.
extern const uint8_t sampled_keyboard_codes[sampled_keyboard_code_count];

struct window_mouse_sample {
  int32_t x = 0, y = 0;  // logical client coordinates
  uint8_t outside_picture = 1, outside_client = 1;
};

// One pass of poll_input: what the tick reads.
struct input_snapshot {
  int input_window = -1;  // first active game window, or -1
  uint8_t bytes[key_state_byte_count] = {};  // keys by virtual-key code, then joystick codes
  window_mouse_sample mouse[game_window_count];
  int joystick_count = 0;
  ui_joystick_state joysticks[joystick_max];
  uint8_t joystick_ok[joystick_max] = {};
};

// The exchange between the main thread and the tick.
struct input_exchange_record {
  std::mutex lock;
  input_snapshot published;  // the newest complete snapshot
  uint8_t mouse_moved = 0;   // 128 after a mouse move, until sampled
  int16_t wheel = 0;         // the last wheel delta, until sampled
};
extern input_exchange_record input_exchange;

struct input_state_record {
  uint8_t mouse_sampling = 1;
  uint8_t keyboard_sampling = 1;
  uint8_t joystick_enabled = 0;
  // What the tick last sampled (its own copy).
  input_snapshot current;
  uint8_t joystick_lost[joystick_max] = {};
  int joystick_count = 0;
  uint32_t button_masks[32] = {};
};
extern input_state_record input_state;

// Hooks into subsystems built elsewhere; null: nothing.
struct input_hook_table {
  void (*update_inactive_pause)() = nullptr;  // the script scheduler's focus pause
  void (*apply_cursor_request)() = nullptr;   // the cursor command's pending request
};
extern input_hook_table input_hooks;

// Script ids 137..537 (system values). Ids 137..270 read and write the value
// and ids 271..404 the press count of one of 134 entries: 129 fixed input codes
// (`mapped_input_codes`: 0..7, the 117 sampled keyboard codes in table order,
// then 20, 91, 92, 93), and five joystick entries whose element picks the
// code: 266..269 (and 400..403) up, down, left, right of pad `element`, 270
// (and 404) button `element` counted over all pads, 32 per pad. Ids 405..532
// give the input code of fixed entries 0..127, ids 533..537 the code of the
// five joystick entries for `element`. Writes of values follow the key-state
// rule (set_system_value); press counts are stored as given.
constexpr int mapped_input_code_count = 129;
extern const uint16_t* const mapped_input_codes;
int input_id_code(uint32_t id, int64_t element);  // -1: no code
int64_t input_id_value(uint32_t id, int64_t element);
void set_input_id_value(uint32_t id, int64_t element, int64_t value);

// Start-up: the handler table, the button masks and the script-visible input
// values (engine_facts).
void install_key_state_handlers();
void poll_input();              // main thread, once per loop pass
void sample_input_for_frame();  // inside the tick
int count_joysticks();          // 1 when at least one joystick exists
void poll_joysticks();


// From the window procedure (main thread).
void note_mouse_moved();
void note_mouse_wheel(int16_t delta);
// Logical coordinates of a client point of a window (window 0: the picture
// offset removed and scaled by logical / output size).
void client_to_logical(int window, int cx, int cy, int* lx, int* ly);
