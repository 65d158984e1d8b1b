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
  // The player's own boxes (edit box, input and notice boxes) lie over the
  // frame in the window, as a user sees them.
  if (auto* ui = platform_installed() ? dynamic_cast<HeadlessUi*>(platform().ui) : nullptr) {
    for (int slot = 0; slot < 2; ++slot) {
      int ox = 0, oy = 0;
      headless_frame o = ui->overlay(0, slot, &ox, &oy);
      for (int y = 0; y < o.height; ++y) {
        if (oy + y < 0 || oy + y >= height) continue;
        for (int x = 0; x < o.width; ++x) {
          if (ox + x < 0 || ox + x >= width) continue;
          std::memcpy(bgra.data() + (static_cast<size_t>(oy + y) * width + ox + x) * 4,
                      o.bgra.data() + (static_cast<size_t>(y) * o.width + x) * 4, 4);
        }
      }
    }
  }
  draw_headless_overlay(width, height, bgra);
  return true;
}

void draw_headless_overlay(int width, int height, std::vector<uint8_t>& bgra) {
  auto* ui = platform_installed() ? dynamic_cast<HeadlessUi*>(platform().ui) : nullptr;
  headless_overlay o;
  if (!ui || !ui->overlay(0, o) || width <= 0 || height <= 0) return;
  // The overlay lies in client coordinates; the frame is the logical picture.
  int client_w = width, client_h = height;
  if (!ui->client_size(0, &client_w, &client_h) || client_w <= 0 || client_h <= 0) client_w = width, client_h = height;
  for (int y = 0; y < height; ++y) {
    const int64_t cy = int64_t{y} * client_h / height - o.y;
    if (cy < 0 || cy >= o.picture.height) continue;
    for (int x = 0; x < width; ++x) {
      const int64_t cx = int64_t{x} * client_w / width - o.x;
      if (cx < 0 || cx >= o.picture.width) continue;
      std::memcpy(bgra.data() + (static_cast<size_t>(y) * width + x) * 4,
                  o.picture.bgra.data() + (static_cast<size_t>(cy) * o.picture.width + cx) * 4, 4);
    }
  }
}
