// The process shell: paths, the single-instance rule, the ordered start-up,
// the one-time tables, the ordered shutdown and the restart.
#pragma once
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

// The program's paths. Engine forms are Shift-JIS; host forms UTF-8.
struct module_paths_record {
  std::string program_path_host;  // as started (links not resolved): what the restart runs
  std::string program_path;       // Shift-JIS, lower-cased
  // The program path lower-cased with every separator turned into ':', naming
  // the single-instance lock: one running copy per program path.
  std::string instance_name;
  // The game folder: the file service's root, where the program was started
  // from. Kept with '/' separators so it stays an absolute path for HostFiles.
  std::string game_folder;       // Shift-JIS, ends in '/'
  std::string game_folder_host;  // UTF-8, ends in '/'
  std::string app_data_folder;   // per-user data folder, Shift-JIS, ends in '/'
  std::string documents_folder;  // documents folder, Shift-JIS, ends in '/'
  // Where compiled files and data are looked up: the game folder in a release
  // run, else what the compiler link hands over.
  std::string game_path;
};
extern module_paths_record module_paths;

// The main window's frame and the sizes around it.
struct frame_buffer_record {
  std::vector<uint8_t> pixels;  // BGRA, w*4 + w*4*h + 4 bytes
  int frame_width = 0, frame_height = 0;
  int output_width = 0, output_height = 0;
};
extern frame_buffer_record cpu_frame_buffer;

// The frame-buffer rule: (re)sizes `buffer` for a w x h BGRA frame to
// w*4 + w*4*h + 4 bytes. A width above 8192 shows "ＣＧサイズが大きすぎます。"
// and reports 100010; a size that cannot be had (non-positive, or the
// allocation fails) logs "メモリ確保エラーです。" and reports 104030. On any
// failure the old buffer is kept as it was. 0 on success, -1 on failure.
int apply_frame_buffer_rule(std::vector<uint8_t>& buffer, int width, int height);

// One-time tables of init_startup_tables.
struct startup_tables_record {
  uint8_t done = 0;
  char version_tag[16] = {};
  uint32_t directx_version = 0;  // high 16 bits of major*65536 + minor*256 + letter
  const char* picture_extensions[4] = {};  // tried in order when a name has no extension
  const char* sound_extensions[2] = {};
};
extern startup_tables_record startup_tables;

// The program's random generator (MT19937), seeded once at start-up.
extern std::mt19937 program_random;

// Taken at start-up: the local start time and the four play-time clocks.
extern local_time start_time;
extern uint32_t play_time_clocks[4];

// Set by shutdown before it waits for the threads: the sound and frame threads
// end on it even when a late report has cleared quit_flag again.
extern std::atomic<uint8_t> stop_threads_signal;

// Start-up switches not yet carried by the compiled configuration record.
struct startup_options_record {
  uint8_t start_fullscreen = 0;  // the configuration asks to start in full screen
  uint8_t joystick_enabled = 0;  // count_joysticks found one
};
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
