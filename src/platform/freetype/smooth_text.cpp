#include "platform/freetype/smooth_text.h"

#include <algorithm>

#include "platform/text_encoding.h"

namespace {
constexpr int scale = 4;  // the glyphs are rasterised at four times the cell
}

bool SmoothTextFont::open(FontRasterizer& rasterizer, const std::string& face_sjis, int cell_height, bool bold) {
  font_ = rasterizer.open_font(face_sjis, cell_height * scale, bold);
  cell_ = font_ ? cell_height : 0;
  return font_ != nullptr;
}

int SmoothTextFont::measure(std::string_view sjis) {
  if (!font_ || sjis.empty()) return 0;
  uint8_t dummy = 0xFF;
  const int advance = font_->draw_text(sjis, 0, 0, &dummy, 1, 0, 0);
  return (advance + scale - 1) / scale;
}

smooth_text_image SmoothTextFont::render(std::string_view sjis) {
  smooth_text_image out;
  if (!font_) return out;
  out.width = measure(sjis);
  out.height = cell_;
  out.alpha.assign(static_cast<size_t>(out.width) * out.height, 0);
  if (out.width == 0) return out;
  const int big_w = out.width * scale, big_h = out.height * scale, stride = (big_w + 7) / 8;
  std::vector<uint8_t> bits(static_cast<size_t>(stride) * big_h, 0xFF);  // paper; ink clears bits
  font_->draw_text(sjis, 0, 0, bits.data(), stride, big_w, big_h);
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      int coverage = 0;
      for (int r = 0; r < scale; ++r) {
        const uint8_t* row = bits.data() + static_cast<size_t>(y * scale + r) * stride;
        for (int c = 0; c < scale; ++c) {
          const int bx = x * scale + c;
          if (!(row[bx >> 3] & (0x80 >> (bx & 7)))) ++coverage;
        }
      }
      out.alpha[static_cast<size_t>(y) * out.width + x] = static_cast<uint8_t>(std::min(18 * coverage, 255));
    }
  return out;
}

void SmoothTextFont::draw(std::string_view sjis, int x, int y, smooth_text_image& into) {
  const smooth_text_image text = render(sjis);
  for (int r = 0; r < text.height; ++r) {
    const int ty = y + r;
    if (ty < 0 || ty >= into.height) continue;
    for (int c = 0; c < text.width; ++c) {
      const int tx = x + c;
      if (tx < 0 || tx >= into.width) continue;
      uint8_t& d = into.alpha[static_cast<size_t>(ty) * into.width + tx];
      d = std::max(d, text.alpha[static_cast<size_t>(r) * text.width + c]);
    }
  }
}

std::vector<std::string> wrap_sjis_text(SmoothTextFont& font, std::string_view sjis, int max_width) {
  std::vector<std::string> lines;
  std::string line;
  int width = 0;
  for (size_t pos = 0; pos < sjis.size();) {
    const size_t n = sjis_char_length(sjis, pos);
    const std::string_view ch = sjis.substr(pos, n);
    pos += n;
    if (ch == "\r") continue;
    if (ch == "\n") {
      lines.push_back(std::move(line));
      line.clear();
      width = 0;
      continue;
    }
    const int w = font.measure(ch);
    if (!line.empty() && width + w > max_width) {
      lines.push_back(std::move(line));
      line.clear();
      width = 0;
    }
    line.append(ch);
    width += w;
  }
  lines.push_back(std::move(line));
  return lines;
}
