// The message window run as a whole game: a listing shows Japanese text,
// waits for a click (a scripted key through the input hook) and pages; the
// composited frame is compared with a golden PNG. Commands 85, 86, 95 and 99
// with their limits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "core/object_tree.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/message_window.h"
#include "image/decode_png.h"
#include "graphics/picture_buffer.h"
#include "support/headless_game.h"
#include "support/png_output.h"

namespace {

const char* const idle = "\n*idle\nwait 1\ngoto idle\n";

std::map<int, int64_t> keys;

// Test command (slot 100): a 300 x 100 layer "W0/msg" at (10, 10) for the
// text, until the layer command can make one.
int make_message_layer() {
  object_node* node = create_object_by_path(object_trees[tree_layers].root, "W0/msg", 0, 5, 0);
  if (!node) return -1;
  cg_record* r = attach_new_cg_record(node);
  if (!r || alloc_layer_picture(r, 300, 100) != 0) return -1;
  r->x = 10;
  r->y = 10;
  mark_layer_dirty(node);
  return 0;
}

struct message_game : ::testing::Test {
  void SetUp() override {
    struct stat st {};
    if (stat("/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf", &st) != 0)
      GTEST_SKIP() << "the IPA fonts (fonts-ipafont-gothic) are not installed";
    keys.clear();
  }
  void TearDown() override { message_input_hooks.key_value = nullptr; }
  void start(headless_game& game) {
    game.set_command_handler(100, make_message_layer);
    ASSERT_EQ(game.start(), 0);
    message_input_hooks.key_value = [](int code) { return keys.count(code) ? keys[code] : int64_t{0}; };
  }
};

std::string first_error(const headless_game& g) { return g.errors().empty() ? "" : g.errors()[0].text_utf8; }

// "" when the frame equals expected/NAME.png (colour channels, exactly); a
// mismatch writes NAME-ACTUAL.png beside it; ZARVIK_UPDATE_GOLDEN=1 rewrites
// the expected file.
std::string compare_frame(const std::string& name, const cg_record* frame) {
  const std::string dir = std::string(ZARVIK_SOURCE_DIR) + "/tests/integration/expected/";
  const std::string expected = dir + name + ".png";
  // Written as RGB: the composited frame's alpha means nothing.
  const char* update = std::getenv("ZARVIK_UPDATE_GOLDEN");
  if (update && std::string(update) == "1")
    return write_bgra_png(expected, frame->pixels, frame->width, frame->height, false) ? "" : "cannot write " + expected;
  std::ifstream in(expected, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  picture_buffer pic;
  std::string problem;
  if (bytes.empty() || decode_png(bytes.data(), bytes.size(), expected, pic) != 0) {
    problem = "missing or unreadable " + expected;
  } else {
    if (pic.width != frame->width || pic.height != frame->height) problem = "size differs";
    for (int i = 0; problem.empty() && i < frame->width * frame->height; ++i)
      for (int c = 0; c < 3; ++c)
        if (pic.pixels[i * 4 + c] != frame->pixels[i * 4 + c]) {
          problem = "pixel " + std::to_string(i) + " differs";
          break;
        }
    free_picture_buffer(pic);
  }
  if (!problem.empty()) write_bgra_png(dir + name + "-ACTUAL.png", frame->pixels, frame->width, frame->height, false);
  return problem;
}

}  // namespace

TEST_F(message_game, ShowsJapaneseTextWaitsForAClickAndPages) {
  headless_game game(std::string(R"(
config size 320 120
global int stage = 0
global int waiting = -1
global int pen_y = -1
*SYSTEM_START
unused100
message_window layer="msg", delay=20
text text="吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。"
stage = 1
message_end
message_window_query waiting=1, output=waiting
stage = 2
text text="二頁目です！？"
message_end
message_window_query pen_y=1, output=pen_y
stage = 3
)") + idle);
  start(game);
  game.run_ticks(3);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  ASSERT_NE(message_window, nullptr);
  ASSERT_NE(message_layer(), nullptr);
  EXPECT_EQ(message_layer()->name, "msg");
  EXPECT_EQ(layer_record(message_layer())->is_message_layer, 1);
  EXPECT_EQ(game.int_value("stage"), 1);
  EXPECT_GT(message_window->text_pos, 0);
  EXPECT_LT(message_window->text_pos, message_window->text_length) << "drawn over several frames";
  game.run_ticks(60);
  EXPECT_EQ(game.int_value("stage"), 1);
  EXPECT_EQ(message_window->waiting_for_click, 1);
  EXPECT_EQ(message_window->text_pos, message_window->text_length);

  const cg_record* frame = layer_record(layer_links.windows[0].attached_layer);
  ASSERT_NE(frame, nullptr);
  ASSERT_EQ(frame->width, 320);
  int ink = 0;
  for (int i = 0; i < frame->width * frame->height; ++i) ink += frame->pixels[i * 4 + 1] > 200;
  EXPECT_GT(ink, 500);
  EXPECT_EQ(compare_frame("message_window_frame", frame), "");

  keys[1] = 1;  // a click
  game.run_ticks(1);
  keys[1] = 2;
  game.run_ticks(2);
  EXPECT_EQ(game.int_value("waiting"), 0);
  EXPECT_EQ(game.int_value("stage"), 2);
  game.run_ticks(30);
  EXPECT_EQ(message_window->waiting_for_click, 1);
  EXPECT_EQ(message_window->pen_y, 0) << "the second text starts a fresh page";
  keys[1] = 0;
  game.run_ticks(1);
  keys[13] = 1;  // Enter
  game.run_ticks(3);
  EXPECT_EQ(game.int_value("stage"), 3);
  EXPECT_EQ(game.int_value("pen_y"), 0);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
}

TEST_F(message_game, ValuesBuffersAndSettings) {
  headless_game game(std::string(R"(
global string text_buffer = ""
global string steps = ""
global int open = -1
global int end_line = -1
*SYSTEM_START
message_window open=0, end_new_line=0, end_click_wait=0
text_value value=1.5
text_value value=42
text_value value="x" + chr[9] + "y"
text_value value="字"
message_window new_line=1, new_page_lower=1, click_wait=1
text_buffer = @112
steps = @113
message_window_query open=1, output=open
message_window_query end_new_line=1, output=end_line
)") + idle);
  start(game);
  game.run_ticks(2);
  ASSERT_TRUE(game.errors().empty()) << first_error(game);
  EXPECT_EQ(sjis_to_utf8(game.text_value("text_buffer")), "1.50000042x y字");
  // Closed window: the click step does not stop the script.
  EXPECT_EQ(game.text_value("steps"), "11111111111112CRp");
  EXPECT_EQ(game.int_value("open"), 0);
  EXPECT_EQ(game.int_value("end_line"), 0);
  EXPECT_EQ(typesetter_state.advance_keys[0], 1);
}

TEST_F(message_game, OpenWindowClickStepEndsTheTurnAndKeysRemap) {
  headless_game game(std::string(R"(
global int after = 0
*SYSTEM_START
message_window click_wait=1, advance1=0, skip1=32
after = 1
)") + idle);
  start(game);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("after"), 0) << "the click step ends the task's turn";
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("after"), 1);
  EXPECT_EQ(typesetter_state.advance_keys[0], message_key_none);
  EXPECT_EQ(typesetter_state.skip_keys[0], 32);
  EXPECT_TRUE(game.errors().empty()) << first_error(game);
}

TEST_F(message_game, TextLimitsDifferBetweenTheTwoAppendCommands) {
  // Command 95 takes 8190 bytes in all; command 99 stops at 8189.
  headless_game game(std::string(R"(
global string big = ""
global string rest = ""
global int stage = 0
*SYSTEM_START
loop 4095
  big += "x"
end
loop 4090
  rest += "x"
end
text text=big
text text=rest
text_value value="abcd"
stage = 1
text_value value="e"
stage = 2
)") + idle);
  start(game);
  game.run_ticks(2);
  EXPECT_EQ(game.int_value("stage"), 1);
  EXPECT_EQ(game.error_codes(), std::vector<int>{102000});
  EXPECT_EQ(message_window->text_length, 8189);
}

TEST_F(message_game, ValueTextLongerThan1024AndMissingLayerAreErrors) {
  headless_game a(std::string(R"(
global string long = ""
*SYSTEM_START
loop 1025
  long += "x"
end
text_value value=long
)") + idle);
  start(a);
  a.run_ticks(2);
  EXPECT_EQ(a.error_codes(), std::vector<int>{102030});
}

TEST_F(message_game, MissingLayerIsAnError) {
  headless_game b(std::string(R"(
*SYSTEM_START
message_window layer="none"
)") + idle);
  start(b);
  object_node* before = layer_links.message_layer;
  b.run_ticks(2);
  EXPECT_EQ(b.error_codes(), std::vector<int>{101250});
  EXPECT_EQ(layer_links.message_layer, before);
}
