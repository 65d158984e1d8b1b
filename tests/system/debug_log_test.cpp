// The script debug log: the first append of a run replaces an old log under a
// dated header, later appends add, and past 10 MB a warning precedes lines.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "core/sjis.h"
#include "platform/headless/headless_platform.h"
#include "script/play_time_pause.h"
#include "script/scheduler.h"
#include "support/temp_folder.h"
#include "system/debug_log.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

const std::string ruler = "//----------------------------------------------------------------------------\n";

struct debug_log_fixture : ::testing::Test {
  temp_folder dir;
  HeadlessPlatform hp{dir.path()};
  std::string path() { return dir.path() + "debuglog.txt"; }
  void SetUp() override {
    debug_log = debug_log_record{};
    hp.clock.set_local_time({2031, 7, 8, 9, 10, 11, 0, 2});
  }
  // A log of `size` bytes without writing them (sparse).
  void make_log_of(off_t size) {
    int fd = ::open(path().c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  }
};

}  // namespace

TEST_F(debug_log_fixture, FirstAppendReplacesTheOldLogUnderAHeader) {
  std::ofstream(path()) << "from the last run\n";
  append_debug_log("one");
  append_debug_log("");  // an empty text still ends its line
  append_debug_log(utf8_to_sjis("二"));
  EXPECT_EQ(sjis_to_utf8(read_all(path())), ruler + "//■31/07/08 time=09:10:11\n" + ruler + "one\n\n二\n");
  delete_debug_log();
  EXPECT_NE(::access(path().c_str(), F_OK), 0);
  append_debug_log("after delete");  // the header came once per run
  EXPECT_EQ(read_all(path()), "after delete\n");
}

TEST_F(debug_log_fixture, WarningOnlyPastTenMegabytes) {
  debug_log.first_line = 0;  // keep the prepared file
  const std::string warning = utf8_to_sjis(
      "log が 10MB を超えました。\n\nこのまま続けていくと動作が遅くなっていく可能性があります。\n\n"
      "_ROUTE.TXT を削除していただくか、\n別の場所に待避させてください。");
  make_log_of(10485759);
  append_debug_log("x");
  std::string tail = read_all(path()).substr(10485759);
  EXPECT_EQ(tail, "x\n");
  make_log_of(10485760);
  append_debug_log("y");
  tail = read_all(path()).substr(10485760);
  EXPECT_EQ(tail, warning + "y\n");
}

TEST_F(debug_log_fixture, UnwritableLogKeepsTheHeaderDue) {
  ASSERT_EQ(::mkdir(path().c_str(), 0755), 0);  // a folder where the log should be
  append_debug_log("lost");
  EXPECT_EQ(debug_log.first_line, 1);
  ::rmdir(path().c_str());
  append_debug_log("kept");
  EXPECT_NE(read_all(path()).find(ruler), std::string::npos);
}

namespace {
uint32_t excluded = 0;
int exclusions = 0;
void exclude(uint32_t span) {
  excluded += span;
  ++exclusions;
}
}  // namespace

TEST_F(debug_log_fixture, OverlappingPausesAreTakenOffOnce) {
  play_time_pause = play_time_pause_record{};
  scheduler_hooks.exclude_play_time = exclude;
  excluded = 0;
  exclusions = 0;
  hp.clock.set(0xFFFFFF00u);  // across the tick's wrap
  pause_play_time(pause_reason_script);
  hp.clock.advance(100);
  pause_play_time(pause_reason_inactive);
  hp.clock.advance(100);
  resume_play_time(pause_reason_script);
  EXPECT_EQ(exclusions, 0);  // still inactive
  hp.clock.advance(100);
  resume_play_time(pause_reason_inactive);
  resume_play_time(pause_reason_inactive);  // not held: nothing
  EXPECT_EQ(exclusions, 1);
  EXPECT_EQ(excluded, 300u);
  scheduler_hooks.exclude_play_time = nullptr;
}
