// Per-layer colour effects: colour tone and monochrome.
//
// Both read the inclusive rectangle (x0, y0)-(x1, y1) of the source (row length
// src_row pixels) and write it to the destination's top-left corner (row length
// dst_row pixels). The alpha byte of every pixel is copied unchanged. Neither
// allocates nor fails; callers skip the call for neutral values.
#pragma once
#include <cstdint>

constexpr uint32_t neutral_colour_tone = 0x808080;
constexpr int neutral_monochrome = 128;

// tone = 0xRRGGBB, each byte 128 unchanged, 255 toward white, 0 toward black.
void apply_colour_tone(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_row,
                       int dst_row, uint32_t tone);

// strength 0..256 (clamped): 0 grey, 128 unchanged, above 128 stronger colours.
void apply_monochrome(uint8_t* dst, const uint8_t* src, int x0, int y0, int x1, int y1, int src_row,
                      int dst_row, int strength);
