// Small helpers shared by the picture operations that read one layer's
// picture and write another's (resizing, rotation, layer-to-layer copies).
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/object_tree.h"
#include "graphics/layer_record.h"
#include "graphics/picture_buffer.h"

namespace cg_ops {

// The record of a node when it has a picture to read, else null.
inline cg_record* picture_record(object_node* node) {
  cg_record* r = layer_record(node);
  return r && r->pixels && r->width > 0 && r->height > 0 ? r : nullptr;
}

// Script values are 64-bit; geometry works in int with room to spare.
inline int saturate_int(int64_t v) {
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}
inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// Bytes of a w x h picture block with its spare row and bytes.
inline size_t block_bytes(int w, int h) { return size_t(w) * 4 * size_t(h) + size_t(w) * 4 + 4; }

// A private copy of a picture (spare row zeroed), used when the picture being
// read is also the one being written. A failed allocation is reported like
// every other picture allocation. Frees itself.
struct block_copy {
  picture_buffer picture;
  uint8_t* pixels = nullptr;
  block_copy() = default;
  block_copy(const block_copy&) = delete;
  block_copy& operator=(const block_copy&) = delete;
  ~block_copy() { free_picture_buffer(picture); }
  bool take(const uint8_t* src, int w, int h) {
    if (alloc_picture_buffer(picture, w, h, std::string()) != 0) return false;
    std::memcpy(picture.pixels, src, size_t(w) * 4 * size_t(h));
    pixels = picture.pixels;
    return true;
  }
};

// True when the two w*h*4-byte pictures share any byte.
inline bool blocks_overlap(const uint8_t* a, size_t a_bytes, const uint8_t* b, size_t b_bytes) {
  auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
  return pa < pb + b_bytes && pb < pa + a_bytes;
}

}  // namespace cg_ops

namespace cg_ops {

// The size check of every operation that makes a picture: a width above 8192
// shows the size message and reports 100010; a width or height below 1, or a
// height above 8192 (no reader or operation makes taller pictures), reports
// 100010. True when refused.
bool refuse_picture_size(int64_t w, int64_t h);

}  // namespace cg_ops
