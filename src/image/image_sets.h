// Image sets: one file of many pictures (colour JPEG plus optional grey alpha
// JPEG each), loaded whole and unscrambled once; a script draws picture n of
// the loaded set into a layer. Commands 96 (load / draw), 97 (release) and 98
// (query).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "format/image_set_format.h"

struct cg_record;

// The one loaded set of the process.
struct image_set_record {
  std::vector<uint8_t> file;  // unscrambled; empty when none is loaded
  image_set_layout layout;    // count 0 after a release; the values stay
  std::string name;           // for reports while drawing
};
extern image_set_record image_set;

int cmd_image_set_load();
int cmd_image_set_release();
int cmd_image_set_query();

// Frees any loaded set, then finds `name` (already lower-cased, '\'
// separated) through the four sources without extension probing, checks its
// tables and unscrambles its parts in place. 0, or -1 after the report
// (104060 missing, 901040 pack not openable, 104010 unreadable or damaged).
int load_image_set(const std::string& name);
// Installs a set from bytes already read (the loader's second half).
int install_image_set(std::vector<uint8_t> bytes, const std::string& name);
void free_image_set();

// Draws picture n (clamped to the set) into the layer: the colour part
// replaces its picture (resized when the sizes differ), and for a mode other
// than 0 the alpha part gives the alpha. Nothing without a loaded set or for
// an empty set. 0 drawn or nothing to draw; -1 failure (libjpeg refused the
// data, a size above 8192 reported as 100091, no memory reported), the
// picture as far as it got.
int draw_image_set_entry(object_node* node, int64_t n);

// The colour JPEG into the record's picture, and a grey JPEG into its alpha,
// through the one decompressor kept for the run.
int decode_jpeg_to_layer(object_node* node, cg_record* record, const uint8_t* data, size_t size);
int decode_jpeg_alpha(cg_record* record, const uint8_t* data, size_t size);
