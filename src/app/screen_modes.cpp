#include "app/screen_modes.h"

#include "system/menus.h"

#include <algorithm>

#include "app/game_window.h"
#include "core/engine_config.h"
#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/info_log.h"
#include "core/object_tree.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "core/system_info.h"
#include "core/frame_state.h"
#include "graphics/layer_record.h"
#include "platform/platform.h"
#include "resources/command_table.h"

monitor_list_record monitor_list;
menu_bar_record menu_bar;
menu_bar_hook_table menu_bar_hooks;

namespace {

struct screen_messages {
  std::string fullscreen_start = utf8_to_sjis("フルスクリーン処理開始します.");
  std::string fullscreen_gdi = utf8_to_sjis("DirectX を使用せずにフルスクリーン切替処理開始します.");
  std::string no_mode = utf8_to_sjis("PC環境が %d x %d 解像度でのフルスクリーンに対応していません。");
  std::string windowed_start = utf8_to_sjis("通常スクリーン切替処理開始します.");
  std::string windowed_gdi = utf8_to_sjis("DirectX を使用せずに通常スクリーン切替処理開始します.");
};
const screen_messages& messages() {
  static const screen_messages m;
  return m;
}

Ui* ui() { return platform().ui; }

constexpr unsigned window_set_command = 92;  // the menu bar is set by the window command

int game_width() {
  const window_state* w = game_window_record(0);
  return w ? w->logical_width : 0;
}
int game_height() {
  const window_state* w = game_window_record(0);
  return w ? w->logical_height : 0;
}

bool valid(const monitor_entry& m) { return m.width > 0 && m.height > 0; }

// The desktop size becomes the chosen monitor's.
void take_monitor_as_desktop(int index) {
  const monitor_entry& m = monitor_list.monitors[index];
  if (!valid(m)) return;
  system_info.desktop_width = m.width;
  system_info.desktop_height = m.height;
}

void cursor_to_monitor_centre(int index) {
  const monitor_entry& m = monitor_list.monitors[index];
  if (valid(m)) ui()->warp_cursor(m.x + m.width / 2, m.y + m.height / 2);
}

}  // namespace

// ---------------------------------------------------------------- monitors

void enumerate_monitors() {
  monitor_list.count = 0;
  for (monitor_entry& m : monitor_list.monitors) m = monitor_entry{};
  Ui* u = platform_installed() ? ui() : nullptr;
  int n = u ? u->display_count() : 0;
  for (int i = 0; i < n && monitor_list.count < monitor_max; ++i) {
    ui_display d;
    if (!u->display_info(i, d)) continue;
    monitor_entry& m = monitor_list.monitors[monitor_list.count++];
    m.x = d.bounds.x, m.y = d.bounds.y, m.width = d.bounds.width, m.height = d.bounds.height;
    m.usable_x = d.usable.x, m.usable_y = d.usable.y;
    m.usable_width = d.usable.width, m.usable_height = d.usable.height;
    m.name = d.name;
  }
  if (monitor_list.count == 0) {
    monitor_entry& m = monitor_list.monitors[0];
    m.width = m.usable_width = system_info.desktop_width;
    m.height = m.usable_height = system_info.desktop_height;
    m.name = "DISPLAY";
    monitor_list.count = 1;
  }
}

int find_window_monitor(int window, std::string* name) {
  int index = platform_installed() ? ui()->window_display(window) : -1;
  // The platform's index is checked against the 16 entries, and an entry the
  // list has no monitor for is never used.
  if (index < 0 || index >= monitor_max || !valid(monitor_list.monitors[index])) {
    index = 0;
    for (int i = 0; i < monitor_max; ++i) {
      if (valid(monitor_list.monitors[i])) {
        index = i;
        break;
      }
    }
  }
  monitor_list.chosen = index;
  monitor_list.chosen_name = monitor_list.monitors[index].name;
  if (name) *name = monitor_list.chosen_name;
  return index;
}

// ---------------------------------------------------------------- output size

void choose_output_size(int gw, int gh, int aw, int ah) {
  if (gw <= 0 || gh <= 0 || aw <= 0 || ah <= 0) return;
  int policy = engine_settings.scaling_policy;
  bool maximised_window = screen_state.maximised && !screen_state.fullscreen;
  bool wide = double(ah) <= double(gh) * double(aw) / double(gw);
  int ow = gw, oh = gh;
  uint8_t mode = 0;
  if (policy == 1 || maximised_window || policy == 2) {
    bool by_height = policy == 2 && !maximised_window ? !wide : wide;
    if (by_height) {
      ow = static_cast<int>(int64_t{gw} * ah / gh), oh = ah, mode = 2;
    } else {
      ow = aw, oh = static_cast<int>(int64_t{gh} * aw / gw), mode = 1;
    }
  } else if (policy == 3) {
    ow = aw, oh = ah, mode = 3;
  }
  if (policy != 2 && system_info.desktop_width > 0 && system_info.desktop_height > 0 &&
      (system_info.desktop_width < ow || system_info.desktop_height < oh)) {
    ow = system_info.desktop_width / 2;
    oh = system_info.desktop_height / 2;
  }
  screen_state.scaling_mode = mode;
  if (ow < 1 || oh < 1) return;
  if (ow == cpu_frame_buffer.output_width && oh == cpu_frame_buffer.output_height) return;
  if (apply_frame_buffer_rule(cpu_frame_buffer.pixels, ow, oh) != 0) return;
  cpu_frame_buffer.output_width = ow;
  cpu_frame_buffer.output_height = oh;
}

bool find_best_display_mode(int display, int gw, int gh, int dw, int dh, int depth, int* width, int* height) {
  if (dh <= 0) return false;
  const int64_t aspect = int64_t{dw} * 1000 / dh;
  Ui* u = ui();
  int count = std::min(u->display_mode_count(display), 10000);
  bool found = false;
  int bw = 0, bh = 0;
  for (int i = 0; i < count; ++i) {
    ui_display_mode m;
    if (!u->display_mode(display, i, m) || m.height <= 0) continue;
    if (int64_t{m.width} * 1000 / m.height != aspect) continue;
    if (m.width < gw || m.height < gh || m.depth != depth) continue;
    // A mode replaces the best so far only when it is both narrower and lower.
    if (!found || (m.width < bw && m.height < bh)) {
      bw = m.width, bh = m.height;
      found = true;
    }
  }
  if (found) *width = bw, *height = bh;
  return found;
}

// ---------------------------------------------------------------- switches

namespace {

// The full-screen output for the game's size on `display`: the desktop's
// size, or the best display mode when the settings ask for the search.
void choose_fullscreen_output(int display) {
  const int gw = game_width(), gh = game_height();
  int mw = system_info.desktop_width, mh = system_info.desktop_height;
  // kxcfg.dat slot 6 (0 there) turns the search on.
  if (engine_settings.best_mode_search != 0 &&
      !find_best_display_mode(display, gw, gh, system_info.desktop_width, system_info.desktop_height,
                              screen_state.fullscreen_depth, &mw, &mh)) {
    mw = system_info.desktop_width;
    mh = system_info.desktop_height;
  }
  choose_output_size(gw, gh, mw, mh);
}

}  // namespace

void request_device_reset() {
  if (engine_settings.gpu_drawing) screen_state.device_reset_requested = 1;
}

void withdraw_device_reset() { screen_state.device_reset_requested = 0; }

bool in_fullscreen() { return screen_state.fullscreen != 0; }

int set_fullscreen_mode_gdi(int display) {
  write_info_log("", messages().fullscreen_gdi);
  request_device_reset();
  const int ow = cpu_frame_buffer.output_width, oh = cpu_frame_buffer.output_height;
  const monitor_entry& m = monitor_list.monitors[display];
  bool ok = false;
  if (ow == m.width && oh == m.height) {
    // The desktop already has the size: full screen over it, no mode change.
    ok = ui()->enter_fullscreen(0, display, nullptr);
    if (!ok) report_error(105210, 0);
  } else {
    ui_display_mode wanted;
    bool listed = false;
    for (int i = 0, n = std::min(ui()->display_mode_count(display), 10000); i < n && !listed; ++i) {
      ui_display_mode mode;
      if (ui()->display_mode(display, i, mode) && mode.width == ow && mode.height == oh &&
          mode.depth == screen_state.fullscreen_depth) {
        wanted = mode;
        listed = true;
      }
    }
    if (!listed) {
      show_message_box("", messages().no_mode, ow, oh);
      write_info_log("", messages().no_mode, ow, oh);
    } else {
      ok = ui()->enter_fullscreen(0, display, &wanted);
      if (!ok) report_error(105210, 0);
    }
  }
  if (ok) {
    int cw = 0, ch = 0;
    if (ui()->client_size(0, &cw, &ch) && cw > 0 && ch > 0) {
      screen_state.client_width = cw;
      screen_state.client_height = ch;
    }
    return 0;
  }
  withdraw_device_reset();
  screen_state.fullscreen = 0;
  switch_to_windowed_gdi();
  return -1;
}

void save_output_and_frame_sizes() {
  screen_state.saved_output_width = cpu_frame_buffer.output_width;
  screen_state.saved_output_height = cpu_frame_buffer.output_height;
  screen_state.saved_frame_width = cpu_frame_buffer.frame_width;
  screen_state.saved_frame_height = cpu_frame_buffer.frame_height;
}

int switch_to_fullscreen() {
  write_info_log("", messages().fullscreen_start);
  enumerate_monitors();
  const int display = find_window_monitor(0, nullptr);
  take_monitor_as_desktop(display);
  save_output_and_frame_sizes();
  if (menu_bar.node[0] && menu_bar_hooks.build) menu_bar_hooks.build(0, nullptr, false);

  choose_fullscreen_output(display);
  if (set_fullscreen_mode_gdi(display) != 0) return -1;
  cursor_to_monitor_centre(display);
  screen_state.maximising = 0;
  if (const window_state* w = game_window_record(0)) rebuild_menu_bar(w->menu_name, 0);
  return 0;
}

void switch_to_windowed_gdi() {
  write_info_log("", messages().windowed_gdi);
  ui()->leave_fullscreen(0);
  // The frame comes back with the window; the loop takes the sizing border
  // off again after 20 ticks unless the window is resizable.
  if (!quit_flag) pacing_state.style_countdown = 20;
  if (screen_state.maximised) {
    const monitor_entry& m = monitor_list.monitors[monitor_list.chosen];
    ui()->restore_window(0);
    ui()->move_window(0, m.usable_x + m.usable_width / 2 - game_width() / 2,
                      m.usable_y + m.usable_height / 2 - game_height() / 2);
  }
  if (!quit_flag) {
    if (const window_state* w = game_window_record(0)) rebuild_menu_bar(w->menu_name, 0);
  }
}

int switch_to_windowed() {
  write_info_log("", messages().windowed_start);
  if (menu_bar.on_strip && menu_bar_hooks.build) menu_bar_hooks.build(0, nullptr, true);
  menu_bar.on_strip = 0;
  // Windowed from here on: the bar rebuilt below goes back on the window (not
  // the strip) and the window gets its size limits again.
  screen_state.fullscreen = 0;
  screen_state.saved_output_width = screen_state.saved_output_height = 0;
  screen_state.saved_frame_width = screen_state.saved_frame_height = 0;
  const int gw = game_width(), gh = game_height();
  switch_to_windowed_gdi();
  request_device_reset();
  if (gw > 0 && gh > 0 && apply_frame_buffer_rule(cpu_frame_buffer.pixels, gw, gh) == 0) {
    cpu_frame_buffer.frame_width = cpu_frame_buffer.output_width = gw;
    cpu_frame_buffer.frame_height = cpu_frame_buffer.output_height = gh;
    if (!quit_flag) ui()->set_client_size(0, gw, gh);
    screen_state.client_width = gw;
    screen_state.client_height = gh;
  }
  enumerate_monitors();
  const int display = find_window_monitor(0, nullptr);
  take_monitor_as_desktop(display);
  if (!quit_flag) {
    cursor_to_monitor_centre(display);
    on_get_min_max_info();
  }
  return 0;
}

void set_fullscreen_game_size(int width, int height) {
  if (!screen_state.fullscreen || width <= 0 || height <= 0) return;
  cpu_frame_buffer.frame_width = width;
  cpu_frame_buffer.frame_height = height;
  const int display = find_window_monitor(0, nullptr);
  choose_fullscreen_output(display);
  if (set_fullscreen_mode_gdi(display) != 0) return;
  clear_window_black(0);
}

int set_fullscreen(int on) {
  if ((on != 0) == (screen_state.fullscreen != 0)) return 0;
  if (on) {
    screen_state.fullscreen = 1;
    screen_state.device_flag_at_entry = 0;  // no device-assisted switch here
    // Only a switch that happened counts: a failed one has gone back to windowed.
    return switch_to_fullscreen() == 0 ? 1 : 0;
  }
  switch_to_windowed();
  screen_state.fullscreen = 0;
  screen_state.maximised = 0;
  return 1;
}

// ---------------------------------------------------------------- the main window's size

void on_get_min_max_info() {
  const int gw = game_width(), gh = game_height();
  const int dw = system_info.desktop_width, dh = system_info.desktop_height;
  if (gw <= 0 || gh <= 0 || dw <= 0 || dh <= 0 || screen_state.fullscreen) return;
  const double a = double(gw) / double(gh);
  // The largest client of the game's aspect that fits the desktop.
  int c = dw, d = static_cast<int>(dw / a);
  if (d > dh) d = dh, c = static_cast<int>(dh * a);
  const int m = std::min(gw, gh) / 4;
  ui()->set_window_size_limits(0, std::max(1, static_cast<int>(a * m)), std::max(1, m), c, d);
}

void on_move_monitor() {
  const int before = monitor_list.chosen;
  enumerate_monitors();
  const int now = find_window_monitor(0, nullptr);
  take_monitor_as_desktop(now);
  if (now != before && !screen_state.fullscreen) {
    request_device_reset();
    on_get_min_max_info();
  }
}

// ---------------------------------------------------------------- menu bar

int rebuild_menu_bar(const std::string& name, int window) {
  if (window < 0 || window >= game_window_count) return -1;
  const bool strip = window == 0 && screen_state.fullscreen;
  object_node* node = nullptr;
  if (!name.empty()) {
    std::string resolved;
    int form = resolve_object_path(resolved, name, object_current_path(tree_menus), 1);
    if (form >= 0 && object_trees[tree_menus].root && !resolved.empty())
      node = find_object_by_path(object_trees[tree_menus].root, resolved, find_any);
    if (!node) {
      report_error_at_line_fmt(101250, 1, command_name(window_set_command), name);
      return -1;
    }
  }
  menu_bar.node[window] = node;
  if (window == 0) menu_bar.on_strip = node && strip ? 1 : 0;
  if (menu_bar_hooks.build && menu_bar_hooks.build(window, node, strip) != 0) return -1;
  return 0;
}

void create_menu_popup_window() {
  menu_bar.strip_shown = 0;
  menu_bar.on_strip = 0;
}

void update_fullscreen_menu_bar() {
  window_state* w = game_window_record(0);
  if (!w) return;
  auto show = [](bool shown) {
    menu_bar.strip_shown = shown ? 1 : 0;
    if (menu_bar_hooks.show_strip) menu_bar_hooks.show_strip(shown);
  };
  if (!screen_state.fullscreen) {
    if (menu_bar.strip_shown) show(false);
    return;
  }
  // Both tests measure the cursor on the client, where the strip lies: with a
  // scaled picture the logical y would show the strip on rows that hide it
  // again at the next tick.
  int cx = 0, cy = 0;
  const bool known = ui()->cursor_position(0, &cx, &cy);
  if (!known) cy = w->mouse_y;
  if (!menu_bar.strip_shown) {
    if (menu_bar.node[0] && cy < menu_bar.strip_height) show(true);
    return;
  }
  if (known && cy >= menu_bar.strip_height) {
    show(false);
    repaint_window(*w, true);
  }
}

void destroy_menu_handles() {
  for (int i = 0; i < game_window_count; ++i) {
    if (menu_bar.node[i] && menu_bar_hooks.build) menu_bar_hooks.build(i, nullptr, i == 0 && menu_bar.on_strip);
    menu_bar.node[i] = nullptr;
  }
  menu_bar.on_strip = 0;
  menu_bar.strip_shown = 0;
  clear_menu_sets();  // the menus scripts built
}
