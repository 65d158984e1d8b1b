// The GpuDevice over OpenGL ES 3 through EGL, drawing into an offscreen
// framebuffer. Without a display it uses EGL's device platform (or Mesa's
// surfaceless one), so it runs headless and in CI.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu_device.h"

enum class gles_device_kind { hardware, llvmpipe };

// A device on a hardware GPU (a software renderer is refused) or on Mesa's
// llvmpipe; null with the reason in `why` when none can be made. Hardware
// tries the EGL device `preferred_adapter` (an index among the hardware
// adapters of list_gles_adapters) first.
std::unique_ptr<GpuDevice> make_gles_device(gles_device_kind kind, int target_width, int target_height,
                                            std::string* why, int preferred_adapter = 0);

// One EGL device: its DRM device file (or a plain name) and what it is.
struct gles_adapter {
  std::string name;
  bool drm = false, software = false;
};
// The EGL devices, hardware ones first in EGL's order (their index is the
// adapter number), then the others.
std::vector<gles_adapter> list_gles_adapters();

// Test side: where no driver can lose a context on purpose, this stands in
// for the context's reset status (glGetGraphicsResetStatus) of every device;
// a value other than GL_NO_ERROR (0) makes the device lost. Null: the driver's.
extern uint32_t (*gles_reset_status_query)();
