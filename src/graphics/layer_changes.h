// Layer change propagation: visibility and alpha that scripts set during a
// tick's script passes take effect once, after all passes; changed areas reach
// every ancestor; after presentation every dirty rectangle is reset.
#pragma once
#include <cstdint>

#include "core/object_tree.h"
#include "graphics/layer_record.h"

// Some layer changed this tick (read by the renderer).
struct layer_change_state_record {
  uint8_t layers_changed = 0;
};
extern layer_change_state_record layer_change_state;

// Scripts' deferred changes: stored in the record, applied by
// propagate_layer_changes.
void set_pending_visible(cg_record* record, int visible);
void set_pending_alpha(cg_record* record, int alpha);

// Walks a sibling list and, depth first, its groups: applies pending visibility
// and alpha; a change redraws a leaf's rectangle or a group's visible children.
void propagate_layer_changes(object_node* first);
// The frame step: over the layer tree root's children.
void propagate_layer_changes();

// Gathers a group's visible children into its dirty rectangle and carries the
// rectangle, moved by every ancestor's position, up to the root. 0, or -1 for a
// null node or a node without a record.
int update_layer_screen_rects(object_node* node);

// Unions the rectangles of a group's drawn descendants (nested groups
// included, moved by their positions) into the group's dirty rectangle; returns
// their bounding box in the group's coordinates (the empty value for none).
layer_rect gather_window_rects(object_node* group);

// After presentation: for every layer under `first` (groups recursively):
// previous-frame := this-frame; this-frame, redraw and picture-changed flags
// := 0; dirty rectangle := empty.
void reset_dirty_rects(object_node* first);
// The frame step: the whole layer tree (root included) and each window's own
// surface record; clears layers_changed for the next tick.
void reset_dirty_rects();
