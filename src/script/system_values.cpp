#include "script/system_values.h"

#include "core/error_report.h"
#include "core/play_time.h"
#include "format/variable_image.h"
#include "platform/platform.h"
#include "core/engine_config.h"
#include "script/variable_store.h"

engine_facts_record engine_facts;
kept_system_values_record kept_system_values;

namespace {

Clock* clock_service() { return platform_installed() ? platform().clock : nullptr; }

int64_t local_time_element(int64_t element) {
  if (element >= 8 && element < 16) return kept_system_values.time_extra[element - 8];
  Clock* c = clock_service();
  if (!c || element < 0 || element >= 8) return 0;
  const local_time t = c->local_now();
  switch (element) {
    case 0: return t.year;
    case 1: return t.month;
    case 2: return t.day;
    case 3: return t.day_of_week;
    case 4: return t.hour;
    case 5: return t.minute;
    case 6: return t.second;
    default: return t.milliseconds;
  }
}

int64_t play_time(int counter) {
  Clock* c = clock_service();
  return c ? play_time_value(counter - 1, c->tick_ms()) : 0;
}

int64_t* kept_slot(uint32_t id) {
  if (id >= 107 && id <= 110) return &kept_system_values.input_107_110[id - 107];
  if (id == 122) return &kept_system_values.input_122;
  if (id == 135) return &kept_system_values.input_135;
  if (id == 136) return &kept_system_values.input_136;
  return nullptr;
}

}  // namespace

bool set_kept_system_value(uint32_t id, int64_t value) {
  int64_t* slot = kept_slot(id);
  if (!slot) return false;
  *slot = value;
  return true;
}

uint8_t system_value_kind(uint32_t id) { return system_variable_type(id); }

int64_t system_int_value(uint32_t id, int64_t element) {
  const engine_facts_record& f = engine_facts;
  if (int64_t* kept = kept_slot(id)) return *kept;
  switch (id) {
    case 0: return local_time_element(element);
    case 1: {
      if (element == 0) {
        Clock* c = clock_service();
        return c ? static_cast<int64_t>(c->tick_ms()) : 0;
      }
      return element >= 1 && element <= 4 ? play_time(static_cast<int>(element)) : 0;
    }
    case 2: return f.os_code;
    case 3: return f.system_info_count;
    case 4: return engine_config.sound_on;
    case 5: return f.memory_status ? f.memory_status(0) : 0;
    case 6: return f.memory_status ? f.memory_status(1) : 0;
    case 7: return f.memory_status ? f.memory_status(2) : 0;
    case 8: return 0;
    case 9: return f.write_test_result;
    case 11: return engine_config.debug_switch;
    case 13: return f.argument_count ? f.argument_count() : 0;
    case 15: return f.file_list_count ? f.file_list_count() : 0;
    case 98: return compiled_file_version;
    case 99: return f.frame_counter ? f.frame_counter() : 0;
    case 100: return f.scheduler_pass_counter ? f.scheduler_pass_counter() : 0;
    case 101: return play_time(1);
    case 102: return f.save_folder_mode;
    case 104: return f.screen_bits_per_pixel;
    case 105: return f.screen_width;
    case 106: return f.screen_height;
    case 114: return variable_table.header_value;
    default: break;
  }
  if (id == 48 || (id >= 49 && id <= 60) || id == 116)
    return f.task_int_value ? f.task_int_value(id, element) : 0;
  if (id >= 123 && id <= 132) {
    int axis = id >= 128 ? 1 : 0;
    int window = static_cast<int>(id - (axis ? 128 : 123));
    return f.mouse_position ? f.mouse_position(window, axis) : 0;
  }
  if (id == 134 || (id >= 137 && id <= 537)) return f.input_value ? f.input_value(id, element) : 0;
  return f.other_int_value ? f.other_int_value(id, element) : 0;
}

double system_real_value(uint32_t id, int64_t element) {
  if (id == 10) return 3.141592653589793;
  if (id == 51 || id == 55 || id == 59)
    return engine_facts.task_real_value ? engine_facts.task_real_value(id, element) : 0.0;
  return 0.0;
}

int system_string_variable(uint32_t id, int64_t element, std::string& out) {
  const engine_facts_record& f = engine_facts;
  out.clear();
  switch (id) {
    case 12:
      if (f.argument_text && element >= 0) out = f.argument_text(element);
      return 0;
    case 14: {
      int64_t count = f.file_list_count ? f.file_list_count() : 0;
      if (element < 0 || element >= count) {
        report_error_at_line(107010, 1);
        return -1;
      }
      if (f.file_list_entry) out = f.file_list_entry(element);
      return 0;
    }
    case 93: out = f.game_folder; return 0;
    case 94: out = f.game_path; return 0;
    case 95: out = f.save_folder; return 0;
    case 96: out = f.app_data_folder; return 0;
    case 97: out = f.documents_folder; return 0;
    case 112:
    case 113:
      if (f.message_text) out = f.message_text(static_cast<int>(id - 112));
      return 0;
    case 117:
      // The character whose code is the element: one byte below 256, else two.
      if (element > 0 && element < 256) out.assign(1, static_cast<char>(element));
      else if (element >= 256 && element < 65536) {
        out.push_back(static_cast<char>(element >> 8));
        out.push_back(static_cast<char>(element & 0xFF));
      }
      return 0;
    case 118:
    case 119:
    case 120:
    case 121:
      if (f.tree_path) out = f.tree_path(static_cast<int>(id - 118));
      return 0;
    default: break;
  }
  if (id == 52 || id == 56 || id == 60 || id == 115) {
    if (f.task_text_value) out = f.task_text_value(id, element);
  }
  return 0;
}

void set_system_value(int input_code, int64_t value) {
  if (!engine_facts.key_state_phase || !engine_facts.key_state_value) return;
  uint8_t* phase = engine_facts.key_state_phase(input_code);
  int64_t* slot = engine_facts.key_state_value(input_code);
  if (!phase || !slot) return;
  // A key that is up keeps only "up" (negative) values, a key that is down
  // only "down" (positive) ones; anything else becomes 0.
  if (*phase == 0) *slot = value < 0 ? value : 0;
  else *slot = value > 0 ? value : 0;
}
