// The main window's client size as the settings command (80) sets it.
#pragma once

// Screen-mode steps the client size needs in full screen. The screen-mode
// code fills them; null: full screen keeps its mode and only the sizes change.
struct client_size_hook_table {
  // Sets the screen mode again for a game of width x height and clears the
  // window to black.
  void (*fullscreen_resize)(int width, int height) = nullptr;
  // GPU drawing: the device is reset for the new size.
  void (*reset_device)() = nullptr;
};
extern client_size_hook_table client_size_hooks;

// The main window's logical size, its surface and, in a window, its client
// and drawing sizes become width x height. A size whose frame would be larger
// than a picture may be is refused ("ＣＧサイズが大きすぎます。", 100010).
void set_main_client_size(int width, int height);
