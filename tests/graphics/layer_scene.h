// A layer tree for the compositor tests: the real tree roots with "W0" as
// window 0's root, layers made the way the layer command makes them, pictures
// drawn in code, and an independent reference compositor (whole frame, no dirty
// rectangles, no cover test) to compare with.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/object_tree.h"
#include "graphics/layer_record.h"
#include "platform/headless/headless_platform.h"
#include "support/temp_folder.h"

struct layer_scene : ::testing::Test {
  temp_folder folder;
  HeadlessPlatform hp{folder.path()};
  object_node* w0 = nullptr;
  static std::vector<int> errors;

  // Root size for the scene; set before SetUp runs (in the test's constructor).
  int root_width = 64, root_height = 48;

  void SetUp() override;
  void TearDown() override;

  cg_record* root() const { return layer_record(w0); }
  // A leaf (or group with a blank picture) under `parent` at a priority.
  object_node* add_layer(object_node* parent, const std::string& name, int64_t priority, int w, int h, int64_t x,
                         int64_t y, bool group = false);
  // Fills a layer's picture from f(x, y) -> 0xAARRGGBB.
  static void paint(object_node* node, const std::function<uint32_t(int, int)>& f);
  // Runs one frame: propagate, render window 0; returns render_window's result.
  int frame();
  // Resets the dirty rectangles as the tick does after presentation.
  static void end_frame();
  // The reference composite of w0's tree.
  std::vector<uint8_t> reference() const;
  std::vector<uint8_t> root_pixels() const;
};

uint32_t pixel_at(const cg_record* r, int x, int y);
