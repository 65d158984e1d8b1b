#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "child_helper.h"
#include "platform/headless/headless_platform.h"
#include "platform/posix/process.h"
#include "support/temp_folder.h"

namespace {

std::string unique_instance(const char* what) {
  return std::string("/games/") + what + "/zarvik:" + std::to_string(getpid());
}

// Waits (bounded) for the listener thread to count a request.
bool wait_for_raise(Process& p) {
  for (int i = 0; i < 3000; ++i) {
    if (p.take_raise_request()) return true;
    usleep(10000);
  }
  return false;
}

char* arg0() {
  static std::string self = self_program_path();
  return self.data();
}

}  // namespace

TEST(SingleInstance, SecondProcessGetsOneAndTheFirstIsAskedToRaise) {
  temp_folder dir;
  std::string name = unique_instance("second-start");
  char* argv[] = {arg0(), nullptr};
  PosixProcess first(1, argv);
  ASSERT_EQ(first.claim_single_instance(name), 0);
  EXPECT_EQ(first.claim_single_instance(name), 0);  // claiming again is harmless
  EXPECT_FALSE(first.take_raise_request());

  pid_t child = start_child(self_program_path(), {"--zarvik-child", "claim", dir.path() + "r", name});
  ASSERT_GT(child, 0);
  ASSERT_TRUE(wait_for_file(dir.path() + "r"));
  EXPECT_EQ(read_text(dir.path() + "r"), "1");
  EXPECT_EQ(wait_child(child), 0);

  ASSERT_TRUE(wait_for_raise(first));
  EXPECT_FALSE(first.take_raise_request());  // each request is returned once
}

TEST(SingleInstance, LockIsFreedByReleaseAndByTheHoldersDeath) {
  temp_folder dir;
  std::string name = unique_instance("release");
  char* argv[] = {arg0(), nullptr};

  // A holder that dies without releasing (a crash) does not block the next start.
  pid_t holder = start_child(self_program_path(), {"--zarvik-child", "claim", dir.path() + "h", name});
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(wait_for_file(dir.path() + "h"));
  ASSERT_EQ(read_text(dir.path() + "h"), "0");
  {
    PosixProcess blocked(1, argv);
    EXPECT_EQ(blocked.claim_single_instance(name), 1);
  }
  kill(holder, SIGKILL);
  wait_child(holder);

  PosixProcess a(1, argv), b(1, argv);
  EXPECT_EQ(a.claim_single_instance(name), 0);  // the stale socket is replaced
  EXPECT_EQ(b.claim_single_instance(name), 1);
  EXPECT_TRUE(wait_for_raise(a));
  a.release_single_instance();
  EXPECT_EQ(b.claim_single_instance(name), 0);
  // Another program path is another instance.
  PosixProcess other(1, argv);
  EXPECT_EQ(other.claim_single_instance(name + "-other"), 0);
}

TEST(SingleInstance, NamesMapToDistinctPerUserFiles) {
  std::string a = instance_file_stem("c:\\games\\one\\zarvik.exe");
  std::string b = instance_file_stem("c:\\games\\two\\zarvik.exe");
  EXPECT_NE(a, b);
  EXPECT_EQ(a, instance_file_stem("c:\\games\\one\\zarvik.exe"));
  EXPECT_NE(a.find("-" + std::to_string(getuid()) + "-"), std::string::npos);
  std::string folder = instance_folder_host();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
}

TEST(SingleInstance, HeadlessModelOfASecondStart) {
  temp_folder dir;
  HeadlessPlatform running(dir.path());
  HeadlessPlatform second(dir.path());
  const std::string name = "/game/zarvik";
  EXPECT_EQ(running.process.claim_single_instance(name), 0);
  EXPECT_TRUE(running.process.holds_instance());
  EXPECT_EQ(second.process.claim_single_instance(name), 1);
  EXPECT_FALSE(second.process.holds_instance());

  // The running copy learns it twice over: once through the process service,
  // once as an event for its frame loop.
  EXPECT_EQ(running.process.raise_requests_received(), 1);
  EXPECT_TRUE(running.process.take_raise_request());
  EXPECT_FALSE(running.process.take_raise_request());
  ui_event e;
  ASSERT_TRUE(running.ui.poll_event(e));
  EXPECT_EQ(e.message, msg_raise_request);
  EXPECT_FALSE(second.ui.poll_event(e));

  running.process.release_single_instance();
  EXPECT_EQ(second.process.claim_single_instance(name), 0);
  EXPECT_EQ(running.process.claim_single_instance("/other/zarvik"), 0);
}

TEST(SingleInstance, HeadlessHolderGoingAwayFreesTheName) {
  temp_folder dir;
  auto first = std::make_unique<HeadlessPlatform>(dir.path());
  EXPECT_EQ(first->process.claim_single_instance("x"), 0);
  first.reset();
  HeadlessPlatform next(dir.path());
  EXPECT_EQ(next.process.claim_single_instance("x"), 0);
}

TEST(SingleInstance, HeadlessClaimsFromManyThreadsGiveOneHolder) {
  temp_folder dir;
  std::vector<std::unique_ptr<HeadlessProcess>> procs;
  for (int i = 0; i < 8; ++i) procs.push_back(std::make_unique<HeadlessProcess>());
  std::vector<int> results(procs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < procs.size(); ++i)
    threads.emplace_back([&, i] { results[i] = procs[i]->claim_single_instance("race"); });
  for (auto& t : threads) t.join();
  int holders = 0, raises = 0;
  for (size_t i = 0; i < procs.size(); ++i) {
    holders += results[i] == 0;
    raises += procs[i]->raise_requests_received();
  }
  EXPECT_EQ(holders, 1);
  EXPECT_EQ(raises, 7);
}
