// Golden-image helper for the graphics tests: BGRA pictures written as RGB PNG
// files (the fourth byte of a composited frame carries no meaning) and compared
// exactly with tests/graphics/expected/NAME.png. A mismatch writes
// NAME-ACTUAL.png beside the expected file; ZARVIK_UPDATE_GOLDEN=1 (re)writes
// the expected file instead.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Writes w x h BGRA pixels (row stride w*4) as an 8-bit RGB PNG. 0 or -1.
int write_rgb_png(const std::string& path, int w, int h, const uint8_t* bgra);
// Reads an 8-bit RGB PNG into packed RGB bytes. 0 or -1.
int read_rgb_png(const std::string& path, int* w, int* h, std::vector<uint8_t>* rgb);

// "" when the picture matches expected/NAME.png, else a description.
std::string compare_golden(const std::string& name, int w, int h, const uint8_t* bgra);
