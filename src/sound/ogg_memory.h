// Ogg Vorbis over a file image in memory: the four libvorbisfile callbacks.
#pragma once
#include <vorbis/vorbisfile.h>

#include <cstddef>
#include <cstdint>

// The in-memory reader of one sound: image, its size and the read position.
struct ogg_memory_source {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t position = 0;
};

// Read copies what is left up to the request; seek refuses positions outside
// 0..size (a seek before the start or past the end is an error, never a
// position that later reads would trust); close does nothing; tell gives the
// position.
size_t ogg_memory_read(void* out, size_t size, size_t count, void* source);
int ogg_memory_seek(void* source, ogg_int64_t offset, int origin);
int ogg_memory_close(void* source);
long ogg_memory_tell(void* source);

extern const ov_callbacks ogg_memory_callbacks;

// Sets the position to 0, refuses images whose Vorbis setup headers are
// inconsistent (OV_EBADHEADER) and opens the stream over the source.
int ogg_memory_open(ogg_memory_source* source, OggVorbis_File* vf);
