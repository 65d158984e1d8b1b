#include "core/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/engine_state.h"

namespace {

constexpr int test_kind = 900;
constexpr int rows = 1000;
std::atomic<int> row_hits[rows];

// Marks every row of its band [arg0, arg1) once; arg2 points at a counter.
void count_rows(const worker_job& job) {
  for (intptr_t r = job.arg[0]; r < job.arg[1]; ++r) row_hits[r]++;
  if (auto* c = job.ptr<std::atomic<int>>(2)) ++*c;
}

void post_bands(int kind, int n, int height, std::atomic<int>* counter) {
  dispatch_worker_jobs(kind, n, [&](worker_job& job, int i) {
    job.arg[0] = row_band_first(i, height, n);
    job.arg[1] = row_band_last(i, height, n);
    job.set_ptr(2, counter);
  });
}

struct pool_fixture : ::testing::Test {
  pool_fixture() {
    quit_flag = 0;
    for (auto& h : row_hits) h = 0;
    register_worker_job_kind(test_kind, count_rows);
  }
  ~pool_fixture() override { stop_worker_threads(); }
};

}  // namespace

TEST(WorkerBands, SplitRowsWithoutGapOrOverlap) {
  EXPECT_EQ(row_band_first(0, 100, 3), 0);
  EXPECT_EQ(row_band_last(0, 100, 3), 33);  // rows 0-32
  EXPECT_EQ(row_band_first(1, 100, 3), 33);
  EXPECT_EQ(row_band_last(1, 100, 3), 66);  // rows 33-65
  EXPECT_EQ(row_band_first(2, 100, 3), 66);
  EXPECT_EQ(row_band_last(2, 100, 3), 100);  // rows 66-99
  EXPECT_EQ(row_band_last(0, 5, 2), 2);
  EXPECT_EQ(row_band_last(1, 5, 2), 5);
  EXPECT_EQ(row_band_last(0, 77, 1), 77);
  EXPECT_EQ(row_band_last(3, 2000000000, 4), 2000000000);  // no overflow on tall products

  EXPECT_EQ(worker_count_for(1, 1), 1);
  EXPECT_EQ(worker_count_for(0, 1), 1);
  EXPECT_EQ(worker_count_for(3, 1), 3);
  EXPECT_EQ(worker_count_for(16, 1), 4);
  EXPECT_EQ(worker_count_for(16, 0), 1);
  EXPECT_EQ(register_worker_job_kind(-1, count_rows), -1);
  EXPECT_EQ(register_worker_job_kind(worker_job_kind_limit, count_rows), -1);
}

TEST_F(pool_fixture, ThreeWorkersCoverOneHundredRowsOnce) {
  ASSERT_EQ(start_worker_threads(3), 0);
  EXPECT_EQ(worker_pool.worker_count, 3);
  std::atomic<int> jobs{0};
  post_bands(test_kind, 3, 100, &jobs);
  EXPECT_EQ(jobs, 3);
  for (int r = 0; r < 100; ++r) EXPECT_EQ(row_hits[r], 1) << r;
  EXPECT_EQ(row_hits[100], 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(worker_pool.jobs[i].worker_index, i);
  EXPECT_EQ(worker_pool.jobs[1].arg[0], 33);
  EXPECT_EQ(worker_pool.jobs[2].arg[0], 66);
}

TEST_F(pool_fixture, EveryJobRunsExactlyOnceUnderStress) {
  ASSERT_EQ(start_worker_threads(4), 0);
  std::atomic<int> jobs{0};
  const int rounds = 3000;
  for (int round = 0; round < rounds; ++round) {
    int n = 1 + round % 4;  // also posts to fewer workers than the pool has
    post_bands(test_kind, n, rows, &jobs);
  }
  EXPECT_EQ(jobs, (rounds / 4) * (1 + 2 + 3 + 4));
  for (int r = 0; r < rows; ++r) ASSERT_EQ(row_hits[r], rounds) << r;
}

// Every worker started before the poster waits for any acknowledgement, the
// poster busy in between: no job is lost, none runs twice, and a done never
// answers an earlier post.
TEST_F(pool_fixture, StartingAllBeforeAnyAcknowledgementRunsEachJobOnce) {
  ASSERT_EQ(start_worker_threads(4), 0);
  std::atomic<int> jobs{0};
  const int rounds = 2000;
  for (int round = 0; round < rounds; ++round) {
    int n = 1 + round % 4;
    for (int i = 0; i < n; ++i) {
      worker_job& job = worker_job_record(i);
      job.kind = test_kind;
      job.arg[0] = row_band_first(i, rows, n), job.arg[1] = row_band_last(i, rows, n);
      job.set_ptr(2, &jobs);
      start_worker_job(i);
    }
    if (round % 2) std::this_thread::yield();
    for (int i = 0; i < n; ++i) wait_worker_ack(i);
    for (int i = 0; i < n; ++i) wait_worker_done(i);
    ASSERT_EQ(row_hits[rows - 1], round + 1) << round;  // finished once done is seen
  }
  EXPECT_EQ(jobs, (rounds / 4) * (1 + 2 + 3 + 4));
  for (int r = 0; r < rows; ++r) ASSERT_EQ(row_hits[r], rounds) << r;
}

TEST_F(pool_fixture, UnknownKindsDoNothingAndDoneIsStillSignalled) {
  ASSERT_EQ(start_worker_threads(2), 0);
  std::atomic<int> jobs{0};
  post_bands(1999, 2, 10, &jobs);  // never registered
  post_bands(-5, 2, 10, &jobs);
  EXPECT_EQ(jobs, 0);
  register_worker_job_kind(test_kind, nullptr);
  post_bands(test_kind, 2, 10, &jobs);
  EXPECT_EQ(jobs, 0);
  register_worker_job_kind(test_kind, count_rows);
  post_bands(test_kind, 2, 10, &jobs);
  EXPECT_EQ(jobs, 2);
}

namespace {
// Sets quit during the frame: the first worker to run it raises the flag.
void raise_quit(const worker_job& job) {
  quit_flag = 1;
  count_rows(job);
}
}  // namespace

TEST_F(pool_fixture, QuitInMidFrameThenMorePostsDoNotHang) {
  constexpr int quit_kind = 901;
  register_worker_job_kind(quit_kind, raise_quit);
  ASSERT_EQ(start_worker_threads(4), 0);
  std::atomic<int> jobs{0};
  for (int frame = 0; frame < 200; ++frame) {
    post_bands(quit_kind, 4, 100, &jobs);  // later workers may see quit and skip
    ASSERT_EQ(quit_flag, 1);
    // With quit set every worker acknowledges, skips and signals done.
    int before = jobs;
    post_bands(test_kind, 4, 100, &jobs);
    ASSERT_EQ(jobs, before);
    quit_flag = 0;  // a later report clears the quit again: workers must still be there
    before = jobs;
    post_bands(test_kind, 4, 100, &jobs);
    ASSERT_EQ(jobs, before + 4);
  }
  EXPECT_TRUE(worker_threads_running());
}

TEST_F(pool_fixture, ShutdownJoinsEveryWorkerAndThePoolCanStartAgain) {
  ASSERT_EQ(start_worker_threads(4), 0);
  EXPECT_EQ(start_worker_threads(2), 0);  // already running: unchanged
  EXPECT_EQ(worker_pool.worker_count, 4);
  std::atomic<int> jobs{0};
  post_bands(test_kind, 4, 100, &jobs);
  quit_flag = 1;  // shutdown sets quit first; the pool's own stop ends the workers
  stop_worker_threads();
  EXPECT_FALSE(worker_threads_running());
  EXPECT_EQ(worker_idle, 0);
  stop_worker_threads();  // twice is harmless

  quit_flag = 0;
  ASSERT_EQ(start_worker_threads(9), 0);  // clamped to the maximum
  EXPECT_EQ(worker_pool.worker_count, worker_max);
  post_bands(test_kind, 4, 100, &jobs);
  EXPECT_EQ(jobs, 8);
  for (int r = 0; r < 100; ++r) EXPECT_EQ(row_hits[r], 2);
  stop_worker_threads();
}

TEST_F(pool_fixture, WithoutThreadsJobsRunOnTheCaller) {
  std::atomic<int> jobs{0};
  post_bands(test_kind, 1, 50, &jobs);
  EXPECT_EQ(jobs, 1);
  EXPECT_EQ(row_hits[49], 1);
  quit_flag = 1;
  post_bands(test_kind, 1, 50, &jobs);
  EXPECT_EQ(jobs, 1);
}

TEST_F(pool_fixture, WorkersReportIdleWhileWaiting) {
  ASSERT_EQ(start_worker_threads(1), 0);
  // The worker sets the idle byte before its first wait; poll, as the loop does.
  while (worker_idle == 0) std::this_thread::yield();
  std::atomic<int> jobs{0};
  post_bands(test_kind, 1, 10, &jobs);
  EXPECT_EQ(jobs, 1);
}
