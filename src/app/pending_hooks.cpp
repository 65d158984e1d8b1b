// Stand-ins for steps of subsystems that are not built yet (see the header).
#include "app/pending_hooks.h"

#include "core/engine_state.h"


void mark_path_special_characters() {}

void set_script_defaults() {}


void enumerate_monitors() {}
void create_menu_popup_window() {}
int set_fullscreen() { return 0; }
bool in_fullscreen() { return false; }
int switch_to_windowed() { return 0; }
void update_fullscreen_menu_bar() {}


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

void clear_save_handle_tables() {}
void free_text_gdi_slots() {}
