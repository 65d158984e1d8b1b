// The links between subsystems that the program makes at start-up: each
// lower subsystem asks through its hook table, the program answers with the
// subsystem above that knows (the window's focus, the message pump, the
// cursor).
#pragma once

void link_engine_hooks();

// Whether the main window has the focus (the window procedure's active byte).
bool main_window_active();
