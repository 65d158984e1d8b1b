#include "sound/ogg_memory.h"

#include "sound/vorbis_setup_check.h"

#include <cstdio>
#include <cstring>

size_t ogg_memory_read(void* out, size_t size, size_t count, void* source) {
  auto* s = static_cast<ogg_memory_source*>(source);
  if (!s || !out || size == 0 || count == 0) return 0;
  if (s->position < 0 || s->position >= s->size) return 0;
  uint64_t left = static_cast<uint64_t>(s->size - s->position);
  uint64_t items = left / size;  // whole items only
  if (items > count) items = count;
  size_t bytes = static_cast<size_t>(items * size);
  std::memcpy(out, s->data + s->position, bytes);
  s->position += static_cast<int64_t>(bytes);
  return static_cast<size_t>(items);
}

int ogg_memory_seek(void* source, ogg_int64_t offset, int origin) {
  auto* s = static_cast<ogg_memory_source*>(source);
  if (!s) return -1;
  int64_t base;
  switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = s->position; break;
    case SEEK_END: base = s->size; break;
    default: return -1;
  }
  // Both terms are bounded by the image size or by what the library passes;
  // test before adding so the sum cannot overflow.
  if (offset < -base || offset > s->size - base) return -1;
  s->position = base + offset;
  return 0;
}

int ogg_memory_close(void*) { return 1; }

long ogg_memory_tell(void* source) {
  auto* s = static_cast<ogg_memory_source*>(source);
  return s ? static_cast<long>(s->position) : -1;
}

const ov_callbacks ogg_memory_callbacks = {ogg_memory_read, ogg_memory_seek, ogg_memory_close, ogg_memory_tell};

int ogg_memory_open(ogg_memory_source* source, OggVorbis_File* vf) {
  source->position = 0;
  // libvorbis trusts parts of the setup header it should not (a codebook of
  // dimension 0 in a residue divides by zero mid-decode): such a stream
  // fails to open like any other bad header.
  if (source->size > 0 &&
      check_vorbis_setups(source->data, static_cast<size_t>(source->size)) != vorbis_setup_fault::none)
    return OV_EBADHEADER;
  return ov_open_callbacks(source, vf, nullptr, 0, ogg_memory_callbacks);
}
