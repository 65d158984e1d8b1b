#include "layer_scene.h"

#include <algorithm>
#include <cstring>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "graphics/layer_changes.h"
#include "graphics/blend_modes.h"
#include "graphics/colour_tone.h"
#include "graphics/compositor.h"
#include "graphics/pixel_kernels.h"
#include "support/object_tree_reset.h"

std::vector<int> layer_scene::errors;

void layer_scene::SetUp() {
  init_pixel_kernels(true, true);
  init_blend_tables();
  init_blend_dispatch_tables();
  errors.clear();
  error_report_listener = [](int code, const std::string&) { errors.push_back(code); };
  layer_tree_main_size = {root_width, root_height};
  install_layer_tree_hooks();
  ASSERT_EQ(create_tree_roots(), 0);
  w0 = object_trees[tree_layers].root->first_child;
  ASSERT_NE(w0, nullptr);
  ASSERT_EQ(layer_links.windows[0].attached_layer, w0);
  layer_links.windows[0].kind = 1;
}

void layer_scene::TearDown() {
  error_report_listener = nullptr;
  delete_layer_subtree(w0);
  EXPECT_EQ(layer_links.windows[0].attached_layer, nullptr);
  // Every tree with its payloads (an earlier game in the process may have
  // left the task, sound and menu hooks in place), so the next test (in this
  // process or not) builds them again.
  free_engine_trees();
  quit_flag = 0;
}

object_node* layer_scene::add_layer(object_node* parent, const std::string& name, int64_t priority, int w, int h,
                                    int64_t x, int64_t y, bool group) {
  std::string path;
  for (object_node* n = parent; n && n->parent; n = n->parent) path = n->name + "/" + path;
  path += name;
  object_node* node = create_object_by_path(object_trees[tree_layers].root, path, group ? 1 : 0,
                                            uint32_t(uint64_t(priority)), int32_t(priority >> 32));
  EXPECT_NE(node, nullptr) << path;
  cg_record* r = attach_new_cg_record(node);
  EXPECT_EQ(alloc_layer_picture(r, w, h), 0);
  r->x = x;
  r->y = y;
  mark_layer_dirty(node);
  return node;
}

void layer_scene::paint(object_node* node, const std::function<uint32_t(int, int)>& f) {
  cg_record* r = layer_record(node);
  for (int y = 0; y < r->height; ++y)
    for (int x = 0; x < r->width; ++x) {
      uint32_t v = f(x, y);
      uint8_t* p = r->pixels + (size_t(y) * r->width + x) * 4;
      p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16), p[3] = uint8_t(v >> 24);
    }
  mark_layer_dirty(node);
}

int layer_scene::frame() {
  propagate_layer_changes();
  return render_window(0);
}

void layer_scene::end_frame() { reset_dirty_rects(); }

std::vector<uint8_t> layer_scene::root_pixels() const {
  const cg_record* r = root();
  return std::vector<uint8_t>(r->pixels, r->pixels + size_t(r->width) * r->height * 4);
}

uint32_t pixel_at(const cg_record* r, int x, int y) {
  const uint8_t* p = r->pixels + (size_t(y) * r->width + x) * 4;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

namespace {

struct reference_target {
  uint8_t* pixels;
  int width, height;
};

void reference_children(const reference_target& t, const object_node* node, int64_t ox, int64_t oy,
                        layer_rect clip) {
  for (const object_node* c = node->first_child; c; c = c->next_sibling) {
    const cg_record* r = layer_record(c);
    if (!r) continue;
    layer_rect abs{ox + r->x, oy + r->y, ox + r->x + r->width - 1, oy + r->y + r->height - 1};
    if (c->is_group) {
      if (!r->visible || r->alpha <= 0) continue;
      reference_children(t, c, ox + r->x, oy + r->y, layer_rect_intersect(clip, abs));
      continue;
    }
    if (!r->visible || r->alpha <= 0 || r->texture_requested || !r->pixels) continue;
    if (!r->mask_path.empty() && r->rule_progress <= 0) continue;
    layer_rect draw = layer_rect_intersect(clip, abs);
    if (layer_rect_empty(draw)) continue;
    // Effects from the base pixels.
    std::vector<uint8_t> toned(r->pixels, r->pixels + size_t(r->width) * r->height * 4);
    if (r->colour_tone != 0x808080)
      apply_colour_tone(toned.data(), r->pixels, 0, 0, r->width - 1, r->height - 1, r->width, r->width,
                        uint32_t(r->colour_tone));
    if (r->monochrome != 128)
      apply_monochrome(toned.data(), toned.data(), 0, 0, r->width - 1, r->height - 1, r->width, r->width,
                       r->monochrome);
    const cg_record* mask = nullptr;
    if (!r->mask_path.empty() && r->rule_progress < 256) {
      std::string path;
      int kind = resolve_object_path(path, r->mask_path, object_current_path(tree_layers), 1);
      const object_node* m = find_object_by_path(object_trees[tree_layers].root, path,
                                                 kind == 1 ? find_group : find_leaf);
      mask = layer_record(m);
      if (mask && !mask->pixels) mask = nullptr;
    }
    int o = r->alpha;
    for (int64_t y = draw.y0; y <= draw.y1; ++y) {
      uint8_t* d = t.pixels + (size_t(y) * t.width + size_t(draw.x0)) * 4;
      size_t so = (size_t(y - abs.y0) * r->width + size_t(draw.x0 - abs.x0)) * 4;
      const uint8_t* s = toned.data() + so;
      size_t n = size_t(draw.x1 - draw.x0 + 1) * 4;
      if (mask) {
        build_rule_table(o, r->rule_progress, r->vagueness);
        const uint8_t* m = mask->pixels + so;
        (r->alpha_in_use ? select_span_rule_alpha : select_span_rule)(r->blend_mode, o)(d, s, m, r->rule_progress,
                                                                                      r->vagueness, n);
      } else {
        (r->alpha_in_use ? select_span_alpha : select_span_opacity)(r->blend_mode, o)(d, s, o, n);
      }
    }
  }
}

}  // namespace

std::vector<uint8_t> layer_scene::reference() const {
  const cg_record* r = root();
  std::vector<uint8_t> out(size_t(r->width) * r->height * 4 + 4, 0);
  reference_target t{out.data(), r->width, r->height};
  reference_children(t, w0, 0, 0, {0, 0, r->width - 1, r->height - 1});
  out.resize(size_t(r->width) * r->height * 4);
  return out;
}
