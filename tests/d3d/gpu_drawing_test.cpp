// The GPU drawing on our own rasteriser: vertex maths, tiles, the blend-mode
// table against hand-computed pixels, the read-back and its tone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "core/settings.h"
#include "d3d/d3d_device.h"
#include "d3d/layer_textures.h"
#include "d3d/scene_drawing.h"
#include "graphics/layer_record.h"
#include "platform/gpu/gpu_pixels.h"
#include "platform/gpu/software_gpu.h"
#include "platform/headless/headless_platform.h"
#include "support/temp_folder.h"

namespace {

// A headless platform (for the info log and message boxes) and a rasteriser
// device installed as the engine's.
struct gpu_fixture {
  temp_folder folder;
  HeadlessPlatform platform{folder.path()};
  gpu_fixture() {
    reset_gpu_drawing();
    engine_settings = engine_settings_record{};
    install_platform(&platform.services);
    d3d_renderer_state.device = std::make_unique<SoftwareGpuDevice>(64, 32);
    d3d_renderer_state.max_texture_width = d3d_renderer_state.max_texture_height = 8192;
    set_device_defaults();
    init_shader_effect();
  }
  ~gpu_fixture() {
    reset_gpu_drawing();
    install_platform(nullptr);
  }
  GpuDevice& device() { return *d3d_renderer_state.device; }
};

// A record whose picture is one colour (0xAARRGGBB), drawn 1:1 at (x, y).
struct test_layer {
  cg_record r;
  std::vector<uint8_t> block;
  test_layer(int w, int h, uint32_t colour, int x = 0, int y = 0, int mode = 0, int alpha = 256) {
    block.resize(size_t(w) * 4 * size_t(h) + size_t(w) * 4 + 4);
    r.pixels = block.data();
    r.width = w;
    r.height = h;
    for (int i = 0; i < w * h; ++i) std::memcpy(r.pixels + size_t(i) * 4, &colour, 4);
    r.gpu_value1 = int64_t(x) * 100;
    r.gpu_value2 = int64_t(y) * 100;
    r.blend_mode = uint8_t(mode);
    r.alpha = int16_t(alpha);
  }
  ~test_layer() { free_layer_texture_set(&r); }
};

uint32_t pixel_at(const std::vector<uint8_t>& bgra, int width, int x, int y) {
  uint32_t p;
  std::memcpy(&p, &bgra[(size_t(y) * size_t(width) + size_t(x)) * 4], 4);
  return p;
}

int channel(uint32_t p, int shift) { return int((p >> shift) & 255); }

}  // namespace

TEST(GpuVertex, QuadMathsPlacesScalesShiftsAndRotates) {
  cg_record r;
  r.gpu_value1 = 1000;  // 10 px
  r.gpu_value2 = 2050;  // 20.5 px
  r.scale_x = 20000;    // 200 %
  r.scale_y = 5000;     // 50 %
  sprite_vertex q[4];
  layer_tile_quad(r, 512, 0, 256, 128, 0x80808080u, q);
  // Left edge at 10 + 512 * 2 - 0.5; the tile spans 512 x 64.
  EXPECT_FLOAT_EQ(q[0].x, 1033.5f);
  EXPECT_FLOAT_EQ(q[0].y, 20.0f);
  EXPECT_FLOAT_EQ(q[3].x, 1033.5f + 512.f);
  EXPECT_FLOAT_EQ(q[3].y, 20.0f + 64.f);
  EXPECT_FLOAT_EQ(q[0].rhw, 1.f);
  EXPECT_EQ(q[2].diffuse, 0x80808080u);
  // u is whole (x has no fraction); v moves by a quarter of 0.5 over 128 texels.
  EXPECT_FLOAT_EQ(q[0].uv[0][0], 0.f);
  EXPECT_FLOAT_EQ(q[3].uv[0][0], 1.f);
  EXPECT_FLOAT_EQ(q[0].uv[0][1], 0.125f / 128.f);
  EXPECT_FLOAT_EQ(q[3].uv[0][1], 1.f + 0.125f / 128.f);

  // A quarter turn (roll 90 degrees) about the centre (10, 10) from (0, 0).
  cg_record t;
  t.gpu_value3 = 1000;
  t.gpu_value4 = 1000;
  t.angle[2] = 9000;
  layer_tile_quad(t, 0, 0, 20, 20, 0, q);
  // Top-left (-0.5, -0.5) turns about (9.5, 9.5) to (19.5, -0.5).
  EXPECT_NEAR(q[0].x, 19.5f, 1e-4);
  EXPECT_NEAR(q[0].y, -0.5f, 1e-4);
  EXPECT_NEAR(q[3].x, -0.5f, 1e-4);
  EXPECT_NEAR(q[3].y, 19.5f, 1e-4);

  sprite_vertex moved[4] = {q[0], q[1], q[2], q[3]};
  translate_quad(moved, 1.f, -2.f, 3.f);
  EXPECT_FLOAT_EQ(moved[1].x, q[1].x + 1.f);
  EXPECT_FLOAT_EQ(moved[1].y, q[1].y - 2.f);
  EXPECT_FLOAT_EQ(moved[1].z, 3.f);
}

TEST(GpuTiles, GridFollowsTheSizeRulesAndLimits) {
  struct row {
    int w, h, max_w, max_h, limit;
    int fault;
    std::vector<int> widths, heights;
  };
  const std::vector<row> rows = {
      {100, 100, 8192, 8192, 512, 0, {512}, {128}},
      {512, 256, 8192, 8192, 512, 0, {512}, {256}},
      {700, 300, 8192, 8192, 512, 0, {512, 256}, {256, 64}},
      {600, 10, 256, 8192, 512, 0, {256, 256, 128}, {16}},
      {1, 1, 0, 0, 0, 0, {512}, {16}},
  };
  for (const row& c : rows) {
    tile_grid g;
    EXPECT_EQ(compute_tile_grid(c.w, c.h, c.max_w, c.max_h, c.limit, g), c.fault) << c.w << "x" << c.h;
    EXPECT_EQ(g.widths, c.widths) << c.w << "x" << c.h;
    EXPECT_EQ(g.heights, c.heights) << c.w << "x" << c.h;
  }
  tile_grid g;
  // 31 rows of 256 fit; one row more is a 32nd.
  EXPECT_EQ(compute_tile_grid(8192, 7936, 8192, 8192, 512, g), 0);
  EXPECT_EQ(g.heights.size(), 31u);
  EXPECT_EQ(g.widths.size() * g.heights.size(), 496u);
  EXPECT_EQ(compute_tile_grid(100, 7937, 8192, 8192, 512, g), 2);
  EXPECT_EQ(g.rest, 1);
  // A caller's limit of 16 needs 32 columns for 512 pixels.
  EXPECT_EQ(compute_tile_grid(512, 16, 8192, 8192, 16, g), 1);
}

TEST(GpuTiles, LargePicturesGetEveryTileAndTallOnesTheTynumBox) {
  gpu_fixture f;
  test_layer big(8192, 7936, 0xFF102030u);
  ASSERT_EQ(paste_sprite_texture(&big.r, 0, 512, 256), 0);
  ASSERT_NE(big.r.gpu_textures, nullptr);
  EXPECT_EQ(big.r.gpu_textures->tiles.size(), 496u);
  EXPECT_EQ(big.r.texture_tile_count, 496);
  // The record image marks its 256 slots.
  std::vector<uint8_t> image(cg_record_image_size);
  write_cg_record_image(big.r, image.data());
  EXPECT_EQ(image[616 + 4 * 255], 1);
  free_layer_texture_set(&big.r);

  test_layer tall(16, 7937, 0xFF102030u);
  EXPECT_EQ(paste_sprite_texture(&tall.r, 0, 512, 256), -1);
  auto boxes = f.platform.ui.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "TYNUM Overflow Error. SX = 16, SY = 7937, mRest = 1");
  EXPECT_FALSE(tall.r.gpu_textures->has_textures);
}

TEST(GpuModes, EveryModeOfTheTableAgainstHandComputedPixels) {
  // Background R 200, G 100, B 50; layer R 100, G 150, B 250, opaque.
  struct row {
    int mode, alpha;
    int r, g, b;
  };
  const row rows[] = {
      {0, 256, 100, 150, 250},  // normal
      {0, 128, 150, 125, 150},  // s * 128/255 + d * 127/255
      {1, 256, 255, 250, 255},  // d + s, saturating
      {2, 256, 100, 0, 0},      // d - s
      {3, 256, 78, 59, 49},     // d * s / 255
      {5, 256, 222, 191, 251},  // s * (1 - d) + d
      {6, 256, 200, 150, 250},  // max
      {7, 256, 100, 100, 50},   // min
      {9, 256, 143, 132, 202},  // s * (1 - d) + d * (1 - s)
  };
  for (const row& c : rows) {
    gpu_fixture f;
    test_layer layer(8, 8, 0xFF6496FAu, 0, 0, c.mode, c.alpha);
    ASSERT_EQ(paste_sprite_texture(&layer.r, 0, 512, 256), 0);
    ASSERT_TRUE(f.device().begin_scene());
    f.device().clear(0xFFC86432u);
    draw_layer_effect(&layer.r, nullptr, nullptr);
    f.device().end_scene();
    std::vector<uint8_t> out(16 * 4 * 24);
    ASSERT_TRUE(f.device().read_back(out.data(), 16, 24, 16 * 4));
    const uint32_t p = pixel_at(out, 16, 3, 3);
    EXPECT_EQ(channel(p, 16), c.r) << "mode " << c.mode << " alpha " << c.alpha;
    EXPECT_EQ(channel(p, 8), c.g) << "mode " << c.mode << " alpha " << c.alpha;
    EXPECT_EQ(channel(p, 0), c.b) << "mode " << c.mode << " alpha " << c.alpha;
    // Below the layer's 512 x 16 tile the background stays (inside the tile
    // the transparent padding is blended like any texel).
    EXPECT_EQ(pixel_at(out, 16, 3, 20), 0xFFC86432u);
    // Inside the tile but beyond the picture the padding is transparent:
    // the modes that weigh by alpha leave the colour alone there.
    if (c.mode != 2 && c.mode != 6 && c.mode != 9) {
      EXPECT_EQ(pixel_at(out, 16, 12, 3) & 0xFFFFFF, 0xC86432u) << "mode " << c.mode;
    }
  }
}

TEST(GpuModes, ModesWithoutStatesKeepTheEarlierOnesFromDefaults) {
  gpu_fixture f;
  test_layer add(4, 4, 0xFF6496FAu, 0, 0, 1);
  test_layer divide(4, 4, 0xFF6496FAu, 0, 0, 4);
  ASSERT_EQ(paste_sprite_texture(&add.r, 0, 512, 256), 0);
  ASSERT_EQ(paste_sprite_texture(&divide.r, 0, 512, 256), 0);
  std::vector<uint8_t> out(8 * 8 * 4);
  auto frame = [&](std::initializer_list<cg_record*> layers) {
    f.device().begin_scene();
    f.device().clear(0xFFC86432u);
    for (cg_record* r : layers) draw_layer_effect(r, nullptr, nullptr);
    f.device().end_scene();
    f.device().read_back(out.data(), 8, 8, 32);
    return pixel_at(out, 8, 1, 1) & 0xFFFFFF;
  };
  // First draw after the defaults (ONE / ZERO / ADD, texture times the
  // opaque black diffuse): black.
  EXPECT_EQ(frame({&divide.r}), 0x000000u);
  // After an additive layer mode 4 adds too (its diffuse is opaque black,
  // the additive stage takes the texture's colour).
  f.device().begin_scene();
  f.device().clear(0xFFC86432u);
  draw_layer_effect(&add.r, nullptr, nullptr);
  f.device().clear(0xFFC86432u);
  draw_layer_effect(&divide.r, nullptr, nullptr);
  f.device().end_scene();
  f.device().read_back(out.data(), 8, 8, 32);
  EXPECT_EQ(pixel_at(out, 8, 1, 1) & 0xFFFFFF, 0xFFFAFFu);
}

TEST(GpuModes, HiddenAndTransparentLayersDrawNothing) {
  gpu_fixture f;
  object_node root;
  cg_record root_record;
  std::vector<uint8_t> root_pixels(16);
  root_record.pixels = root_pixels.data();
  root.kind_record = &root_record;
  test_layer hidden(4, 4, 0xFFFFFFFFu), clear_one(4, 4, 0xFFFFFFFFu, 4, 0), shown(4, 4, 0xFFFFFFFFu, 8, 0);
  hidden.r.visible = 0;
  clear_one.r.alpha = 0;
  object_node nodes[3];
  cg_record* records[3] = {&hidden.r, &clear_one.r, &shown.r};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(paste_sprite_texture(records[i], 0, 512, 256), 0);
    nodes[i].kind_record = records[i];
    nodes[i].parent = &root;
    if (i) nodes[i - 1].next_sibling = &nodes[i];
  }
  root.first_child = &nodes[0];
  f.device().begin_scene();
  f.device().clear(0xFF000000u);
  EXPECT_EQ(draw_layer_tree_gpu(&root), 0);
  f.device().end_scene();
  std::vector<uint8_t> out(16 * 4 * 4);
  f.device().read_back(out.data(), 16, 4, 64);
  EXPECT_EQ(pixel_at(out, 16, 1, 1), 0xFF000000u);
  EXPECT_EQ(pixel_at(out, 16, 5, 1), 0xFF000000u);
  EXPECT_EQ(pixel_at(out, 16, 9, 1), 0xFFFFFFFFu);
  root.first_child = nullptr;
  root.kind_record = nullptr;
  for (auto& n : nodes) n.kind_record = nullptr, n.next_sibling = nullptr, n.parent = nullptr;
}

TEST(GpuReadBack, NeutralToneIsExactAndFailuresLeaveTheDestination) {
  gpu_fixture f;
  test_layer layer(64, 32, 0xFF000000u);
  for (int i = 0; i < 64 * 32; ++i) {
    const uint32_t p = 0xFF000000u | uint32_t(i * 2654435761u >> 8);
    std::memcpy(layer.r.pixels + size_t(i) * 4, &p, 4);
  }
  ASSERT_EQ(paste_sprite_texture(&layer.r, 0, 512, 256), 0);
  f.device().begin_scene();
  f.device().clear(0xFF000000u);
  draw_layer_effect(&layer.r, nullptr, nullptr);
  f.device().end_scene();
  std::vector<uint8_t> out(64 * 32 * 4);
  ASSERT_EQ(read_back_buffer_with_tone(out.data(), 64, 32, 128, 0x808080), 0);
  EXPECT_EQ(std::memcmp(out.data(), layer.r.pixels, out.size()), 0);
  // Larger than the target: refused, nothing written.
  std::vector<uint8_t> big(65 * 32 * 4, 7);
  EXPECT_EQ(read_back_buffer_with_tone(big.data(), 65, 32, 128, 0x808080), -1);
  EXPECT_EQ(big[0], 7);
  reset_gpu_drawing();
  EXPECT_EQ(read_back_buffer_with_tone(out.data(), 64, 32, 128, 0x808080), -1);
}

TEST(GpuReadBack, ScreenToneTable) {
  // B, G, R, A pixels.
  uint8_t px[] = {0, 100, 200, 9, 255, 128, 0, 200};
  apply_screen_tone(px, 2, 0xFF8080);  // red toward 255
  const uint8_t red_up[] = {0, 100, 200 + ((55 * 127) >> 7), 9, 255, 128, 0 + ((255 * 127) >> 7), 200};
  EXPECT_EQ(std::memcmp(px, red_up, 8), 0);
  uint8_t dark[] = {200, 200, 200, 1};
  apply_screen_tone(dark, 1, 0x008080);  // red toward 0: v - (v * 128) >> 7
  EXPECT_EQ(dark[2], 0);
  EXPECT_EQ(dark[0], 200);
  uint8_t same[] = {1, 2, 3, 4};
  apply_screen_tone(same, 1, 0x808080);
  EXPECT_EQ(same[0] + same[1] + same[2] + same[3], 10);
}

TEST(GpuDevice, MonitorEntryStaysInsideTheTable) {
  d3d_monitor_size table[d3d_monitor_table_size] = {};
  EXPECT_EQ(choose_monitor_entry(3, table), 0);
  table[5] = {1920, 1080};
  EXPECT_EQ(choose_monitor_entry(3, table), 5);
  EXPECT_EQ(choose_monitor_entry(5, table), 5);
  EXPECT_EQ(choose_monitor_entry(16, table), 5);
  EXPECT_EQ(choose_monitor_entry(400, table), 5);
  EXPECT_EQ(choose_monitor_entry(-1, table), 5);
}

TEST(GpuPixels, Quantise4444RoundsAndDitheringKeepsTheMean) {
  // Without dithering each channel takes the nearest of 0, 17, ..., 255.
  const uint8_t px[] = {8, 9, 26, 255};
  uint16_t q = 0;
  quantise_4444(px, 4, 1, 1, false, &q);
  uint8_t back[4];
  expand_4444(q, back);
  EXPECT_EQ(back[0], 0);
  EXPECT_EQ(back[1], 17);
  EXPECT_EQ(back[2], 34);
  EXPECT_EQ(back[3], 255);
  // A flat 8 becomes all 0 without dithering; with it about half the texels
  // carry 17, so the average stays near 8.
  std::vector<uint8_t> flat(64 * 64 * 4, 8);
  std::vector<uint16_t> out(64 * 64);
  quantise_4444(flat.data(), 64 * 4, 64, 64, true, out.data());
  double sum = 0;
  for (uint16_t t : out) {
    expand_4444(t, back);
    sum += back[0];
  }
  EXPECT_NEAR(sum / out.size(), 8.0, 0.6);
}

TEST(GpuTiles, SixteenBitTexturesHoldFourBitsAChannel) {
  gpu_fixture f;
  engine_settings.texture_bits = 16;
  engine_settings.texture_option = 0;  // no dithering: nearest levels
  test_layer layer(4, 4, 0xFF6496FAu);
  ASSERT_EQ(paste_sprite_texture(&layer.r, 0, 512, 256), 0);
  f.device().begin_scene();
  f.device().clear(0xFF000000u);
  draw_layer_effect(&layer.r, nullptr, nullptr);
  f.device().end_scene();
  std::vector<uint8_t> out(4 * 4 * 4);
  ASSERT_EQ(read_back_buffer_with_tone(out.data(), 4, 4, 128, 0x808080), 0);
  // R 100 -> 6 * 17, G 150 -> 9 * 17, B 250 -> 15 * 17.
  EXPECT_EQ(pixel_at(out, 4, 2, 2), 0xFF6699FFu);
}
