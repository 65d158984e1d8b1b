// Helpers shared by kxtool's picture commands.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "graphics/picture_buffer.h"

// Whole-file read and write on host paths; false on failure (a message is printed).
bool kxtool_read_file(const std::string& path, std::vector<uint8_t>& out);
bool kxtool_write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// Loads RIRud.so (beside kxtool first, then the library search path) into
// compression_library. 0 success, -1 with a message printed.
int kxtool_load_compression_library();

// An RGBA PNG of a picture (B, G, R, A pixels). 0, or -1 when libpng fails.
int encode_png(const picture_buffer& picture, std::vector<uint8_t>& out);

// A 16-bit PCM WAV of interleaved samples.
std::vector<uint8_t> encode_wav(const std::vector<int16_t>& samples, int channels, int rate);
