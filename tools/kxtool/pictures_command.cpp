// kxtool pictures: the demo game's pictures, drawn from code so the demo
// needs no binary assets: gradients and simple shapes with soft alpha edges.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kxtool_files.h"

namespace {

struct rgba {
  double r, g, b, a;  // 0..1
};

uint8_t to_byte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 1.0) * 255.0 + 0.5); }

bool write_picture(const std::filesystem::path& path, int width, int height,
                   const std::function<rgba(double x, double y)>& shade) {
  std::vector<uint8_t> bgra(static_cast<size_t>(width) * 4 * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const rgba c = shade(x + 0.5, y + 0.5);
      uint8_t* p = bgra.data() + (static_cast<size_t>(y) * width + x) * 4;
      p[0] = to_byte(c.b);
      p[1] = to_byte(c.g);
      p[2] = to_byte(c.r);
      p[3] = to_byte(c.a);
    }
  }
  picture_buffer picture;
  picture.pixels = bgra.data();
  picture.width = width;
  picture.height = height;
  std::vector<uint8_t> png;
  if (encode_png(picture, png) != 0) {
    std::fprintf(stderr, "kxtool pictures: cannot encode %s\n", path.c_str());
    return false;
  }
  return kxtool_write_file(path.string(), png);
}

// Soft edge: 1 inside, 0 outside, over one pixel around the boundary.
double edge(double distance_inside) { return std::clamp(distance_inside + 0.5, 0.0, 1.0); }

rgba hue(double h) {
  h = h - std::floor(h);
  const double r = std::clamp(std::fabs(h * 6 - 3) - 1, 0.0, 1.0);
  const double g = std::clamp(2 - std::fabs(h * 6 - 2), 0.0, 1.0);
  const double b = std::clamp(2 - std::fabs(h * 6 - 4), 0.0, 1.0);
  return {r, g, b, 1};
}

}  // namespace

int kxtool_pictures(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: kxtool pictures FOLDER\n");
    return 2;
  }
  const std::filesystem::path folder = std::filesystem::path(args[0]) / "cg";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  bool ok = true;
  // Background: a vertical night-sky gradient with a faint checker floor.
  ok &= write_picture(folder / "bg.png", 640, 480, [](double x, double y) {
    const double t = y / 480.0;
    rgba c{0.05 + 0.25 * t, 0.08 + 0.10 * t, 0.30 + 0.25 * (1 - t), 1};
    if (y > 360 && ((static_cast<int>(x) / 40 + static_cast<int>(y) / 20) % 2 == 0)) {
      c.r += 0.08;
      c.g += 0.08;
      c.b += 0.08;
    }
    return c;
  });
  // A rainbow panel with a white frame (opaque).
  ok &= write_picture(folder / "panel.png", 200, 140, [](double x, double y) {
    if (x < 4 || y < 4 || x > 196 || y > 136) return rgba{1, 1, 1, 1};
    rgba c = hue(x / 200.0);
    const double shade = 0.55 + 0.45 * (1 - y / 140.0);
    return rgba{c.r * shade, c.g * shade, c.b * shade, 1};
  });
  // A ball: radial orange gradient, soft alpha edge.
  ok &= write_picture(folder / "ball.png", 96, 96, [](double x, double y) {
    const double dx = x - 48, dy = y - 48;
    const double d = std::sqrt(dx * dx + dy * dy);
    const double light = std::clamp(1 - std::hypot(x - 34, y - 34) / 70.0, 0.0, 1.0);
    return rgba{0.6 + 0.4 * light, 0.25 + 0.6 * light * light, 0.05 + 0.5 * light * light * light, edge(44 - d)};
  });
  // A white ring, used with the additive and screen modes.
  ok &= write_picture(folder / "ring.png", 160, 160, [](double x, double y) {
    const double d = std::hypot(x - 80, y - 80);
    const double a = std::min(edge(76 - d), edge(d - 52));
    return rgba{0.9, 0.95, 1.0, a};
  });
  // A light grey square with a dark diagonal band, used with multiply and
  // difference.
  ok &= write_picture(folder / "square.png", 180, 180, [](double x, double y) {
    const double band = std::fabs((x - y)) < 30 ? 0.25 : 0.85;
    return rgba{band, band * 0.9 + 0.1, 0.5 + band * 0.5, 1};
  });
  // A horizontal grey ramp used with overlay.
  ok &= write_picture(folder / "ramp.png", 640, 60, [](double x, double) {
    const double v = x / 640.0;
    return rgba{v, v, v, 1};
  });
  // The message box: dark, half transparent, with a thin light border.
  ok &= write_picture(folder / "textbox.png", 560, 96, [](double x, double y) {
    if (x < 2 || y < 2 || x > 558 || y > 94) return rgba{0.8, 0.85, 1.0, 0.9};
    return rgba{0.02, 0.02, 0.08, 0.7};
  });
  // The message layer itself starts transparent: the typesetter draws into it.
  ok &= write_picture(folder / "text.png", 540, 80, [](double, double) { return rgba{0, 0, 0, 0}; });
  return ok ? 0 : 1;
}
