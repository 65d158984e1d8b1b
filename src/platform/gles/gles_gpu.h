// The GpuDevice over OpenGL ES 3 through EGL, drawing into an offscreen
// framebuffer. Without a display it uses EGL's device platform (or Mesa's
// surfaceless one), so it runs headless and in CI.
#pragma once
#include <memory>
#include <string>

#include "platform/gpu_device.h"

enum class gles_device_kind { hardware, llvmpipe };

// A device on a hardware GPU (a software renderer is refused) or on Mesa's
// llvmpipe; null with the reason in `why` when none can be made.
std::unique_ptr<GpuDevice> make_gles_device(gles_device_kind kind, int target_width, int target_height,
                                            std::string* why);
