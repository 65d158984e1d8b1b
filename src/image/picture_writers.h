// Picture writers: a layer's picture saved as PNG, JPEG or BMP. Each file is
// made whole in memory and then written through the host files' replace,
// which writes a temporary file beside the target and renames it: a failure
// never leaves a partial or empty file, and an old file survives it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct cg_record;

// 0 written; -1 the file could not be created ("File Create Error."); -2
// libjpeg failed (no file is left). Quality as libjpeg takes it (1..100),
// baseline.
int save_cg_jpeg(cg_record* record, const std::string& path, int quality);
// 0 written, 1 written while a quit is pending; -1 the file could not be
// created ("[SavePNG] File Create Error.\r\n\r\n%s"); -2 libpng failed. When
// the record's alpha is not in use, its own pixels get alpha 255 first.
int save_cg_png(cg_record* record, const std::string& path, int compression_level);
// 0 written; -1 the file could not be created ("File Create Error.").
int save_cg_bmp(cg_record* record, const std::string& path);

// The in-memory halves. Pixels are B, G, R, A rows from the top.
// RGBA PNG (gAMA 1/2.2, all filters, the given zlib level); 0 or -1.
int encode_picture_png(const uint8_t* pixels, int32_t width, int32_t height, int compression_level,
                       std::vector<uint8_t>& out);
// Baseline JPEG; `grey_from_alpha` makes a one-component file of the alpha
// bytes instead of an RGB one. 0 or -1.
int encode_picture_jpeg(const uint8_t* pixels, int32_t width, int32_t height, int quality, bool grey_from_alpha,
                        std::vector<uint8_t>& out);
// 24-bit bottom-up BMP, rows padded to 4 bytes.
void encode_picture_bmp(const uint8_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out);
