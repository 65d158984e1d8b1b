// Glyphs drawn per second through draw_text_glyph on the IPA fonts (the
// headless font set), with a warm cache (same cell, glyphs already
// rendered), with new glyphs (same font, every glyph rendered for the first
// time), and cold (the font rebuilt for every glyph). Beside them, the peer
// baseline: bare FreeType loading and rendering the same glyphs in one-bit
// mode at the same size. The BM_glyph_part rows split a warm glyph into its
// steps (see below); make bench lists them under the glyph figures.
#include <benchmark/benchmark.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <memory>
#include <string>
#include <vector>

#include "core/sjis.h"
#include "graphics/fonts.h"
#include "platform/freetype/freetype_fonts.h"

namespace {

struct bench_fonts {
  FreeTypeFontRasterizer rasterizer{FreeTypeFontRasterizer::config_source::text,
                                    FreeTypeFontRasterizer::ipa_fonts_config_text()};
  Platform services;
  bool ok = false;
  bench_fonts() {
    services.fonts = &rasterizer;
    install_platform(&services);
    ok = rasterizer.ready() && !rasterizer.list_faces().empty();
    build_font_list();
  }
};

bench_fonts& fonts() {
  static bench_fonts f;
  return f;
}

// The characters of a line of text, one Shift-JIS character each.
std::vector<std::string> characters(const std::string& utf8) {
  std::string s = utf8_to_sjis(utf8);
  std::vector<std::string> out;
  for (size_t pos = 0; pos < s.size(); pos += sjis_char_length(s, pos)) out.push_back(s.substr(pos, sjis_char_length(s, pos)));
  return out;
}

const std::vector<std::string>& sentence() {
  static const std::vector<std::string> c = characters("吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。ABCxyz123");
  return c;
}

// Every double-byte character of the first kanji level and the kana rows.
const std::vector<std::string>& many_characters() {
  static std::vector<std::string> c = [] {
    std::vector<std::string> out;
    for (int lead = 0x82; lead <= 0x98; ++lead)
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        if (trail == 0x7F) continue;
        std::string ch{static_cast<char>(lead), static_cast<char>(trail)};
        if (sjis_to_utf8(ch) != "?") out.push_back(ch);
      }
    return out;
  }();
  return c;
}

struct picture {
  std::vector<uint8_t> pixels = std::vector<uint8_t>(640 * 480 * 4, 0);
  glyph_surface surface() { return glyph_surface{pixels.data(), 640, 480}; }
};

void draw_line(benchmark::State& state, const std::vector<std::string>& chars, int mode, bool cold,
               bool warm_up = true, int gradient = 3, int extra = 0) {
  if (!fonts().ok) {
    state.SkipWithError("the IPA fonts are not installed");
    return;
  }
  picture pic;
  glyph_surface s = pic.surface();
  const int cell = 24;
  size_t i = 0;
  int x = 0, y = 0;
  // Warm: run the characters once so every glyph is in the caches.
  if (!cold && warm_up)
    for (const std::string& c : chars) draw_text_glyph(c, 0xFFFFFF, 0x8080FF, gradient, 0, cell, cell, 0, mode, extra, 0, 0, 1, s);
  for (auto _ : state) {
    const std::string& c = chars[i++ % chars.size()];
    // Cold: alternate the cell height, which rebuilds the slot's font.
    int h = cold ? cell + static_cast<int>(i & 1) : cell;
    x += draw_text_glyph(c, 0xFFFFFF, 0x8080FF, gradient, 0, cell, h, 0, mode, extra, x + 12, y + 12, 1, s);
    if (x > 640 - 3 * cell) x = 0, y = (y + cell) % (480 - 3 * cell);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_glyph_warm_antialiased(benchmark::State& state) { draw_line(state, sentence(), 1, false); }
// Flat colour, one pass: the plain case.
void BM_glyph_warm_plain(benchmark::State& state) { draw_line(state, sentence(), 1, false, true, 0, 0); }
// An edge (five passes) and a shadow (three passes), flat colour.
void BM_glyph_warm_edge(benchmark::State& state) { draw_line(state, sentence(), 1, false, true, 0, 2); }
void BM_glyph_warm_shadow(benchmark::State& state) { draw_line(state, sentence(), 1, false, true, 0, 12); }

// Where a warm glyph's time goes. cache_lookup: draw_text_glyph into a
// picture the cell never fits, so everything but the passes (cache look-up,
// metrics, corners, pass positions). gradient_plane: the colour plane of a
// gradient already drawn (gradient_build: one not among the last few, built
// afresh). kernel_*: one pass of a prepared glyph (what each pass of
// draw_text_glyph costs: the blend over the picture, flat or graded, drawn
// over or replacing), along the same line of text as the warm rows.
// prepare_coverage: a glyph new to the cache turned into its alpha plane
// (once per character and cell).
void BM_glyph_part_cache_lookup(benchmark::State& state) {
  if (!fonts().ok) return state.SkipWithError("the IPA fonts are not installed");
  const auto& chars = sentence();
  glyph_surface nowhere{nullptr, 0, 0};
  for (const std::string& c : chars) draw_text_glyph(c, 0xFFFFFF, 0x8080FF, 0, 0, 24, 24, 0, 1, 0, 12, 12, 1, nowhere);
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        draw_text_glyph(chars[i++ % chars.size()], 0xFFFFFF, 0x8080FF, 0, 0, 24, 24, 0, 1, 0, 12, 12, 1, nowhere));
}

void BM_glyph_part_gradient_plane(benchmark::State& state) {
  gradient_corners c = gradient_corners_for(3, 0, 0xFFFFFF, 0x8080FF);
  for (auto _ : state) benchmark::DoNotOptimize(gradient_plane(c, 24, 24));
}
void BM_glyph_part_gradient_build(benchmark::State& state) {
  int k = 0;
  for (auto _ : state) {
    // Eight colours in turn: more than the planes kept.
    gradient_corners c = gradient_corners_for(3, 0, 0xFFFFFF, 0x8080F0 + (k++ & 7));
    benchmark::DoNotOptimize(gradient_plane(c, 24, 24));
  }
}

// The sentence's glyphs prepared for a 24 x 24 anti-aliased cell, with their
// advances.
struct prepared_line {
  std::vector<prepared_glyph> glyphs;
  std::vector<int> advances;
  prepared_line() {
    for (const std::string& c : sentence()) {
      glyph_metrics m = render_glyph(c, 24, 24, 0, 1);
      const glyph_cache_record& cache = glyph_caches[0];
      glyphs.emplace_back();
      prepare_glyph(cache.bits.data(), cache.stride, cache.stride, 24, 24, false, glyphs.back());
      advances.push_back(m.advance);
    }
  }
};

void glyph_kernel_pass(benchmark::State& state, int gradient, int overlay) {
  if (!fonts().ok) return state.SkipWithError("the IPA fonts are not installed");
  const prepared_line line;
  picture pic;
  glyph_surface s = pic.surface();
  gradient_corners corners = gradient_corners_for(gradient, 0, 0xFFFFFF, 0x8080FF);
  size_t i = 0;
  int x = 0, y = 0;
  for (const prepared_glyph& g : line.glyphs) draw_prepared_glyph(g, corners, 0, 12, 12, overlay, s);
  for (auto _ : state) {
    const size_t k = i++ % line.glyphs.size();
    draw_prepared_glyph(line.glyphs[k], corners, 0, x + 12, y + 12, overlay, s);
    x += line.advances[k];
    if (x > 640 - 3 * 24) x = 0, y = (y + 24) % (480 - 3 * 24);
  }
}
void BM_glyph_part_kernel_flat(benchmark::State& state) { glyph_kernel_pass(state, 0, 1); }
void BM_glyph_part_kernel_gradient(benchmark::State& state) { glyph_kernel_pass(state, 3, 1); }
void BM_glyph_part_kernel_replace(benchmark::State& state) { glyph_kernel_pass(state, 0, 0); }

void BM_glyph_part_prepare_coverage(benchmark::State& state) {
  if (!fonts().ok) return state.SkipWithError("the IPA fonts are not installed");
  render_glyph(sentence()[0], 24, 24, 0, 1);
  const glyph_cache_record& cache = glyph_caches[0];
  const std::vector<uint8_t> bits = cache.bits;
  prepared_glyph g;
  for (auto _ : state) {
    prepare_glyph(bits.data(), cache.stride, cache.stride, 24, 24, false, g);
    benchmark::DoNotOptimize(g.alpha.data());
  }
}
void BM_glyph_warm_one_bit(benchmark::State& state) { draw_line(state, sentence(), 0, false); }
// Same font throughout; the characters outnumber the glyph cache, so nearly
// every glyph is rendered by FreeType first.
void BM_glyph_new_glyphs_antialiased(benchmark::State& state) { draw_line(state, many_characters(), 1, false, false); }
void BM_glyph_cold_antialiased(benchmark::State& state) { draw_line(state, sentence(), 1, true); }
void BM_glyph_cold_one_bit(benchmark::State& state) { draw_line(state, sentence(), 0, true); }

// Peer baseline: FreeType alone, one-bit rendering of the same characters at
// the anti-aliased path's font height (4 x 24), no cache.
void BM_freetype_bare_render(benchmark::State& state) {
  std::string file = fonts().rasterizer.resolve_file(utf8_to_sjis("ＭＳ ゴシック"), false);
  if (file.empty()) {
    state.SkipWithError("the IPA fonts are not installed");
    return;
  }
  int index = std::stoi(file.substr(file.rfind(':') + 1));
  file.resize(file.rfind(':'));
  FT_Library lib = nullptr;
  FT_Face face = nullptr;
  FT_Init_FreeType(&lib);
  FT_New_Face(lib, file.c_str(), index, &face);
  FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(state.range(0)));
  std::vector<uint32_t> codes;
  for (const std::string& c : sentence())
    codes.push_back(sjis_char_to_unicode(reinterpret_cast<const uint8_t*>(c.data()), c.size(), true));
  size_t i = 0;
  for (auto _ : state) {
    FT_Load_Char(face, codes[i++ % codes.size()], FT_LOAD_RENDER | FT_LOAD_TARGET_MONO);
    benchmark::DoNotOptimize(face->glyph->bitmap.buffer);
  }
  state.SetItemsProcessed(state.iterations());
  FT_Done_Face(face);
  FT_Done_FreeType(lib);
}

}  // namespace

BENCHMARK(BM_glyph_warm_antialiased);
BENCHMARK(BM_glyph_warm_plain);
BENCHMARK(BM_glyph_warm_edge);
BENCHMARK(BM_glyph_warm_shadow);
BENCHMARK(BM_glyph_part_cache_lookup)->Name("BM_glyph_part/cache_lookup");
BENCHMARK(BM_glyph_part_gradient_plane)->Name("BM_glyph_part/gradient_plane");
BENCHMARK(BM_glyph_part_kernel_flat)->Name("BM_glyph_part/kernel_flat");
BENCHMARK(BM_glyph_part_kernel_gradient)->Name("BM_glyph_part/kernel_gradient");
BENCHMARK(BM_glyph_part_kernel_replace)->Name("BM_glyph_part/kernel_replace");
BENCHMARK(BM_glyph_part_gradient_build)->Name("BM_glyph_part/gradient_build");
BENCHMARK(BM_glyph_part_prepare_coverage)->Name("BM_glyph_part/prepare_coverage");
BENCHMARK(BM_glyph_warm_one_bit);
BENCHMARK(BM_glyph_new_glyphs_antialiased);
BENCHMARK(BM_glyph_cold_antialiased);
BENCHMARK(BM_glyph_cold_one_bit);
BENCHMARK(BM_freetype_bare_render)->Arg(24)->Arg(96);

BENCHMARK_MAIN();
