// A game set for GPU drawing, run while no GPU device can be made: start-up
// says so once, in the info log and in a box, and the game draws on the CPU.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/headless_run.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "support/headless_game.h"

namespace {

const char* const drawing_game = frame_counting_game;

// Runs the drawing game with `kxcfg` (empty: no settings file, the defaults)
// and checks that `boxes` fall-back messages were shown and logged.
void run_game(const std::vector<uint8_t>& kxcfg, int boxes) {
  const std::string message = "GPU描画が出来ませんでした。CPU描画に移行します。";
  headless_game game(drawing_game);
  game.prepare([](HeadlessPlatform& p) { p.gpu.refuse_all(true); });  // a machine with no GPU device
  if (!kxcfg.empty()) game.write_file("kxcfg.dat", kxcfg);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(10);
  EXPECT_GE(game.int_value("frames"), 5);
  EXPECT_EQ(engine_settings.gpu_drawing, 0);
  int shown = 0;
  for (const auto& box : game.backend().ui.boxes())
    if (sjis_to_utf8(box.text) == message) ++shown;
  EXPECT_EQ(shown, boxes);
  const auto lines = game.log_lines();
  const auto logged = std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& l) { return l.find(message) != std::string::npos; });
  EXPECT_EQ(logged, boxes);
  EXPECT_EQ(engine_settings.smoothing, 1);
  // The frame was composited by the CPU and presented.
  int w = 0, h = 0;
  std::vector<uint8_t> bgra;
  ASSERT_TRUE(composited_main_frame(w, h, bgra));
  EXPECT_EQ(w, 128);
  EXPECT_EQ(h, 96);
  EXPECT_FALSE(game.backend().ui.frame(0).bgra.empty());
}

std::vector<uint8_t> settings_with_drawing(uint8_t method) {
  std::vector<uint8_t> s(128, 0);
  for (int slot : {0, 2, 3, 4}) s[size_t(slot) * 4] = 1;
  s[8 * 4] = method;
  return s;
}

}  // namespace

TEST(GpuFallback, TheDefaultGpuDrawingFallsBackWithOneMessage) { run_game({}, 1); }
TEST(GpuFallback, GpuLevelTwoFallsBackWithOneMessage) { run_game(settings_with_drawing(1), 1); }
TEST(GpuFallback, CpuDrawingShowsNoMessage) { run_game(settings_with_drawing(2), 0); }
