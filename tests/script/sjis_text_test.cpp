// Shift-JIS text helpers: counting and stepping over double-byte characters
// whose trail byte is 0x5C or an ASCII letter, width conversion tables, and
// both case conversions.
#include <gtest/gtest.h>

#include <set>

#include "core/sjis.h"
#include "script/sjis_text.h"

namespace {
std::string sj(const char* utf8) { return utf8_to_sjis(utf8); }
}  // namespace

TEST(SjisText, CountsAndOffsetsStepOverTrailBytes) {
  // "表" and "ソ" end in 0x5C, "ア" in 0x41.
  const std::string text = sj("表a\\ソア");
  ASSERT_EQ(text.size(), 8u);
  ASSERT_EQ(static_cast<uint8_t>(text[1]), 0x5C);
  EXPECT_EQ(sjis_char_count(text), 5u);
  EXPECT_EQ(sjis_char_offset(text, 0), 0u);
  EXPECT_EQ(sjis_char_offset(text, 1), 2u);
  EXPECT_EQ(sjis_char_offset(text, 2), 3u);
  EXPECT_EQ(sjis_char_offset(text, 3), 4u);
  EXPECT_EQ(sjis_char_offset(text, 4), 6u);
  EXPECT_EQ(sjis_char_offset(text, 5), 8u);
  EXPECT_EQ(sjis_char_offset(text, 50), text.size());
  // A lead byte at the very end is one character.
  EXPECT_EQ(sjis_char_count(std::string("a\x95", 2)), 2u);
  EXPECT_EQ(sjis_char_count(""), 0u);
}

TEST(SjisText, WidthTablesRoundTripEveryCharacter) {
  std::set<uint16_t> wide;
  for (int b = 0; b < 256; ++b) {
    uint16_t w = sjis_fullwidth_of(static_cast<uint8_t>(b));
    bool has = (b >= 0x20 && b <= 0x7E) || (b >= 0xA1 && b <= 0xDF);
    ASSERT_EQ(w != 0, has) << b;
    if (!w) continue;
    ASSERT_TRUE(is_sjis_lead(static_cast<uint8_t>(w >> 8))) << b;
    EXPECT_EQ(sjis_halfwidth_of(w), b);
    wide.insert(w);
  }
  EXPECT_EQ(wide.size(), 95u + 63u);
  EXPECT_EQ(sjis_fullwidth_of('A'), 0x8260);
  EXPECT_EQ(sjis_fullwidth_of(' '), 0x8140);
  EXPECT_EQ(sjis_fullwidth_of('\\'), 0x818F);  // the yen sign of JIS X 0201
  EXPECT_EQ(sjis_fullwidth_of(0xB1), 0x8341);  // ｱ -> ア
  EXPECT_EQ(sjis_halfwidth_of(0x834B), 0);     // ガ has no single-byte form
}

TEST(SjisText, WidthConversionOfMixedText) {
  EXPECT_EQ(sjis_to_fullwidth(sj("Ab1 ｶﾞ表")), sj("Ａｂ１　カ゛表"));
  EXPECT_EQ(sjis_to_halfwidth(sj("Ａｂ１　カ゛表ガ")), sj("Ab1 ｶﾞ表ガ"));
  // A trail byte 0x5C is no backslash: "ソ" stays, a real backslash widens.
  EXPECT_EQ(sjis_to_fullwidth(sj("ソ\\")), sj("ソ￥"));
  EXPECT_EQ(sjis_to_halfwidth(sj("表ソ")), sj("表ｿ"));
}

TEST(SjisText, CaseConversionsLeaveTrailBytesAlone) {
  // "ア" is 0x83 0x41 and "ャ" 0x83 0x61: byte-wise case mapping would swap them.
  std::string s = sj("aZアャｂＢαΩдЖё表");
  std::string t = s;
  upper_ascii_sjis(t);
  EXPECT_EQ(t, sj("AZアャｂＢαΩдЖё表"));
  t = s;
  lower_ascii_sjis(t);
  EXPECT_EQ(t, sj("azアャｂＢαΩдЖё表"));
  t = s;
  upper_sjis(t);
  EXPECT_EQ(t, sj("AZアャＢＢΑΩДЖЁ表"));
  t = s;
  lower_sjis(t);
  EXPECT_EQ(t, sj("azアャｂｂαωджё表"));
}

TEST(SjisText, WideCaseTablesAreInverse) {
  int letters = 0;
  for (uint32_t c = 0x8140; c <= 0x84FF; ++c) {
    uint16_t u = sjis_wide_upper(static_cast<uint16_t>(c));
    if (u != c) {
      ++letters;
      EXPECT_EQ(sjis_wide_lower(u), c) << std::hex << c;
    }
  }
  EXPECT_EQ(letters, 26 + 24 + 33);
}
