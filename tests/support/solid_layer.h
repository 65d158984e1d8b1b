// A layer filled with one colour, made directly in the layer tree the way a
// script's picture command would leave it.
#pragma once
#include <cstdint>
#include <cstring>

#include "core/object_tree.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"

// `path` under the layer root ("W0/name"), w x h pixels of `colour`
// (0xAARRGGBB) at x, y; marked dirty for the next composite.
inline object_node* make_solid_layer(const char* path, int w, int h, int64_t x, int64_t y, uint32_t colour) {
  object_node* node = create_object_by_path(object_trees[tree_layers].root, path, 0, 1, 0);
  cg_record* r = attach_new_cg_record(node);
  alloc_layer_picture(r, w, h);
  r->x = x;
  r->y = y;
  for (int i = 0; i < w * h; ++i) std::memcpy(r->pixels + size_t(i) * 4, &colour, 4);
  mark_layer_dirty(node);
  return node;
}
