// libFuzzer target: the image-set loader over arbitrary bytes (checks and
// unscrambling), then drawing its pictures into a layer through the kept
// decompressor.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "graphics/layer_record.h"
#include "image/image_sets.h"

namespace {

object_node* fuzz_layer() {
  static object_node* node = [] {
    create_tree_roots();
    install_layer_tree_hooks();
    object_node* n = create_object_by_path(object_trees[tree_layers].root, "W0/fuzz", 0, 1, 0);
    alloc_layer_picture(attach_new_cg_record(n), 1, 1);
    return n;
  }();
  return node;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  object_node* node = fuzz_layer();
  if (install_image_set(std::vector<uint8_t>(data, data + size), "fuzz") == 0) {
    const int64_t count = image_set.layout.count;
    for (int64_t n = -1; n <= count && n < 4; ++n) draw_image_set_entry(node, n);
  }
  free_image_set();
  quit_flag = 0;
  return 0;
}
