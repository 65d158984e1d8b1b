// Hostile Ogg images through the in-memory callbacks and libvorbisfile: open,
// information, seeks and reads as the player does them, then the whole
// decode to the end. Seeded with the shared sound corpus
// (scripts/run-fuzzers.sh); every page's checksum is recomputed first, so
// mutations reach the Vorbis headers, codebooks and packets instead of being
// dropped by libogg's CRC test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ogg_pages.h"
#include "sound/ogg_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);
  ogg_memory_source src{image.data(), static_cast<int64_t>(image.size()), 0};

  // The callbacks alone: any seek either lands inside the image or is refused.
  for (size_t i = 0; i + 9 <= size && i < 90; i += 9) {
    int64_t offset = 0;
    for (int k = 0; k < 8; ++k) offset = static_cast<int64_t>(static_cast<uint64_t>(offset) << 8 | data[i + k]);
    int origin = data[i + 8] % 4;
    int64_t before = src.position;
    if (ogg_memory_seek(&src, offset, origin) == 0) {
      if (src.position < 0 || src.position > src.size) __builtin_trap();
    } else if (src.position != before) {
      __builtin_trap();
    }
    uint8_t buf[64];
    size_t got = ogg_memory_read(buf, 1, sizeof buf, &src);
    if (got > sizeof buf || src.position > src.size) __builtin_trap();
  }

  fuzz_ogg::fix_page_checksums(image);
  src = ogg_memory_source{image.data(), static_cast<int64_t>(image.size()), 0};
  OggVorbis_File vf;
  if (ogg_memory_open(&src, &vf) != 0) return 0;
  if (ov_seekable(&vf) && ov_streams(&vf) == 1 && ov_info(&vf, -1)) {
    double total = ov_time_total(&vf, -1);
    char pcm[4096];
    int bitstream = 0;
    // The whole stream, as a sound played to its end (bounded: a hostile
    // header may claim hours).
    for (int i = 0; i < 4096; ++i)
      if (ov_read(&vf, pcm, sizeof pcm, 0, 2, 1, &bitstream) <= 0) break;
    if (total > 0) ov_time_seek(&vf, total / 2);
    ogg_int64_t at = ov_pcm_tell(&vf);
    ov_clear(&vf);
    // The player reopens and seeks by PCM position on every refill.
    if (at >= 0 && ogg_memory_open(&src, &vf) == 0) {
      ov_pcm_seek(&vf, at);
      ov_read(&vf, pcm, sizeof pcm, 0, 2, 1, &bitstream);
      ov_clear(&vf);
    }
    return 0;
  }
  ov_clear(&vf);
  return 0;
}

// libvorbis and libvorbisfile leak on some hostile headers they refuse; those
// are not the player's leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libvorbis.so\nleak:libvorbisfile.so\n"; }
