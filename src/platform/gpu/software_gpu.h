// Our own GPU device: a deterministic rasteriser on the CPU. It draws exactly
// what the GpuDevice contract says, in floating point with 8-bit textures and
// target, the way a GPU with an RGBA8 target does; tests take it as the
// reference the OpenGL ES backend must match.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu_device.h"

class SoftwareGpuDevice final : public GpuDevice {
 public:
  // `shader_level` is what the device reports (20 is what the engine needs).
  SoftwareGpuDevice(int target_width, int target_height, int shader_level = 20);
  const gpu_device_info& info() const override { return info_; }
  int target_width() const override { return width_; }
  int target_height() const override { return height_; }
  int load_effect(const std::string& technique) override;
  uint32_t create_texture(int width, int height, gpu_texture_format format) override;
  void release_texture(uint32_t texture) override;
  bool upload_texture(uint32_t texture, int x, int y, int width, int height, const uint8_t* bgra, size_t stride,
                      bool dither) override;
  bool begin_scene() override;
  bool end_scene() override;
  bool clear(uint32_t argb) override;
  bool draw_quad(const gpu_vertex vertices[4], const gpu_draw_state& state) override;
  bool read_back(uint8_t* bgra, int width, int height, size_t stride) override;
  bool lost() override { return lost_; }

  // Test side: the device reports itself lost from now on.
  void set_lost() { lost_ = true; }
  size_t texture_count() const { return textures_.size(); }

  struct texture {
    int width = 0, height = 0;
    gpu_texture_format format = gpu_texture_format::bgra8888;
    std::vector<uint8_t> bgra;  // 16-bit textures keep their expanded texels
  };

 private:
  void draw_triangle(const gpu_vertex& a, const gpu_vertex& b, const gpu_vertex& c, const gpu_draw_state& s);

  gpu_device_info info_;
  int width_, height_;
  std::vector<uint8_t> target_;  // BGRA
  std::map<uint32_t, texture> textures_;
  uint32_t next_texture_ = 1;
  bool in_scene_ = false;
  bool lost_ = false;
};
