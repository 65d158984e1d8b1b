// The Flash movie host (commands 21-23): one movie in a rectangle of the main
// window, played by the platform's FlashBackend. Without a player the state
// is kept, the movie never plays and queries answer as for a movie that has
// ended.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

struct flash_host_record {
  std::string name;  // Shift-JIS game path, lower case with '\'
  int64_t x = 0, y = 0, width = 0, height = 0;  // logical, main window
  uint8_t started = 0;
  int64_t total_frames = 0;
  int64_t user_value = 0;
  std::unique_ptr<FlashMovie> movie;  // the instance (0 or 1)
  uint8_t no_player_logged = 0;
};
extern flash_host_record flash_host;

// Ends the movie and forgets it (command 22, a second start, shutdown).
void flash_release();

int cmd_flash_open();   // 21
int cmd_flash_close();  // 22
int cmd_flash_query();  // 23
