// Decoder dispatch by resource type: the decoding half of loading a picture.
// The layer-facing half (resolving the name, the picture record, frame
// pacing) wraps it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/picture_buffer.h"
#include "image/decode_gif.h"

// Resource types of pictures (as stored in pack entries).
enum : int { picture_type_bmp = 1, picture_type_png = 2, picture_type_jpeg = 3, picture_type_gif = 4,
             picture_type_psd = 7, picture_type_kcg = 8 };

using picture_decoder_fn = int (*)(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out);

// Decoders by resource type, filled from the start. An empty slot makes the
// type one without a decoder.
struct picture_decoder_table {
  picture_decoder_fn by_type[9] = {};
};
extern picture_decoder_table picture_decoders;

// Resource type from a name's suffix, without regard to case: ".bmp" 1,
// ".png" 2, ".jpg" 3, ".gif" 4, ".psd" 7, ".kcg" 8, otherwise 0.
int picture_type_of_name(const std::string& name);

// Decodes bytes of the given type into `out` and normalises the transparent
// pixels. 0 success; -1 failure, reported (JPEG and GIF failures also as
// 100210 / 100215, PSD refused with 100220, other types 100030); `out` is
// untouched on failure. A GIF's frames replace those of `gif_frames` when it
// is given.
int decode_picture_bytes(int type, const uint8_t* data, size_t size, const std::string& name, picture_buffer& out,
                         gif_frame_table* gif_frames = nullptr);
