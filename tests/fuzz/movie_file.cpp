// Hostile movie files through the player's FFmpeg path: demux, decode, picture
// conversion and sound resampling until the end or the decoder gives up, and
// the MPEG kind of the first bytes. The bytes are handed over as an in-memory
// file, as a loose movie file reaches the player.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ffmpeg/ffmpeg_movie.h"
#include "sound/movie_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int kind = mpeg_kind_of_bytes(data, size);
  if (kind != 1 && kind != 2 && kind != 255) __builtin_trap();
  int fd = memfd_create("movie", 0);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  std::string error;
  FfmpegMoviePlayer::decode_all("/proc/self/fd/" + std::to_string(fd), 64, 48, &error);
  close(fd);
  return 0;
}
