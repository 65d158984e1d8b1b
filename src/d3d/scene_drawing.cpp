#include "d3d/scene_drawing.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/error_report.h"
#include "core/window_state.h"
#include "core/info_log.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "d3d/d3d_device.h"
#include "d3d/layer_textures.h"
#include "graphics/colour_tone.h"
#include "graphics/compositor.h"
#include "graphics/layer_commands.h"
#include "graphics/layer_record.h"
#include "graphics/presentation.h"
#include "image/cg_layer_ops.h"

gpu_scene_record gpu_scene;

namespace {

bool node_in_tree(const object_node* root, const object_node* wanted) {
  for (const object_node* c = root ? root->first_child : nullptr; c; c = c->next_sibling)
    if (c == wanted || node_in_tree(c, wanted)) return true;
  return false;
}

// The scene layer when its node is still part of the layer tree.
object_node* live_scene_layer() {
  object_node* node = gpu_scene.scene_layer;
  if (!node) return nullptr;
  if (!node_in_tree(object_trees[tree_layers].root, node)) {
    gpu_scene.scene_layer = nullptr;
    return nullptr;
  }
  return node;
}

bool gpu_drawing_on() { return engine_settings.gpu_drawing && d3d_renderer_state.device; }

bool take_scene_dirty() { return gpu_drawing_on() && gpu_scene.redraw_request.exchange(0) != 0; }

int render_for_compositor() { return render_frame_gpu(); }

int make_texture(object_node* node, int64_t texture_number) {
  return paste_sprite_texture(layer_record(node), texture_number, engine_tile_width, 256);
}

void set_scene_layer(object_node* node, int on) {
  if (on) {
    gpu_scene.scene_layer = node;
  } else if (gpu_scene.scene_layer == node || !node) {
    gpu_scene.scene_layer = nullptr;
  }
}

void draw_now() { render_frame_gpu(); }

void mark_scene_dirty() { gpu_scene.redraw_request = 1; }

void release_record_textures(cg_record* record) { free_layer_texture_set(record); }

// After the switch: nothing lives in textures any more, so every such layer
// is the CPU compositor's again.
void return_layers_to_cpu(object_node* node) {
  for (object_node* c = node ? node->first_child : nullptr; c; c = c->next_sibling) {
    return_layers_to_cpu(c);
    cg_record* r = layer_record(c);
    if (!r) continue;
    if (r->texture_requested || r->gpu_textures) {
      free_layer_texture_set(r);
      r->texture_requested = 0;
      mark_layer_dirty(c);
    }
  }
}

// The screen's monochrome strength and colour tone: the scene layer's, as
// the scene read-back applies them; neutral without a scene layer.
void screen_tone(int& monochrome, uint32_t& tone) {
  monochrome = neutral_monochrome;
  tone = neutral_colour_tone;
  if (const cg_record* r = layer_record(live_scene_layer())) {
    monochrome = r->gpu_monochrome;
    tone = uint32_t(r->gpu_colour_tone);
  }
}

int clamp_limit(int64_t limit) { return limit > 0 ? int(std::min<int64_t>(limit, INT32_MAX)) : 0; }

// The picture command's texture refresh: the layer's tiles made anew, no
// larger than the second layer's size. The layer keeps its texture number
// and level; its own position and transform place it when drawn.
int refresh_layer_textures(cg_record* record, int64_t width_limit, int64_t height_limit, const cg_record*) {
  if (!gpu_drawing_on() || !record) return -1;
  const layer_texture_set* old = record->gpu_textures;
  set_upload_arguments(record, old ? old->texture_number : 0, clamp_limit(width_limit), old ? old->level : 256,
                       clamp_limit(height_limit));
  return upload_layer_textures(record, 0);
}

// The capture's off-screen step. The device has one target, the back
// buffer, which the read-back copies: the layer drawn into a separate layer
// surface would never be read (the read-back stages through that surface
// and overwrites it), so only the device is checked here.
int check_capture_device(object_node*) {
  if (!d3d_renderer_state.device) {
    write_info_log("", "KX_D3DDevice Error.");
    return 1;
  }
  return 0;
}

int read_back_screen(uint8_t* destination, int width, int height) {
  int monochrome = neutral_monochrome;
  uint32_t tone = neutral_colour_tone;
  screen_tone(monochrome, tone);
  return read_back_buffer_with_tone(destination, width, height, monochrome, tone);
}

}  // namespace

void install_gpu_drawing_hooks() {
  compositor_hooks.take_gpu_scene_dirty = take_scene_dirty;
  compositor_hooks.render_gpu_frame = render_for_compositor;
  layer_command_hooks.gpu_drawing = gpu_drawing_on;
  layer_command_hooks.make_texture = make_texture;
  layer_command_hooks.set_scene_layer = set_scene_layer;
  layer_command_hooks.draw_now = draw_now;
  layer_command_hooks.mark_scene_dirty = mark_scene_dirty;
  layer_record_hooks.release_textures = release_record_textures;
  cg_gpu_hooks.upload_layer_textures = refresh_layer_textures;
  cg_gpu_hooks.draw_layer_offscreen = check_capture_device;
  cg_gpu_hooks.read_back_buffer_with_tone = read_back_screen;
}

void reset_gpu_drawing() {
  d3d_renderer_state_record& st = d3d_renderer_state;
  st.device.reset();
  st.white_texture = st.black_texture = 0;
  st.effect_ready = false;
  st.max_texture_width = st.max_texture_height = 0;
  st.caps_dumped = st.modes_listed = false;
  st.current = gpu_draw_state{};
  gpu_scene.scene_layer = nullptr;
  gpu_scene.redraw_request = 0;
  gpu_scene.switched_to_cpu = 0;
}

void apply_screen_tone(uint8_t* bgra, size_t pixel_count, uint32_t tone) {
  int table[3][256];
  for (int ch = 0; ch < 3; ++ch) {
    // Channel 0 is blue (tone byte 0), 1 green, 2 red.
    const int t = int((tone >> (8 * ch)) & 0xFF);
    const int up = std::max(t - 128, 0), down = std::max(128 - t, 0);
    for (int v = 0; v < 256; ++v) table[ch][v] = (((255 - v) * up) >> 7) - ((v * down) >> 7);
  }
  for (size_t i = 0; i < pixel_count; ++i) {
    uint8_t* p = bgra + i * 4;
    for (int ch = 0; ch < 3; ++ch) p[ch] = static_cast<uint8_t>(std::clamp(p[ch] + table[ch][p[ch]], 0, 255));
  }
}

int read_back_buffer_with_tone(uint8_t* destination, int width, int height, int monochrome, uint32_t tone) {
  GpuDevice* device = d3d_renderer_state.device.get();
  if (!device) {
    write_info_log("", "KX_D3DDevice Error.");
    return -1;
  }
  if (!destination || width <= 0 || height <= 0 || width > device->target_width() ||
      height > device->target_height() || !device->read_back(destination, width, height, size_t(width) * 4)) {
    write_info_log("", "GetRenderTargetData Error.");
    return -1;
  }
  if (monochrome != neutral_monochrome)
    apply_monochrome(destination, destination, 0, 0, width - 1, height - 1, width, width, monochrome);
  if (tone != neutral_colour_tone) apply_screen_tone(destination, size_t(width) * size_t(height), tone);
  return 0;
}

void switch_to_cpu_drawing() {
  engine_settings.gpu_drawing = 0;
  engine_settings.smoothing = 1;
  engine_settings.quality_level = 1;
  presentation_settings.d3d_filter = 0;
  presentation_settings.cpu_scaling_mode = 1;
  gpu_scene.switched_to_cpu = 1;
  gpu_scene.redraw_request = 0;
  return_layers_to_cpu(object_trees[tree_layers].root);
  // The scene layer only carried GPU frames: left shown, its last frame would
  // cover the layers the CPU draws now.
  if (object_node* scene = live_scene_layer()) {
    if (cg_record* r = layer_record(scene)) {
      mark_layer_dirty(scene);
      r->visible = 0;
      mark_layer_dirty(scene);
    }
  }
  gpu_scene.scene_layer = nullptr;
}

int reset_device() {
  release_direct3d();
  if (init_direct3d() != 0) {
    release_direct3d();
    switch_to_cpu_drawing();
    const std::string text = utf8_to_sjis("GPU描画が出来ませんでした。CPU描画に移行します。");
    write_info_log("", "%s", text);
    show_message_box("", "%s", text);
    return -1;
  }
  d3d_log("DeviceReset End.");
  walk_tree_textures(object_trees[tree_layers].root, 2);
  return 0;
}

int render_frame_gpu() {
  d3d_renderer_state_record& st = d3d_renderer_state;
  if (!engine_settings.gpu_drawing || !st.device) return 0;
  object_node* scene = live_scene_layer();
  if (!scene) return 0;
  const bool reset_asked = screen_state.device_reset_requested.exchange(0) != 0;
  if (st.device->lost() || reset_asked) {
    write_info_log("", "%s", utf8_to_sjis("-------------------- Direct3D (L)初期化します."));
    if (reset_device() != 0) return 0;
    scene = live_scene_layer();
    if (!scene) return 0;
  }
  GpuDevice* device = st.device.get();
  if (!device->begin_scene()) {
    write_info_log("", "D3D BeginScene Error.");
    return 0;
  }
  // Opaque black: the target's alpha reaches the scene layer's picture.
  if (!device->clear(0xFF000000u)) write_info_log("", "D3D Clear Error.");
  draw_layer_tree_gpu(layer_links.windows[0].attached_layer);
  if (!device->end_scene()) write_info_log("", "D3D EndScene Error.");
  cg_record* r = layer_record(scene);
  const cg_record* frame = layer_record(layer_links.windows[0].attached_layer);
  if (r && r->pixels && frame && r->width == frame->width && r->height == frame->height) {
    if (read_back_buffer_with_tone(r->pixels, r->width, r->height, r->gpu_monochrome,
                                   uint32_t(r->gpu_colour_tone)) == 0) {
      // The target's alpha is only what the blending left there (a multiply
      // leaves 0 where a picture is transparent); the scene is a whole
      // frame, so it must not let anything under it show through.
      const size_t n = size_t(r->width) * size_t(r->height);
      for (size_t i = 0; i < n; ++i) r->pixels[i * 4 + 3] = 255;
      note_layer_pixels_changed(r);
      mark_layer_dirty(scene);
    }
  }
  return 0;
}
