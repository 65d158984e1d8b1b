// libjpeg glue shared by the JPEG reader, the image sets and the JPEG writer:
// a source manager over one memory block and an error exit that jumps back.
#pragma once
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

// Source over one memory block. The block is handed over once; any later
// request (a cut file) gets an end-of-image marker, so libjpeg finishes what
// it has instead of asking again for ever.
struct jpeg_memory_source {
  jpeg_source_mgr pub;  // first, so the library's pointer is ours
  const uint8_t* data;
  size_t size;
  bool handed_over;
};

void jpeg_mem_init_source(j_decompress_ptr cinfo);
boolean jpeg_mem_fill_input_buffer(j_decompress_ptr cinfo);
void jpeg_mem_skip_input(j_decompress_ptr cinfo, long count);
void jpeg_mem_term_source(j_decompress_ptr cinfo);

// Points cinfo->src at `source`, set up over data[0, size).
void jpeg_attach_memory_source(j_decompress_ptr cinfo, jpeg_memory_source& source, const uint8_t* data, size_t size);

// Error manager whose exit jumps to `jump` with the value 1; messages are not
// printed.
struct jpeg_longjmp_error {
  jpeg_error_mgr pub;  // first, so the library's pointer is ours
  std::jmp_buf jump;
};

[[noreturn]] void jpeg_error_exit_longjmp(j_common_ptr cinfo);

// Sets up `error` (jpeg_std_error with our exit and a silent output) and
// returns the pointer to store in cinfo.err.
jpeg_error_mgr* jpeg_longjmp_error_setup(jpeg_longjmp_error& error);
