#include "core/sjis.h"

#include <gtest/gtest.h>

TEST(Sjis, LeadTableAndStepping) {
  EXPECT_FALSE(is_sjis_lead(0x80));
  EXPECT_TRUE(is_sjis_lead(0x81));
  EXPECT_TRUE(is_sjis_lead(0x9F));
  EXPECT_FALSE(is_sjis_lead(0xA0));
  EXPECT_FALSE(is_sjis_lead(0xDF));
  EXPECT_TRUE(is_sjis_lead(0xE0));
  EXPECT_TRUE(is_sjis_lead(0xFC));
  EXPECT_FALSE(is_sjis_lead(0xFD));
  std::string s = "a\x95\x5C" "b\x81";  // "表" has trail byte 0x5C; trailing lone lead byte
  EXPECT_EQ(sjis_char_length(s, 0), 1u);
  EXPECT_EQ(sjis_char_length(s, 1), 2u);
  EXPECT_EQ(sjis_next(s, 1), 3u);
  EXPECT_EQ(sjis_char_length(s, 4), 1u);
}

TEST(Sjis, LowerCasingSkipsTrailBytes) {
  // 0x83 0x41 is katakana "ア": its trail byte looks like 'A' and must stay.
  std::string s = "ABC\x83\x41Z\\D";
  lower_path_sjis(s);
  EXPECT_EQ(s, "abc\x83\x41z\\d");
  char c[] = "X\x83\x41Y";
  lower_path_sjis(c);
  EXPECT_STREQ(c, "x\x83\x41y");
}

TEST(Sjis, ReplaceNeverTouchesTrailBytes) {
  std::string s = "a\\\x95\x5C/b";
  replace_sjis_char(s, '\\', '/');
  EXPECT_EQ(s, "a/\x95\x5C/b");
}

TEST(Sjis, Utf8RoundTrip) {
  std::string sjis = "\x83\x51\x81\x5B\x83\x80\x95\x5C";  // ゲーム表
  std::string utf8 = sjis_to_utf8(sjis);
  EXPECT_EQ(utf8, "ゲーム表");
  EXPECT_EQ(utf8_to_sjis(utf8), sjis);
  // Half-width katakana are single bytes.
  EXPECT_EQ(utf8_to_sjis("ｱ"), "\xB1");
  // A lone lead byte does not abort the conversion.
  EXPECT_EQ(sjis_to_utf8("ab\x83"), "ab?");
}
