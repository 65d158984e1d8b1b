// Dirty rectangles and the CPU compositor.
#include "graphics/compositor.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/info_log.h"
#include "core/sjis.h"
#include "core/worker_pool.h"
#include "graphics/blend_modes.h"
#include "graphics/colour_tone.h"
#include "graphics/pixel_kernels.h"

compositor_hook_table compositor_hooks;
compositor_stats_record compositor_stats;

namespace {

layer_rect whole_rect(const cg_record* r) {
  if (r->width <= 0 || r->height <= 0) return empty_layer_rect;
  return {0, 0, int64_t(r->width) - 1, int64_t(r->height) - 1};
}

}  // namespace

// ---------------------------------------------------------------- dirty rectangles

int union_dirty_rect(layer_rect& rect, cg_record* layer, int no_clip) {
  if (!layer || layer_rect_empty(rect)) {
    rect = empty_layer_rect;
    return -1;
  }
  if (!no_clip) {
    if (rect.x0 >= layer->width || rect.y0 >= layer->height || rect.x1 < 0 || rect.y1 < 0) {
      rect = empty_layer_rect;
      return -1;
    }
    rect.x0 = std::max<int64_t>(rect.x0, 0);
    rect.y0 = std::max<int64_t>(rect.y0, 0);
    rect.x1 = std::min<int64_t>(rect.x1, int64_t(layer->width) - 1);
    rect.y1 = std::min<int64_t>(rect.y1, int64_t(layer->height) - 1);
  }
  layer->redraw_pending = 1;
  if (layer->dirty_count != 0 && layer->dirty_flag) {
    layer_rect_union(layer->dirty_rect, rect);
    return 0;
  }
  layer->dirty_rect = rect;
  layer->dirty_flag = 1;
  layer->dirty_count = layer->dirty_count == 0 ? 1 : layer->dirty_count + 1;
  return 0;
}

namespace {

void mark_one_node(object_node* node, cg_record* record) {
  layer_rect rect = whole_rect(record);
  for (object_node* n = node; n->parent && !layer_rect_empty(rect); n = n->parent) {
    cg_record* own = layer_record(n);
    cg_record* parent = layer_record(n->parent);
    if (!own || !parent) break;
    rect = layer_rect_offset(rect, own->x, own->y);
    // What misses an ancestor is not shown above it either.
    if (union_dirty_rect(rect, parent, parent->width == 0 || parent->height == 0) != 0) break;
  }
}

void mark_sharers(object_node* parent, const object_node* except, cg_record* record) {
  for (object_node* c = parent->first_child; c; c = c->next_sibling) {
    if (c != except && c->kind_record == record) mark_one_node(c, record);
    if (c->first_child) mark_sharers(c, except, record);
  }
}

}  // namespace

int mark_layer_dirty(object_node* node) {
  cg_record* record = layer_record(node);
  if (!record) return -1;
  ++record->picture_version;
  mark_one_node(node, record);
  // Every node that shows a shared record shows the change.
  if (record->use_count > 1 && object_trees[tree_layers].root)
    mark_sharers(object_trees[tree_layers].root, node, record);
  return 0;
}

void accumulate_present_rect(cg_record* layer) {
  if (!layer) return;
  if (layer->full_redraw) {
    layer->full_redraw = 0;
    layer->present_rect = whole_rect(layer);
    return;
  }
  layer_rect_union(layer->present_rect, layer->dirty_rect);
  layer->present_rect = layer_rect_intersect(layer->present_rect, whole_rect(layer));
}

int take_present_rect(cg_record* layer, layer_rect& out) {
  out = empty_layer_rect;
  if (!layer) return -1;
  out = layer_rect_intersect(layer->present_rect, whole_rect(layer));
  layer->present_rect = empty_layer_rect;
  return layer_rect_empty(out) ? -1 : 0;
}

void clip_blit_rects(blit_rect& b) {
  auto axis = [](int64_t p, int64_t n, int64_t c, int64_t k, int32_t& offset, int32_t& dst, int32_t& len) {
    int64_t e = p + n, f = c + k;
    if (p < c && e > f) {
      offset = int32_t(c - p), dst = int32_t(c), len = int32_t(k);
    } else if (p < c) {
      offset = int32_t(c - p), dst = int32_t(c), len = int32_t(e - c);
    } else if (e > f) {
      offset = 0, dst = int32_t(p), len = int32_t(f - p);
    } else {
      offset = 0, dst = int32_t(p), len = int32_t(n);
    }
  };
  axis(b.dst_x, b.src_width, b.clip_x, b.clip_width, b.out_src_x, b.out_dst_x, b.out_width);
  axis(b.dst_y, b.src_height, b.clip_y, b.clip_height, b.out_src_y, b.out_dst_y, b.out_height);
}

// ---------------------------------------------------------------- row jobs

namespace {

// Argument words of kinds 101..104.
enum : int {
  arg_first_row,
  arg_end_row,
  arg_width,
  arg_dst,
  arg_dst_stride,
  arg_src,
  arg_src_stride,
  arg_mask,
  arg_mask_stride,
  arg_span,
  arg_opacity,
  arg_progress,
  arg_vagueness,
};

void run_span_rows(const worker_job& job) {
  auto span = reinterpret_cast<span_fn>(job.arg[arg_span]);
  uint8_t* dst = job.ptr<uint8_t>(arg_dst);
  const uint8_t* src = job.ptr<const uint8_t>(arg_src);
  size_t bytes = size_t(job.arg[arg_width]) * 4;
  int opacity = int(job.arg[arg_opacity]);
  const intptr_t end = job.arg[arg_end_row], src_stride = job.arg[arg_src_stride];
  for (intptr_t r = job.arg[arg_first_row]; r < end; ++r) {
    // Narrow rows far apart defeat the hardware prefetcher: ask for the
    // source rows two ahead while this one blends.
    if (bytes <= 1024 && r + 2 < end)
      for (size_t b = 0; b < bytes; b += 64) __builtin_prefetch(src + (r + 2) * src_stride + b);
    span(dst + r * job.arg[arg_dst_stride], src + r * src_stride, opacity, bytes);
  }
}

void run_rule_rows(const worker_job& job) {
  auto span = reinterpret_cast<span_rule_fn>(job.arg[arg_span]);
  uint8_t* dst = job.ptr<uint8_t>(arg_dst);
  const uint8_t* src = job.ptr<const uint8_t>(arg_src);
  const uint8_t* mask = job.ptr<const uint8_t>(arg_mask);
  size_t bytes = size_t(job.arg[arg_width]) * 4;
  int progress = int(job.arg[arg_progress]), vagueness = int(job.arg[arg_vagueness]);
  for (intptr_t r = job.arg[arg_first_row]; r < job.arg[arg_end_row]; ++r)
    span(dst + r * job.arg[arg_dst_stride], src + r * job.arg[arg_src_stride], mask + r * job.arg[arg_mask_stride],
         progress, vagueness, bytes);
}

bool jobs_registered = false;

// Below this many pixels a layer (or batch) is blended on the posting thread:
// the hand-over to the workers would cost more than it saves.
constexpr int64_t pixels_per_band_min = 16384;

}  // namespace

void register_compositor_jobs() {
  register_worker_job_kind(job_composite, run_span_rows);
  register_worker_job_kind(job_composite_mask, run_rule_rows);
  register_worker_job_kind(job_composite_alpha, run_span_rows);
  register_worker_job_kind(job_composite_mask_kernel, run_rule_rows);
  jobs_registered = true;
}

void dispatch_row_jobs(int kind, const composite_geometry& g, void* span, int opacity, int progress, int vagueness,
                       int workers) {
  if (!span || g.width < 1 || g.height < 1) return;
  if (!jobs_registered) register_compositor_jobs();
  int n = std::clamp(workers, 1, std::max(1, int(worker_pool.worker_count)));
  n = std::min(n, g.height);
  auto fill = [&](worker_job& job, int i) {
    job.arg[arg_first_row] = row_band_first(i, g.height, n);
    job.arg[arg_end_row] = row_band_last(i, g.height, n);
    job.arg[arg_width] = g.width;
    job.set_ptr(arg_dst, g.dst);
    job.arg[arg_dst_stride] = intptr_t(g.dst_stride);
    job.set_ptr(arg_src, g.src);
    job.arg[arg_src_stride] = intptr_t(g.src_stride);
    job.set_ptr(arg_mask, g.mask);
    job.arg[arg_mask_stride] = intptr_t(g.mask_stride);
    job.arg[arg_span] = reinterpret_cast<intptr_t>(span);
    job.arg[arg_opacity] = opacity;
    job.arg[arg_progress] = progress;
    job.arg[arg_vagueness] = vagueness;
  };
  if (n == 1) {
    // One band: no hand-over, the same work on this thread.
    worker_job job;
    job.kind = kind;
    fill(job, 0);
    if (!quit_flag) run_worker_job(job);
    return;
  }
  dispatch_worker_jobs(kind, n, fill);
}

// ---------------------------------------------------------------- draw batches

namespace {

// Consecutive layers blended into the same picture are posted together, with
// the clear of the area before them: the picture's rows are cut into chunks of
// a few rows, and every thread (the workers and the poster) takes the next
// chunk not yet taken and applies the clear and every layer of the batch to it
// in order. Every pixel still sees the layers in order, so the result is the
// one of posting them one by one, whatever thread draws which chunk; the rows
// being drawn stay in the cache while all layers pass over them instead of the
// whole picture streaming through memory once per layer. Chunks taken on
// demand keep all threads busy to the end even when one starts late or is
// preempted, where fixed bands would wait for the slowest.
constexpr int op_clear = 0;  // kind of a draw_op that zeroes its rows

struct draw_op {
  int kind = 0;
  composite_geometry g;
  int64_t first_row = 0;  // the picture row of g's first row
  void* span = nullptr;
  int opacity = 256, progress = 256, vagueness = 0;
};

struct draw_batch {
  std::vector<draw_op> ops;
  const uint8_t* target = nullptr;
  bool has_rule = false;  // rule_table belongs to the one masked op
  int64_t row_min = 0, row_max = 0;
  int64_t pixels = 0;
  int32_t widest = 0;  // pixels of the widest op's rows
  // Set by flush_batch before the threads start.
  int64_t chunk_rows = 1, chunk_count = 0;
  std::atomic<int64_t> next_chunk{0};
};
draw_batch pending;

// About this many bytes of picture rows per chunk: with a layer's source rows
// beside them they stay well inside a core's L2 cache.
constexpr int64_t chunk_bytes = 128 * 1024;
// Each thread should get several chunks, so that ones that finish early can
// take over the rest.
constexpr int64_t chunks_per_thread_min = 4;

void run_op_rows(const draw_op& op, int64_t r0, int64_t r1) {
  if (op.kind == op_clear) {
    size_t bytes = size_t(op.g.width) * 4;
    for (int64_t r = r0 - op.first_row; r < r1 - op.first_row; ++r)
      pixel_kernels.kernel_fill_zero(op.g.dst + r * op.g.dst_stride, bytes);
    return;
  }
  worker_job job;
  job.kind = op.kind;
  job.arg[arg_first_row] = intptr_t(r0 - op.first_row);
  job.arg[arg_end_row] = intptr_t(r1 - op.first_row);
  job.arg[arg_width] = op.g.width;
  job.set_ptr(arg_dst, op.g.dst);
  job.arg[arg_dst_stride] = intptr_t(op.g.dst_stride);
  job.set_ptr(arg_src, op.g.src);
  job.arg[arg_src_stride] = intptr_t(op.g.src_stride);
  job.set_ptr(arg_mask, op.g.mask);
  job.arg[arg_mask_stride] = intptr_t(op.g.mask_stride);
  job.arg[arg_span] = reinterpret_cast<intptr_t>(op.span);
  job.arg[arg_opacity] = op.opacity;
  job.arg[arg_progress] = op.progress;
  job.arg[arg_vagueness] = op.vagueness;
  if (op.kind == job_composite || op.kind == job_composite_alpha)
    run_span_rows(job);
  else
    run_rule_rows(job);
}

// Batch job: arg 0 = the batch. Draws chunks until none is left.
void run_batch_chunks(const worker_job& job) {
  auto* batch = job.ptr<draw_batch>(0);
  for (;;) {
    int64_t chunk = batch->next_chunk.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= batch->chunk_count) return;
    int64_t c0 = batch->row_min + chunk * batch->chunk_rows;
    int64_t c1 = std::min(c0 + batch->chunk_rows, batch->row_max);
    for (const draw_op& op : batch->ops) {
      int64_t r0 = std::max(c0, op.first_row), r1 = std::min(c1, op.first_row + op.g.height);
      if (r0 < r1) run_op_rows(op, r0, r1);
    }
  }
}

bool batch_registered = false;

void flush_batch() {
  if (pending.ops.empty()) return;
  if (!batch_registered) {
    register_worker_job_kind(job_composite_batch, run_batch_chunks);
    batch_registered = true;
  }
  if (pending.ops.size() == 1 && pending.ops[0].kind != op_clear) {
    const draw_op& op = pending.ops[0];
    int64_t px = int64_t(op.g.width) * op.g.height;
    dispatch_row_jobs(op.kind, op.g, op.span, op.opacity, op.progress, op.vagueness,
                      px >= pixels_per_band_min ? worker_max : 1);
  } else {
    int64_t rows = pending.row_max - pending.row_min;
    // The poster draws chunks too instead of only waiting.
    int workers = pending.pixels >= pixels_per_band_min ? int(worker_pool.worker_count) : 0;
    int64_t threads = workers + 1;
    int64_t chunk = std::max<int64_t>(1, chunk_bytes / (int64_t(std::max(pending.widest, 1)) * 4));
    if (threads > 1) chunk = std::min(chunk, std::max<int64_t>(1, rows / (threads * chunks_per_thread_min)));
    pending.chunk_rows = chunk;
    pending.chunk_count = (rows + chunk - 1) / chunk;
    pending.next_chunk.store(0, std::memory_order_relaxed);
    workers = int(std::min<int64_t>(workers, pending.chunk_count - 1));
    // Every worker is started before the poster waits for any of them.
    for (int i = 0; i < workers; ++i) {
      worker_job& job = worker_job_record(i);
      job.kind = job_composite_batch;
      job.set_ptr(0, &pending);
      start_worker_job(i);
    }
    worker_job own;
    own.kind = job_composite_batch;
    own.set_ptr(0, &pending);
    if (!quit_flag) run_batch_chunks(own);
    for (int i = 0; i < workers; ++i) wait_worker_ack(i);
    for (int i = 0; i < workers; ++i) wait_worker_done(i);
  }
  pending.ops.clear();
  pending.has_rule = false;
  pending.target = nullptr;
  pending.pixels = 0;
  pending.widest = 0;
}

void add_draw_op(const draw_op& op, const uint8_t* target) {
  if (!pending.ops.empty() && pending.target != target) flush_batch();
  if (pending.ops.empty()) {
    pending.target = target;
    pending.row_min = op.first_row;
    pending.row_max = op.first_row + op.g.height;
  } else {
    pending.row_min = std::min(pending.row_min, op.first_row);
    pending.row_max = std::max(pending.row_max, op.first_row + op.g.height);
  }
  // A clear costs little beside a blend: only blended pixels decide whether
  // waking the workers pays.
  if (op.kind != op_clear) pending.pixels += int64_t(op.g.width) * op.g.height;
  pending.widest = std::max(pending.widest, op.g.width);
  if (op.kind == job_composite_mask || op.kind == job_composite_mask_kernel) pending.has_rule = true;
  pending.ops.push_back(op);
}

}  // namespace

// ---------------------------------------------------------------- the composite

namespace {

struct composite_context {
  bool flatten = false;
  int window_index = -1;
  cg_record* target = nullptr;  // flattening: the window root's record
};

bool has_mask_path(const cg_record* r) { return !r->mask_path.empty(); }

// Drawn by the CPU compositor at all (groups are decided by their caller).
bool child_drawn(const cg_record* r) {
  return r->visible && r->alpha > 0 && !(has_mask_path(r) && r->rule_progress <= 0) && !r->texture_requested;
}

// The child hides everything below it inside `area`. Only a child that is
// really blended counts: not a texture-backed one, not a group while
// flattening (its own picture is not drawn then), not one without pixels.
bool child_covers(const composite_context& ctx, const object_node* child, const layer_rect& area) {
  const cg_record* r = layer_record(child);
  if (!r || !r->pixels || r->width <= 0 || r->height <= 0) return false;
  if (r->texture_requested || (ctx.flatten && child->is_group)) return false;
  if (!r->visible || r->blend_mode != blend_normal || r->alpha != 256 || r->alpha_in_use) return false;
  if (has_mask_path(r) && r->rule_progress < 256) return false;
  return layer_rect_contains(layer_rect_at(r->x, r->y, r->width, r->height), area);
}

std::string layer_display_name(const object_node* node) { return node ? node->name : std::string(); }

// The pixels to blend for a toned or monochrome layer: the effect result of the
// base pixels, cached by tone, strength and picture version, so a record drawn
// twice in a frame is toned once and neutral values show the base again.
const uint8_t* effect_pixels(cg_record* r) {
  const cg_record::effect_key& k = r->effect;
  if (k.valid && r->work_pixels && k.colour_tone == r->colour_tone && k.monochrome == r->monochrome &&
      k.picture_version == r->picture_version && k.pixels == r->pixels && k.width == r->width &&
      k.height == r->height)
    return r->work_pixels;
  // A batched layer may still read the buffer about to be refilled.
  flush_batch();
  int w = r->width, h = r->height;
  if (w > cg_max_width) {
    static const std::string too_large = utf8_to_sjis("ＣＧサイズが大きすぎます。X=%d, Y=%d");
    write_info_log("ERR", too_large, w, h);
    report_error(100010, 1);
    return nullptr;
  }
  if (!r->work_pixels || r->work_width != w || r->work_height != h) {
    release_effect_buffer(r);
    size_t bytes = size_t(w) * 4 * size_t(h) + size_t(w) * 4 + 4;
    r->work_pixels = static_cast<uint8_t*>(std::malloc(bytes));
    if (!r->work_pixels) {
      static const std::string no_memory = utf8_to_sjis("メモリ確保エラーです。[%s](%d, %d)");
      write_info_log("ERR", no_memory, "", w, h);
      report_error_fmt(104030, 1, std::string());
      return nullptr;
    }
    r->work_width = w;
    r->work_height = h;
  }
  if (r->colour_tone != int32_t(neutral_colour_tone))
    apply_colour_tone(r->work_pixels, r->pixels, 0, 0, w - 1, h - 1, w, w, uint32_t(r->colour_tone));
  else
    pixel_kernels.kernel_copy(r->work_pixels, r->pixels, size_t(w) * 4 * size_t(h));
  if (r->monochrome != neutral_monochrome)
    apply_monochrome(r->work_pixels, r->work_pixels, 0, 0, w - 1, h - 1, w, w, r->monochrome);
  r->effect.valid = 1;
  r->effect.colour_tone = r->colour_tone;
  r->effect.monochrome = r->monochrome;
  r->effect.picture_version = r->picture_version;
  r->effect.pixels = r->pixels;
  r->effect.width = w;
  r->effect.height = h;
  ++compositor_stats.effect_fills;
  return r->work_pixels;
}

// The mask layer of a child, or null for none (no path, a missing layer, or a
// layer without pixels). -1 when the path cannot be resolved.
int find_mask_layer(const cg_record* r, object_node** out) {
  *out = nullptr;
  std::string path;
  int kind = resolve_object_path(path, r->mask_path, object_current_path(tree_layers), 1);
  if (kind < 0) return -1;
  object_node* root = object_trees[tree_layers].root;
  if (!root || path.empty()) return 0;
  object_node* found = find_object_by_path(root, path, kind == 1 ? find_group : find_leaf);
  const cg_record* m = layer_record(found);
  if (m && m->pixels) *out = found;
  return 0;
}

int blend_child(cg_record* target, int64_t ox, int64_t oy, const layer_rect& area,
                object_node* child) {
  cg_record* r = layer_record(child);
  if (!child_drawn(r)) return 0;
  layer_rect draw = layer_rect_intersect(layer_rect_at(r->x, r->y, r->width, r->height), area);
  if (layer_rect_empty(draw)) return 0;

  object_node* mask_node = nullptr;
  if (has_mask_path(r) && r->rule_progress < 256 && find_mask_layer(r, &mask_node) != 0) return -1;
  const cg_record* mask = layer_record(mask_node);
  if (!r->pixels) return 0;

  const uint8_t* src = r->pixels;
  if (r->colour_tone != int32_t(neutral_colour_tone) || r->monochrome != neutral_monochrome) {
    src = effect_pixels(r);
    if (!src) return -1;
  }

  int opacity = std::clamp<int>(r->alpha, 0, 256);
  int progress = std::clamp<int>(r->rule_progress, 0, 256);
  int vagueness = std::clamp<int>(r->vagueness, 0, 256);
  bool use_mask = mask && progress < 256;
  if (use_mask && (mask->width != r->width || mask->height != r->height)) {
    report_error_fmt(100310, 1, layer_display_name(child), r->width, r->height, layer_display_name(mask_node),
                     mask->width, mask->height);
    return -1;
  }
  int kind;
  void* span;
  if (r->alpha_in_use) {
    if (use_mask) {
      kind = job_composite_mask_kernel;
      span = reinterpret_cast<void*>(select_span_rule_alpha(r->blend_mode, opacity));
    } else {
      kind = job_composite_alpha;
      span = reinterpret_cast<void*>(select_span_alpha(r->blend_mode, opacity));
    }
  } else if (!use_mask) {
    kind = job_composite;
    span = reinterpret_cast<void*>(select_span_opacity(r->blend_mode, opacity));
  } else {
    kind = job_composite_mask;
    span = reinterpret_cast<void*>(select_span_rule(r->blend_mode, opacity));
  }
  if (!span) return 0;  // a mode outside 0..18 is not drawn
  if (use_mask) {
    if (pending.has_rule) flush_batch();  // rule_table serves one masked layer at a time
    build_rule_table(opacity, progress, vagueness);
  }

  int64_t sx = draw.x0 - r->x, sy = draw.y0 - r->y;
  int64_t dx = draw.x0 + ox, dy = draw.y0 + oy;  // target coordinates
  composite_geometry g;
  g.width = int32_t(draw.x1 - draw.x0 + 1);
  g.height = int32_t(draw.y1 - draw.y0 + 1);
  g.dst_stride = int64_t(target->width) * 4;
  g.dst = target->pixels + dy * g.dst_stride + dx * 4;
  g.src_stride = int64_t(r->width) * 4;
  g.src = src + sy * g.src_stride + sx * 4;
  if (use_mask) {
    g.mask_stride = int64_t(mask->width) * 4;
    g.mask = mask->pixels + sy * g.mask_stride + sx * 4;
  }
  draw_op op;
  op.kind = kind;
  op.g = g;
  op.first_row = dy;
  op.span = span;
  op.opacity = opacity;
  op.progress = progress;
  op.vagueness = vagueness;
  add_draw_op(op, target->pixels);
  r->this_frame = 1;
  ++compositor_stats.layers_blended;
  compositor_stats.rows_blended += uint64_t(g.height);
  return 0;
}

int composite_node(const composite_context& ctx, object_node* node, int nested, int depth, int64_t ox, int64_t oy,
                   const layer_rect& clip) {
  cg_record* rec = layer_record(node);
  if (!rec) return 0;
  bool zero = ctx.flatten && (rec->width <= 0 || rec->height <= 0);
  if (!zero && !rec->pixels) return 0;
  rec->alpha_in_use = ctx.flatten ? 1 : uint8_t(nested ? 0 : 1);
  // Below the top every group is redrawn over the caller's area: its own dirty
  // rectangle says nothing about what the caller cleared.
  if (!zero && depth == 0 && !rec->dirty_flag) return 0;

  layer_rect area;
  if (zero) {
    area = clip;
  } else if (depth > 0) {
    area = layer_rect_intersect(clip, whole_rect(rec));
  } else {
    area = layer_rect_intersect(layer_rect_intersect(rec->dirty_rect, clip), whole_rect(rec));
    rec->dirty_rect = area;
    rec->dirty_flag = layer_rect_empty(area) ? 0 : 1;
    accumulate_present_rect(rec);
  }
  if (layer_rect_empty(area)) return 0;

  object_node* start = node->first_child;
  bool covered = false;
  if (!zero) {
    for (object_node* c = node->last_child; c; c = c->prev_sibling)
      if (child_covers(ctx, c, area)) {
        start = c;
        covered = true;
        break;
      }
  }
  if (!covered && !zero && !(ctx.flatten && depth > 0)) {
    // Cleared chunk by chunk with the layers above, while the rows are cached.
    draw_op clear;
    clear.kind = op_clear;
    clear.g.width = int32_t(area.x1 - area.x0 + 1);
    clear.g.height = int32_t(area.y1 - area.y0 + 1);
    clear.g.dst_stride = int64_t(rec->width) * 4;
    clear.g.dst = rec->pixels + area.y0 * clear.g.dst_stride + area.x0 * 4;
    clear.first_row = area.y0;
    add_draw_op(clear, rec->pixels);
    ++compositor_stats.clears;
  }

  cg_record* target = ctx.flatten ? ctx.target : rec;
  int64_t tx = ctx.flatten ? ox : 0, ty = ctx.flatten ? oy : 0;
  for (object_node* c = start; c; c = c->next_sibling) {
    cg_record* cr = layer_record(c);
    if (!cr) continue;
    if (c->is_group) {
      // A hidden group hides its whole subtree.
      if (!cr->visible || cr->alpha <= 0) continue;
      layer_rect child_clip = layer_rect_offset(area, -cr->x, -cr->y);
      int result = composite_node(ctx, c, 1, depth + 1, layer_coord_add(ox, cr->x), layer_coord_add(oy, cr->y), child_clip);
      if (result != 0) return result;
      if (ctx.flatten) continue;
    }
    if (blend_child(target, tx, ty, area, c) != 0) return -1;
  }
  // A group's picture is complete before its parent blends it.
  flush_batch();
  return 0;
}

}  // namespace

int composite_layer_tree(object_node* node, int window_index, int nested, int depth, int64_t origin_x,
                         int64_t origin_y, int64_t clip_x0, int64_t clip_y0, int64_t clip_x1, int64_t clip_y1,
                         int standalone) {
  cg_record* rec = layer_record(node);
  if (!rec) return 0;
  composite_context ctx;
  ctx.window_index = window_index;
  ctx.flatten = window_index != -1 && !standalone;
  if (ctx.flatten) {
    object_node* root = node;
    if (depth > 0 && window_index >= 0 && window_index < layer_window_count)
      root = layer_links.windows[window_index].attached_layer;
    ctx.target = layer_record(root);
    if (!ctx.target || !ctx.target->pixels || ctx.target->width <= 0 || ctx.target->height <= 0) return 0;
  }
  layer_rect clip{clip_x0, clip_y0, clip_x1, clip_y1};
  int result =
      composite_node(ctx, node, nested, depth, origin_x, origin_y, layer_rect_empty(clip) ? empty_layer_rect : clip);
  // After an error the layers before the failing one are still drawn.
  flush_batch();
  return result;
}

int render_window(int window) {
  if (window < 0 || window >= layer_window_count) return quit_flag;
  layer_window_link& link = layer_links.windows[window];
  object_node* root = link.attached_layer;
  cg_record* rec = layer_record(root);
  if (!rec || !link.kind || !rec->visible) return quit_flag;
  link.drawn_this_frame = 1;
  if (!rec->redraw_pending) return quit_flag;
  if (window == 0 && compositor_hooks.take_gpu_scene_dirty && compositor_hooks.take_gpu_scene_dirty()) {
    rec->full_redraw = 1;
    layer_rect whole = whole_rect(rec);
    union_dirty_rect(whole, rec, 0);
    if (compositor_hooks.render_gpu_frame && compositor_hooks.render_gpu_frame() != 0) return -1;
  }
  if (composite_layer_tree(root, window, 0, 0, 0, 0, 0, 0, int64_t(rec->width) - 1, int64_t(rec->height) - 1, 0) != 0)
    return -1;
  return quit_flag;
}
