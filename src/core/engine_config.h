// The game's compiled engine configuration, kxbin\kxcfg.kbn.
#pragma once
#include <cstdint>
#include <string>

struct engine_config_record {
  uint32_t main_width = 640;   // 0 with height 0: the desktop size
  uint32_t main_height = 480;
  uint32_t main_window_kind = 0;  // 1 = shown at the first frame
  uint8_t image_extension_order[8] = {1, 2, 3, 4, 0, 0, 0, 0};
  uint8_t sound_extension_order[4] = {1, 2, 0, 0};
  // Flags kept as the low byte of their u32 field.
  uint8_t frame_thread_mode = 0;
  uint8_t debug_switch = 0;
  uint8_t sound_on = 1;
  uint8_t keep_thick_frame = 0;
  uint8_t main_window_style = 0;
  uint8_t kept_flag = 0;
  uint8_t dev_loose_first = 0;
  uint8_t release_loose_first = 0;
  std::string title = "ZARVIK";  // Shift-JIS
  // Width and height 0 in the file: the main window takes the desktop size.
  uint8_t uses_desktop_size = 0;
  // The desktop size, set by start-up before the configuration is loaded
  // (the screen-mode code knows the monitors).
  uint32_t desktop_width = 1920;
  uint32_t desktop_height = 1080;
  // Frame texture size of the GPU presentation: 256..2048 or 4096; set once,
  // only while still 0.
  uint32_t texture_work_width = 0;
  uint32_t texture_work_height = 0;
};

extern engine_config_record engine_config;
