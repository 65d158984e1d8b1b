// The whole player on the headless platform: layers that scripts make under
// "W0" are composited and presented into window 0 every tick, and the close
// button asks before it ends the program.
#include <gtest/gtest.h>

#include <cstring>

#include "app/game_window.h"
#include "app/input.h"
#include "engine_fixture.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "support/solid_layer.h"

namespace {

int passes = 0;
object_node* green = nullptr;

// Stand-in scripts: two layers at the first pass, a move at the third, a
// press of the close button at the sixth (answered No), and again at the ninth.
int layer_scripts() {
  ++passes;
  if (passes == 1) {
    make_solid_layer("W0/red", 100, 50, 10, 20, 0xFFFF0000u);
    green = make_solid_layer("W0/green", 40, 40, 200, 100, 0xFF00FF00u);
  }
  if (passes == 3) {
    mark_layer_dirty(green);
    layer_record(green)->x = 300;
    mark_layer_dirty(green);
  }
  if (passes == 6 || passes == 9) {
    ui_event close;
    close.message = msg_close;
    platform().ui->post_event(close);
  }
  return 0;
}

uint32_t shown(const headless_frame& f, int x, int y) {
  uint32_t v;
  std::memcpy(&v, f.bgra.data() + (size_t(y) * f.width + x) * 4, 4);
  return v & 0xFFFFFFu;
}

}  // namespace

TEST(player_frame, ScriptLayersReachTheWindowAndCloseAsksFirst) {
  engine_fixture engine;
  engine.game.write("kxcfg.dat", cpu_drawing_settings());
  passes = 0;
  frame_steps.run_scripts = layer_scripts;
  engine.host.ui.queue_reply(id_no);
  engine.host.ui.queue_reply(id_yes);
  EXPECT_EQ(win_main(), 0);
  EXPECT_EQ(passes, 9);  // No let the ticks go on
  auto boxes = engine.host.ui.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, utf8_to_sjis("終了します。よろしいですか？"));
  EXPECT_EQ(boxes[0].answer, id_no);
  EXPECT_EQ(boxes[1].answer, id_yes);

  headless_frame f = engine.host.ui.frame(0);
  ASSERT_EQ(f.width, 640);
  ASSERT_EQ(f.height, 480);
  EXPECT_EQ(shown(f, 10, 20), 0xFF0000u);
  EXPECT_EQ(shown(f, 109, 69), 0xFF0000u);
  EXPECT_EQ(shown(f, 110, 69), 0u);
  EXPECT_EQ(shown(f, 300, 100), 0x00FF00u);  // moved
  EXPECT_EQ(shown(f, 339, 139), 0x00FF00u);
  EXPECT_EQ(shown(f, 200, 100), 0u);  // where it was: redrawn
}
