// The GPU drawing device: creation with its fall-backs, the capabilities
// report, the default states, the effect, the quad vertex, and release. The
// device itself is the platform's GpuDevice; this is the engine's side of it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu_device.h"

// The one vertex of every quad: position (x, y, z, rhw = 1), diffuse colour,
// texture coordinates 0..7.
using sprite_vertex = gpu_vertex;
static_assert(sizeof(sprite_vertex) == 84);
static_assert(offsetof(sprite_vertex, x) == 0 && offsetof(sprite_vertex, rhw) == 12);
static_assert(offsetof(sprite_vertex, diffuse) == 16);
static_assert(offsetof(sprite_vertex, uv) == 20 && offsetof(sprite_vertex, uv[1]) == 28 &&
              offsetof(sprite_vertex, uv[7]) == 76);

// The back buffer: at least 1280 x 960, and never smaller than the main
// window's logical picture (the read-back copies that much).
constexpr int d3d_min_target_width = 1280;
constexpr int d3d_min_target_height = 960;
constexpr int d3d_white_texture_width = 1280;
constexpr int d3d_white_texture_height = 720;
constexpr int d3d_monitor_table_size = 16;
constexpr int d3d_required_shader_level = 20;

struct d3d_renderer_state_record {
  std::unique_ptr<GpuDevice> device;
  gpu_attempt attempt = gpu_attempt::software;  // how the device was made
  int target_width = 0, target_height = 0;
  uint32_t white_texture = 0, black_texture = 0;
  bool effect_ready = false;
  int max_texture_width = 0, max_texture_height = 0;  // 0 until the caps are read
  bool caps_dumped = false;                           // once per run
  bool modes_listed = false;                          // once per run
  // Blend and stage states of the last draw: modes without their own row
  // keep them. Reset to the defaults with every device.
  gpu_draw_state current;
  // Sampler filters: 0 point, 1 linear, 2 anisotropic (drawn as linear).
  int mag_filter = 1, min_filter = 1, mip_filter = 0;
  int adapter = 0;
};
extern d3d_renderer_state_record d3d_renderer_state;

// 0 ready; 1 no GPU drawing (the caller switches to CPU drawing). A user who
// chose CPU drawing gets 0 with GPU drawing turned off quietly.
int init_direct3d();
// 0, or -1 after its message (no device of any kind).
int create_d3d_device();
// 0, or 1 when the pixel shader level is below what the effect needs. The
// report is written once per run; later calls return 0 at once.
int dump_device_caps();
// Always 0.
int set_device_defaults();
// 0, or -1 when the effect cannot be used.
int init_shader_effect();
// The environment report's lines on the devices the GPU drawing can use
// (none when the user chose CPU drawing).
void d3d_adapter_lines(std::vector<std::string>& lines);
// Releases every layer's textures, the white and black textures and the device.
void release_direct3d();

// The monitor entry device creation uses: `index` when it lies inside the
// table and has a size, else the first entry with a size, else 0.
struct d3d_monitor_size {
  int width = 0, height = 0;
};
int choose_monitor_entry(int index, const d3d_monitor_size table[d3d_monitor_table_size]);

// The engine's messages (UTF-8 here, Shift-JIS when shown or logged).
void d3d_log(const char* utf8);
void d3d_box(const char* caption_utf8, const char* text_utf8);

// Texture format of layer textures and of the white and black textures: 16-bit
// when the settings ask for it (kxcfg.dat slot 13), dithered when slot 14 is on.
gpu_texture_format d3d_texture_format();
bool d3d_dither();
