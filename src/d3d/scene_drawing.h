// The GPU scene: the main window's layer tree drawn by the GPU device and read
// back into the scene layer, device rebuilds after a resize, and the switch to
// CPU drawing for good when a rebuild fails.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/object_tree.h"

struct gpu_scene_record {
  // The layer that receives the drawn scene (the layer command's parameter
  // 26). Checked against the live layer tree before use, never dereferenced
  // once its node is gone.
  object_node* scene_layer = nullptr;
  std::atomic<uint8_t> redraw_request{0};
  // Set once the engine gave up GPU drawing for the rest of the run.
  uint8_t switched_to_cpu = 0;
};
extern gpu_scene_record gpu_scene;

// Draws the scene when there is a scene layer; always 0.
int render_frame_gpu();
// 0 = the device was rebuilt and every texture uploaded again; -1 = the
// engine now draws on the CPU.
int reset_device();
// Turns GPU drawing off for the rest of the run: layers that lived in
// textures are drawn by the CPU compositor again and the scene layer is
// hidden.
void switch_to_cpu_drawing();

// Copies the target's top-left w x h pixels into `destination` (w*4 bytes a
// row) and applies the screen monochrome strength and colour tone. 0, or -1
// with the destination untouched when there is no device, the size does not
// fit the target or the copy fails.
int read_back_buffer_with_tone(uint8_t* destination, int width, int height, int monochrome, uint32_t tone);
// The screen colour tone on BGRA pixels: per channel with tone byte t,
// v += ((255 - v) * max(t - 128, 0)) >> 7 - (v * max(128 - t, 0)) >> 7.
void apply_screen_tone(uint8_t* bgra, size_t pixel_count, uint32_t tone);

// Back to the state before start-up: no device, no scene layer, the
// once-per-run reports due again (a new engine in the same process).
void reset_gpu_drawing();

// Fills the compositor, layer-command and layer-record hooks with the GPU
// drawing's services (idempotent).
void install_gpu_drawing_hooks();
