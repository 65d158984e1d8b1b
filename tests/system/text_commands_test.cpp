// Commands 5 to 10 through whole headless games: the clipboard, text fields
// and their count from resources, message boxes with every button set and
// the input box.
#include <gtest/gtest.h>

#include "core/sjis.h"
#include "support/headless_game.h"

namespace {
std::string errors_of(headless_game& g) {
  std::string s;
  for (const auto& e : g.errors()) s += std::to_string(e.code) + " " + e.text_utf8 + "\n";
  return s;
}
const char* idle = "\n*idle\nwait 1\ngoto idle\n";
}  // namespace

TEST(TextCommands, ClipboardRoundTrip) {
  headless_game game(std::string(R"(
global string back = "?"
global string untouched = "keep"
*SYSTEM_START
clipboard_get switch=1, output=untouched
clipboard_set switch=1, text="copy\tme"
clipboard_get switch=1, output=back
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(3);
  EXPECT_EQ(errors_of(game), "");
  std::string held;
  ASSERT_TRUE(game.backend().ui.clipboard(held));
  EXPECT_EQ(held, "copy\tme");
  EXPECT_EQ(game.text_value("back"), "copyme");
  EXPECT_EQ(game.text_value("untouched"), "keep");  // no clipboard text: -1, nothing stored
}

TEST(TextCommands, FieldsAndCountFromAResource) {
  headless_game game(std::string(R"(
global string f[6] = "-"
global int n = -1
*SYSTEM_START
text_lines file="Data/List.csv", output=f
csv_count file="data/list.csv", switch=1, output=n
)") + idle);
  game.write_file("data/list.csv", {'a', ',', 'b', '\r', '\n', '\r', '\n', 'c'});
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.text_value("f", 0), "a");
  EXPECT_EQ(game.text_value("f", 1), "b");
  EXPECT_EQ(game.text_value("f", 2), "");
  EXPECT_EQ(game.text_value("f", 3), "-");
  EXPECT_EQ(game.int_value("n"), 2);
}

TEST(TextCommands, MissingResourceIsReported) {
  headless_game game(std::string("global string f[2] = \"\"\n*SYSTEM_START\ntext_lines file=\"none.csv\", output=f\n") +
                     idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  ASSERT_FALSE(game.errors().empty());
  EXPECT_EQ(game.errors()[0].code, 104060);
}

TEST(TextCommands, MessageBoxButtonsDefaultsIconsAndResults) {
  headless_game game(std::string(R"(
global int r[8] = -1
*SYSTEM_START
message_box caption="c", text="ok", result=r[0]
message_box caption="c", text="okc", ok_cancel=1, result=r[1]
message_box caption="c", text="yn", yes_no=1, result=r[2]
message_box caption="c", text="ync", yes_no_cancel=1, ok_cancel=1, result=r[3]
message_box caption="c", text="def", yes_no_cancel=1, default_button=3, icon=2, result=r[4]
message_box caption="c", text="off", disabled=1, result=r[5]
message_box caption="c", text="def2", ok_cancel=1, default_button=2, icon=4, result=r[6]
)") + idle);
  ASSERT_EQ(game.start(), 0);
  HeadlessUi& ui = game.backend().ui;
  for (int answer : {id_ok, id_cancel, id_no, id_cancel, id_yes, id_ok}) ui.queue_reply(answer);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  const int64_t expected[8] = {1, 2, 2, 3, 1, -1, 1, -1};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(game.int_value("r", i), expected[i]) << i;
  auto boxes = ui.boxes();
  ASSERT_EQ(boxes.size(), 6u);
  EXPECT_EQ(boxes[0].flags, mb_ok);
  EXPECT_EQ(boxes[1].flags, mb_ok_cancel);
  EXPECT_EQ(boxes[2].flags, mb_yes_no);
  EXPECT_EQ(boxes[3].flags, mb_yes_no_cancel);
  EXPECT_EQ(boxes[4].flags, mb_yes_no_cancel | mb_default_button3 | mb_icon_question);
  EXPECT_EQ(boxes[5].flags, mb_ok_cancel | mb_default_button2 | mb_icon_error);
  EXPECT_EQ(boxes[0].caption, "c");
  EXPECT_EQ(boxes[1].text, "okc");
}

TEST(TextCommands, InputBoxTakesTypedTextWithinItsLimit) {
  headless_game game(std::string(R"(
global string typed = "?"
global int result = -1
*SYSTEM_START
message_box caption="Name", text="Who?", input=1, default_text="ab", limit=4, text_output=typed, result=result
)") + idle);
  ASSERT_EQ(game.start(), 0);
  HeadlessUi& ui = game.backend().ui;
  ui.press_key(0, 0x1B);  // no cancel here: Escape does nothing
  ui.type_text(0, utf8_to_sjis("cあd"));  // "あ" would pass the 4-byte limit after "abc"
  ui.press_key(0, 0x0D);
  game.run_ticks(1);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("result"), 1);
  EXPECT_EQ(game.text_value("typed"), "abc");
  auto calls = ui.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "show_cursor"), calls.end());
}

TEST(TextCommands, UnansweredInputBoxTakesOkHeadless) {
  // Nobody types (kxtool run): once the waiting input is used up the box
  // answers OK with its text instead of waiting for ever.
  headless_game game(std::string(R"(
global string typed = "?"
global int result = -1
global int cancelled = -1
*SYSTEM_START
message_box caption="Name", text="Who?", input=1, default_text="ab", text_output=typed, result=result
system_call function=10201, text1="x", output=cancelled
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("result"), 1);
  EXPECT_EQ(game.text_value("typed"), "ab");
  EXPECT_EQ(game.int_value("cancelled"), 1);
}
