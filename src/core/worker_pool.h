// The worker pool: one to four threads that run row bands of pixel work. No
// queue: the poster fills one job record per worker, starts each worker and
// waits for its acknowledgement, then waits until every worker it started is
// done. Only the thread of the frame tick posts, one post at a time.
#pragma once
#include <atomic>
#include <cstdint>

constexpr int worker_max = 4;
constexpr int worker_job_words = 23;

// Job kinds and the subsystems that post them (each registers its own).
enum worker_job_kind : int32_t {
  job_scale_nearest = 11,
  job_scale_bilinear = 21,
  job_resize_smooth = 41,
  job_composite = 101,
  job_composite_mask = 102,
  job_composite_alpha = 103,
  job_composite_mask_kernel = 104,
  job_decode_raw = 1000,
  job_decode_zlib = 1001,
  job_decode_rirud = 1002,
};

// One worker's job. The argument words are fixed per kind by the posting
// subsystem (typically the band [first, last), buffers, strides, records).
struct worker_job {
  int32_t worker_index = 0;  // set once at start-up
  int32_t kind = 0;
  intptr_t arg[worker_job_words] = {};

  template <class T>
  T* ptr(int n) const { return reinterpret_cast<T*>(arg[n]); }
  template <class T>
  void set_ptr(int n, T* p) { arg[n] = reinterpret_cast<intptr_t>(p); }
};

// The work of one kind, run on the worker's thread with its own record.
using worker_job_fn = void (*)(const worker_job& job);

// Kinds are numbered 0 .. worker_job_kind_limit - 1.
constexpr int worker_job_kind_limit = 2048;
// Registers (or with null, removes) the work of a kind; 0, or -1 for a kind
// out of range. Any time is fine, though kinds are normally registered at
// start-up. An unregistered kind does nothing.
int register_worker_job_kind(int kind, worker_job_fn fn);

// Pool state. worker_count is 0 until start_worker_threads.
struct worker_pool_record {
  std::atomic<int> worker_count{0};
  worker_job jobs[worker_max];
};
extern worker_pool_record worker_pool;

// Set by a worker just before it waits for work, cleared when it wakes; the
// message loop reads it in frame-thread mode.
extern std::atomic<uint8_t> worker_idle;

// min(4, max(1, processors)), or 1 when kxcfg.dat slot 4 is 0.
int worker_count_for(int processors, int settings_slot4);

// Starts `count` workers (clamped to 1..4). 0, or -1 when a thread could not
// be made (the ones made are stopped again). A running pool is left as it is.
int start_worker_threads(int count);
// Ends every worker by the pool's own stop signal and joins them all. The quit
// flag plays no part: quit can be set and cleared at any time.
void stop_worker_threads();
bool worker_threads_running();

// The rows of worker i of n in an image of `rows` rows: [first, last).
inline int row_band_first(int i, int rows, int n) { return static_cast<int>(int64_t{i} * rows / n); }
inline int row_band_last(int i, int rows, int n) { return static_cast<int>((int64_t{i} + 1) * rows / n); }

// Posting, in the order the poster uses them: fill worker_job_record(i), then
// post_worker_job(i) (starts it and waits for its acknowledgement); after all
// are posted, wait_worker_done(i) for each. Without running workers the job
// runs on the calling thread inside post_worker_job.
worker_job& worker_job_record(int worker);
void post_worker_job(int worker);
void wait_worker_done(int worker);
// post_worker_job in two halves, for a poster that starts every worker before
// it waits for any acknowledgement (and may work itself in between): each
// start_worker_job(i) must be followed by wait_worker_ack(i) before
// wait_worker_done(i). Without a thread for the worker the job runs inside
// start_worker_job.
void start_worker_job(int worker);
void wait_worker_ack(int worker);

// The whole pattern for `workers` workers (at most worker_count): fill(job, i)
// sets the arguments of worker i; kind and posting are done here.
template <class Fill>
void dispatch_worker_jobs(int32_t kind, int workers, Fill&& fill) {
  for (int i = 0; i < workers; ++i) {
    worker_job& job = worker_job_record(i);
    job.kind = kind;
    fill(job, i);
    post_worker_job(i);
  }
  for (int i = 0; i < workers; ++i) wait_worker_done(i);
}

// Runs one job's work by its kind (what a worker does after its acknowledge).
void run_worker_job(const worker_job& job);
