// A headless engine on a fresh game folder, with the compression library taken
// from the build and the engine's own records back at their defaults, so the
// cases also pass when the whole program runs in one process.
#pragma once
#include <string>

#include "core/compression_library.h"
#include "core/engine_state.h"
#include "core/error_report.h"
#include "app/frame_loop.h"
#include "core/info_log.h"
#include "app/pending_hooks.h"
#include "app/screen_modes.h"
#include "script/scheduler.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "format/compiled_files.h"
#include "app/startup.h"
#include "core/window_state.h"
#include "core/system_info.h"
#include "platform/headless/headless_platform.h"
#include "core/engine_config.h"
#include "support/headless_game.h"
#include "support/object_tree_reset.h"
#include "support/temp_folder.h"

inline void reset_engine_records() {
  quit_flag = 0;
  quit_by_error = 0;
  error_dialog_shown = 0;
  // Start-up makes only the trees that are missing: a run's layers must not
  // reach the next one.
  free_engine_trees();
  restart_flag = 0;
  stop_threads_signal = 0;
  re_run_flag = 0;
  tick_suspended = 0;
  frame_counters = {};
  pacing_state = {};
  pending_popup = {};
  message_loop.running = 1;
  message_loop.exit_code = 0;
  message_loop.close_requested = 0;
  message_loop.held_events.clear();
  frame_thread.enabled = 0;
  frame_thread.state = frame_thread_never_started;
  frame_thread.in_pacing = 0;
  frame_thread.in_window_proc = 0;
  frame_steps = default_frame_steps;
  engine_settings = {};
  save_settings = {};
  command_line_slots = {};
  game_folder_not_writable = 0;
  module_paths = {};
  cpu_frame_buffer = {};
  startup_tables = {};
  startup_options = {};
  lifecycle_trace = {};
  info_log_state = {};
  system_info = {};
  compression_library = {};
  engine_config = {};
  monitor_list = {};
  menu_bar = {};
  menu_bar_hooks = {};
  screen_state.fullscreen = 0;
  screen_state.maximised = 0;
  screen_state.maximising = 0;
  screen_state.restore_pending = 0;
  screen_state.resizable = 0;
  screen_state.scaling_mode = 0;
  screen_state.saved_output_width = screen_state.saved_output_height = 0;
  screen_state.saved_frame_width = screen_state.saved_frame_height = 0;
  screen_state.frame_change_pending = 0;
  screen_state.device_reset_requested = 0;
  screen_state.fullscreen_depth = 32;
}

// The configuration of the fixture's game: the engine's own defaults.
inline compiled_engine_config fixture_game_config() {
  compiled_engine_config c;
  c.title = "ZARVIK";
  return c;
}

struct engine_fixture {
  temp_folder game;
  HeadlessPlatform host{game.path()};
  engine_fixture() {
    reset_engine_records();
    host.libraries.set_search_folder(std::string(ZARVIK_BINARY_DIR) + "/");
    write_game();
  }
  // A game that idles: one pack with its compiled files in `folder` (relative
  // to the game folder, ending in '/'; empty for the game folder itself).
  void write_game(const compiled_engine_config& config = fixture_game_config(), const std::string& folder = "") {
    game.write(folder + "game.kpf", build_game_pack("*SYSTEM_START\nwait 1\ngoto SYSTEM_START\n", config));
  }
  ~engine_fixture() { reset_engine_records(); }
};
