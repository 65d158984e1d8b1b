#include "app/startup.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/compression_library.h"
#include "core/engine_state.h"
#include "core/error_report.h"
#include "app/frame_loop.h"
#include "app/game_window.h"
#include "core/info_log.h"
#include "app/input.h"
#include "core/object_tree.h"
#include "app/pending_hooks.h"
#include "app/environment_report.h"
#include "app/screen_modes.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "core/system_info.h"
#include "core/worker_pool.h"
#include "d3d/directx_version.h"
#include "graphics/blend_modes.h"
#include "graphics/fonts.h"
#include "graphics/layer_record.h"
#include "graphics/message_window.h"
#include "graphics/pixel_kernels.h"
#include "graphics/presentation.h"
#include "image/cg_picture.h"
#include "app/command_handlers.h"
#include "d3d/d3d_device.h"
#include "app/engine_links.h"
#include "app/engine_values.h"
#include "app/menu_view.h"
#include "system/cursor_tray.h"
#include "system/flash_host.h"
#include "system/menus.h"
#include "system/registry_store.h"
#include "system/settings_commands.h"
#include "core/play_time.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "core/engine_config.h"
#include "resources/compiler_link.h"
#include "resources/pack_archive.h"
#include "script/system_start.h"
#include "save/save_data.h"
#include "script/expression.h"
#include "script/random.h"
#include "script/scheduler.h"
#include "sound/movie_commands.h"
#include "sound/sound_player.h"
#include "sound/sound_thread.h"

startup_tables_record startup_tables;
local_time start_time;
startup_options_record startup_options;
lifecycle_trace_record lifecycle_trace;

void trace_step(const char* name) {
  if (lifecycle_trace.enabled) lifecycle_trace.steps.emplace_back(name);
}

namespace {

// The player's own messages, converted once.
struct startup_messages {
  std::string error_caption = utf8_to_sjis("エラー");
  std::string old_windows = utf8_to_sjis("Windows95/NT3.5/NT4 では起動できません。");
  std::string no_window = utf8_to_sjis("ウィンドウが生成できませんでした。");
  std::string gpu_failed = utf8_to_sjis("GPU描画が出来ませんでした。CPU描画に移行します。");
  std::string settings_tool_host = "zarvik-settings";
};
const startup_messages& messages() {
  static const startup_messages m;
  return m;
}

bool equals_ignoring_case(std::string a, std::string b) {
  lower_path_sjis(a);
  lower_path_sjis(b);
  return a == b;
}

}  // namespace


void init_module_paths() {
  Process* process = platform().process;
  HostFiles* files = platform().files;
  module_paths = {};
  module_paths.game_folder_host = files->game_folder_host();
  module_paths.game_folder = utf8_to_sjis(module_paths.game_folder_host);
  module_paths.program_path_host =
      process ? process->program_path_host() : module_paths.game_folder_host + "zarvik";
  module_paths.program_path = utf8_to_sjis(module_paths.program_path_host);
  lower_path_sjis(module_paths.program_path);
  module_paths.instance_name = module_paths.program_path;
  replace_sjis_char(module_paths.instance_name, '/', ':');
  replace_sjis_char(module_paths.instance_name, '\\', ':');
  if (process) {
    module_paths.user_data_home = utf8_to_sjis(process->user_data_folder_host());
    module_paths.user_documents_home = utf8_to_sjis(process->documents_folder_host());
    const std::string data = files->own_folder_host(own_folder::data);
    const std::string documents = files->own_folder_host(own_folder::documents);
    module_paths.app_data_folder = data.empty() ? module_paths.user_data_home : utf8_to_sjis(data);
    module_paths.documents_folder = documents.empty() ? module_paths.user_documents_home : utf8_to_sjis(documents);
  }
  module_paths.game_path = module_paths.game_folder;
}

void init_startup_tables() {
  if (startup_tables.done) return;
  startup_tables.done = 1;
  trace_step("init_startup_tables");
  std::strcpy(startup_tables.version_tag, "revkivraz");
  seed_random(platform().clock->tick_ms());
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  mark_path_special_characters();
  init_blend_tables();
  init_blend_dispatch_tables();
  install_expression_tables();
  install_scheduler();
  install_command_handlers();
  install_key_state_handlers();
  link_engine_hooks();
  set_script_defaults();
  reset_engine_options();
  init_message_window();
  build_font_list();
  uint32_t directx = 0;
  char letter = 0;
  detect_directx_version(&directx, &letter);
  startup_tables.directx_version = encode_directx_version(directx, letter);
  system_info.directx_version = startup_tables.directx_version;
  static const char* const pictures[4] = {".bmp", ".png", ".jpg", ".gif"};
  static const char* const sounds[2] = {".wav", ".ogg"};
  for (int i = 0; i < 4; ++i) startup_tables.picture_extensions[i] = pictures[i];
  for (int i = 0; i < 2; ++i) startup_tables.sound_extensions[i] = sounds[i];
}

int app_initialise() {
  Clock* clock = platform().clock;
  trace_step("copy_command_line");
  copy_command_line();
  trace_step("read_engine_settings");
  read_engine_settings();
  trace_step("read_save_settings");
  read_save_settings();
  trace_step("init_pixel_kernels");
  init_pixel_kernels(engine_settings.sse_allowed != 0, engine_settings.sse2_allowed != 0);
  init_presentation();  // scaling policy and mode from the settings, scaler jobs
  trace_step("query_system_info");
  query_system_info();
  enumerate_monitors();
  screen_state.fullscreen_depth = system_info.desktop_depth;
  if (system_info.os_code >= 1 && system_info.os_code <= 19) {
    show_message_box(messages().error_caption, messages().old_windows);
    return -1;
  }
  trace_step("build_name_length_table");
  build_name_length_table();

  const std::string& first = command_line_slots.slots[1];
  if (equals_ignoring_case(first, "/kxcfg")) {
    trace_step("settings_tool");
    // The settings tool is a separate program beside the player.
    if (Process* process = platform().process)
      process->spawn({module_paths.game_folder_host + messages().settings_tool_host, "/kxcfg"});
    return -1;
  }
  if (equals_ignoring_case(first, "/info")) {
    trace_step("license_information");
    error_dialog_title = utf8_to_sjis("License Information");
    report_error(100000, 1);
    return -1;
  }

  trace_step("load_compression_library");
  int library = load_compression_library();
  trace_step("open_pack_archives");
  if (open_pack_archives() != 0 || library != 0) return -1;
  if (pack_entry_tables.release_mode) {
    module_paths.game_path = module_paths.game_folder;
  } else {
    // A development run: the compiler hands over the compiled files and the
    // game path; the one-time tables are built while it works.
    trace_step("run_compiler_link");
    compiler_link_hooks.while_compiling = init_startup_tables;
    if (run_compiler_link(&module_paths.game_path) != 0) return -1;
  }

  init_startup_tables();
  trace_step("test_folder_writable");
  test_folder_writable();
  publish_engine_values();
  trace_step("create_window_states");
  if (create_window_states() != 0) return -1;
  trace_step("load_engine_config");
  // A configured size of 0 x 0 takes the real desktop's.
  engine_config.desktop_width = static_cast<uint32_t>(system_info.desktop_width);
  engine_config.desktop_height = static_cast<uint32_t>(system_info.desktop_height);
  if (load_engine_config() != 0) return -1;
  frame_thread.enabled = engine_config.frame_thread_mode;

  if (engine_settings.disable_composition && system_info.os_code >= 65) disable_desktop_composition();

  // The main window's sizes: a window larger than the desktop draws its frame
  // at half the desktop size and is scaled on presentation.
  trace_step("frame_buffer");
  int logical_width = static_cast<int>(engine_config.main_width);
  int logical_height = static_cast<int>(engine_config.main_height);
  if (logical_width == 0 && logical_height == 0) {
    logical_width = system_info.desktop_width;
    logical_height = system_info.desktop_height;
  }
  cpu_frame_buffer.output_width = logical_width;
  cpu_frame_buffer.output_height = logical_height;
  if (system_info.desktop_width < logical_width || system_info.desktop_height < logical_height) {
    cpu_frame_buffer.frame_width = system_info.desktop_width / 2;
    cpu_frame_buffer.frame_height = system_info.desktop_height / 2;
  } else {
    cpu_frame_buffer.frame_width = logical_width;
    cpu_frame_buffer.frame_height = logical_height;
  }
  if (apply_frame_buffer_rule(cpu_frame_buffer.pixels, cpu_frame_buffer.frame_width, cpu_frame_buffer.frame_height) !=
      0)
    return -1;

  trace_step("create_game_window");
  init_window_bitmap(0, engine_config.title);
  if (!create_game_window(0, logical_width, logical_height, engine_config.title)) {
    show_message_box(messages().error_caption, messages().no_window);
    return -1;
  }
  on_get_min_max_info();  // the user's drag limits of the main window

  trace_step("set_timer_resolution");
  frame_counters.ticks_this_second = frame_counters.frames_this_second = 0;
  frame_counters.ticks_last_second = frame_counters.frames_last_second = 0;
  trace_step("create_menu_popup_window");
  create_menu_popup_window();
  trace_step("create_tree_roots");
  layer_tree_main_size = {logical_width, logical_height};
  install_layer_tree_hooks();
  install_picture_loading();
  install_sound_tree_hooks();
  link_sound_focus();
  apply_screen_saver_block();
  // Menus, cursor, tray, registry and Flash start afresh with each run.
  reset_registry_store();
  clear_menu_sets();
  cursor_state = cursor_state_record{};
  tray_state = tray_state_record{};
  flash_release();
  flash_host = flash_host_record{};
  if (create_tree_roots() != 0) return -1;
  if (engine_config.sound_on) {
    trace_step("create_direct_sound");
    engine_config.sound_on = create_direct_sound() == 1 ? 1 : 0;
  }
  trace_step("count_joysticks");
  startup_options.joystick_enabled = count_joysticks() > 0 ? 1 : 0;
  pacing_state.reference_ms = 0;
  start_time = clock->local_now();
  if (engine_settings.gpu_drawing) {
    trace_step("write_environment_report");
    write_environment_report();
  }
  trace_step("system_start");
  if (system_start() != 0) {
    request_close();
    return 1;
  }
  trace_step("start_worker_threads");
  start_worker_threads(system_info.worker_count);
  trace_step("init_sound_player");
  if (init_sound_player() != 0) return -1;
  if (frame_thread.enabled) {
    trace_step("start_frame_thread");
    start_frame_thread();
  }
  if (startup_options.start_fullscreen && set_fullscreen(1)) {
    platform().ui->show_window(0, true);
    uint32_t from = clock->tick_ms();
    // The sound and frame threads already run: serve their dialogs meanwhile.
    while (clock->tick_ms() - from < 1500) {
      serve_ui_while_waiting();
      clock->sleep_ms(1);
    }
  }
  trace_step("play_time_clocks");
  start_play_time_counters(clock->tick_ms());
  clear_save_handle_tables();
  if (!engine_settings.gpu_drawing) return 0;
  trace_step("init_direct3d");
  if (init_direct3d() == 1) {
    engine_settings.gpu_drawing = 0;
    engine_settings.smoothing = 1;
    engine_settings.quality_level = 1;
    write_info_log("", messages().gpu_failed);
    show_message_box("", messages().gpu_failed);
  }
  return 0;
}

void shutdown_engine() {
  trace_step("shutdown_engine");
  // Quit first, then the separate stop signal: a report with quit 0 may clear
  // quit_flag again, but never the signal the threads wait on.
  quit_flag = 1;
  stop_threads_signal = 1;
  trace_step("wait_sound_thread");
  wait_sound_thread_end();
  trace_step("wait_frame_thread");
  wait_for_frame_thread();
  trace_step("stop_worker_threads");
  stop_worker_threads();
  if (engine_settings.gpu_drawing) {
    trace_step("release_direct3d");
    release_direct3d();
  }
  trace_step("dshow_movie_close");
  dshow_movie_close();
  mci_movie_close();
  movie_player.playing = 0;
  if (engine_config.sound_on) {
    trace_step("release_direct_sound");
    release_direct_sound();
  }
  // The sound thread and the script threads have ended: nothing walks the
  // sound tree any more.
  destroy_sound_tree();
  trace_step("destroy_menu_handles");
  destroy_menu_handles();
  remove_tray_icon();
  if (in_fullscreen()) {
    trace_step("switch_to_windowed");
    if (switch_to_windowed() == 0) screen_state.fullscreen = screen_state.maximised = 0;
  }
  trace_step("release_resources");
  release_renderer_resources();
  free_text_gdi_slots();
  free_staged_values(-1);
  flash_release();
  trace_step("unload_compression_library");
  unload_compression_library();
}

int win_main() {
  init_module_paths();
  Process* process = platform().process;
  // One running copy per program path: a second start raises the first and ends.
  if (process && process->claim_single_instance(module_paths.instance_name) != 0) return 0;
  trace_step("single_instance");
  int exit_code = 0;
  if (app_initialise() == 0) {
    trace_step("message_loop");
    exit_code = run_message_loop();
  }
  shutdown_engine();
  if (process) process->release_single_instance();
  if (restart_flag && process) {
    trace_step("restart");
    // The program exactly as it was started, by argv: no shell, no lower-casing.
    process->spawn({module_paths.program_path_host});
  }
  // A run that ended on an error is no success.
  if (quit_by_error.load() && exit_code == 0) exit_code = 1;
  return exit_code;
}
