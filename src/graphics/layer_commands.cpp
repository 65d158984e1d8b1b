#include "graphics/layer_commands.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "graphics/layer_changes.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/layer_pictures.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script/system_values.h"
#include "script/variable_store.h"

layer_command_hook_table layer_command_hooks;

object_node* find_named_layer(const std::string& path, std::string& resolved, int command_number) {
  object_node* node = nullptr;
  const int form = resolve_object_path(resolved, path, object_current_path(tree_layers), 0);
  if (form >= 0 && object_trees[tree_layers].root && !resolved.empty())
    node = find_object_by_path(object_trees[tree_layers].root, resolved, form == 1 ? find_group : find_leaf);
  if (!node) report_error_at_line_fmt(101250, 1, command_name(static_cast<unsigned>(command_number)), path);
  return node;
}

namespace {

constexpr int layer_command_number = 1;
constexpr int delete_layer_command_number = 3;
constexpr int layer_info_command_number = 4;

// Parameter n of a command is parameter_id n - 1.
constexpr uint32_t param(int n) { return static_cast<uint32_t>(n - 1); }

bool given(int n) { return parameter_given(param(n)); }
int64_t value(int n) { return parameter_int(param(n)); }
uint32_t op(int n) { return argument_slots.assignment_operator[argument_position(param(n))]; }

int64_t combined(int n, int64_t current) { return apply_assign_mode(op(n), current, value(n)); }
int64_t combined_clamped(int n, int64_t current, int64_t lo, int64_t hi) {
  return apply_assign_mode_clamped(op(n), current, value(n), lo, hi);
}

// Texts of any length up to the argument slot's; never into a fixed buffer.
std::string text(int n) {
  const uint32_t pos = argument_position(param(n));
  if (!pos || !argument_slots.string_value[pos]) return std::string();
  return std::string(argument_slots.string_value[pos], argument_slots.string_length[pos]);
}

int64_t node_priority(const object_node* node) {
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(node->key2)) << 32) | node->key1);
}
uint32_t priority_key1(int64_t p) { return static_cast<uint32_t>(static_cast<uint64_t>(p)); }
int32_t priority_key2(int64_t p) { return static_cast<int32_t>(static_cast<uint64_t>(p) >> 32); }

// A layer path's change goes to the compositor; a group's to its gathered
// screen rectangles.
void mark_changed(object_node* node, bool group) {
  if (group) {
    update_layer_screen_rects(node);
  } else {
    mark_layer_dirty(node);
  }
}

struct resolved_layer {
  std::string path;
  bool group = false;
  object_node* node = nullptr;
};

// -1 after the resolver's report.
int resolve_layer(const std::string& name, resolved_layer& out) {
  const int kind = resolve_object_path(out.path, name, object_current_path(tree_layers), 0);
  if (kind < 0) return -1;
  out.group = kind == 1;
  object_node* root = object_trees[tree_layers].root;
  out.node = root ? find_object_by_path(root, out.path, out.group ? find_group : find_leaf) : nullptr;
  return 0;
}

const std::string& mask_size_text() {
  static const std::string t = utf8_to_sjis("レイヤ画像とマスクレイヤ画像のサイズが異なります。");
  return t;
}

// A zero-filled picture of the record's group size; the record keeps its old
// picture and size when the size is refused or memory runs out.
int reallocate_group_picture(object_node* node, cg_record* r, int64_t width, int64_t height) {
  if (refuse_blank_picture_size(width, height)) return -1;
  update_layer_screen_rects(node);
  if (width == 0 || height == 0) {
    // A pure container: the size is stored, nothing is reallocated, and the
    // children now show unclipped by it.
    r->width = r->loaded_width = static_cast<int32_t>(width);
    r->height = r->loaded_height = static_cast<int32_t>(height);
    update_layer_screen_rects(node);
    return 0;
  }
  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, width, height, std::string()) != 0) return -1;
  std::memset(fresh.pixels, 0, static_cast<size_t>(width) * 4 * static_cast<size_t>(height));
  commit_cg_buffer(r, fresh);
  r->redraw_flags[0] = r->redraw_flags[1] = 1;
  r->dirty_rect = empty_layer_rect;
  r->dirty_count = 0;
  r->dirty_flag = 0;
  layer_rect whole = layer_rect_at(0, 0, r->width, r->height);
  union_dirty_rect(whole, r, 0);
  update_layer_screen_rects(node);
  redraw_whole_cg(node);
  return 0;
}

// The loaded picture's top-left part on an opaque black canvas of w x h.
int apply_canvas(object_node* node, cg_record* r, int64_t width, int64_t height) {
  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, width, height, std::string()) != 0) return -1;
  const uint32_t black = 0xFF000000u;
  const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  for (uint64_t i = 0; i < count; ++i) std::memcpy(fresh.pixels + i * 4, &black, 4);
  if (r->pixels && r->width > 0 && r->height > 0) {
    const int64_t w = std::min<int64_t>(width, r->width);
    const int64_t h = std::min<int64_t>(height, r->height);
    for (int64_t y = 0; y < h; ++y)
      std::memcpy(fresh.pixels + y * width * 4, r->pixels + y * int64_t(r->width) * 4, static_cast<size_t>(w) * 4);
  }
  commit_cg_buffer(r, fresh, node);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- command 1

int cmd_layer() {
  if (bind_command_arguments(layer_command_number) != 0) return -1;
  const std::string& name = command_name(layer_command_number);
  object_node* root = object_trees[tree_layers].root;
  if (!root) return -1;

  resolved_layer target;
  if (resolve_layer(text(1), target) != 0) return -1;
  object_node* node = target.node;
  const bool group = target.group;
  bool changed = false;

  // Priority: an existing node moves at once; a new one starts from 1.
  const bool has_priority = given(6);
  int64_t priority = 0;
  if (has_priority) {
    priority = apply_assign_mode_min(op(6), node ? node_priority(node) : 1, value(6), 1);
    if (node) {
      reorder_node(node, priority_key1(priority), priority_key2(priority));
      changed = true;
    }
  }

  bool created = false;
  if (!node) {
    if (!group) {
      if (!given(43) && !given(44)) {
        if (engine_options[1]) {
          report_error_at_line_fmt(101230, 1, name, target.path);
          return -1;
        }
        return 0;
      }
      if (!has_priority) {
        report_error_at_line_fmt(100240, 1, name);
        return -1;
      }
      cg_record* shared = nullptr;
      if (!given(43)) {
        resolved_layer source;
        if (resolve_layer(text(44), source) != 0) return -1;
        shared = layer_record(source.node);
        if (!shared) {
          report_error_at_line_fmt(101250, 1, name, source.path);
          return -1;
        }
      }
      node = create_object_by_path(root, target.path, 0, priority_key1(priority), priority_key2(priority));
      if (!node) return -1;
      if (shared) {
        share_cg_record(node, shared);
      } else if (!attach_new_cg_record(node)) {
        free_layer_node(node);
        return -1;
      }
    } else {
      if (given(43) || given(44)) {
        report_error_at_line_fmt(101280, 1, name);
        return -1;
      }
      if (!(given(9) && given(10) && has_priority)) return 0;
      if (!create_blank_cg(target.path, value(9), value(10), 1, priority)) return -1;
      node = find_object_by_path(root, target.path, find_group);
      if (!node) return -1;
    }
    created = true;
    changed = true;
  }
  cg_record* r = layer_record(node);
  if (!r) return 0;

  // Picture file.
  if (given(43)) {
    if (group) {
      report_error_at_line_fmt(101280, 1, name);
      return -1;
    }
    mark_layer_dirty(node);
    if (load_cg_or_blank(r, text(43)) != 0) {
      quit_flag = 1;
      return -1;
    }
    changed = true;
  }

  // Mask layer: its blue channel becomes this layer's alpha.
  if (given(45)) {
    resolved_layer mask;
    if (resolve_layer(text(45), mask) != 0) return -1;
    const cg_record* m = layer_record(mask.node);
    if (m && m != r) {
      if (m->width != r->width || m->height != r->height) {
        show_message_box("", mask_size_text());
        quit_flag = 1;
        return -1;
      }
      if (m->pixels && r->pixels) {
        const uint64_t count = static_cast<uint64_t>(r->width) * static_cast<uint64_t>(r->height);
        for (uint64_t i = 0; i < count; ++i) r->pixels[i * 4 + 3] = m->pixels[i * 4];
      }
      r->alpha_in_use = 1;
      note_layer_pixels_changed(r);
      changed = true;
    } else if (m == r) {
      // Its own blue channel.
      const uint64_t count = static_cast<uint64_t>(r->width) * static_cast<uint64_t>(r->height);
      if (r->pixels)
        for (uint64_t i = 0; i < count; ++i) r->pixels[i * 4 + 3] = r->pixels[i * 4];
      r->alpha_in_use = 1;
      note_layer_pixels_changed(r);
      changed = true;
    }
  }

  if (given(48)) {
    set_cg_path(r->mask_path, text(48));
    changed = true;
  }
  // Visibility and alpha take effect after the tick's script passes.
  if (given(2)) {
    set_pending_visible(r, value(2) != 0);
    changed = true;
  }
  if (given(3)) {
    const int64_t current = r->pending_alpha_set ? r->pending_alpha : r->alpha;
    set_pending_alpha(r, static_cast<int>(combined_clamped(3, current, 0, 256)));
    changed = true;
  }
  if (given(4)) {
    const int64_t x = combined(4, r->x);
    if (x != r->x) {
      mark_changed(node, group);
      r->x = x;
    }
    changed = true;
  }
  if (given(5)) {
    const int64_t y = combined(5, r->y);
    if (y != r->y) {
      mark_changed(node, group);
      r->y = y;
    }
    changed = true;
  }
  if (given(8)) {
    r->colour_tone = static_cast<int32_t>(combined_clamped(8, r->colour_tone, 0, 0x1000000));
    changed = true;
  }
  if (given(7)) {
    r->monochrome = static_cast<int32_t>(combined_clamped(7, r->monochrome, 0, 256));
    changed = true;
  }

  // Blank size of a group (a new group already has its picture).
  if (group && !created && (given(9) || given(10))) {
    const int64_t w = given(9) ? value(9) : r->width;
    const int64_t h = given(10) ? value(10) : r->height;
    if (reallocate_group_picture(node, r, w, h) != 0) return -1;
    changed = true;
  }
  // Canvas around a loaded picture.
  if (!group && (given(9) || given(10))) {
    if (given(43)) {
      if (!given(9) || !given(10)) {
        report_error_at_line_fmt(100243, 1, name);
        return -1;
      }
      if (apply_canvas(node, r, value(9), value(10)) != 0) return -1;
    }
    changed = true;
  }

  if (given(47)) {
    r->rule_progress = static_cast<int16_t>(combined_clamped(47, r->rule_progress, 0, 256));
    changed = true;
  }
  if (given(49)) {
    r->vagueness = static_cast<int16_t>(static_cast<uint16_t>(value(49)));
    changed = true;
  }
  if (given(50)) {
    r->blend_mode = static_cast<uint8_t>(value(50));
    changed = true;
  }
  const bool gpu = layer_command_hooks.gpu_drawing && layer_command_hooks.gpu_drawing();
  if (given(25) && value(25) == 1 && gpu) {
    r->texture_requested = 1;
    if (layer_command_hooks.make_texture &&
        layer_command_hooks.make_texture(node, given(24) ? value(24) - 1 : 0) != 0)
      return -1;
    changed = true;
  }
  if (given(26)) {
    if (layer_command_hooks.set_scene_layer) layer_command_hooks.set_scene_layer(node, value(26) == 1);
    changed = true;
  }
  auto store64 = [&](int n, int64_t& field) {
    if (!given(n)) return;
    field = combined(n, field);
    changed = true;
  };
  store64(28, r->gpu_value1);
  store64(29, r->gpu_value2);
  store64(30, r->scale_x);
  store64(31, r->scale_y);
  for (int i = 0; i < 3; ++i) {
    if (!given(32 + i)) continue;
    r->angle[i] = static_cast<float>(combined(32 + i, static_cast<int64_t>(r->angle[i])));
    changed = true;
  }
  store64(35, r->gpu_value3);
  store64(36, r->gpu_value4);
  if (given(37)) {
    r->gpu_monochrome = static_cast<int32_t>(combined_clamped(37, r->gpu_monochrome, 0, 256));
    changed = true;
  }
  if (given(38)) {
    r->gpu_colour_tone = static_cast<int32_t>(combined_clamped(38, r->gpu_colour_tone, 0, 0x1000000));
    changed = true;
  }
  if (given(39)) {
    r->gpu_byte = static_cast<uint8_t>(value(39));
    changed = true;
  }
  if (given(40)) {
    set_cg_path(r->second_source_path, text(40));
    changed = true;
  }
  if (given(41)) {
    r->gpu_level = static_cast<int16_t>(combined_clamped(41, r->gpu_level, 0, 256));
    changed = true;
  }
  if (given(42)) {
    r->gpu_flag = static_cast<uint8_t>(combined_clamped(42, r->gpu_flag, 0, 1));
    changed = true;
  }
  if (given(27) && gpu && layer_command_hooks.draw_now) layer_command_hooks.draw_now();
  // Tags are for scripts only: no redraw.
  if (given(52)) r->tag1 = combined(52, r->tag1);
  if (given(53)) r->tag2 = combined(53, r->tag2);

  if (changed) {
    if (layer_command_hooks.mark_scene_dirty) layer_command_hooks.mark_scene_dirty();
    mark_changed(node, group);
  }
  return 0;
}

// ---------------------------------------------------------------- command 3

int cmd_delete_layer() {
  if (bind_command_arguments(delete_layer_command_number) != 0) return -1;
  resolved_layer target;
  if (resolve_layer(text(1), target) != 0) return -1;
  object_node* node = target.node;
  if (!node || !layer_record(node)) return 0;
  if (target.group) update_layer_screen_rects(node);
  mark_layer_dirty(node);
  // free_layer_node also frees the children of a node that is not a group, so
  // none is left pointing at a freed parent.
  if (target.group) {
    delete_layer_subtree(node);
  } else {
    free_layer_node(node);
  }
  return 0;
}

// ---------------------------------------------------------------- command 4

namespace {

constexpr int info_output = 27;

void store_int(int64_t v) {
  const uint32_t pos = argument_position(param(info_output));
  if (!pos || !argument_slots.variable_id[pos]) return;
  set_numeric_element(argument_slots.variable_id[pos], argument_slots.element_index[pos], v);
}

void store_text(const std::string& t) {
  const uint32_t pos = argument_position(param(info_output));
  if (!pos || !argument_slots.variable_id[pos]) return;
  set_string_element_n(argument_slots.variable_id[pos], argument_slots.element_index[pos], t.data(), t.size());
}

// 0 or the empty text, by the output variable's own type.
void store_nothing() {
  const uint32_t pos = argument_position(param(info_output));
  if (!pos || !argument_slots.variable_id[pos]) return;
  const variable_record* v = find_variable(argument_slots.variable_id[pos]);
  if (v && v->type == variable_type_text) {
    store_text(std::string());
  } else {
    store_int(0);
  }
}

// Children counted from the last one (1 = last); null out of range.
object_node* child_from_last(object_node* group, int64_t position) {
  if (position < 1) return nullptr;
  object_node* c = group->last_child;
  for (int64_t i = 1; c && i < position; ++i) c = c->prev_sibling;
  return c;
}

uint32_t pixel_at(const cg_record* r, int64_t x, int64_t y) {
  uint32_t v;
  std::memcpy(&v, r->pixels + (y * int64_t(r->width) + x) * 4, 4);
  return v;
}

// The layer's pixel under a point of a window, or false.
bool pixel_under_window_point(object_node* node, const cg_record* r, uint32_t& pixel) {
  const int window = static_cast<int>(std::clamp<int64_t>(value(15), 0, 3));
  int64_t px = engine_facts.mouse_position ? engine_facts.mouse_position(window, 0) : 0;
  int64_t py = engine_facts.mouse_position ? engine_facts.mouse_position(window, 1) : 0;
  if (given(28)) px = value(28);
  if (given(29)) py = value(29);
  int64_t ww = 0, wh = 0;
  if (layer_command_hooks.window_logical_size) {
    layer_command_hooks.window_logical_size(window, ww, wh);
  } else {
    ww = engine_facts.main_logical_width ? engine_facts.main_logical_width() : 0;
    wh = engine_facts.main_logical_height ? engine_facts.main_logical_height() : 0;
    if (ww <= 0 || wh <= 0) {
      const cg_record* main = layer_record(layer_links.windows[0].attached_layer);
      ww = main ? main->width : 0;
      wh = main ? main->height : 0;
    }
  }
  if (px < 0 || py < 0 || px >= ww || py >= wh) return false;
  // Screen place: the low 32 bits of x and y summed over the named chain.
  int64_t sx = 0, sy = 0;
  for (const object_node* n = node; n && !n->name.empty(); n = n->parent) {
    const cg_record* c = layer_record(n);
    if (!c) continue;
    sx += static_cast<int32_t>(static_cast<uint64_t>(c->x));
    sy += static_cast<int32_t>(static_cast<uint64_t>(c->y));
  }
  const int64_t lx = px - sx, ly = py - sy;
  if (!r->pixels || lx < 0 || ly < 0 || lx >= r->width || ly >= r->height) return false;
  pixel = pixel_at(r, lx, ly);
  return true;
}

int64_t opaque_bounds(const cg_record* r, int64_t which) {
  if (which < 1 || which > 4) return 0;
  if (!r->pixels) return -1;
  int64_t top = -1, bottom = -1, left = -1, right = -1;
  for (int64_t y = 0; y < r->height; ++y) {
    for (int64_t x = 0; x < r->width; ++x) {
      if (r->pixels[(y * int64_t(r->width) + x) * 4 + 3] == 0) continue;
      if (top < 0) top = y;
      bottom = y;
      if (left < 0 || x < left) left = x;
      if (x > right) right = x;
    }
  }
  if (top < 0) return -1;
  switch (which) {
    case 1: return top;
    case 2: return bottom;
    case 3: return left;
    default: return right;
  }
}

}  // namespace

int cmd_get_layer_info() {
  if (bind_command_arguments(layer_info_command_number) != 0) return -1;
  resolved_layer target;
  if (resolve_layer(text(1), target) != 0) return -1;
  object_node* node = target.node;
  const cg_record* r = layer_record(node);
  if (!r) {
    store_nothing();
    return 0;
  }
  if (given(2)) return store_int(1), 0;
  if (given(3)) return store_int(r->visible), 0;
  if (given(4)) return store_int(r->alpha), 0;
  if (given(9)) return store_int(r->rule_progress), 0;
  if (given(10)) return store_text(r->mask_path), 0;
  if (given(11)) return store_int(r->vagueness), 0;
  if (given(5)) return store_int(r->x), 0;
  if (given(6)) return store_int(r->y), 0;
  if (given(7)) return store_int(node_priority(node)), 0;
  if (given(12)) return store_int(r->blend_mode), 0;
  if (given(13)) return store_int(r->width), 0;
  if (given(14)) return store_int(r->height), 0;
  const bool group = target.group;
  const int64_t position = given(26) ? std::max<int64_t>(value(26), 1) : 1;
  if (group && given(22)) {
    if (!given(20)) return store_int(0), 0;
    int64_t found = -1;
    int64_t pos = position;
    for (object_node* c = child_from_last(node, pos); c; c = c->prev_sibling, ++pos) {
      const cg_record* cr = layer_record(c);
      if (cr && cr->tag1 == value(20) && (!given(21) || cr->tag2 == value(21))) {
        found = pos;
        break;
      }
    }
    return store_int(found), 0;
  }
  if (given(20)) return store_int(r->tag1), 0;
  if (given(21)) return store_int(r->tag2), 0;
  if (group && given(23)) return store_int(node->child_count), 0;
  if (group && given(24)) {
    if (object_node* c = child_from_last(node, position)) return store_text(c->name), 0;
  }
  if (group && given(25)) {
    if (object_node* c = child_from_last(node, position)) return store_int(c->is_group), 0;
  }
  if (given(15) || given(16) || given(17)) {
    uint32_t pixel = 0;
    if (!pixel_under_window_point(node, r, pixel)) return store_int(-1), 0;
    if (given(15)) return store_int(pixel & 0xFFFFFFu), 0;
    if (given(16)) return store_int(pixel >> 24), 0;
    return store_int(pixel), 0;
  }
  if (given(18)) {
    if (!given(28) || !given(29)) {
      report_error_at_line_fmt(101295, 1, command_name(layer_info_command_number));
      return -1;
    }
    const int64_t x = value(28), y = value(29);
    if (!r->pixels || x < 0 || y < 0 || x >= r->width || y >= r->height) return store_int(-1), 0;
    return store_int(pixel_at(r, x, y) & 0xFFFFFFu), 0;
  }
  if (given(19)) return store_int(opaque_bounds(r, value(28))), 0;
  store_int(0);
  return 0;
}
