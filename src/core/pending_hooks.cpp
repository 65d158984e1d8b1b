// Stand-ins for steps of subsystems that are not built yet (see the header).
#include "core/pending_hooks.h"

#include "core/engine_state.h"


int run_compiler_link(std::string*) { return 0; }  // the caller's game path stays the game folder

void mark_path_special_characters() {}

void set_script_defaults() {}

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

void query_desktop_mode(int* width, int* height, int* depth, int* refresh) {
  // A common desktop until the screen-mode service reports the real one.
  *width = 1920;
  *height = 1080;
  *depth = 32;
  *refresh = 60;
}
void enumerate_monitors() {}
void create_menu_popup_window() {}
int set_fullscreen() { return 0; }
bool in_fullscreen() { return false; }
int switch_to_windowed() { return 0; }
void update_fullscreen_menu_bar() {}
void show_pending_popup_menu() {}
void destroy_menu_handles() {}


bool movie_playing() { return false; }
void dshow_movie_close() {}

void detect_directx_version(int* major, int* minor, char* letter) {
  *major = 0;
  *minor = 0;
  *letter = 0;
}
void write_environment_report() {}
int init_direct3d() { return 0; }
void release_direct3d() {}
void release_renderer_resources() {}

void set_error_dialog_title(const std::string&) {}
void clear_save_handle_tables() {}
void free_text_gdi_slots() {}
void flash_release() {}
