#include "system/settings_commands.h"

#include "core/engine_state.h"
#include "core/play_time.h"
#include "core/window_state.h"
#include "platform/platform.h"
#include "script/argument_binding.h"
#include "script/scheduler.h"

system_settings_record system_settings;
settings_link_table settings_links;

void apply_screen_saver_block() {
  if (platform_installed() && platform().ui) platform().ui->block_screen_saver(system_settings.screen_saver_block != 0);
}

int cmd_system_settings() {
  if (bind_command_arguments(80) != 0) return -1;
  if (parameter_given(0)) {
    system_settings.screen_saver_block = static_cast<uint8_t>(parameter_int(0));
    apply_screen_saver_block();
  }
  // Only a window that has the focus may change how losing it behaves.
  const window_state* main = game_window_record(0);
  if (parameter_given(1) && main && main->active)
    inactive_pause.keep_running_inactive = static_cast<uint8_t>(parameter_int(1));
  if (parameter_given(2) && parameter_given(3)) {
    const int64_t w = parameter_int(2), h = parameter_int(3);
    if (w > 0 && h > 0 && w <= INT32_MAX && h <= INT32_MAX && settings_links.set_client_size)
      settings_links.set_client_size(static_cast<int>(w), static_cast<int>(h));
  }
  // The input sampling holds and releases the counters on the tick's thread:
  // switch them under the same lock.
  std::lock_guard<engine_mutex> g(engine_lock);
  const uint32_t now = platform_installed() && platform().clock ? platform().clock->tick_ms() : 0;
  for (int counter = 0; counter < play_time_counter_count; ++counter)
    if (parameter_given(static_cast<uint32_t>(4 + counter)))
      switch_play_time_counter(counter, parameter_int(static_cast<uint32_t>(4 + counter)), now);
  return 0;
}
