// CPU presentation: a window's composited root picture reaches the screen,
// scaled on the CPU (nearest or bilinear, larger jobs in row bands over the
// worker pool: kinds 11 and 21) into the CPU frame buffer, or, when nothing
// needs scaling, as a blit of only the changed rectangle.
#pragma once
#include <cstdint>

struct cg_record;

struct presentation_settings_record {
  // 0: the picture at its own size; 1..3: scaled to the output size.
  uint8_t scaling_policy = 1;
  uint8_t cpu_scaling_mode = 1;  // 1 bilinear, 0 nearest
  uint8_t d3d_filter = 3;
  uint8_t threaded_scalers = 1;  // the threaded bilinear scaler may be used
  uint8_t simd = 1;              // the SSE flag of the pixel kernels
  // The horizontal weight goes through the sharpening table (both on from
  // start-up; the frame-thread scaler has its own switch).
  uint8_t sharpen = 1;
  uint8_t sharpen_frame_mode = 1;
};
extern presentation_settings_record presentation_settings;

// Takes the scaling policy and drawing mode from engine_settings (slot value
// 0 maps to policy 1, 1 to 2, 2 to 3, 3 to 0; drawing modes 0..2 bilinear, 3
// nearest) and registers the scaler jobs with the pool.
void init_presentation();

// What the last blits wrote, for the frame statistics.
struct presentation_stats_record {
  uint64_t blits = 0;
  uint64_t bytes = 0;  // of the last partial blit (width * height * 4)
  int32_t rect[4] = {0, 0, 0, 0};  // its destination x, y, width, height
  uint64_t scaled_frames = 0;
  uint8_t last_path = 0;  // 1 bilinear, 2 nearest, 3 stretched, 4 partial blit
};
extern presentation_stats_record presentation_stats;

// A picture to present: a root layer's pixels or the frame-thread hand-over
// copy. Pixel blocks carry the picture buffer's spare row and 4 bytes.
struct present_source {
  const uint8_t* pixels = nullptr;
  int32_t width = 0, height = 0;
  int64_t x = 0, y = 0;  // the root's position inside the client
  int64_t rect[4] = {0, 0, -1, -1};  // changed area, inclusive
};

// Presents one window from its root layer's record; takes (and clears) the
// record's present rectangle. Nothing when quitting, when nothing changed, or
// when the output size is not positive.
void present_window_frame(int window, cg_record* root);
void present_window_source(int window, const present_source& source);

// ---------------------------------------------------------------- scalers

// Nearest neighbour: dst_w x dst_h from the source rectangle (src_x0, src_y0)
// .. (src_x1, src_y1) inclusive of a src_w x src_h picture; rows over the
// workers (job 11), or on the caller when `threaded` is false.
void scale_image_nearest_mt(uint8_t* dst, const uint8_t* src, int src_x0, int src_y0, int src_x1, int src_y1, int src_w,
                            int src_h, int dst_w, int dst_h, bool threaded = true);
// Bilinear with the source rectangle x0..x1, y0..y1 in hundredths of a pixel
// and the destination size in hundredths (width * 100): the corner pixels of
// source and destination meet. Three variants, bit-identical results: single
// thread; rows over the workers (job 21); and the frame thread's own, with
// tables and sharpening switch of its own.
void scale_image_bilinear(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_w, int src_h,
                          int dst_w100, int dst_h100);
void scale_image_bilinear_mt(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_w, int src_h,
                             int dst_w100, int dst_h100);
void scale_image_bilinear_frame_mode(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_w,
                                     int src_h, int dst_w100, int dst_h100);

// The rows [first, end) of worker m of W over the valid rows [n, k).
inline int nearest_band_first(int m, int workers, int n, int k) {
  return n + static_cast<int>(int64_t{m} * (k - n) / workers);
}
inline int nearest_band_end(int m, int workers, int n, int k) {
  return n + static_cast<int>((int64_t{m} + 1) * (k - n) / workers);
}

// The sharpening table: w -> clamp((w - 128) * 1.25 + 128, 0, 255).
const uint8_t* sharpening_table();
void register_presentation_jobs();
