// Start-up, frame and shutdown steps whose subsystems are not built yet. Each
// keeps its place in the engine's order and does nothing, or the least the
// player needs to open its window and close it again. Every hook is deleted
// when the subsystem that owns the step lands with its real function.
#pragma once
#include <cstdint>
#include <string>

#include "platform/platform.h"

// ---- object paths
void mark_path_special_characters();  // '.', ':' and '/' in the path character classes

// ---- script system
void set_script_defaults();


// ---- screen modes, menus
void enumerate_monitors();
void create_menu_popup_window();
int set_fullscreen();  // 1 when switched
bool in_fullscreen();
int switch_to_windowed();
void update_fullscreen_menu_bar();


// ---- sound and movies
bool movie_playing();
void dshow_movie_close();

// ---- GPU drawing
void detect_directx_version(int* major, int* minor, char* letter);
void write_environment_report();
int init_direct3d();  // 0 = success, 1 = no device (switch to CPU drawing)
void release_direct3d();
void release_renderer_resources();

// ---- errors, save, fonts
void clear_save_handle_tables();
void free_text_gdi_slots();
