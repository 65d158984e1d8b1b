// Pictures in the engine's own format, loaded by a running game: the two
// parts go to workers 0 and 1, and a wrong magic is shown once and the
// picture still loads.
#include <gtest/gtest.h>

#include "app/headless_run.h"
#include "core/system_info.h"
#include "core/worker_pool.h"
#include "format/kcg_format.h"
#include "image/decode_kcg.h"
#include "support/headless_game.h"

namespace {

// A 128 x 96 picture of one colour, zlib-packed, cut in the middle.
std::vector<uint8_t> solid_kcg(uint32_t bgra) {
  std::vector<uint8_t> pixels(size_t(128) * 96 * 4);
  for (size_t i = 0; i < pixels.size(); i += 4)
    for (int b = 0; b < 4; ++b) pixels[i + size_t(b)] = uint8_t(bgra >> (8 * b));
  std::vector<uint8_t> file;
  EXPECT_EQ(build_kcg_file(pixels.data(), 128, 96, kcg_compression_zlib, pixels.size() / 2, nullptr, file), 0);
  return file;
}

int file_check_boxes(headless_game& game) {
  int n = 0;
  for (const auto& box : game.backend().ui.boxes()) n += box.text == "File Check Error." ? 1 : 0;
  return n;
}

}  // namespace

TEST(KcgLoading, PartsRunOnWorkersZeroAndOne) {
  headless_game game(R"(
config window_kind 1
config size 128 96
*SYSTEM_START
wait 2
layer path="pic", file="cg/pic.png", priority=1
*idle
wait 1
goto idle
)");
  game.add_resource("cg\\pic.png", solid_kcg(0xFF3366CCu), 8);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(5);
  EXPECT_TRUE(game.error_codes().empty());
  EXPECT_EQ(file_check_boxes(game), 0);
  int w = 0, h = 0;
  std::vector<uint8_t> bgra;
  ASSERT_TRUE(composited_main_frame(w, h, bgra));
  EXPECT_EQ(bgra[0], 0xCC);
  EXPECT_EQ(bgra[1], 0x66);
  EXPECT_EQ(bgra[2], 0x33);
  if (system_info.worker_count >= 2) {
    // The last jobs workers 0 and 1 ran were the two zlib parts.
    EXPECT_EQ(worker_job_record(0).kind, kcg_job_zlib);
    EXPECT_EQ(worker_job_record(1).kind, kcg_job_zlib);
  }
}

TEST(KcgLoading, AWrongMagicIsShownOnceAndThePictureLoads) {
  headless_game game(R"(
config window_kind 1
config size 128 96
*SYSTEM_START
wait 2
layer path="pic", file="cg/pic.png", priority=1
*idle
wait 1
goto idle
)");
  std::vector<uint8_t> file = solid_kcg(0xFF3366CCu);
  file[0] = 'X';
  game.add_resource("cg\\pic.png", file, 8);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(5);
  EXPECT_TRUE(game.error_codes().empty());
  EXPECT_EQ(file_check_boxes(game), 1);
  int w = 0, h = 0;
  std::vector<uint8_t> bgra;
  ASSERT_TRUE(composited_main_frame(w, h, bgra));
  EXPECT_EQ(bgra[0], 0xCC);
  EXPECT_EQ(bgra[2], 0x33);
}
