// GIF reader: our own block walker and LZW decoder. Every image of the file
// becomes a frame of palette indexes kept with the layer's picture record;
// frame 0 is drawn into a picture the size of the logical screen.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graphics/picture_buffer.h"

struct cg_record;

// At most this many images of one file are kept as frames.
constexpr size_t gif_max_frames = 8192;
// Sum of the index bytes of the frames of one file: a file of a few bytes can
// declare thousands of 8192 x 8192 images, so the total is bounded as well.
constexpr uint64_t gif_max_frame_bytes = uint64_t{1} << 30;

// Frame indexes come from calloc: large frames cost no page until written.
struct gif_index_free {
  void operator()(uint8_t* p) const;
};

// One image of the file, with the graphic-control values and the palette in
// force when it was read.
struct gif_frame {
  int32_t left = 0, top = 0;      // position on the logical screen
  int32_t width = 0, height = 0;  // the image's size
  int32_t disposal = 0;           // bits 2..4 of the graphic-control flags
  int32_t transparent = 0;        // bit 0 of those flags
  int32_t delay = 0;              // hundredths of a second
  int32_t transparent_index = 0;
  int32_t loop_count = 1;         // from the NETSCAPE2.0 block; 1 without one
  uint8_t palette[256 * 3] = {};  // R, G, B
  // width x height palette indexes, rows from the top. Rows the data did not
  // reach hold index 0.
  std::unique_ptr<uint8_t[], gif_index_free> indexes;
};

// The frames of the last GIF loaded into a record (its `gif_frames`).
struct gif_frame_table {
  std::vector<std::unique_ptr<gif_frame>> frames;
};

// Decodes a whole GIF file held in memory. On success `out` holds the logical
// screen with frame 0 drawn (pixels frame 0 does not cover are transparent),
// and `frames` (when given) has its old frames replaced by the file's. 0
// success; nonzero failure (a screen or image side above 8192 is reported as
// 100091; other failures are reported by the loader as 100215). `out` and
// `frames` are untouched on failure.
int decode_gif_frames(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out,
                      gif_frame_table* frames);
// The same, keeping no frames: the loader's decoder slot for type 4.
int decode_gif(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out);

// Draws frame `f` into the picture: colour from the frame's palette, alpha 0
// where the frame is transparent and the index is its transparent index,
// else 255. The frame is clipped to the picture; pixels it does not cover are
// left alone.
void draw_gif_frame(const gif_frame& frame, uint8_t* pixels, int32_t width, int32_t height);

// The record's frame table, made (empty) when it has none. Null without memory.
gif_frame_table* record_gif_frames(cg_record* record);
// Frees the record's frame table (the layer record's release hook).
void release_gif_frames(cg_record* record);
