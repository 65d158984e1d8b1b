// JPEG reader over libjpeg (62 interface).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/picture_buffer.h"

// Decodes a whole JPEG file held in memory into opaque B, G, R, A pixels
// (grey files give grey pixels; CMYK files are converted to RGB). A file cut
// short decodes as far as its data goes. 0 success (committed into `out`);
// -2 when libjpeg refused the data (not reported here: the loader adds its own
// report), -3 for a size above 8192 (reported) or no memory (reported by the
// allocation). `out` is untouched on failure.
int decode_jpeg(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out);
