// info.txt: the dated header once per run, the tag filter, cut entries, and
// whole lines when several threads write at once.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace {
struct info_log_test : ::testing::Test {
  engine_fixture engine;
  std::string log() {
    std::vector<uint8_t> bytes;
    engine.host.files->read_file("info.txt", bytes);
    return std::string(bytes.begin(), bytes.end());
  }
};
const std::string dashes = "//" + std::string(76, '-') + "\n";
}  // namespace

TEST_F(info_log_test, HeaderPrecedesOnlyTheFirstEntryOfARun) {
  engine.host.clock.set_local_time({2031, 4, 9, 7, 8, 9, 0, 3});
  write_info_log("", "first");
  write_info_log(nullptr, "second");
  write_info_log("ERR", "third");
  write_info_log("ACT", "fourth");
  std::string expected = dashes + "//" + utf8_to_sjis("■") + "31/04/09 time=07:08:09\n" + dashes +
                         "first\nsecond\nthird\nfourth\n";
  EXPECT_EQ(log(), expected);
}

TEST_F(info_log_test, OtherTagsAreDropped) {
  write_info_log("DBG", "dropped");
  write_info_log("err", "dropped too");
  EXPECT_EQ(log(), "");
  EXPECT_EQ(info_log_state.header_due, 1);  // nothing written, the header still waits
}

TEST_F(info_log_test, HeaderWaitsWhileTheLogCannotBeWritten) {
  engine.game.write("info.txt/blocker", std::string("x"));  // a folder named info.txt
  write_info_log("", "lost");
  EXPECT_EQ(info_log_state.header_due, 1);
  engine.host.files->remove_file("info.txt/blocker");
  engine.host.files->remove_folder("info.txt");
  write_info_log("", "kept");
  EXPECT_EQ(log().substr(0, dashes.size()), dashes);
  EXPECT_NE(log().find("kept\n"), std::string::npos);
}

TEST_F(info_log_test, LongEntriesAreCut) {
  write_info_log("", std::string(10000, 'q'));
  std::string text = log();
  size_t start = text.find('q');
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(text.size() - start, info_log_entry_limit + 1);
}

TEST_F(info_log_test, ConcurrentWritersNeverMixLines) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      std::string line = "writer-" + std::to_string(t) + "-" + std::string(200, static_cast<char>('a' + t));
      for (int i = 0; i < 100; ++i) write_info_log("", line);
    });
  for (auto& w : writers) w.join();
  std::istringstream in(log());
  std::string line;
  int entries = 0, headers = 0;
  while (std::getline(in, line)) {
    if (line.rfind("//", 0) == 0) {
      ++headers;
      continue;
    }
    ++entries;
    ASSERT_EQ(line.size(), 9u + 200) << line;
    EXPECT_EQ(line.find_first_not_of(static_cast<char>('a' + (line[7] - '0')), 9), std::string::npos);
  }
  EXPECT_EQ(entries, 400);
  EXPECT_EQ(headers, 3);
}
