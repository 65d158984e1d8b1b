// The typesetter on a real layer tree: per-character line breaking on
// Shift-JIS text, delays and catch-up on virtual time, click, skip and
// advance keys through the input hook, and the step limits.
#include <sys/stat.h>

#include <map>
#include <utility>

#include "core/engine_state.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/fonts.h"
#include "graphics/message_window.h"
#include "golden_png.h"
#include "layer_scene.h"
#include "script/control_flow.h"
#include "script/task.h"

namespace {

std::map<int, int64_t> keys;  // input code -> key value for the hook

struct message_scene : layer_scene {
  object_node* msg = nullptr;
  task_record task;

  message_scene() {
    root_width = 240;
    root_height = 120;
  }

  void SetUp() override {
    layer_scene::SetUp();
    if (HasFatalFailure()) return;
    struct stat st {};
    if (stat("/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf", &st) != 0)
      GTEST_SKIP() << "the IPA fonts (fonts-ipafont-gothic) are not installed";
    build_font_list();
    // The fixed-pitch gothic: every double-byte character advances one cell.
    for (int i = 0; i < face_count(); ++i) {
      select_face(i);
      if (current_face_pitch() == 0 && sjis_to_utf8(face_name(i)).find("Gothic") != std::string::npos) break;
    }
    ASSERT_EQ(current_face_pitch(), 0);
    ASSERT_EQ(init_message_window(), 0);
    keys.clear();
    message_input_hooks.key_value = [](int code) { return keys.count(code) ? keys[code] : int64_t{0}; };
    hp.clock.set(1000);
  }
  void TearDown() override {
    message_input_hooks.key_value = nullptr;
    release_message_window();
    release_glyph_caches();
    layer_scene::TearDown();
  }

  message_window_record& mw() { return *message_window; }

  void make_layer(int w, int h) {
    msg = add_layer(w0, "msg", 1, w, h, 0, 0);
    set_message_layer(msg);
  }
  // Appends the text and the message end (with the window's end switches).
  void say(const std::string& utf8) {
    ASSERT_EQ(append_message_text(utf8_to_sjis(utf8)), 0);
    message_window_end();
    task.message_wait = 1;
  }
  void frame_after(uint32_t ms) {
    hp.clock.advance(ms);
    process_message_text(&task);
  }
  // One character per frame (delay 10 ms): the pen after each frame while
  // characters remain.
  std::vector<std::pair<int, int>> pens_per_char(const std::string& utf8) {
    mw().char_delay = 10;
    mw().end_click_wait = mw().end_new_line = mw().end_new_page = 0;
    say(utf8);
    std::vector<std::pair<int, int>> pens;
    for (int guard = 0; guard < 200 && task.message_wait; ++guard) {
      process_message_text(&task);
      pens.push_back({mw().pen_x, mw().pen_y});
      hp.clock.advance(10);
    }
    return pens;
  }
};

// Layer 210 x 200 with 20-pixel cells: at pen_x 160 two cells remain (no
// opening bracket there), at 180 only one (no closing mark may start the next
// line), at 200 none.
TEST_F(message_scene, LineBreaksKeepClosingMarksAndSmallKanaOnTheLine) {
  make_layer(210, 200);
  auto pens = pens_per_char("ああああああああああ");  // ten kana
  ASSERT_EQ(pens.size(), 10u);
  EXPECT_EQ(pens[8], std::make_pair(180, 0));
  EXPECT_EQ(pens[9], std::make_pair(20, 20));  // the tenth moves to the next line

  for (const char* mark : {"、", "。", "」", "』", "）", "っ", "ょ", "ャ", "ァ"}) {
    mw().pen_x = mw().pen_y = 0;
    pens = pens_per_char(std::string("あああああああああ") + mark + "い");
    ASSERT_EQ(pens.size(), 11u) << mark;
    EXPECT_EQ(pens[9], std::make_pair(200, 0)) << mark << " is drawn in the last place";
    EXPECT_EQ(pens[10], std::make_pair(20, 20)) << mark;
  }
}

TEST_F(message_scene, OpeningBracketsMoveAndExclamationQuestionStaysTogether) {
  make_layer(210, 200);
  for (const char* open : {"「", "『", "（"}) {
    mw().pen_x = mw().pen_y = 0;
    auto pens = pens_per_char(std::string("ああああああああ") + open);
    ASSERT_EQ(pens.size(), 9u);
    EXPECT_EQ(pens[8], std::make_pair(20, 20)) << open << " with two cells left starts the next line";
  }
  // With room for four more cells the bracket stays.
  mw().pen_x = mw().pen_y = 0;
  auto pens = pens_per_char("ああああああ「");
  EXPECT_EQ(pens.back(), std::make_pair(140, 0));

  // "！" then "？" at two cells left: both drawn on this line in one step.
  mw().pen_x = mw().pen_y = 0;
  pens = pens_per_char("ああああああああ！？い");
  ASSERT_EQ(pens.size(), 10u);
  EXPECT_EQ(pens[8], std::make_pair(200, 0));
  EXPECT_EQ(pens[9], std::make_pair(20, 20));
  // Without the pair rule a lone "？" in the last place would have moved.
  mw().pen_x = mw().pen_y = 0;
  pens = pens_per_char("あああああああああ？");
  EXPECT_EQ(pens.back(), std::make_pair(20, 20));
}

TEST_F(message_scene, AFullPageSkipsTheRestAndEndsTheText) {
  make_layer(210, 70);  // lines at 0, 20, 40; a fourth would reach 82
  std::string forty;
  for (int i = 0; i < 40; ++i) forty += "字";
  auto pens = pens_per_char(forty);
  EXPECT_FALSE(task.message_wait) << "the text output ended";
  ASSERT_EQ(pens.size(), 40u);  // skipped characters still keep their delays
  EXPECT_EQ(pens[26], std::make_pair(180, 40));  // three lines of nine
  EXPECT_EQ(pens[27], std::make_pair(0, 60));    // the fourth line does not fit
  EXPECT_EQ(pens.back(), std::make_pair(0, 60));
  EXPECT_TRUE(errors.empty());
}

TEST_F(message_scene, DelaysCatchUpWithinOneFrame) {
  make_layer(230, 100);
  mw().char_delay = 30;
  mw().end_click_wait = mw().end_new_line = mw().end_new_page = 0;
  say("abあいうえお");
  process_message_text(&task);
  EXPECT_EQ(mw().text_pos, 1);  // the first character at once
  frame_after(14);
  EXPECT_EQ(mw().text_pos, 1);
  frame_after(1);  // 15 ms for a single-byte character
  EXPECT_EQ(mw().text_pos, 2);
  frame_after(29);
  EXPECT_EQ(mw().text_pos, 2);
  frame_after(1);  // 30 ms for a double-byte one
  EXPECT_EQ(mw().text_pos, 4);
  frame_after(95);  // three delays late: three characters in this frame
  EXPECT_EQ(mw().text_pos, 10);
  EXPECT_TRUE(task.message_wait);
  frame_after(30);
  EXPECT_FALSE(task.message_wait);
  EXPECT_EQ(mw().command_count, 0) << "reset after the last step";
}

TEST_F(message_scene, ClickWaitsAndPagesThroughTheAdvanceKey) {
  make_layer(230, 100);
  mw().char_delay = 10;
  say("こんにちは");
  uint64_t version = layer_record(msg)->picture_version;
  process_message_text(&task);
  EXPECT_GT(layer_record(msg)->picture_version, version);
  EXPECT_EQ(mw().text_pos, 2);
  // A click while the page is drawn completes it (up to the click wait).
  keys[1] = 1;
  frame_after(1);
  keys[1] = 2;  // held: acts only on its first frame
  frame_after(1);
  EXPECT_EQ(mw().text_pos, 10);
  EXPECT_EQ(mw().waiting_for_click, 1);
  for (int i = 0; i < 5; ++i) frame_after(100);
  EXPECT_TRUE(task.message_wait) << "held keys do not answer the click wait";
  EXPECT_EQ(mw().pen_x, 100);
  keys[1] = 0;
  frame_after(1);
  keys[13] = 1;  // Enter
  frame_after(1);
  EXPECT_EQ(mw().waiting_for_click, 0);
  EXPECT_TRUE(task.message_wait);  // the new line and page run in the next frame
  keys[13] = 2;
  frame_after(1);
  EXPECT_FALSE(task.message_wait);
  EXPECT_EQ(mw().pen_x, 0);  // the new page
  EXPECT_EQ(mw().pen_y, 0);
  const cg_record* r = layer_record(msg);
  for (int i = 0; i < r->width * r->height; ++i) ASSERT_EQ(reinterpret_cast<const uint32_t*>(r->pixels)[i], 0u);
}

TEST_F(message_scene, SkipKeyShowsPagesAtOnceAndReleasesClickWaits) {
  make_layer(230, 100);
  mw().char_delay = 1000;
  say("一頁目の文");
  keys[17] = 5;  // Ctrl held
  process_message_text(&task);
  EXPECT_EQ(mw().text_pos, 10);
  EXPECT_TRUE(task.message_wait);
  process_message_text(&task);
  EXPECT_FALSE(task.message_wait) << "the click wait was released by the held key";

  // Remapped: command keys change through typesetter_state; 1023 never acts.
  typesetter_state.skip_keys[0] = message_key_none;
  keys[1023] = 1;
  say("二");
  process_message_text(&task);
  process_message_text(&task);
  EXPECT_TRUE(task.message_wait);
  EXPECT_EQ(mw().waiting_for_click, 1);
}

TEST_F(message_scene, ClosedWindowEndsTextAtOnce) {
  make_layer(230, 100);
  mw().is_open = 0;
  say("閉じた");
  EXPECT_EQ(mw().reset_pending, 1);
  EXPECT_EQ(std::string(mw().commands), "222E");
  process_message_text(&task);
  EXPECT_FALSE(task.message_wait);
  EXPECT_EQ(mw().command_count, 0);
  EXPECT_EQ(mw().pen_x, 0) << "nothing drawn";
}

// Mended: control steps are counted against the arrays and a trailing lead
// byte stays a single byte.
TEST_F(message_scene, StepsBeyondTheArraysAreRefused) {
  std::string half(4095, 'x');
  ASSERT_EQ(append_message_text(half), 0);
  ASSERT_EQ(append_message_text(half), 0);  // 8190 bytes
  EXPECT_EQ(append_message_text("y"), -1);
  EXPECT_EQ(errors, std::vector<int>{102000});
  errors.clear();
  quit_flag = 0;
  EXPECT_EQ(append_message_control_step('R'), 0);  // step 8191
  EXPECT_EQ(append_message_control_step('P'), -1);
  message_window_end();
  EXPECT_EQ(errors, (std::vector<int>{102000, 102000}));
  EXPECT_EQ(mw().command_count, message_step_limit);
  EXPECT_EQ(mw().commands[message_step_limit], 0);
  EXPECT_EQ(mw().commands[message_step_limit - 1], 'R');
}

TEST_F(message_scene, ALeadByteAtTheEndIsOneByte) {
  ASSERT_EQ(append_message_text("a\x82"), 0);
  EXPECT_EQ(std::string(mw().commands), "11");
  EXPECT_EQ(mw().text_length, 2);
  EXPECT_EQ(mw().text[2], 0);
  ASSERT_EQ(append_message_text(utf8_to_sjis("字b")), 0);
  EXPECT_EQ(std::string(mw().commands), "1121");
}

TEST_F(message_scene, DrawsALegibleMessage) {
  make_layer(220, 100);
  mw().end_click_wait = 1;
  mw().colour = 0xFFFFFF;
  mw().char_width = mw().char_height = 20;
  say("吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。");
  process_message_text(&task);  // no delay: the page at once, then the click wait
  EXPECT_EQ(mw().waiting_for_click, 1);
  frame();
  std::vector<uint8_t> pixels = root_pixels();
  int ink = 0;
  for (size_t i = 0; i + 3 < pixels.size(); i += 4) ink += pixels[i] > 200 && pixels[i + 1] > 200;
  EXPECT_GT(ink, 500);
  EXPECT_EQ(compare_golden("message_window_page", root_width, root_height, pixels.data()), "");
}

}  // namespace

namespace {

TEST_F(message_scene, WithoutALayerTheTextIsConsumedAndClicksStillWait) {
  mw().char_delay = 10;
  say("見えない");
  process_message_text(&task);
  hp.clock.advance(100);
  process_message_text(&task);
  EXPECT_EQ(mw().text_pos, 8);
  EXPECT_EQ(mw().waiting_for_click, 1);
  EXPECT_TRUE(task.message_wait);
  keys[1] = 1;
  process_message_text(&task);
  process_message_text(&task);
  EXPECT_FALSE(task.message_wait);
}

TEST_F(message_scene, StepsOutlivingARewrittenTextDrawNothingPastIt) {
  make_layer(230, 100);
  say("長い文章です");
  control_flow_hooks.set_message_text(0, utf8_to_sjis("長"));  // a script rewrites the text (system text 112)
  EXPECT_EQ(mw().text_length, 2);
  process_message_text(&task);
  EXPECT_EQ(mw().text_pos, 2);
  EXPECT_EQ(mw().pen_x, 20);
  EXPECT_EQ(mw().waiting_for_click, 1);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
