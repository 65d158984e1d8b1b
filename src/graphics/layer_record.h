// Layer records and layer nodes.
//
// A layer is an object_node of the layer tree whose kind record is a
// `cg_record`: its picture and every drawing attribute. One record may be
// shared by several nodes (use_count); it dies with the last of them. The
// record's fixed 1640-byte image (what save files store) is written and read
// field by field.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "core/object_tree.h"

// ---------------------------------------------------------------- rectangles

// Inclusive rectangle in a layer's own coordinates. There is exactly one empty
// value; every union and emptiness test below treats it alike, so an empty
// rectangle never widens another one.
struct layer_rect {
  int64_t x0, y0, x1, y1;
};

constexpr int64_t layer_rect_far = 999999999;
constexpr layer_rect empty_layer_rect{layer_rect_far, layer_rect_far, -layer_rect_far, -layer_rect_far};

inline bool layer_rect_empty(const layer_rect& r) { return r.x0 > r.x1 || r.y0 > r.y1; }
inline bool layer_rect_equal(const layer_rect& a, const layer_rect& b) {
  return a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1;
}
// into := bounding box of into and r; an empty r changes nothing.
inline void layer_rect_union(layer_rect& into, const layer_rect& r) {
  if (layer_rect_empty(r)) return;
  if (layer_rect_empty(into)) {
    into = r;
    return;
  }
  if (r.x0 < into.x0) into.x0 = r.x0;
  if (r.y0 < into.y0) into.y0 = r.y0;
  if (r.x1 > into.x1) into.x1 = r.x1;
  if (r.y1 > into.y1) into.y1 = r.y1;
}
// The common part, or the empty value.
inline layer_rect layer_rect_intersect(const layer_rect& a, const layer_rect& b) {
  if (layer_rect_empty(a) || layer_rect_empty(b)) return empty_layer_rect;
  layer_rect r{a.x0 > b.x0 ? a.x0 : b.x0, a.y0 > b.y0 ? a.y0 : b.y0, a.x1 < b.x1 ? a.x1 : b.x1,
               a.y1 < b.y1 ? a.y1 : b.y1};
  return layer_rect_empty(r) ? empty_layer_rect : r;
}
// Positions are free 64-bit values from scripts: sums saturate instead of
// wrapping.
inline int64_t layer_coord_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  return r;
}
// Moved by (dx, dy); the empty value stays empty.
inline layer_rect layer_rect_offset(const layer_rect& r, int64_t dx, int64_t dy) {
  if (layer_rect_empty(r)) return empty_layer_rect;
  return {layer_coord_add(r.x0, dx), layer_coord_add(r.y0, dy), layer_coord_add(r.x1, dx), layer_coord_add(r.y1, dy)};
}
// The w x h rectangle whose top-left pixel is (x, y); empty without area.
inline layer_rect layer_rect_at(int64_t x, int64_t y, int64_t w, int64_t h) {
  if (w <= 0 || h <= 0) return empty_layer_rect;
  return {x, y, layer_coord_add(x, w - 1), layer_coord_add(y, h - 1)};
}
inline bool layer_rect_contains(const layer_rect& outer, const layer_rect& inner) {
  return !layer_rect_empty(outer) && !layer_rect_empty(inner) && outer.x0 <= inner.x0 && outer.y0 <= inner.y0 &&
         outer.x1 >= inner.x1 && outer.y1 >= inner.y1;
}

// ---------------------------------------------------------------- the record

struct layer_texture_set;  // GPU drawing (src/d3d)

constexpr size_t cg_record_image_size = 1640;
constexpr size_t cg_path_max = 260;  // the 261-byte path buffers, NUL included
constexpr int cg_texture_slots = 256;
constexpr int cg_max_width = 8192;

struct cg_record {
  // Kept in the image for saves; references to the node are what count (see
  // layer_window_links and free_layer_node).
  uint8_t shown_in_window = 0;
  uint8_t is_message_layer = 0;
  layer_rect present_rect = empty_layer_rect;  // changed since the last presentation (roots)
  layer_rect dirty_rect = empty_layer_rect;    // to re-composite, own coordinates
  uint8_t redraw_flags[2] = {0, 0};            // a new blank picture was allocated
  std::string mask_path;                       // rule-mask layer path, at most cg_path_max bytes
  int64_t use_count = 1;
  int64_t tag1 = 0;
  int64_t tag2 = 0;
  int64_t x = 0;
  int64_t y = 0;
  int32_t monochrome = 128;       // 0..256, 128 neutral
  int32_t colour_tone = 0x808080;  // 0..0x1000000, 0x808080 neutral
  int32_t width = 1;
  int32_t height = 1;
  uint8_t created_marker = 1;  // image byte 160
  int16_t alpha = 256;
  int16_t rule_progress = 256;
  int16_t vagueness = 0;
  uint8_t alpha_in_use = 0;
  uint8_t blend_mode = 0;
  uint8_t visible = 1;
  // The base pixels: authoritative, never replaced by an effect result.
  uint8_t* pixels = nullptr;
  uint8_t* pixel_block = nullptr;  // allocation behind pixels: w*4*h + w*4 + 4
  uint8_t* work_pixels = nullptr;  // compositor's tone/monochrome result (cache)
  int32_t loaded_width = 1;
  int32_t loaded_height = 1;
  uint8_t redraw_pending = 0;
  uint8_t gpu_flag = 0;
  void* gif_frames = nullptr;
  // The layer's picture lives in GPU textures; the CPU compositor never
  // blends it.
  uint8_t texture_requested = 0;
  int64_t gpu_value1 = 0;
  int64_t gpu_value2 = 0;
  int64_t scale_x = 10000;
  int64_t scale_y = 10000;
  int64_t gpu_value3 = 0;
  int64_t gpu_value4 = 0;
  float angle[3] = {0, 0, 0};
  int32_t gpu_monochrome = 128;
  int32_t gpu_colour_tone = 0x808080;
  uint8_t gpu_byte = 0;
  std::string second_source_path;
  int16_t gpu_level = 0;
  // The picture's GPU texture tiles, owned by the GPU drawing (released
  // through layer_record_hooks.release_textures); the image marks the first
  // cg_texture_slots of texture_tile_count as present.
  layer_texture_set* gpu_textures = nullptr;
  int32_t texture_tile_count = 0;

  // ---- held in memory only (not part of the image)
  int32_t dirty_count = 0;  // dirty rectangles begun afresh
  uint8_t dirty_flag = 0;   // dirty_rect holds an area
  uint8_t full_redraw = 0;  // the next composite presents the whole layer
  uint8_t pending_visible = 0, pending_visible_set = 0;
  int16_t pending_alpha = 0;
  uint8_t pending_alpha_set = 0;
  uint8_t previous_frame = 0, this_frame = 0;
  // Bumped by every change of the picture (mark_layer_dirty, note_layer_pixels_changed).
  uint64_t picture_version = 0;
  // Key of the effect result in work_pixels.
  struct effect_key {
    uint8_t valid = 0;
    int32_t colour_tone = 0x808080;
    int32_t monochrome = 128;
    uint64_t picture_version = 0;
    const uint8_t* pixels = nullptr;
    int32_t width = 0, height = 0;
  } effect;
  int32_t work_width = 0, work_height = 0;  // size work_pixels was made for
};

inline cg_record* layer_record(const object_node* node) {
  return node ? static_cast<cg_record*>(node->kind_record) : nullptr;
}

// Services owned by other subsystems, called when a record dies. Null: nothing.
struct layer_record_hook_table {
  void (*release_textures)(cg_record* record) = nullptr;
  void (*release_gif_frames)(cg_record* record) = nullptr;
};
extern layer_record_hook_table layer_record_hooks;

// Which nodes windows and the message window show. A window's attached layer is
// the root of the tree it composites; clearing a reference when its node is
// freed is by node, never by the (shared) record.
constexpr int layer_window_count = 4;
struct layer_window_link {
  object_node* attached_layer = nullptr;
  cg_record* surface = nullptr;  // the window's own surface record (reset each frame)
  uint8_t kind = 0;              // 0 hidden; nothing is drawn for a hidden window
  uint8_t drawn_this_frame = 0;
};
struct layer_links_record {
  layer_window_link windows[layer_window_count];
  object_node* message_layer = nullptr;
};
extern layer_links_record layer_links;

// Sets (or with null clears) a window's attached layer and the record flag.
void attach_window_layer(int window, object_node* node);
void set_message_layer(object_node* node);

// ---------------------------------------------------------------- records

// A new record with the defaults, stored as the node's kind record. 0, or 1
// after reporting 100010 (the node is then left without a record).
int alloc_cg_record(object_node* node);
// alloc_cg_record; the record, or null for a null node or on failure.
cg_record* attach_new_cg_record(object_node* node);
// Makes the node another user of `record`; the record (null for a null node).
cg_record* share_cg_record(object_node* node, cg_record* record);

// A zero-filled (fully transparent) picture of w x h in a pixel block of
// w*4*h + w*4 + 4 bytes, replacing the record's picture and effect buffer;
// width/height and loaded_width/loaded_height are set. 0, or -1 after the
// message and report (width above 8192: 100010; no memory: 104030).
int alloc_layer_picture(cg_record* record, int width, int height);
// Frees the effect buffer (a new picture was installed).
void release_effect_buffer(cg_record* record);
// The picture's pixels changed without mark_layer_dirty: drop cached effects.
inline void note_layer_pixels_changed(cg_record* record) {
  if (record) ++record->picture_version;
}

// Copies a path text into a record's path field, cut to cg_path_max bytes
// (never inside a double-byte character).
void set_cg_path(std::string& field, std::string_view text);

// ---------------------------------------------------------------- node operations

// Exchanges the priorities of two nodes; 1, or 0 when either is null.
int swap_layer_order_keys(object_node* a, object_node* b);
// Exchanges order, names and (mode 1) positions or (mode 2) positions and
// drawing attributes of two layers; the pictures stay with their nodes. 0, or
// -1 for a null node or a failed rename.
int swap_layers(object_node* a, object_node* b, int mode);
// Re-composites a group layer over its whole picture (off-screen, its own
// buffer). Nothing for a node without a record or a leaf. 0, or -1 on failure.
int redraw_whole_cg(object_node* node);
// Frees every descendant, then the node.
void delete_layer_subtree(object_node* node);
// Drops the node's references from windows and the message window, detaches
// it, releases one use of its record (freeing the record with the last one),
// then frees the node. A group's remaining children are freed first.
void free_layer_node(object_node* node);

// ---------------------------------------------------------------- the image

// Writes the record's 1640-byte image (little-endian; pointer fields are 1
// when set, else 0; unlisted bytes 0).
void write_cg_record_image(const cg_record& record, uint8_t out[cg_record_image_size]);
// Reads the scalar fields of an image into `record`; pointers, paths,
// use_count and the in-memory fields stay. A rectangle that is empty or holds
// the old all -999999999 value reads as the empty value. 0, or -1 when fewer
// than 1640 bytes are given.
int read_cg_record_image(const uint8_t* data, size_t size, cg_record& record);

// ---------------------------------------------------------------- the layer tree

// The size of the main window's logical picture, for the tree root and "W0".
// Zero: the engine configuration's size (640 x 480 when that is zero too).
struct layer_tree_size_record {
  int32_t width = 0;
  int32_t height = 0;
};
extern layer_tree_size_record layer_tree_main_size;

// Installs the layer tree's payload makers into object_tree_hooks: the root
// gets a record of the main window's size (dirty rectangle reset); "W0" gets
// that size, a zero-filled picture, visible, whole picture dirty, its changed
// area propagated, and becomes window 0's attached layer.
void install_layer_tree_hooks();
