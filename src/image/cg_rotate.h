// Rotation of a layer's whole picture about its centre by whole degrees,
// keeping the picture's size: corners that leave the frame are lost and
// uncovered areas become transparent black (mode 11, bilinear) or keep what
// the destination held (mode 12). A positive angle turns the picture
// counter-clockwise on the screen.
//
// Destination (X, Y) samples the source at c + R (X - c, Y - c), c the
// integer centre, in 16.16 fixed point from cos and sin truncated to 1/65536;
// the last column is never sampled. 0, 90, 180 and 270 degrees move pixels
// exactly. Bilinear mixes the source pixel with its right and lower
// neighbours (the picture's last column and row repeat).
#pragma once
#include <cstdint>

#include "core/object_tree.h"

enum rotate_mode : int {
  rotate_clear = 11,  // nearest; pixels outside the rotated picture cleared
  rotate_keep = 12,   // nearest; pixels outside it left as they were
};

// The rectangle is always the whole picture and is not used. The angle is any
// value in degrees (taken modulo 360, negative ones too). n >= 1: the result
// goes to the second layer, straight into its pixels when it already has the
// first picture's size. 0, or -1 after a reported size or allocation failure.
// A mode other than 11 or 12 changes nothing.
int rotate_cg(object_node* first, object_node* second, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
              int64_t angle, int n, int mode);
int rotate_cg_bilinear(object_node* first, object_node* second, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
                       int64_t angle, int n);

// Kernels: destination and source both W x H (row length W); angle any value.
void rotate_nearest_clear(uint8_t* dst, const uint8_t* src, int W, int H, int64_t angle);
void rotate_nearest_keep(uint8_t* dst, const uint8_t* src, int W, int H, int64_t angle);
void rotate_bilinear(uint8_t* dst, const uint8_t* src, int W, int H, int64_t angle);

// cos and sin of the angle (normalised to 0..359) as trunc(value * 65536).
struct rotation_factors {
  int32_t cf = 65536, sf = 0;
};
rotation_factors rotation_factors_for(int64_t angle);
int normalise_angle(int64_t angle);  // 0..359
