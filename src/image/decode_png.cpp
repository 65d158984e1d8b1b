#include "image/decode_png.h"

#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "core/error_report.h"

namespace {

enum png_status : int {
  png_ok = 0,
  png_library_error = -1,  // libpng raised an error (corrupt or truncated file)
  png_too_large = -2,
  png_no_memory = -3,
  png_unexpected_layout = -4,
  png_bad_palette_index = -5,
};

struct png_memory_reader {
  const uint8_t* data;
  size_t size;
  size_t offset;
};

// Everything the jump can come back to lives here, outside the function that
// calls setjmp, so a longjmp from libpng skips no destructor and reads no
// clobbered local.
struct png_decode_state {
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_memory_reader reader{};
  picture_buffer picture{};
  uint8_t* indexes = nullptr;  // palette files: one index byte per pixel
  const std::string* name = nullptr;
};

void png_read_from_memory(png_structp png, png_bytep out, png_size_t length) {
  auto* reader = static_cast<png_memory_reader*>(png_get_io_ptr(png));
  if (length > reader->size - reader->offset) png_error(png, "read past the end of the file");
  std::memcpy(out, reader->data + reader->offset, length);
  reader->offset += length;
}

// libpng's own handler would print and then jump or abort; ours only jumps.
// The 8-bit gamma table exactly as libpng builds it for png_set_gamma, so a
// palette file gives the same colours as its RGB twin. False when libpng
// would leave the colours alone (product of the gammas within 5% of 1).
bool build_png_gamma_table(double file_gamma, double screen_gamma, uint8_t table[256]) {
  const double file_fixed = std::floor(file_gamma * 100000 + .5);
  const double screen_fixed = std::floor(screen_gamma * 100000 + .5);
  if (file_fixed <= 0 || screen_fixed <= 0) return false;
  const double product = std::floor(file_fixed * screen_fixed * 1e-10 + .5) * 100000;
  if (product >= 100000 - 5000 && product <= 100000 + 5000) return false;
  double exponent = std::floor(1e15 / file_fixed / screen_fixed + .5);
  if (exponent > 2147483647.) return false;
  exponent *= .00001;
  table[0] = 0;
  table[255] = 255;
  for (int i = 1; i < 255; ++i) table[i] = static_cast<uint8_t>(std::floor(255 * std::pow(i / 255., exponent) + .5));
  return true;
}

// Palette files are expanded here rather than by libpng: its own check for
// indexes past the palette misses the first such index, and such a file must
// fail instead of showing colours the file never gave.
int png_expand_palette(png_decode_state* st, png_uint_32 width, png_uint_32 height, bool gamma, double file_gamma) {
  png_colorp colours = nullptr;
  int colour_count = 0;
  if (!png_get_PLTE(st->png, st->info, &colours, &colour_count) || colour_count <= 0) return png_bad_palette_index;
  png_bytep alphas = nullptr;
  int alpha_count = 0;
  if (!png_get_tRNS(st->png, st->info, &alphas, &alpha_count, nullptr)) alpha_count = 0;
  uint8_t gamma_table[256];
  bool correct = gamma && build_png_gamma_table(file_gamma, static_cast<double>(2.2f), gamma_table);
  uint8_t table[256][4] = {};
  for (int i = 0; i < colour_count && i < 256; ++i) {
    const png_color& c = colours[i];
    table[i][0] = correct ? gamma_table[c.blue] : c.blue;
    table[i][1] = correct ? gamma_table[c.green] : c.green;
    table[i][2] = correct ? gamma_table[c.red] : c.red;
    table[i][3] = i < alpha_count && alphas ? alphas[i] : 255;
  }
  const uint64_t count = uint64_t{width} * height;
  for (uint64_t i = 0; i < count; ++i) {
    if (st->indexes[i] >= colour_count) return png_bad_palette_index;
  }
  uint8_t* out = st->picture.pixels;
  for (uint64_t i = 0; i < count; ++i) std::memcpy(out + i * 4, table[st->indexes[i]], 4);
  return png_ok;
}

[[noreturn]] void png_error_jump(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void png_warning_ignore(png_structp, png_const_charp) {}

int png_decode_body(png_decode_state* st) {
  if (setjmp(png_jmpbuf(st->png))) return png_library_error;

  png_set_read_fn(st->png, &st->reader, png_read_from_memory);
  png_read_info(st->png, st->info);
  png_uint_32 width = 0, height = 0;
  int bit_depth = 0, color_type = 0;
  png_get_IHDR(st->png, st->info, &width, &height, &bit_depth, &color_type, nullptr, nullptr, nullptr);
  if (width > static_cast<png_uint_32>(max_decoded_picture_side) ||
      height > static_cast<png_uint_32>(max_decoded_picture_side))
    return png_too_large;

  double file_gamma = 0;
  const bool has_gamma = png_get_gAMA(st->png, st->info, &file_gamma) != 0;
  const bool palette = color_type == PNG_COLOR_TYPE_PALETTE;
  if (palette) {
    png_set_packing(st->png);  // one byte per index
  } else {
    if ((color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) || png_get_valid(st->png, st->info, PNG_INFO_tRNS))
      png_set_expand(st->png);
    if (bit_depth == 16) png_set_strip_16(st->png);
    if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(st->png);
    png_set_bgr(st->png);
    if (color_type != PNG_COLOR_TYPE_GRAY_ALPHA && color_type != PNG_COLOR_TYPE_RGB_ALPHA)
      png_set_filler(st->png, 0xff, PNG_FILLER_AFTER);
    if (has_gamma) png_set_gamma(st->png, static_cast<double>(2.2f), file_gamma);
  }
  const uint8_t alpha_in_use =
      color_type == PNG_COLOR_TYPE_GRAY_ALPHA || color_type == PNG_COLOR_TYPE_RGB_ALPHA ? 1 : 0;

  const int passes = png_set_interlace_handling(st->png);
  png_read_update_info(st->png, st->info);
  // The transformations above always give 4 bytes per pixel (1 per palette
  // index); anything else would write past the rows.
  const size_t stride = static_cast<size_t>(width) * (palette ? 1 : 4);
  if (png_get_rowbytes(st->png, st->info) != stride) return png_unexpected_layout;

  if (alloc_picture_buffer(st->picture, width, height, *st->name) != 0) return png_no_memory;
  st->picture.alpha_in_use = alpha_in_use;
  st->picture.opaque = !palette && !alpha_in_use && !png_get_valid(st->png, st->info, PNG_INFO_tRNS);
  uint8_t* rows = st->picture.pixels;
  if (palette) {
    st->indexes = static_cast<uint8_t*>(std::malloc(stride * height));
    if (!st->indexes) return png_no_memory;
    rows = st->indexes;
  }
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(st->png, rows + stride * y, nullptr);
  }
  // Checks the trailing chunks too, so a file cut after its pixels fails.
  png_read_end(st->png, nullptr);
  if (palette) return png_expand_palette(st, width, height, has_gamma, file_gamma);
  return png_ok;
}

}  // namespace

int decode_png(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out) {
  png_decode_state st;
  st.reader = png_memory_reader{data, data ? size : 0, 0};
  st.name = &name;
  st.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_jump, png_warning_ignore);
  if (st.png) st.info = png_create_info_struct(st.png);
  if (!st.png || !st.info) {
    png_destroy_read_struct(st.png ? &st.png : nullptr, nullptr, nullptr);
    report_error(100200, 1);
    return -1;
  }
  // A chunk the player never uses (text, profiles) may claim any length; no
  // such chunk gets more than 8 MiB, however large a hostile file says it is.
  png_set_chunk_malloc_max(st.png, png_alloc_size_t{8} << 20);
  const int status = png_decode_body(&st);
  png_destroy_read_struct(&st.png, &st.info, nullptr);
  std::free(st.indexes);
  if (status != png_ok) {
    free_picture_buffer(st.picture);
    if (status == png_too_large) {
      report_error_at_line_fmt(100091, 1, name);
    } else if (status != png_no_memory) {
      report_error(100200, 1);
    }
    return -1;
  }
  commit_picture_buffer(out, st.picture);
  return 0;
}
