#include "system/cursor_tray.h"

#include <algorithm>
#include <vector>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/info_log.h"
#include "core/object_tree.h"
#include "core/window_state.h"
#include "graphics/layer_record.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "script/argument_binding.h"
#include "system/menus.h"

cursor_state_record cursor_state;
tray_state_record tray_state;

namespace {

Ui* ui() { return platform_installed() ? platform().ui : nullptr; }

const cg_record* layer_by_path(const char* name) {
  std::string path;
  const int kind = resolve_object_path(path, name, object_current_path(tree_layers), 0);
  object_node* root = object_trees[tree_layers].root;
  if (kind < 0 || !root) return nullptr;
  object_node* node = find_object_by_path(root, path, kind == 1 ? find_group : find_leaf);
  const cg_record* r = node ? layer_record(node) : nullptr;
  return r && r->pixels && r->width > 0 && r->height > 0 ? r : nullptr;
}

std::vector<uint8_t> picture_copy(const cg_record* r) {
  const size_t bytes = static_cast<size_t>(r->width) * 4 * static_cast<size_t>(r->height);
  return std::vector<uint8_t>(r->pixels, r->pixels + bytes);
}

void box(const char* utf8) { show_message_box("", "%s", utf8_to_sjis(utf8)); }

// A logical coordinate of the main window as a client coordinate: scaled by
// output / logical size and moved by where the picture starts.
int logical_to_client(int64_t v, int logical, int output, int origin) {
  if (logical > 0 && output > 0) v = v * output / logical;
  v += origin;
  return static_cast<int>(std::clamp<int64_t>(v, INT32_MIN / 2, INT32_MAX / 2));
}

}  // namespace

void force_cursor_visible() {
  if (cursor_state.forced_visible) return;
  if (window_state* main = game_window_record(0)) main->cursor_hidden = 0;
  cursor_state.request = 1;
  cursor_state.forced_visible = 1;
}

void apply_cursor_show_request() {
  const uint8_t r = cursor_state.request;
  cursor_state.request = 0;
  if (r != 1 && r != 2) return;
  cursor_state.shown = r == 1;
  if (Ui* u = ui()) u->set_cursor_visible(r == 1);
}

void update_cursor_auto_hide(uint32_t now, bool key_down, bool wake) {
  window_state* main = game_window_record(0);
  if (!cursor_state.auto_hide || !main) return;
  if (key_down && !main->cursor_hidden) {
    main->cursor_hidden = 1;
    main->cursor_hidden_time = now;
  }
  if (!main->cursor_hidden) return;
  if (wake) {
    force_cursor_visible();
  } else if (cursor_state.forced_visible && now - main->cursor_hidden_time >= cursor_state.hide_delay_ms) {
    cursor_state.request = 2;
    cursor_state.forced_visible = 0;
  }
}

// ---------------------------------------------------------------- command 59

int cmd_mouse_cursor() {
  if (bind_command_arguments(59) != 0) return -1;
  window_state* main = game_window_record(0);
  if (parameter_given(1)) cursor_state.hide_delay_ms = static_cast<uint32_t>(std::max<int64_t>(0, parameter_int(1)));
  if (parameter_given(0)) {
    const int64_t mode = parameter_int(0);
    if (mode == 0) {
      if (cursor_state.forced_visible) {
        cursor_state.request = 2;
        cursor_state.forced_visible = 0;
      }
      if (main) main->cursor_hidden = 0;
      cursor_state.auto_hide = 0;
      cursor_state.mode = 0;
    } else if (mode == 1) {
      if (!(main && main->cursor_hidden) && !cursor_state.forced_visible) force_cursor_visible();
      cursor_state.auto_hide = 1;
      cursor_state.mode = 1;
    } else if (mode == 2) {
      force_cursor_visible();
      if (main) main->cursor_hidden = 0;
      cursor_state.auto_hide = 0;
      cursor_state.mode = 2;
    }
  }
  if (main) {
    if (parameter_given(2)) main->show_cursor_on_move = static_cast<uint8_t>(parameter_int(2));
    if (parameter_given(3)) main->show_cursor_on_click = static_cast<uint8_t>(parameter_int(3));
    if (parameter_given(4)) main->show_cursor_on_wheel = static_cast<uint8_t>(parameter_int(4));
    if (parameter_given(5) || parameter_given(6)) {
      if (parameter_given(5)) main->mouse_x = static_cast<int32_t>(parameter_int(5));
      if (parameter_given(6)) main->mouse_y = static_cast<int32_t>(parameter_int(6));
      const int out_w = cpu_frame_buffer.output_width ? cpu_frame_buffer.output_width : main->logical_width;
      const int out_h = cpu_frame_buffer.output_height ? cpu_frame_buffer.output_height : main->logical_height;
      const int cx = logical_to_client(main->mouse_x, main->logical_width, out_w, main->picture_offset_x);
      const int cy = logical_to_client(main->mouse_y, main->logical_height, out_h, main->picture_offset_y);
      if (Ui* u = ui()) u->warp_cursor(0, cx, cy);
    }
  }
  if (parameter_given(7)) {
    const int64_t shape = parameter_int(7);
    if (Ui* u = ui()) u->set_system_cursor(shape >= 1 && shape <= 13 ? static_cast<int>(shape) : cursor_arrow);
  }
  if (parameter_given(10)) {
    std::vector<uint8_t> pixels;
    int w = 0, h = 0;
    {
      std::lock_guard<engine_mutex> g(engine_lock);
      const cg_record* r = layer_by_path(parameter_text(10));
      if (!r) return 0;
      w = r->width;
      h = r->height;
      if (w > cursor_picture_max || h > cursor_picture_max) {
        box("CURSOR CreateDIBSection エラー");
        return 0;
      }
      pixels = picture_copy(r);
    }
    // A hot spot outside the picture is moved to its nearest edge.
    const int hx = static_cast<int>(std::clamp<int64_t>(parameter_int(8, 0), 0, w - 1));
    const int hy = static_cast<int>(std::clamp<int64_t>(parameter_int(9, 0), 0, h - 1));
    Ui* u = ui();
    if (u && !u->set_colour_cursor(pixels.data(), w, h, hx, hy)) box("CURSOR CreateIconIndirect エラー");
  }
  return 0;
}

// ---------------------------------------------------------------- command 87

void remove_tray_icon() {
  if (!tray_state.shown) return;
  if (Ui* u = ui()) u->remove_tray_icon();
  tray_state.shown = 0;
  tray_state.docked = 0;
}

bool tray_click_opens_menu(uint32_t mouse_message) {
  return mouse_message == msg_left_button_double || mouse_message == msg_right_button_up;
}

int cmd_tray_icon_menu() {
  if (bind_command_arguments(87) != 0) return -1;
  std::vector<uint8_t> icon_pixels;
  if (parameter_given(2)) {
    std::lock_guard<engine_mutex> g(engine_lock);
    const cg_record* r = layer_by_path(parameter_text(2));
    if (!r) return 0;
    if (r->width == tray_icon_size && r->height == tray_icon_size) {
      icon_pixels = picture_copy(r);
    } else if (parameter_given(0) && parameter_int(0) == 1) {
      show_message_box("", utf8_to_sjis("ICON ERR.\r\nレイヤサイズが %dx%d ではありません。"), tray_icon_size,
                       tray_icon_size);
    }
  }
  if (parameter_given(0)) {
    if (parameter_int(0) == 1) {
      ui_tray_icon icon;
      icon.tooltip = cut_sjis_text(parameter_text(1), tray_tooltip_max);
      icon.bgra = std::move(icon_pixels);  // empty: the program's icon
      tray_state.tooltip = icon.tooltip;
      Ui* u = ui();
      const int result = u ? u->show_tray_icon(icon) : tray_no_manager;
      tray_state.shown = 1;
      tray_state.docked = result == tray_docked;
      if (result != tray_docked && !tray_state.no_tray_logged) {
        tray_state.no_tray_logged = 1;
        write_info_log("", "%s", utf8_to_sjis("No system tray: the tray icon is kept but not shown."));
      }
    } else {
      remove_tray_icon();
    }
  }
  if (parameter_given(3)) {
    std::lock_guard<engine_mutex> g(engine_lock);
    std::string path;
    const int kind = resolve_object_path(path, parameter_text(3), object_current_path(tree_menus), 0);
    object_node* root = object_trees[tree_menus].root;
    if (kind < 0) return -1;
    object_node* node = !root ? nullptr : path.empty() ? root : find_object_by_path(root, path, find_any);
    if (node && rebuild_menu_set(menu_set_tray, node) != 0) return -1;
  }
  return 0;
}
