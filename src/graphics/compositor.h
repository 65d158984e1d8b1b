// Dirty rectangles and the CPU compositor.
//
// A change to a layer is recorded as a dirty rectangle in every ancestor up to
// the window's root, clamped at each level to what that ancestor shows. Once
// per frame the compositor rebuilds only the root's dirty rectangle: it finds
// the topmost opaque layer covering it (clearing the area when there is none)
// and blends every visible layer from there upward into the root's picture, in
// row bands over the worker pool (job kinds 101..104).
#pragma once
#include <cstdint>

#include "core/object_tree.h"
#include "graphics/layer_record.h"

// Clamps rect (in the layer's coordinates) to the layer unless no_clip, then
// widens the layer's dirty rectangle by it and sets redraw_pending. 0, or -1
// when the rectangle misses the layer or is empty (rect is then the empty value
// and the layer is not marked).
int union_dirty_rect(layer_rect& rect, cg_record* layer, int no_clip);

// Marks the node's whole picture dirty in every ancestor (each clamped to what
// the ancestor shows) and drops the node's cached effect result. -1 for a null
// node or one without a record, else 0.
int mark_layer_dirty(object_node* node);

// The frame step for window 0..3: composites the window's root layer when it is
// marked for redraw. -1 when compositing failed, else the quit flag.
int render_window(int window);

// Composites a node's subtree. window_index -1 with standalone 1: off-screen,
// each group's children into the group's own buffer. Frame path
// (window_index >= 0, standalone 0): every layer straight into the node's
// picture at its absolute place. clip is in the node's coordinates. 0, or -1
// after a reported error.
int composite_layer_tree(object_node* node, int window_index, int nested, int depth, int64_t origin_x,
                         int64_t origin_y, int64_t clip_x0, int64_t clip_y0, int64_t clip_x1, int64_t clip_y1,
                         int standalone);

// Blit geometry, per axis: a source of size n at position p against a clip of
// size k at c. Results: source offset, destination position, clipped length
// (below 1 means nothing to copy; the caller tests it).
struct blit_rect {
  int64_t dst_x = 0, dst_y = 0;
  int32_t src_width = 0, src_height = 0;
  int64_t clip_x = 0, clip_y = 0;
  int32_t clip_width = 0, clip_height = 0;
  int32_t out_src_x = 0, out_src_y = 0;
  int32_t out_dst_x = 0, out_dst_y = 0;
  int32_t out_width = 0, out_height = 0;
};
void clip_blit_rects(blit_rect& b);

// present := bounding box of present and dirty (the whole layer when the
// full-redraw flag was set, which it clears); clamped to the layer.
void accumulate_present_rect(cg_record* layer);
// For the presentation: the present rectangle clamped to the layer, then reset
// to empty. 0 with the rectangle in `out`, or -1 when there is nothing to show.
int take_present_rect(cg_record* layer, layer_rect& out);

// One composite job: the rows [first_row, end_row) of a clipped rectangle of
// `width` pixels. Pointers address the rectangle's top-left pixel in each
// picture; strides are bytes per row.
struct composite_geometry {
  int32_t width = 0, height = 0;
  uint8_t* dst = nullptr;
  int64_t dst_stride = 0;
  const uint8_t* src = nullptr;
  int64_t src_stride = 0;
  const uint8_t* mask = nullptr;  // jobs 102 and 104
  int64_t mask_stride = 0;
};

// Splits the clipped height over n = min(workers, running workers, height)
// bands (band i: rows i*h/n to (i+1)*h/n), posts job `kind` (101..104) to each
// and waits for all; one band runs on the calling thread. `span` is the
// dispatch table entry (span_fn for 101/103, span_rule_fn for 102/104).
void dispatch_row_jobs(int kind, const composite_geometry& g, void* span, int opacity, int progress,
                       int vagueness, int workers);
// Registers the work of kinds 101..104 with the pool (idempotent).
void register_compositor_jobs();

// Consecutive layers drawn into the same picture are posted as one batch: each
// worker applies every layer of the batch, in order, to its band of rows, a
// few rows at a time (each layer still runs the row routine of its kind
// 101..104). Internal to the compositor; registered on first use.
constexpr int job_composite_batch = 105;

// Steps owned by other subsystems. Null: nothing (window 0 is then composited
// on the CPU alone).
struct compositor_hook_table {
  // Window 0 in GPU drawing mode with the scene marked dirty: takes (clears)
  // the mark and returns true.
  bool (*take_gpu_scene_dirty)() = nullptr;
  // Draws the GPU frame and reads it back into the scene layer; nonzero fails.
  int (*render_gpu_frame)() = nullptr;
};
extern compositor_hook_table compositor_hooks;

// Statistics of the last composites, for tests and benchmarks.
struct compositor_stats_record {
  uint64_t layers_blended = 0;
  uint64_t rows_blended = 0;
  uint64_t effect_fills = 0;  // tone/monochrome results computed
  uint64_t clears = 0;
};
extern compositor_stats_record compositor_stats;
