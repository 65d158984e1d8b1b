// Stand-ins for steps of subsystems that are not built yet (see the header).
#include "core/pending_hooks.h"

#include "core/engine_state.h"


int run_compiler_link(std::string*) { return 0; }  // the caller's game path stays the game folder

void mark_path_special_characters() {}

void set_script_defaults() {}


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
void release_renderer_resources() {}

void clear_save_handle_tables() {}
void free_text_gdi_slots() {}
void flash_release() {}
