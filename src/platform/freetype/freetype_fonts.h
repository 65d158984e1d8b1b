// The font rasterizer on FreeType and fontconfig. It reproduces what the
// glyph code expects of the original text-out on a one-bit bitmap: the font
// height is the cell height (ascent + descent of the face's Windows metrics),
// text is drawn top-left aligned from the cell origin, glyphs are one-bit
// black ink on white, texts are Shift-JIS (0x5C is the yen sign in a Japanese
// face, 0xA1..0xDF half-width katakana).
//
// The real backend reads the system's fontconfig configuration; the headless
// one reads a configuration of its own (the Debian IPA fonts, or a file the
// test names), so what it draws does not depend on the machine's other fonts.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace freetype_detail {
struct shared_state;
}

class FreeTypeFontRasterizer final : public FontRasterizer {
 public:
  // Where the configuration comes from: the system's, a fontconfig file, or a
  // configuration text.
  enum class config_source { system, file, text };
  // Nothing is scanned until the first list_faces() or open_font().
  FreeTypeFontRasterizer(config_source source = config_source::system, std::string config = {});
  ~FreeTypeFontRasterizer() override;
  FreeTypeFontRasterizer(const FreeTypeFontRasterizer&) = delete;
  FreeTypeFontRasterizer& operator=(const FreeTypeFontRasterizer&) = delete;

  std::vector<font_face_info> list_faces() override;
  std::unique_ptr<RasterFont> open_font(const std::string& face_sjis, int cell_height, bool bold) override;

  // False when FreeType or the configuration could not be set up (then no
  // face is listed and no font opens).
  bool ready();

  // Rendered glyph bitmaps are kept per opened font; these count look-ups.
  struct glyph_cache_counters {
    uint64_t hits = 0;
    uint64_t misses = 0;
  };
  glyph_cache_counters counters() const;
  void reset_counters();

  // The host file (UTF-8) and face index that serve a face name, or "" when
  // none does. For tests and the environment report.
  std::string resolve_file(const std::string& face_sjis, bool bold);

  // The configuration text of the headless backend: only the Debian IPA font
  // folders.
  static std::string ipa_fonts_config_text();

 private:
  void ensure_loaded();
  config_source source_;
  std::string config_;
  std::once_flag loaded_;
  std::shared_ptr<freetype_detail::shared_state> state_;
};

// Maps a Shift-JIS character (1 or 2 bytes) to its Unicode code point, the
// way a Japanese face shows it when `japanese_face` (0x5C as U+00A5). 0 for
// bytes that are no character.
uint32_t sjis_char_to_unicode(const uint8_t* bytes, size_t length, bool japanese_face);
