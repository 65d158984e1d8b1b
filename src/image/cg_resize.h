// Resizing a layer's picture: a rectangle of the first layer's picture
// scaled to a new size by one of five methods, the result replacing the first
// layer's picture or becoming the second layer's.
//
//   10 nearest neighbour      (the presentation's nearest scaler)
//   21 bilinear               (the presentation's bilinear scalers)
//   31 bicubic, a = -1        (8.8 kernel table, main thread)
//   41 smooth bilinear        (2 x 2 bilinear samples per pixel, worker job 41)
//   51 Lanczos, a = 2         (whole picture, two separable passes)
//
// Every method writes every destination pixel, so a reused block never keeps
// stale bytes.
#pragma once
#include <cstdint>

#include "core/object_tree.h"

enum resize_method : int {
  resize_nearest = 10,
  resize_bilinear = 21,
  resize_bicubic = 31,
  resize_smooth = 41,
  resize_lanczos = 51,
};

// Positions and sizes in hundredths of a pixel: the source rectangle (x1, y1)
// .. (x2, y2), inclusive, and the target size tw x th (w = tw / 100 by
// h = th / 100 pixels). n >= 1: the result goes to the second layer. 0, or -1
// after a reported size or allocation failure (the receiving layer then keeps
// its picture). A method number that names no method changes nothing.
int resize_cg(object_node* first, object_node* second, int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t tw,
              int64_t th, int n, int method);

// ---------------------------------------------------------------- kernels
// Destinations are w x h pictures (row length w); sources W x H picture
// blocks with their spare row. Rectangles may reach outside the source:
// destination pixels whose source lies outside are transparent black.

// Bicubic with whole-pixel rectangle corners (inclusive).
void resample_bicubic(uint8_t* dst, const uint8_t* src, int x1, int y1, int x2, int y2, int W, int H, int w, int h);

// The smooth method: rectangle and target size in hundredths. Rows are split
// over `workers` bands (0: every running worker); the result does not depend
// on the count.
void resize_smooth_threaded(uint8_t* dst, const uint8_t* src, int x1, int y1, int x2, int y2, int W, int H, int tw,
                            int th, int workers = 0);

// Lanczos-2 of the whole W x H picture to w x h, corners meeting. 0, or -1
// after a reported failure to allocate the work picture.
int resample_lanczos2(uint8_t* dst, const uint8_t* src, int W, int H, int w, int h);

// The Lanczos window: sinc(x) * sinc(x / 2) inside |x| < 2, else 0.
double lanczos2(double x);
double sinc(double x);

// Bicubic kernel entry K[k] for the distance k / 256 pixel (k = 0..512).
int bicubic_kernel_entry(int k);

// Registers job 41 with the worker pool (done on first use).
void register_resize_jobs();
