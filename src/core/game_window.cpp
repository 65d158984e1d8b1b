#include "core/game_window.h"
#include "core/input.h"
#include "core/engine_state.h"

void install_key_state_handlers() {}
void poll_input() {}
void sample_input_for_frame() {}
int count_joysticks() { return 0; }

int create_window_states() { return 0; }
void init_window_bitmap(int, const std::string&) {}

int create_game_window(int window, int width, int height, const std::string& title) {
  window_desc desc;
  desc.title = title;
  desc.width = width;
  desc.height = height;
  desc.visible = true;
  return platform().ui->create_window(window, desc) ? 1 : 0;
}

void game_wnd_proc(const ui_event& event) {
  Ui* ui = platform().ui;
  switch (event.message) {
    case msg_sys_command:
      if ((event.wparam & 0xFFF0) != 0xF060) return;  // only the close command
      quit_flag = 1;
      [[fallthrough]];
    case msg_close:
      if (ui->window_exists(event.window)) ui->destroy_window(event.window);
      if (event.window == 0) {  // the main window's end ends the message loop
        ui_event quit;
        quit.message = msg_quit;
        ui->post_event(quit);
      }
      return;
    case msg_raise_request:
      ui->raise_window(0);
      return;
    default:
      return;
  }
}

void set_main_window_close_mode(uint8_t) {}
int repaint_window_without_device(int) { return quit_flag; }
bool main_window_resizable() { return false; }
void remove_main_window_thick_frame() {}
