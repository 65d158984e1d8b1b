// Hostile Vorbis setup headers: every page checksum is recomputed first so
// mutations reach the codebooks, floors, residues and mappings instead of
// being dropped by libogg; whatever the check lets through is then opened
// and decoded by libvorbisfile as the player does it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ogg_pages.h"
#include "sound/ogg_memory.h"
#include "sound/vorbis_setup_check.h"


// libvorbis and libvorbisfile leak on some hostile headers they refuse; those
// are theirs, not findings here (the sound tests under ASan still see any
// missing ov_clear of ours).
extern "C" const char* __lsan_default_suppressions() { return "leak:libvorbis.so\nleak:libvorbisfile.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);
  fuzz_ogg::fix_page_checksums(image);
  // The packet check alone, on the raw input as one setup packet.
  for (int channels : {1, 2, 6}) check_vorbis_setup_packet(data, size, channels);
  ogg_memory_source src{image.data(), static_cast<int64_t>(image.size()), 0};
  OggVorbis_File vf;
  if (ogg_memory_open(&src, &vf) != 0) return 0;
  if (ov_seekable(&vf) && ov_streams(&vf) == 1 && ov_info(&vf, -1)) {
    double total = ov_time_total(&vf, -1);
    char pcm[4096];
    int bitstream = 0;
    for (int i = 0; i < 4096; ++i)
      if (ov_read(&vf, pcm, sizeof pcm, 0, 2, 1, &bitstream) <= 0) break;
    if (total > 0) ov_time_seek(&vf, total / 2);
    ov_read(&vf, pcm, sizeof pcm, 0, 2, 1, &bitstream);
  }
  ov_clear(&vf);
  return 0;
}
