// Anti-aliased text for the player's own windows (its dialogs), drawn with the
// same rule as the message text: the face is rasterised one-bit at four times
// the cell height and every 4 x 4 block of ink gives a coverage of 0..16,
// whose alpha is min(18 x coverage, 255).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// One alpha byte per pixel, rows of `width` bytes.
struct smooth_text_image {
  int width = 0, height = 0;
  std::vector<uint8_t> alpha;
};

class SmoothTextFont {
 public:
  // The face at `cell_height` pixels; false when the rasterizer has no face.
  bool open(FontRasterizer& rasterizer, const std::string& face_sjis, int cell_height, bool bold = false);
  bool ready() const { return font_ != nullptr; }
  int cell_height() const { return cell_; }
  // The advance of a Shift-JIS text in pixels.
  int measure(std::string_view sjis);
  // Draws the text with its cell's top-left corner at (x, y); ink is kept
  // where it is stronger than what the image holds, so texts may overlap.
  void draw(std::string_view sjis, int x, int y, smooth_text_image& into);
  // The text alone in an image of its advance by the cell height.
  smooth_text_image render(std::string_view sjis);

 private:
  std::unique_ptr<RasterFont> font_;
  int cell_ = 0;
};

// Splits a Shift-JIS text into lines (at LF; CR is dropped) no wider than
// `max_width` pixels, breaking long lines between characters.
std::vector<std::string> wrap_sjis_text(SmoothTextFont& font, std::string_view sjis, int max_width);
