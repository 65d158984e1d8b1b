#include "cg_ops_test_util.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/temp_folder.h"

#if defined(ZARVIK_HAVE_PIXMAN)
#include <pixman.h>
#endif

bool pixman_available() {
#if defined(ZARVIK_HAVE_PIXMAN)
  return true;
#else
  return false;
#endif
}

#if defined(ZARVIK_HAVE_PIXMAN)
namespace {

test_picture run_pixman(const test_picture& src, int w, int h, const pixman_transform_t& t, pixman_filter_t filter,
                        const pixman_fixed_t* params, int n_params, pixman_repeat_t repeat) {
  test_picture out(w, h);
  test_picture in = src;
  pixman_image_t* s = pixman_image_create_bits(PIXMAN_a8r8g8b8, in.w, in.h, reinterpret_cast<uint32_t*>(in.data()),
                                               in.w * 4);
  pixman_image_t* d = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, reinterpret_cast<uint32_t*>(out.data()), w * 4);
  pixman_image_set_transform(s, &t);
  pixman_image_set_filter(s, filter, params, n_params);
  pixman_image_set_repeat(s, repeat);
  pixman_image_composite32(PIXMAN_OP_SRC, s, nullptr, d, 0, 0, 0, 0, 0, 0, w, h);
  pixman_image_unref(s);
  pixman_image_unref(d);
  return out;
}

}  // namespace
#endif

test_picture pixman_resample(const test_picture& src, int w, int h, double scale_x, double scale_y, double offset_x,
                             double offset_y, reference_kernel kernel) {
#if defined(ZARVIK_HAVE_PIXMAN)
  // Destination centre j + 0.5 maps to source centre (j * scale + offset) + 0.5.
  pixman_transform_t t;
  pixman_transform_init_identity(&t);
  t.matrix[0][0] = pixman_double_to_fixed(scale_x);
  t.matrix[1][1] = pixman_double_to_fixed(scale_y);
  // Nearest: the player takes the pixel whose index the position truncates
  // to; pixman the pixel whose area holds the point: no half-pixel shift.
  const double half = kernel == ref_nearest ? 1.0 / 4096 : 0.5;
  t.matrix[0][2] = pixman_double_to_fixed(offset_x + half - 0.5 * scale_x);
  t.matrix[1][2] = pixman_double_to_fixed(offset_y + half - 0.5 * scale_y);
  if (kernel == ref_nearest) return run_pixman(src, w, h, t, PIXMAN_FILTER_NEAREST, nullptr, 0, PIXMAN_REPEAT_PAD);
  if (kernel == ref_bilinear) return run_pixman(src, w, h, t, PIXMAN_FILTER_BILINEAR, nullptr, 0, PIXMAN_REPEAT_PAD);
  int n = 0;
  pixman_fixed_t* params = nullptr;
  if (kernel == ref_cubic) {
    params = pixman_filter_create_separable_convolution(&n, pixman_double_to_fixed(1), pixman_double_to_fixed(1),
                                                        PIXMAN_KERNEL_CUBIC, PIXMAN_KERNEL_CUBIC,
                                                        PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_IMPULSE, 4, 4);
  } else {
    // Reducing widens the window by the scale; enlarging keeps it.
    auto pick = [](double s, pixman_kernel_t& reconstruct, pixman_kernel_t& sample, double& scale) {
      if (s > 1) {
        reconstruct = PIXMAN_KERNEL_IMPULSE, sample = PIXMAN_KERNEL_LANCZOS2, scale = s;
      } else {
        reconstruct = PIXMAN_KERNEL_LANCZOS2, sample = PIXMAN_KERNEL_IMPULSE, scale = 1;
      }
    };
    pixman_kernel_t rx, ry, sx, sy;
    double kx, ky;
    pick(scale_x, rx, sx, kx);
    pick(scale_y, ry, sy, ky);
    params = pixman_filter_create_separable_convolution(&n, pixman_double_to_fixed(kx), pixman_double_to_fixed(ky), rx,
                                                        ry, sx, sy, 4, 4);
  }
  test_picture out = run_pixman(src, w, h, t, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, n, PIXMAN_REPEAT_PAD);
  free(params);
  return out;
#else
  (void)src, (void)w, (void)h, (void)scale_x, (void)scale_y, (void)offset_x, (void)offset_y, (void)kernel;
  return {};
#endif
}

test_picture pixman_rotate(const test_picture& src, int degrees, bool bilinear) {
#if defined(ZARVIK_HAVE_PIXMAN)
  // Destination index (X, Y) samples source index c + R (X - c, Y - c) with
  // R = [[cos, -sin], [sin, cos]] and c the integer centre.
  const double r = degrees * 3.14159265358979323846 / 180.0;
  const double cs = std::cos(r), sn = std::sin(r);
  const double cx = src.w / 2, cy = src.h / 2;
  // Bilinear: the point itself (pixman centres at +0.5); nearest: the pixel
  // the point falls in.
  const double half = bilinear ? 0.5 : 1.0 / 4096;
  pixman_transform_t t;
  pixman_transform_init_identity(&t);
  t.matrix[0][0] = pixman_double_to_fixed(cs);
  t.matrix[0][1] = pixman_double_to_fixed(-sn);
  t.matrix[1][0] = pixman_double_to_fixed(sn);
  t.matrix[1][1] = pixman_double_to_fixed(cs);
  // x' = cs (x - 0.5) - sn (y - 0.5) + cx - cs cx + sn cy + half.
  t.matrix[0][2] = pixman_double_to_fixed(-0.5 * cs + 0.5 * sn + cx - cs * cx + sn * cy + half);
  t.matrix[1][2] = pixman_double_to_fixed(-0.5 * sn - 0.5 * cs + cy - sn * cx - cs * cy + half);
  return run_pixman(src, src.w, src.h, t, bilinear ? PIXMAN_FILTER_BILINEAR : PIXMAN_FILTER_NEAREST, nullptr, 0,
                    PIXMAN_REPEAT_NONE);
#else
  (void)src, (void)degrees, (void)bilinear;
  return {};
#endif
}

test_picture imagemagick_resample(const test_picture& src, int w, int h, double scale_x, double scale_y,
                                  double offset_x, double offset_y, const std::string& options) {
  if (std::system("command -v convert >/dev/null 2>&1") != 0) return {};
  temp_folder dir;
  const std::string in = dir.path() + "/in.raw", out = dir.path() + "/out.raw";
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(src.data()), std::streamsize(size_t(src.w) * 4 * size_t(src.h)));
  }
  // convert's affine projection maps source to destination: destination
  // centre = source centre / scale + (0.5 - (offset + 0.5) / scale).
  std::ostringstream cmd;
  cmd.precision(17);
  cmd << "convert -size " << src.w << "x" << src.h << " -depth 8 bgra:" << in
      << " -virtual-pixel Edge " << options;
  cmd << " -define distort:viewport=" << w << "x" << h << "+0+0 -distort AffineProjection '" << 1 / scale_x << ",0,0,"
      << 1 / scale_y << "," << 0.5 - (offset_x + 0.5) / scale_x << "," << 0.5 - (offset_y + 0.5) / scale_y
      << "' -depth 8 bgra:" << out << " 2>/dev/null";
  if (std::system(cmd.str().c_str()) != 0) return {};
  std::ifstream f(out, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.size() != size_t(w) * 4 * size_t(h)) return {};
  test_picture p(w, h);
  std::memcpy(p.data(), bytes.data(), bytes.size());
  return p;
}
