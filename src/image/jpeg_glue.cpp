#include "image/jpeg_glue.h"

#include <jerror.h>

namespace {

const JOCTET end_of_image[2] = {0xFF, JPEG_EOI};

jpeg_memory_source* memory_source(j_decompress_ptr cinfo) {
  return reinterpret_cast<jpeg_memory_source*>(cinfo->src);
}

void jpeg_silent_output(j_common_ptr) {}

}  // namespace

void jpeg_mem_init_source(j_decompress_ptr cinfo) {
  jpeg_memory_source* src = memory_source(cinfo);
  src->pub.next_input_byte = src->data;
  src->pub.bytes_in_buffer = 0;
  src->handed_over = false;
}

boolean jpeg_mem_fill_input_buffer(j_decompress_ptr cinfo) {
  jpeg_memory_source* src = memory_source(cinfo);
  if (!src->handed_over && src->size > 0) {
    src->handed_over = true;
    src->pub.next_input_byte = src->data;
    src->pub.bytes_in_buffer = src->size;
    return TRUE;
  }
  // The file ended early: an inserted end marker lets the library finish.
  WARNMS(cinfo, JWRN_JPEG_EOF);
  src->handed_over = true;
  src->pub.next_input_byte = end_of_image;
  src->pub.bytes_in_buffer = sizeof end_of_image;
  return TRUE;
}

void jpeg_mem_skip_input(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  jpeg_memory_source* src = memory_source(cinfo);
  if (static_cast<unsigned long>(count) > src->pub.bytes_in_buffer) {
    // Skipping past the end: the next fill gives the end marker.
    src->pub.next_input_byte += src->pub.bytes_in_buffer;
    src->pub.bytes_in_buffer = 0;
    src->handed_over = true;
    return;
  }
  src->pub.next_input_byte += count;
  src->pub.bytes_in_buffer -= static_cast<size_t>(count);
}

void jpeg_mem_term_source(j_decompress_ptr) {}

void jpeg_attach_memory_source(j_decompress_ptr cinfo, jpeg_memory_source& source, const uint8_t* data,
                               size_t size) {
  source.pub.init_source = jpeg_mem_init_source;
  source.pub.fill_input_buffer = jpeg_mem_fill_input_buffer;
  source.pub.skip_input_data = jpeg_mem_skip_input;
  source.pub.resync_to_restart = jpeg_resync_to_restart;
  source.pub.term_source = jpeg_mem_term_source;
  source.pub.next_input_byte = data;
  source.pub.bytes_in_buffer = 0;
  source.data = data;
  source.size = data ? size : 0;
  source.handed_over = false;
  cinfo->src = &source.pub;
}

void jpeg_error_exit_longjmp(j_common_ptr cinfo) {
  auto* error = reinterpret_cast<jpeg_longjmp_error*>(cinfo->err);
  std::longjmp(error->jump, 1);
}

jpeg_error_mgr* jpeg_longjmp_error_setup(jpeg_longjmp_error& error) {
  jpeg_error_mgr* mgr = jpeg_std_error(&error.pub);
  mgr->error_exit = jpeg_error_exit_longjmp;
  mgr->output_message = jpeg_silent_output;
  return mgr;
}
