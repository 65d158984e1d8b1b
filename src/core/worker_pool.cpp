#include "core/worker_pool.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/engine_state.h"

worker_pool_record worker_pool;
std::atomic<uint8_t> worker_idle{0};

namespace {

// An auto-reset event: wait() returns once per set() and consumes the signal.
class auto_reset_event {
 public:
  void init(bool signaled) {
    std::lock_guard<std::mutex> g(mutex_);
    signaled_ = signaled;
  }
  void set() {
    {
      std::lock_guard<std::mutex> g(mutex_);
      signaled_ = true;
    }
    cv_.notify_one();
  }
  void reset() {
    std::lock_guard<std::mutex> g(mutex_);
    signaled_ = false;
  }
  void wait() {
    std::unique_lock<std::mutex> g(mutex_);
    cv_.wait(g, [this] { return signaled_; });
    signaled_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

struct worker_slot {
  std::thread thread;
  auto_reset_event start;  // poster -> worker: the record is filled
  auto_reset_event ack;    // worker -> poster: done is clear now
  auto_reset_event done;   // worker -> poster: the job is finished
};

worker_slot slots[worker_max];
// The pool's own stop signal. Only stop_worker_threads sets it; the quit flag
// never ends a worker, so a later post always finds its worker alive.
std::atomic<bool> pool_stop{false};
std::atomic<worker_job_fn> job_kinds[worker_job_kind_limit];

void worker_thread_main(int index) {
  worker_slot& slot = slots[index];
  for (;;) {
    worker_idle = 1;
    slot.start.wait();
    worker_idle = 0;
    // Clear done before acknowledging, so the poster's wait for done cannot
    // return on an old signal.
    slot.done.reset();
    slot.ack.set();
    if (pool_stop) break;
    // With quit set the job is skipped, but done is still signalled.
    if (!quit_flag) run_worker_job(worker_pool.jobs[index]);
    slot.done.set();
  }
  slot.done.set();
}

}  // namespace

int register_worker_job_kind(int kind, worker_job_fn fn) {
  if (kind < 0 || kind >= worker_job_kind_limit) return -1;
  job_kinds[kind] = fn;
  return 0;
}

void run_worker_job(const worker_job& job) {
  if (job.kind < 0 || job.kind >= worker_job_kind_limit) return;
  if (worker_job_fn fn = job_kinds[job.kind].load()) fn(job);
}

int worker_count_for(int processors, int settings_slot4) {
  int maximum = settings_slot4 == 0 ? 1 : worker_max;
  return std::min(maximum, std::max(1, processors));
}

bool worker_threads_running() { return worker_pool.worker_count > 0; }

int start_worker_threads(int count) {
  if (worker_threads_running()) return 0;
  count = std::clamp(count, 1, worker_max);
  pool_stop = false;
  for (int i = 0; i < count; ++i) {
    worker_pool.jobs[i].worker_index = i;
    slots[i].start.init(false);
    slots[i].ack.init(false);
    slots[i].done.init(true);
  }
  for (int i = 0; i < count; ++i) {
    try {
      slots[i].thread = std::thread(worker_thread_main, i);
    } catch (const std::system_error&) {
      pool_stop = true;
      for (int k = 0; k < i; ++k) slots[k].start.set();
      for (int k = 0; k < i; ++k) slots[k].thread.join();
      return -1;
    }
  }
  worker_pool.worker_count = count;
  return 0;
}

void stop_worker_threads() {
  int n = worker_pool.worker_count;
  if (n <= 0) return;
  pool_stop = true;
  for (int i = 0; i < n; ++i) slots[i].start.set();
  for (int i = 0; i < n; ++i)
    if (slots[i].thread.joinable()) slots[i].thread.join();
  worker_pool.worker_count = 0;
  worker_idle = 0;
}

worker_job& worker_job_record(int worker) { return worker_pool.jobs[std::clamp(worker, 0, worker_max - 1)]; }

void start_worker_job(int worker) {
  worker = std::clamp(worker, 0, worker_max - 1);
  if (worker >= worker_pool.worker_count) {
    // No thread for this worker (no pool, as in tools): run it here, with the
    // workers' rule for a pending quit.
    if (!quit_flag) run_worker_job(worker_pool.jobs[worker]);
    return;
  }
  slots[worker].start.set();
}

void wait_worker_ack(int worker) {
  worker = std::clamp(worker, 0, worker_max - 1);
  if (worker >= worker_pool.worker_count) return;
  slots[worker].ack.wait();
}

void post_worker_job(int worker) {
  start_worker_job(worker);
  wait_worker_ack(worker);
}

void wait_worker_done(int worker) {
  if (worker < 0 || worker >= worker_pool.worker_count) return;
  slots[worker].done.wait();
}
