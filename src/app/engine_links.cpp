#include "app/engine_links.h"

#include "app/frame_loop.h"
#include "app/game_window.h"
#include "app/client_size.h"
#include "app/environment_report.h"
#include "app/input.h"
#include "core/error_report.h"
#include "app/menu_view.h"
#include "app/screen_modes.h"
#include "core/window_state.h"
#include "graphics/layer_commands.h"
#include "platform/platform.h"
#include "core/engine_state.h"
#include "core/settings.h"
#include "d3d/d3d_device.h"
#include "d3d/scene_drawing.h"
#include "script/control_flow.h"
#include "script/scheduler.h"
#include "system/file_list.h"
#include "system/system_dialogs.h"
#include "system/cursor_tray.h"
#include "system/menus.h"
#include "system/settings_commands.h"

bool main_window_active() {
  const window_state* w = game_window_record(0);
  return w && w->active.load() != 0;
}

namespace {

// While the inactive pause holds a task, the thread that runs the tick keeps
// the window messages moving, so the focus can come back. In frame-thread mode
// the main thread pumps on its own; the frame thread only watches.
bool pump_while_paused() {
  const bool on_frame_thread = frame_thread.enabled && frame_thread.thread.get_id() == std::this_thread::get_id();
  if (!on_frame_thread) pump_messages();
  return message_loop.running != 0;
}

// The layer commands' point tests use each window's own logical size.
void window_logical_size(int window, int64_t& width, int64_t& height) {
  const window_state* w = game_window_record(window);
  width = w ? w->logical_width : 0;
  height = w ? w->logical_height : 0;
}

// The debug escape watches the screen's corners.
bool screen_cursor(int& x, int& y) {
  Ui* ui = platform().ui;
  return ui && ui->screen_cursor_position(&x, &y);
}

// A wait inside a box the player draws (input box, start-and-wait): the
// window goes on being handled while the script waits.
bool modal_wait_step_of_program(uint32_t ms) {
  Clock* clock = platform().clock;
  const bool on_frame_thread = frame_thread.enabled && frame_thread.thread.get_id() == std::this_thread::get_id();
  if (on_frame_thread) {
    // The main thread handles the window while this thread "paces".
    frame_thread.in_pacing = 1;
    clock->sleep_ms(ms);
    frame_thread.in_pacing = 0;
    while (frame_thread.in_window_proc) clock->sleep_ms(0);
  } else {
    pump_messages();
    clock->sleep_ms(ms);
  }
  return !quit_flag && message_loop.running && !stop_threads_signal;
}

// Command 80's new client size under GPU drawing: the device is made again
// for it at once. The screen switch's own request would reset it a second
// time at the next scene.
void reset_device_for_client_size() {
  if (!engine_settings.gpu_drawing || !d3d_renderer_state.device) return;
  reset_device();
  withdraw_device_reset();
}

}  // namespace

void link_engine_hooks() {
  scheduler_hooks.main_window_active = main_window_active;
  scheduler_hooks.pump_messages = pump_while_paused;
  scheduler_hooks.cursor_position = screen_cursor;
  input_hooks.update_inactive_pause = update_inactive_pause;
  // The error dialog needs the cursor at once, not at the next sampling.
  error_dialog_cursor_hook = [] {
    force_cursor_visible();
    apply_cursor_show_request();
  };
  layer_command_hooks.window_logical_size = window_logical_size;
  // The system services: the player's own boxes see each event first.
  window_event_filter = system_dialog_event_filter;
  modal_wait_hook = modal_wait_step_of_program;
  // Menus, the cursor and the client size.
  install_menu_tree_hooks();
  menu_links.request_popup = request_popup_menu;
  menu_bar_hooks.build = build_menu_bar;
  menu_bar_hooks.show_strip = show_menu_bar_strip;
  input_hooks.apply_cursor_request = apply_cursor_show_request;
  settings_links.set_client_size = set_main_client_size;
  client_size_hooks.fullscreen_resize = set_fullscreen_game_size;
  client_size_hooks.reset_device = reset_device_for_client_size;
  // The GPU drawing's devices in the environment report.
  environment_report_hooks.gpu_lines = d3d_adapter_lines;
}
