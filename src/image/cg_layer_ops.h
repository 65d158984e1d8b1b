// The picture command's operations between layers and on a picture's frame:
// alpha copies of the first layer's picture onto the second's (plain, faded,
// difference, common pixels), mixing two layers into a third, trimming
// transparent edges, changing the canvas, refreshing GPU textures and
// capturing the screen.
//
// Placement: the first picture's top-left pixel goes to (x, y) of the other
// picture; clip_blit_rects gives the overlap and every row loop runs over it.
// A layer without pixels takes part in nothing. When the picture read is also
// the picture written (layers sharing one record), the source is read from a
// copy, so a copy never feeds on its own output.
#pragma once
#include <cstdint>

#include "core/object_tree.h"
#include "graphics/layer_record.h"

// Alpha copy: with the first layer's alpha a1 (0 does nothing at all),
// alpha-over at opacity a1. Sets the second layer's alpha_in_use.
int blit_cg_rect(object_node* first, object_node* second, int64_t x, int64_t y);
// Faded alpha copy: fade by the second layer's alpha (clamped to 0..256),
// weighted by the first layer's alpha when that is below 256.
int blit_cg_rect_faded(object_node* first, object_node* second, int64_t x, int64_t y);
// third = first + ((second - first) * w >> 8) per byte over the first
// picture placed at (x, y) on the third, w = value + 1 below 256, else 256
// (clamped to 0..256); the second picture is read at the first's offsets.
int mix_cg_rects(object_node* first, object_node* second, object_node* third, int64_t x, int64_t y, int64_t value);
// Pixels equal in both become 0, the others the first's pixel.
int diff_cg_rect(object_node* first, object_node* second, int64_t x, int64_t y);
// Pixels equal in both stay, the others become 0.
int common_cg_rect(object_node* first, object_node* second, int64_t x, int64_t y);

// Side flags of the trim.
enum trim_side : int { trim_right = 1, trim_left = 2, trim_bottom = 4, trim_top = 8 };
// Cuts the first picture to the bounding box of its pixels with a non-zero
// alpha on the flagged sides; the result goes to the second layer when
// n >= 1. A picture without such a pixel has no box: with a side flagged the
// receiving layer is left unchanged. 0, or -1 after a reported failure.
int trim_cg_transparent_edges(object_node* first, object_node* second, int n, int side_flags);

// A new canvas of width + left + right by height + top + bottom (negative
// margins cut), filled with 0x00808080, the first picture copied in at
// (left, top). A size of 0 or less shows "リサイズ後のサイズが不正です。" and
// gives -1 without an error code; a size above 8192 is refused like every
// new picture.
int resize_cg_canvas(object_node* first, object_node* second, int n, int64_t left, int64_t right, int64_t top,
                     int64_t bottom);

// Hands the first layer's picture to the GPU texture upload with the second
// layer's size as the tile limits and its record as the transform; a failure
// (or CPU drawing) logs "KX_PASTESPRITE Error.".
int refresh_cg_textures(object_node* first, object_node* second);

// GPU drawing only: draws the first layer off-screen, then reads the back
// buffer (with the screen tone) into a new picture of the main window's
// logical size for the second layer. With CPU drawing the info log receives
// "KX_D3DDevice Error." and nothing else happens.
int capture_screen_to_cg(object_node* first, object_node* second);

// The GPU services these operations reach. The GPU drawing subsystem fills
// the table at start-up; null entries mean CPU drawing.
struct cg_gpu_hook_table {
  // Uploads the record's textures anew; the limits (0: none) cap the tile
  // size, `transform` (may be null) supplies position, scale and angles. 0,
  // or nonzero when the upload failed (the hook shows its own messages).
  int (*upload_layer_textures)(cg_record* record, int64_t width_limit, int64_t height_limit,
                               const cg_record* transform) = nullptr;
  // Capture, step 1 and 2: checks the device, back buffer and layer surface
  // (logging "KX_D3DDevice Error.", "KX_BACKBUFFER Error." or
  // "KX_OffSuf_LAYER Error." when one is missing), draws the layer into the
  // layer surface cleared to opaque black and makes the back buffer the
  // target again. 0 when the device is there (drawing failures are logged
  // and still give 0), nonzero when something was missing.
  int (*draw_layer_offscreen)(object_node* layer) = nullptr;
  // The read-back: width x height packed B, G, R, A rows of the back buffer
  // with the screen's monochrome and colour tone applied. 0, or nonzero when
  // nothing was copied (logged by the hook).
  int (*read_back_buffer_with_tone)(uint8_t* destination, int width, int height) = nullptr;
};
extern cg_gpu_hook_table cg_gpu_hooks;
