#include "platform/gpu/gpu_system.h"

#include "platform/gles/gles_gpu.h"
#include "platform/gpu/software_gpu.h"

std::unique_ptr<GpuDevice> StandardGpuSystem::create_device(gpu_attempt attempt, int target_width, int target_height,
                                                            std::string* why) {
  std::string dummy;
  if (!why) why = &dummy;
  attempts_.push_back(attempt);
  if (refuse_all_) {
    *why = "devices refused";
    return nullptr;
  }
  const bool any = choice_ == gpu_choice::automatic;
  std::unique_ptr<GpuDevice> device;
  switch (attempt) {
    case gpu_attempt::hardware:
      if (!any && choice_ != gpu_choice::hardware) {
        *why = "not chosen";
        return nullptr;
      }
      device = make_gles_device(gles_device_kind::hardware, target_width, target_height, why, preferred_adapter_);
      break;
    case gpu_attempt::mixed:
      if (!any && choice_ != gpu_choice::llvmpipe) {
        *why = "not chosen";
        return nullptr;
      }
      device = make_gles_device(gles_device_kind::llvmpipe, target_width, target_height, why);
      break;
    case gpu_attempt::software: {
      if (!any && choice_ != gpu_choice::software) {
        *why = "not chosen";
        return nullptr;
      }
      auto soft = std::make_unique<SoftwareGpuDevice>(target_width, target_height, software_shader_level_);
      last_software_ = soft.get();
      device = std::move(soft);
      break;
    }
  }
  if (device) ++devices_made_;
  return device;
}

std::vector<std::string> StandardGpuSystem::adapter_lines() {
  std::vector<std::string> out;
  int hardware = 0;
  for (const gles_adapter& a : list_gles_adapters()) {
    const bool is_hardware = a.drm && !a.software;
    out.push_back(is_hardware ? "[" + std::to_string(hardware++) + "] OpenGL ES " + a.name
                              : "[-] OpenGL ES " + a.name + (a.software ? " (llvmpipe)" : ""));
  }
  out.push_back("[-] own rasteriser");
  return out;
}
