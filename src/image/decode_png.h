// PNG reader over libpng.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/picture_buffer.h"

// Decodes a whole PNG file held in memory into B, G, R, A pixels. Grey, grey
// with alpha, palette (tRNS becomes alpha) and 16-bit samples are converted;
// a gAMA chunk is honoured with screen gamma 2.2. The alpha-in-use flag is set
// for grey-with-alpha and RGBA files. 0 success (committed into `out`),
// nonzero failure (reported; `out` untouched).
int decode_png(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out);
