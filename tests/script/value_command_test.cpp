// Commands 89 and 90 through their handlers: number/text conversion,
// substring and erase on Shift-JIS text with 0x5C trail bytes, width and case
// conversions, array resize / insert / delete at both ends and past them,
// and the variable information queries including search and smallest text.
#include <climits>

#include "command_test_support.h"
#include "core/sjis.h"
#include "platform/headless/headless_platform.h"
#include "script/value_commands.h"
#include "support/temp_folder.h"

using namespace script_test;

namespace {

constexpr uint32_t var_ints = var_free;    // 1007
constexpr uint32_t var_reals = 1008;
constexpr uint32_t var_texts = 1009;
constexpr uint32_t var_one = var_count;    // 1010

std::string sj(const char* utf8) { return utf8_to_sjis(utf8); }

class ValueCommand : public CommandFixture {
 protected:
  void SetUp() override {
    CommandFixture::SetUp();
    headless_ = std::make_unique<HeadlessPlatform>(folder_.path());
    error_dialog_shown = 1;  // the boxes recorded are the command's own
    uint32_t five[1] = {5}, one[1] = {1};
    ASSERT_EQ(declare_int_variable(var_ints, 1, five, 0), 0);
    ASSERT_EQ(declare_real_variable(var_reals, 1, five, 0.0), 0);
    ASSERT_EQ(declare_string_variable(var_texts, 1, five, "", 0), 0);
    ASSERT_EQ(declare_int_variable(var_one, 1, one, 9), 0);
    for (int i = 0; i < 5; ++i) {
      set_numeric_element(var_ints, i, 10 + i);
      set_real_element(var_reals, i, 0.5 + i);
      set_string_element(var_texts, i, std::string(1, static_cast<char>('a' + i)).c_str());
    }
  }
  void TearDown() override {
    CommandFixture::TearDown();
    headless_.reset();
  }
  std::vector<std::string> box_texts() const {
    std::vector<std::string> out;
    for (const auto& b : headless_->ui.boxes()) out.push_back(b.text);
    return out;
  }
  std::vector<int64_t> ints() const {
    std::vector<int64_t> v;
    for (int64_t i = 0; i < static_cast<int64_t>(find_variable(var_ints)->element_count); ++i)
      v.push_back(get_int_element(var_ints, i));
    return v;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> v;
    for (int64_t i = 0; i < static_cast<int64_t>(find_variable(var_texts)->element_count); ++i)
      v.push_back(get_string_element(var_texts, i));
    return v;
  }
  std::string text(uint32_t id, int64_t e = 0) const { return get_string_element(id, e); }

  temp_folder folder_;
  std::unique_ptr<HeadlessPlatform> headless_;
};

}  // namespace

TEST_F(ValueCommand, NumberAndTextConversion) {
  set_numeric_element(var_n, 0, -12345);
  EXPECT_EQ(run(89, {{"source", "n"}, {"destination", "t[0]"}, {"convert", "1"}}), codes({}));
  EXPECT_EQ(text(var_t), "-12345");
  set_real_element(var_r, 1, 2.5);
  EXPECT_EQ(run(89, {{"source", "r[1]"}, {"destination", "t[1]"}, {"convert", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 1), "2.500000");
  set_string_element(var_t, 2, "0x1F");
  EXPECT_EQ(run(89, {{"source", "t[2]"}, {"destination", "m[0]"}, {"convert", "1"}}), codes({}));
  EXPECT_EQ(get_int_element(var_m, 0), 31);
  set_string_element(var_t, 2, "-3.75");
  EXPECT_EQ(run(89, {{"source", "t[2]"}, {"destination", "r[0]"}, {"convert", "1"}}), codes({}));
  EXPECT_EQ(get_real_element(var_r, 0), -3.75);
  EXPECT_EQ(run(89, {{"source", "t[2]"}, {"destination", "m[1]"}, {"convert", "1"}}), codes({}));
  EXPECT_EQ(get_int_element(var_m, 1), -3);
  set_string_element(var_t, 2, "12a");
  EXPECT_EQ(run(89, {{"source", "t[2]"}, {"destination", "m[2]"}, {"convert", "1"}}), codes({108210}));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"convert", "1"}}), codes({108200}));
  EXPECT_EQ(run(89, {{"source", "n"}, {"destination", "m[1]"}, {"convert", "1"}}), codes({108200}));
  bool real = false;
  int64_t i = 0;
  double d = 0;
  EXPECT_TRUE(parse_number_text("", real, i, d));
  EXPECT_EQ(i, 0);
  EXPECT_TRUE(parse_number_text("0xFFFFFFFFFFFFFFFFh", real, i, d));
  EXPECT_EQ(i, -1);
  EXPECT_FALSE(parse_number_text("0x", real, i, d));
  EXPECT_FALSE(parse_number_text("0x12345678901234567", real, i, d));
  EXPECT_TRUE(parse_number_text("99999999999999999999", real, i, d));
  EXPECT_EQ(i, INT64_MAX);
}

TEST_F(ValueCommand, SubstringAndEraseCountShiftJisCharacters) {
  // "表" and "ソ" have the trail byte 0x5C.
  set_string_element(var_t, 0, sj("表ソa\\b").c_str());
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"substring", "1"}, {"start", "2"}, {"count", "2"}}),
            codes({}));
  EXPECT_EQ(text(var_t, 1), sj("ソa"));
  for (const char* start : {"0", "1", "-5"}) {
    EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"substring", "1"}, {"start", start}, {"count", "1"}}),
              codes({}));
    EXPECT_EQ(text(var_t, 1), sj("表"));
  }
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"substring", "1"}, {"start", "4"}, {"count", "2"}}),
            codes({}));
  EXPECT_EQ(text(var_t, 1), "\\b");
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"substring", "1"}, {"start", "6"}, {"count", "0"}}),
            codes({}));
  EXPECT_EQ(text(var_t, 1), "");
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"substring", "1"}, {"start", "7"}, {"count", "0"}}),
            codes({120010}));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"substring", "1"}, {"start", "5"}, {"count", "2"}}),
            codes({120020}));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"substring", "1"}, {"start", "1"}, {"count", "-1"}}),
            codes({120020}));
  // Erase: the rest of the text; without a destination the source changes.
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"erase", "1"}, {"start", "2"}, {"count", "3"}}), codes({}));
  EXPECT_EQ(text(var_t, 0), sj("表b"));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"erase", "1"}, {"start", "4"}, {"count", "0"}}), codes({120110}));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"erase", "1"}, {"start", "2"}, {"count", "2"}}), codes({120120}));
  EXPECT_EQ(text(var_t, 0), sj("表b"));
  // Texts only.
  EXPECT_EQ(run(89, {{"source", "n"}, {"substring", "1"}, {"count", "1"}}), codes({108220}));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "m[0]"}, {"erase", "1"}}), codes({108220}));
}

TEST_F(ValueCommand, WidthAndCaseConversions) {
  set_string_element(var_t, 0, sj("abｶﾞ表ア").c_str());
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[1]"}, {"to_wide", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 1), sj("ａｂカ゛表ア"));
  EXPECT_EQ(run(89, {{"source", "t[1]"}, {"destination", "t[2]"}, {"to_narrow", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 2), sj("abｶﾞ表ｱ"));
  // With a destination each conversion starts from the source: the last wins.
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"destination", "t[2]"}, {"to_wide", "1"}, {"upper_ascii", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 2), sj("ABｶﾞ表ア"));
  // Without one they follow each other in their fixed order.
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"upper", "1"}, {"to_wide", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 0), sj("ＡＢカ゛表ア"));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"lower_ascii", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 0), sj("ＡＢカ゛表ア"));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"lower", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 0), sj("ａｂカ゛表ア"));
  // "ア" (0x83 0x41) survives every case conversion.
  set_string_element(var_t, 0, sj("アxY").c_str());
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"lower_ascii", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 0), sj("アxy"));
  EXPECT_EQ(run(89, {{"source", "t[0]"}, {"upper_ascii", "1"}}), codes({}));
  EXPECT_EQ(text(var_t, 0), sj("アXY"));
  EXPECT_EQ(run(89, {{"source", "m[0]"}, {"upper", "1"}}), codes({108220}));
}

TEST_F(ValueCommand, ResizeByOperator) {
  EXPECT_EQ(run(89, {{"source", "free"}, {"resize", "0", 1, 1}}), codes({}));
  EXPECT_EQ(ints(), (std::vector<int64_t>{10, 11, 12, 13, 14}));
  EXPECT_EQ(run(89, {{"source", "free"}, {"resize", "2", 1, 2}}), codes({}));
  EXPECT_EQ(ints(), (std::vector<int64_t>{10, 11, 12}));
  EXPECT_EQ(run(89, {{"source", "@1009"}, {"resize", "2", 1, 1}}), codes({}));
  EXPECT_EQ(texts(), (std::vector<std::string>{"a", "b", "c", "d", "e", "", ""}));
  int r = 0;
  EXPECT_EQ(run(89, {{"source", "free"}, {"resize", "0"}}, &r), codes({}));
  EXPECT_EQ(r, -1);
  EXPECT_EQ(run(89, {{"source", "free"}, {"resize", "-4", 1, 1}}, &r), codes({}));
  EXPECT_EQ(run(89, {{"source", "grid"}, {"resize", "4"}}, &r), codes({}));
  EXPECT_EQ(r, -1);
  // Past 4,000,000 elements: refused before anything is allocated.
  EXPECT_EQ(run(89, {{"source", "free"}, {"resize", "4000001"}}, &r), codes({101100}));
  EXPECT_EQ(r, -1);
  EXPECT_EQ(run(89, {{"source", "free"}, {"resize", "9223372036854775807", 1, 3}}, &r), codes({101100}));
  EXPECT_EQ(ints(), (std::vector<int64_t>{10, 11, 12}));
  EXPECT_EQ(box_texts(), (std::vector<std::string>{
                             sj("変更後の配列サイズが不正です。"), sj("変更後の配列サイズが不正です。"),
                             sj("配列サイズを変更しようとしましたが、この変数は１次元配列ではありません。")}));
}

TEST_F(ValueCommand, InsertAndDeleteAtBothEnds) {
  EXPECT_EQ(run(89, {{"source", "free"}, {"insert", "0"}}), codes({}));
  EXPECT_EQ(ints(), (std::vector<int64_t>{0, 10, 11, 12, 13}));
  EXPECT_EQ(run(89, {{"source", "free"}, {"insert", "4"}}), codes({}));
  EXPECT_EQ(ints(), (std::vector<int64_t>{0, 10, 11, 12, 0}));
  EXPECT_EQ(run(89, {{"source", "free"}, {"delete", "0"}}), codes({}));
  EXPECT_EQ(ints(), (std::vector<int64_t>{10, 11, 12, 0, 0}));
  set_numeric_element(var_ints, 4, 99);
  EXPECT_EQ(run(89, {{"source", "free"}, {"delete", "4"}}), codes({}));
  EXPECT_EQ(ints(), (std::vector<int64_t>{10, 11, 12, 0, 0}));
  // Texts move with their buffers; the dropped one is reused, emptied.
  set_string_element(var_texts, 4, std::string(300, 'z').c_str());
  EXPECT_EQ(run(89, {{"source", "@1009"}, {"insert", "1"}}), codes({}));
  EXPECT_EQ(texts(), (std::vector<std::string>{"a", "", "b", "c", "d"}));
  EXPECT_EQ(run(89, {{"source", "@1009"}, {"delete", "0"}}), codes({}));
  EXPECT_EQ(texts(), (std::vector<std::string>{"", "b", "c", "d", ""}));
  EXPECT_EQ(run(89, {{"source", "@1008"}, {"delete", "2"}}), codes({}));
  EXPECT_EQ(get_real_element(var_reals, 2), 3.5);
  EXPECT_EQ(get_real_element(var_reals, 4), 0.0);
  // A one-element array: insert leaves one element, now 0.
  EXPECT_EQ(run(89, {{"source", "@1010"}, {"insert", "0"}}), codes({}));
  EXPECT_EQ(get_int_element(var_one, 0), 0);
  EXPECT_EQ(find_variable(var_one)->element_count, 1u);
  // Indexes outside the array change nothing.
  int r = 0;
  for (const char* at : {"5", "-1", "9223372036854775807"}) {
    EXPECT_EQ(run(89, {{"source", "free"}, {"insert", at}}, &r), codes({107010})) << at;
    EXPECT_EQ(r, -1);
    EXPECT_EQ(run(89, {{"source", "free"}, {"delete", at}}, &r), codes({107010})) << at;
  }
  EXPECT_EQ(ints(), (std::vector<int64_t>{10, 11, 12, 0, 0}));
  EXPECT_EQ(run(89, {{"source", "grid"}, {"insert", "0"}}, &r), codes({}));
  EXPECT_EQ(run(89, {{"source", "grid"}, {"delete", "0"}}, &r), codes({}));
  EXPECT_EQ(r, -1);
  EXPECT_EQ(box_texts(), (std::vector<std::string>{
                             sj("配列挿入処理をしようとしましたが、この変数は１次元配列ではありません。"),
                             sj("配列削除処理をしようとしましたが、この変数は１次元配列ではありません。")}));
}

TEST_F(ValueCommand, VariableInformation) {
  set_string_element(var_t, 0, sj("表ソa").c_str());
  set_string_element(var_t, 1, "ab");
  auto info = [&](const char* variable, const char* what) {
    set_numeric_element(var_n, 0, -77);
    EXPECT_EQ(run(90, {{"variable", variable}, {"output", "n"}, {what, "1"}}), codes({})) << variable << what;
    return get_int_element(var_n, 0);
  };
  EXPECT_EQ(info("m", "type"), 1);
  EXPECT_EQ(info("r", "type"), 2);
  EXPECT_EQ(info("t", "type"), 3);
  EXPECT_EQ(info("pi", "type"), 2);
  EXPECT_EQ(info("t[0]", "wide_first"), 2);
  EXPECT_EQ(info("t[1]", "wide_first"), 1);
  EXPECT_EQ(info("cube", "dimensions"), 3);
  EXPECT_EQ(info("cube", "size1"), 2);
  EXPECT_EQ(info("cube", "size3"), 4);
  EXPECT_EQ(info("cube", "size4"), 0);
  EXPECT_EQ(info("cube", "size8"), 0);
  EXPECT_EQ(info("t[0]", "length"), 3);
  EXPECT_EQ(run(90, {{"variable", "t[2]"}, {"output", "n"}, {"wide_first", "1"}}), codes({101450}));
  EXPECT_EQ(run(90, {{"variable", "m"}, {"output", "n"}, {"length", "1"}}), codes({108220}));
}

TEST_F(ValueCommand, SearchAtBothEndsAndFromAnIndex) {
  auto search = [&](std::initializer_list<test_argument> args) {
    set_numeric_element(var_n, 0, -77);
    EXPECT_EQ(run(90, args), codes({}));
    return get_int_element(var_n, 0);
  };
  EXPECT_EQ(search({{"variable", "free"}, {"output", "n"}, {"search", "1"}, {"int_value", "10"}}), 0);
  EXPECT_EQ(search({{"variable", "free"}, {"output", "n"}, {"search", "1"}, {"int_value", "14"}}), 4);
  EXPECT_EQ(search({{"variable", "free"}, {"output", "n"}, {"search", "1"}, {"int_value", "99"}}), -1);
  EXPECT_EQ(search({{"variable", "free"}, {"output", "n"}, {"search", "1"}, {"int_value", "10"}, {"from", "1"}}), -1);
  EXPECT_EQ(search({{"variable", "free"}, {"output", "n"}, {"search", "1"}, {"int_value", "14"}, {"from", "4"}}), 4);
  for (const char* from : {"5", "-1", "-9223372036854775807"})
    EXPECT_EQ(search({{"variable", "free"}, {"output", "n"}, {"search", "1"}, {"int_value", "14"}, {"from", from}}), -1);
  EXPECT_EQ(search({{"variable", "@1008"}, {"output", "n"}, {"search", "1"}, {"real_value", "4.5", 2}}), 4);
  EXPECT_EQ(search({{"variable", "@1008"}, {"output", "n"}, {"search", "1"}, {"real_value", "1", 1}}), -1);
  EXPECT_EQ(search({{"variable", "@1009"}, {"output", "n"}, {"search", "1"}, {"text_value", "\"a\""}}), 0);
  EXPECT_EQ(search({{"variable", "@1009"}, {"output", "n"}, {"search", "1"}, {"text_value", "\"e\""}}), 4);
  EXPECT_EQ(search({{"variable", "@1009"}, {"output", "n"}, {"search", "1"}, {"text_value", "\"E\""}}), -1);
  EXPECT_EQ(search({{"variable", "grid"}, {"output", "n"}, {"search", "1"}, {"int_value", "0"}}), -1);
}

TEST_F(ValueCommand, SmallestTextInARange) {
  set_string_element(var_texts, 0, "m");
  set_string_element(var_texts, 1, sj("表").c_str());  // 0x95: above every ASCII byte
  set_string_element(var_texts, 2, "b");
  set_string_element(var_texts, 3, "a");
  set_string_element(var_texts, 4, "a");
  auto smallest = [&](std::initializer_list<test_argument> args) {
    set_numeric_element(var_n, 0, -77);
    EXPECT_EQ(run(90, args), codes({}));
    return get_int_element(var_n, 0);
  };
  EXPECT_EQ(smallest({{"variable", "@1009"}, {"output", "n"}, {"smallest", "1"}}), 3);
  EXPECT_EQ(smallest({{"variable", "@1009"}, {"output", "n"}, {"smallest", "1"}, {"to", "2"}}), 2);
  EXPECT_EQ(smallest({{"variable", "@1009"}, {"output", "n"}, {"smallest", "1"}, {"from", "4"}}), 4);
  EXPECT_EQ(smallest({{"variable", "@1009"}, {"output", "n"}, {"smallest", "1"}, {"to", "1"}}), 0);
  EXPECT_EQ(smallest({{"variable", "@1009"}, {"output", "n"}, {"smallest", "1"}, {"to", "99"}}), 3);
  EXPECT_EQ(smallest({{"variable", "@1009"}, {"output", "n"}, {"smallest", "1"}, {"from", "3"}, {"to", "2"}}), -1);
  EXPECT_EQ(smallest({{"variable", "@1009"}, {"output", "n"}, {"smallest", "1"}, {"from", "-1"}}), -1);
  EXPECT_EQ(run(90, {{"variable", "free"}, {"output", "n"}, {"smallest", "1"}}), codes({108220}));
}
