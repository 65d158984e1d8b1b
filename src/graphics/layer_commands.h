// Script commands 1 (layer: create or change a layer), 3 (delete a layer or
// a group) and 4 (read one property of a layer into a variable).
#pragma once
#include <cstdint>
#include <string>

#include "core/object_tree.h"

int cmd_layer();
int cmd_delete_layer();
int cmd_get_layer_info();

// The layer a script path names, resolved against the layer tree's current
// path into `resolved`; null after reporting 101250, which names the command
// (by default the layer command) and the path.
object_node* find_named_layer(const std::string& path, std::string& resolved, int command_number = 1);

// Services of the GPU drawing and the windows the layer commands reach. Null:
// the CPU drawing mode (no textures, no scene layer) and, for the window size,
// the main window's logical size for every window.
struct layer_command_hook_table {
  bool (*gpu_drawing)() = nullptr;
  // Builds the layer's texture tiles (texture number, size 512, level 256); 0 or nonzero.
  int (*make_texture)(object_node* node, int64_t texture_number) = nullptr;
  void (*set_scene_layer)(object_node* node, int on) = nullptr;
  void (*draw_now)() = nullptr;
  void (*mark_scene_dirty)() = nullptr;
  // Logical size of window 0..3.
  void (*window_logical_size)(int window, int64_t& width, int64_t& height) = nullptr;
};
extern layer_command_hook_table layer_command_hooks;
