#include "image/decode_kcg.h"

#include <zlib.h>

#include <cstring>

#include "core/error_report.h"
#include "format/kcg_format.h"
#include "core/compression_library.h"
#include "core/worker_pool.h"

kcg_decoder_hooks kcg_decoder;

namespace {

// A worker's side of jobs 1000-1002: argument 0 is the part's job.
void kcg_worker_job(const worker_job& job) { run_kcg_part_job(*job.ptr<kcg_part_job>(0)); }

// Part 1 on worker 0, part 2 on worker 1, while the loading thread waits;
// with fewer than two workers both run here, one after the other.
void post_kcg_part_jobs(kcg_part_job* jobs) {
  if (worker_pool.worker_count.load() < 2 || !worker_threads_running()) {
    run_kcg_part_job(jobs[0]);
    if (jobs[0].result == 0) run_kcg_part_job(jobs[1]);
    return;
  }
  dispatch_worker_jobs(jobs[0].kind, 2, [&](worker_job& job, int i) { job.set_ptr(0, &jobs[i]); });
}

}  // namespace

void install_kcg_workers() {
  for (int32_t kind : {kcg_job_raw, kcg_job_zlib, kcg_job_library}) register_worker_job_kind(kind, kcg_worker_job);
  kcg_decoder.post_part_jobs = post_kcg_part_jobs;
}

void run_kcg_part_job(kcg_part_job& job) {
  job.result = -1;
  // An empty part has nothing to unpack, whatever its packed bytes hold.
  if (job.unpacked_size == 0) {
    job.result = 0;
    return;
  }
  switch (job.kind) {
    case kcg_job_raw:
      if (job.packed_size != job.unpacked_size) return;
      std::memcpy(job.out, job.packed, job.unpacked_size);
      job.result = 0;
      return;
    case kcg_job_zlib: {
      uLongf length = job.unpacked_size;
      const int status = uncompress(job.out, &length, job.packed, job.packed_size);
      // A stream that stops short would leave pixels undefined: refuse it too.
      if (status == Z_OK && length == job.unpacked_size) job.result = 0;
      return;
    }
    case kcg_job_library: {
      uint32_t length = job.unpacked_size;
      const int status = rirud_unpack(job.packed, job.packed_size, job.out, &length);
      if (status == 0 && length == job.unpacked_size) job.result = 0;
      return;
    }
    default:
      return;
  }
}

int decode_kcg(const uint8_t* data, size_t size, const std::string& name, picture_buffer& out) {
  kcg_header header;
  if (!read_kcg_header(data, size, header)) {
    // Shorter than a header: there is nothing to go on with.
    show_message_box("", "File Check Error.");
    return -1;
  }
  if (!header.magic_ok) {
    // A wrong magic alone is only shown; the header is used as it stands,
    // and the checks below still keep every part inside the file.
    show_message_box("", "File Check Error.");
    header.magic_ok = true;
  }
  const kcg_layout layout = check_kcg_layout(header, size);
  if (layout == kcg_layout::bad_size) {
    report_error_at_line_fmt(100091, 1, name);
    return -1;
  }
  if (layout != kcg_layout::ok) {
    show_message_box("", "File Check Error.");
    return -1;
  }

  picture_buffer fresh;
  if (alloc_picture_buffer(fresh, header.width, header.height, name) != 0) return -1;

  const int32_t kind = header.compression == kcg_compression_raw    ? kcg_job_raw
                       : header.compression == kcg_compression_zlib ? kcg_job_zlib
                                                                    : kcg_job_library;
  kcg_part_job jobs[2];
  jobs[0].kind = kind;
  jobs[0].packed = data + kcg_header_size;
  jobs[0].packed_size = header.part1_packed;
  jobs[0].out = fresh.pixels;
  jobs[0].unpacked_size = header.part1_unpacked;
  jobs[1].kind = kind;
  jobs[1].packed = data + kcg_header_size + header.part1_packed;
  jobs[1].packed_size = header.part2_packed;
  jobs[1].out = fresh.pixels + header.part1_unpacked;
  jobs[1].unpacked_size = header.part2_unpacked;

  if (kcg_decoder.post_part_jobs) {
    kcg_decoder.post_part_jobs(jobs);
  } else {
    run_kcg_part_job(jobs[0]);
    if (jobs[0].result == 0) run_kcg_part_job(jobs[1]);
  }

  // The same checks whichever way the parts ran, so the worker count never
  // changes what a damaged file gives.
  if (jobs[0].result != 0 || jobs[1].result != 0) {
    const bool second = jobs[0].result == 0 && kind == kcg_job_zlib;
    show_message_box("", second ? "Uncompress Status Error 2." : "Uncompress Status Error 1.");
    free_picture_buffer(fresh);
    return -1;
  }
  fresh.alpha_in_use = 1;
  commit_picture_buffer(out, fresh);
  return 0;
}
