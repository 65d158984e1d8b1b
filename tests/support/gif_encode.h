// GIF files made in code, two ways: giflib's encoder (real LZW compression,
// the reference) and a small writer of our own whose LZW stream holds only
// literal codes, for what giflib will not write (code sizes 1 and 9..11, frames
// past the screen, streams without clear codes, broken blocks). Header-only so
// benchmarks can use it as well.
#pragma once
#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

struct gif_test_image {
  int left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  std::vector<uint8_t> local_palette;  // R, G, B entries; empty: none
  std::vector<uint8_t> indexes;        // width x height, rows from the top
  int transparent_index = -1;          // -1: no graphic control block
  int disposal = 0, delay = 0;
  int min_code_size = 8;               // own writer only
};

struct gif_test_file {
  int width = 0, height = 0;
  std::vector<uint8_t> global_palette;  // R, G, B entries; empty: none
  std::vector<gif_test_image> images;
};

// ---------------------------------------------------------------- giflib

inline int gif_test_write_fn(GifFileType* g, const GifByteType* data, int n) {
  auto* out = static_cast<std::vector<uint8_t>*>(g->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

inline ColorMapObject* gif_test_map(const std::vector<uint8_t>& rgb) {
  int count = 2;
  while (count * 3 < static_cast<int>(rgb.size())) count *= 2;
  std::vector<GifColorType> colours(static_cast<size_t>(count));
  for (size_t i = 0; i * 3 + 2 < rgb.size(); ++i) colours[i] = {rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2]};
  return GifMakeMapObject(count, colours.data());
}

// Palettes are padded to a power of two (giflib's rule); empty on failure.
// Written through giflib's line interface (its whole-file writer leaves the
// saved images behind).
inline std::vector<uint8_t> giflib_encode(const gif_test_file& f) {
  std::vector<uint8_t> out;
  int error = 0;
  GifFileType* g = EGifOpen(&out, gif_test_write_fn, &error);
  if (!g) return {};
  EGifSetGifVersion(g, true);
  bool ok = true;
  ColorMapObject* global = f.global_palette.empty() ? nullptr : gif_test_map(f.global_palette);
  ok = EGifPutScreenDesc(g, f.width, f.height, 8, 0, global) == GIF_OK;
  GifFreeMapObject(global);
  for (size_t i = 0; ok && i < f.images.size(); ++i) {
    const gif_test_image& im = f.images[i];
    if (im.transparent_index >= 0 || im.delay || im.disposal) {
      GraphicsControlBlock gcb{};
      gcb.DisposalMode = im.disposal;
      gcb.DelayTime = im.delay;
      gcb.TransparentColor = im.transparent_index;
      GifByteType ext[4];
      EGifGCBToExtension(&gcb, ext);
      ok = EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, ext) == GIF_OK;
    }
    ColorMapObject* local = im.local_palette.empty() ? nullptr : gif_test_map(im.local_palette);
    ok = ok && EGifPutImageDesc(g, im.left, im.top, im.width, im.height, im.interlaced, local) == GIF_OK;
    GifFreeMapObject(local);
    std::vector<int> rows;
    if (im.interlaced) {
      const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
      for (int p = 0; p < 4; ++p)
        for (int y = starts[p]; y < im.height; y += steps[p]) rows.push_back(y);
    } else {
      for (int y = 0; y < im.height; ++y) rows.push_back(y);
    }
    for (int y : rows)
      ok = ok && EGifPutLine(g, const_cast<GifByteType*>(im.indexes.data()) + static_cast<size_t>(y) * im.width,
                             im.width) == GIF_OK;
  }
  ok = EGifCloseFile(g, &error) == GIF_OK && ok;
  return ok ? out : std::vector<uint8_t>{};
}

struct giflib_frame {
  int left, top, width, height;
  std::vector<uint8_t> indexes;
};

inline int gif_test_read_fn(GifFileType* g, GifByteType* out, int n) {
  auto* src = static_cast<std::pair<const std::vector<uint8_t>*, size_t>*>(g->UserData);
  const size_t have = std::min<size_t>(static_cast<size_t>(n), src->first->size() - src->second);
  std::memcpy(out, src->first->data() + src->second, have);
  src->second += have;
  return static_cast<int>(have);
}

// giflib's frames (de-interlaced); false when giflib refuses the file.
inline bool giflib_decode(const std::vector<uint8_t>& file, std::vector<giflib_frame>& frames) {
  std::pair<const std::vector<uint8_t>*, size_t> src{&file, 0};
  int error = 0;
  GifFileType* g = DGifOpen(&src, gif_test_read_fn, &error);
  if (!g) return false;
  const bool ok = DGifSlurp(g) == GIF_OK;
  if (ok) {
    for (int i = 0; i < g->ImageCount; ++i) {
      const SavedImage& si = g->SavedImages[i];
      giflib_frame fr{si.ImageDesc.Left, si.ImageDesc.Top, si.ImageDesc.Width, si.ImageDesc.Height, {}};
      fr.indexes.assign(si.RasterBits, si.RasterBits + static_cast<size_t>(fr.width) * fr.height);
      frames.push_back(std::move(fr));
    }
  }
  DGifCloseFile(g, &error);
  return ok;
}

// ---------------------------------------------------------------- own writer

struct gif_test_bits {
  std::vector<uint8_t> bytes;
  uint32_t acc = 0;
  int n = 0;
  void put(unsigned code, int width) {
    acc |= code << n;
    n += width;
    while (n >= 8) {
      bytes.push_back(static_cast<uint8_t>(acc));
      acc >>= 8;
      n -= 8;
    }
  }
  void flush() {
    if (n > 0) bytes.push_back(static_cast<uint8_t>(acc));
    acc = 0;
    n = 0;
  }
};

// LZW data of literal codes only, tracking the decoder's table so every code
// has the width the decoder expects. With `clears` a clear code is sent when
// the table fills; without, the stream goes on at 12 bits.
inline std::vector<uint8_t> gif_literal_lzw(const std::vector<uint8_t>& indexes, int min_size, bool clears = true,
                                            bool end_code = true) {
  gif_test_bits b;
  const unsigned clear = 1u << min_size;
  unsigned next = clear + 2;
  int width = min_size + 1;
  bool first = true;
  b.put(clear, width);
  for (uint8_t v : indexes) {
    if (clears && next == 4096) {
      b.put(clear, width);
      next = clear + 2;
      width = min_size + 1;
      first = true;
    }
    b.put(v & (clear - 1), width);
    if (!first && next < 4096) {
      ++next;
      if (next == (1u << width) && width < 12) ++width;
    }
    first = false;
  }
  if (end_code) b.put(clear + 1, width);
  b.flush();
  return b.bytes;
}

inline void gif_test_sub_blocks(std::vector<uint8_t>& out, const std::vector<uint8_t>& data, size_t block = 255) {
  for (size_t i = 0; i < data.size(); i += block) {
    const size_t n = std::min(block, data.size() - i);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n));
  }
  out.push_back(0);
}

inline void gif_test_u16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// log2 of the table size minus 1, for a palette of rgb.size() / 3 entries.
inline int gif_test_table_bits(const std::vector<uint8_t>& rgb) {
  int bits = 0;
  while ((2 << bits) * 3 < static_cast<int>(rgb.size())) ++bits;
  return bits;
}

inline void gif_test_table(std::vector<uint8_t>& out, const std::vector<uint8_t>& rgb) {
  std::vector<uint8_t> t = rgb;
  t.resize(static_cast<size_t>(2 << gif_test_table_bits(rgb)) * 3, 0);
  out.insert(out.end(), t.begin(), t.end());
}

// Header and screen descriptor.
inline std::vector<uint8_t> gif_test_header(int width, int height, const std::vector<uint8_t>& global) {
  std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
  gif_test_u16(out, width);
  gif_test_u16(out, height);
  out.push_back(global.empty() ? 0x70 : static_cast<uint8_t>(0xF0 | gif_test_table_bits(global)));
  out.push_back(0);
  out.push_back(0);
  if (!global.empty()) gif_test_table(out, global);
  return out;
}

inline void gif_test_control(std::vector<uint8_t>& out, const gif_test_image& im) {
  out.insert(out.end(), {'!', 0xF9, 4});
  out.push_back(static_cast<uint8_t>((im.disposal << 2) | (im.transparent_index >= 0 ? 1 : 0)));
  gif_test_u16(out, im.delay);
  out.push_back(static_cast<uint8_t>(im.transparent_index >= 0 ? im.transparent_index : 0));
  out.push_back(0);
}

// One image (with its control block when it has a transparent index). The
// rows are sent in interlaced order when asked.
inline void gif_test_image_block(std::vector<uint8_t>& out, const gif_test_image& im, bool clears = true) {
  if (im.transparent_index >= 0 || im.delay || im.disposal) gif_test_control(out, im);
  out.push_back(',');
  gif_test_u16(out, im.left);
  gif_test_u16(out, im.top);
  gif_test_u16(out, im.width);
  gif_test_u16(out, im.height);
  uint8_t flags = im.interlaced ? 0x40 : 0;
  if (!im.local_palette.empty()) flags |= static_cast<uint8_t>(0x80 | gif_test_table_bits(im.local_palette));
  out.push_back(flags);
  if (!im.local_palette.empty()) gif_test_table(out, im.local_palette);
  std::vector<uint8_t> rows;
  if (im.interlaced) {
    const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p)
      for (int y = starts[p]; y < im.height; y += steps[p])
        rows.insert(rows.end(), im.indexes.begin() + static_cast<long>(y) * im.width,
                    im.indexes.begin() + static_cast<long>(y + 1) * im.width);
  } else {
    rows = im.indexes;
  }
  out.push_back(static_cast<uint8_t>(im.min_code_size));
  gif_test_sub_blocks(out, gif_literal_lzw(rows, im.min_code_size, clears));
}

inline std::vector<uint8_t> gif_test_encode(const gif_test_file& f, bool trailer = true) {
  std::vector<uint8_t> out = gif_test_header(f.width, f.height, f.global_palette);
  for (const gif_test_image& im : f.images) gif_test_image_block(out, im);
  if (trailer) out.push_back(';');
  return out;
}

// A grey ramp palette of n entries and a patterned index block below n.
inline std::vector<uint8_t> gif_test_palette(int n, int seed = 0) {
  std::vector<uint8_t> p;
  for (int i = 0; i < n; ++i) {
    p.push_back(static_cast<uint8_t>(i * 7 + seed));
    p.push_back(static_cast<uint8_t>(i * 13 + 2 * seed));
    p.push_back(static_cast<uint8_t>(255 - i));
  }
  return p;
}
inline std::vector<uint8_t> gif_test_pattern(int width, int height, int colours, int seed = 0) {
  std::vector<uint8_t> v(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      v[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(((x / 3) * 5 + (y / 2) * 3 + seed + (x * y) % 7) % colours);
  return v;
}
