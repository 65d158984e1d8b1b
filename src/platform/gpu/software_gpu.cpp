#include "platform/gpu/software_gpu.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/gpu/gpu_pixels.h"

namespace {

struct rgba {
  float r, g, b, a;
};

rgba from_argb(uint32_t c) {
  return {float((c >> 16) & 255) / 255.f, float((c >> 8) & 255) / 255.f, float(c & 255) / 255.f,
          float(c >> 24) / 255.f};
}

float clamp01(float v) { return v < 0.f ? 0.f : (v > 1.f ? 1.f : v); }

// Float to an 8-bit channel as a GPU writes an RGBA8 target: round to nearest.
uint8_t to_byte(float v) { return static_cast<uint8_t>(std::lround(clamp01(v) * 255.f)); }

const SoftwareGpuDevice::texture* find_texture(const std::map<uint32_t, SoftwareGpuDevice::texture>& all,
                                               uint32_t id) {
  auto it = all.find(id);
  return it == all.end() ? nullptr : &it->second;
}

rgba texel(const SoftwareGpuDevice::texture& t, int x, int y) {
  x = std::clamp(x, 0, t.width - 1);
  y = std::clamp(y, 0, t.height - 1);
  const uint8_t* p = &t.bgra[(size_t(y) * size_t(t.width) + size_t(x)) * 4];
  return {p[2] / 255.f, p[1] / 255.f, p[0] / 255.f, p[3] / 255.f};
}

// Clamp-to-edge sampling; texel centres at (i + 0.5) / size.
rgba sample(const SoftwareGpuDevice::texture* t, float u, float v, gpu_filter filter) {
  if (!t) return {1, 1, 1, 1};
  const float fx = u * float(t->width), fy = v * float(t->height);
  if (filter == gpu_filter::point) return texel(*t, int(std::floor(fx)), int(std::floor(fy)));
  const float sx = fx - 0.5f, sy = fy - 0.5f;
  const float x0f = std::floor(sx), y0f = std::floor(sy);
  const float ax = sx - x0f, ay = sy - y0f;
  const int x0 = int(x0f), y0 = int(y0f);
  const rgba p00 = texel(*t, x0, y0), p10 = texel(*t, x0 + 1, y0);
  const rgba p01 = texel(*t, x0, y0 + 1), p11 = texel(*t, x0 + 1, y0 + 1);
  auto mix = [](float a, float b, float w) { return a + (b - a) * w; };
  auto row = [&](const rgba& l, const rgba& r) {
    return rgba{mix(l.r, r.r, ax), mix(l.g, r.g, ax), mix(l.b, r.b, ax), mix(l.a, r.a, ax)};
  };
  const rgba top = row(p00, p10), bottom = row(p01, p11);
  return {mix(top.r, bottom.r, ay), mix(top.g, bottom.g, ay), mix(top.b, bottom.b, ay), mix(top.a, bottom.a, ay)};
}

float factor(gpu_blend f, float src_c, float src_a, float dst_c) {
  switch (f) {
    case gpu_blend::zero: return 0.f;
    case gpu_blend::one: return 1.f;
    case gpu_blend::src_color: return src_c;
    case gpu_blend::inv_src_color: return 1.f - src_c;
    case gpu_blend::src_alpha: return src_a;
    case gpu_blend::inv_src_alpha: return 1.f - src_a;
    case gpu_blend::inv_dest_color: return 1.f - dst_c;
  }
  return 0.f;
}

float blend_channel(const gpu_draw_state& s, float src_c, float src_a, float dst_c) {
  switch (s.op) {
    case gpu_blend_op::min: return std::min(src_c, dst_c);
    case gpu_blend_op::max: return std::max(src_c, dst_c);
    case gpu_blend_op::rev_subtract:
      return dst_c * factor(s.dst, src_c, src_a, dst_c) - src_c * factor(s.src, src_c, src_a, dst_c);
    case gpu_blend_op::add: break;
  }
  return src_c * factor(s.src, src_c, src_a, dst_c) + dst_c * factor(s.dst, src_c, src_a, dst_c);
}

}  // namespace

// The colour a fragment shades to, before blending. Shared in meaning with the
// backends' shaders.
static rgba shade(const gpu_draw_state& s, const rgba& t0, const rgba& t1, const rgba& d) {
  if (s.pass == 0) {
    const float f = s.fade_val;
    rgba o{t0.r + (t1.r - t0.r) * f, t0.g + (t1.g - t0.g) * f, t0.b + (t1.b - t0.b) * f, t0.a + (t1.a - t0.a) * f};
    o.a *= s.alpha_val;
    return o;
  }
  if (s.pass == 1) {
    const float w = clamp01(s.fade_val2 * (t1.b * 255.f - 256.f + 512.f * s.fade_val) / 512.f);
    return {t0.r, t0.g, t0.b, t0.a * w * s.alpha_val};
  }
  const rgba f = from_argb(s.texture_factor);
  switch (s.combiner) {
    case gpu_combiner::texture_alpha_factor: return {t0.r, t0.g, t0.b, t0.a * f.a};
    case gpu_combiner::texture_alpha_diffuse: return {t0.r, t0.g, t0.b, t0.a * d.a};
    case gpu_combiner::modulate: return {t0.r * d.r, t0.g * d.g, t0.b * d.b, t0.a * d.a};
    case gpu_combiner::modulate_toward_t1:
    case gpu_combiner::modulate_toward_factor: {
      const rgba c{t0.r * d.r, t0.g * d.g, t0.b * d.b, t0.a * d.a};
      const rgba to = s.combiner == gpu_combiner::modulate_toward_t1 ? t1 : f;
      return {c.r * c.a + to.r * (1.f - c.a), c.g * c.a + to.g * (1.f - c.a), c.b * c.a + to.b * (1.f - c.a), c.a};
    }
  }
  return t0;
}

SoftwareGpuDevice::SoftwareGpuDevice(int target_width, int target_height, int shader_level)
    : width_(target_width), height_(target_height) {
  info_.backend = "software";
  info_.vendor = "zarvik";
  info_.renderer = "zarvik software rasteriser";
  info_.version = "1.0";
  info_.shading_language = "C++";
  info_.max_texture_width = info_.max_texture_height = 8192;
  info_.pixel_shader_level = shader_level;
  info_.vertex_shader_major = 0;
  info_.hardware = false;
  target_.assign(size_t(std::max(width_, 0)) * size_t(std::max(height_, 0)) * 4, 0);
  for (size_t i = 3; i < target_.size(); i += 4) target_[i] = 255;
}

int SoftwareGpuDevice::load_effect(const std::string& technique) {
  return technique == "KX_ShaderTest1" ? 0 : -2;
}

uint32_t SoftwareGpuDevice::create_texture(int width, int height, gpu_texture_format format) {
  if (lost_ || width <= 0 || height <= 0 || width > info_.max_texture_width || height > info_.max_texture_height)
    return 0;
  texture t;
  t.width = width;
  t.height = height;
  t.format = format;
  t.bgra.assign(size_t(width) * size_t(height) * 4, 0);
  const uint32_t id = next_texture_++;
  textures_.emplace(id, std::move(t));
  return id;
}

void SoftwareGpuDevice::release_texture(uint32_t id) { textures_.erase(id); }

bool SoftwareGpuDevice::upload_texture(uint32_t id, int x, int y, int width, int height, const uint8_t* bgra,
                                       size_t stride, bool dither) {
  auto it = textures_.find(id);
  if (it == textures_.end() || lost_) return false;
  texture& t = it->second;
  if (x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > t.width || y + height > t.height) return false;
  if (t.format == gpu_texture_format::bgra4444) {
    std::vector<uint16_t> q(size_t(width) * size_t(height));
    quantise_4444(bgra, stride, width, height, dither, q.data());
    for (int r = 0; r < height; ++r)
      for (int c = 0; c < width; ++c)
        expand_4444(q[size_t(r) * size_t(width) + size_t(c)],
                    &t.bgra[((size_t(y) + size_t(r)) * size_t(t.width) + size_t(x) + size_t(c)) * 4]);
    return true;
  }
  for (int r = 0; r < height; ++r)
    std::memcpy(&t.bgra[((size_t(y) + size_t(r)) * size_t(t.width) + size_t(x)) * 4], bgra + size_t(r) * stride,
                size_t(width) * 4);
  return true;
}

bool SoftwareGpuDevice::begin_scene() {
  if (lost_ || in_scene_) return false;
  in_scene_ = true;
  return true;
}

bool SoftwareGpuDevice::end_scene() {
  if (!in_scene_) return false;
  in_scene_ = false;
  return !lost_;
}

bool SoftwareGpuDevice::clear(uint32_t argb) {
  if (lost_) return false;
  const uint8_t px[4] = {uint8_t(argb), uint8_t(argb >> 8), uint8_t(argb >> 16), uint8_t(argb >> 24)};
  for (size_t i = 0; i < target_.size(); i += 4) std::memcpy(&target_[i], px, 4);
  return true;
}

bool SoftwareGpuDevice::draw_quad(const gpu_vertex v[4], const gpu_draw_state& s) {
  if (lost_ || !in_scene_) return false;
  // Triangle strip: (0, 1, 2), (2, 1, 3).
  draw_triangle(v[0], v[1], v[2], s);
  draw_triangle(v[2], v[1], v[3], s);
  return true;
}

void SoftwareGpuDevice::draw_triangle(const gpu_vertex& a, const gpu_vertex& b, const gpu_vertex& c,
                                      const gpu_draw_state& s) {
  // Edge functions in double; pixel centres at integer coordinates. A pixel
  // on an edge belongs to the triangle only for a top or left edge.
  const double ax = a.x, ay = a.y, bx = b.x, by = b.y, cx = c.x, cy = c.y;
  double area = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
  if (area == 0 || !std::isfinite(area)) return;
  const gpu_vertex* p[3] = {&a, &b, &c};
  if (area < 0) {
    std::swap(p[1], p[2]);
    area = -area;
  }
  const double px[3] = {p[0]->x, p[1]->x, p[2]->x}, py[3] = {p[0]->y, p[1]->y, p[2]->y};
  const double minx = std::max(0.0, std::ceil(std::min({px[0], px[1], px[2]})));
  const double maxx = std::min(double(width_ - 1), std::floor(std::max({px[0], px[1], px[2]})));
  const double miny = std::max(0.0, std::ceil(std::min({py[0], py[1], py[2]})));
  const double maxy = std::min(double(height_ - 1), std::floor(std::max({py[0], py[1], py[2]})));
  if (minx > maxx || miny > maxy) return;

  // Texture-space scale, for choosing the magnification or minification filter.
  const texture* t0 = find_texture(textures_, s.texture0);
  const texture* t1 = find_texture(textures_, s.texture1);
  gpu_filter filter = s.mag_filter;
  if (t0) {
    const double du_dx = ((p[1]->uv[0][0] - p[0]->uv[0][0]) * (py[2] - py[0]) -
                          (p[2]->uv[0][0] - p[0]->uv[0][0]) * (py[1] - py[0])) / area;
    const double du_dy = ((p[2]->uv[0][0] - p[0]->uv[0][0]) * (px[1] - px[0]) -
                          (p[1]->uv[0][0] - p[0]->uv[0][0]) * (px[2] - px[0])) / area;
    const double dv_dx = ((p[1]->uv[0][1] - p[0]->uv[0][1]) * (py[2] - py[0]) -
                          (p[2]->uv[0][1] - p[0]->uv[0][1]) * (py[1] - py[0])) / area;
    const double dv_dy = ((p[2]->uv[0][1] - p[0]->uv[0][1]) * (px[1] - px[0]) -
                          (p[1]->uv[0][1] - p[0]->uv[0][1]) * (px[2] - px[0])) / area;
    const double rx = std::hypot(du_dx * t0->width, dv_dx * t0->height);
    const double ry = std::hypot(du_dy * t0->width, dv_dy * t0->height);
    if (std::max(rx, ry) > 1.0 + 1e-6) filter = s.min_filter;
  }
  const rgba d = from_argb(p[0]->diffuse);

  auto top_left = [&](int i, int j) {
    const double dx = px[j] - px[i], dy = py[j] - py[i];
    // After the swap above the vertices run clockwise on the y-down screen:
    // a top edge is horizontal going right, a left edge goes up.
    return (dy == 0 && dx > 0) || dy < 0;
  };
  const bool tl[3] = {top_left(1, 2), top_left(2, 0), top_left(0, 1)};
  const bool needs_t1 = s.pass >= 0 || s.combiner == gpu_combiner::modulate_toward_t1;
  for (double y = miny; y <= maxy; ++y) {
    // The row's span from the three edges, widened by a pixel: the exact
    // test below decides every pixel, this only skips the bounding box's
    // empty corners (rotated quads).
    double lo = minx, hi = maxx;
    for (int e = 0; e < 3; ++e) {
      const int i = (e + 1) % 3, j = (e + 2) % 3;
      const double a = -(py[j] - py[i]), b = (px[j] - px[i]) * (y - py[i]) + (py[j] - py[i]) * px[i];
      if (a > 0) lo = std::max(lo, std::floor(-b / a) - 1);
      if (a < 0) hi = std::min(hi, std::ceil(-b / a) + 1);
    }
    for (double x = lo; x <= hi; ++x) {
      double w[3];
      bool inside = true;
      for (int e = 0; e < 3 && inside; ++e) {
        const int i = (e + 1) % 3, j = (e + 2) % 3;
        w[e] = (px[j] - px[i]) * (y - py[i]) - (py[j] - py[i]) * (x - px[i]);
        if (w[e] < 0 || (w[e] == 0 && !tl[e])) inside = false;
      }
      if (!inside) continue;
      const double l0 = w[0] / area, l1 = w[1] / area, l2 = w[2] / area;
      const float u = float(l0 * p[0]->uv[0][0] + l1 * p[1]->uv[0][0] + l2 * p[2]->uv[0][0]);
      const float v = float(l0 * p[0]->uv[0][1] + l1 * p[1]->uv[0][1] + l2 * p[2]->uv[0][1]);
      const rgba s0 = sample(t0, u, v, filter);
      const rgba s1 = needs_t1 ? sample(t1, u, v, filter) : rgba{1, 1, 1, 1};
      const rgba src = shade(s, s0, s1, d);
      // The fragment reaches the blender in the target's 8 bits, as on a GPU.
      const float sr = to_byte(src.r) / 255.f, sg = to_byte(src.g) / 255.f, sb = to_byte(src.b) / 255.f,
                  sa = to_byte(src.a) / 255.f;
      uint8_t* out = &target_[(size_t(y) * size_t(width_) + size_t(x)) * 4];
      const float dr = out[2] / 255.f, dg = out[1] / 255.f, db = out[0] / 255.f, da = out[3] / 255.f;
      out[2] = to_byte(blend_channel(s, sr, sa, dr));
      out[1] = to_byte(blend_channel(s, sg, sa, dg));
      out[0] = to_byte(blend_channel(s, sb, sa, db));
      out[3] = to_byte(blend_channel(s, sa, sa, da));
    }
  }
}

bool SoftwareGpuDevice::read_back(uint8_t* bgra, int width, int height, size_t stride) {
  if (lost_ || width <= 0 || height <= 0 || width > width_ || height > height_) return false;
  for (int r = 0; r < height; ++r)
    std::memcpy(bgra + size_t(r) * stride, &target_[size_t(r) * size_t(width_) * 4], size_t(width) * 4);
  return true;
}
