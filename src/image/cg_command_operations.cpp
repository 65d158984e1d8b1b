#include "image/cg_command_operations.h"

#include "image/cg_layer_ops.h"
#include "image/cg_resize.h"
#include "image/cg_rotate.h"

int run_cg_operation(const cg_operation_call& c) {
  switch (c.kind) {
    case cg_operation::resize:
      return resize_cg(c.first, c.second, c.x1, c.y1, c.x2, c.y2, c.target_width, c.target_height, c.n, c.method);
    case cg_operation::rotate:
      return rotate_cg(c.first, c.second, c.x1, c.y1, c.x2, c.y2, c.value, c.n, c.method);
    case cg_operation::rotate_bilinear:
      return rotate_cg_bilinear(c.first, c.second, c.x1, c.y1, c.x2, c.y2, c.value, c.n);
    case cg_operation::alpha_copy:
      return blit_cg_rect(c.first, c.second, c.x1, c.y1);
    case cg_operation::faded_alpha_copy:
      return blit_cg_rect_faded(c.first, c.second, c.x1, c.y1);
    case cg_operation::mix:
      return mix_cg_rects(c.first, c.second, c.third, c.x1, c.y1, c.value);
    case cg_operation::difference_copy:
      return diff_cg_rect(c.first, c.second, c.x1, c.y1);
    case cg_operation::common_copy:
      return common_cg_rect(c.first, c.second, c.x1, c.y1);
    case cg_operation::trim:
      return trim_cg_transparent_edges(c.first, c.second, c.n, int(c.value));
    case cg_operation::canvas:
      return resize_cg_canvas(c.first, c.second, c.n, c.x1, c.x2, c.y1, c.y2);
    case cg_operation::refresh_textures:
      return refresh_cg_textures(c.first, c.second);
    case cg_operation::capture_screen:
      return capture_screen_to_cg(c.first, c.second);
  }
  return 0;
}
