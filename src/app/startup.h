// The process shell: paths, the single-instance rule, the ordered start-up,
// the one-time tables, the ordered shutdown and the restart.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// One-time tables of init_startup_tables.
struct startup_tables_record {
  uint8_t done = 0;
  char version_tag[16] = {};
  uint32_t directx_version = 0;  // high 16 bits of major*65536 + minor*256 + letter
  const char* picture_extensions[4] = {};  // tried in order when a name has no extension
  const char* sound_extensions[2] = {};
};
extern startup_tables_record startup_tables;


// Taken at start-up: the local start time.
extern local_time start_time;

// Start-up switches not yet carried by the compiled configuration record.
struct startup_options_record {
  uint8_t start_fullscreen = 0;  // the configuration asks to start in full screen
  uint8_t joystick_enabled = 0;  // count_joysticks found one
  // Layered-window mode: game windows are made translucent (alpha 160). The
  // design gives this mode no switch that sets it; it stays off.
  uint8_t layered_windows = 0;
};
constexpr int layered_window_alpha = 160;
extern startup_options_record startup_options;

// When enabled, every start-up and shutdown step appends its name, so the
// order can be checked from outside.
struct lifecycle_trace_record {
  bool enabled = false;
  std::vector<std::string> steps;
};
extern lifecycle_trace_record lifecycle_trace;
void trace_step(const char* name);

int win_main();
void init_module_paths();
int app_initialise();  // 0 success, -1 failure, 1 the script system asked to close
void init_startup_tables();
void shutdown_engine();
