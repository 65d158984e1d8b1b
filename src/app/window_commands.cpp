#include "app/window_commands.h"

#include <algorithm>
#include <string>

#include "app/game_window.h"
#include "app/screen_modes.h"
#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/info_log.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "core/system_info.h"
#include "core/window_state.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script/variable_store.h"

namespace {

constexpr int quit_command = 12, set_command = 92, hide_command = 93, query_command = 94;

// Command 92's parameters by id.
enum : uint32_t {
  set_window = 0, set_title, set_alpha, set_visible, set_x, set_y, set_stacking, set_width, set_height,
  set_display_width, set_display_height, set_foreground, set_sizing_border, set_fullscreen_id, set_minimise,
  set_maximise_toggle, set_maximise_allowed, set_minimise_allowed, set_close_mode, set_flash_count,
  set_flash_interval, set_layer, set_menu, set_shape, set_drag_layer, set_resizable,
};
// Command 94's.
enum : uint32_t {
  query_window = 0, query_output, query_exists, query_alpha, query_visible, query_active, query_title,
  query_left, query_top, query_unused9, query_logical_width, query_logical_height, query_client_width,
  query_client_height, query_monitor, query_fullscreen, query_maximised, query_minimised,
};

Ui* ui() { return platform().ui; }

bool given(uint32_t id) { return parameter_given(id); }
int64_t value(uint32_t id) { return parameter_int(id); }
std::string text(uint32_t id) { return parameter_text(id); }

const std::string& parameter_name(int command, uint32_t id) {
  static const std::string none;
  const command_parameter_record* p = command_parameter(static_cast<unsigned>(command), id);
  return p ? p->name : none;
}

// The window number, checked: the tables behind it have four entries.
bool window_number(int command, int64_t& n, int64_t low) {
  n = value(set_window);
  if (n >= low && n < game_window_count) return true;
  report_error_at_line_fmt(101000, 1, command_name(command), parameter_name(command, set_window), n, low,
                           int64_t{game_window_count - 1});
  return false;
}

bool window_exists(int n) { return window_states.created[n] == 1 && ui()->window_exists(n); }

// At most the title buffer's bytes, never half a double-byte character.
std::string cut_title(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t next = sjis_next(text, pos);
    if (next > window_title_max) break;
    pos = next;
  }
  return text.substr(0, std::min(pos, text.size()));
}

int clamp_int(int64_t v, int64_t lo, int64_t hi) { return static_cast<int>(std::clamp(v, lo, hi)); }

// A leaf or group of the layer tree by a script path; spaces are refused.
// null after a report (-1 in `failed` when the path itself was refused).
object_node* find_layer_for_window(const std::string& path, int mode, bool& failed) {
  failed = false;
  std::string resolved;
  const int form = resolve_object_path(resolved, path, object_current_path(tree_layers), 0);
  if (form < 0) {
    failed = true;
    return nullptr;
  }
  object_node* node = nullptr;
  if (object_trees[tree_layers].root && !resolved.empty())
    node = find_object_by_path(object_trees[tree_layers].root, resolved, mode);
  if (!node) {
    report_error_at_line_fmt(101250, 1, command_name(set_command), path);
    failed = true;
  }
  return node;
}

// The layer a window shows is composited again over its whole picture: its
// own dirty rectangle too, since the compositor redraws a root by it.
void redraw_whole(object_node* node) {
  cg_record* r = layer_record(node);
  if (!r) return;
  mark_layer_dirty(node);
  layer_rect whole = layer_rect_at(0, 0, r->width, r->height);
  union_dirty_rect(whole, r, 0);
  r->full_redraw = 1;
  r->redraw_pending = 1;
}

// Step 4: a window that does not exist yet.
int create_sub_window(int n, window_state& w, int64_t width, int64_t height) {
  // Made where step 8 will put it, so it never shows elsewhere first.
  w.x = given(set_x) ? clamp_int(value(set_x), -1000000, 1000000) : 0;
  w.y = given(set_y) ? clamp_int(value(set_y), -1000000, 1000000) : 0;
  const std::string title = given(set_title) ? text(set_title) : std::string();
  if (!given(set_title)) {
    report_error_at_line_fmt(101320, 1, command_name(set_command));
    return -1;
  }
  const int lw = clamp_int(width, 1, 8192), lh = clamp_int(height, 1, 8192);
  if (!create_game_window(n, lw, lh, title.empty() ? " " : title)) return -1;
  ui()->show_window(n, true);
  init_window_bitmap(n, title.empty() ? " " : title);
  set_window_kind(n, 1);
  window_states.created[n] = 1;
  if (n == 0) on_get_min_max_info();
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- 12

int cmd_quit() {
  if (bind_command_arguments(quit_command) != 0) return -1;
  if (given(0)) restart_flag = static_cast<uint8_t>(value(0) & 0xFF);
  quit_flag = 1;
  return 0;
}

// ---------------------------------------------------------------- 92

int cmd_window_set() {
  if (bind_command_arguments(set_command) != 0) return -1;
  int64_t number = 0;
  if (!window_number(set_command, number, 0)) return -1;
  const int n = static_cast<int>(number);
  window_state* wp = game_window_record(n);
  if (!wp) return -1;
  window_state& w = *wp;
  Ui* u = ui();

  // 1. Sizes 7 and 8 count only while windowed.
  const bool windowed = !screen_state.fullscreen && !screen_state.maximised;
  int64_t width = w.logical_width, height = w.logical_height;
  bool size_given = false;
  if (windowed && given(set_width)) width = value(set_width), size_given = true;
  if (windowed && given(set_height)) height = value(set_height), size_given = true;
  const bool existed = window_exists(n);

  // 2. The displayed size follows the logical aspect.
  if (existed && windowed && (given(set_display_width) || given(set_display_height)) && w.logical_width > 0 &&
      w.logical_height > 0) {
    int cw, ch;
    if (given(set_display_width)) {
      cw = clamp_int(std::min<int64_t>(value(set_display_width), system_info.desktop_width), 1, 16384);
      ch = static_cast<int>(int64_t{cw} * w.logical_height / w.logical_width);
    } else {
      ch = clamp_int(std::min<int64_t>(value(set_display_height), system_info.desktop_height), 1, 16384);
      cw = static_cast<int>(int64_t{ch} * w.logical_width / w.logical_height);
    }
    if (cw > 0 && ch > 0) u->set_client_size(n, cw, ch);
  }

  if (existed) {
    // 3. A new logical size.
    if (size_given && (width != w.logical_width || height != w.logical_height) && width > 0 && height > 0 &&
        width <= 8192 && height <= 8192) {
      w.logical_width = static_cast<int32_t>(width);
      w.logical_height = static_cast<int32_t>(height);
      u->set_client_size(n, w.logical_width, w.logical_height);
      w.display_rect[0] = w.display_rect[1] = 0;
      w.display_rect[2] = w.logical_width;
      w.display_rect[3] = w.logical_height;
    }
  } else {
    // 4. A new window: 128 x 128 unless sized.
    if (create_sub_window(n, w, given(set_width) ? value(set_width) : 128, given(set_height) ? value(set_height) : 128) !=
        0)
      return -1;
  }

  // 5. Title.
  if (given(set_title)) {
    const std::string title = text(set_title);
    w.title = title.empty() ? std::string(1, ' ') : cut_title(title);
    u->set_window_title(n, w.title);
  }
  // 6. Alpha (255 and above: opaque).
  if (given(set_alpha)) {
    w.alpha = clamp_int(value(set_alpha), 0, 256);
    u->set_window_opacity(n, std::min(w.alpha, 255));
  }
  // 7. Visibility, when it changes.
  if (given(set_visible)) {
    const uint8_t kind = value(set_visible) != 0 ? 1 : 0;
    if (kind != w.kind) {
      u->show_window(n, kind != 0);
      set_window_kind(n, kind);
    }
  }
  // 8. Position (the outer corner); the size stays.
  if (given(set_x) || given(set_y)) {
    if (given(set_x)) w.x = clamp_int(value(set_x), -1000000, 1000000);
    if (given(set_y)) w.y = clamp_int(value(set_y), -1000000, 1000000);
    u->move_window(n, w.x, w.y);
  }
  // 9. Stacking.
  if (given(set_stacking)) {
    const int64_t s = value(set_stacking);
    if (n == 0 && s == 3) {
      report_error_at_line_fmt(101310, 1, command_name(set_command), parameter_name(set_command, set_stacking), s);
      return -1;
    }
    static const ui_stacking places[4] = {ui_stacking::top, ui_stacking::topmost, ui_stacking::bottom,
                                          ui_stacking::behind_main};
    if (s >= 0 && s <= 3) u->set_window_stacking(n, places[s]);
  }
  // 10. What the user may do.
  if (given(set_maximise_allowed)) w.maximise_allowed = static_cast<uint8_t>(value(set_maximise_allowed));
  if (given(set_minimise_allowed)) w.minimise_allowed = static_cast<uint8_t>(value(set_minimise_allowed));
  if (given(set_close_mode)) {
    const int64_t mode = value(set_close_mode);
    if (n == 0 && (mode < 0 || mode > 2)) {
      report_error_at_line_fmt(101310, 1, command_name(set_command), parameter_name(set_command, set_close_mode),
                               mode);
      return -1;
    }
    w.close_mode = static_cast<uint8_t>(mode);
  }
  // 11. Flash the taskbar entry.
  if (given(set_flash_count))
    u->flash_window(n, clamp_int(value(set_flash_count), 0, 1000000),
                    given(set_flash_interval) ? clamp_int(value(set_flash_interval), 0, 1000000) : 0);
  // 12. The layer the window shows: found first, so a missing one leaves the
  // window showing what it showed.
  if (given(set_layer)) {
    bool failed = false;
    object_node* node = find_layer_for_window(text(set_layer), find_group, failed);
    if (failed) return -1;
    attach_window_layer(n, node);
    redraw_whole(node);
  }
  // 13. Menu bar.
  if (given(set_menu)) {
    w.menu_name = text(set_menu);
    if (rebuild_menu_bar(w.menu_name, n) != 0) return -1;
  }
  // 14. Shape of the main window; a shape that cannot be made is logged and
  // the remaining steps still run.
  if (given(set_shape)) {
    bool failed = false;
    object_node* node = find_layer_for_window(text(set_shape), find_leaf, failed);
    if (failed) return -1;
    if (set_window_shape_from_layer(0, node) != 0)
      write_info_log("ERR", "Window shape Error. [%s]", text(set_shape));
  }
  // 15. Drag layer.
  if (given(set_drag_layer)) {
    bool failed = false;
    object_node* node = find_layer_for_window(text(set_drag_layer), find_leaf, failed);
    if (failed) return -1;
    set_window_drag_layer(node, n);
  }
  // 16. Border, foreground, full screen, minimise, maximise.
  if (given(set_sizing_border) && !screen_state.fullscreen) u->set_window_resizable(n, value(set_sizing_border) == 1);
  if (given(set_foreground) && value(set_foreground) == 1) u->raise_window(n);
  if (given(set_fullscreen_id) && n == 0) {
    if (set_fullscreen(value(set_fullscreen_id) != 0 ? 1 : 0))
      redraw_whole(layer_links.windows[0].attached_layer);
  }
  if (given(set_minimise)) {
    const int64_t m = value(set_minimise);
    if (m == 1 || m == 2) {
      u->minimise_window(n);
      if (m == 2) u->show_window(n, false);
    } else if (m == 0) {
      u->restore_window(n);
      if (n == 0) {
        screen_state.restore_pending = 0;
        screen_state.maximised = 0;
        request_device_reset();
      }
      repaint_window(w, true);
    }
  }
  if (given(set_maximise_toggle)) {
    // Posted to the window as its system command, so the window procedure
    // decides (maximise allowed, the sizing border first) as for the title button.
    ui_event toggle;
    toggle.message = msg_sys_command;
    toggle.window = static_cast<int>(n);
    toggle.wparam = u->window_maximised(n) || (n == 0 && screen_state.maximised) ? sc_restore : sc_maximize;
    toggle.lparam = sys_command_request;
    u->post_event(toggle);
  }
  // 17. Resizable main window.
  if (given(set_resizable) && n == 0 && !screen_state.fullscreen) {
    const uint8_t r = value(set_resizable) != 0 ? 1 : 0;
    if (r != screen_state.resizable) {
      screen_state.resizable = r;
      // The frame changes size with the border; the platform keeps the client.
      screen_state.frame_change_pending = 1;
      u->set_window_resizable(0, r != 0);
      request_device_reset();
      on_get_min_max_info();
    }
  }
  return 0;
}

// ---------------------------------------------------------------- 93

int cmd_window_hide() {
  if (bind_command_arguments(hide_command) != 0) return -1;
  const int64_t n = value(0);
  if (n == 0) {
    report_error_at_line_fmt(101330, 1, command_name(hide_command), parameter_name(hide_command, 0), n);
    return -1;
  }
  if (n < 1 || n >= game_window_count) {
    report_error_at_line_fmt(101000, 1, command_name(hide_command), parameter_name(hide_command, 0), n, int64_t{1},
                             int64_t{game_window_count - 1});
    return -1;
  }
  if (!window_exists(static_cast<int>(n))) return 0;
  ui()->show_window(static_cast<int>(n), false);
  // The record follows, so a later "visible 1" shows the window again.
  set_window_kind(static_cast<int>(n), 0);
  return 0;
}

// ---------------------------------------------------------------- 94

int cmd_window_query() {
  if (bind_command_arguments(query_command) != 0) return -1;
  int64_t number = 0;
  if (!window_number(query_command, number, 0)) return -1;
  const int n = static_cast<int>(number);
  const uint32_t pos = argument_position(query_output);
  if (!pos || !argument_slots.variable_id[pos]) return 0;
  const uint32_t var = argument_slots.variable_id[pos];
  const int64_t element = argument_slots.element_index[pos];
  const variable_record* v = find_variable(var);
  // An element outside the variable is ignored.
  if (!v || element < 0 || static_cast<uint64_t>(element) >= v->element_count) return 0;
  const bool is_text = v->type == variable_type_text;
  auto number_out = [&](int64_t x) { return set_numeric_element(var, element, x) == 0 ? 0 : -1; };

  window_state* w = game_window_record(n);
  if (!w || !window_exists(n)) {
    if (is_text) set_string_element(var, element, "");
    else set_numeric_element(var, element, 0);
    return 0;
  }
  uint32_t asked = 0;
  for (uint32_t id = query_exists; id <= query_minimised && !asked; ++id)
    if (id != query_unused9 && given(id)) asked = id;
  Ui* u = ui();
  switch (asked) {
    case query_exists: return number_out(1);
    case query_alpha: return number_out(w->alpha);
    case query_visible: return number_out(w->kind);
    case query_active: return number_out(w->active);
    case query_title:
      if (is_text) set_string_element(var, element, w->title.c_str());
      return 0;
    case query_left:
    case query_top: {
      int x = w->x, y = w->y;
      if (u->window_position(n, &x, &y)) w->x = x, w->y = y;
      return number_out(asked == query_left ? x : y);
    }
    case query_logical_width: return number_out(w->logical_width);
    case query_logical_height: return number_out(w->logical_height);
    case query_client_width:
    case query_client_height: {
      int cw = 0, ch = 0;
      u->client_size(n, &cw, &ch);
      return number_out(asked == query_client_width ? cw : ch);
    }
    case query_monitor: return number_out(find_window_monitor(0, nullptr));
    case query_fullscreen: return number_out(screen_state.fullscreen);
    case query_maximised: return number_out(screen_state.maximised);
    case query_minimised: return number_out(u->window_minimised(n) || w->minimised ? 1 : 0);
    default: return 0;
  }
}

// ---------------------------------------------------------------- shapes

int region_from_bitmap(const uint8_t* bgra, int width, int height, size_t stride, std::vector<ui_rect>& out) {
  out.clear();
  if (!bgra || width <= 0 || height <= 0) return -1;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = bgra + static_cast<size_t>(y) * stride;
    int x = 0;
    while (x < width) {
      while (x < width && (row[x * 4] | row[x * 4 + 1] | row[x * 4 + 2]) == 0) ++x;
      if (x >= width) break;
      const int start = x;
      while (x < width && (row[x * 4] | row[x * 4 + 1] | row[x * 4 + 2]) != 0) ++x;
      if (static_cast<int>(out.size()) + 1 >= window_shape_run_limit) {
        out.clear();
        return -1;
      }
      out.push_back({start, y, x - start, 1});
    }
  }
  return 0;
}

int set_window_shape_from_layer(int window, object_node* layer) {
  const cg_record* r = layer_record(layer);
  if (!r || !r->pixels || r->width <= 0 || r->height <= 0) return -1;
  std::vector<ui_rect> rects;
  if (region_from_bitmap(r->pixels, r->width, r->height, static_cast<size_t>(r->width) * 4, rects) != 0) return -1;
  return ui()->set_window_shape(window, rects) ? 0 : -1;
}
