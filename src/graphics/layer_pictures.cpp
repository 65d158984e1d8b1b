#include "graphics/layer_pictures.h"

#include <cstdlib>
#include <cstring>

#include "graphics/layer_changes.h"
#include "graphics/compositor.h"

uint8_t* alloc_cg_pixels(uint8_t* old_block, int64_t width, int64_t height, const std::string& name) {
  return alloc_picture_block(old_block, width, height, name);
}

void commit_cg_buffer(cg_record* record, picture_buffer& fresh, object_node* node) {
  if (!record || !fresh.pixels) return;
  if (node) mark_layer_dirty(node);  // the old area
  std::free(record->pixel_block);
  record->pixel_block = record->pixels = fresh.pixels;
  record->width = record->loaded_width = fresh.width;
  record->height = record->loaded_height = fresh.height;
  fresh.pixels = nullptr;
  fresh = picture_buffer{};
  release_effect_buffer(record);
  note_layer_pixels_changed(record);
  if (node) mark_layer_dirty(node);  // the new area
}

cg_record* create_blank_cg(std::string_view resolved_path, int64_t width, int64_t height, int group,
                           int64_t priority) {
  object_node* root = object_trees[tree_layers].root;
  if (!root) return nullptr;
  // The picture first: a refused size or a failed allocation changes nothing.
  // A zero width or height makes a pure container: no pixels at all.
  if (refuse_blank_picture_size(width, height)) return nullptr;
  const bool container = width == 0 || height == 0;
  picture_buffer fresh;
  if (!container) {
    if (alloc_picture_buffer(fresh, width, height, std::string()) != 0) return nullptr;
    std::memset(fresh.pixels, 0, static_cast<size_t>(width) * 4 * static_cast<size_t>(height));
  }

  object_node* node = find_object_by_path(root, resolved_path, group ? find_group : find_leaf);
  if (!node) {
    node = create_object_by_path(root, resolved_path, group, static_cast<uint32_t>(static_cast<uint64_t>(priority)),
                                 static_cast<int32_t>(static_cast<uint64_t>(priority) >> 32));
    if (!node) {
      free_picture_buffer(fresh);
      return nullptr;
    }
  }
  cg_record* record = layer_record(node);
  if (!record) record = attach_new_cg_record(node);
  if (!record) {
    free_picture_buffer(fresh);
    return nullptr;
  }
  if (container) {
    record->width = record->loaded_width = static_cast<int32_t>(width);
    record->height = record->loaded_height = static_cast<int32_t>(height);
  } else {
    commit_cg_buffer(record, fresh);
  }
  record->redraw_flags[0] = record->redraw_flags[1] = 1;
  record->dirty_rect = empty_layer_rect;
  record->dirty_count = 0;
  record->dirty_flag = 0;
  layer_rect whole = layer_rect_at(0, 0, record->width, record->height);
  union_dirty_rect(whole, record, 0);
  update_layer_screen_rects(node);
  return record;
}

int make_dot_cg(cg_record* record) {
  if (!record) return -1;
  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, 1, 1, std::string()) != 0) return -1;
  std::memset(fresh.pixels, 0, 4);
  normalise_transparent_pixels(fresh);
  commit_cg_buffer(record, fresh);
  record->alpha_in_use = 0;
  return 0;
}

layer_picture_hook_table layer_picture_hooks;

int load_cg_or_blank(cg_record* record, const std::string& name) {
  if (name.empty()) return make_dot_cg(record);
  return layer_picture_hooks.load_cg_file ? layer_picture_hooks.load_cg_file(record, name) : -1;
}

void normalise_transparent_pixels(cg_record* record) {
  if (!record || !record->pixels || record->width <= 0 || record->height <= 0) return;
  normalise_transparent_pixels(record->pixels,
                               static_cast<uint64_t>(record->width) * static_cast<uint64_t>(record->height));
  note_layer_pixels_changed(record);
}
