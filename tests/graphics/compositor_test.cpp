// Dirty rectangles, change propagation and the CPU compositor: the documented
// cases, the mended faults, worker independence and a random-scene property.
#include "graphics/compositor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <vector>

#include "core/engine_state.h"
#include "graphics/layer_changes.h"
#include "core/worker_pool.h"
#include "graphics/blend_modes.h"
#include "layer_scene.h"

namespace {

using compositor = layer_scene;

bool rect_is(const layer_rect& r, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  return r.x0 == x0 && r.y0 == y0 && r.x1 == x1 && r.y1 == y1;
}

uint32_t opaque(uint32_t rgb) { return 0xFF000000u | rgb; }

// ---------------------------------------------------------------- dirty rectangles

TEST_F(compositor, UnionClampsToTheLayerAndRefusesMissesAndEmptyRects) {
  cg_record r;
  r.width = 10;
  r.height = 10;
  layer_rect a{-5, -5, 3, 3};
  ASSERT_EQ(union_dirty_rect(a, &r, 0), 0);
  EXPECT_TRUE(rect_is(a, 0, 0, 3, 3));
  EXPECT_TRUE(rect_is(r.dirty_rect, 0, 0, 3, 3));
  EXPECT_EQ(r.redraw_pending, 1);
  EXPECT_EQ(r.dirty_count, 1);

  layer_rect b{10, 0, 12, 3};  // x0 at the width: misses
  EXPECT_EQ(union_dirty_rect(b, &r, 0), -1);
  EXPECT_TRUE(layer_rect_empty(b));
  layer_rect c{0, 0, 3, -1};
  EXPECT_EQ(union_dirty_rect(c, &r, 0), -1);
  layer_rect e = empty_layer_rect;
  EXPECT_EQ(union_dirty_rect(e, &r, 1), -1);  // not even without clipping
  EXPECT_TRUE(rect_is(r.dirty_rect, 0, 0, 3, 3));

  layer_rect d{5, 6, 20, 7};
  ASSERT_EQ(union_dirty_rect(d, &r, 0), 0);
  EXPECT_TRUE(rect_is(r.dirty_rect, 0, 0, 9, 7));
  layer_rect f{-50, 2, 2, 2};
  ASSERT_EQ(union_dirty_rect(f, &r, 1), 0);
  EXPECT_TRUE(rect_is(r.dirty_rect, -50, 0, 9, 7));

  layer_rect g = empty_layer_rect;
  layer_rect_union(g, empty_layer_rect);
  EXPECT_TRUE(layer_rect_empty(g));
  layer_rect_union(g, {1, 2, 3, 4});
  layer_rect_union(g, empty_layer_rect);
  EXPECT_TRUE(rect_is(g, 1, 2, 3, 4));
  EXPECT_TRUE(layer_rect_empty(layer_rect_intersect({0, 0, 4, 4}, {5, 0, 9, 4})));
  EXPECT_TRUE(layer_rect_empty(layer_rect_offset(empty_layer_rect, -5, 7)));
}

TEST_F(compositor, MissedRectangleNeverReachesAnUnclippedContainer) {
  // W0 / zero-size container / 10x10 group / layer far outside the group. The
  // miss at the group ends the walk: nothing (least of all a huge rectangle)
  // reaches the container, which takes unions unclipped, or the root.
  object_node* z = add_layer(w0, "z", 1, 0, 0, 0, 0, true);
  object_node* g = add_layer(z, "g", 1, 10, 10, 5, 5, true);
  end_frame();
  object_node* far = add_layer(g, "far", 1, 4, 4, 100, 100);
  EXPECT_TRUE(layer_rect_empty(layer_record(g)->dirty_rect));
  EXPECT_TRUE(layer_rect_empty(layer_record(z)->dirty_rect));
  EXPECT_TRUE(layer_rect_empty(root()->dirty_rect));
  EXPECT_EQ(root()->redraw_pending, 0);

  // A visible change passes the container unclipped and is clamped by the root.
  layer_record(far)->x = -2;
  layer_record(far)->y = 8;
  mark_layer_dirty(far);
  EXPECT_TRUE(rect_is(layer_record(g)->dirty_rect, 0, 8, 1, 9));
  EXPECT_TRUE(rect_is(layer_record(z)->dirty_rect, 5, 13, 6, 14));
  EXPECT_TRUE(rect_is(root()->dirty_rect, 5, 13, 6, 14));
}

TEST_F(compositor, PresentRectangleIsClampedToTheRootAndResetWhenTaken) {
  ASSERT_EQ(frame(), 0);
  layer_rect shown;
  ASSERT_EQ(take_present_rect(root(), shown), 0);
  EXPECT_TRUE(rect_is(shown, 0, 0, root_width - 1, root_height - 1));
  EXPECT_EQ(take_present_rect(root(), shown), -1);
  EXPECT_TRUE(layer_rect_empty(shown));

  root()->present_rect = {-999999999, -999999999, 999999999, 999999999};
  ASSERT_EQ(take_present_rect(root(), shown), 0);
  EXPECT_TRUE(rect_is(shown, 0, 0, root_width - 1, root_height - 1));

  root()->full_redraw = 1;
  accumulate_present_rect(root());
  EXPECT_EQ(root()->full_redraw, 0);
  EXPECT_TRUE(rect_is(root()->present_rect, 0, 0, root_width - 1, root_height - 1));
}

TEST_F(compositor, EmptyIntersectionOfDirtyAndClipDrawsNothing) {
  object_node* a = add_layer(w0, "a", 1, root_width, root_height, 0, 0);
  paint(a, [](int, int) { return 0x80112233u; });
  ASSERT_EQ(frame(), 0);
  end_frame();
  std::vector<uint8_t> before = root_pixels();
  uint64_t clears = compositor_stats.clears, blended = compositor_stats.layers_blended;
  layer_rect d{0, 0, 3, 3};
  union_dirty_rect(d, root(), 0);
  EXPECT_EQ(composite_layer_tree(w0, 0, 0, 0, 0, 0, 10, 10, 20, 20, 0), 0);
  EXPECT_EQ(compositor_stats.clears, clears);
  EXPECT_EQ(compositor_stats.layers_blended, blended);
  EXPECT_EQ(root_pixels(), before);
}

// ---------------------------------------------------------------- propagation

TEST_F(compositor, HiddenAndShownWithinOneTickRedrawsNothing) {
  object_node* a = add_layer(w0, "a", 1, 8, 8, 0, 0);
  ASSERT_EQ(frame(), 0);
  end_frame();
  layer_change_state.layers_changed = 0;
  set_pending_visible(layer_record(a), 0);
  set_pending_visible(layer_record(a), 1);
  set_pending_alpha(layer_record(a), 256);
  propagate_layer_changes();
  EXPECT_EQ(layer_change_state.layers_changed, 0);
  EXPECT_EQ(root()->redraw_pending, 0);
  EXPECT_EQ(layer_record(a)->pending_visible_set, 0);

  set_pending_alpha(layer_record(a), 300);  // clamped to 256: no change either
  propagate_layer_changes();
  EXPECT_EQ(layer_change_state.layers_changed, 0);

  set_pending_alpha(layer_record(a), 100);
  propagate_layer_changes();
  EXPECT_EQ(layer_change_state.layers_changed, 1);
  EXPECT_EQ(layer_record(a)->alpha, 100);
  EXPECT_TRUE(rect_is(root()->dirty_rect, 0, 0, 7, 7));
}

TEST_F(compositor, DeepChangeIsMovedByEveryAncestor) {
  object_node* g1 = add_layer(w0, "g1", 1, 40, 30, 5, 6, true);
  object_node* g2 = add_layer(g1, "g2", 1, 20, 20, 3, 4, true);
  end_frame();
  object_node* leaf = add_layer(g2, "leaf", 1, 4, 4, 2, 2);
  EXPECT_TRUE(layer_rect_empty(layer_record(leaf)->dirty_rect));  // the layer's own stays
  EXPECT_TRUE(rect_is(layer_record(g2)->dirty_rect, 2, 2, 5, 5));
  EXPECT_TRUE(rect_is(layer_record(g1)->dirty_rect, 5, 6, 8, 9));
  EXPECT_TRUE(rect_is(root()->dirty_rect, 10, 12, 13, 15));
}

TEST_F(compositor, ChangesAreClippedByTheParentOrStopThere) {
  object_node* g = add_layer(w0, "g", 1, 10, 10, 20, 20, true);
  end_frame();
  add_layer(g, "part", 1, 8, 8, 6, -3);  // partly outside the group
  EXPECT_TRUE(rect_is(layer_record(g)->dirty_rect, 6, 0, 9, 4));
  EXPECT_TRUE(rect_is(root()->dirty_rect, 26, 20, 29, 24));
  end_frame();
  add_layer(g, "out", 2, 8, 8, 10, 0);  // entirely outside
  EXPECT_TRUE(layer_rect_empty(layer_record(g)->dirty_rect));
  EXPECT_TRUE(layer_rect_empty(root()->dirty_rect));
}

TEST_F(compositor, GroupVisibilityRedrawsItsVisibleChildrenAndHidesThem) {
  object_node* g = add_layer(w0, "g", 1, 30, 30, 4, 4, true);
  object_node* inner = add_layer(g, "inner", 1, 20, 20, 10, 10, true);
  object_node* a = add_layer(g, "a", 2, 5, 5, 1, 1);
  object_node* b = add_layer(inner, "b", 1, 3, 3, 2, 2);
  paint(a, [](int, int) { return opaque(0xFF0000); });
  paint(b, [](int, int) { return opaque(0x00FF00); });
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(pixel_at(root(), 5, 5) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(pixel_at(root(), 16, 16) & 0xFFFFFF, 0x00FF00u);
  end_frame();

  set_pending_visible(layer_record(g), 0);
  propagate_layer_changes();
  // The gathered area reaches the root, nested group's children included.
  EXPECT_TRUE(rect_is(root()->dirty_rect, 5, 5, 18, 18));
  ASSERT_EQ(render_window(0), 0);
  EXPECT_EQ(pixel_at(root(), 5, 5) & 0xFFFFFF, 0u);
  EXPECT_EQ(pixel_at(root(), 16, 16) & 0xFFFFFF, 0u);
  EXPECT_EQ(root_pixels(), reference());
  EXPECT_EQ(update_layer_screen_rects(nullptr), -1);
}

TEST_F(compositor, ResetClearsEveryLayerAndWindowSurface) {
  object_node* g = add_layer(w0, "g", 1, 10, 10, 0, 0, true);
  object_node* a = add_layer(g, "a", 1, 4, 4, 0, 0);
  cg_record surface;
  surface.redraw_pending = 1;
  surface.dirty_rect = {0, 0, 1, 1};
  surface.this_frame = 1;
  layer_links.windows[3].surface = &surface;
  ASSERT_EQ(frame(), 0);
  layer_record(a)->redraw_flags[0] = 1;
  layer_change_state.layers_changed = 1;
  end_frame();
  EXPECT_EQ(layer_change_state.layers_changed, 0);
  for (object_node* n : {w0, g, a}) {
    EXPECT_TRUE(layer_rect_empty(layer_record(n)->dirty_rect)) << n->name;
    EXPECT_EQ(layer_record(n)->redraw_pending, 0) << n->name;
    EXPECT_EQ(layer_record(n)->dirty_flag, 0) << n->name;
  }
  EXPECT_EQ(layer_record(a)->redraw_flags[0], 0);
  EXPECT_EQ(surface.redraw_pending, 0);
  EXPECT_TRUE(layer_rect_empty(surface.dirty_rect));
  EXPECT_EQ(surface.previous_frame, 1);
  EXPECT_EQ(surface.this_frame, 0);
  layer_links.windows[3].surface = nullptr;
}

// ---------------------------------------------------------------- the composite

TEST_F(compositor, OpaqueCoverSkipsLowerLayersAndTheClear) {
  object_node* low = add_layer(w0, "low", 1, root_width, root_height, 0, 0);
  object_node* top = add_layer(w0, "top", 2, root_width, root_height, 0, 0);
  paint(low, [](int, int) { return 0x800000FFu; });  // translucent: covers nothing
  layer_record(low)->alpha_in_use = 1;
  paint(top, [](int x, int) { return opaque(uint32_t(x)); });
  compositor_stats = {};
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(compositor_stats.layers_blended, 1u);
  EXPECT_EQ(compositor_stats.clears, 0u);
  EXPECT_EQ(root_pixels(), reference());
  end_frame();

  layer_record(top)->alpha = 255;
  mark_layer_dirty(top);
  compositor_stats = {};
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(compositor_stats.layers_blended, 2u);
  EXPECT_EQ(compositor_stats.clears, 1u);
  EXPECT_EQ(root_pixels(), reference());
}

TEST_F(compositor, CoverTestSkipsLayersThatAreNotDrawn) {
  object_node* low = add_layer(w0, "low", 1, root_width, root_height, 0, 0);
  paint(low, [](int x, int y) { return opaque(uint32_t(x * 3 + y * 5)); });
  // An opaque, full-size, texture-backed layer is drawn by the GPU only.
  object_node* tex = add_layer(w0, "tex", 2, root_width, root_height, 0, 0);
  paint(tex, [](int, int) { return opaque(0xFFFFFF); });
  layer_record(tex)->texture_requested = 1;
  // A full-size group: its (blank) picture is not drawn while flattening.
  add_layer(w0, "grp", 3, root_width, root_height, 0, 0, true);
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(pixel_at(root(), 10, 10) & 0xFFFFFF, uint32_t(10 * 3 + 10 * 5));
  EXPECT_EQ(root_pixels(), reference());
}

TEST_F(compositor, LayersBelowAnUnchangedGroupKeepItsChildren) {
  object_node* bottom = add_layer(w0, "bottom", 1, root_width, root_height, 0, 0);
  paint(bottom, [](int, int) { return opaque(0x202020); });
  object_node* g = add_layer(w0, "g", 2, 20, 20, 10, 10, true);
  object_node* inner = add_layer(g, "inner", 1, 10, 10, 5, 5, true);
  object_node* c = add_layer(inner, "c", 1, 4, 4, 1, 1);
  paint(c, [](int, int) { return opaque(0x00FF00); });
  ASSERT_EQ(frame(), 0);
  end_frame();
  EXPECT_EQ(pixel_at(root(), 17, 17) & 0xFFFFFF, 0x00FF00u);

  // Only the bottom layer changes; the area is cleared and redrawn, and the
  // group's children (whose own dirty rectangles are empty) are drawn again.
  paint(bottom, [](int, int) { return opaque(0x404040); });
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(pixel_at(root(), 17, 17) & 0xFFFFFF, 0x00FF00u);
  EXPECT_EQ(pixel_at(root(), 0, 0) & 0xFFFFFF, 0x404040u);
  EXPECT_EQ(root_pixels(), reference());
  end_frame();

  // A small change under part of the group.
  layer_record(bottom)->alpha = 128;
  layer_rect part{12, 12, 18, 18};
  for (object_node* n = bottom; n->parent; n = n->parent) {
    if (union_dirty_rect(part, layer_record(n->parent), 0) != 0) break;
  }
  ASSERT_EQ(render_window(0), 0);
  EXPECT_EQ(pixel_at(root(), 17, 17) & 0xFFFFFF, 0x00FF00u);
}

TEST_F(compositor, MaskedLayersFollowProgress) {
  object_node* base = add_layer(w0, "base", 1, 16, 16, 0, 0);
  paint(base, [](int, int) { return opaque(0x000080); });
  object_node* mask = add_layer(w0, "mask", 0, 16, 16, 0, 0);
  paint(mask, [](int x, int) { return opaque(uint32_t(x * 16) * 0x010101u); });
  layer_record(mask)->visible = 0;
  object_node* top = add_layer(w0, "top", 2, 16, 16, 0, 0);
  paint(top, [](int, int) { return opaque(0xFF0000); });
  cg_record* t = layer_record(top);
  t->mask_path = "mask";
  t->vagueness = 256;

  t->rule_progress = 0;  // skipped
  mark_layer_dirty(top);
  compositor_stats = {};
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(compositor_stats.layers_blended, 1u);
  EXPECT_EQ(pixel_at(root(), 15, 0) & 0xFFFFFF, 0x000080u);
  end_frame();

  t->rule_progress = 128;  // the brighter half of the rule shows
  mark_layer_dirty(top);
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(pixel_at(root(), 15, 0) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(pixel_at(root(), 0, 0) & 0xFFFFFF, 0x000080u);
  EXPECT_EQ(root_pixels(), reference());
  end_frame();

  t->rule_progress = 256;  // drawn as a plain layer, and it covers again
  mark_layer_dirty(top);
  compositor_stats = {};
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(compositor_stats.layers_blended, 1u);
  EXPECT_EQ(pixel_at(root(), 0, 0) & 0xFFFFFF, 0xFF0000u);
}

TEST_F(compositor, MaskOfAnotherSizeStopsTheFrame) {
  object_node* mask = add_layer(w0, "mask", 0, 15, 16, 0, 0);
  layer_record(mask)->visible = 0;
  object_node* top = add_layer(w0, "top", 2, 16, 16, 0, 0);
  layer_record(top)->mask_path = "mask";
  layer_record(top)->rule_progress = 100;
  EXPECT_EQ(frame(), -1);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), 100310);
  EXPECT_EQ(quit_flag, 1);
}

TEST_F(compositor, MaskLayerWithoutPixelsIsNoMask) {
  object_node* mask = add_layer(w0, "mask", 0, 16, 16, 0, 0);
  cg_record* m = layer_record(mask);
  std::free(m->pixel_block);
  m->pixel_block = m->pixels = nullptr;
  object_node* top = add_layer(w0, "top", 2, 16, 16, 0, 0);
  paint(top, [](int, int) { return opaque(0x123456); });
  layer_record(top)->mask_path = "mask";
  layer_record(top)->rule_progress = 10;
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(pixel_at(root(), 3, 3) & 0xFFFFFF, 0x123456u);
  EXPECT_TRUE(errors.empty());
  // A mask path naming nothing is no mask either.
  layer_record(top)->mask_path = "nothing";
  mark_layer_dirty(top);
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(pixel_at(root(), 3, 3) & 0xFFFFFF, 0x123456u);
}

TEST_F(compositor, ToneIsComputedOnceAndTheBaseStaysAuthoritative) {
  object_node* a = add_layer(w0, "a", 1, 16, 16, 0, 0);
  paint(a, [](int x, int y) { return opaque(uint32_t(x * 8) << 16 | uint32_t(y * 8) << 8 | 0x40); });
  object_node* b = create_object_by_path(object_trees[tree_layers].root, "W0/b", 0, 2, 0);
  cg_record* r = share_cg_record(b, layer_record(a));
  std::vector<uint8_t> base(r->pixels, r->pixels + 16 * 16 * 4);
  ASSERT_EQ(frame(), 0);
  end_frame();
  std::vector<uint8_t> plain = root_pixels();

  r->colour_tone = 0xFF4080;
  r->monochrome = 40;
  mark_layer_dirty(a);
  mark_layer_dirty(b);
  compositor_stats = {};
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(compositor_stats.layers_blended, 1u);  // b covers a
  EXPECT_EQ(compositor_stats.effect_fills, 1u);
  EXPECT_EQ(root_pixels(), reference());
  EXPECT_EQ(std::vector<uint8_t>(r->pixels, r->pixels + base.size()), base);
  end_frame();

  // Drawn twice in one frame (b no longer covers): toned once, not twice.
  r->alpha = 200;
  mark_layer_dirty(a);
  compositor_stats = {};
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(compositor_stats.layers_blended, 2u);
  EXPECT_EQ(compositor_stats.effect_fills, 1u);  // toned once for both draws
  EXPECT_EQ(root_pixels(), reference());
  end_frame();

  // Back to neutral: the base pixels show again.
  r->alpha = 256;
  r->colour_tone = 0x808080;
  r->monochrome = 128;
  mark_layer_dirty(a);
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(root_pixels(), plain);
}

TEST_F(compositor, ExtremePositionsNeitherWrapNorDraw) {
  const int64_t big = std::numeric_limits<int64_t>::max();
  object_node* g = add_layer(w0, "g", 1, 20, 20, big - 5, 0, true);
  object_node* a = add_layer(g, "a", 1, 8, 8, big - 3, std::numeric_limits<int64_t>::min() + 2);
  object_node* b = add_layer(w0, "b", 2, 8, 8, std::numeric_limits<int64_t>::min() + 1, big);
  paint(a, [](int, int) { return opaque(0xFFFFFF); });
  paint(b, [](int, int) { return opaque(0xFFFFFF); });
  ASSERT_EQ(frame(), 0);
  for (uint8_t v : root_pixels()) ASSERT_EQ(v, 0);
  end_frame();
  layer_record(g)->x = big;
  mark_layer_dirty(g);
  set_pending_visible(layer_record(g), 0);
  propagate_layer_changes();
  EXPECT_TRUE(layer_rect_empty(root()->dirty_rect));
}

TEST_F(compositor, TwoWorkersSplitFiveRowsTwoAndThree) {
  ASSERT_EQ(start_worker_threads(2), 0);
  register_compositor_jobs();
  static std::mutex m;
  static std::vector<std::pair<intptr_t, intptr_t>> bands;
  bands.clear();
  register_worker_job_kind(job_composite, [](const worker_job& job) {
    std::lock_guard<std::mutex> g(m);
    bands.push_back({job.arg[0], job.arg[1]});
  });
  std::vector<uint8_t> dst(4 * 5 * 4), src(4 * 5 * 4);
  composite_geometry g;
  g.width = 4, g.height = 5;
  g.dst = dst.data(), g.dst_stride = 16;
  g.src = src.data(), g.src_stride = 16;
  dispatch_row_jobs(job_composite, g, reinterpret_cast<void*>(select_span_opacity(0, 256)), 256, 256, 0, 2);
  stop_worker_threads();
  register_compositor_jobs();
  std::sort(bands.begin(), bands.end());
  ASSERT_EQ(bands.size(), 2u);
  EXPECT_EQ(bands[0], (std::pair<intptr_t, intptr_t>{0, 2}));
  EXPECT_EQ(bands[1], (std::pair<intptr_t, intptr_t>{2, 5}));
}

TEST_F(compositor, ClipGeometryPerAxis) {
  blit_rect b;
  b.dst_x = -3, b.src_width = 10, b.clip_x = 0, b.clip_width = 5;  // both ends cut
  b.dst_y = 2, b.src_height = 4, b.clip_y = 0, b.clip_height = 10;  // inside
  clip_blit_rects(b);
  EXPECT_EQ(b.out_src_x, 3);
  EXPECT_EQ(b.out_dst_x, 0);
  EXPECT_EQ(b.out_width, 5);
  EXPECT_EQ(b.out_src_y, 0);
  EXPECT_EQ(b.out_dst_y, 2);
  EXPECT_EQ(b.out_height, 4);
  b.dst_x = 3, b.src_width = 10, b.clip_x = 0, b.clip_width = 5;  // right end cut
  b.dst_y = -2, b.src_height = 4, b.clip_y = 0, b.clip_height = 10;  // top cut
  clip_blit_rects(b);
  EXPECT_EQ(b.out_width, 2);
  EXPECT_EQ(b.out_src_y, 2);
  EXPECT_EQ(b.out_height, 2);
  b.dst_x = 20;  // a miss gives a length below 1
  clip_blit_rects(b);
  EXPECT_LT(b.out_width, 1);
}

TEST_F(compositor, WindowsWithoutARootOrHiddenDrawNothing) {
  EXPECT_EQ(render_window(1), 0);
  EXPECT_EQ(render_window(7), 0);
  layer_links.windows[0].kind = 0;
  layer_links.windows[0].drawn_this_frame = 0;
  EXPECT_EQ(render_window(0), 0);
  EXPECT_EQ(layer_links.windows[0].drawn_this_frame, 0);
  EXPECT_EQ(root()->redraw_pending, 1);
  layer_links.windows[0].kind = 1;
  EXPECT_EQ(render_window(0), 0);
  EXPECT_EQ(layer_links.windows[0].drawn_this_frame, 1);
}

TEST_F(compositor, GpuSceneIsDrawnFirstAndTheWholeRootRedrawn) {
  static int drawn = 0;
  compositor_hooks.take_gpu_scene_dirty = [] { return true; };
  compositor_hooks.render_gpu_frame = [] {
    ++drawn;
    return 0;
  };
  ASSERT_EQ(frame(), 0);
  end_frame();
  root()->redraw_pending = 1;  // something changed
  ASSERT_EQ(render_window(0), 0);
  EXPECT_EQ(drawn, 2);
  layer_rect shown;
  ASSERT_EQ(take_present_rect(root(), shown), 0);
  EXPECT_TRUE(rect_is(shown, 0, 0, root_width - 1, root_height - 1));
  compositor_hooks.render_gpu_frame = [] { return 1; };
  root()->redraw_pending = 1;
  EXPECT_EQ(render_window(0), -1);
  compositor_hooks = {};
}

TEST_F(compositor, GroupRedrawnOffScreenIntoItsOwnPicture) {
  object_node* g = add_layer(w0, "g", 1, 12, 12, 0, 0, true);
  object_node* a = add_layer(g, "a", 1, 6, 6, 2, 2);
  paint(a, [](int, int) { return opaque(0x336699); });
  object_node* b = add_layer(g, "b", 2, 6, 6, 5, 5);
  paint(b, [](int, int) { return 0x80FFFFFFu; });
  layer_record(b)->alpha_in_use = 1;
  ASSERT_EQ(redraw_whole_cg(g), 0);
  cg_record* gr = layer_record(g);
  EXPECT_EQ(pixel_at(gr, 0, 0), 0u);  // cleared
  EXPECT_EQ(pixel_at(gr, 3, 3), opaque(0x336699));
  uint32_t mixed = pixel_at(gr, 6, 6) & 0xFF;
  EXPECT_EQ(mixed, uint32_t(0x99 + (((0xFF - 0x99) * 0x81) >> 8)));
  EXPECT_EQ(gr->alpha_in_use, 1);

  // A leaf is left alone: compositing it would only clear its picture.
  ASSERT_EQ(redraw_whole_cg(a), 0);
  EXPECT_EQ(pixel_at(layer_record(a), 0, 0), opaque(0x336699));
  EXPECT_EQ(redraw_whole_cg(nullptr), 0);
}

// ---------------------------------------------------------------- workers

struct compositor_workers : layer_scene {
  compositor_workers() {
    root_width = 256;
    root_height = 144;
  }
  void build() {
    object_node* bg = add_layer(w0, "bg", 1, 256, 144, 0, 0);
    paint(bg, [](int x, int y) { return opaque(uint32_t(x) << 16 | uint32_t(y) << 8 | uint32_t(x ^ y)); });
    object_node* a = add_layer(w0, "alpha", 2, 200, 120, 20, 10);
    paint(a, [](int x, int y) { return uint32_t((x * 7 + y * 3) & 0xFF) << 24 | 0x30A050u; });
    layer_record(a)->alpha_in_use = 1;
    layer_record(a)->alpha = 200;
    object_node* add = add_layer(w0, "add", 3, 180, 100, -10, 30);
    paint(add, [](int x, int y) { return opaque(uint32_t(x + y) * 0x010203u); });
    layer_record(add)->blend_mode = blend_add;
    layer_record(add)->alpha = 180;
    object_node* mask = add_layer(w0, "mask", 0, 150, 120, 0, 0);
    paint(mask, [](int x, int y) { return opaque(uint32_t((x + y) & 0xFF) * 0x010101u); });
    layer_record(mask)->visible = 0;
    object_node* rule = add_layer(w0, "rule", 4, 150, 120, 90, 20);
    paint(rule, [](int x, int) { return opaque(uint32_t(x) * 0x010000u + 0x40); });
    layer_record(rule)->mask_path = "mask";
    layer_record(rule)->rule_progress = 140;
    layer_record(rule)->vagueness = 64;
    object_node* over = add_layer(w0, "over", 5, 256, 144, 0, 0);
    paint(over, [](int x, int y) { return uint32_t(((x * y) >> 4) & 0xFF) << 24 | 0x8040C0u; });
    layer_record(over)->blend_mode = blend_overlay;
    layer_record(over)->alpha_in_use = 1;
    layer_record(over)->colour_tone = 0x60A0FF;
    layer_record(over)->monochrome = 200;
  }
};

TEST_F(compositor_workers, OneToFourWorkersGiveTheSameFrame) {
  build();
  std::vector<std::vector<uint8_t>> frames;
  for (int n = 1; n <= 4; ++n) {
    ASSERT_EQ(start_worker_threads(n), 0);
    root()->full_redraw = 1;
    layer_rect whole{0, 0, root_width - 1, root_height - 1};
    union_dirty_rect(whole, root(), 0);
    ASSERT_EQ(frame(), 0);
    end_frame();
    stop_worker_threads();
    frames.push_back(root_pixels());
  }
  for (int n = 1; n < 4; ++n) EXPECT_EQ(frames[n], frames[0]) << n + 1 << " workers";
  EXPECT_EQ(frames[0], reference());
}

// Many layers over a picture whose size divides evenly by nothing: every blend
// mode at full and reduced opacity, pixel alpha, rule masks (each splits a
// batch), tone, a flattened group, an opaque layer that covers some dirty
// rectangles, and layers starting and ending on odd rows. Whatever the number
// of threads and wherever the chunk edges fall, the frame must be the same.
struct compositor_many_layers : layer_scene {
  compositor_many_layers() {
    root_width = 333;
    root_height = 211;
  }
  void build() {
    object_node* bg = add_layer(w0, "bg", 0, 333, 211, 0, 0);
    paint(bg, [](int x, int y) { return opaque(uint32_t(x * 3) << 16 | uint32_t(y) << 8 | uint32_t(x ^ y)); });
    for (int mode = 0; mode <= 18; ++mode) {
      int x = (mode * 37) % 120 - 17, y = (mode * 23) % 90 - 13;
      object_node* l = add_layer(w0, "m" + std::to_string(mode), 10 + mode, 241 + mode, 157 - mode, x, y);
      paint(l, [mode](int px, int py) {
        return uint32_t((px * 5 + py * 3 + mode * 11) & 0xFF) << 24 | uint32_t(px * 7 + mode) << 16 |
               uint32_t(py * 5) << 8 | uint32_t(px + py * mode);
      });
      cg_record* r = layer_record(l);
      r->blend_mode = uint8_t(mode);
      r->alpha = int16_t(mode % 3 == 0 ? 256 : 97 + mode * 7);
      r->alpha_in_use = uint8_t(mode % 2);
      if (mode % 5 == 1) r->colour_tone = 0x60A0FF - mode;
      if (mode % 7 == 3) r->monochrome = 40 + mode;
    }
    for (int k = 0; k < 3; ++k) {
      std::string name = "mask" + std::to_string(k);
      object_node* m = add_layer(w0, name, 1, 177, 119, 0, 0);
      paint(m, [k](int x, int y) { return opaque(uint32_t((x * (k + 2) + y * 3) & 0xFF) * 0x010101u); });
      layer_record(m)->visible = 0;
      object_node* l = add_layer(w0, "rule" + std::to_string(k), 30 + k * 7, 177, 119, 31 + k * 61, 17 + k * 29);
      paint(l, [k](int x, int y) { return uint32_t((x + y * 2) & 0xFF) << 24 | uint32_t(x * y + k) * 0x010301u; });
      cg_record* r = layer_record(l);
      r->mask_path = name;
      r->rule_progress = int16_t(60 + k * 70);
      r->vagueness = int16_t(k == 1 ? 256 : 32 + k);
      r->alpha_in_use = uint8_t(k % 2);
      r->blend_mode = uint8_t(k * 4);
    }
    object_node* g = add_layer(w0, "group", 40, 200, 150, 101, 51, true);
    for (int k = 0; k < 3; ++k) {
      object_node* c = add_layer(g, "c" + std::to_string(k), k, 99 + k * 13, 71 + k * 11, k * 33 - 9, k * 27 - 5);
      paint(c, [k](int x, int y) { return uint32_t((x * 9 + y + k * 40) & 0xFF) << 24 | uint32_t(x << 8 | y); });
      layer_record(c)->alpha_in_use = 1;
      layer_record(c)->blend_mode = uint8_t(k * 6);
    }
    object_node* cover = add_layer(w0, "cover", 5, 123, 77, 199, 3);
    paint(cover, [](int x, int y) { return opaque(uint32_t(x * y) * 0x010101u); });
  }
  // Scribbles the root, redraws `rect` and returns the whole root: the
  // composite inside the rectangle, the scribble outside.
  std::vector<uint8_t> redraw(const layer_rect& rect) {
    cg_record* r = root();
    for (int64_t i = 0; i < int64_t(r->width) * 4 * r->height; ++i) r->pixels[i] = uint8_t(i * 131 + 7);
    std::vector<uint8_t> want = root_pixels(), full = reference();
    for (int64_t y = rect.y0; y <= rect.y1; ++y)
      std::memcpy(&want[size_t(y * r->width + rect.x0) * 4], &full[size_t(y * r->width + rect.x0) * 4],
                  size_t(rect.x1 - rect.x0 + 1) * 4);
    layer_rect dirty = rect;
    union_dirty_rect(dirty, r, 0);
    EXPECT_EQ(frame(), 0);
    end_frame();
    EXPECT_TRUE(root_pixels() == want) << "rect " << rect.x0 << "," << rect.y0 << " - " << rect.x1 << "," << rect.y1;
    return root_pixels();
  }
};

TEST_F(compositor_many_layers, AnyNumberOfWorkersGivesTheSameBytes) {
  build();
  // Whole frame; odd edges; one row; seven rows (fewer chunks than threads
  // would like); inside the opaque cover (no clear); a single column.
  const std::vector<layer_rect> rects = {
      {0, 0, 332, 210}, {17, 5, 300, 190}, {0, 101, 332, 101}, {3, 60, 331, 66}, {205, 9, 310, 70}, {250, 0, 250, 210},
      {101, 33, 178, 183}};
  std::vector<std::vector<uint8_t>> one;
  for (int n : {1, 2, 3, 4, 8}) {
    ASSERT_EQ(start_worker_threads(n), 0);
    for (size_t i = 0; i < rects.size(); ++i) {
      std::vector<uint8_t> got = redraw(rects[i]);
      if (n == 1)
        one.push_back(got);
      else
        EXPECT_TRUE(got == one[i]) << n << " workers, rect " << i;
    }
    stop_worker_threads();
  }
  EXPECT_TRUE(errors.empty());
}

// ---------------------------------------------------------------- property

struct random_scenes : layer_scene {
  random_scenes() {
    root_width = 96;
    root_height = 64;
  }
  std::mt19937 rng{1};
  int next_name = 0;
  std::set<std::string> masks;

  static std::string describe(const object_node* n, int depth) {
    std::string out;
    for (const object_node* c = n->first_child; c; c = c->next_sibling) {
      const cg_record* r = layer_record(c);
      out += std::string(size_t(depth) * 2, ' ') + c->name + (c->is_group ? "/" : "") + " at " +
             std::to_string(r->x) + "," + std::to_string(r->y) + " " + std::to_string(r->width) + "x" +
             std::to_string(r->height) + " vis " + std::to_string(r->visible) + " alpha " +
             std::to_string(r->alpha) + " mode " + std::to_string(r->blend_mode) + " aiu " +
             std::to_string(r->alpha_in_use) + " tone " + std::to_string(r->colour_tone) + " mono " +
             std::to_string(r->monochrome) + " mask '" + r->mask_path + "' p " + std::to_string(r->rule_progress) +
             " v " + std::to_string(r->vagueness) + " tex " + std::to_string(r->texture_requested) + "\n";
      if (c->is_group) out += describe(c, depth + 1);
    }
    return out;
  }

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

  void all_nodes(object_node* n, std::vector<object_node*>& out) {
    for (object_node* c = n->first_child; c; c = c->next_sibling) {
      out.push_back(c);
      if (c->is_group) all_nodes(c, out);
    }
  }
  std::vector<object_node*> nodes() {
    std::vector<object_node*> out;
    all_nodes(w0, out);
    return out;
  }
  std::vector<object_node*> groups() {
    std::vector<object_node*> out{w0};
    for (object_node* n : nodes())
      if (n->is_group) out.push_back(n);
    return out;
  }
  // Every node that shows this record (sharing) is marked.
  void touch(cg_record* r) {
    for (object_node* n : nodes())
      if (layer_record(n) == r) mark_layer_dirty(n);
  }

  void random_picture(object_node* n) {
    int kind = pick(0, 3);
    uint32_t c1 = uint32_t(rng()), c2 = uint32_t(rng());
    paint(n, [&](int x, int y) -> uint32_t {
      switch (kind) {
        case 0: return opaque(c1 & 0xFFFFFF);
        case 1: return uint32_t((x * 9 + y * 5) & 0xFF) << 24 | (c1 & 0xFFFFFF);
        case 2: return ((x / 4 + y / 4) & 1) ? opaque(c2 & 0xFFFFFF) : 0x00808080u;
        default: return uint32_t(rng());
      }
    });
  }

  object_node* add_random_layer() {
    std::vector<object_node*> gs = groups();
    object_node* parent = gs[size_t(pick(0, int(gs.size()) - 1))];
    bool group = pick(0, 5) == 0;
    int w = pick(1, 70), h = pick(1, 50);
    object_node* n = add_layer(parent, "n" + std::to_string(next_name++), pick(0, 20), w, h, pick(-20, 90),
                               pick(-20, 60), group);
    cg_record* r = layer_record(n);
    if (!group) random_picture(n);
    if (pick(0, 3) == 0) r->alpha = int16_t(pick(0, 256));
    if (pick(0, 3) == 0) r->alpha_in_use = 1;
    if (pick(0, 3) == 0) r->blend_mode = uint8_t(pick(0, 18));
    if (pick(0, 6) == 0) r->colour_tone = int32_t(uint32_t(rng()) & 0xFFFFFF);
    if (pick(0, 6) == 0) r->monochrome = pick(0, 256);
    if (!group && pick(0, 5) == 0) {
      // A rule mask of the same size, hidden or shown, beside the root's layers.
      std::string name = "m" + std::to_string(next_name++);
      object_node* m = add_layer(w0, name, pick(0, 20), w, h, pick(-10, 60), pick(-10, 40));
      paint(m, [&](int x, int y) { return opaque(uint32_t((x * 13 + y * 7) & 0xFF) * 0x010101u); });
      layer_record(m)->visible = uint8_t(pick(0, 1));
      masks.insert(name);
      r->mask_path = name;
      r->rule_progress = int16_t(pick(0, 256));
      r->vagueness = int16_t(pick(0, 1) ? 256 : pick(0, 255));
    }
    if (pick(0, 12) == 0) r->texture_requested = 1;
    mark_layer_dirty(n);
    return n;
  }

  void random_change() {
    std::vector<object_node*> all = nodes();
    if (all.empty() || pick(0, 12) == 0) {
      add_random_layer();
      return;
    }
    object_node* n = all[size_t(pick(0, int(all.size()) - 1))];
    cg_record* r = layer_record(n);
    switch (pick(0, 11)) {
      case 0:  // move
        touch(r);
        r->x += pick(-15, 15);
        r->y += pick(-15, 15);
        touch(r);
        break;
      case 1: set_pending_alpha(r, std::vector<int>{0, 1, 100, 255, 256}[size_t(pick(0, 4))]); break;
      case 2: set_pending_visible(r, pick(0, 1)); break;
      case 3: r->blend_mode = uint8_t(pick(0, 18)), touch(r); break;
      case 4:
        r->colour_tone = pick(0, 1) ? 0x808080 : int32_t(uint32_t(rng()) & 0xFFFFFF);
        r->monochrome = pick(0, 1) ? 128 : pick(0, 256);
        touch(r);
        break;
      case 5: r->alpha_in_use ^= 1, touch(r); break;
      case 6:
        if (!n->is_group && !masks.count(n->name)) random_picture(n), touch(r);
        break;
      case 7: reorder_node(n, uint32_t(pick(0, 20)), 0), touch(r); break;
      case 8:
        if (!masks.count(n->name)) {
          touch(r);
          delete_layer_subtree(n);
        }
        break;
      case 9: r->rule_progress = int16_t(pick(0, 256)), touch(r); break;
      case 10: r->texture_requested ^= 1, touch(r); break;
      default:
        if (!n->is_group && !masks.count(n->name)) {
          // Another node shows the same record elsewhere in the tree.
          std::vector<object_node*> gs = groups();
          object_node* parent = gs[size_t(pick(0, int(gs.size()) - 1))];
          std::string path;
          for (object_node* p = parent; p && p->parent; p = p->parent) path = p->name + "/" + path;
          object_node* s = create_object_by_path(object_trees[tree_layers].root, path + "s" + std::to_string(next_name++),
                                                 0, uint32_t(pick(0, 20)), 0);
          share_cg_record(s, r);
          mark_layer_dirty(s);
        }
        break;
    }
  }
};

TEST_F(random_scenes, DirtyCompositesEqualAFullRecompositeFrameAfterFrame) {
  for (uint32_t seed = 1; seed <= 100; ++seed) {
    rng.seed(seed);
    while (w0->first_child) delete_layer_subtree(w0->first_child);
    layer_rect whole{0, 0, root_width - 1, root_height - 1};
    union_dirty_rect(whole, root(), 0);
    masks.clear();
    int layers = pick(2, 10);
    for (int i = 0; i < layers; ++i) add_random_layer();
    for (int f = 0; f < 100; ++f) {
      int changes = pick(0, 3);
      for (int c = 0; c < changes; ++c) random_change();
      ASSERT_EQ(frame(), 0) << "seed " << seed << " frame " << f;
      std::vector<uint8_t> got = root_pixels(), want = reference();
      if (got != want) {
        size_t i = 0;
        while (got[i] == want[i]) ++i;
        FAIL() << "seed " << seed << " frame " << f << ": pixel (" << (i / 4) % size_t(root_width) << ", "
               << (i / 4) / size_t(root_width) << ") byte " << i % 4 << " is " << int(got[i]) << ", expected "
               << int(want[i]) << "\n"
               << describe(w0, 0);
      }
      layer_rect shown;
      take_present_rect(root(), shown);
      end_frame();
    }
  }
  EXPECT_TRUE(errors.empty());
}

}  // namespace
