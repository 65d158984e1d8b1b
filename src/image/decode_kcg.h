// Reader of the engine image format kcg (layout in format/kcg_format.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/picture_buffer.h"

// Worker job kinds of the two-part unpacking (posted to workers 0 and 1).
enum : int32_t { kcg_job_raw = 1000, kcg_job_zlib = 1001, kcg_job_library = 1002 };

// One part of the pixel area: the job record's arguments for kinds 1000-1002.
struct kcg_part_job {
  int32_t kind = 0;
  const uint8_t* packed = nullptr;
  uint32_t packed_size = 0;
  uint8_t* out = nullptr;       // where this part's unpacked bytes go
  uint32_t unpacked_size = 0;   // exact size the part must unpack to
  int32_t result = -1;          // 0 once the part filled exactly unpacked_size bytes
};

// The work of one job of kinds 1000-1002, run by a worker or by the caller:
// copy, inflate or expand one part. Writes only job.out[0, unpacked_size).
void run_kcg_part_job(kcg_part_job& job);

// How the two parts are run. `post_part_jobs` runs jobs[0] on worker 0 and
// jobs[1] on worker 1 and returns once both are done; start-up fills it when
// the pool has two or more workers. Null runs both in the calling thread.
struct kcg_decoder_hooks {
  void (*post_part_jobs)(kcg_part_job* jobs) = nullptr;
};
extern kcg_decoder_hooks kcg_decoder;
// Start-up: registers the job kinds 1000-1002 with the worker pool and posts
// the two parts to workers 0 and 1 whenever two or more workers run.
void install_kcg_workers();

// Decodes a whole kcg file held in memory. 0 success (the picture, with its
// alpha in use, is committed into `out`), -1 failure (reported or shown);
// `out` is untouched on failure.
int decode_kcg(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out);
