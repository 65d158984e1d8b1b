// Helpers of the resize, rotation and layer-operation tests: pictures in
// picture blocks, layers holding them, PSNR, and the reference resamplers
// (pixman, ImageMagick) run on the same sampling grids.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "graphics/layer_record.h"
#include "image/cg_picture.h"

// A w x h picture in a block with its spare row (zeroed), B, G, R, A.
struct test_picture {
  int w = 0, h = 0;
  std::vector<uint8_t> block;
  test_picture() = default;
  test_picture(int width, int height)
      : w(width), h(height), block(size_t(width) * 4 * size_t(height) + size_t(width) * 4 + 4, 0) {}
  uint8_t* data() { return block.data(); }
  const uint8_t* data() const { return block.data(); }
  uint32_t at(int x, int y) const {
    uint32_t v;
    std::memcpy(&v, block.data() + (size_t(y) * size_t(w) + size_t(x)) * 4, 4);
    return v;
  }
  void set(int x, int y, uint32_t v) { std::memcpy(block.data() + (size_t(y) * size_t(w) + size_t(x)) * 4, &v, 4); }
  std::vector<uint8_t> pixels() const { return {block.begin(), block.begin() + long(size_t(w) * 4 * size_t(h))}; }
};

// Distinct pixel values: every pixel differs from every other.
inline test_picture numbered_picture(int w, int h) {
  test_picture p(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p.set(x, y, 0xFF000000u | uint32_t(y * 4096 + x * 16 + 1));
  return p;
}

// A smooth opaque picture with some detail (gradients and waves), the kind of
// picture resampling is judged on.
inline test_picture smooth_picture(int w, int h) {
  test_picture p(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double u = double(x) / w, v = double(y) / h;
      auto byte = [](double t) { return uint32_t(std::lround(std::fmin(255.0, std::fmax(0.0, t)))); };
      // Waves of 0.3 to 0.7 radians a pixel: detail a half-pixel shift of the
      // sampling grid shows plainly.
      const uint32_t b = byte(128 + 60 * std::sin(6.0 * u + 2.0 * v) + 50 * std::sin(0.7 * x + 0.2 * y));
      const uint32_t g = byte(200 * u * v + 30 * std::cos(0.5 * y) + 20);
      const uint32_t r = byte(60 + 120 * (1 - u) + 60 * std::sin(0.3 * x * (1 + v)));
      p.set(x, y, 0xFF000000u | (r << 16) | (g << 8) | b);
    }
  return p;
}

// Pseudo-random bytes, alpha included.
inline test_picture noise_picture(int w, int h, uint32_t seed) {
  test_picture p(w, h);
  uint32_t s = seed * 2654435761u + 1;
  for (size_t i = 0; i < size_t(w) * 4 * size_t(h); ++i) {
    s = s * 1664525u + 1013904223u;
    p.block[i] = uint8_t(s >> 24);
  }
  return p;
}

// PSNR of the colour bytes (B, G, R) of two pictures of one size; 99 when
// equal. `margin` leaves out that many pixels at every edge.
inline double psnr(const test_picture& a, const test_picture& b, int margin = 0) {
  double se = 0;
  size_t n = 0;
  for (int y = margin; y < a.h - margin; ++y)
    for (int x = margin; x < a.w - margin; ++x)
      for (int c = 0; c < 3; ++c) {
        const double d =
            double(a.block[(size_t(y) * a.w + x) * 4 + c]) - double(b.block[(size_t(y) * b.w + x) * 4 + c]);
        se += d * d;
        ++n;
      }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / double(n)));
}

// PSNR over the pixels opaque in both pictures (the inside of a rotated
// picture); `count` receives how many there were.
inline double psnr_opaque(const test_picture& a, const test_picture& b, size_t& count) {
  double se = 0;
  count = 0;
  for (int y = 0; y < a.h; ++y)
    for (int x = 0; x < a.w; ++x) {
      const uint8_t* p = a.block.data() + (size_t(y) * a.w + x) * 4;
      const uint8_t* q = b.block.data() + (size_t(y) * b.w + x) * 4;
      if (p[3] != 255 || q[3] != 255) continue;
      ++count;
      for (int c = 0; c < 3; ++c) se += (double(p[c]) - q[c]) * (double(p[c]) - q[c]);
    }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / double(count * 3)));
}

// A layer "W0/<name>" holding a copy of `p` (made through the picture
// records, so its block comes from the picture allocator).
inline object_node* layer_with_picture(const std::string& name, const test_picture& p, uint8_t alpha_in_use = 0) {
  cg_record* r = create_blank_cg("W0/" + name, p.w, p.h);
  if (!r) return nullptr;
  std::memcpy(r->pixels, p.data(), size_t(p.w) * 4 * size_t(p.h));
  r->alpha_in_use = alpha_in_use;
  return find_object_by_path(object_trees[tree_layers].root, "W0/" + name, find_leaf);
}

inline test_picture picture_of(const cg_record* r) {
  test_picture p(r->width, r->height);
  std::memcpy(p.data(), r->pixels, size_t(r->width) * 4 * size_t(r->height));
  return p;
}

// The reference resamplers on the player's grids: the destination pixel j
// samples the source at j * scale + offset (pixel indexes, centres at whole
// numbers). Kernels: 0 nearest, 1 bilinear, 2 cubic, 3 Lanczos-2.
enum reference_kernel { ref_nearest, ref_bilinear, ref_cubic, ref_lanczos2 };
// pixman, one thread, SRC. Empty picture when pixman is not built in.
test_picture pixman_resample(const test_picture& src, int w, int h, double scale_x, double scale_y, double offset_x,
                             double offset_y, reference_kernel kernel);
bool pixman_available();
// ImageMagick's convert (an affine distort on the same grid, edge pixels
// repeated); empty picture when convert is missing or fails. `options` are
// convert's filter options ("-filter Lanczos2", "-filter point -interpolate
// catrom" ...).
test_picture imagemagick_resample(const test_picture& src, int w, int h, double scale_x, double scale_y,
                                  double offset_x, double offset_y, const std::string& options);
// pixman's affine transform of the whole picture: the rotation about the
// picture's centre by `degrees` with the player's mapping.
test_picture pixman_rotate(const test_picture& src, int degrees, bool bilinear);
