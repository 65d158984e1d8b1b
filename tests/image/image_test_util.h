// Helpers of the picture decoder tests: corpus location, encoders that make
// inputs in code, and an owning wrapper around picture_buffer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "graphics/picture_buffer.h"
#include "support/jpeg_encode.h"

// Frees its block when the test ends.
struct owned_picture {
  picture_buffer picture;
  owned_picture() = default;
  owned_picture(const owned_picture&) = delete;
  owned_picture& operator=(const owned_picture&) = delete;
  ~owned_picture() { free_picture_buffer(picture); }
  uint32_t pixel(int x, int y) const;  // 0xAARRGGBB
  std::vector<uint8_t> bytes() const;  // the w*h*4 pixel bytes
};

// The conformance corpus (tests/data/conformance, or $ZARVIK_TESTDATA), or ""
// when it is absent (tests then skip).
std::string testdata_folder();
#define REQUIRE_TESTDATA(dir)                                                         \
  const std::string dir = testdata_folder();                                          \
  if (dir.empty()) GTEST_SKIP() << "conformance corpus tests/data/conformance not found " \
                                   "(or ZARVIK_TESTDATA names no copy)"

std::vector<uint8_t> read_file_bytes(const std::string& path);
std::vector<std::string> list_files(const std::string& folder, const std::string& suffix);

// An independent decoder (stb_image) giving 8-bit RGBA, for reference pictures.
bool reference_decode_rgba(const std::vector<uint8_t>& file, int& width, int& height, std::vector<uint8_t>& rgba);

// PNG in memory through libpng: `samples` holds rows of `channels` samples of
// `bit_depth` bits packed as PNG stores them (16-bit big-endian).
std::vector<uint8_t> encode_png(int width, int height, int color_type, int bit_depth, bool interlaced,
                                const std::vector<uint8_t>& packed_rows, const std::vector<uint8_t>& palette_rgb = {},
                                const std::vector<uint8_t>& trns = {}, double gamma = 0);


// Deterministic pseudo-random bytes.
std::vector<uint8_t> noise_bytes(size_t count, uint32_t seed);

// Feeds truncations at every length (every `step` bytes) and single-byte
// flips to `decode`; the callee must not crash. Returns how many succeeded.
template <class F>
int hammer_decoder(const std::vector<uint8_t>& file, size_t step, F&& decode) {
  int ok = 0;
  for (size_t n = 0; n < file.size(); n += step) {
    std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<long>(n));
    ok += decode(cut) == 0;
  }
  for (size_t i = 0; i < file.size(); i += step) {
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      std::vector<uint8_t> flipped = file;
      flipped[i] ^= mask;
      ok += decode(flipped) == 0;
    }
  }
  return ok;
}
