// The GPU service both platforms install: OpenGL ES 3 over EGL (a hardware
// device, then Mesa's llvmpipe) and our own rasteriser, filtered by the
// user's choice of backend.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu_device.h"

class SoftwareGpuDevice;

class StandardGpuSystem final : public GpuSystem {
 public:
  explicit StandardGpuSystem(gpu_choice choice = gpu_choice::automatic) : choice_(choice) {}
  bool drawing_disabled() const override { return choice_ == gpu_choice::cpu_only; }
  std::unique_ptr<GpuDevice> create_device(gpu_attempt attempt, int target_width, int target_height,
                                           std::string* why) override;
  std::vector<std::string> adapter_lines() override;
  void prefer_adapter(int index) override { preferred_adapter_ = index; }
  int preferred_adapter() const { return preferred_adapter_; }

  void set_choice(gpu_choice choice) { choice_ = choice; }
  gpu_choice choice() const { return choice_; }

  // Test side: refuse every device from now on (a rebuild that fails), make
  // the rasteriser report another shader level, reach the last rasteriser.
  void refuse_all(bool refuse) { refuse_all_ = refuse; }
  void set_software_shader_level(int level) { software_shader_level_ = level; }
  SoftwareGpuDevice* last_software_device() const { return last_software_; }
  int devices_made() const { return devices_made_; }
  const std::vector<gpu_attempt>& attempts() const { return attempts_; }

 private:
  gpu_choice choice_;
  std::atomic<bool> refuse_all_{false};
  int software_shader_level_ = 20;
  SoftwareGpuDevice* last_software_ = nullptr;  // owned by the engine; valid while it keeps the device
  int devices_made_ = 0;
  int preferred_adapter_ = 0;
  std::vector<gpu_attempt> attempts_;  // every create_device, in order
};
