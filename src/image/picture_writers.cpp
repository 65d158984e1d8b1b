#include "image/picture_writers.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "format/byte_io.h"
#include "graphics/layer_record.h"
#include "image/jpeg_glue.h"
#include "platform/platform.h"

namespace {

// ---------------------------------------------------------------- PNG

struct png_memory_writer {
  std::vector<uint8_t>* out;
};

void png_write_to_memory(png_structp png, png_bytep data, png_size_t length) {
  auto* writer = static_cast<png_memory_writer*>(png_get_io_ptr(png));
  writer->out->insert(writer->out->end(), data, data + length);
}
void png_flush_nothing(png_structp) {}
[[noreturn]] void png_jump_back(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void png_no_warning(png_structp, png_const_charp) {}

struct png_encode_state {
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_memory_writer writer{};
  const uint8_t* pixels = nullptr;
  int32_t width = 0, height = 0;
  int level = 0;
};

// Only pointers live in this frame, so the jump skips no destructor.
int png_encode_body(png_encode_state* st) {
  if (setjmp(png_jmpbuf(st->png))) return -1;
  png_set_write_fn(st->png, &st->writer, png_write_to_memory, png_flush_nothing);
  png_set_filter(st->png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
  png_set_compression_level(st->png, st->level);
  png_set_IHDR(st->png, st->info, static_cast<png_uint_32>(st->width), static_cast<png_uint_32>(st->height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_gAMA(st->png, st->info, 1.0 / 2.2);
  png_write_info(st->png, st->info);
  png_set_bgr(st->png);
  const size_t stride = static_cast<size_t>(st->width) * 4;
  for (int32_t y = 0; y < st->height; ++y)
    png_write_row(st->png, const_cast<png_bytep>(st->pixels + stride * static_cast<size_t>(y)));
  png_write_end(st->png, st->info);
  return 0;
}

// ---------------------------------------------------------------- JPEG

struct jpeg_encode_state {
  jpeg_compress_struct cinfo{};
  jpeg_longjmp_error error{};
  unsigned char* buffer = nullptr;  // libjpeg's growing output block
  unsigned long buffer_size = 0;
  JSAMPLE* row = nullptr;
  const uint8_t* pixels = nullptr;
  int32_t width = 0, height = 0;
  int quality = 0;
  bool grey = false;
  bool created = false;
};

int jpeg_encode_body(jpeg_encode_state* st) {
  if (setjmp(st->error.jump)) return -1;
  jpeg_compress_struct* cinfo = &st->cinfo;
  jpeg_create_compress(cinfo);
  st->created = true;
  jpeg_mem_dest(cinfo, &st->buffer, &st->buffer_size);
  cinfo->image_width = static_cast<JDIMENSION>(st->width);
  cinfo->image_height = static_cast<JDIMENSION>(st->height);
  cinfo->input_components = st->grey ? 1 : 3;
  cinfo->in_color_space = st->grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, st->quality, TRUE);
  jpeg_start_compress(cinfo, TRUE);
  const size_t stride = static_cast<size_t>(st->width) * 4;
  while (cinfo->next_scanline < cinfo->image_height) {
    const uint8_t* src = st->pixels + stride * cinfo->next_scanline;
    if (st->grey) {
      for (int32_t x = 0; x < st->width; ++x) st->row[x] = src[x * 4 + 3];
    } else {
      for (int32_t x = 0; x < st->width; ++x) {
        st->row[x * 3] = src[x * 4 + 2];
        st->row[x * 3 + 1] = src[x * 4 + 1];
        st->row[x * 3 + 2] = src[x * 4];
      }
    }
    JSAMPROW rows[1] = {st->row};
    jpeg_write_scanlines(cinfo, rows, 1);
  }
  jpeg_finish_compress(cinfo);
  return 0;
}

// ---------------------------------------------------------------- files

bool picture_present(const cg_record* record) {
  return record && record->pixels && record->width > 0 && record->height > 0;
}

HostFiles* writable_files(const std::string& path) {
  HostFiles* files = platform_installed() ? platform().files : nullptr;
  return files && files->write_allowed(path) ? files : nullptr;
}

}  // namespace

int encode_picture_png(const uint8_t* pixels, int32_t width, int32_t height, int compression_level,
                       std::vector<uint8_t>& out) {
  if (!pixels || width <= 0 || height <= 0) return -1;
  png_encode_state st;
  st.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_jump_back, png_no_warning);
  if (!st.png) return -1;
  st.info = png_create_info_struct(st.png);
  if (!st.info) {
    png_destroy_write_struct(&st.png, nullptr);
    return -1;
  }
  out.clear();
  st.writer.out = &out;
  st.pixels = pixels;
  st.width = width;
  st.height = height;
  st.level = compression_level < 0 ? 0 : compression_level > 9 ? 9 : compression_level;
  const int status = png_encode_body(&st);
  png_destroy_write_struct(&st.png, &st.info);
  if (status != 0) out.clear();
  return status;
}

int encode_picture_jpeg(const uint8_t* pixels, int32_t width, int32_t height, int quality, bool grey_from_alpha,
                        std::vector<uint8_t>& out) {
  out.clear();
  if (!pixels || width <= 0 || height <= 0 || width > 65500 || height > 65500) return -1;
  jpeg_encode_state st;
  st.cinfo.err = jpeg_longjmp_error_setup(st.error);
  st.pixels = pixels;
  st.width = width;
  st.height = height;
  st.quality = quality;
  st.grey = grey_from_alpha;
  st.row = static_cast<JSAMPLE*>(std::malloc(static_cast<size_t>(width) * 3));
  int status = st.row ? jpeg_encode_body(&st) : -1;
  if (st.created) jpeg_destroy_compress(&st.cinfo);
  if (status == 0 && st.buffer) out.assign(st.buffer, st.buffer + st.buffer_size);
  if (status == 0 && !st.buffer) status = -1;
  std::free(st.buffer);
  std::free(st.row);
  return status;
}

void encode_picture_bmp(const uint8_t* pixels, int32_t width, int32_t height, std::vector<uint8_t>& out) {
  const size_t row_bytes = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  const size_t data_bytes = row_bytes * static_cast<size_t>(height);
  out.assign(54 + data_bytes, 0);
  uint8_t* h = out.data();
  h[0] = 'B';
  h[1] = 'M';
  put_u32(h + 2, static_cast<uint32_t>(data_bytes + 54));
  put_u32(h + 10, 54);
  put_u32(h + 14, 40);
  put_u32(h + 18, static_cast<uint32_t>(width));
  put_u32(h + 22, static_cast<uint32_t>(height));
  put_u16(h + 26, 1);
  put_u16(h + 28, 24);
  const size_t stride = static_cast<size_t>(width) * 4;
  for (int32_t r = 0; r < height; ++r) {
    const uint8_t* src = pixels + stride * static_cast<size_t>(height - 1 - r);
    uint8_t* dst = out.data() + 54 + row_bytes * static_cast<size_t>(r);
    for (int32_t x = 0; x < width; ++x) {
      dst[x * 3] = src[x * 4];
      dst[x * 3 + 1] = src[x * 4 + 1];
      dst[x * 3 + 2] = src[x * 4 + 2];
    }
  }
}

int save_cg_jpeg(cg_record* record, const std::string& path, int quality) {
  HostFiles* files = writable_files(path);
  if (!files) {
    show_message_box("", "File Create Error.");
    return -1;
  }
  if (!picture_present(record)) return -2;
  std::vector<uint8_t> bytes;
  if (encode_picture_jpeg(record->pixels, record->width, record->height, quality, false, bytes) != 0) return -2;
  if (!files->replace_file(path, bytes.data(), bytes.size())) {
    show_message_box("", "File Create Error.");
    return -1;
  }
  return 0;
}

int save_cg_png(cg_record* record, const std::string& path, int compression_level) {
  HostFiles* files = writable_files(path);
  if (!files) {
    show_message_box("", "[SavePNG] File Create Error.\r\n\r\n%s", path);
    return -1;
  }
  if (!picture_present(record)) return -2;
  if (!record->alpha_in_use) {
    // The layer keeps this: its picture is opaque from now on.
    const size_t count = static_cast<size_t>(record->width) * static_cast<size_t>(record->height);
    for (size_t i = 0; i < count; ++i) record->pixels[i * 4 + 3] = 255;
    note_layer_pixels_changed(record);
  }
  std::vector<uint8_t> bytes;
  if (encode_picture_png(record->pixels, record->width, record->height, compression_level, bytes) != 0) return -2;
  if (!files->replace_file(path, bytes.data(), bytes.size())) {
    show_message_box("", "[SavePNG] File Create Error.\r\n\r\n%s", path);
    return -1;
  }
  return quit_flag.load() ? 1 : 0;
}

int save_cg_bmp(cg_record* record, const std::string& path) {
  HostFiles* files = writable_files(path);
  if (!files || !picture_present(record)) {
    if (!files) show_message_box("", "File Create Error.");
    return -1;
  }
  std::vector<uint8_t> bytes;
  encode_picture_bmp(record->pixels, record->width, record->height, bytes);
  if (!files->replace_file(path, bytes.data(), bytes.size())) {
    show_message_box("", "File Create Error.");
    return -1;
  }
  return 0;
}
