// The layer side of save data over cg_record: the picture a layer saves, and
// installing a loaded picture as a fresh record.
#include <new>

#include "core/error_report.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "save/save_data.h"
#include "core/frame_state.h"

namespace {

int save_picture_of(object_node* node, uint8_t* record_image, int32_t* width, int32_t* height,
                    const uint8_t** pixels) {
  cg_record* record = layer_record(node);
  if (!record || !record->pixels || record->width <= 0 || record->height <= 0) return -1;
  write_cg_record_image(*record, record_image);
  *width = record->width;
  *height = record->height;
  *pixels = record->pixels;
  return 0;
}

int save_install_picture(object_node* node, const std::string& resolved_path, int32_t width, int32_t height,
                         uint8_t* block) {
  (void)resolved_path;  // the node stays alive through the load; no second lookup is needed
  cg_record* old = layer_record(node);
  if (!node || !old) return -1;
  // The new record exists before the old one is let go: a failure changes nothing.
  cg_record* fresh = new (std::nothrow) cg_record();
  // Releasing the old record's last use goes through a stand-in node, the one
  // way the layer code frees a record with its last user.
  object_node* holder = old->use_count > 1 ? nullptr : new (std::nothrow) object_node();
  if (!fresh || (old->use_count <= 1 && !holder)) {
    delete fresh;
    delete holder;
    report_error(100010, 1);
    return -1;
  }
  mark_layer_dirty(node);  // the area the old picture covered
  fresh->pixel_block = fresh->pixels = block;
  fresh->width = fresh->loaded_width = width;
  fresh->height = fresh->loaded_height = height;
  for (const layer_window_link& w : layer_links.windows)
    if (w.attached_layer == node) fresh->shown_in_window = 1;
  if (layer_links.message_layer == node) fresh->is_message_layer = 1;
  node->kind_record = fresh;
  if (holder) {
    holder->kind_record = old;
    free_layer_node(holder);
  } else {
    --old->use_count;
  }
  mark_layer_dirty(node);  // and the new picture
  return 0;
}

}  // namespace

save_layer_hooks_record save_layer_hooks = {save_picture_of, save_install_picture, stamp_load_time};
