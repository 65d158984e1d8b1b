#include "app/headless_run.h"

#include <cstring>

#include "app/startup.h"
#include "graphics/layer_record.h"

int start_headless_game(std::unique_ptr<HeadlessPlatform>& platform, const std::string& game_folder,
                        uint32_t start_time_ms, const std::string& library_folder, gpu_choice gpu,
                        const std::function<void(HeadlessPlatform&)>& prepare) {
  platform = std::make_unique<HeadlessPlatform>(game_folder);
  platform->gpu.set_choice(gpu);
  platform->clock.set(start_time_ms);
  // A whole game on virtual time: the sound thread keeps step with it.
  platform->clock.set_followed(true);
  if (!library_folder.empty()) platform->libraries.set_search_folder(library_folder);
  if (prepare) prepare(*platform);
  init_module_paths();
  return app_initialise();
}

bool composited_main_frame(int& width, int& height, std::vector<uint8_t>& bgra) {
  const cg_record* r = layer_record(layer_links.windows[0].attached_layer);
  if (!r || !r->pixels || r->width <= 0 || r->height <= 0) return false;
  width = r->width;
  height = r->height;
  const size_t bytes = static_cast<size_t>(width) * 4 * static_cast<size_t>(height);
  bgra.assign(r->pixels, r->pixels + bytes);
  return true;
}
