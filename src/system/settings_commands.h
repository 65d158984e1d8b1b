// The settings command (80): the screen-saver block, keep-running while the
// main window is inactive, the main window's client size and the four
// play-time counters.
#pragma once
#include <atomic>
#include <cstdint>

struct system_settings_record {
  // While set, the screen saver does not start (1 at start).
  std::atomic<uint8_t> screen_saver_block{1};
};
extern system_settings_record system_settings;

// Calls into the program (filled at start-up). Null: nothing.
struct settings_link_table {
  // Gives the main window a new logical and client size (both above 0).
  void (*set_client_size)(int width, int height) = nullptr;
};
extern settings_link_table settings_links;

// Start-up: hands the screen-saver block to the window system.
void apply_screen_saver_block();

int cmd_system_settings();
