#include "app/game_window.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/frame_state.h"
#include "core/info_log.h"
#include "app/frame_loop.h"
#include "app/input.h"
#include "app/screen_modes.h"
#include "app/menu_view.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "app/startup.h"
#include "core/system_info.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/presentation.h"
#include "core/engine_config.h"
#include "script/scheduler.h"
#include "script/system_values.h"
#include "system/settings_commands.h"
#include "sound/movie_commands.h"
#include "system/cursor_tray.h"
#include "system/file_list.h"
#include "system/menus.h"

window_events_record window_events;
window_drag_record window_drag;

namespace {

constexpr uint32_t vk_menu = 0x12, vk_f10 = 0x79;
constexpr uint32_t menu_reset_size = 30001;  // "ウィンドウサイズ初期化" of the system menu
// Ticks after a restore before the sizing border added for the maximise goes
// again: the window manager restores after it is asked, and a border taken
// off before that would fix the window at its maximised size.
constexpr uint8_t restore_border_ticks = 20;

const std::string& close_question() {
  static const std::string text = utf8_to_sjis("終了します。よろしいですか？");
  return text;
}

// The value ids the script reads, in window_events order.
enum : uint32_t {
  event_close = 1u << 0,
  event_minimise = 1u << 1,
  event_maximise = 1u << 2,
  event_title = 1u << 3,
  event_menu = 1u << 4,
  event_key = 1u << 5,
  event_button = 1u << 6,
};
std::atomic<uint32_t> pending_events{0};

void record_event(std::atomic<int64_t>& field, int64_t value, uint32_t bit) {
  field = value;
  pending_events.fetch_or(bit);
}

// Cuts a Shift-JIS text to `limit` bytes without splitting a character.
std::string cut_sjis(const std::string& text, size_t limit) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = sjis_next(text, pos);
    if (next > limit) break;
    pos = next;
  }
  return text.substr(0, std::min(pos, text.size()));
}

void free_surface(cg_record* record) {
  if (!record) return;
  std::free(record->pixel_block);
  std::free(record->work_pixels);
  delete record;
}

uint8_t painted_black[game_window_count] = {};

// One black pixel stretched over the whole client.
void present_black(window_state& w) {
  // One zero pixel stretched over (width rounded down to 4, plus 4) x height.
  int width = (w.logical_width & ~3) + 4, height = std::max(1, w.logical_height);
  static std::vector<uint8_t> zero;
  if (zero.size() < size_t(width) * size_t(height) * 4) zero.assign(size_t(width) * size_t(height) * 4, 0);
  platform().ui->present(w.index, zero.data(), width, height, width * 4, 0, 0);
}

// Paints the client black: the picture is gone or hidden.
void paint_black(window_state& w) {
  if (painted_black[w.index]) return;
  painted_black[w.index] = 1;
  w.bitmap_width = 1;
  w.bitmap_height = 1;
  present_black(w);
}

// Whether `node` is still a node of the layer tree (a freed node is not; its
// memory is never read, only its address compared).
bool layer_alive(const object_node* parent, const object_node* node) {
  for (const object_node* n = parent ? parent->first_child : nullptr; n; n = n->next_sibling) {
    if (n == node) return true;
    if (n->first_child && layer_alive(n, node)) return true;
  }
  return false;
}

// A left press at logical (lx, ly) of the main window: on a non-black pixel of
// the drag layer it records a drag of the drag window from client (cx, cy).
void check_layer_drag(int lx, int ly, int cx, int cy) {
  object_node* node = window_drag.layer;
  if (!node) return;
  window_state* main = game_window_record(0);
  if (!main || lx < 0 || ly < 0 || lx >= main->logical_width || ly >= main->logical_height) return;
  if (!layer_alive(object_trees[tree_layers].root, node)) {
    window_drag.layer = nullptr;  // deleted since command 92 named it
    return;
  }
  cg_record* rec = layer_record(node);
  if (!rec || !rec->pixels) return;
  int64_t px = lx, py = ly;
  for (const object_node* n = node; n; n = n->parent) {
    const cg_record* r = layer_record(n);
    if (!r || !n->parent) break;  // the tree root has no position of its own
    px -= r->x;
    py -= r->y;
  }
  // Only a point inside the picture is read.
  if (px < 0 || py < 0 || px >= rec->width || py >= rec->height) return;
  const uint8_t* p = rec->pixels + (size_t(py) * size_t(rec->width) + size_t(px)) * 4;
  if ((p[0] | p[1] | p[2]) == 0) return;
  platform().ui->begin_window_drag(window_drag.window, cx, cy);
}

void collect_dropped_files(const std::vector<std::string>& files) {
  clear_file_list();
  for (const std::string& path : files) {
    // The platform marks folders with a trailing '/'; the engine's mark is '\'.
    std::string name = path;
    bool folder = !name.empty() && (name.back() == '/' || name.back() == '\\');
    if (folder) {
      name.pop_back();
      name += '\\';
    }
    if (add_file_list_entry(name) != 0 && file_list.names.size() >= file_list_max) break;
  }
}

// The display connection is gone: the platform ends the process when this
// returns, so only the log line is written. The lock is waited for a while,
// not for ever: its holder may be waiting for this thread.
void on_display_lost(const char* what) {
  quit_flag = 1;
  bool locked = false;
  for (int i = 0; i < 100 && !(locked = engine_lock.try_lock()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!locked) return;
  write_info_log("ERR", "%s. The player ends.", what);
  engine_lock.unlock();
}

// The main window maximises: it gets the sizing border first (a window
// manager maximises only a window whose size may change) and the sizes of the
// window as it is are kept for the restore.
void begin_maximise(window_state& w) {
  screen_state.maximising = 1;
  if (!screen_state.resizable) platform().ui->set_window_resizable(w.index, true);
  if (!screen_state.maximised) save_output_and_frame_sizes();
  screen_state.maximised = 1;
  request_device_reset();
}

// WM_CLOSE, then WM_DESTROY.
void close_game_window(window_state& w) {
  window_states.created[w.index] = -1;
  w.has_window = 0;
  w.active = 0;
  Ui* ui = platform().ui;
  if (ui->window_exists(w.index)) ui->destroy_window(w.index);
  if (w.close_mode != close_window_only) {
    ui_event quit;
    quit.message = msg_quit;
    ui->post_event(quit);
  }
}

// The main window's client changed size.
void on_size(window_state& w, const ui_event& e) {
  w.minimised = e.wparam == 1 ? 1 : 0;
  if (e.wparam == 1) return;
  if (w.index != 0) return;  // sub windows keep their logical size
  int cw = e.x, ch = e.y;
  if (cw <= 0 || ch <= 0) return;
  if (cw != screen_state.client_width || ch != screen_state.client_height) request_device_reset();
  screen_state.client_width = cw;
  screen_state.client_height = ch;
  int gw = w.logical_width, gh = w.logical_height;
  if (gw <= 0 || gh <= 0) return;
  if (e.wparam == 2 && !screen_state.fullscreen) {
    if (!screen_state.maximised) save_output_and_frame_sizes();
    screen_state.maximised = 1;
    choose_output_size(gw, gh, cw, ch);
  } else if (screen_state.maximised && !screen_state.fullscreen) {
    // Back from maximised: the sizes saved before it.
    screen_state.maximised = 0;
    screen_state.maximising = 0;
    screen_state.restore_pending = 0;
    if (screen_state.saved_output_width > 0) {
      cpu_frame_buffer.output_width = screen_state.saved_output_width;
      cpu_frame_buffer.output_height = screen_state.saved_output_height;
      cpu_frame_buffer.frame_width = screen_state.saved_frame_width;
      cpu_frame_buffer.frame_height = screen_state.saved_frame_height;
    }
  } else if (!screen_state.fullscreen) {
    // Windowed: the client keeps the game's aspect; the output is the client.
    int fw = cw, fh = static_cast<int>((int64_t{cw} * gh * 2 + gw) / (int64_t{gw} * 2));
    if (fh > ch) {
      fh = ch;
      fw = static_cast<int>((int64_t{ch} * gw * 2 + gh) / (int64_t{gh} * 2));
    }
    if (fw < 1 || fh < 1) return;
    if (fw != cw || fh != ch) platform().ui->set_client_size(0, fw, fh);
    if (fw != cpu_frame_buffer.output_width || fh != cpu_frame_buffer.output_height) {
      if (apply_frame_buffer_rule(cpu_frame_buffer.pixels, fw, fh) == 0) {
        cpu_frame_buffer.output_width = fw;
        cpu_frame_buffer.output_height = fh;
        cpu_frame_buffer.frame_width = fw;
        cpu_frame_buffer.frame_height = fh;
      }
    }
    screen_state.client_width = fw;
    screen_state.client_height = fh;
  }
}

}  // namespace

void set_window_drag_layer(object_node* layer, int window) {
  window_drag.layer = layer;
  window_drag.window = std::clamp(window, 0, game_window_count - 1);
}

void take_layer_drag_press() {
  int lx, ly, cx, cy;
  {
    std::lock_guard<std::mutex> g(window_drag.lock);
    if (!window_drag.press_pending) return;
    window_drag.press_pending = 0;
    lx = window_drag.press_x, ly = window_drag.press_y;
    cx = window_drag.client_x, cy = window_drag.client_y;
  }
  check_layer_drag(lx, ly, cx, cy);
}

// Carried to kept_system_values by the tick (see take_window_events).
void take_window_events() {
  uint32_t bits = pending_events.exchange(0);
  if (!bits) return;
  if (bits & event_close) set_kept_system_value(107, window_events.close_pressed);
  if (bits & event_minimise) set_kept_system_value(108, window_events.minimise_pressed);
  if (bits & event_maximise) set_kept_system_value(109, window_events.maximise_pressed);
  if (bits & event_title) set_kept_system_value(110, window_events.title_double_click);
  if (bits & event_menu) set_kept_system_value(122, window_events.last_menu_command);
  if (bits & event_key) set_kept_system_value(135, window_events.last_key);
  if (bits & event_button) set_kept_system_value(136, window_events.last_mouse_button);
}

void init_window_state(window_state& w, int index) {
  w.index = index;
  w.kind = 0;
  w.alpha = 0;
  w.active = 0;
  w.menu_name.clear();
  w.class_registered = 0;
  w.has_window = 0;
  w.minimised = 0;
  w.repaint_flag = 0;
  w.paint_posted = 0;
  if (index >= 0 && index < layer_window_count) {
    layer_links.windows[index].attached_layer = nullptr;
    free_surface(layer_links.windows[index].surface);
    layer_links.windows[index].surface = nullptr;
    layer_links.windows[index].kind = 0;
  }
}

int create_window_states() {
  for (int i = 0; i < game_window_count; ++i) {
    if (!window_states.windows[i]) {
      window_states.windows[i] = new (std::nothrow) window_state();
      if (!window_states.windows[i]) return -1;
    }
    init_window_state(*window_states.windows[i], i);
    window_states.created[i] = -1;
  }
  return 0;
}

void init_window_bitmap(int window, const std::string& title) {
  window_state* w = game_window_record(window);
  if (!w) return;
  w->scale = 100;
  w->display_rect[0] = w->display_rect[1] = 0;
  w->display_rect[2] = w->logical_width;
  w->display_rect[3] = w->logical_height;
  w->bitmap_width = w->logical_width;
  w->bitmap_height = w->logical_height;
  w->title = cut_sjis(title, window_title_max);
  if (window != 0) w->kind = 1;
  w->alpha = 256;
  w->close_mode = close_confirm;
  w->minimise_allowed = 1;
  w->maximise_allowed = window == 0 ? 1 : 0;
  w->show_cursor_on_move = w->show_cursor_on_click = w->show_cursor_on_wheel = 1;
}

int create_game_window(int window, int width, int height, const std::string& title) {
  window_state* w = game_window_record(window);
  if (!w) return 0;
  w->class_registered = 1;
  w->logical_width = width;
  w->logical_height = height;
  w->display_rect[2] = width;
  w->display_rect[3] = height;
  w->bitmap_width = width;
  w->bitmap_height = height;
  if (!title.empty()) w->title = cut_sjis(title, window_title_max);
  if (window == 0) {
    w->kind = static_cast<uint8_t>(engine_config.main_window_kind == 1 ? 1 : 0);
    screen_state.resizable = engine_config.keep_thick_frame ? 1 : 0;
  }

  window_desc desc;
  desc.title = w->title;
  desc.width = width;
  desc.height = height;
  // Window 0 is shown by the first frame; a sub window of kind 1 at once.
  desc.visible = window != 0 && w->kind == 1;
  desc.resizable = window == 0 && screen_state.resizable;
  // Window 0 of the borderless frame kind (the configuration's style switch 1)
  // has no title bar or frame.
  desc.borderless = window == 0 && engine_config.main_window_style == 1;
  if (window != 0 && (w->x != 0 || w->y != 0)) {
    desc.x = w->x;
    desc.y = w->y;
  }
  Ui* ui = platform().ui;
  if (!ui->create_window(window, desc)) return 0;
  if (window == 0) ui->set_display_lost_handler(on_display_lost);
  if (startup_options.layered_windows) {
    w->alpha = layered_window_alpha;
    ui->set_window_alpha(window, layered_window_alpha);
  }

  // The window's own surface record of its logical size, replacing an earlier one.
  cg_record* surface = new (std::nothrow) cg_record();
  if (!surface) {
    report_error(100010, 1);
    return 0;
  }
  if (alloc_layer_picture(surface, width, height) != 0) {
    free_surface(surface);
    return 0;
  }
  surface->visible = 1;
  surface->alpha = 256;
  layer_window_link& link = layer_links.windows[window];
  free_surface(link.surface);
  link.surface = surface;
  link.kind = w->kind;
  painted_black[window] = 0;
  w->has_window = 1;
  window_states.created[window] = 1;
  if (window == 0) {
    screen_state.client_width = width;
    screen_state.client_height = height;
  }
  return 1;
}

bool on_sys_command(window_state& w, uint32_t command) {
  if (command == menu_reset_size) {
    request_device_reset();
    record_event(window_events.last_menu_command, menu_reset_size, event_menu);
    return false;
  }
  switch (command & 0xFFF0u) {
    case sc_minimize:
      record_event(window_events.minimise_pressed, w.index + 1, event_minimise);
      return w.minimise_allowed != 0;
    case sc_screensave:
      // The settings command's block keeps the screen saver from starting.
      return system_settings.screen_saver_block == 0;
    case sc_close: {
      uint8_t mode = w.close_mode;
      if (mode == close_recorded) {
        record_event(window_events.close_pressed, w.index + 1, event_close);
        return false;
      }
      if (mode == close_confirm) {
        tick_suspended = 1;
        window_events.dialog_open = 1;
        Ui* ui = platform().ui;
        ui->set_cursor_visible(true);
        window_state* main = game_window_record(0);
        int answer = ui->message_box(main ? main->title : w.title, close_question(), mb_icon_information | mb_yes_no);
        tick_suspended = 0;
        window_events.dialog_open = 0;
        if (answer != id_yes) return false;
      }
      if (mode != close_window_only) quit_flag = 1;
      return true;
    }
    case sc_maximize:
      record_event(window_events.maximise_pressed, w.index + 1, event_maximise);
      if (!w.maximise_allowed) return false;
      if (w.index != 0 || screen_state.fullscreen) return true;
      begin_maximise(w);
      return true;
    case sc_restore:
      if (w.index == 0 && !screen_state.fullscreen) {
        if (screen_state.maximising) {
          screen_state.maximising = 0;
          // The border goes once the window has its old size again.
          if (!screen_state.resizable) pacing_state.style_countdown = restore_border_ticks;
        }
        if (!w.minimised) screen_state.restore_pending = 1;
      }
      return true;
    default:
      return true;
  }
}

void game_wnd_proc(const ui_event& e) {
  Ui* ui = platform().ui;
  window_state* w = game_window_record(e.window);
  if (e.message == msg_raise_request) {
    ui->raise_window(0);
    return;
  }
  if (route_event_to_menu(e)) return;  // an open menu on the frame thread takes the input
  if (!w || window_states.created[e.window] != 1) {
    // A window the engine did not make (or no longer has): closing it just
    // destroys it; the main window's end still ends the loop.
    if (e.message == msg_close && ui->window_exists(e.window)) {
      ui->destroy_window(e.window);
      if (e.window == 0) {
        ui_event quit;
        quit.message = msg_quit;
        ui->post_event(quit);
      }
    }
    return;
  }
  switch (e.message) {
    case msg_paint:
      w->paint_posted = 0;
      repaint_window(*w, e.wparam != 0);
      return;
    case msg_size:
      on_size(*w, e);
      if (w->index == 0) movie_follow_window();
      repaint_window(*w, true);
      return;
    case msg_move:  // the main window follows its monitor
      if (w->index == 0) on_move_monitor();
      return;
    case msg_movie_event:
      movie_window_event();
      return;
    case msg_command:
      record_event(window_events.last_menu_command, int64_t(e.wparam & 0xFFFF), event_menu);
      return;
    case msg_tray_icon:  // ---- tray icon clicks (begin)
      if (w->index != 0) return;
      if (e.wparam == msg_left_button_down || tray_click_opens_menu(static_cast<uint32_t>(e.wparam))) {
        platform().ui->raise_window(0);
        repaint_window(*w, true);
      }
      if (tray_click_opens_menu(static_cast<uint32_t>(e.wparam))) {
        std::lock_guard<std::mutex> g(menu_sets_lock);
        if (!menu_sets[menu_set_tray].items.empty()) pending_popup.menu_set = menu_set_tray;
      }
      return;  // ---- tray icon clicks (end)
    case msg_close:  // the close button, a signal, or request_close
      if (on_sys_command(*w, sc_close)) close_game_window(*w);
      return;
    case msg_sys_command: {
      uint32_t command = static_cast<uint32_t>(e.wparam);
      bool allowed = on_sys_command(*w, command);
      uint32_t kind = command & 0xFFF0u;
      if (kind == sc_close && allowed) close_game_window(*w);
      if (e.lparam == sys_command_request) {
        // Asked for by the engine: carried out when allowed.
        if (allowed && kind == sc_maximize) ui->maximise_window(w->index);
        if (allowed && kind == sc_restore) ui->restore_window(w->index);
        return;
      }
      // The platform has already minimised or maximised: undo a refused one.
      if (!allowed && (kind == sc_minimize || kind == sc_maximize)) ui->restore_window(w->index);
      return;
    }
    case msg_activate:
      w->active = (e.wparam & 0xFFFF) != 0 ? 1 : 0;
      repaint_window(*w, true);
      return;
    case msg_activate_app:
      repaint_window(*w, true);
      return;
    case msg_key_down:
      record_event(window_events.last_key, int64_t(e.wparam), event_key);
      return;
    case msg_sys_key_down:
      // Alt and F10 never open the system menu.
      if (e.wparam == vk_f10 || e.wparam == vk_menu) return;
      return;
    case msg_mouse_move:
      note_mouse_moved();
      return;
    case msg_left_button_down: {
      // In full screen the bar is a strip over the top rows: a press there is the strip's.
      if (menu_bar_view.on_strip && menu_bar_view.strip_shown && e.window == menu_bar_view.window && e.y >= 0 &&
          e.y < menu_bar_height) {
        request_menu_bar_press(e.window, e.x, e.y);
        return;
      }
      record_event(window_events.last_mouse_button, 1, event_button);
      if (e.window == 0) {
        int lx = 0, ly = 0;
        client_to_logical(0, e.x, e.y, &lx, &ly);
        std::lock_guard<std::mutex> g(window_drag.lock);
        window_drag.press_pending = 1;
        window_drag.press_x = lx, window_drag.press_y = ly;
        window_drag.client_x = e.x, window_drag.client_y = e.y;
      }
      return;
    }
    case msg_right_button_down:
      record_event(window_events.last_mouse_button, 2, event_button);
      return;
    case msg_middle_button_down:
      record_event(window_events.last_mouse_button, 4, event_button);
      return;
    case msg_nc_left_button_down:
      if (e.wparam == hit_menu) {  // the window's menu bar, above the client
        if (e.window == menu_bar_view.window && !menu_bar_view.on_strip)
          request_menu_bar_press(e.window, e.x, e.y + menu_bar_height);
        return;
      }
      // With the system call's drag-pause option, holding the title bar holds
      // the scripts as an inactive window does.
      if (window_events.drag_pause_option && e.wparam == hit_caption) {
        pause_while_inactive();
        window_events.drag_paused = 1;
      }
      return;
    case msg_nc_left_button_up:
    case msg_left_button_up:
    case msg_exit_size_move:
      if (window_events.drag_pause_option && inactive_pause.paused.load()) resume_after_inactive();
      window_events.drag_paused = 0;
      return;
    case msg_nc_left_button_double:
      // kxcfg.dat slot 9: the script hears of the double click instead of the
      // window maximising.
      if (engine_settings.title_double_click_to_script == 1) {
        if (!screen_state.maximised) record_event(window_events.title_double_click, w->index + 1, event_title);
        return;
      }
      // Otherwise the platform's title bar does what it always does.
      return;
    case msg_mouse_wheel:
      note_mouse_wheel(static_cast<int16_t>((e.wparam >> 16) & 0xFFFF));
      return;
    case msg_drop_files:
      collect_dropped_files(e.files);
      return;
    default:
      return;
  }
}

void set_main_window_close_mode(uint8_t mode) {
  if (window_state* w = game_window_record(0)) w->close_mode = mode;
}

void set_window_kind(int window, uint8_t kind) {
  window_state* w = game_window_record(window);
  if (!w) return;
  w->kind = kind;
  if (window < layer_window_count) layer_links.windows[window].kind = kind;
}

bool main_window_resizable() { return screen_state.resizable != 0; }

void remove_main_window_thick_frame() {
  // A maximised window keeps it until it is restored: without it the window
  // manager would hold the window at its maximised size.
  if (screen_state.maximised || screen_state.fullscreen) return;
  platform().ui->set_window_resizable(0, false);
}

void repaint_window(window_state& w, bool whole) {
  if (w.index < 0 || w.index >= layer_window_count) return;
  layer_window_link& link = layer_links.windows[w.index];
  if (!link.attached_layer || !link.surface) return;
  if (frame_thread.enabled) {
    frame_handover& h = frame_handovers[w.index];
    std::lock_guard<std::mutex> g(h.lock);
    if (!h.valid) return;
    present_source s;
    s.pixels = h.pixels.data();
    s.width = h.width;
    s.height = h.height;
    s.x = h.x;
    s.y = h.y;
    if (whole) {
      s.rect[0] = s.rect[1] = 0;
      s.rect[2] = h.width - 1;
      s.rect[3] = h.height - 1;
    } else {
      std::copy(h.rect, h.rect + 4, s.rect);
    }
    present_window_source(w.index, s);
    h.rect[0] = h.rect[1] = 0;
    h.rect[2] = h.rect[3] = -1;
    return;
  }
  cg_record* root = layer_record(link.attached_layer);
  if (!root || !root->pixels) return;
  // The root's picture always holds the whole composited frame: a repaint
  // presents it as it is, without compositing the tree again.
  if (whole) root->present_rect = {0, 0, int64_t(root->width) - 1, int64_t(root->height) - 1};
  present_window_frame(w.index, root);
}

namespace {

// Frame-thread mode: copies the rows that changed into the window's hand-over
// buffer, under its lock.
void hand_over_frame(int window, cg_record* root) {
  layer_rect r;
  if (take_present_rect(root, r) != 0) return;
  frame_handover& h = frame_handovers[window];
  std::lock_guard<std::mutex> g(h.lock);
  const size_t stride = size_t(root->width) * 4;
  const size_t need = stride * size_t(root->height) + stride + 4;
  if (!h.valid || h.width != root->width || h.height != root->height || h.pixels.size() < need) {
    h.pixels.assign(need, 0);
    h.width = root->width;
    h.height = root->height;
    std::memcpy(h.pixels.data(), root->pixels, stride * size_t(root->height));
    h.rect[0] = h.rect[1] = 0;
    h.rect[2] = root->width - 1;
    h.rect[3] = root->height - 1;
  } else {
    std::memcpy(h.pixels.data() + size_t(r.y0) * stride, root->pixels + size_t(r.y0) * stride,
                size_t(r.y1 - r.y0 + 1) * stride);
    if (h.rect[2] < h.rect[0] || h.rect[3] < h.rect[1]) {
      h.rect[0] = r.x0, h.rect[1] = r.y0, h.rect[2] = r.x1, h.rect[3] = r.y1;
    } else {
      h.rect[0] = std::min(h.rect[0], r.x0);
      h.rect[1] = std::min(h.rect[1], r.y0);
      h.rect[2] = std::max(h.rect[2], r.x1);
      h.rect[3] = std::max(h.rect[3], r.y1);
    }
  }
  h.x = root->x;
  h.y = root->y;
  h.valid = 1;
}

}  // namespace

void clear_window_black(int window) {
  window_state* w = game_window_record(window);
  if (!w || !w->has_window || !platform_installed() || !platform().ui) return;
  // The next repaint presents the whole picture again, over the black.
  if (window < layer_window_count && layer_links.windows[window].attached_layer)
    mark_layer_dirty(layer_links.windows[window].attached_layer);
  present_black(*w);
}

int repaint_window_without_device(int window) {
  window_state* w = game_window_record(window);
  if (!w || !w->has_window || window >= layer_window_count) return quit_flag;
  layer_window_link& link = layer_links.windows[window];
  link.kind = w->kind;
  cg_record* root = layer_record(link.attached_layer);
  if (!link.attached_layer || !link.surface || w->kind == 0 || !root || !root->visible) {
    w->repaint_flag = 0;
    paint_black(*w);
    return quit_flag;
  }
  painted_black[window] = 0;
  if (root->redraw_pending) {
    w->repaint_flag = 1;
    if (frame_thread.enabled) hand_over_frame(window, root);
    // One paint request at a time, like an invalidated region.
    if (!w->paint_posted.exchange(1)) platform().ui->invalidate(window);
  }
  return quit_flag;
}
