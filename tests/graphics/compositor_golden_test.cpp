// Golden frames of the compositor: one per job kind, nested groups, rule masks,
// colour tone and monochrome. Pictures are drawn in code; the frames are
// compared exactly with tests/graphics/expected/*.png.
#include <gtest/gtest.h>

#include <cmath>

#include "graphics/layer_changes.h"
#include "graphics/blend_modes.h"
#include "graphics/compositor.h"
#include "golden_png.h"
#include "layer_scene.h"

namespace {

struct golden : layer_scene {
  golden() {
    root_width = 128;
    root_height = 96;
  }

  static uint32_t argb(int a, int r, int g, int b) {
    return uint32_t(a) << 24 | uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
  }

  // A soft-edged disc of one colour on transparent pixels (stored as 0x00808080).
  static uint32_t disc(int x, int y, int cx, int cy, int radius, uint32_t rgb) {
    double d = std::sqrt(double((x - cx) * (x - cx) + (y - cy) * (y - cy)));
    int a = d < radius - 4 ? 255 : (d > radius ? 0 : int(255 * (radius - d) / 4));
    return a == 0 ? 0x00808080u : (uint32_t(a) << 24 | rgb);
  }

  object_node* background() {
    object_node* bg = add_layer(w0, "bg", 0, root_width, root_height, 0, 0);
    paint(bg, [](int x, int y) { return argb(255, x * 2, y * 2, 255 - x * 2); });
    return bg;
  }

  // Six full-height bars, one colour each: what a blend is drawn over.
  object_node* bars() {
    object_node* b = add_layer(w0, "bars", 0, root_width, root_height, 0, 0);
    paint(b, [](int x, int y) {
      static const uint32_t colours[6] = {0x000000, 0xFFFFFF, 0x808080, 0xFF2020, 0x20C040, 0x3050FF};
      uint32_t c = colours[(x * 6) / 128];
      int shade = 128 + (y * 127) / 95;
      return 0xFF000000u | (((c >> 16 & 0xFF) * shade / 255) << 16) | (((c >> 8 & 0xFF) * shade / 255) << 8) |
             ((c & 0xFF) * shade / 255);
    });
    return b;
  }

  void check(const char* name) {
    ASSERT_EQ(frame(), 0);
    ASSERT_EQ(root_pixels(), reference());
    std::string problem = compare_golden(name, root_width, root_height, root()->pixels);
    EXPECT_EQ(problem, "") << name;
    EXPECT_TRUE(errors.empty());
  }
};

TEST_F(golden, Job101OpaqueLayersInEveryModeAtTwoOpacities) {
  bars();
  // Mode m in column band m % 10, row band by opacity: 256 top, 160 bottom.
  for (int m = 0; m < blend_mode_count; ++m) {
    for (int half = 0; half < 2; ++half) {
      object_node* n = add_layer(w0, "m" + std::to_string(m) + "_" + std::to_string(half), 1 + m, 12, 22,
                                 2 + (m % 10) * 12, 2 + (m / 10) * 24 + half * 48);
      paint(n, [](int x, int y) { return argb(255, x * 20, 200 - y * 8, 90 + y * 6); });
      layer_record(n)->blend_mode = uint8_t(m);
      layer_record(n)->alpha = int16_t(half ? 160 : 256);
    }
  }
  check("compositor_job101");
}

TEST_F(golden, Job102RuleMaskWithoutPixelAlpha) {
  background();
  object_node* mask = add_layer(w0, "rule", 0, 112, 80, 0, 0);
  paint(mask, [](int x, int y) {
    int v = int(std::lround(127.5 + 127.5 * std::sin(x / 9.0) * std::cos(y / 7.0)));
    return argb(255, v, v, v);
  });
  layer_record(mask)->visible = 0;
  object_node* top = add_layer(w0, "top", 1, 112, 80, 8, 8);
  paint(top, [](int x, int y) { return argb(255, 250 - y * 2, 40 + x, 60); });
  cg_record* t = layer_record(top);
  t->mask_path = "rule";
  t->rule_progress = 150;
  t->vagueness = 40;
  t->alpha = 220;
  check("compositor_job102");
}

TEST_F(golden, Job103PixelAlphaAtFullAndReducedOpacity) {
  background();
  const uint32_t colours[4] = {0xFF4020, 0x20FF60, 0x2040FF, 0xFFFF40};
  const uint8_t modes[4] = {blend_normal, blend_screen, blend_multiply, blend_overlay};
  for (int i = 0; i < 4; ++i) {
    object_node* n = add_layer(w0, "disc" + std::to_string(i), 1 + i, 56, 56, 8 + (i % 2) * 56, 4 + (i / 2) * 36);
    uint32_t c = colours[i];
    paint(n, [c](int x, int y) { return disc(x, y, 28, 28, 26, c); });
    layer_record(n)->alpha_in_use = 1;
    layer_record(n)->blend_mode = modes[i];
    layer_record(n)->alpha = int16_t(i % 2 ? 256 : 170);
  }
  check("compositor_job103");
}

TEST_F(golden, Job104RuleMaskOverPixelAlpha) {
  background();
  object_node* mask = add_layer(w0, "rule", 0, 96, 80, 0, 0);
  paint(mask, [](int x, int y) { return argb(255, (x + y) * 255 / 175, 0, 0) | ((x + y) * 255 / 175) * 0x0101u; });
  layer_record(mask)->visible = 0;
  object_node* top = add_layer(w0, "top", 1, 96, 80, 16, 8);
  paint(top, [](int x, int y) { return disc(x, y, 48, 40, 38, 0xF0E040); });
  cg_record* t = layer_record(top);
  t->alpha_in_use = 1;
  t->mask_path = "rule";
  t->rule_progress = 128;
  t->vagueness = 256;
  check("compositor_job104");
}

TEST_F(golden, NestedGroupsClipAndHide) {
  background();
  object_node* outer = add_layer(w0, "outer", 1, 80, 64, 8, 8, true);
  object_node* a = add_layer(outer, "a", 1, 40, 40, -12, -12);  // cut by the group's top-left corner
  paint(a, [](int x, int y) { return argb(255, 255, x * 6, y * 6); });
  object_node* inner = add_layer(outer, "inner", 2, 40, 30, 48, 40, true);  // partly outside outer
  object_node* b = add_layer(inner, "b", 1, 30, 30, 10, 5);
  paint(b, [](int x, int y) { return disc(x, y, 15, 15, 15, 0x30FF30); });
  layer_record(b)->alpha_in_use = 1;
  object_node* hidden = add_layer(outer, "hidden", 3, 20, 20, 30, 10, true);
  object_node* c = add_layer(hidden, "c", 1, 20, 20, 0, 0);
  paint(c, [](int, int) { return argb(255, 0, 0, 0); });
  layer_record(hidden)->visible = 0;
  object_node* over = add_layer(w0, "over", 2, 40, 20, 80, 70);
  paint(over, [](int x, int) { return argb(255, 40, 40, x * 6); });
  check("compositor_nested_groups");

  // Moving the inner group redraws through the dirty rectangles only.
  end_frame();
  mark_layer_dirty(inner);
  layer_record(inner)->x = 20;
  mark_layer_dirty(inner);
  ASSERT_EQ(frame(), 0);
  EXPECT_EQ(root_pixels(), reference());
}

TEST_F(golden, HardEdgedMasksAtThreeProgressValues) {
  background();
  object_node* mask = add_layer(w0, "rule", 0, 36, 80, 0, 0);
  paint(mask, [](int x, int y) {
    int v = ((x / 6 + y / 6) % 2) ? 255 - y * 3 : y * 3;
    return argb(255, v, v, v);
  });
  layer_record(mask)->visible = 0;
  for (int i = 0; i < 3; ++i) {
    object_node* n = add_layer(w0, "t" + std::to_string(i), 1 + i, 36, 80, 4 + i * 42, 8);
    paint(n, [](int x, int y) { return argb(255, 30, 30 + y * 2, 200 + x); });
    layer_record(n)->mask_path = "rule";
    layer_record(n)->rule_progress = int16_t(64 * (i + 1));
    layer_record(n)->vagueness = 256;
  }
  check("compositor_masks");
}

TEST_F(golden, ColourToneAndMonochrome) {
  object_node* bg = add_layer(w0, "bg", 0, root_width, root_height, 0, 0);
  paint(bg, [](int, int) { return argb(255, 24, 24, 24); });
  auto picture = [](int x, int y) {
    return argb(255, (x * 255) / 39, (y * 255) / 39, ((x + y) * 255) / 78);
  };
  struct setting {
    int32_t tone;
    int32_t mono;
  } settings[6] = {{0x808080, 128}, {0xFF8080, 128}, {0x204060, 128}, {0x808080, 0}, {0x808080, 256},
                   {0xC06040, 60}};
  for (int i = 0; i < 6; ++i) {
    object_node* n = add_layer(w0, "p" + std::to_string(i), 1 + i, 40, 40, 2 + (i % 3) * 42, 4 + (i / 3) * 46);
    paint(n, picture);
    layer_record(n)->colour_tone = settings[i].tone;
    layer_record(n)->monochrome = settings[i].mono;
  }
  check("compositor_tone_monochrome");
}

}  // namespace
