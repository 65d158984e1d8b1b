// Picture filters: one numbered pixel operation over a rectangle of a layer's
// picture. The result replaces the first layer's picture or becomes the
// picture of a second layer (a filtered copy). The filters games run every
// frame are split over the worker pool in row bands; every band computes its
// rows from the source alone, so the bytes never depend on the worker count.
#pragma once
#include <cstdint>

#include "core/object_tree.h"

// Operation numbers, as the picture command passes them.
enum cg_filter_op : int {
  cg_filter_brightness = 1,
  cg_filter_weighted_blur = 2,
  cg_filter_horizontal_blur = 3,
  cg_filter_vertical_blur = 4,
  cg_filter_box_blur = 5,
  cg_filter_weighted_shadow = 6,
  cg_filter_box_shadow = 7,
  cg_filter_copy_attributes = 8,
  cg_filter_copy = 9,
  cg_filter_shuffle = 10,
  cg_filter_mirror = 11,
  cg_filter_tone = 12,
  cg_filter_threshold = 19,
  cg_filter_mosaic = 20,
  cg_filter_horizontal_wave = 21,
  cg_filter_vertical_wave = 22,
  cg_filter_double_wave = 23,
  cg_filter_fill = 24,
  cg_filter_negative = 27,
  cg_filter_monochrome = 29,
  cg_filter_flip = 37,
  cg_filter_sepia = 38,
  cg_filter_swirl = 39,
};

// Fill modes of op 24.
enum cg_fill_mode : int { cg_fill_none = 0, cg_fill_colour = 1, cg_fill_alpha = 2, cg_fill_pixel = 3 };

// Worker job kind of the filter bands.
constexpr int job_cg_filter_band = 121;

// Runs `op` over the inclusive rectangle (x1, y1)-(x2, y2) of the first
// layer's picture. n = 0: threshold and fills change the rectangle in place,
// every other op makes the rectangle's picture the first layer's new picture.
// n >= 1: the second layer receives the result (threshold and fills: a copy of
// the whole picture with the rectangle changed). The rectangle is clamped to
// the picture; corners in the wrong order are refused (100010). 0, or -1 after
// a reported failure (the layers keep their pictures). A first layer without
// pixels is no error: nothing happens.
int apply_cg_filter(int op, object_node* first, object_node* second, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
                    int64_t value, int64_t value2, int n, int fill_mode);

// Copies rows y1..y2, columns x1..x2 of a source picture (src_w x src_h) into
// consecutive rows of the destination (row length dst_w pixels) through the
// copy kernel. The caller keeps the rectangle inside both pictures.
void copy_cg_rows(uint8_t* dst, const uint8_t* src, int x1, int y1, int x2, int y2, int src_w, int src_h, int dst_w);

// The pixel shuffle's random source: one process-wide generator giving 0..32767
// (a linear congruential generator, seed 1 until seeded).
void seed_cg_shuffle_random(uint32_t seed);
int next_cg_shuffle_random();

// The 24 rows of the shuffle: the source of the top-left, top-right,
// bottom-left and bottom-right pixel of a 2 x 2 block (0 top-left, 1 top-right,
// 2 bottom-left, 3 bottom-right).
extern const uint8_t cg_shuffle_table[24][4];

// Pixels per band below which a filter runs on the calling thread alone.
constexpr int64_t cg_filter_band_pixels_min = 8192;
