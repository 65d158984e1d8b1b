// The FreeType rasterizer on the test's own fontconfig file (the Debian IPA
// fonts only): the face list and its Japanese names, cell heights, ink and
// advances of real glyphs, Shift-JIS specials, both caches, and a golden
// picture of a line of Japanese text.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>

#include "font_test_support.h"
#include "graphics/pixel_kernels.h"
#include "platform/freetype/freetype_fonts.h"
#include "platform/headless/headless_platform.h"
#include "support/reported_errors.h"
#include "support/temp_folder.h"

using namespace font_test;

namespace {

const char* const gothic_dir = "/usr/share/fonts/opentype/ipafont-gothic";
const char* const mincho_dir = "/usr/share/fonts/opentype/ipafont-mincho";

bool ipa_fonts_present() {
  struct stat st {};
  return stat((std::string(gothic_dir) + "/ipag.ttf").c_str(), &st) == 0 &&
         stat((std::string(gothic_dir) + "/ipagp.ttf").c_str(), &st) == 0 &&
         stat((std::string(mincho_dir) + "/ipam.ttf").c_str(), &st) == 0;
}

class FreeTypeFonts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ipa_fonts_present())
      GTEST_SKIP() << "the IPA fonts (fonts-ipafont-gothic, fonts-ipafont-mincho) are not installed";
    folder.write("fonts.conf", std::string("<?xml version=\"1.0\"?>\n<fontconfig>\n  <dir>") + gothic_dir +
                                   "</dir>\n  <dir>" + mincho_dir + "</dir>\n  <cachedir>" + folder.path() +
                                   "fc-cache</cachedir>\n</fontconfig>\n");
    fonts = std::make_unique<FreeTypeFontRasterizer>(FreeTypeFontRasterizer::config_source::file,
                                                     folder.path() + "fonts.conf");
    ASSERT_TRUE(fonts->ready());
    services.fonts = fonts.get();
    install_platform(&services);
    build_font_list();
    glyph_cache_counters = {};
  }
  void TearDown() override {
    release_glyph_caches();
    install_platform(nullptr);
  }

  // Ink of one character drawn by the rasterizer alone into a cell-sized
  // bitmap: (column, row) of every ink pixel.
  std::vector<std::pair<int, int>> ink_of(const std::string& face, int height, const std::string& text,
                                          int* advance = nullptr) {
    std::unique_ptr<RasterFont> f = fonts->open_font(face, height, false);
    EXPECT_NE(f, nullptr);
    if (!f) return {};
    const int w = height * 2, stride = (w + 7) / 8;
    std::vector<uint8_t> bits(static_cast<size_t>(stride) * height, 0xFF);
    int a = f->draw_text(text, 0, 0, bits.data(), stride, w, height);
    if (advance) *advance = a;
    std::vector<std::pair<int, int>> ink;
    for (int r = 0; r < height; ++r)
      for (int c = 0; c < w; ++c)
        if (!(bits[static_cast<size_t>(r) * stride + c / 8] & (0x80 >> (c % 8)))) ink.emplace_back(c, r);
    return ink;
  }

  temp_folder folder;
  std::unique_ptr<FreeTypeFontRasterizer> fonts;
  Platform services;
};

int index_of(const std::string& name) {
  const auto& names = pixel_kernels.fonts.face_names;
  auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

}  // namespace

TEST_F(FreeTypeFonts, ListsTheConfiguredFacesAndTheJapaneseNamesGamesAskFor) {
  const installed_font_list& list = pixel_kernels.fonts;
  // Only the test's own folders: no face of the machine's other fonts.
  EXPECT_EQ(index_of("DejaVu Sans"), -1);
  for (const char* name : {"IPAGothic", "IPAPGothic", "IPAMincho", "IPAPMincho", "IPAゴシック", "IPA P明朝"})
    EXPECT_GE(index_of(sj(name)), 0) << name;
  for (const char* name : {"ＭＳ ゴシック", "ＭＳ Ｐゴシック", "ＭＳ 明朝", "ＭＳ Ｐ明朝", "メイリオ", "標準明朝"})
    EXPECT_GE(index_of(sj(name)), 0) << name;
  for (int i = 0; i < list.count; ++i) EXPECT_EQ(list.non_japanese[static_cast<size_t>(i)], 0) << i;
  EXPECT_EQ(list.pitch[static_cast<size_t>(index_of("IPAGothic"))], 0);
  EXPECT_EQ(list.pitch[static_cast<size_t>(index_of("IPAPGothic"))], 1);
  EXPECT_EQ(list.pitch[static_cast<size_t>(index_of(sj("ＭＳ ゴシック")))], 0);
  EXPECT_EQ(list.pitch[static_cast<size_t>(index_of(sj("ＭＳ Ｐゴシック")))], 1);
  // Every slot starts on the first default name, served by IPAGothic.
  for (int s = 0; s < 8; ++s) EXPECT_EQ(list.slot_faces[s], index_of(sj("ＭＳ ゴシック")));
  EXPECT_NE(fonts->resolve_file(sj("ＭＳ ゴシック"), false).find("ipag.ttf"), std::string::npos);
  EXPECT_NE(fonts->resolve_file(sj("ＭＳ 明朝"), false).find("ipam.ttf"), std::string::npos);
  EXPECT_NE(fonts->resolve_file(sj("メイリオ"), false).find("ipagp.ttf"), std::string::npos);
  // A name nobody installed still gets a Japanese face.
  EXPECT_NE(fonts->resolve_file("No Such Face", false), "");
  // The same list in the same order on every call.
  EXPECT_EQ(fonts->list_faces().size(), static_cast<size_t>(list.count));
}

TEST_F(FreeTypeFonts, TheFontHeightIsTheCellHeightAndTextHangsFromItsTop) {
  for (int h : {12, 20, 33, 80}) {
    auto ink = ink_of(sj("ＭＳ ゴシック"), h, sj("■"));
    ASSERT_FALSE(ink.empty()) << h;
    int top = h, bottom = -1;
    for (auto [c, r] : ink) top = std::min(top, r), bottom = std::max(bottom, r);
    // The full block fills most of the cell and stays inside it.
    EXPECT_GE(top, 0);
    EXPECT_LT(bottom, h);
    EXPECT_GE(bottom - top + 1, h * 6 / 10) << h;
    EXPECT_LE(top, h / 4) << h;
  }
  // Drawn at (x, y), the same ink moves with the origin.
  std::unique_ptr<RasterFont> f = fonts->open_font(sj("ＭＳ ゴシック"), 20, false);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->cell_height(), 20);
  std::vector<uint8_t> a(8 * 40, 0xFF), b(8 * 40, 0xFF);
  f->draw_text(sj("字"), 0, 0, a.data(), 8, 64, 40);
  f->draw_text(sj("字"), 8, 10, b.data(), 8, 64, 40);
  for (int r = 0; r < 30; ++r) EXPECT_EQ(a[static_cast<size_t>(r) * 8], b[static_cast<size_t>(r + 10) * 8 + 1]) << r;
}

TEST_F(FreeTypeFonts, FixedAndProportionalAdvances) {
  // Fixed pitch: half the cell for a single byte, the cell for a double byte.
  glyph_metrics m = render_glyph(sj("あ"), 20, 22, 0, 1);
  EXPECT_EQ(m.advance, 20);
  EXPECT_EQ(m.height, 22);
  EXPECT_EQ(render_glyph("A", 20, 20, 0, 1).advance, 10);
  EXPECT_EQ(render_glyph("i", 20, 20, 0, 0).advance, 10);

  ASSERT_EQ(select_font_by_name(sj("ＭＳ Ｐゴシック")), 1);
  glyph_metrics narrow = render_glyph("i", 20, 20, 0, 1);
  glyph_metrics wide = render_glyph("W", 20, 20, 0, 1);
  EXPECT_LT(narrow.advance, wide.advance);
  EXPECT_LE(wide.advance, 20);
  EXPECT_GT(narrow.advance, 4);
  // The ink scan in glyph mode 0 measures at the cell's own scale.
  glyph_metrics wide0 = render_glyph("W", 20, 20, 0, 0);
  EXPECT_NEAR(wide0.advance, wide.advance, 2);
  // No ink: half the cell for a single byte, the cell for a double byte.
  EXPECT_EQ(render_glyph(" ", 20, 20, 0, 1).advance, 10);
  EXPECT_EQ(render_glyph(" ", 20, 20, 0, 1).height, 20);
  EXPECT_EQ(render_glyph(sj("　"), 20, 20, 0, 1).advance, 20);
  EXPECT_EQ(render_glyph(sj("　"), 21, 20, 0, 0).advance, 21);
}

TEST_F(FreeTypeFonts, ShiftJisSpecialsYenAndHalfWidthKatakana) {
  const uint8_t yen = 0x5C, a_kana = 0xB1;
  EXPECT_EQ(sjis_char_to_unicode(&yen, 1, true), 0xA5u);
  EXPECT_EQ(sjis_char_to_unicode(&yen, 1, false), 0x5Cu);
  EXPECT_EQ(sjis_char_to_unicode(&a_kana, 1, true), 0xFF71u);
  const uint8_t full_yen[2] = {0x81, 0x8F}, lone_lead[1] = {0x82}, bad[1] = {0x80};
  EXPECT_EQ(sjis_char_to_unicode(full_yen, 2, true), 0xFFE5u);
  EXPECT_EQ(sjis_char_to_unicode(lone_lead, 1, true), 0u);
  EXPECT_EQ(sjis_char_to_unicode(bad, 1, true), 0u);

  // 0x5C draws a yen sign: a glyph symmetric about its middle, unlike '/'.
  auto symmetry = [&](const std::string& text) {
    auto ink = ink_of(sj("ＭＳ ゴシック"), 40, text);
    std::set<std::pair<int, int>> set(ink.begin(), ink.end());
    int lo = 1000, hi = -1;
    for (auto [c, r] : ink) lo = std::min(lo, c), hi = std::max(hi, c);
    int mirrored = 0;
    for (auto [c, r] : ink) mirrored += set.count({lo + hi - c, r}) != 0;
    return ink.empty() ? 0.0 : static_cast<double>(mirrored) / static_cast<double>(ink.size());
  };
  EXPECT_GT(symmetry("\\"), 0.9);
  EXPECT_LT(symmetry("/"), 0.5);

  // Half-width katakana: ink, narrower than the full-width form.
  int half_advance = 0, full_advance = 0;
  auto half = ink_of(sj("ＭＳ ゴシック"), 40, "\xB1", &half_advance);
  auto full = ink_of(sj("ＭＳ ゴシック"), 40, sj("ア"), &full_advance);
  ASSERT_FALSE(half.empty());
  ASSERT_FALSE(full.empty());
  EXPECT_LT(half_advance, full_advance);
  int half_right = 0;
  for (auto [c, r] : half) half_right = std::max(half_right, c);
  EXPECT_LT(half_right, full_advance / 2 + 1);
}

TEST_F(FreeTypeFonts, CachesHitAndMiss) {
  fonts->reset_counters();
  render_glyph(sj("あ"), 20, 20, 0, 1);
  EXPECT_EQ(glyph_cache_counters.misses, 1u);
  EXPECT_EQ(fonts->counters().misses, 1u);
  render_glyph(sj("あ"), 20, 20, 0, 1);
  render_glyph(sj("い"), 20, 20, 0, 1);
  EXPECT_EQ(glyph_cache_counters.hits, 2u);
  EXPECT_EQ(glyph_cache_counters.misses, 1u);
  // あ again comes from the slot's rendered glyphs without asking the
  // rasteriser; い is new to both.
  EXPECT_EQ(fonts->counters().hits, 0u);
  EXPECT_EQ(fonts->counters().misses, 2u);
  EXPECT_EQ(glyph_caches[0].rendered.size(), 2u);
  // Every key part rebuilds: cell width, cell height, glyph mode, bold, face.
  render_glyph(sj("あ"), 22, 20, 0, 1);
  render_glyph(sj("あ"), 22, 24, 0, 1);
  render_glyph(sj("あ"), 22, 24, 0, 0);
  render_glyph(sj("あ"), 22, 24, 1, 0);
  select_font_by_name(sj("ＭＳ 明朝"));
  render_glyph(sj("あ"), 22, 24, 1, 0);
  EXPECT_EQ(glyph_cache_counters.misses, 6u);
  EXPECT_EQ(glyph_cache_counters.hits, 2u);
  // A rebuilt font starts with no glyphs: あ is rendered again.
  EXPECT_EQ(fonts->counters().misses, 7u);
  // Each slot keeps its own cache.
  select_font_slot(1);
  render_glyph(sj("あ"), 22, 24, 1, 0);
  select_font_slot(0);
  render_glyph(sj("あ"), 22, 24, 1, 0);
  EXPECT_EQ(glyph_cache_counters.misses, 7u);
  EXPECT_EQ(glyph_cache_counters.hits, 3u);
}

TEST_F(FreeTypeFonts, BoldIsWider) {
  auto regular = ink_of(sj("ＭＳ ゴシック"), 40, sj("一"));
  std::unique_ptr<RasterFont> f = fonts->open_font(sj("ＭＳ ゴシック"), 40, true);
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> bits(10 * 40, 0xFF);
  f->draw_text(sj("一"), 0, 0, bits.data(), 10, 80, 40);
  size_t bold_ink = 0;
  for (uint8_t b : bits) bold_ink += static_cast<size_t>(8 - __builtin_popcount(b));
  EXPECT_GT(bold_ink, regular.size());
}

// The golden line: "こんにちは、世界！ｱｲｳ￥" and 0x5C, in three styles. A
// mismatch writes japanese_line-ACTUAL.png beside the expected picture.
TEST_F(FreeTypeFonts, GoldenJapaneseLine) {
  const std::string line = sj("こんにちは、世界！ｱｲｳ￥") + "\\";
  test_picture pic(400, 112, 0xFFFFFFFF);
  glyph_surface s = pic.surface();
  auto draw_line = [&](int y, int colour, int second, int gradient, int mode, int extra) {
    int x = 4;
    for (size_t pos = 0; pos < line.size(); pos += sjis_char_length(line, pos))
      x += draw_text_glyph(std::string_view(line).substr(pos), colour, second, gradient, 0, 28, 28, 0, mode, extra,
                           x, y, 1, s);
  };
  draw_line(4, 0x202080, 0xC02020, 3, 1, 0);  // anti-aliased, top blue to bottom red
  draw_line(40, 0x000000, -1, 0, 0, 0);       // one-bit
  draw_line(76, 0x000000, -1, 0, 1, 2);       // outline passes in black ...
  draw_line(76, 0xFFFFFF, -1, 0, 1, 0);       // ... under white text
  EXPECT_TRUE(s.dirty());
  EXPECT_EQ(s.alpha_in_use, 1);

  const std::string expected = std::string(ZARVIK_SOURCE_DIR) + "/tests/fonts/expected/japanese_line.png";
  const std::string actual = std::string(ZARVIK_SOURCE_DIR) + "/tests/fonts/expected/japanese_line-ACTUAL.png";
  std::vector<uint8_t> want;
  int w = 0, h = 0;
  if (!read_png_file(expected, want, w, h)) {
    write_png_file(actual, pic.pixels.data(), pic.width, pic.height);
    FAIL() << "no expected picture; wrote " << actual;
  }
  ASSERT_EQ(w, pic.width);
  ASSERT_EQ(h, pic.height);
  // Tolerance: up to 1% of the pixels may differ by more than 16 in a
  // channel (hinting changes between FreeType releases move a few edges).
  int differing = 0;
  for (size_t i = 0; i < want.size(); i += 4) {
    bool off = false;
    for (size_t k = 0; k < 4; ++k) off = off || std::abs(int(want[i + k]) - int(pic.pixels[i + k])) > 16;
    differing += off;
  }
  if (differing > w * h / 100) write_png_file(actual, pic.pixels.data(), pic.width, pic.height);
  EXPECT_LE(differing, w * h / 100) << "see " << actual;
}

TEST(HeadlessFonts, TheHeadlessPlatformServesTheIpaFonts) {
  if (!ipa_fonts_present()) GTEST_SKIP() << "the IPA fonts are not installed";
  temp_folder game;
  HeadlessPlatform hp(game.path());
  ASSERT_EQ(platform().fonts, hp.fonts.get());
  build_font_list();
  EXPECT_EQ(current_face_name(), sj("ＭＳ ゴシック"));
  // Only the IPA faces and their names: no face of the machine's other fonts.
  for (const std::string& name : pixel_kernels.fonts.face_names) EXPECT_EQ(name.find("DejaVu"), std::string::npos);
  test_picture pic(64, 32);
  glyph_surface s = pic.surface();
  EXPECT_EQ(draw_text_glyph(sj("字"), 0xFFFFFF, -1, 0, 0, 24, 24, 0, 1, 0, 0, 0, 0, s), 24);
  EXPECT_GT(pic.count_alpha_above(200), 40);
  // A test's own configuration replaces it.
  game.write("fonts.conf", std::string("<fontconfig><dir>") + mincho_dir + "</dir><cachedir>" + game.path() +
                               "fc-cache</cachedir></fontconfig>\n");
  hp.use_font_config_file(game.path() + "fonts.conf");
  EXPECT_EQ(platform().fonts, hp.fonts.get());
  build_font_list();
  EXPECT_EQ(current_face_name(), sj("ＭＳ 明朝"));
  EXPECT_EQ(index_of(sj("ＭＳ ゴシック")), -1);
  release_glyph_caches();
}

TEST_F(FreeTypeFonts, ARenderedGlyphAgainHasTheSameBitsAndMetrics) {
  // Fixed and proportional faces, one- and two-byte characters, both glyph
  // modes: the second rendering (from the slot's rendered glyphs) equals the
  // first, also after other characters came in between.
  for (const char* face : {"ＭＳ ゴシック", "ＭＳ Ｐゴシック"}) {
    ASSERT_EQ(select_font_by_name(sj(face)), 1);
    for (int mode : {0, 1}) {
      std::vector<std::vector<uint8_t>> first;
      std::vector<std::pair<int, int>> metrics;
      const std::vector<std::string> chars = {sj("あ"), "i", sj("漢"), "W", "\xB1"};
      for (const std::string& c : chars) {
        glyph_metrics m = render_glyph(c, 24, 26, 0, mode);
        first.push_back(glyph_caches[0].bits);
        metrics.push_back({m.advance, m.height});
      }
      for (size_t k = chars.size(); k-- > 0;) {
        glyph_metrics m = render_glyph(chars[k], 24, 26, 0, mode);
        EXPECT_EQ(glyph_caches[0].bits, first[k]) << face << " " << mode << " " << k;
        EXPECT_EQ(std::make_pair(int(m.advance), int(m.height)), metrics[k]) << face << " " << mode << " " << k;
        EXPECT_EQ(glyph_caches[0].last_advance, metrics[k].first);
      }
    }
  }
}
