// Shared pieces of the font tests: a scripted rasterizer whose glyphs are
// plain boxes, a picture to draw into, and PNG output of a picture.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/sjis.h"
#include "graphics/fonts.h"
#include "platform/platform.h"

namespace font_test {

inline std::string sj(const char* utf8) { return utf8_to_sjis(utf8); }

// Glyphs are boxes: a character c draws ink over columns 1 .. width_of(c)
// and rows 1 .. cell - 2 of the cell; ' ' and the full-width space draw none.
struct box_rasterizer : FontRasterizer {
  std::vector<font_face_info> faces;
  std::vector<std::string> opened;  // "name height bold" per open_font
  bool refuse = false;
  // Ink width of a character as a fraction of the cell height (per mille).
  std::map<std::string, int> ink_per_mille;

  struct box_font : RasterFont {
    box_rasterizer* owner;
    int height;
    box_font(box_rasterizer* o, int h) : owner(o), height(h) {}
    int cell_height() const override { return height; }
    int draw_text(std::string_view sjis, int x, int y, uint8_t* bits, int stride_bytes, int width,
                  int h) override {
      std::string c(sjis);
      if (c == " " || c == sj("　")) return height / 2;
      int per_mille = owner->ink_per_mille.count(c) ? owner->ink_per_mille[c] : 500;
      int ink = height * per_mille / 1000;
      for (int r = y + 1; r <= y + height - 2 && r < h; ++r)
        for (int col = x + 1; col <= x + ink && col < width; ++col)
          bits[static_cast<size_t>(r) * stride_bytes + col / 8] &= static_cast<uint8_t>(~(0x80 >> (col % 8)));
      return ink + 2;
    }
  };

  std::vector<font_face_info> list_faces() override { return faces; }
  std::unique_ptr<RasterFont> open_font(const std::string& face, int h, bool bold) override {
    opened.push_back(face + " " + std::to_string(h) + (bold ? " bold" : ""));
    if (refuse) return nullptr;
    return std::make_unique<box_font>(this, h);
  }
};

// Installs a platform whose only service is the given rasterizer.
struct font_platform {
  Platform services;
  explicit font_platform(FontRasterizer* fonts) {
    services.fonts = fonts;
    install_platform(&services);
  }
  ~font_platform() { install_platform(nullptr); }
};

// A w x h picture, every pixel `fill` (0xAARRGGBB).
struct test_picture {
  int width, height;
  std::vector<uint8_t> pixels;
  test_picture(int w, int h, uint32_t fill = 0) : width(w), height(h), pixels(static_cast<size_t>(w) * h * 4) {
    for (int i = 0; i < w * h; ++i) set_index(i, fill);
  }
  void set_index(int i, uint32_t v) {
    for (int k = 0; k < 4; ++k) pixels[static_cast<size_t>(i) * 4 + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  void set(int x, int y, uint32_t v) { set_index(y * width + x, v); }
  uint32_t at(int x, int y) const {
    const uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 4];
    return static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  glyph_surface surface() { return glyph_surface{pixels.data(), width, height}; }
  int count_alpha_above(int a) const {
    int n = 0;
    for (int i = 0; i < width * height; ++i) n += pixels[static_cast<size_t>(i) * 4 + 3] > a;
    return n;
  }
};

// Installs the project's own command file (handlers included); 0 on success.
int install_canonical_commands();

// Writes B, G, R, A pixels as an RGBA PNG; false on failure.
bool write_png_file(const std::string& path, const uint8_t* bgra, int width, int height);
// Reads a PNG file into B, G, R, A pixels; false on failure.
bool read_png_file(const std::string& path, std::vector<uint8_t>& bgra, int& width, int& height);

}  // namespace font_test
