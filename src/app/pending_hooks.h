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




// ---- GPU drawing
void release_renderer_resources();

// ---- errors, save, fonts
void clear_save_handle_tables();
void free_text_gdi_slots();
