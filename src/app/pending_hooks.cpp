// Stand-ins for steps of subsystems that are not built yet (see the header).
#include "app/pending_hooks.h"

#include "core/engine_state.h"


void mark_path_special_characters() {}






void release_renderer_resources() {}

void clear_save_handle_tables() {}
void free_text_gdi_slots() {}
