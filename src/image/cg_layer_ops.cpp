#include "image/cg_layer_ops.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/error_report.h"
#include "core/window_state.h"
#include "core/info_log.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/pixel_kernels.h"
#include "image/cg_ops_util.h"
#include "image/cg_picture.h"

cg_gpu_hook_table cg_gpu_hooks;

namespace {

// The overlap of a picture placed at (x, y) on another: source and
// destination offsets and the size; empty when nothing overlaps.
struct overlap {
  int sx = 0, sy = 0, dx = 0, dy = 0, w = 0, h = 0;
  bool empty() const { return w < 1 || h < 1; }
};

overlap place(const cg_record* src, const cg_record* dst, int64_t x, int64_t y) {
  // Far positions only ever miss. The overlap's lengths come back as 32-bit
  // values, so clamp to where a miss still measures as one.
  constexpr int64_t far = int64_t{1} << 30;
  blit_rect b;
  b.dst_x = cg_ops::clamp64(x, -far, far);
  b.dst_y = cg_ops::clamp64(y, -far, far);
  b.src_width = src->width;
  b.src_height = src->height;
  b.clip_x = 0;
  b.clip_y = 0;
  b.clip_width = dst->width;
  b.clip_height = dst->height;
  clip_blit_rects(b);
  overlap o;
  if (b.out_width < 1 || b.out_height < 1) return o;
  o.sx = b.out_src_x, o.sy = b.out_src_y, o.dx = b.out_dst_x, o.dy = b.out_dst_y;
  o.w = b.out_width, o.h = b.out_height;
  return o;
}

// Rows of a source picture over an overlap: the picture itself, or a copy of
// the overlap when the picture is also written.
struct source_rows {
  const uint8_t* base = nullptr;
  size_t stride = 0;
  std::vector<uint8_t> copy;

  void take(const cg_record* src, int sx, int sy, int w, int h, const cg_record* written) {
    stride = size_t(src->width) * 4;
    base = src->pixels + size_t(sy) * stride + size_t(sx) * 4;
    const size_t src_bytes = cg_ops::block_bytes(src->width, src->height);
    const size_t dst_bytes = cg_ops::block_bytes(written->width, written->height);
    if (!cg_ops::blocks_overlap(src->pixels, src_bytes, written->pixels, dst_bytes)) return;
    copy.resize(size_t(w) * 4 * size_t(h));
    for (int r = 0; r < h; ++r)
      std::memcpy(copy.data() + size_t(r) * size_t(w) * 4, base + size_t(r) * stride, size_t(w) * 4);
    base = copy.data();
    stride = size_t(w) * 4;
  }
  const uint8_t* row(int r) const { return base + size_t(r) * stride; }
};

inline uint8_t* dst_row(cg_record* dst, const overlap& o, int r) {
  return dst->pixels + (size_t(o.dy + r) * size_t(dst->width) + size_t(o.dx)) * 4;
}

void pixels_changed(object_node* node) {
  note_layer_pixels_changed(layer_record(node));
  mark_layer_dirty(node);
}

inline int clamp_weight(int64_t v) { return int(cg_ops::clamp64(v, 0, 256)); }

// The per-pixel compare copies: keep_equal false gives the difference copy,
// true the common-pixels copy.
int compare_copy(object_node* first, object_node* second, int64_t x, int64_t y, bool keep_equal) {
  cg_record* a = cg_ops::picture_record(first);
  cg_record* b = cg_ops::picture_record(second);
  if (!a || !b) return 0;
  b->alpha_in_use = 1;
  const overlap o = place(a, b, x, y);
  if (o.empty()) return 0;
  source_rows src;
  src.take(a, o.sx, o.sy, o.w, o.h, b);
  for (int r = 0; r < o.h; ++r) {
    const uint8_t* s = src.row(r);
    uint8_t* d = dst_row(b, o, r);
    for (int i = 0; i < o.w; ++i) {
      uint32_t sv, dv;
      std::memcpy(&sv, s + size_t(i) * 4, 4);
      std::memcpy(&dv, d + size_t(i) * 4, 4);
      const uint32_t out = keep_equal ? (sv == dv ? dv : 0u) : (sv == dv ? 0u : sv);
      std::memcpy(d + size_t(i) * 4, &out, 4);
    }
  }
  pixels_changed(second);
  return 0;
}

}  // namespace

int blit_cg_rect(object_node* first, object_node* second, int64_t x, int64_t y) {
  cg_record* a = cg_ops::picture_record(first);
  cg_record* b = cg_ops::picture_record(second);
  if (!a || !b) return 0;
  const int a1 = clamp_weight(a->alpha);
  if (a1 == 0) return 0;
  b->alpha_in_use = 1;
  const overlap o = place(a, b, x, y);
  if (o.empty()) return 0;
  source_rows src;
  src.take(a, o.sx, o.sy, o.w, o.h, b);
  const size_t n = size_t(o.w) * 4;
  for (int r = 0; r < o.h; ++r) {
    if (a1 == 256)
      pixel_kernels.kernel_alpha_over(dst_row(b, o, r), src.row(r), n);
    else
      pixel_kernels.kernel_alpha_over_opacity(dst_row(b, o, r), src.row(r), a1, n);
  }
  pixels_changed(second);
  return 0;
}

int blit_cg_rect_faded(object_node* first, object_node* second, int64_t x, int64_t y) {
  cg_record* a = cg_ops::picture_record(first);
  cg_record* b = cg_ops::picture_record(second);
  if (!a || !b) return 0;
  b->alpha_in_use = 1;
  // Both weights feed (x * w) >> 8 kernels: outside 0..256 they would invert
  // or overflow the mix.
  const int fade = clamp_weight(b->alpha);
  const int a1 = clamp_weight(a->alpha);
  const overlap o = place(a, b, x, y);
  if (o.empty()) return 0;
  source_rows src;
  src.take(a, o.sx, o.sy, o.w, o.h, b);
  const size_t n = size_t(o.w) * 4;
  for (int r = 0; r < o.h; ++r) {
    if (a1 == 256)
      pixel_kernels.kernel_alpha_over_fade(dst_row(b, o, r), src.row(r), fade, n);
    else
      pixel_kernels.kernel_alpha_over_weighted(dst_row(b, o, r), src.row(r), fade, a1, n);
  }
  pixels_changed(second);
  return 0;
}

int mix_cg_rects(object_node* first, object_node* second, object_node* third, int64_t x, int64_t y, int64_t value) {
  cg_record* c = layer_record(third);
  if (!c) return 0;
  c->alpha_in_use = 1;
  cg_record* a = cg_ops::picture_record(first);
  cg_record* b = cg_ops::picture_record(second);
  if (!a || !b || !cg_ops::picture_record(third)) return 0;
  const int w = clamp_weight(value < 256 ? value + 1 : 256);
  overlap o = place(a, c, x, y);
  // The second picture is read at the first picture's offsets.
  o.w = std::min(o.w, b->width - o.sx);
  o.h = std::min(o.h, b->height - o.sy);
  if (o.empty()) return 0;
  source_rows s1, s2;
  s1.take(a, o.sx, o.sy, o.w, o.h, c);
  s2.take(b, o.sx, o.sy, o.w, o.h, c);
  const size_t n = size_t(o.w) * 4;
  for (int r = 0; r < o.h; ++r) pixel_kernels.kernel_mix_two(dst_row(c, o, r), s1.row(r), s2.row(r), w, n);
  pixels_changed(third);
  return 0;
}

int diff_cg_rect(object_node* first, object_node* second, int64_t x, int64_t y) {
  return compare_copy(first, second, x, y, false);
}

int common_cg_rect(object_node* first, object_node* second, int64_t x, int64_t y) {
  return compare_copy(first, second, x, y, true);
}

int trim_cg_transparent_edges(object_node* first, object_node* second, int n, int side_flags) {
  cg_record* a = cg_ops::picture_record(first);
  if (!a) return 0;
  object_node* to_node = n >= 1 ? second : first;
  cg_record* to = layer_record(to_node);
  if (!to) return 0;
  mark_layer_dirty(to_node);
  const int W = a->width, H = a->height;
  const size_t stride = size_t(W) * 4;
  int left = W, right = -1, top = H, bottom = -1;
  for (int y = 0; y < H; ++y) {
    const uint8_t* row = a->pixels + size_t(y) * stride;
    int first_x = -1, last_x = -1;
    for (int x = 0; x < W; ++x) {
      if (row[size_t(x) * 4 + 3] == 0) continue;
      if (first_x < 0) first_x = x;
      last_x = x;
    }
    if (first_x < 0) continue;
    left = std::min(left, first_x);
    right = std::max(right, last_x);
    top = std::min(top, y);
    bottom = y;
  }
  const int flags = side_flags & 15;
  // No visible pixel means no box to cut to: leave the picture as it is
  // rather than cut to a box of negative size.
  if (right < 0 && flags != 0) return 0;
  if (!(flags & trim_top)) top = 0;
  if (!(flags & trim_bottom)) bottom = H - 1;
  if (!(flags & trim_left)) left = 0;
  if (!(flags & trim_right)) right = W - 1;
  const int w = right - left + 1, h = bottom - top + 1;
  const uint8_t alpha = a->alpha_in_use;
  auto copy_box = [&](uint8_t* dst) {
    for (int r = 0; r < h; ++r)
      pixel_kernels.kernel_copy(dst + size_t(r) * size_t(w) * 4,
                                a->pixels + size_t(top + r) * stride + size_t(left) * 4, size_t(w) * 4);
  };
  if (n >= 1 && to->pixels && to->width == w && to->height == h) {
    // The second layer already has the size. When it is the first picture
    // itself the box is the whole picture: nothing moves.
    if (to->pixels != a->pixels) copy_box(to->pixels);
    to->alpha_in_use = alpha;
    pixels_changed(to_node);
    return 0;
  }
  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, w, h, std::string()) != 0) return -1;
  copy_box(fresh.pixels);
  commit_cg_buffer(to, fresh, to_node);
  to->alpha_in_use = alpha;
  return 0;
}

int resize_cg_canvas(object_node* first, object_node* second, int n, int64_t left, int64_t right, int64_t top,
                     int64_t bottom) {
  cg_record* a = cg_ops::picture_record(first);
  if (!a) return 0;
  object_node* to_node = n >= 1 ? second : first;
  cg_record* to = layer_record(to_node);
  if (!to) return 0;
  mark_layer_dirty(to_node);
  using wide = __int128;
  const int W = a->width, H = a->height;
  // Margins are free 64-bit values: sizes and copy bounds in 128 bits.
  const wide nw = wide(W) + left + right, nh = wide(H) + top + bottom;
  if (nw <= 0 || nh <= 0) {
    static const std::string text = utf8_to_sjis("リサイズ後のサイズが不正です。");
    show_message_box("", text);
    return -1;
  }
  const int64_t bw = nw > wide(max_picture_width) + 1 ? int64_t{max_picture_width} + 1 : int64_t(nw);
  const int64_t bh = nh > wide(max_decoded_picture_side) + 1 ? int64_t{max_decoded_picture_side} + 1 : int64_t(nh);
  if (cg_ops::refuse_picture_size(bw, bh)) return -1;
  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, bw, bh, std::string()) != 0) return -1;
  pixel_kernels.kernel_fill_pixel(fresh.pixels, size_t(bw) * 4 * size_t(bh), transparent_pixel_value);
  const uint8_t alpha = left > 0 || right > 0 || top > 0 || bottom > 0 ? 1 : a->alpha_in_use;
  const wide sx0 = std::max<wide>(0, -wide(left)), sx1 = std::min<wide>(W - 1, wide(W) - 1 + right);
  const wide sy0 = std::max<wide>(0, -wide(top)), sy1 = std::min<wide>(H - 1, wide(H) - 1 + bottom);
  const wide dx = std::max<wide>(0, left), dy = std::max<wide>(0, top);
  // A cut larger than the picture leaves no source column or row.
  const wide cols = std::min<wide>(sx1 - sx0 + 1, bw - dx), rows = std::min<wide>(sy1 - sy0 + 1, bh - dy);
  if (cols > 0 && rows > 0) {
    const size_t src_stride = size_t(W) * 4, dst_stride = size_t(bw) * 4;
    for (wide r = 0; r < rows; ++r)
      pixel_kernels.kernel_copy(fresh.pixels + size_t(dy + r) * dst_stride + size_t(dx) * 4,
                                a->pixels + size_t(sy0 + r) * src_stride + size_t(sx0) * 4, size_t(cols) * 4);
  }
  commit_cg_buffer(to, fresh, to_node);
  to->alpha_in_use = alpha;
  return 0;
}

int refresh_cg_textures(object_node* first, object_node* second) {
  cg_record* a = layer_record(first);
  if (!a) return 0;
  const cg_record* b = layer_record(second);
  int rc = -1;  // CPU drawing: there are no textures to refresh
  if (cg_gpu_hooks.upload_layer_textures)
    rc = cg_gpu_hooks.upload_layer_textures(a, b ? b->width : 0, b ? b->height : 0, b);
  if (rc != 0) write_info_log("", "KX_PASTESPRITE Error.");
  return 0;
}

int capture_screen_to_cg(object_node* first, object_node* second) {
  if (!cg_gpu_hooks.draw_layer_offscreen || !cg_gpu_hooks.read_back_buffer_with_tone) {
    write_info_log("", "KX_D3DDevice Error.");
    return 0;
  }
  if (cg_gpu_hooks.draw_layer_offscreen(first) != 0) return 0;
  cg_record* to = layer_record(second);
  const window_state* main = game_window_record(0);
  if (!to || !main) return 0;  // nothing to receive the picture
  const int64_t w = main->logical_width, h = main->logical_height;
  if (cg_ops::refuse_picture_size(w, h)) return -1;
  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, w, h, std::string()) != 0) return -1;
  std::memset(fresh.pixels, 0, size_t(w) * 4 * size_t(h));
  // The one call into the GPU read-back. When it copied nothing the layer
  // keeps its picture instead of receiving a blank or stale one.
  if (cg_gpu_hooks.read_back_buffer_with_tone(fresh.pixels, int(w), int(h)) != 0) {
    free_picture_buffer(fresh);
    return 0;
  }
  commit_cg_buffer(to, fresh, second);
  return 0;
}
