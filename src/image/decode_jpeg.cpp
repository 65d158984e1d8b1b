#include "image/decode_jpeg.h"

#include "core/error_report.h"
#include "image/jpeg_glue.h"

namespace {

// State reached after a jump lives here, outside the function calling setjmp.
struct jpeg_decode_state {
  jpeg_decompress_struct cinfo{};
  jpeg_longjmp_error error{};
  jpeg_memory_source source{};
  picture_buffer picture{};
  const std::string* name = nullptr;
  bool created = false;
};

enum jpeg_status : int { jpeg_ok = 0, jpeg_library_error = -2, jpeg_refused = -3, jpeg_too_large = -4 };

// Adobe files store CMYK inverted (0 = full ink); others store plain ink.
void convert_cmyk_row(const JSAMPLE* cmyk, uint8_t* out, JDIMENSION width, bool inverted) {
  for (JDIMENSION x = 0; x < width; ++x) {
    unsigned c = cmyk[x * 4], m = cmyk[x * 4 + 1], y = cmyk[x * 4 + 2], k = cmyk[x * 4 + 3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    out[x * 4] = static_cast<uint8_t>((y * k + 127) / 255);
    out[x * 4 + 1] = static_cast<uint8_t>((m * k + 127) / 255);
    out[x * 4 + 2] = static_cast<uint8_t>((c * k + 127) / 255);
    out[x * 4 + 3] = 255;
  }
}

int jpeg_decode_body(jpeg_decode_state* st) {
  if (setjmp(st->error.jump)) return jpeg_library_error;

  jpeg_decompress_struct* cinfo = &st->cinfo;
  jpeg_create_decompress(cinfo);
  st->created = true;
  jpeg_attach_memory_source(cinfo, st->source, st->source.data, st->source.size);
  jpeg_read_header(cinfo, TRUE);

  // Checked before any image-sized buffer is made (scale is 1, so the output
  // size is the image size).
  if (cinfo->image_width > static_cast<JDIMENSION>(max_decoded_picture_side) ||
      cinfo->image_height > static_cast<JDIMENSION>(max_decoded_picture_side))
    return jpeg_too_large;

  const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
  // The library writes B, G, R and an opaque alpha straight into the rows,
  // for colour and grey files alike.
  cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  jpeg_start_decompress(cinfo);

  const JDIMENSION width = cinfo->output_width;
  const JDIMENSION height = cinfo->output_height;
  if (cinfo->output_components != 4) return jpeg_refused;
  if (alloc_picture_buffer(st->picture, width, height, *st->name) != 0) return jpeg_refused;

  const size_t stride = static_cast<size_t>(width) * 4;
  JSAMPARRAY cmyk_row = nullptr;
  if (cmyk)
    cmyk_row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                           static_cast<JDIMENSION>(stride + 16), 1);
  while (cinfo->output_scanline < height) {
    const JDIMENSION y = cinfo->output_scanline;
    uint8_t* row = st->picture.pixels + stride * y;
    if (cmyk) {
      if (jpeg_read_scanlines(cinfo, cmyk_row, 1) != 1) return jpeg_library_error;
      convert_cmyk_row(cmyk_row[0], row, width, cinfo->saw_Adobe_marker);
    } else {
      JSAMPROW rows[1] = {row};
      if (jpeg_read_scanlines(cinfo, rows, 1) != 1) return jpeg_library_error;
    }
  }
  jpeg_finish_decompress(cinfo);
  return jpeg_ok;
}

}  // namespace

int decode_jpeg(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out) {
  jpeg_decode_state st;
  st.cinfo.err = jpeg_longjmp_error_setup(st.error);
  st.source.data = data;
  st.source.size = data ? size : 0;
  st.name = &name;
  const int status = jpeg_decode_body(&st);
  if (st.created) jpeg_destroy_decompress(&st.cinfo);
  if (status != jpeg_ok) {
    free_picture_buffer(st.picture);
    if (status == jpeg_too_large) {
      report_error_at_line_fmt(100091, 1, name);
      return -3;
    }
    return status == jpeg_refused ? -3 : -2;
  }
  st.picture.alpha_in_use = 0;
  st.picture.opaque = 1;
  commit_picture_buffer(out, st.picture);
  return 0;
}
