// Layer records, their sharing and the layer node operations.
#include "graphics/layer_record.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/error_report.h"
#include "core/info_log.h"
#include "graphics/layer_changes.h"
#include "core/sjis.h"
#include "format/byte_io.h"
#include "graphics/compositor.h"
#include "graphics/pixel_kernels.h"
#include "core/engine_config.h"

layer_record_hook_table layer_record_hooks;
layer_links_record layer_links;
layer_tree_size_record layer_tree_main_size;

namespace {

// The record's flags say whether any window or the message window shows a node
// that uses it; recomputed from the references, never just cleared.
void refresh_display_flags(cg_record* record, const object_node* leaving) {
  if (!record) return;
  uint8_t shown = 0, message = 0;
  for (const layer_window_link& w : layer_links.windows)
    if (w.attached_layer && w.attached_layer != leaving && layer_record(w.attached_layer) == record) shown = 1;
  if (layer_links.message_layer && layer_links.message_layer != leaving &&
      layer_record(layer_links.message_layer) == record)
    message = 1;
  record->shown_in_window = shown;
  record->is_message_layer = message;
}

void free_record_storage(cg_record* record) {
  if (layer_record_hooks.release_textures) layer_record_hooks.release_textures(record);
  if (layer_record_hooks.release_gif_frames) layer_record_hooks.release_gif_frames(record);
  std::free(record->pixel_block);
  std::free(record->work_pixels);
  record->pixel_block = record->work_pixels = nullptr;
  record->pixels = nullptr;
  delete record;
}

}  // namespace

void attach_window_layer(int window, object_node* node) {
  if (window < 0 || window >= layer_window_count) return;
  object_node* old = layer_links.windows[window].attached_layer;
  layer_links.windows[window].attached_layer = node;
  if (old) refresh_display_flags(layer_record(old), nullptr);
  if (node) refresh_display_flags(layer_record(node), nullptr);
}

void set_message_layer(object_node* node) {
  object_node* old = layer_links.message_layer;
  layer_links.message_layer = node;
  if (old) refresh_display_flags(layer_record(old), nullptr);
  if (node) refresh_display_flags(layer_record(node), nullptr);
}

// ---------------------------------------------------------------- records

int alloc_cg_record(object_node* node) {
  if (!node) return 1;
  cg_record* record = new (std::nothrow) cg_record();
  if (!record) {
    report_error(100010, 1);
    return 1;
  }
  node->kind_record = record;
  return 0;
}

cg_record* attach_new_cg_record(object_node* node) {
  if (!node || alloc_cg_record(node) != 0) return nullptr;
  return layer_record(node);
}

cg_record* share_cg_record(object_node* node, cg_record* record) {
  if (!node) return nullptr;
  node->kind_record = record;
  if (record) ++record->use_count;
  return record;
}

int alloc_layer_picture(cg_record* record, int width, int height) {
  if (!record) return -1;
  static const std::string too_large = utf8_to_sjis("ＣＧサイズが大きすぎます。X=%d, Y=%d");
  static const std::string no_memory = utf8_to_sjis("メモリ確保エラーです。[%s](%d, %d)");
  if (width > cg_max_width) {
    show_message_box("", too_large, width, height);
    report_error(100010, 1);
    return -1;
  }
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  size_t bytes = size_t(width) * 4 * size_t(height) + size_t(width) * 4 + 4;
  auto* block = static_cast<uint8_t*>(alloc_zeroed(bytes));
  if (!block) {
    write_info_log("", no_memory, "", width, height);
    report_error_fmt(104030, 1, std::string());
    return -1;
  }
  std::free(record->pixel_block);
  record->pixel_block = record->pixels = block;
  release_effect_buffer(record);
  record->width = record->loaded_width = width;
  record->height = record->loaded_height = height;
  ++record->picture_version;
  return 0;
}

void release_effect_buffer(cg_record* record) {
  if (!record) return;
  std::free(record->work_pixels);
  record->work_pixels = nullptr;
  record->work_width = record->work_height = 0;
  record->effect.valid = 0;
}

void set_cg_path(std::string& field, std::string_view text) {
  size_t end = 0;
  while (end < text.size()) {
    size_t next = sjis_next(text, end);
    if (next > cg_path_max) break;
    end = next;
  }
  field.assign(text.substr(0, end));
}

// ---------------------------------------------------------------- node operations

int swap_layer_order_keys(object_node* a, object_node* b) {
  if (!a || !b) return 0;
  uint32_t a1 = a->key1, b1 = b->key1;
  int32_t a2 = a->key2, b2 = b->key2;
  reorder_node(a, b1, b2);
  reorder_node(b, a1, a2);
  return 1;
}

int swap_layers(object_node* a, object_node* b, int mode) {
  if (!a || !b) return -1;
  mark_layer_dirty(a);
  mark_layer_dirty(b);
  swap_layer_order_keys(a, b);
  // Re-keying through rename keeps both parents' indexes in step with the new
  // names (and each node keeps its own group bit).
  std::string name_a = a->name, name_b = b->name;
  if (rename_object_node(a, name_b) != 0) return -1;
  if (rename_object_node(b, name_a) != 0) return -1;
  cg_record* ra = layer_record(a);
  cg_record* rb = layer_record(b);
  if (ra && rb && ra != rb && (mode == 1 || mode == 2)) {
    std::swap(ra->x, rb->x);
    std::swap(ra->y, rb->y);
    if (mode == 2) {
      std::swap(ra->visible, rb->visible);
      std::swap(ra->alpha, rb->alpha);
      std::swap(ra->rule_progress, rb->rule_progress);
      std::swap(ra->vagueness, rb->vagueness);
      std::swap(ra->blend_mode, rb->blend_mode);
    }
  }
  mark_layer_dirty(a);
  mark_layer_dirty(b);
  return 0;
}

int redraw_whole_cg(object_node* node) {
  cg_record* record = layer_record(node);
  // A leaf has no children: compositing it would only clear its picture.
  if (!record || !node->is_group || !record->pixels || record->width <= 0 || record->height <= 0) return 0;
  layer_rect whole{0, 0, int64_t(record->width) - 1, int64_t(record->height) - 1};
  union_dirty_rect(whole, record, 0);
  return composite_layer_tree(node, -1, 0, 0, 0, 0, 0, 0, record->width - 1, record->height - 1, 1);
}

void delete_layer_subtree(object_node* node) {
  if (!node) return;
  while (object_node* child = node->first_child) delete_layer_subtree(child);
  free_layer_node(node);
}

void free_layer_node(object_node* node) {
  if (!node) return;
  while (object_node* child = node->first_child) delete_layer_subtree(child);
  cg_record* record = layer_record(node);
  // References are compared with this node: another node sharing the record
  // keeps its window or message window.
  for (layer_window_link& w : layer_links.windows)
    if (w.attached_layer == node) w.attached_layer = nullptr;
  if (layer_links.message_layer == node) layer_links.message_layer = nullptr;
  refresh_display_flags(record, node);
  detach_node(node);
  node->kind_record = nullptr;
  if (record && record->use_count > 0 && --record->use_count == 0) free_record_storage(record);
  free_object_node(node);
}

// ---------------------------------------------------------------- the image

namespace {

void put_u8(uint8_t* out, size_t at, uint8_t v) { out[at] = v; }
// Offset forms over the shared little-endian helpers.
void put_u16(uint8_t* out, size_t at, uint16_t v) { ::put_u16(out + at, v); }
void put_u32(uint8_t* out, size_t at, uint32_t v) { ::put_u32(out + at, v); }
void put_u64(uint8_t* out, size_t at, uint64_t v) { ::put_u64(out + at, v); }
void put_i64(uint8_t* out, size_t at, int64_t v) { put_u64(out, at, static_cast<uint64_t>(v)); }
void put_rect(uint8_t* out, size_t at, const layer_rect& r) {
  put_i64(out, at, r.x0);
  put_i64(out, at + 8, r.y0);
  put_i64(out, at + 16, r.x1);
  put_i64(out, at + 24, r.y1);
}
void put_pointer(uint8_t* out, size_t at, const void* p) { put_u32(out, at, p ? 1 : 0); }
void put_float(uint8_t* out, size_t at, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  put_u32(out, at, bits);
}

uint8_t get_u8(const uint8_t* in, size_t at) { return in[at]; }
uint16_t get_u16(const uint8_t* in, size_t at) { return ::get_u16(in + at); }
uint32_t get_u32(const uint8_t* in, size_t at) { return ::get_u32(in + at); }
int64_t get_i64(const uint8_t* in, size_t at) { return static_cast<int64_t>(::get_u64(in + at)); }
layer_rect get_rect(const uint8_t* in, size_t at) {
  layer_rect r{get_i64(in, at), get_i64(in, at + 8), get_i64(in, at + 16), get_i64(in, at + 24)};
  bool old_empty = r.x0 == -layer_rect_far && r.y0 == -layer_rect_far && r.x1 == -layer_rect_far &&
                   r.y1 == -layer_rect_far;
  return old_empty || layer_rect_empty(r) ? empty_layer_rect : r;
}
float get_float(const uint8_t* in, size_t at) {
  uint32_t bits = get_u32(in, at);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

}  // namespace

void write_cg_record_image(const cg_record& r, uint8_t out[cg_record_image_size]) {
  std::memset(out, 0, cg_record_image_size);
  put_u8(out, 0, r.shown_in_window);
  put_u8(out, 1, r.is_message_layer);
  put_rect(out, 16, r.present_rect);
  put_rect(out, 48, r.dirty_rect);
  put_u8(out, 80, r.redraw_flags[0]);
  put_u8(out, 81, r.redraw_flags[1]);
  put_u32(out, 84, 1);  // the mask path buffer always exists
  put_i64(out, 88, r.use_count);
  put_i64(out, 96, r.tag1);
  put_i64(out, 104, r.tag2);
  put_i64(out, 112, r.x);
  put_i64(out, 120, r.y);
  put_u32(out, 128, uint32_t(r.monochrome));
  put_u32(out, 132, uint32_t(r.colour_tone));
  put_u32(out, 136, uint32_t(r.width));
  put_u32(out, 140, uint32_t(r.height));
  put_u8(out, 160, r.created_marker);
  put_u16(out, 162, uint16_t(r.alpha));
  put_u16(out, 164, uint16_t(r.rule_progress));
  put_u16(out, 166, uint16_t(r.vagueness));
  put_u8(out, 168, r.alpha_in_use);
  put_u8(out, 169, r.blend_mode);
  put_u8(out, 171, r.visible);
  put_pointer(out, 192, r.pixels);
  put_pointer(out, 208, r.pixel_block);
  put_pointer(out, 224, r.work_pixels);
  put_u32(out, 240, uint32_t(r.loaded_width));
  put_u32(out, 244, uint32_t(r.loaded_height));
  put_u8(out, 257, r.redraw_pending);
  put_u8(out, 258, r.gpu_flag);
  put_pointer(out, 260, r.gif_frames);
  put_u8(out, 264, r.texture_requested);
  put_i64(out, 536, r.gpu_value1);
  put_i64(out, 544, r.gpu_value2);
  put_i64(out, 552, r.scale_x);
  put_i64(out, 560, r.scale_y);
  put_i64(out, 568, r.gpu_value3);
  put_i64(out, 576, r.gpu_value4);
  for (int i = 0; i < 3; ++i) put_float(out, 584 + 4 * i, r.angle[i]);
  put_u32(out, 596, uint32_t(r.gpu_monochrome));
  put_u32(out, 600, uint32_t(r.gpu_colour_tone));
  put_u8(out, 604, r.gpu_byte);
  put_u32(out, 608, 1);  // the second-source path buffer always exists
  put_u16(out, 612, uint16_t(r.gpu_level));
  for (int i = 0; i < cg_texture_slots; ++i) put_u32(out, 616 + 4 * size_t(i), i < r.texture_tile_count ? 1 : 0);
}

int read_cg_record_image(const uint8_t* in, size_t size, cg_record& r) {
  if (!in || size < cg_record_image_size) return -1;
  r.shown_in_window = get_u8(in, 0);
  r.is_message_layer = get_u8(in, 1);
  r.present_rect = get_rect(in, 16);
  r.dirty_rect = get_rect(in, 48);
  r.dirty_flag = layer_rect_empty(r.dirty_rect) ? 0 : 1;
  r.redraw_flags[0] = get_u8(in, 80);
  r.redraw_flags[1] = get_u8(in, 81);
  r.tag1 = get_i64(in, 96);
  r.tag2 = get_i64(in, 104);
  r.x = get_i64(in, 112);
  r.y = get_i64(in, 120);
  r.monochrome = int32_t(get_u32(in, 128));
  r.colour_tone = int32_t(get_u32(in, 132));
  r.width = int32_t(get_u32(in, 136));
  r.height = int32_t(get_u32(in, 140));
  r.created_marker = get_u8(in, 160);
  r.alpha = int16_t(get_u16(in, 162));
  r.rule_progress = int16_t(get_u16(in, 164));
  r.vagueness = int16_t(get_u16(in, 166));
  r.alpha_in_use = get_u8(in, 168);
  r.blend_mode = get_u8(in, 169);
  r.visible = get_u8(in, 171);
  r.loaded_width = int32_t(get_u32(in, 240));
  r.loaded_height = int32_t(get_u32(in, 244));
  r.redraw_pending = get_u8(in, 257);
  r.gpu_flag = get_u8(in, 258);
  r.texture_requested = get_u8(in, 264);
  r.gpu_value1 = get_i64(in, 536);
  r.gpu_value2 = get_i64(in, 544);
  r.scale_x = get_i64(in, 552);
  r.scale_y = get_i64(in, 560);
  r.gpu_value3 = get_i64(in, 568);
  r.gpu_value4 = get_i64(in, 576);
  for (int i = 0; i < 3; ++i) r.angle[i] = get_float(in, 584 + 4 * i);
  r.gpu_monochrome = int32_t(get_u32(in, 596));
  r.gpu_colour_tone = int32_t(get_u32(in, 600));
  r.gpu_byte = get_u8(in, 604);
  r.gpu_level = int16_t(get_u16(in, 612));
  r.effect.valid = 0;
  return 0;
}

// ---------------------------------------------------------------- the layer tree

namespace {

void main_logical_size(int* w, int* h) {
  *w = layer_tree_main_size.width;
  *h = layer_tree_main_size.height;
  if (*w <= 0 || *h <= 0) {
    *w = int(engine_config.main_width);
    *h = int(engine_config.main_height);
  }
  if (*w <= 0 || *h <= 0) {
    *w = 640;
    *h = 480;
  }
}

int layer_root_payload(object_node* root) {
  cg_record* record = attach_new_cg_record(root);
  if (!record) return 1;
  int w, h;
  main_logical_size(&w, &h);
  record->width = record->loaded_width = w;
  record->height = record->loaded_height = h;
  record->dirty_rect = empty_layer_rect;
  return 0;
}

int layer_first_node(object_node* node) {
  cg_record* record = attach_new_cg_record(node);
  if (!record) return 1;
  int w, h;
  main_logical_size(&w, &h);
  if (alloc_layer_picture(record, w, h) != 0) return 1;
  record->visible = 1;
  layer_rect whole{0, 0, int64_t(w) - 1, int64_t(h) - 1};
  union_dirty_rect(whole, record, 0);
  update_layer_screen_rects(node);
  attach_window_layer(0, node);
  return 0;
}

}  // namespace

void install_layer_tree_hooks() {
  object_tree_hooks[tree_layers].root = layer_root_payload;
  object_tree_hooks[tree_layers].first_node = layer_first_node;
}
