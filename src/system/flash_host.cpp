#include "system/flash_host.h"

#include <cstdlib>

#include "core/error_report.h"
#include "core/info_log.h"
#include "core/sjis.h"
#include "core/window_state.h"
#include "platform/text_encoding.h"
#include "script/argument_binding.h"
#include "system/command_output.h"

flash_host_record flash_host;

namespace {

uint32_t assignment_of(uint32_t parameter_id) {
  const uint32_t pos = argument_position(parameter_id);
  return pos ? argument_slots.assignment_operator[pos] : 0;
}

// Movie names stay inside the game folder: no absolute path, drive or "..".
bool inside_game_folder(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name.find(':') != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('\\', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

bool movie_file_readable(const std::string& name) {
  HostFiles* files = platform_installed() ? platform().files : nullptr;
  if (!files || !inside_game_folder(name)) return false;
  return files->open_read(name) != nullptr;  // opened and closed at once
}

int64_t scale(int64_t v, int logical, int output) { return logical > 0 && output > 0 ? v * output / logical : v; }

}  // namespace

void flash_release() {
  flash_host.movie.reset();
}

int cmd_flash_open() {
  if (bind_command_arguments(21) != 0) return -1;
  flash_host_record& f = flash_host;
  int64_t* fields[4] = {&f.x, &f.y, &f.width, &f.height};
  for (uint32_t i = 0; i < 4; ++i)
    if (parameter_given(2 + i)) *fields[i] = apply_assign_mode(assignment_of(2 + i), *fields[i], parameter_int(2 + i));
  const int64_t user_value = parameter_int(6, 0);
  const window_state* main = game_window_record(0);
  if (parameter_given(0)) {
    std::string name = parameter_text(0);
    lower_path_sjis(name);
    replace_sjis_char(name, '/', '\\');
    if (!parameter_given(2)) f.x = 0;
    if (!parameter_given(3)) f.y = 0;
    if (!parameter_given(4)) f.width = main ? main->logical_width : 0;
    if (!parameter_given(5)) f.height = main ? main->logical_height : 0;
    if (!movie_file_readable(name)) {
      report_error_at_line_fmt(104060, 1, name);
      return -1;
    }
    f.name = name;
    f.started = 0;
  }
  if (parameter_int(1, 0) != 1) return 0;
  // A second start ends the movie shown before.
  flash_release();
  int64_t x = f.x, y = f.y, w = f.width, h = f.height;
  if (main) {
    const int out_w = cpu_frame_buffer.output_width, out_h = cpu_frame_buffer.output_height;
    x = scale(x, main->logical_width, out_w) + main->picture_offset_x;
    y = scale(y, main->logical_height, out_h) + main->picture_offset_y;
    w = scale(w, main->logical_width, out_w);
    h = scale(h, main->logical_height, out_h);
  }
  FlashBackend* backend = platform_installed() ? platform().flash : nullptr;
  if (backend && !f.name.empty()) {
    const std::string path = platform().files->host_path(f.name);
    f.movie = backend->open_movie(path, static_cast<int>(x), static_cast<int>(y), static_cast<int>(w),
                                  static_cast<int>(h));
  }
  if (!f.movie && !f.no_player_logged) {
    f.no_player_logged = 1;
    write_info_log("ERR", "%s", "Flash movies cannot play: no Flash player on this platform.");
  }
  f.total_frames = f.movie ? f.movie->total_frames() : 0;
  f.user_value = user_value;
  f.started = 1;
  return 0;
}

int cmd_flash_close() {
  if (bind_command_arguments(22) != 0) return -1;
  flash_release();
  flash_host.name.clear();
  flash_host.started = 0;
  flash_host.user_value = 0;
  flash_host.total_frames = 0;
  return 0;
}

int cmd_flash_query() {
  if (bind_command_arguments(23) != 0) return -1;
  const command_output out = command_output_of(9);
  if (!out.variable) return 0;
  flash_host_record& f = flash_host;
  if (parameter_given(0)) {
    store_output_number(out, f.movie && f.movie->playing() ? 1 : 0);
  } else if (parameter_given(1)) {
    int64_t value = 0;
    if (f.movie) {
      std::string text;
      char* end = nullptr;
      bool ok = f.movie->get_variable("zorvik", text);
      if (ok) {
        value = std::strtoll(text.c_str(), &end, 10);
        ok = !text.empty() && end && *end == 0;
      }
      if (!ok) {
        value = 0;
        show_message_box("",
                         utf8_to_sjis("変数 %s が見つかりませんでした。\r\nルートの変数になっているか、"
                                      "また整数が格納されているか、\r\n確認してください。"),
                         "zorvik");
      }
    }
    store_output_number(out, value);
  } else if (parameter_given(2)) {
    store_output_number(out, f.x);
  } else if (parameter_given(3)) {
    store_output_number(out, f.y);
  } else if (parameter_given(4)) {
    store_output_number(out, f.width);
  } else if (parameter_given(5)) {
    store_output_number(out, f.height);
  } else if (parameter_given(6) || parameter_given(7) || parameter_given(8)) {
    if (!f.started) {
      clear_output(out);
    } else if (parameter_given(6)) {
      store_output_number(out, f.movie ? f.movie->current_frame() : 0);
    } else if (parameter_given(7)) {
      store_output_number(out, f.user_value);
    } else {
      store_output_number(out, f.total_frames);
    }
  }
  return 0;
}
