// Command 103 through whole headless games: every sub-function, the folder
// list, the current folder, the edit box and the boxes answered by script.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "app/frame_loop.h"
#include "core/sjis.h"
#include "support/headless_game.h"
#include "system/file_list.h"
#include "system/system_dialogs.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

std::string errors_of(headless_game& g) {
  std::string s;
  for (const auto& e : g.errors()) s += std::to_string(e.code) + " " + e.text_utf8 + "\n";
  return s;
}

bool log_has(headless_game& g, const std::string& needle) {
  for (const std::string& line : g.log_lines())
    if (line.find(needle) != std::string::npos) return true;
  return false;
}

int log_count(headless_game& g, const std::string& needle) {
  int n = 0;
  for (const std::string& line : g.log_lines()) n += line.find(needle) != std::string::npos;
  return n;
}

const char* idle = "\n*idle\nwait 1\ngoto idle\n";

// Passes of the main loop: the window's messages, then a tick.
void run_loop(headless_game& game, int n) {
  for (int i = 0; i < n; ++i) {
    pump_messages();
    if (game.tick() != 0) break;
  }
}

}  // namespace

TEST(SystemCall, PlainSubFunctions) {
  headless_game game(std::string(R"(
global int v502 = 0
global real r502 = 0.0
global int none = 7
global int admin = -1
global int zero = 9
global string windows = ""
*SYSTEM_START
system_call function=1, output=v502
system_call function=1, output=r502
system_call function=99999, output=none
system_call function=81, output=none
system_call function=4294967297, output=none
system_call function=38, output=admin
system_call function=20021, output=zero
system_call function=21031, output=windows
system_call function=10
wait 1
system_call function=100
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.backend().process.set_administrator(true);
  game.run_ticks(3);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("v502"), 502);
  EXPECT_EQ(game.real_value("r502"), 502.0);
  EXPECT_EQ(game.int_value("none"), 7);
  EXPECT_EQ(game.int_value("admin"), 1);
  EXPECT_EQ(game.int_value("zero"), 0);
  EXPECT_EQ(game.text_value("windows"), "/usr/share");
  auto boxes = game.backend().ui.boxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().text, "COM:10 Deleted.");
  EXPECT_TRUE(boxes.back().flags & mb_system_modal);
  EXPECT_FALSE(game.backend().ui.window_visible(0));
}

TEST(SystemCall, StringOutputForNumberIsFatal) {
  headless_game game(std::string("global string s = \"\"\n*SYSTEM_START\nsystem_call function=1, output=s\n") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  ASSERT_FALSE(game.errors().empty());
  EXPECT_EQ(game.errors()[0].code, 101140);
}

TEST(SystemCall, WritesTextFilesAndCopiesResourcesInsideTheGameOnly) {
  headless_game game(std::string(R"(
*SYSTEM_START
system_call function=15, text1="out/note.txt", text2="hello"
system_call function=15, text1="notes.txt", text2="line"
system_call function=15, text1="..\\..\\escape.txt", text2="x"
system_call function=15, text1="c:\\windows\\x.txt", text2="x"
system_call function=12, text1="data/Thing.TXT", text2="copy.txt"
)") + idle);
  game.write_file("data/thing.txt", {'a', 'b', 'c'});
  mkdir((game.folder().path() + "/out").c_str(), 0755);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(read_all(game.folder().path() + "/out/note.txt"), "hello\r\n");
  EXPECT_EQ(read_all(game.folder().path() + "/notes.txt"), "line\r\n");
  EXPECT_EQ(read_all(game.folder().path() + "/copy.txt"), "abc");
  EXPECT_TRUE(log_has(game, "lies outside the game's folders"));
  EXPECT_TRUE(log_has(game, "is not a path of this system"));
}

TEST(SystemCall, FolderListFiltersAndMarksFolders) {
  headless_game game(std::string(R"(
global int count_png = 0
global int count_all = 0
global string first = ""
global string folder = ""
*SYSTEM_START
system_call function=21, text1="pics", text2="png"
count_png = file_count
first = files[0]
system_call function=21, text1="pics", text2="", i1=1
count_all = file_count
folder = files[4]
)") + idle);
  for (const char* f : {"pics/a.PNG", "pics/apng", "pics/b.png", "pics/c.jpg"}) game.write_file(f, {1});
  game.write_file("pics/sub/x.png", {1});
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("count_png"), 2);
  EXPECT_EQ(game.text_value("first"), "a.PNG");
  EXPECT_EQ(game.int_value("count_all"), 5);
  EXPECT_EQ(game.text_value("folder"), "sub/");
}

TEST(SystemCall, NineThousandFilesKeepTheFirst8192AndSayItOnce) {
  headless_game game(std::string(R"(
global int n = 0
global int after = 0
global int clamped = 0
*SYSTEM_START
system_call function=21, text1="many", text2=""
n = file_count
file_count = 100
after = file_count
file_count = 50000
clamped = file_count
)") + idle);
  ASSERT_EQ(game.start(), 0);
  std::string dir = game.folder().path() + "/many";
  mkdir(dir.c_str(), 0755);
  for (int i = 0; i < 9000; ++i) write_all(dir + "/f" + std::to_string(10000 + i), "");
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("n"), 8192);
  EXPECT_EQ(game.int_value("after"), 100);
  EXPECT_EQ(game.int_value("clamped"), 100);  // never past the names held
  int limit_boxes = 0;
  for (const auto& b : game.backend().ui.boxes())
    if (sjis_to_utf8(b.text) == "リストが 8192 個に達しました. 取得を中断します。") ++limit_boxes;
  EXPECT_EQ(limit_boxes, 1);
}

TEST(SystemCall, CurrentFolderMovesOnlyScriptPaths) {
  headless_game game(std::string(R"(
global int exists_here = 0
*SYSTEM_START
system_call function=32, text1="work"
system_call function=15, text1="inside.txt", text2="w"
file_exists folder="deeper", exists=1, output=exists_here
system_call function=32, text1="missing-folder"
system_call function=15, text1="second.txt", text2="w"
)") + idle);
  game.write_file("work/deeper/keep", {1});
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(read_all(game.folder().path() + "/work/inside.txt"), "w\r\n");
  EXPECT_EQ(read_all(game.folder().path() + "/work/second.txt"), "w\r\n");
  EXPECT_EQ(game.int_value("exists_here"), 1);
  // The engine's own files stay in the game folder.
  EXPECT_EQ(access((game.folder().path() + "/info.txt").c_str(), F_OK), 0);
  EXPECT_TRUE(log_has(game, "current folder not changed"));
}

TEST(SystemCall, FreeSpaceRegistryAndUrl) {
  headless_game game(std::string(R"(
global int space = -1
global int drive = -1
*SYSTEM_START
system_call function=34, output=space, text1="save"
system_call function=34, output=drive, text1="d:\\"
system_call function=33, text1="Software\\Maker", text2="Value"
system_call function=120, text1="https://example.org/"
system_call function=120, text1="file:///etc/passwd"
system_call function=120, text1="Manual/Index.html"
system_call function=120, text1="/etc/passwd"
system_call function=120, text1="../outside.html"
system_call function=120, text1="run.sh"
system_call function=120, text1="made.sh"
)") + idle);
  game.write_file("manual/index.html", {'<'});
  game.write_file("run.sh", {'e', 'c', 'h', 'o'});
  game.write_file("made.sh", {'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h'});
  ASSERT_EQ(game.start(), 0);
  chmod((game.folder().path() + "/run.sh").c_str(), 0755);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_GT(game.int_value("space"), 0);
  // The disk of the game (others write to it meanwhile: nearly the same).
  const double space = static_cast<double>(game.int_value("space"));
  EXPECT_NEAR(static_cast<double>(game.int_value("drive")), space, space * 0.01);
  EXPECT_FALSE(log_has(game, "registry delete"));  // it reaches the registry store now
  auto spawns = game.backend().process.spawns();
  ASSERT_EQ(spawns.size(), 2u);
  EXPECT_EQ(spawns[0], (std::vector<std::string>{"xdg-open", "https://example.org/"}));
  // A document the game ships opens; nothing outside it, nothing that runs.
  std::string base = game.folder().path();
  if (base.back() != '/') base += '/';
  EXPECT_EQ(spawns[1], (std::vector<std::string>{"xdg-open", base + "manual/index.html"}));
  EXPECT_EQ(log_count(game, "is neither a web address nor a document of the game"), 3);
  EXPECT_EQ(log_count(game, "open refused: [run.sh]"), 1);
  EXPECT_EQ(log_count(game, "open refused: [made.sh]"), 1);
}

TEST(SystemCall, EditBoxTakesTypedTextAndIsReplacedByASecond) {
  headless_game game(std::string(R"(
global string typed = ""
global string after_close = "x"
global int phase = 0
*SYSTEM_START
system_call function=10102, text1="first", i1=10, i2=20, i3=120, i4=20
system_call function=10102, text1="ab", i1=10, i2=20, i3=120, i4=20
system_call function=20005
phase = 1
wait 3
system_call function=10105, output=typed
system_call function=10103
system_call function=10105, output=after_close
system_call function=10104, text1="stale"
phase = 2
)") + idle);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  ASSERT_EQ(game.int_value("phase"), 1);
  HeadlessUi& ui = game.backend().ui;
  EXPECT_TRUE(ui.text_input_on());
  int x = -1, y = -1;
  headless_frame box = ui.overlay(0, 0, &x, &y);
  EXPECT_EQ(box.width, 120);
  EXPECT_EQ(box.height, 20);
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, 20);
  ui.press_key(0, 0x24);  // Home
  ui.type_text(0, "X");
  ui.press_key(0, 0x23);  // End
  ui.compose_text(0, utf8_to_sjis("に"), 1);
  ui.type_text(0, utf8_to_sjis("日本"));
  ui.press_key(0, 0x08);  // Backspace removes the whole last character
  run_loop(game, 5);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("phase"), 2);
  EXPECT_EQ(sjis_to_utf8(game.text_value("typed")), "Xab日");
  EXPECT_EQ(game.text_value("after_close"), "");
  EXPECT_EQ(ui.overlay(0, 0).width, 0);
  EXPECT_FALSE(ui.text_input_on());
}

TEST(SystemCall, EditBoxLimitAndReadLimitKeepWholeCharacters) {
  // 300 bytes set by the script: the box holds 256, reading gives them all.
  std::string listing = "global string t = \"\"\n*SYSTEM_START\nsystem_call function=10102, text1=\"" +
                        std::string(255, 'a') + "日\", i1=0, i2=0, i3=50, i4=20\n" +
                        "system_call function=10105, output=t\n" + idle;
  headless_game game(listing);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(1);
  EXPECT_EQ(game.text_value("t"), std::string(255, 'a'));  // the 2-byte character no longer fits
}

TEST(SystemCall, InputDialogAnsweredByTypingAndNoticeClosesByItself) {
  headless_game game(std::string(R"(
global int ok = -1
global int cancelled = -1
global string entered = ""
global int t0 = 0
global int t1 = 0
*SYSTEM_START
system_call function=10201, text1="name", output=ok
system_call function=10205, output=entered
system_call function=10201, text1="other", output=cancelled
t0 = clock
system_call function=41
t1 = clock
)") + idle);
  ASSERT_EQ(game.start(), 0);
  HeadlessUi& ui = game.backend().ui;
  ui.press_key(0, 0x08);
  ui.type_text(0, "Z");
  ui.press_key(0, 0x0D);  // OK
  ui.press_key(0, 0x1B);  // the second box: cancel
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("ok"), 1);
  EXPECT_EQ(game.text_value("entered"), "namZ");
  EXPECT_EQ(game.int_value("cancelled"), 0);
  EXPECT_EQ(game.int_value("t1") - game.int_value("t0"), 1000);
  EXPECT_EQ(ui.overlay(0, 1).width, 0);
}

TEST(SystemCall, FolderBrowserAndDebugLog) {
  headless_game game(std::string(R"(
global string chosen = "?"
global string none = "?"
*SYSTEM_START
system_call function=21000, text1="save", text2="Pick", output=chosen
system_call function=21000, text1="", text2="Pick", output=none
system_call function=52, text1="first"
system_call function=52, text1=""
)") + idle);
  game.write_file("debuglog.txt", {'o', 'l', 'd'});
  ASSERT_EQ(game.start(), 0);
  game.backend().ui.queue_folder_reply(true, "/home/user/Games");
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.text_value("chosen"), "/home/user/Games");
  EXPECT_EQ(game.text_value("none"), "");
  auto requests = game.backend().ui.folder_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].title, "Pick");
  EXPECT_NE(requests[0].initial.find("/save"), std::string::npos);
  const std::string log = read_all(game.folder().path() + "/debuglog.txt");
  const std::string ruler = "//----------------------------------------------------------------------------\n";
  EXPECT_EQ(sjis_to_utf8(log), ruler + "//■26/01/02 time=03:04:05\n" + ruler + "first\n\n");
}
