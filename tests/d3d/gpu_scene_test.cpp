// The GPU path through the whole engine: start-up takes it, the layer command
// builds textures and a scene layer, the frame tick draws and reads back, a
// resize rebuilds the device, a failed rebuild hands over to the CPU.
// The services other subsystems reach through the tables start-up fills run
// through it too: the picture command's capture and texture refresh, command
// 80's client size in full screen, the environment report's device lines,
// the adapter choice and the rebuild after a real GL context's reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/frame_state.h"
#include "core/window_state.h"
#include "platform/gles/gles_gpu.h"
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
#include "support/bmp_file.h"
#include "support/headless_game.h"

namespace {

void add_pictures(headless_game& g) {
  g.add_resource("cg\\bg.bmp", bmp24(640, 480, [](int x, int y) { return uint32_t((x * 180 / 640) << 16 | (y * 180 / 480) << 8 | 90); }), 1);
  g.add_resource("cg\\a.bmp", bmp24(300, 200, [](int x, int y) { return uint32_t((255 - x * 255 / 300) << 16 | 40 << 8 | (y * 255 / 200)); }), 1);
  g.add_resource("cg\\b.bmp", bmp24(120, 90, [](int x, int y) { return uint32_t((x / 2) << 16 | (y / 2) << 8 | 70); }), 1);
  g.add_resource("cg\\scene.bmp", bmp24(640, 480, [](int, int) { return 0u; }), 1);
  g.add_resource("cg\\small.bmp", bmp24(40, 30, [](int, int) { return 0x203040u; }), 1);
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

// The scene drawn by the GPU, then at frame `at` a capture into "shot" and a
// texture refresh of "bg" limited by "small"'s size.
std::string capture_listing() {
  return "script main.txt\n*SYSTEM_START\n"
         "layer path=\"bg\", file=\"cg/bg.bmp\", priority=1, make_texture=1\n"
         "layer path=\"scene\", file=\"cg/scene.bmp\", priority=100, scene_layer=1\n"
         "layer path=\"shot\", file=\"cg/small.bmp\", priority=200, visible=0\n"
         "layer path=\"small\", file=\"cg/small.bmp\", priority=201, visible=0\n"
         "wait 3\n"
         "cg path=\"bg\", second=\"shot\", capture=1\n"
         "cg path=\"bg\", second=\"small\", refresh_textures=1\n"
         "*idle\nwait 1\ngoto idle\n";
}

cg_record* layer(const char* name) {
  std::string resolved;
  return layer_record(find_named_layer(name, resolved));
}

// Starts the game on `choice`; false (the test skipped) when the machine has
// no such device.
bool start_on(headless_game& g, gpu_choice choice) {
  g.set_gpu_choice(choice);
  if (g.start() != 0) return false;
  return engine_settings.gpu_drawing == 1 && d3d_renderer_state.device;
}

class GpuServices : public ::testing::TestWithParam<gpu_choice> {};


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

TEST_P(GpuServices, CaptureTakesTheWindowPictureAndRefreshUploadsAnew) {
  headless_game g(capture_listing());
  add_pictures(g);
  if (!start_on(g, GetParam())) GTEST_SKIP() << "no " << gpu_choice_name(GetParam()) << " device here";
  g.run_ticks(2);
  const cg_record* bg = layer("bg");
  ASSERT_NE(bg, nullptr);
  ASSERT_TRUE(bg->gpu_textures && bg->gpu_textures->has_textures);
  const std::vector<uint32_t> tiles_before = bg->gpu_textures->tiles;
  const cg_record* scene = layer("scene");
  ASSERT_NE(scene, nullptr);
  const std::vector<uint8_t> drawn(scene->pixels, scene->pixels + size_t(640) * 480 * 4);
  g.run_ticks(3);
  const auto log = g.log_lines();
  EXPECT_FALSE(log_has(log, "KX_D3DDevice Error."));
  EXPECT_FALSE(log_has(log, "KX_PASTESPRITE Error."));
  // The capture: the main window's size and the picture the GPU drew there.
  const cg_record* shot = layer("shot");
  ASSERT_NE(shot, nullptr);
  ASSERT_EQ(shot->width, 640);
  ASSERT_EQ(shot->height, 480);
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {320, 240}, {639, 479}, {17, 401}}) {
    const size_t at = (size_t(y) * 640 + size_t(x)) * 4;
    for (int c = 0; c < 3; ++c) EXPECT_EQ(shot->pixels[at + size_t(c)], drawn[at + size_t(c)]) << x << "," << y;
  }
  EXPECT_NEAR(shot->pixels[(size_t(240) * 640 + 320) * 4], 90, 1);  // bg's blue
  // The refresh: new tiles no larger than "small" (40 x 30): 16 columns of
  // 40 and 16 rows of 30 cover 640 x 480.
  ASSERT_TRUE(bg->gpu_textures && bg->gpu_textures->has_textures);
  EXPECT_NE(bg->gpu_textures->tiles, tiles_before);
  EXPECT_EQ(bg->gpu_textures->columns, 16);
  EXPECT_EQ(bg->gpu_textures->rows, 16);
  // The refreshed tiles draw the same scene.
  redraw_scene();
  g.run_ticks(1);
  scene = layer("scene");
  int largest = 0;
  for (size_t i = 0; i < drawn.size(); ++i)
    if (i % 4 != 3) largest = std::max(largest, std::abs(int(scene->pixels[i]) - int(drawn[i])));
  EXPECT_LE(largest, 1);
}

TEST_P(GpuServices, ClientSizeInFullScreenSetsTheModeAgainAndResetsTheDevice) {
  headless_game g("script main.txt\n*SYSTEM_START\n"
                  "layer path=\"bg\", file=\"cg/bg.bmp\", priority=1\n"
                  "layer path=\"small\", file=\"cg/small.bmp\", priority=2, make_texture=1\n"
                  "window window=0, fullscreen=1\n"
                  "wait 2\n"
                  "system_settings width=800, height=600\n"
                  "args75\n"
                  "*idle\nwait 1\ngoto idle\n");
  // A probe right after command 80, before the tick repaints: what the
  // window shows then.
  static headless_frame shown;
  static HeadlessUi* probe_ui = nullptr;
  g.set_command_handler(75, [] {
    shown = probe_ui->frame(0);
    return 0;
  });
  add_pictures(g);
  // Stretched over the mode, so the mode is the one the best-mode search finds.
  g.write_file("kxcfg.dat", engine_settings_file({{7, 2}}));
  if (!start_on(g, GetParam())) GTEST_SKIP() << "no " << gpu_choice_name(GetParam()) << " device here";
  g.run_ticks(1);
  HeadlessUi& ui = g.backend().ui;
  probe_ui = &ui;
  const headless_frame before = ui.frame(0);
  auto entries = [&] {
    const std::vector<std::string> calls = ui.calls();
    return std::count_if(calls.begin(), calls.end(),
                         [](const std::string& c) { return c.rfind("enter_fullscreen 0", 0) == 0; });
  };
  ASSERT_EQ(entries(), 1) << [&] {
    std::string all;
    for (const std::string& c : ui.calls()) all += c + "\n";
    for (const auto& b : ui.boxes()) all += sjis_to_utf8(b.text) + "\n";
    return all;
  }();
  const int devices = g.backend().gpu.devices_made();
  g.run_ticks(4);
  // The mode is set again for the new game size, and the device made anew.
  EXPECT_EQ(entries(), 2);
  // Cleared to black over the new game size; the game's picture was there.
  auto black = [](const headless_frame& f) {
    if (f.width < 800 || f.height < 600) return false;
    for (int y = 0; y < 600; ++y)
      for (int x = 0; x < 800; ++x)
        for (int c = 0; c < 3; ++c)
          if (f.bgra[(size_t(y) * size_t(f.width) + size_t(x)) * 4 + size_t(c)] != 0) return false;
    return true;
  };
  EXPECT_FALSE(black(before));
  EXPECT_TRUE(black(shown));
  EXPECT_EQ(game_window_record(0)->logical_width, 800);
  EXPECT_EQ(cpu_frame_buffer.frame_width, 800);
  EXPECT_EQ(g.backend().gpu.devices_made(), devices + 1);
  EXPECT_TRUE(log_has(g.log_lines(), "DeviceReset End."));
  EXPECT_EQ(engine_settings.gpu_drawing, 1);
  // The layer that had textures has them again on the new device.
  const cg_record* small = layer("small");
  ASSERT_NE(small, nullptr);
  EXPECT_TRUE(small->gpu_textures && small->gpu_textures->has_textures);
  // No second reset waits for the next scene.
  EXPECT_EQ(screen_state.device_reset_requested.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, GpuServices, ::testing::Values(gpu_choice::software, gpu_choice::llvmpipe),
                         [](const ::testing::TestParamInfo<gpu_choice>& i) {
                           return std::string(gpu_choice_name(i.param));
                         });

TEST(GpuServicesReport, EnvironmentReportListsTheDevices) {
  headless_game g(capture_listing());
  add_pictures(g);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  const auto log = g.log_lines();
  const auto gpu = std::find(log.begin(), log.end(), "GPU");
  ASSERT_NE(gpu, log.end());
  EXPECT_TRUE(log_has(log, "▼ [-] own rasteriser"));
  // After the display devices, before the sound devices.
  const auto video = std::find(log.begin(), log.end(), "VIDEO");
  const auto sound = std::find(log.begin(), log.end(), "SOUND[OUTPUT]");
  EXPECT_LT(video, gpu);
  EXPECT_LT(gpu, sound);
  // The pictures start-up loaded stamped the load time.
  EXPECT_NE(pacing_state.last_load_ms, 0u);
}

// A reset reported by a real GL context (llvmpipe cannot lose one on purpose,
// so its reset status is answered for it): the next scene rebuilds the
// device; when no device can be made, the engine draws on the CPU.
TEST(GpuDeviceLoss, ResetOfARealContextRebuildsOrSwitchesToCpu) {
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "rebuild refused" : "rebuild");
    reset_engine_for_next_run();
    headless_game g(capture_listing());
    add_pictures(g);
    if (!start_on(g, gpu_choice::llvmpipe)) GTEST_SKIP() << "no llvmpipe device here";
    g.run_ticks(2);
    ASSERT_FALSE(d3d_renderer_state.device->lost());
    const int devices = g.backend().gpu.devices_made();
    static uint32_t status = 0;
    status = 0x8253;  // GL_GUILTY_CONTEXT_RESET
    gles_reset_status_query = [] { return status; };
    if (refuse) g.backend().gpu.refuse_all(true);
    redraw_scene();
    g.run_ticks(1);
    status = 0;
    const auto log = g.log_lines();
    EXPECT_TRUE(log_has(log, "-------------------- Direct3D (L)初期化します."));
    if (!refuse) {
      EXPECT_EQ(g.backend().gpu.devices_made(), devices + 1);
      EXPECT_TRUE(log_has(log, "DeviceReset End."));
      EXPECT_EQ(engine_settings.gpu_drawing, 1);
      ASSERT_TRUE(d3d_renderer_state.device);
      EXPECT_FALSE(d3d_renderer_state.device->lost());
    } else {
      EXPECT_EQ(engine_settings.gpu_drawing, 0);
      EXPECT_EQ(d3d_renderer_state.device, nullptr);
      EXPECT_TRUE(log_has(log, gpu_failed));
    }
    gles_reset_status_query = nullptr;
  }
}

// The adapter follows the main window's monitor: on the second display the
// rebuilt device is asked of adapter 1 first.
TEST(GpuServicesAdapter, DeviceIsMadeOnTheMainWindowsMonitorsAdapter) {
  headless_game g(capture_listing());
  add_pictures(g);
  g.prepare([](HeadlessPlatform& p) {
    headless_display first, second;
    ASSERT_TRUE(parse_headless_display("1920x1080", first));
    ASSERT_TRUE(parse_headless_display("1280x1024+1920+0", second));
    p.ui.set_displays({first, second});
  });
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_EQ(d3d_renderer_state.adapter, 0);
  EXPECT_EQ(g.backend().gpu.preferred_adapter(), 0);
  g.backend().ui.move_window(0, 2100, 100);
  g.backend().ui.user_resize(0, 800, 600, 0);
  pump_messages();
  redraw_scene();
  g.run_ticks(1);
  EXPECT_TRUE(log_has(g.log_lines(), "DeviceReset End."));
  EXPECT_EQ(d3d_renderer_state.adapter, 1);
  EXPECT_EQ(g.backend().gpu.preferred_adapter(), 1);
}

// A mode for the new size that cannot be had ends in a window of that size.
TEST(GpuServicesClientSize, FailedModeForTheNewSizeEndsInAWindowOfIt) {
  headless_game g("script main.txt\n*SYSTEM_START\n"
                  "window window=0, fullscreen=1\n"
                  "wait 2\n"
                  "system_settings width=800, height=600\n"
                  "*idle\nwait 1\ngoto idle\n");
  add_pictures(g);
  g.write_file("kxcfg.dat", engine_settings_file({{7, 2}}));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(1);
  HeadlessUi& ui = g.backend().ui;
  ASSERT_TRUE(ui.window_fullscreen(0));
  ui.set_fullscreen_fails(true);
  g.run_ticks(3);
  EXPECT_FALSE(ui.window_fullscreen(0));
  EXPECT_EQ(screen_state.fullscreen.load(), 0);
  EXPECT_EQ(cpu_frame_buffer.output_width, 800);
  EXPECT_EQ(screen_state.client_width.load(), 800);
  EXPECT_EQ(ui.window(0).width, 800);
  EXPECT_EQ(ui.window(0).height, 600);
}
