#include "image/decode_gif.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/error_report.h"
#include "graphics/layer_record.h"

namespace {

// Reads over the file in memory: bytes past the end read as 0 and leave the
// offset at the end, so a cut file ends every loop below.
struct gif_reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;

  bool at_end() const { return pos >= size; }
  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  uint8_t peek() const { return pos < size ? data[pos] : 0; }
  uint16_t u16() {
    const uint16_t lo = byte();
    return static_cast<uint16_t>(lo | (byte() << 8));
  }
  void skip(size_t n) { pos = n > size - pos ? size : pos + n; }
  // n bytes into `out`; those past the end are 0.
  void block(uint8_t* out, size_t n) {
    const size_t have = std::min(n, size - pos);
    std::memcpy(out, data + pos, have);
    std::memset(out + have, 0, n - have);
    pos += have;
  }
  // Data sub-blocks up to and including the empty one (or the end of file).
  void skip_sub_blocks() {
    while (!at_end()) {
      const uint8_t n = byte();
      if (n == 0) return;
      skip(n);
    }
  }
  // The bytes of the data sub-blocks, joined, up to the empty one.
  void gather_sub_blocks(std::vector<uint8_t>& out) {
    out.clear();
    while (!at_end()) {
      const uint8_t n = byte();
      if (n == 0) return;
      const size_t have = std::min<size_t>(n, size - pos);
      out.insert(out.end(), data + pos, data + pos + have);
      pos += have;
    }
  }
};

using index_block = std::unique_ptr<uint8_t[], gif_index_free>;

constexpr unsigned lzw_table_size = 4096;

// Each code's string is its prefix code's string plus its suffix byte; the
// first byte and the length are kept too, so a string is written straight to
// its place in the output instead of through a stack.
struct lzw_tables {
  uint16_t prefix[lzw_table_size];
  uint16_t length[lzw_table_size];
  uint8_t suffix[lzw_table_size];
  uint8_t first[lzw_table_size];
};

// Writes the string of `code` (length `len`) at out[o..], cut at `total`.
inline void put_string(const lzw_tables& t, unsigned code, unsigned len, uint8_t* out, size_t o, size_t total) {
  size_t end = o + len;
  // A string that runs past the image: drop its tail (it would belong to
  // rows the image does not have).
  while (end > total) {
    code = t.prefix[code];
    --end;
  }
  for (size_t p = end; p > o;) {
    out[--p] = t.suffix[code];
    code = t.prefix[code];
  }
}

// Decodes the LZW stream `src` of minimum code size `min_size` (1..11) into
// up to `total` indexes. Stops at the end code, at a code that is neither
// known nor the next free one, at a next-free code with no code before it, and
// when the data runs out; the indexes not reached keep their value. Literal
// codes above 255 (code sizes over 8) keep their low byte.
void lzw_decode(const uint8_t* src, size_t src_size, unsigned min_size, uint8_t* out, size_t total,
                lzw_tables& t) {
  const unsigned clear = 1u << min_size;
  const unsigned end_code = clear + 1;
  for (unsigned c = 0; c < clear; ++c) {
    t.prefix[c] = 0;
    t.length[c] = 1;
    t.suffix[c] = t.first[c] = static_cast<uint8_t>(c);
  }
  unsigned next = clear + 2;
  unsigned width = min_size + 1;
  unsigned mask = (1u << width) - 1;
  int prev = -1;
  uint64_t bits = 0;
  unsigned nbits = 0;
  size_t sp = 0;
  size_t o = 0;
  while (o < total) {
    if (nbits < width) {
      while (nbits <= 56 && sp < src_size) {
        bits |= static_cast<uint64_t>(src[sp++]) << nbits;
        nbits += 8;
      }
      if (nbits == 0) return;  // the data ended: further codes would all be index 0
      if (nbits < width) nbits = width;  // the last code's missing bits read as 0
    }
    const unsigned code = static_cast<unsigned>(bits) & mask;
    bits >>= width;
    nbits -= width;

    if (code == clear) {
      next = clear + 2;
      width = min_size + 1;
      mask = (1u << width) - 1;
      prev = -1;
      continue;
    }
    if (code == end_code) return;
    if (prev < 0) {
      if (code > clear) return;  // only a literal can start; no string to extend
      out[o++] = static_cast<uint8_t>(code);
      prev = static_cast<int>(code);
      continue;
    }
    if (code > next) return;
    // code == next is the previous string plus its own first byte; the entry
    // is made first so both cases write the same way.
    const uint8_t first_byte = code < next ? t.first[code] : t.first[prev];
    if (next < lzw_table_size) {
      t.prefix[next] = static_cast<uint16_t>(prev);
      t.suffix[next] = first_byte;
      t.first[next] = t.first[prev];
      t.length[next] = static_cast<uint16_t>(t.length[prev] + 1);
      ++next;
      if (next == (1u << width) && width < 12) {
        ++width;
        mask = (1u << width) - 1;
      }
    } else if (code == next) {
      return;  // the table is full: there is no next free code
    }
    const unsigned len = t.length[code];
    if (len == 1) {
      out[o++] = t.suffix[code];
    } else {
      put_string(t, code, len, out, o, total);
      o = std::min<size_t>(o + len, total);
    }
    prev = static_cast<int>(code);
  }
}

struct gif_control {
  int32_t disposal = 0, transparent = 0, delay = 0, transparent_index = 0;
};

int refuse_size(const std::string& name) {
  report_error_at_line_fmt(100091, 1, name);
  return -1;
}

}  // namespace

void gif_index_free::operator()(uint8_t* p) const { std::free(p); }

void draw_gif_frame(const gif_frame& frame, uint8_t* pixels, int32_t width, int32_t height) {
  if (!pixels || !frame.indexes || frame.left >= width || frame.top >= height || frame.left < 0 || frame.top < 0)
    return;
  uint32_t colour[256];
  for (int i = 0; i < 256; ++i) {
    const uint8_t* p = frame.palette + i * 3;
    colour[i] = p[2] | (uint32_t{p[1]} << 8) | (uint32_t{p[0]} << 16) | 0xFF000000u;
  }
  if (frame.transparent) colour[frame.transparent_index & 0xFF] &= 0x00FFFFFFu;
  const int32_t cols = std::min(frame.width, width - frame.left);
  const int32_t rows = std::min(frame.height, height - frame.top);
  for (int32_t i = 0; i < rows; ++i) {
    const uint8_t* src = frame.indexes.get() + static_cast<size_t>(i) * static_cast<size_t>(frame.width);
    uint8_t* dst = pixels + (static_cast<size_t>(frame.top + i) * static_cast<size_t>(width) + frame.left) * 4;
    for (int32_t j = 0; j < cols; ++j) {
      const uint32_t c = colour[src[j]];
      std::memcpy(dst + static_cast<size_t>(j) * 4, &c, 4);
    }
  }
}

int decode_gif_frames(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out,
                      gif_frame_table* table) {
  if (!data) size = 0;
  gif_reader r{data, size};
  r.skip(6);  // the signature is not checked
  const int32_t screen_width = r.u16();
  const int32_t screen_height = r.u16();
  const uint8_t screen_flags = r.byte();
  r.skip(2);
  uint8_t palette[256 * 3] = {};
  if (screen_flags & 0x80) r.block(palette, (size_t{2} << (screen_flags & 7)) * 3);
  if (screen_width > max_decoded_picture_side || screen_height > max_decoded_picture_side)
    return refuse_size(name);

  std::vector<std::unique_ptr<gif_frame>> frames;
  uint64_t frame_bytes = 0;
  gif_control control;
  int32_t loop_count = 1;
  std::vector<uint8_t> lzw_data;
  std::unique_ptr<lzw_tables> tables;

  for (bool walking = true; walking && !r.at_end();) {  // a missing trailer ends the file too
    switch (r.byte()) {
      case ',': {
        auto frame = std::make_unique<gif_frame>();
        frame->left = r.u16();
        frame->top = r.u16();
        frame->width = r.u16();
        frame->height = r.u16();
        const uint8_t flags = r.byte();
        if (frame->width > max_decoded_picture_side || frame->height > max_decoded_picture_side)
          return refuse_size(name);
        if (flags & 0x80) {
          // A local table stays in force for the images after this one.
          std::memset(palette, 0, sizeof palette);
          r.block(palette, (size_t{2} << (flags & 7)) * 3);
        }
        const unsigned min_size = r.byte();
        if (min_size < 1 || min_size > 11) return -1;
        if (frames.size() >= gif_max_frames) {
          r.skip_sub_blocks();
          break;
        }
        frame->disposal = control.disposal;
        frame->transparent = control.transparent;
        frame->delay = control.delay;
        frame->transparent_index = control.transparent_index;
        frame->loop_count = loop_count;
        std::memcpy(frame->palette, palette, sizeof palette);
        const size_t count = static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height);
        frame_bytes += count;
        if (frame_bytes > gif_max_frame_bytes) return -1;
        r.gather_sub_blocks(lzw_data);
        if (count) {
          frame->indexes.reset(static_cast<uint8_t*>(std::calloc(count, 1)));
          if (!frame->indexes) return -1;
          if (!tables) tables = std::make_unique<lzw_tables>();
          if (flags & 0x40) {
            // Interlaced: rows arrive in four passes (0, 4, 2, 1 by 8, 8, 4, 2).
            index_block passes(static_cast<uint8_t*>(std::calloc(count, 1)));
            if (!passes) return -1;
            lzw_decode(lzw_data.data(), lzw_data.size(), min_size, passes.get(), count, *tables);
            const size_t w = static_cast<size_t>(frame->width);
            const uint8_t* src = passes.get();
            static const int32_t starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; ++pass)
              for (int32_t y = starts[pass]; y < frame->height; y += steps[pass], src += w)
                std::memcpy(frame->indexes.get() + static_cast<size_t>(y) * w, src, w);
          } else {
            lzw_decode(lzw_data.data(), lzw_data.size(), min_size, frame->indexes.get(), count, *tables);
          }
        }
        frames.push_back(std::move(frame));
        break;
      }
      case '!': {
        const uint8_t label = r.byte();
        if (label == 0xF9) {
          // Graphic control: the fields are read from its block, whatever
          // size it claims; anything after them is skipped.
          uint8_t block[4];
          const uint8_t n = r.byte();
          r.block(block, std::min<size_t>(n, 4));
          if (n < 4) std::memset(block + n, 0, 4 - n);
          if (n > 4) r.skip(n - 4u);
          control.disposal = (block[0] >> 2) & 7;
          control.transparent = block[0] & 1;
          control.delay = block[1] | (block[2] << 8);
          control.transparent_index = block[3];
          if (n) r.skip_sub_blocks();  // an empty block was its own terminator
        } else if (label == 0xFF) {
          // Application: an 11-byte block followed by a 3-byte sub-block (the
          // loop block, whatever its name) gives that sub-block's last two
          // bytes as the loop count. Any other layout is skipped sub-block by
          // sub-block instead of read at fixed places, which would take the
          // next introducer from inside its data.
          const uint8_t n = r.byte();
          if (n == 0) break;  // an empty block was its own terminator
          r.skip(n);
          if (n == 11 && r.peek() == 3) {
            r.skip(2);
            loop_count = r.u16();
          }
          r.skip_sub_blocks();
        } else if (label == 0xFE || label == 0x01) {
          r.skip_sub_blocks();  // comment, plain text: any number of sub-blocks
        } else {
          return -1;
        }
        break;
      }
      case ';':
        walking = false;
        break;
      default:
        return -1;
    }
  }

  picture_buffer picture;
  if (alloc_picture_buffer(picture, screen_width, screen_height, name) != 0) return -1;
  // The flag follows the last control block, even where frame 0 has clear
  // pixels and a later block drops the bit.
  const bool frame0_transparent = !frames.empty() && frames[0]->transparent;
  picture.alpha_in_use = control.transparent ? 1 : 0;
  bool covered = false;
  if (!frames.empty()) {
    const gif_frame& f = *frames[0];
    covered = f.left == 0 && f.top == 0 && f.width >= screen_width && f.height >= screen_height;
  }
  // Pixels frame 0 does not cover: transparent in a picture that uses its
  // alpha, opaque black otherwise.
  if (!covered) {
    const uint32_t fill = picture.alpha_in_use ? 0u : 0xFF000000u;
    const size_t count = static_cast<size_t>(screen_width) * static_cast<size_t>(screen_height);
    for (size_t i = 0; i < count; ++i) std::memcpy(picture.pixels + i * 4, &fill, 4);
  }
  if (!frames.empty()) draw_gif_frame(*frames[0], picture.pixels, screen_width, screen_height);
  // The loader's normalising pass is skipped only when no pixel can be clear.
  picture.opaque = picture.alpha_in_use || frame0_transparent ? 0 : 1;
  commit_picture_buffer(out, picture);
  if (table) table->frames.swap(frames);  // the old frames go with `frames`
  return 0;
}

int decode_gif(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out) {
  return decode_gif_frames(data, size, name, out, nullptr);
}

gif_frame_table* record_gif_frames(cg_record* record) {
  if (!record) return nullptr;
  if (!record->gif_frames) {
    record->gif_frames = new (std::nothrow) gif_frame_table;
    layer_record_hooks.release_gif_frames = release_gif_frames;
  }
  return static_cast<gif_frame_table*>(record->gif_frames);
}

void release_gif_frames(cg_record* record) {
  if (!record) return;
  delete static_cast<gif_frame_table*>(record->gif_frames);
  record->gif_frames = nullptr;
}
