// The GPU drawing service: textures in tiles, pre-transformed textured quads
// under a small fixed set of blend states and texture stage set-ups, two effect
// passes, and a read-back of the target to BGRA. Shaped by what the scene
// drawing asks of a device, not by any graphics API.
//
// Coordinates follow the engine's drawing convention: pixel (i, j) has its
// centre at (i, j), so a picture drawn 1:1 is placed at its position minus
// 0.5. Every backend converts to its own convention.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One vertex of a quad, 84 bytes: position (x, y, z, rhw), diffuse colour
// (0xAARRGGBB), eight texture coordinate pairs (only the first is used by the
// passes the engine draws).
struct gpu_vertex {
  float x, y, z, rhw;
  uint32_t diffuse;
  float uv[8][2];
};
static_assert(sizeof(gpu_vertex) == 84, "the quad vertex is 84 bytes");

enum class gpu_texture_format : uint8_t { bgra8888, bgra4444 };

// Blend factors and operations; factors apply to alpha as to colour.
enum class gpu_blend : uint8_t { zero, one, src_color, inv_src_color, src_alpha, inv_src_alpha, inv_dest_color };
enum class gpu_blend_op : uint8_t { add, rev_subtract, min, max };

// Texture stage set-ups of the fixed-function path (t0 the quad's texture, t1
// the second stage's, d the diffuse colour, f the texture factor, c the
// stage-0 result):
enum class gpu_combiner : uint8_t {
  texture_alpha_factor,   // rgb = t0.rgb, a = t0.a * f.a
  texture_alpha_diffuse,  // rgb = t0.rgb, a = t0.a * d.a
  modulate,               // rgba = t0 * d
  modulate_toward_t1,     // c = t0 * d; rgb = c.rgb * c.a + t1.rgb * (1 - c.a); a = c.a
  modulate_toward_factor  // c = t0 * d; rgb = c.rgb * c.a + f.rgb * (1 - c.a); a = c.a
};

enum class gpu_filter : uint8_t { point, linear };

// Everything one quad is drawn with. pass -1 is the fixed-function path;
// passes 0 (second picture) and 1 (rule transition) replace the combiner.
struct gpu_draw_state {
  gpu_blend src = gpu_blend::one;
  gpu_blend dst = gpu_blend::zero;
  gpu_blend_op op = gpu_blend_op::add;
  gpu_combiner combiner = gpu_combiner::modulate;
  uint32_t texture_factor = 0xFFFFFFFF;  // 0xAARRGGBB
  uint32_t texture0 = 0, texture1 = 0;   // 0: none (samples opaque white)
  gpu_filter mag_filter = gpu_filter::linear, min_filter = gpu_filter::linear;
  int pass = -1;
  // Pass 0: out = mix(t0, t1, fade); out.a *= alpha.
  // Pass 1: w = clamp(fade2 * (t1.b * 255 - 256 + 512 * fade) / 512, 0, 1);
  //         out = t0 with out.a = t0.a * w * alpha.
  float alpha_val = 1, fade_val = 0, fade_val2 = 0;
};

struct gpu_device_info {
  std::string backend;   // "OpenGL ES", "software"
  std::string vendor, renderer, version, shading_language;
  int max_texture_width = 0, max_texture_height = 0;
  int pixel_shader_level = 0;  // 20 = the level the effect needs, 30 above
  int vertex_shader_major = 0;
  uint64_t texture_memory_bytes = 0;  // 0 when the device does not say
  bool hardware = false;
  // Further facts for the info log, in order ("GL_MAX_TEXTURE_SIZE", "16384").
  std::vector<std::pair<std::string, std::string>> facts;
};

// One device with one render target of target_width() x target_height()
// pixels, opaque black after creation. Calls may come from any one thread at a
// time (creation on the main thread, drawing on the frame thread).
class GpuDevice {
 public:
  virtual ~GpuDevice() = default;
  virtual const gpu_device_info& info() const = 0;
  virtual int target_width() const = 0;
  virtual int target_height() const = 0;
  // Builds the effect's passes; 0, -1 when they cannot be built, -2 when the
  // technique is not one of the device's.
  virtual int load_effect(const std::string& technique) = 0;
  // A texture of w x h texels (transparent black); 0 on failure.
  virtual uint32_t create_texture(int width, int height, gpu_texture_format format) = 0;
  virtual void release_texture(uint32_t texture) = 0;
  // Replaces the w x h texels at (x, y) from BGRA rows `stride` bytes apart;
  // 16-bit textures are quantised here, with error diffusion when asked.
  virtual bool upload_texture(uint32_t texture, int x, int y, int width, int height, const uint8_t* bgra,
                              size_t stride, bool dither) = 0;
  virtual bool begin_scene() = 0;
  virtual bool end_scene() = 0;
  virtual bool clear(uint32_t argb) = 0;
  // Four vertices as a triangle strip (two triangles).
  virtual bool draw_quad(const gpu_vertex vertices[4], const gpu_draw_state& state) = 0;
  // The target's top-left w x h pixels as BGRA rows `stride` bytes apart;
  // false (nothing written) when w x h does not fit the target.
  virtual bool read_back(uint8_t* bgra, int width, int height, size_t stride) = 0;
  // True once the device has been lost and must be made again.
  virtual bool lost() { return false; }
};

// How a device is made, in the order the engine tries them: a hardware GPU,
// the same API on a CPU rasteriser (llvmpipe), then our own rasteriser.
enum class gpu_attempt : uint8_t { hardware, mixed, software };

// Which backends the user allows (a command-line choice).
enum class gpu_choice : uint8_t { automatic, cpu_only, hardware, llvmpipe, software };
// "auto", "cpu", "hardware", "llvmpipe", "software"; false for other names.
bool parse_gpu_choice(const std::string& name, gpu_choice& out);
const char* gpu_choice_name(gpu_choice choice);

class GpuSystem {
 public:
  virtual ~GpuSystem() = default;
  // True when the user asked for CPU drawing: the engine then does not try.
  virtual bool drawing_disabled() const = 0;
  // A device for `attempt`, or null with the reason in `why`.
  virtual std::unique_ptr<GpuDevice> create_device(gpu_attempt attempt, int target_width, int target_height,
                                                   std::string* why) = 0;
  // The devices it can draw on, one line each ("hardware /dev/dri/renderD128"),
  // hardware adapters first in adapter order.
  virtual std::vector<std::string> adapter_lines() { return {}; }
  // The hardware adapter that later attempts try first (where there are
  // several: the one of the main window's monitor).
  virtual void prefer_adapter(int index) { (void)index; }
};
