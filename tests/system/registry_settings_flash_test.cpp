// The registry store and command 65, the settings command's client size and
// play-time switches, and the Flash host with a fake player.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/play_time.h"
#include "core/window_state.h"
#include "platform/text_encoding.h"
#include "support/headless_game.h"
#include "system/flash_host.h"
#include "system/registry_store.h"

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string read_host_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Registry, ReadsMissingValuesUnknownRootsAndLongValues) {
  const std::string big(2000, 'v');
  headless_game g(R"(
global string found = "?"
global string missing = "?"
global string other_root = "?"
global string long = "?"
global int number = 5
*SYSTEM_START
registry key="HKEY_CURRENT_USER/Software/Maker/Game", value="Name", output=found
registry key="HKEY_CURRENT_USER/Software/Maker/Game", value="absent", output=missing
registry key="HKEY_NOWHERE/Software/Maker/Game", value="Name", output=other_root
registry key="HKEY_CURRENT_USER/Software/Maker/Game", value="big", output=long
registry key="HKEY_CURRENT_USER/Software/Maker/Game", value="name", output=number
*idle
wait 1
goto idle
)");
  g.write_file("registry.txt", bytes_of("[hkey_current_user\\software\\maker\\game]\n\"name\"=\"宝箱 \\\"A\\\"\"\n"
                                        "\"big\"=\"" + big + "\"\n"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_EQ(sjis_to_utf8(g.text_value("found")), "宝箱 \"A\"");
  EXPECT_EQ(g.text_value("missing"), "");
  EXPECT_EQ(g.text_value("other_root"), "?");  // left untouched
  EXPECT_EQ(g.text_value("long").size(), 1023u);
  EXPECT_EQ(g.int_value("number"), 5);  // number elements are left alone
  EXPECT_TRUE(g.error_codes().empty());
}

TEST(Registry, DeletesRewriteTheUsersFileAndKeepTheSeed) {
  headless_game g("*SYSTEM_START\n*idle\nwait 1\ngoto idle\n");
  g.write_file("registry.txt", bytes_of("[HKEY_CURRENT_USER\\Software\\M]\n\"a\"=\"1\"\n\"b\"=\"2\"\n"
                                        "[HKEY_CURRENT_USER\\Software\\M\\Sub]\n\"c\"=\"3\"\n"
                                        "[HKEY_CURRENT_USER\\Software\\Mx]\n\"d\"=\"4\"\n"));
  ASSERT_EQ(g.start(), 0);
  std::string v;
  ASSERT_TRUE(registry_read_value("HKEY_CURRENT_USER\\software\\m", "A", v));
  EXPECT_EQ(v, "1");
  EXPECT_FALSE(registry_delete_value("HKEY_CURRENT_USER\\Software\\M", "zzz"));
  EXPECT_TRUE(registry_delete_value("HKEY_CURRENT_USER\\Software\\M", "a"));
  EXPECT_FALSE(registry_read_value("HKEY_CURRENT_USER\\Software\\M", "a", v));
  const std::string file = registry_file_host();
  EXPECT_EQ(read_host_file(file).find("\"a\""), std::string::npos);
  EXPECT_NE(read_host_file(file).find("\"b\"=\"2\""), std::string::npos);
  // A key goes with the keys below it, not with a sibling sharing its prefix.
  EXPECT_TRUE(registry_delete_key("HKEY_CURRENT_USER\\Software\\M"));
  EXPECT_FALSE(registry_read_value("HKEY_CURRENT_USER\\Software\\M\\Sub", "c", v));
  EXPECT_TRUE(registry_read_value("HKEY_CURRENT_USER\\Software\\Mx", "d", v));
  // The next run reads the user's file, not the seed again.
  reset_registry_store();
  EXPECT_FALSE(registry_read_value("HKEY_CURRENT_USER\\Software\\M", "b", v));
  EXPECT_TRUE(registry_read_value("HKEY_CURRENT_USER\\Software\\Mx", "d", v));
  EXPECT_NE(read_host_file(g.folder().path() + "/registry.txt").find("\"a\""), std::string::npos);
}

TEST(Registry, RootNames) {
  struct row {
    const char* path;
    size_t length;
  } rows[] = {{"HKEY_CURRENT_USER\\x", 18}, {"HKEY_LOCAL_MACHINE\\", 19}, {"HKEY_DYN_DATA\\a", 14},
              {"HKEY_CURRENT_USER", 0},     {"hkey_current_user\\x", 0}, {"", 0}};
  for (const row& r : rows) EXPECT_EQ(registry_root_length(r.path), r.length) << r.path;
}

TEST(Settings, ClientSizeResizesTheMainWindow) {
  headless_game g(R"(
*SYSTEM_START
wait 2
system_settings width=320, height=200
system_settings width=0, height=100
system_settings width=400
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(4);
  const window_state* main = game_window_record(0);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->logical_width, 320);
  EXPECT_EQ(main->logical_height, 200);
  int w = 0, h = 0;
  ASSERT_TRUE(g.backend().ui.client_size(0, &w, &h));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 200);
  EXPECT_EQ(cpu_frame_buffer.output_width, 320);
  EXPECT_TRUE(g.error_codes().empty());
}

TEST(Settings, AnUnlimitedHeightIsRefused) {
  headless_game g("*SYSTEM_START\nwait 2\nsystem_settings width=8192, height=2000000000\n*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(4);
  EXPECT_EQ(g.error_codes(), (std::vector<int>{100010}));
  EXPECT_NE(game_window_record(0)->logical_height, 2000000000);
}

TEST(Settings, AStoppedCounterFallsBehindByItsStoppedSpan) {
  headless_game g(R"(
*SYSTEM_START
wait 2
system_settings play_time2=0
wait 10000 ms
system_settings play_time2=1
*idle
wait 1
goto idle
)");
  ASSERT_EQ(g.start(), 0);
  const uint32_t t0 = g.now_ms();
  while (g.now_ms() - t0 < 12000) g.run_ticks(1);
  const uint32_t now = g.now_ms();
  const int64_t behind = play_time_value(0, now) - play_time_value(1, now);
  EXPECT_NEAR(static_cast<double>(behind), 10000.0, 40.0);
}

// A fake Flash player: frames advance by one per query, the movie plays until
// its last frame, and every movie made is counted while it lives.
class FakeMovie final : public FlashMovie {
 public:
  explicit FakeMovie(int* live) : live_(live) { ++*live_; }
  ~FakeMovie() override { --*live_; }
  int64_t total_frames() override { return 30; }
  int64_t current_frame() override { return frame_ += 10; }
  bool playing() override { return frame_ < 30; }
  bool get_variable(const std::string& name, std::string& value) override {
    if (name != "zorvik") return false;
    value = "42";
    return true;
  }

 private:
  int* live_;
  int64_t frame_ = 0;
};

class FakeFlash final : public FlashBackend {
 public:
  std::unique_ptr<FlashMovie> open_movie(const std::string& path, int x, int y, int w, int h) override {
    last_path = path;
    rect[0] = x, rect[1] = y, rect[2] = w, rect[3] = h;
    ++opened;
    return std::make_unique<FakeMovie>(&live);
  }
  std::string last_path;
  int rect[4] = {};
  int opened = 0, live = 0;
};

const char* const flash_listing = R"(
global int frame_before = -1
global int frame = -1
global int total = -1
global int user = -1
global int playing = -1
global int var = -1
global int width = -1
global int after = -1
*SYSTEM_START
flash_query frame=1, output=frame_before
flash_open file="Movies/Intro.swf", x=10, y=20, width=100, height=50, start=1, user_value=7
flash_open start=1, user_value=8
flash_query frame=1, output=frame
flash_query total_frames=1, output=total
flash_query user_value=1, output=user
flash_query playing=1, output=playing
flash_query variable=1, output=var
flash_query width=1, output=width
flash_close
flash_query total_frames=1, output=after
*idle
wait 1
goto idle
)";

TEST(Flash, StateMachineWithAFakePlayer) {
  FakeFlash fake;
  headless_game g(flash_listing);
  g.write_file("movies/intro.swf", bytes_of("FWS"));
  ASSERT_EQ(g.start(), 0);
  g.backend().services.flash = &fake;
  g.run_ticks(2);
  EXPECT_EQ(g.int_value("frame_before"), 0);  // cleared: no movie started
  EXPECT_EQ(fake.opened, 2);
  EXPECT_EQ(fake.live, 0);  // the second start ended the first; close ended the second
  EXPECT_EQ(fake.rect[0], 10);
  EXPECT_EQ(fake.rect[2], 100);
  EXPECT_NE(fake.last_path.find("intro.swf"), std::string::npos);
  EXPECT_EQ(g.int_value("frame"), 10);
  EXPECT_EQ(g.int_value("total"), 30);
  EXPECT_EQ(g.int_value("user"), 8);
  EXPECT_EQ(g.int_value("playing"), 1);
  EXPECT_EQ(g.int_value("var"), 42);
  EXPECT_EQ(g.int_value("width"), 100);
  EXPECT_EQ(g.int_value("after"), 0);
  EXPECT_TRUE(g.error_codes().empty());
}

TEST(Flash, WithoutAPlayerScriptsGoOnAndOneLineSaysSo) {
  headless_game g(flash_listing);
  g.write_file("movies/intro.swf", bytes_of("FWS"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_EQ(g.int_value("playing"), 0);  // a wait for the end goes on at once
  EXPECT_EQ(g.int_value("total"), 0);
  EXPECT_EQ(g.int_value("user"), 8);
  int lines = 0;
  for (const std::string& l : g.log_lines()) lines += l.find("Flash movies cannot play") != std::string::npos;
  EXPECT_EQ(lines, 1);
  EXPECT_TRUE(g.error_codes().empty());
}

TEST(Flash, MissingOrOutsideMoviesAreFatal) {
  for (const char* name : {"none.swf", "../outside.swf", "/etc/hostname"}) {
    headless_game g(std::string("*SYSTEM_START\nflash_open file=\"") + name + "\"\n*idle\nwait 1\ngoto idle\n");
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), (std::vector<int>{104060})) << name;
  }
}

}  // namespace

// The system call's deletions (33: a user value and then its key; 36: a
// machine value; 37: a machine key) reach the registry store, paths written
// with '/' as scripts may.
TEST(Registry, SystemCallDeletesReachTheStore) {
  headless_game g(R"(
*SYSTEM_START
system_call function=33, text1="Software/U", text2="a"
system_call function=36, text1="Software/V", text2="x"
system_call function=37, text1="Software/W"
*idle
wait 1
goto idle
)");
  g.write_file("registry.txt", bytes_of("[HKEY_CURRENT_USER\\Software\\U]\n\"a\"=\"1\"\n\"b\"=\"2\"\n"
                                        "[HKEY_LOCAL_MACHINE\\Software\\V]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"
                                        "[HKEY_LOCAL_MACHINE\\Software\\W]\n\"z\"=\"1\"\n"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.error_codes().empty());
  std::string v;
  EXPECT_FALSE(registry_read_value("HKEY_CURRENT_USER\\Software\\U", "b", v));  // the key went too
  EXPECT_FALSE(registry_read_value("HKEY_LOCAL_MACHINE\\Software\\V", "x", v));
  EXPECT_TRUE(registry_read_value("HKEY_LOCAL_MACHINE\\Software\\V", "y", v));
  EXPECT_FALSE(registry_read_value("HKEY_LOCAL_MACHINE\\Software\\W", "z", v));
}
