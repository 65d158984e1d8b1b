// The dialogs' text without a display: anti-aliased glyphs by the coverage
// rule of the message text, line breaking that never splits a double-byte
// character, the buttons' letters and the ink blend.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/freetype/freetype_fonts.h"
#include "platform/freetype/smooth_text.h"
#include "platform/sdl/sdl_dialog.h"
#include "platform/text_encoding.h"

namespace {

struct ipa_font {
  FreeTypeFontRasterizer rasterizer{FreeTypeFontRasterizer::config_source::text,
                                    FreeTypeFontRasterizer::ipa_fonts_config_text()};
  SmoothTextFont font;
  bool open() { return font.open(rasterizer, utf8_to_sjis("ＭＳ Ｐゴシック"), 16); }
};

}  // namespace

TEST(DialogText, GlyphAlphaFollowsTheCoverageRule) {
  ipa_font f;
  if (!f.open()) GTEST_SKIP() << "no IPA font installed";
  const smooth_text_image t = f.font.render(utf8_to_sjis("終了します。"));
  ASSERT_EQ(t.height, 16);
  EXPECT_EQ(t.width, f.font.measure(utf8_to_sjis("終了します。")));
  EXPECT_GE(t.width, 6 * 12);  // six full-width characters
  std::set<int> allowed;
  for (int k = 0; k <= 16; ++k) allowed.insert(std::min(18 * k, 255));
  int partial = 0, full = 0;
  for (uint8_t a : t.alpha) {
    EXPECT_TRUE(allowed.count(a)) << int(a);
    if (a > 0 && a < 255) ++partial;
    if (a == 255) ++full;
  }
  EXPECT_GT(partial, 30);  // edges are smoothed
  EXPECT_GT(full, 30);     // stems are solid
  EXPECT_EQ(f.font.render("").width, 0);
}

TEST(DialogText, LinesBreakAtLineFeedsAndBetweenCharacters) {
  ipa_font f;
  if (!f.open()) GTEST_SKIP() << "no IPA font installed";
  struct wrap_case {
    std::string text_utf8;
    std::vector<std::string> lines_utf8;
  };
  const std::vector<wrap_case> cases = {
      {"a\r\nb\n\nc", {"a", "b", "", "c"}},
      {"", {""}},
      {"終了\n", {"終了", ""}},
  };
  for (const wrap_case& c : cases) {
    std::vector<std::string> got;
    for (const std::string& line : wrap_sjis_text(f.font, utf8_to_sjis(c.text_utf8), 500)) got.push_back(sjis_to_utf8(line));
    EXPECT_EQ(got, c.lines_utf8) << c.text_utf8;
  }
  // A long line of double-byte characters (the table's "ソ" ends in 0x5C)
  // breaks inside the width, each piece whole characters, nothing lost.
  std::string long_line;
  for (int i = 0; i < 40; ++i) long_line += "ソフト表示";
  const std::vector<std::string> lines = wrap_sjis_text(f.font, utf8_to_sjis(long_line), 200);
  ASSERT_GT(lines.size(), 5u);
  std::string joined;
  for (const std::string& line : lines) {
    EXPECT_LE(f.font.measure(line), 200);
    EXPECT_EQ(utf8_to_sjis(sjis_to_utf8(line)), line);  // no half character
    joined += sjis_to_utf8(line);
  }
  EXPECT_EQ(joined, long_line);
}

TEST(DialogText, ButtonLettersAndInkBlend) {
  const std::vector<std::pair<std::string, char>> keys = {
      {"はい(Y)", 'Y'}, {"いいえ(N)", 'N'}, {"キャンセル(C)", 'C'}, {"OK", 'O'},
      {"Edit", 'E'},    {"Close", 'C'},     {"終了", 0},            {"(y)", 'Y'}, {"", 0}, {"(1)", 0}};
  for (const auto& [label, key] : keys) EXPECT_EQ(dialog_button_key(label), key) << label;
  struct blend_case {
    uint32_t paper, ink;
    uint8_t alpha;
    uint32_t want;
  };
  for (const blend_case& b : std::vector<blend_case>{{0xF0F0F0, 0x000000, 0, 0xF0F0F0},
                                                     {0xF0F0F0, 0x000000, 255, 0x000000},
                                                     {0xF0F0F0, 0x000000, 128, 0x787878},
                                                     {0x000000, 0xFF8000, 255, 0xFF8000},
                                                     {0x102030, 0x302010, 51, 0x16202A}})
    EXPECT_EQ(dialog_blend(b.paper, b.ink, b.alpha), b.want) << std::hex << b.paper << " " << b.ink << " " << int(b.alpha);
}
