// Layer change propagation and the reset of dirty rectangles.
#include "graphics/layer_changes.h"

#include <algorithm>
#include <vector>

#include "graphics/compositor.h"

layer_change_state_record layer_change_state;

void set_pending_visible(cg_record* record, int visible) {
  if (!record) return;
  record->pending_visible = visible ? 1 : 0;
  record->pending_visible_set = 1;
}

void set_pending_alpha(cg_record* record, int alpha) {
  if (!record) return;
  record->pending_alpha = int16_t(std::clamp(alpha, 0, 256));
  record->pending_alpha_set = 1;
}

namespace {

void apply_pending_changes(object_node* first, std::vector<cg_record*>& shared) {
  for (object_node* n = first; n; n = n->next_sibling) {
    cg_record* r = layer_record(n);
    if (r) {
      bool changed = false;
      if (r->pending_visible_set) {
        r->pending_visible_set = 0;
        if (r->pending_visible != r->visible) {
          r->visible = r->pending_visible;
          changed = true;
        }
      }
      if (r->pending_alpha_set) {
        r->pending_alpha_set = 0;
        if (r->pending_alpha != r->alpha) {
          r->alpha = r->pending_alpha;
          changed = true;
        }
      }
      if (changed) {
        layer_change_state.layers_changed = 1;
        if (n->is_group)
          update_layer_screen_rects(n);
        else
          mark_layer_dirty(n);  // marks every node sharing the record too
        if (n->is_group && r->use_count > 1) shared.push_back(r);
      }
    }
    if (n->is_group) apply_pending_changes(n->first_child, shared);
  }
}

void update_sharing_groups(object_node* parent, const std::vector<cg_record*>& shared) {
  for (object_node* c = parent->first_child; c; c = c->next_sibling) {
    if (c->is_group) {
      if (std::find(shared.begin(), shared.end(), layer_record(c)) != shared.end()) update_layer_screen_rects(c);
      update_sharing_groups(c, shared);
    }
  }
}

}  // namespace

void propagate_layer_changes(object_node* first) {
  std::vector<cg_record*> shared;
  apply_pending_changes(first, shared);
  // A change applied through one node shows wherever its record is shown.
  if (!shared.empty() && object_trees[tree_layers].root) update_sharing_groups(object_trees[tree_layers].root, shared);
}

void propagate_layer_changes() {
  if (object_node* root = object_trees[tree_layers].root) propagate_layer_changes(root->first_child);
}

layer_rect gather_window_rects(object_node* group) {
  cg_record* g = layer_record(group);
  layer_rect box = empty_layer_rect;
  if (!g) return box;
  for (object_node* c = group->first_child; c; c = c->next_sibling) {
    cg_record* r = layer_record(c);
    if (!r) continue;
    layer_rect rect;
    if (c->is_group) {
      if (!r->visible || r->alpha <= 0) continue;
      // The nested group's children, in this group's coordinates.
      rect = layer_rect_offset(gather_window_rects(c), r->x, r->y);
    } else {
      if (!r->visible || r->alpha <= 0 || (!r->mask_path.empty() && r->rule_progress <= 0) ||
          r->texture_requested || r->width <= 0 || r->height <= 0)
        continue;
      rect = layer_rect_at(r->x, r->y, r->width, r->height);
    }
    layer_rect clamped = rect;
    if (union_dirty_rect(clamped, g, g->width == 0 || g->height == 0) == 0) layer_rect_union(box, clamped);
  }
  return box;
}

int update_layer_screen_rects(object_node* node) {
  cg_record* r = layer_record(node);
  if (!r) return -1;
  gather_window_rects(node);
  layer_rect rect = r->dirty_rect;
  object_node* n = node;
  while (!layer_rect_empty(rect)) {
    cg_record* cur = layer_record(n);
    if (union_dirty_rect(rect, cur, cur->width == 0 || cur->height == 0) != 0) break;
    rect = layer_rect_offset(rect, cur->x, cur->y);
    n = n->parent;
    if (!n || !layer_record(n)) break;
  }
  return 0;
}

namespace {

void reset_record(cg_record* r) {
  if (!r) return;
  r->previous_frame = r->this_frame;
  r->this_frame = 0;
  r->redraw_pending = 0;
  r->redraw_flags[0] = r->redraw_flags[1] = 0;
  r->dirty_rect = empty_layer_rect;
  r->dirty_flag = 0;
}

}  // namespace

void reset_dirty_rects(object_node* first) {
  for (object_node* n = first; n; n = n->next_sibling) {
    reset_record(layer_record(n));
    if (n->first_child) reset_dirty_rects(n->first_child);
  }
}

void reset_dirty_rects() {
  layer_change_state.layers_changed = 0;
  if (object_node* root = object_trees[tree_layers].root) {
    reset_record(layer_record(root));
    reset_dirty_rects(root->first_child);
  }
  for (const layer_window_link& w : layer_links.windows) reset_record(w.surface);
}
