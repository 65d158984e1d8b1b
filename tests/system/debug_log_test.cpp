// The script debug log: the first append of a run replaces an old log under a
// dated header, later appends add, and past 10 MB a warning precedes lines.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "core/sjis.h"
#include "platform/headless/headless_platform.h"
#include "core/play_time.h"
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

TEST_F(debug_log_fixture, OverlappingPausesAreTakenOffOnce) {
  hp.clock.set(0xFFFFFF00u);  // across the tick's wrap
  start_play_time_counters(hp.clock.tick_ms());
  hp.clock.advance(50);
  hold_play_time(play_time_hold_explicit, hp.clock.tick_ms());
  hp.clock.advance(100);
  hold_play_time(play_time_hold_inactive, hp.clock.tick_ms());
  hp.clock.advance(100);
  release_play_time(play_time_hold_explicit, hp.clock.tick_ms());
  EXPECT_EQ(play_time_value(0, hp.clock.tick_ms()), 50);  // still held: inactive
  hp.clock.advance(100);
  release_play_time(play_time_hold_inactive, hp.clock.tick_ms());
  release_play_time(play_time_hold_inactive, hp.clock.tick_ms());  // not held: nothing
  EXPECT_EQ(play_time_value(0, hp.clock.tick_ms()), 50);  // 300 ms held, taken off once
  hp.clock.advance(10);
  EXPECT_EQ(play_time_value(0, hp.clock.tick_ms()), 60);
}
