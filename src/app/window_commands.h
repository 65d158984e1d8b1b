// Script commands on the process and its windows: 12 quit (optionally
// restarting), 92 window set (creates and configures a game window), 93 hide a
// sub window, 94 read a window value into a variable.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/platform.h"

struct object_node;

int cmd_quit();
int cmd_window_set();
int cmd_window_hide();
int cmd_window_query();

// The most rectangles a window shape is made of; the run that would be the
// 2000th fails the shape.
constexpr int window_shape_run_limit = 2000;

// Every run of pixels that is not opaque black (B = G = R = 0), per row, as a
// rectangle one row high, every row included. `bgra` holds `height` rows of
// `stride` bytes. 0, or -1 when the runs reach the limit (`out` is then empty).
int region_from_bitmap(const uint8_t* bgra, int width, int height, size_t stride, std::vector<ui_rect>& out);
// Shapes the window by the picture of a leaf layer (its alpha counts as
// opaque). 0, or -1 when the layer has no picture, the runs reach the limit or
// the platform cannot shape the window (the shape is then unchanged).
int set_window_shape_from_layer(int window, object_node* layer);
