// The GPU path through the whole engine: start-up takes it, the layer command
// builds textures and a scene layer, the frame tick draws and reads back, a
// resize rebuilds the device, a failed rebuild hands over to the CPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/sjis.h"
#include "d3d/d3d_device.h"
#include "d3d/layer_textures.h"
#include "d3d/scene_drawing.h"
#include "app/frame_loop.h"
#include "graphics/compositor.h"
#include "graphics/layer_commands.h"
#include "graphics/layer_record.h"
#include "platform/gpu/software_gpu.h"
#include "app/headless_run.h"
#include "support/headless_game.h"

namespace {

// A 24-bit BMP whose pixel (x, y) is colour(x, y) = 0xRRGGBB.
template <class F>
std::vector<uint8_t> bmp24(int w, int h, F colour) {
  const int stride = (w * 3 + 3) & ~3;
  std::vector<uint8_t> b(54 + size_t(stride) * size_t(h), 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, uint32_t(b.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, uint32_t(w));
  put32(22, uint32_t(h));
  b[26] = 1;
  b[28] = 24;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colour(x, y);
      uint8_t* p = &b[54 + size_t(h - 1 - y) * size_t(stride) + size_t(x) * 3];
      p[0] = uint8_t(c);
      p[1] = uint8_t(c >> 8);
      p[2] = uint8_t(c >> 16);
    }
  return b;
}

void add_pictures(headless_game& g) {
  g.add_resource("cg\\bg.bmp", bmp24(640, 480, [](int x, int y) { return uint32_t((x * 180 / 640) << 16 | (y * 180 / 480) << 8 | 90); }), 1);
  g.add_resource("cg\\a.bmp", bmp24(300, 200, [](int x, int y) { return uint32_t((255 - x * 255 / 300) << 16 | 40 << 8 | (y * 255 / 200)); }), 1);
  g.add_resource("cg\\b.bmp", bmp24(120, 90, [](int x, int y) { return uint32_t((x / 2) << 16 | (y / 2) << 8 | 70); }), 1);
  g.add_resource("cg\\scene.bmp", bmp24(640, 480, [](int, int) { return 0u; }), 1);
}

std::string listing(bool gpu) {
  const std::string tex = gpu ? ", make_texture=1" : "";
  std::string s = "script main.txt\n*SYSTEM_START\n";
  s += "layer path=\"bg\", file=\"cg/bg.bmp\", priority=1" + tex + "\n";
  s += "layer path=\"a\", file=\"cg/a.bmp\", priority=2, x=40, y=30, gpu_value1=4000, gpu_value2=3000, alpha=200" + tex + "\n";
  s += "layer path=\"b\", file=\"cg/b.bmp\", priority=3, x=400, y=250, gpu_value1=40000, gpu_value2=25000, blend=1, alpha=128" + tex + "\n";
  if (gpu) s += "layer path=\"scene\", file=\"cg/scene.bmp\", priority=100, scene_layer=1\n";
  s += "*idle\nwait 1\ngoto idle\n";
  return s;
}

std::vector<uint8_t> frame() {
  int w = 0, h = 0;
  std::vector<uint8_t> bgra;
  EXPECT_TRUE(composited_main_frame(w, h, bgra));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  return bgra;
}

int largest_colour_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int largest = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (i % 4 != 3) {
      const int d = std::abs(int(a[i]) - int(b[i]));
      largest = std::max(largest, d);
    }
  return largest;
}

bool log_has(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

int boxes_with(const headless_game& g, const std::string& utf8) {
  int n = 0;
  for (const auto& b : const_cast<headless_game&>(g).backend().ui.boxes())
    if (sjis_to_utf8(b.text) == utf8) ++n;
  return n;
}

// Something the scene shows changed: the next tick draws the GPU scene.
void redraw_scene() {
  std::string resolved;
  layer_command_hooks.mark_scene_dirty();
  mark_layer_dirty(find_named_layer("bg", resolved));
}

const char* const gpu_failed = "GPU描画が出来ませんでした。CPU描画に移行します。";

}  // namespace

// A GPU run, its frame, then the engine's switch to CPU drawing and the CPU
// compositor's frame of the same layers.
TEST(GpuScene, RasteriserFrameEqualsTheCpuCompositorForModes0And1) {
  headless_game g(listing(true));
  add_pictures(g);
  ASSERT_EQ(g.start(), 0);
  ASSERT_EQ(engine_settings.gpu_drawing, 1);
  ASSERT_NE(d3d_renderer_state.device, nullptr);
  EXPECT_EQ(d3d_renderer_state.device->info().backend, "software");
  g.run_ticks(2);
  EXPECT_TRUE(g.errors().empty());
  const std::vector<uint8_t> gpu = frame();
  const auto log = g.log_lines();
  for (const char* line : {"Direct3D初期化開始", "[DX]ハードウェアの理想の状態で初期化できませんでした。",
                           "[DX]頂点処理だけソフトウェアエミュレーションで成功しました。", "デバイス設定完了",
                           "PixelShader初期化完了", "オフスクリーンサーフェス(L) 1280x960 生成しました."})
    EXPECT_TRUE(log_has(log, line)) << line;
  switch_to_cpu_drawing();
  g.run_ticks(1);
  const std::vector<uint8_t> cpu = frame();
  ASSERT_EQ(cpu.size(), gpu.size());
  EXPECT_LE(largest_colour_difference(cpu, gpu), 1);
  // The layers are there at all (b apart from a: each pixel takes one rounding step).
  EXPECT_NE(std::memcmp(&cpu[(size_t(270) * 640 + 420) * 4], &cpu[(size_t(120) * 640 + 620) * 4], 3), 0);
  EXPECT_NE(std::memcmp(&cpu[(size_t(50) * 640 + 50) * 4], &cpu[(size_t(50) * 640 + 620) * 4], 3), 0);
}

TEST(GpuScene, ResizeRebuildsAndUploadsBeforeTheNextDraw) {
  headless_game g(listing(true));
  add_pictures(g);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  const std::vector<uint8_t> before = frame();
  auto& gpu = g.backend().gpu;
  EXPECT_EQ(gpu.devices_made(), 1);
  g.backend().ui.user_resize(0, 800, 600, 0);
  pump_messages();
  // The next scene comes from a new device with every texture uploaded again.
  redraw_scene();
  g.run_ticks(1);
  EXPECT_EQ(gpu.devices_made(), 2);
  const auto log = g.log_lines();
  EXPECT_TRUE(log_has(log, "-------------------- Direct3D (L)初期化します."));
  EXPECT_TRUE(log_has(log, "DeviceReset End."));
  // The capabilities report is written once per run, not again for the new device.
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.find("Texture Mem Free") != std::string::npos; }),
            1);
  EXPECT_EQ(engine_settings.gpu_drawing, 1);
  EXPECT_EQ(largest_colour_difference(before, frame()), 0);
}

TEST(GpuScene, FailedRebuildShowsItsBoxOnceAndTheCpuTakesOver) {
  headless_game g(listing(true));
  add_pictures(g);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  const std::vector<uint8_t> before = frame();
  g.backend().gpu.refuse_all(true);
  g.backend().ui.user_resize(0, 800, 600, 0);
  pump_messages();
  for (int i = 0; i < 3; ++i) {
    redraw_scene();
    g.run_ticks(1);
  }
  EXPECT_EQ(boxes_with(g, gpu_failed), 1);
  EXPECT_EQ(engine_settings.gpu_drawing, 0);
  EXPECT_EQ(d3d_renderer_state.device, nullptr);
  EXPECT_EQ(gpu_scene.scene_layer, nullptr);
  // No layer stays frozen in a texture, and the scene layer's last frame
  // does not cover them: the CPU draws the same picture.
  std::string resolved;
  for (const char* name : {"bg", "a", "b"}) {
    const cg_record* r = layer_record(find_named_layer(name, resolved));
    ASSERT_NE(r, nullptr) << name;
    EXPECT_EQ(r->texture_requested, 0) << name;
    EXPECT_EQ(r->gpu_textures, nullptr) << name;
  }
  EXPECT_EQ(layer_record(find_named_layer("scene", resolved))->visible, 0);
  EXPECT_LE(largest_colour_difference(before, frame()), 1);
}

TEST(GpuScene, SceneLayerOfAnotherSizeIsNotReadBack) {
  headless_game g("script main.txt\n*SYSTEM_START\n"
                  "layer path=\"bg\", file=\"cg/bg.bmp\", priority=1, make_texture=1\n"
                  "layer path=\"scene\", file=\"cg/b.bmp\", priority=100, scene_layer=1\n"
                  "*idle\nwait 1\ngoto idle\n");
  add_pictures(g);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  std::string resolved;
  const cg_record* scene = layer_record(find_named_layer("scene", resolved));
  ASSERT_NE(scene, nullptr);
  // Still b's own pixels (x / 2 in red at x = 100).
  EXPECT_EQ(scene->pixels[(size_t(10) * 120 + 100) * 4 + 2], 50);
}

TEST(GpuScene, SceneLayerOfTheFrameSizeGetsTheOpaqueFrame) {
  headless_game g(listing(true));
  add_pictures(g);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  std::string resolved;
  const cg_record* drawn = layer_record(find_named_layer("scene", resolved));
  ASSERT_NE(drawn, nullptr);
  const uint8_t* p = drawn->pixels + (size_t(470) * 640 + 630) * 4;
  EXPECT_EQ(p[3], 255);
  EXPECT_EQ(p[0], 90);  // bg's blue
  // The target is cleared to opaque black: beyond the frame (the target is
  // 1280 x 960) nothing is drawn.
  std::vector<uint8_t> target(size_t(1280) * 960 * 4);
  ASSERT_EQ(read_back_buffer_with_tone(target.data(), 1280, 960, 128, 0x808080), 0);
  uint32_t beyond;
  std::memcpy(&beyond, &target[(size_t(900) * 1280 + 1000) * 4], 4);
  EXPECT_EQ(beyond, 0xFF000000u);
}

TEST(GpuScene, ShaderLevelBelowTheEffectsGivesTheCheckBoxAndCpuDrawing) {
  headless_game g(listing(true));
  add_pictures(g);
  g.prepare([](HeadlessPlatform& p) { p.gpu.set_software_shader_level(14); });
  ASSERT_EQ(g.start(), 0);
  EXPECT_EQ(engine_settings.gpu_drawing, 0);
  EXPECT_EQ(d3d_renderer_state.device, nullptr);
  const auto boxes = g.backend().ui.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(sjis_to_utf8(boxes[0].caption), "環境チェック");
  EXPECT_EQ(sjis_to_utf8(boxes[1].text), gpu_failed);
  // The layers are the CPU's from the start: no textures were asked for.
  g.run_ticks(1);
  std::string resolved;
  const cg_record* bg = layer_record(find_named_layer("bg", resolved));
  ASSERT_NE(bg, nullptr);
  EXPECT_EQ(bg->texture_requested, 0);
}

void expect_attempts(int skip_hardware) {
  headless_game g(listing(true));
  add_pictures(g);
  // kxcfg.dat slot 12 = 1 skips the hardware attempt.
  std::vector<uint8_t> cfg(128, 0);
  cfg[12 * 4] = uint8_t(skip_hardware);
  g.write_file("kxcfg.dat", cfg);
  ASSERT_EQ(g.start(), 0);
  const std::vector<gpu_attempt> expected =
      skip_hardware ? std::vector<gpu_attempt>{gpu_attempt::mixed, gpu_attempt::software}
                    : std::vector<gpu_attempt>{gpu_attempt::hardware, gpu_attempt::mixed, gpu_attempt::software};
  EXPECT_EQ(g.backend().gpu.attempts(), expected);
  const auto log = g.log_lines();
  auto first = std::find_if(log.begin(), log.end(),
                           [](const std::string& l) { return l.find("[DX]ハードウェア") != std::string::npos; });
  ASSERT_NE(first, log.end());
  EXPECT_NE(first->find("[DX]ハードウェアの理想の状態で初期化できませんでした。"), std::string::npos);
}

TEST(GpuScene, AttemptsInOrder) { expect_attempts(0); }
TEST(GpuScene, SkipSettingStartsWithTheSecondAttempt) { expect_attempts(1); }

TEST(GpuScene, CpuDrawingChosenMakesNoDeviceAndNoBox) {
  headless_game g(listing(true));
  add_pictures(g);
  g.set_gpu_choice(gpu_choice::cpu_only);
  ASSERT_EQ(g.start(), 0);
  EXPECT_EQ(engine_settings.gpu_drawing, 0);
  EXPECT_EQ(d3d_renderer_state.device, nullptr);
  EXPECT_EQ(boxes_with(g, gpu_failed), 0);
  EXPECT_TRUE(g.backend().gpu.attempts().empty());
}
