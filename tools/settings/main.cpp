// zarvik-settings: the settings program beside the player ("zarvik /kxcfg"
// starts it). The game folder is the folder it was started from.
#include "platform/sdl/real_platform.h"
#include "settings/settings_tool.h"

int main(int argc, char** argv) {
  std::unique_ptr<RealPlatform> real = make_real_platform(argc, argv);
  if (!real) return 1;
  return run_settings_tool() == settings_no_window ? 1 : 0;
}
