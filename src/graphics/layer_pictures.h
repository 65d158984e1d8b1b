// Pictures of layer records: allocation, blank and one-pixel pictures, and the
// way in to loading a picture file (the codecs live above the layers and hook
// themselves in). Every new picture is installed the same way
// (commit_cg_buffer), so a failure anywhere leaves the record's old picture
// and size untouched.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/object_tree.h"
#include "graphics/layer_record.h"
#include "graphics/picture_buffer.h"

// Resizes `old_block` (null: a new block) for a width x height picture:
// width*4*height + width*4 + 4 bytes, computed in 64 bits. A width above 8192
// shows the size message and reports 100010; a width or height of 0 or less
// reports 100010; no memory logs the failure and reports 100010 (with a name)
// or 104030 (without). Null on failure; `old_block` then stays valid.
uint8_t* alloc_cg_pixels(uint8_t* old_block, int64_t width, int64_t height, const std::string& name);

// Installs `fresh` as the record's picture: frees the old block and the
// compositor's effect buffer, sets the size and the loaded size, and marks
// `node` dirty before and after (when given). `fresh` is left empty.
void commit_cg_buffer(cg_record* record, picture_buffer& fresh, object_node* node = nullptr);

// Finds (or creates, under `priority`) the layer node of a resolved path and
// gives its record a zero-filled width x height picture: redraw flags set,
// whole picture dirty, screen rectangles updated. The record, or null after a
// reported failure (an existing record keeps its old picture and size).
cg_record* create_blank_cg(std::string_view resolved_path, int64_t width, int64_t height, int group = 0,
                           int64_t priority = 0);

// The 1 x 1 transparent picture (0x00808080), alpha not in use. 0 or -1.
int make_dot_cg(cg_record* record);
// Loading a picture file into a record: the picture codecs' load_cg_file,
// installed at start-up (install_picture_loading).
struct layer_picture_hook_table {
  int (*load_cg_file)(cg_record* record, const std::string& name) = nullptr;
};
extern layer_picture_hook_table layer_picture_hooks;

// Empty name: the one-pixel picture; otherwise the installed loader (-1
// without one). 0 or -1.
int load_cg_or_blank(cg_record* record, const std::string& name);

// Every pixel of the record's picture whose alpha is 0 becomes 0x00808080.
void normalise_transparent_pixels(cg_record* record);
