#include "app/client_size.h"

#include "app/game_window.h"
#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/window_state.h"
#include "graphics/layer_record.h"
#include "platform/platform.h"

client_size_hook_table client_size_hooks;

namespace {
// Pictures are at most this wide; the height gets the same cap, so the frame
// (w*4*h bytes, counted in 64 bits) stays within what a picture may be.
constexpr int client_size_max = 8192;
}  // namespace

void set_main_client_size(int width, int height) {
  window_state* main = game_window_record(0);
  if (!main || width <= 0 || height <= 0) return;
  if (width > client_size_max || height > client_size_max) {
    show_message_box("", cg_too_large_text(), width, height);
    report_error(100010, 1);
    return;
  }
  std::lock_guard<engine_mutex> g(engine_lock);
  if (layer_links.windows[0].surface && alloc_layer_picture(layer_links.windows[0].surface, width, height) != 0)
    return;
  main->logical_width = width;
  main->logical_height = height;
  main->display_rect[2] = width;
  main->display_rect[3] = height;
  main->bitmap_width = width;
  main->bitmap_height = height;
  if (screen_state.fullscreen && client_size_hooks.fullscreen_resize)
    client_size_hooks.fullscreen_resize(width, height);
  // A window, or a full screen whose mode for the new size could not be had
  // (the switch has gone back to a window).
  if (!screen_state.fullscreen) {
    if (apply_frame_buffer_rule(cpu_frame_buffer.pixels, width, height) != 0) return;
    cpu_frame_buffer.output_width = cpu_frame_buffer.frame_width = width;
    cpu_frame_buffer.output_height = cpu_frame_buffer.frame_height = height;
    screen_state.client_width = width;
    screen_state.client_height = height;
    if (Ui* ui = platform().ui) ui->set_client_size(0, width, height);
  }
  if (client_size_hooks.reset_device) client_size_hooks.reset_device();
}
