#include "app/engine_links.h"

#include "app/frame_loop.h"
#include "app/game_window.h"
#include "app/client_size.h"
#include "app/input.h"
#include "app/menu_view.h"
#include "core/window_state.h"
#include "platform/platform.h"
#include "script/scheduler.h"
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

// The debug escape watches the screen's corners.
bool screen_cursor(int& x, int& y) {
  Ui* ui = platform().ui;
  return ui && ui->screen_cursor_position(&x, &y);
}

}  // namespace

void link_engine_hooks() {
  scheduler_hooks.main_window_active = main_window_active;
  scheduler_hooks.pump_messages = pump_while_paused;
  scheduler_hooks.cursor_position = screen_cursor;
  input_hooks.update_inactive_pause = update_inactive_pause;
  // Menus, the cursor and the client size.
  install_menu_tree_hooks();
  menu_links.request_popup = request_popup_menu;
  input_hooks.apply_cursor_request = apply_cursor_show_request;
  settings_links.set_client_size = set_main_client_size;
}
