#include "image/cg_picture.h"

#include "core/frame_state.h"
#include "image/decode_kcg.h"
#include "image/picture_loader.h"
#include "resources/resource_locator.h"

int load_cg_file(cg_record* record, const std::string& name) {
  if (!record) return -1;
  resource_locator locator;
  std::string resolved;
  std::string in_name = name;
  const int found = resolve_resource_name(locator, resolved, in_name, resource_kind_image);
  if (found < 0) return -1;
  if (found > 0) return make_dot_cg(record);  // a missing picture is no error
  if (read_located_resource(locator, resolved) < 0) return -1;
  record->alpha_in_use = 0;
  picture_buffer fresh;
  // A GIF keeps all its frames with the record; the table is made on the
  // record's first GIF and kept.
  gif_frame_table* frames = locator.type == picture_type_gif ? record_gif_frames(record) : nullptr;
  if (decode_picture_bytes(locator.type, locator.data.data(), locator.data.size(), resolved, fresh, frames) != 0)
    return -1;
  const uint8_t alpha_in_use = fresh.alpha_in_use;
  commit_cg_buffer(record, fresh);
  record->alpha_in_use = alpha_in_use;
  stamp_load_time();
  return 0;
}

void install_picture_loading() {
  layer_picture_hooks.load_cg_file = load_cg_file;
  install_kcg_workers();
}
