// The operations of the picture command that are not filters: resizing,
// rotation and the layer pixel operations. The command fills one
// `cg_operation_call` per call and hands it to run_cg_operation, the one place
// that knows which function serves which operation.
#pragma once
#include <cstdint>

#include "core/object_tree.h"

enum class cg_operation : int {
  resize,            // rect and target size in hundredths, method 10..59
  rotate,            // mode 10 + value of the selector
  rotate_bilinear,
  alpha_copy,        // blit at (x, y) = (x1, y1)
  faded_alpha_copy,
  mix,               // first and second into third at (x1, y1), weight from value
  difference_copy,
  common_copy,
  trim,              // side flags = value
  canvas,            // margins left x1, top y1, right x2, bottom y2
  refresh_textures,
  capture_screen,
};

struct cg_operation_call {
  cg_operation kind = cg_operation::resize;
  object_node* first = nullptr;
  object_node* second = nullptr;  // the second layer when n >= 1
  object_node* third = nullptr;   // the third layer when n >= 2
  int n = 0;                      // further layers of the command (0..3)
  // Rectangle, position or margins as the operation takes them (resizing:
  // hundredths of a pixel).
  int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  int64_t target_width = 0, target_height = 0;  // resizing, hundredths
  int64_t value = 0, value2 = 0;
  int method = 0;  // resize method or rotation mode
};

// Runs the operation; 0 on success, -1 on failure (reported by the
// operation).
int run_cg_operation(const cg_operation_call& call);
