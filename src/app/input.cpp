#include "app/input.h"

#include <algorithm>
#include <cstring>

#include "app/frame_loop.h"
#include "app/startup.h"
#include "graphics/message_window.h"
#include "script/control_flow.h"
#include "script/system_values.h"
#include "system/cursor_tray.h"
#include "system/file_list.h"

key_state key_states[key_state_code_count];
key_state_handler key_state_handlers[4] = {key_value_decrement, key_press, key_release, key_value_increment};
input_exchange_record input_exchange;
input_state_record input_state;
input_hook_table input_hooks;

const uint8_t sampled_keyboard_codes[sampled_keyboard_code_count] = {
    8,   9,   13,  16,  17,  18,  19,  27,  32,  33,  34,  35,  36,  37,  38,  39,  40,  44,  45,  46,
    47,  48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  65,  66,  67,  68,  69,  70,  71,  72,  73,
    74,  75,  76,  77,  78,  79,  80,  81,  82,  83,  84,  85,  86,  87,  88,  89,  90,  96,  97,  98,
    99,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117, 118,
    119, 120, 121, 122, 123, 124, 125, 126, 127, 128, 129, 130, 131, 132, 133, 134, 135, 144, 145, 160,
    161, 162, 163, 164, 165, 186, 187, 188, 189, 190, 191, 192, 219, 220, 221, 222, 226};

void key_value_decrement(key_state& k) { k.value -= 1; }
void key_press(key_state& k) {
  k.value = 1;
  k.phase = key_phase_down;
  k.press_count += 1;
}
void key_release(key_state& k) {
  k.value = -1;
  k.phase = key_phase_up;
}
void key_value_increment(key_state& k) { k.value += 1; }

void update_key_state(int code, uint8_t byte) {
  if (code < 0 || code >= key_state_code_count) return;
  key_state& k = key_states[code];
  int index = (k.phase == key_phase_down ? 2 : 0) + ((byte & 0x80) ? 1 : 0);
  key_state_handlers[index](k);
}

namespace {

// Floor division: a point just left of or above the picture stays outside.
int floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return static_cast<int>(q);
}

// Step 5: the cursor hides after the delay without input and shows again on
// the wake-up inputs the cursor command chose.
void cursor_auto_hide() {
  window_state* main = game_window_record(0);
  if (!main) return;
  auto down = [](int code) { return key_states[code].value > 0; };
  const bool wake = main->mouse_outside_client || (main->show_cursor_on_move && down(7)) ||
                    (main->show_cursor_on_click && (down(1) || down(2) || down(4))) ||
                    (main->show_cursor_on_wheel && (down(5) || down(6)));
  update_cursor_auto_hide(pacing_state.frame_now_ms, down(0), wake);
}

// Values scripts read through the system variables.
int64_t mouse_position(int window, int axis) {
  window_state* w = game_window_record(window);
  if (!w) return 0;
  return axis == 0 ? w->mouse_x : w->mouse_y;
}
int64_t input_value(uint32_t id, int64_t element) {
  if (id == 134) return element >= 0 && element < key_state_code_count ? key_states[element].value : 0;
  return input_id_value(id, element);
}
uint8_t* key_state_phase(int code) {
  return code >= 0 && code < key_state_code_count ? &key_states[code].phase : nullptr;
}
int64_t* key_state_value(int code) {
  return code >= 0 && code < key_state_code_count ? &key_states[code].value : nullptr;
}

}  // namespace

namespace {

// The entry of a joystick id (266..270, 271+129..271+133, 533..537): pad
// directions by pad number, buttons numbered over all pads (32 each).
int joystick_code_for(int which, int64_t element) {
  if (which < 4) {
    if (element < 0 || element >= joystick_max) return -1;
    return joystick_code_base + joystick_codes_each * static_cast<int>(element) + which;
  }
  if (element < 0 || element >= int64_t{joystick_max} * 32) return -1;
  return joystick_code_base + joystick_codes_each * static_cast<int>(element / 32) + 4 + static_cast<int>(element % 32);
}

// The input code an entry of the 134 mapped entries stands for, or -1.
int mapped_entry_code(int entry, int64_t element) {
  if (entry < 0) return -1;
  if (entry < mapped_input_code_count) return mapped_input_codes[entry];
  if (entry < mapped_input_code_count + 5) return joystick_code_for(entry - mapped_input_code_count, element);
  return -1;
}

}  // namespace

namespace {
struct mapped_code_table {
  uint16_t codes[mapped_input_code_count] = {};
  mapped_code_table() {
    int n = 0;
    for (int code = 0; code <= 7; ++code) codes[n++] = static_cast<uint16_t>(code);
    for (uint8_t code : sampled_keyboard_codes) codes[n++] = code;
    // Caps lock, the two Windows keys and the application key: not sampled,
    // so they read as never pressed, but scripts may write them.
    for (int code : {20, 91, 92, 93}) codes[n++] = static_cast<uint16_t>(code);
  }
};
const mapped_code_table mapped_table;
}  // namespace
const uint16_t* const mapped_input_codes = mapped_table.codes;

int input_id_code(uint32_t id, int64_t element) {
  if (id >= 137 && id <= 270) return mapped_entry_code(static_cast<int>(id - 137), element);
  if (id >= 271 && id <= 404) return mapped_entry_code(static_cast<int>(id - 271), element);
  return -1;
}

int64_t input_id_value(uint32_t id, int64_t element) {
  if (id >= 137 && id <= 270) {
    int code = input_id_code(id, element);
    return code >= 0 ? key_states[code].value : 0;
  }
  if (id >= 271 && id <= 404) {
    int code = input_id_code(id, element);
    return code >= 0 ? key_states[code].press_count : 0;
  }
  if (id >= 405 && id <= 532) return mapped_entry_code(static_cast<int>(id - 405), 0);
  if (id >= 533 && id <= 537) {
    int code = joystick_code_for(static_cast<int>(id - 533), element);
    return code >= 0 ? code : 0;
  }
  return 0;
}

void set_input_id_value(uint32_t id, int64_t element, int64_t value) {
  int code = input_id_code(id, element);
  if (code < 0) return;
  if (id <= 270) set_system_value(code, value);
  else key_states[code].press_count = value;
}

void install_key_state_handlers() {
  key_state_handlers[0] = key_value_decrement;
  key_state_handlers[1] = key_press;
  key_state_handlers[2] = key_release;
  key_state_handlers[3] = key_value_increment;
  for (int n = 0; n < 32; ++n) input_state.button_masks[n] = 1u << n;
  engine_facts.mouse_position = mouse_position;
  engine_facts.input_value = input_value;
  engine_facts.key_state_phase = key_state_phase;
  engine_facts.key_state_value = key_state_value;
  engine_facts.file_list_count = file_list_count;
  engine_facts.file_list_entry = file_list_entry;
  control_flow_hooks.set_input_value = set_input_id_value;
  control_flow_hooks.set_file_list_count = set_file_list_count;
  // The typesetter's advance and skip keys read the same table.
  message_input_hooks.key_value = [](int code) -> int64_t {
    const int64_t* v = key_state_value(code);
    return v ? *v : 0;
  };
}

void client_to_logical(int window, int cx, int cy, int* lx, int* ly) {
  window_state* w = game_window_record(window);
  if (!w) {
    *lx = cx;
    *ly = cy;
    return;
  }
  if (window != 0) {
    *lx = cx;
    *ly = cy;
    return;
  }
  int64_t x = int64_t{cx} - w->picture_offset_x, y = int64_t{cy} - w->picture_offset_y;
  int ow = cpu_frame_buffer.output_width, oh = cpu_frame_buffer.output_height;
  *lx = ow > 0 ? floor_div(x * w->logical_width, ow) : static_cast<int>(x);
  *ly = oh > 0 ? floor_div(y * w->logical_height, oh) : static_cast<int>(y);
}

void poll_input() {
  // The main thread's own snapshot; published whole under the exchange lock.
  static input_snapshot s;
  Ui* ui = platform().ui;
  s.input_window = -1;
  for (int i = 0; i < game_window_count; ++i) {
    window_state* w = game_window_record(i);
    if (w && window_states.created[i] == 1 && w->active) {
      s.input_window = i;
      break;
    }
  }
  s.joystick_count = std::clamp(ui->joystick_count(), 0, joystick_max);
  for (int id = 0; id < joystick_max; ++id) {
    s.joystick_ok[id] = id < s.joystick_count && ui->joystick_state(id, s.joysticks[id]) ? 1 : 0;
  }
  std::memset(s.bytes, 0, sizeof s.bytes);
  if (s.input_window >= 0) {
    ui->keyboard_state(s.bytes);
    for (int i = 0; i < game_window_count; ++i) {
      window_state* w = game_window_record(i);
      window_mouse_sample& m = s.mouse[i];
      int cx = 0, cy = 0;
      if (!w || !w->has_window || !ui->cursor_position(i, &cx, &cy)) {
        m = window_mouse_sample{};
        continue;
      }
      client_to_logical(i, cx, cy, &m.x, &m.y);
      int lw = w->logical_width, lh = w->logical_height;
      m.outside_picture = (m.x < 0 || m.y < 0 || m.x >= lw || m.y >= lh) ? 1 : 0;
      // The client is the picture widened on each side by its offset.
      int ex = 0, ey = 0;
      if (i == 0) {
        int ow = cpu_frame_buffer.output_width, oh = cpu_frame_buffer.output_height;
        ex = ow > 0 ? static_cast<int>(int64_t{w->picture_offset_x} * lw / ow) : w->picture_offset_x.load();
        ey = oh > 0 ? static_cast<int>(int64_t{w->picture_offset_y} * lh / oh) : w->picture_offset_y.load();
      }
      m.outside_client = (m.x < -ex || m.y < -ey || m.x >= lw + ex || m.y >= lh + ey) ? 1 : 0;
    }
  }
  std::lock_guard<std::mutex> g(input_exchange.lock);
  // With no active window the mouse places stay as last seen.
  if (s.input_window < 0) std::copy(input_exchange.published.mouse, input_exchange.published.mouse + game_window_count, s.mouse);
  input_exchange.published = s;
}

void note_mouse_moved() {
  std::lock_guard<std::mutex> g(input_exchange.lock);
  input_exchange.mouse_moved = 128;
}

void note_mouse_wheel(int16_t delta) {
  std::lock_guard<std::mutex> g(input_exchange.lock);
  input_exchange.wheel = delta;
}

namespace {

// Command 39's settings, as the script last set them.
void apply_run_settings() {
  input_state.mouse_sampling = run_settings.input_setting_a != 0 ? 1 : 0;
  input_state.keyboard_sampling = run_settings.input_setting_b != 0 ? 1 : 0;
  const uint8_t pending = run_settings.pending_state;
  run_settings.pending_state = 0;
  if (pending == 1) {
    cursor_state.auto_hide = 1;
  } else if (pending == 2) {
    cursor_state.auto_hide = 0;
    force_cursor_visible();
  }
}

}  // namespace

void sample_input_for_frame() {
  apply_run_settings();
  input_snapshot& cur = input_state.current;
  uint8_t moved;
  int16_t wheel;
  {
    std::lock_guard<std::mutex> g(input_exchange.lock);
    cur = input_exchange.published;
    moved = input_exchange.mouse_moved;
    wheel = input_exchange.wheel;
    input_exchange.mouse_moved = 0;
    input_exchange.wheel = 0;
  }
  for (int i = 0; i < game_window_count; ++i) {
    window_state* w = game_window_record(i);
    if (!w) continue;
    w->mouse_x = cur.mouse[i].x;
    w->mouse_y = cur.mouse[i].y;
    w->mouse_outside_picture = cur.mouse[i].outside_picture;
    w->mouse_outside_client = cur.mouse[i].outside_client;
  }
  take_window_events();

  uint8_t* bytes = cur.bytes;
  if (input_state.mouse_sampling) {
    int iw = cur.input_window;
    bytes[5] = bytes[6] = bytes[7] = 0;
    if (iw >= 0) {
      if (cur.mouse[iw].outside_client) {
        // A press that starts outside is not seen; one that started inside
        // stays down while the mouse is dragged out.
        for (int code : {1, 2, 4, 5, 6, 7})
          if (key_states[code].value <= 0) bytes[code] &= 0x7F;
      } else {
        if (wheel < 0) bytes[6] = 0x80;
        if (wheel > 0) bytes[5] = 0x80;
        bytes[7] = moved;
      }
    }
    for (int code = 1; code <= 7; ++code) update_key_state(code, bytes[code]);
  }
  if (input_state.keyboard_sampling) {
    uint8_t any = 0;
    for (uint8_t code : sampled_keyboard_codes) {
      update_key_state(code, bytes[code]);
      any |= bytes[code] & 0x80;
    }
    update_key_state(0, any);
  }
  if (input_state.joystick_enabled) poll_joysticks();
  cursor_auto_hide();
  if (input_hooks.apply_cursor_request) input_hooks.apply_cursor_request();
  for (int i = 0; i < game_window_count; ++i) {
    window_state* w = game_window_record(i);
    if (w && w->minimised) w->active = 0;
  }
  if (input_hooks.update_inactive_pause) input_hooks.update_inactive_pause();
  take_layer_drag_press();
}

int count_joysticks() {
  int n = platform().ui->joystick_count();
  if (n <= 0) {
    input_state.joystick_count = n < 0 ? 0 : n;
    input_state.joystick_enabled = 0;
    return 0;
  }
  input_state.joystick_count = std::min(n, joystick_max);
  for (int i = 0; i < 32; ++i) input_state.button_masks[i] = 1u << i;
  input_state.joystick_enabled = 1;
  return 1;
}

void poll_joysticks() {
  input_snapshot& cur = input_state.current;
  static ui_joystick_state last[joystick_max];
  for (int id = 0; id < joystick_max; ++id) input_state.joystick_lost[id] = 0;
  for (int id = 0; id < input_state.joystick_count; ++id) {
    if (cur.joystick_ok[id]) {
      last[id] = cur.joysticks[id];
    } else {
      input_state.joystick_lost[id] = 1;  // the last values stay
    }
    const ui_joystick_state& j = last[id];
    const int base = joystick_code_base + joystick_codes_each * id;
    uint8_t* b = cur.bytes + base;
    // No dead zone: exactly the centre is neither direction.
    b[0] = j.y < joystick_centre ? 0x80 : 0;
    b[1] = j.y > joystick_centre ? 0x80 : 0;
    b[2] = j.x < joystick_centre ? 0x80 : 0;
    b[3] = j.x > joystick_centre ? 0x80 : 0;
    for (int n = 0; n < 32; ++n) b[4 + n] = (j.buttons & input_state.button_masks[n]) ? 0x80 : 0;
    for (int n = 0; n < joystick_codes_each; ++n) update_key_state(base + n, b[n]);
  }
}
