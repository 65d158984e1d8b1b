#include "sound/movie_commands.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/info_log.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "core/window_state.h"
#include "script/argument_binding.h"
#include "script/variable_store.h"

movie_player_record movie_player;

namespace {

// Parameter ids of command 60 (argument n is id n - 1).
enum : uint32_t {
  play_file = 0,
  play_switch = 1,
  play_x = 2,
  play_y = 3,
  play_width = 4,
  play_height = 5,
  play_volume = 6,
};

// Parameter ids of command 62.
enum : uint32_t {
  status_playing = 0,
  status_x = 1,
  status_y = 2,
  status_width = 3,
  status_height = 4,
  status_volume = 5,
  status_file = 6,
  status_output = 7,
};

bool directshow_mode() { return engine_settings.movie_engine == 1; }

MoviePlayer* movie_service() { return platform_installed() ? platform().movies : nullptr; }

std::string argument_text(uint32_t id) {
  uint32_t pos = argument_position(id);
  if (!pos || !argument_slots.string_value[pos]) return {};
  return std::string(argument_slots.string_value[pos], argument_slots.string_length[pos]);
}

// Lower case (Shift-JIS aware) with '\' separators, as the player names files.
std::string movie_file_name(std::string name) {
  lower_path_sjis(name);
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

bool file_readable(const std::string& game_path) {
  if (game_path.empty()) return false;
  HostFiles* files = platform().files;
  return files && files->kind(game_path) == host_entry_kind::file && files->open_read(game_path) != nullptr;
}

int32_t clamp_volume(int32_t v) { return std::clamp(v, 0, 256); }

// The volume in the player's terms by the chosen behaviour.
int32_t volume_attenuation(int32_t volume) {
  return directshow_mode() ? dshow_movie_volume(volume) : mci_level_attenuation(mci_movie_level(volume));
}

movie_rect placed_rect() {
  movie_view v = current_movie_view();
  const movie_player_record& m = movie_player;
  return directshow_mode() ? dshow_movie_rect(v, m.x, m.y, m.width, m.height)
                           : mci_movie_rect(v, m.x, m.y, m.width, m.height);
}

void log_movie_end(const std::string& why) {
  write_info_log("ERR", "movie [%s]: %s", movie_player.path, why);
}

int scaled(int value, int to, int from) { return static_cast<int>(int64_t{value} * to / from); }

void close_player() {
  if (MoviePlayer* p = movie_service()) p->close();
  movie_player.open = 0;
}

// Starts the stored movie. 0 playing; -1 empty path; -2 the player refused it.
int start_movie() {
  if (movie_player.path.empty()) return -1;
  MoviePlayer* p = movie_service();
  std::string error = "no movie player";
  const std::string host = platform().files ? platform().files->host_path(movie_player.path) : std::string();
  movie_player.open = 0;
  if (!p || !p->play(host, 0, placed_rect(), volume_attenuation(clamp_volume(movie_player.volume)), &error)) {
    if (p) p->close();
    log_movie_end(error);
    return -2;
  }
  movie_player.open = 1;
  return 0;
}

}  // namespace

movie_view current_movie_view() {
  movie_view v;
  if (const window_state* w = game_window_record(0)) {
    v.logical_width = w->logical_width;
    v.logical_height = w->logical_height;
    v.origin_x = w->picture_offset_x.load();
    v.origin_y = w->picture_offset_y.load();
  }
  v.drawing_width = cpu_frame_buffer.output_width > 0 ? cpu_frame_buffer.output_width : v.logical_width;
  v.drawing_height = cpu_frame_buffer.output_height > 0 ? cpu_frame_buffer.output_height : v.logical_height;
  v.display_width = screen_state.client_width > 0 ? screen_state.client_width.load() : v.drawing_width;
  v.display_height = screen_state.client_height > 0 ? screen_state.client_height.load() : v.drawing_height;
  v.scaling_policy = engine_settings.scaling_policy;
  return v;
}

movie_rect dshow_movie_rect(const movie_view& v, int x, int y, int width, int height) {
  movie_rect r{x, y, width, height};
  if (v.logical_width != 0) {
    r.x = scaled(x, v.drawing_width, v.logical_width);
    r.width = scaled(width, v.drawing_width, v.logical_width);
  }
  if (v.logical_height != 0) {
    r.y = scaled(y, v.drawing_height, v.logical_height);
    r.height = scaled(height, v.drawing_height, v.logical_height);
  }
  r.x += v.origin_x;
  r.y += v.origin_y;
  return r;
}

movie_rect mci_movie_rect(const movie_view& v, int x, int y, int width, int height) {
  int dest_w = v.drawing_width, dest_h = v.drawing_height;
  int origin_x = v.origin_x, origin_y = v.origin_y;
  // Both logical sides count as 1 when 0: the height too, which the
  // letterbox divides by.
  const int64_t lw = v.logical_width != 0 ? v.logical_width : 1;
  const int64_t lh = v.logical_height != 0 ? v.logical_height : 1;
  if (v.scaling_policy == 2) {
    const int64_t dw = v.display_width, dh = v.display_height;
    if (dh > lh * dw / lw) {
      dest_w = static_cast<int>(dw);
      dest_h = static_cast<int>(lh * dw / lw);
    } else {
      dest_h = static_cast<int>(dh);
      dest_w = static_cast<int>(dh * lw / lh);
    }
    origin_x = static_cast<int>((dw - dest_w) / 2);
    origin_y = static_cast<int>((dh - dest_h) / 2);
  }
  movie_rect r;
  r.x = static_cast<int>(x * int64_t{dest_w} / lw) + origin_x;
  r.y = static_cast<int>(y * int64_t{dest_h} / lh) + origin_y;
  r.width = static_cast<int>(width * int64_t{dest_w} / lw);
  r.height = static_cast<int>(height * int64_t{dest_h} / lh);
  return r;
}

int32_t dshow_movie_volume(int32_t volume) {
  if (volume <= 0) return -10000;
  double db = std::log10(static_cast<double>(volume) / 256.0) * 40.0 * 100.0;
  return std::clamp(static_cast<int32_t>(db), -10000, 0);  // truncated toward zero
}

int32_t mci_movie_level(int32_t volume) { return volume * 1000 / 256; }

int32_t mci_level_attenuation(int32_t level) {
  if (level <= 0) return -10000;
  if (level >= 1000) return 0;
  return std::clamp(static_cast<int32_t>(std::lround(2000.0 * std::log10(level / 1000.0))), -10000, 0);
}

int mpeg_kind_of_bytes(const uint8_t* b, size_t size) {
  if (!b || size < 5) return 255;
  if (b[0] != 0x00 || b[1] != 0x00 || b[2] != 0x01 || b[3] != 0xBA) return 255;
  if (b[4] >= 0x20 && b[4] <= 0x2F) return 1;
  if (b[4] >= 0x40) return 2;
  return 255;
}

int cmd_movie_play() {
  if (bind_command_arguments(movie_play_command) != 0) return -1;
  movie_player_record& m = movie_player;
  auto assign = [](uint32_t id, int32_t& field) {
    uint32_t pos = argument_position(id);
    if (!pos) return;
    field = static_cast<int32_t>(apply_assign_mode(argument_slots.assignment_operator[pos], field, parameter_int(id)));
  };
  assign(play_x, m.x);
  assign(play_y, m.y);
  assign(play_width, m.width);
  assign(play_height, m.height);

  if (parameter_given(play_file)) {
    std::string name = movie_file_name(argument_text(play_file));
    const window_state* main = game_window_record(0);
    if (!parameter_given(play_x)) m.x = 0;
    if (!parameter_given(play_y)) m.y = 0;
    if (!parameter_given(play_width)) m.width = main ? main->logical_width : 0;
    if (!parameter_given(play_height)) m.height = main ? main->logical_height : 0;
    if (!file_readable(name)) return 0;
    m.path = name.substr(0, 260);
    m.playing = 0;
  }

  MoviePlayer* p = movie_service();
  if (parameter_given(play_volume)) {
    m.volume = static_cast<int32_t>(parameter_int(play_volume));
    if (p && m.open) p->set_volume(volume_attenuation(clamp_volume(m.volume)));
  }
  if (!parameter_given(play_switch)) return 0;
  const int64_t which = parameter_int(play_switch);
  if (which == 0) {
    if (p && m.open) p->stop();
    m.playing = 0;
    return 0;
  }
  if (which != 1) return 0;

  if (directshow_mode()) {
    int r = start_movie();
    if (r == -1) {
      report_error_at_line(101510, 0);
      return -1;
    }
    if (r == -2) {
      // The old movie is gone and this one never starts: nothing will end it,
      // so it counts as ended now.
      m.playing = 0;
      report_error_at_line(101520, 0);
      return -1;
    }
  } else {
    m.mci_result = start_movie() == 0 ? 1 : 0;
    if (!m.mci_result) {
      // A movie that did not open has ended: no end notice would ever come.
      m.playing = 0;
      return 0;
    }
  }
  m.playing = 1;
  return 0;
}

int cmd_movie_stop() {
  if (bind_command_arguments(movie_stop_command) != 0) return -1;
  if (directshow_mode())
    dshow_movie_close();
  else
    mci_movie_close();
  movie_player.path.clear();
  movie_player.playing = 0;
  movie_player.volume = 256;
  movie_player.mci_result = 0;
  return 0;
}

int cmd_movie_status() {
  if (bind_command_arguments(movie_status_command) != 0) return -1;
  uint32_t pos = argument_position(status_output);
  if (!pos || !argument_slots.variable_id[pos]) return 0;
  const uint32_t variable = argument_slots.variable_id[pos];
  const int64_t element = argument_slots.element_index[pos];
  const movie_player_record& m = movie_player;
  for (uint32_t id = status_playing; id <= status_volume; ++id) {
    if (!parameter_given(id)) continue;
    int64_t v = 0;
    switch (id) {
      case status_playing: v = m.playing; break;
      case status_x: v = m.x; break;
      case status_y: v = m.y; break;
      case status_width: v = m.width; break;
      case status_height: v = m.height; break;
      default: v = m.volume; break;
    }
    set_numeric_element(variable, element, v);
    return 0;
  }
  if (!parameter_given(status_file)) return 0;
  std::string name = movie_file_name(argument_text(status_file));
  int64_t kind = 0;
  std::unique_ptr<HostReadFile> file;
  if (!name.empty() && platform().files && platform().files->kind(name) == host_entry_kind::file)
    file = platform().files->open_read(name);
  if (file) {
    uint8_t head[5] = {};
    const size_t n = static_cast<size_t>(std::min<uint64_t>(file->size(), 5));
    kind = (n == 5 && file->read_at(0, head, 5)) ? mpeg_kind_of_bytes(head, 5) : 255;
  }
  set_numeric_element(variable, element, kind);
  return 0;
}

bool movie_playing() { return movie_player.playing.load() != 0; }

void present_movie_frame() {
  if (!movie_player.open) return;
  if (MoviePlayer* p = movie_service()) p->update();
}

void movie_window_event() {
  MoviePlayer* p = movie_service();
  if (!p || !movie_player.open) return;
  std::string reason;
  if (!p->take_end(&reason)) return;
  if (!reason.empty()) log_movie_end(reason);
  if (directshow_mode()) {
    close_player();
    movie_player.playing = 0;
  } else if (movie_player.mci_result) {
    movie_player.playing = 0;  // the last picture stays up until command 61
  }
}

void movie_follow_window() {
  if (!movie_player.open) return;
  if (MoviePlayer* p = movie_service()) p->set_rect(placed_rect());
}

void dshow_movie_close() { close_player(); }

void mci_movie_close() { close_player(); }
