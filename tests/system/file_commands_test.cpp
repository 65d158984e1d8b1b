// Commands 19 and 20 through whole headless games in temporary folders: the
// folder, copy and delete operations with their containment, starting and
// waiting for programs, preloads, picture writing and the existence tests.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "app/frame_loop.h"
#include "core/sjis.h"
#include "resources/resource_locator.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
std::string errors_of(headless_game& g) {
  std::string s;
  for (const auto& e : g.errors()) s += std::to_string(e.code) + " " + e.text_utf8 + "\n";
  return s;
}
int log_count(headless_game& g, const std::string& needle) {
  int n = 0;
  for (const std::string& line : g.log_lines()) n += line.find(needle) != std::string::npos;
  return n;
}
const char* idle = "\n*idle\nwait 1\ngoto idle\n";

}  // namespace

TEST(FileOperation, FoldersCopiesAndDeletesStayInsideTheGame) {
  temp_folder outside;
  std::string out = outside.path();
  headless_game game(std::string(R"(
*SYSTEM_START
file folder="made/deeper", create=1
file path="src.txt", destination="made/deeper/copy.txt", copy=1
file path="old.txt", delete=1
file folder="empty", delete=1
file folder="..\\..\\escaped", create=1
file path="src.txt", destination=")") + out + R"(/stolen.txt", copy=1
file path="link/inside-target.txt", destination="link/x.txt", copy=1
file path=")" + out + R"(/victim.txt", delete=1
file folder="c:\\windows\\temp", create=1
file path="src.txt", destination="\\\\server\\share\\x.txt", copy=1
)" + idle);
  game.write_file("src.txt", {'s', 'r', 'c'});
  game.write_file("old.txt", {'o'});
  game.write_file("empty/.keep", {});
  std::ofstream(out + "/victim.txt") << "keep me";
  ASSERT_EQ(game.start(), 0);
  const std::string dir = game.folder().path();
  unlink((dir + "/empty/.keep").c_str());
  ASSERT_EQ(symlink(out.c_str(), (dir + "/link").c_str()), 0);
  std::ofstream(out + "/inside-target.txt") << "t";
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(read_all(dir + "/made/deeper/copy.txt"), "src");
  EXPECT_FALSE(exists(dir + "/old.txt"));
  EXPECT_FALSE(exists(dir + "/empty"));
  EXPECT_FALSE(exists(dir + "/../../escaped"));
  EXPECT_FALSE(exists(out + "/stolen.txt"));
  EXPECT_FALSE(exists(out + "/x.txt"));  // through a link that leads out
  EXPECT_EQ(read_all(out + "/victim.txt"), "keep me");
  EXPECT_EQ(log_count(game, "lies outside the game's folders"), 4);
  EXPECT_EQ(log_count(game, "is not a path of this system"), 2);
}

TEST(FileOperation, CopyOverwritesThroughATemporaryFile) {
  headless_game game(std::string("*SYSTEM_START\nfile path=\"a.txt\", destination=\"b.txt\", copy=1\n"
                                 "file path=\"missing.txt\", destination=\"b.txt\", copy=1\n") + idle);
  game.write_file("a.txt", {'n', 'e', 'w'});
  game.write_file("b.txt", {'o', 'l', 'd', '!'});
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(read_all(game.folder().path() + "/b.txt"), "new");  // the failed copy left it
}

TEST(FileOperation, StartsProgramsByArgvAndDocumentsThroughTheDesktop) {
  headless_game game(std::string(R"(
*SYSTEM_START
file path="tool.sh", start=1, parameters="-a \"two words\" b"
file path="readme.txt", start=1, parameters="ignored"
file path="/bin/true", start=1
file path="missing.sh", start=1
)") + idle);
  game.write_file("tool.sh", {'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'});
  game.write_file("readme.txt", {'r'});
  ASSERT_EQ(game.start(), 0);
  const std::string dir = game.folder().path();
  chmod((dir + "/tool.sh").c_str(), 0755);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  auto spawns = game.backend().process.spawns();
  ASSERT_EQ(spawns.size(), 2u);
  std::string base = dir.back() == '/' ? dir : dir + "/";
  EXPECT_EQ(spawns[0], (std::vector<std::string>{base + "tool.sh", "-a", "two words", "b"}));
  EXPECT_EQ(spawns[1], (std::vector<std::string>{"xdg-open", base + "readme.txt"}));
  EXPECT_EQ(log_count(game, "lies outside the game's folders"), 1);  // /bin/true
}

TEST(FileOperation, StartAndWaitKeepsTheWindowAndReapsTheChild) {
  headless_game game(std::string(R"(
global int after = 0
*SYSTEM_START
file path="tool.sh", start_wait=1
after = 1
)") + idle);
  game.write_file("tool.sh", {'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n', 's', 'l', 'e', 'e', 'p', ' ', '0',
                              '.', '3', '\n'});
  ASSERT_EQ(game.start(), 0);
  chmod((game.folder().path() + "/tool.sh").c_str(), 0755);
  HeadlessProcess& process = game.backend().process;
  process.use_real_children(true);
  // While the script waits, the window's messages are handled: a repaint and
  // a resize posted now are taken before the child ends.
  game.backend().ui.user_resize(0, 320, 200, 0);
  game.run_ticks(1);
  EXPECT_EQ(game.int_value("after"), 1);
  EXPECT_EQ(process.live_children(), 0);
  EXPECT_EQ(process.released_children(), 0);
  // The resize was handled inside the wait, not left for later.
  ui_event e;
  while (game.backend().ui.poll_event(e)) EXPECT_NE(e.message, msg_size);
  EXPECT_EQ(errors_of(game), "");
}

TEST(FileOperation, QuitEndsAWaitAndTheChildRunsOn) {
  headless_game game(std::string(R"(
global int after = 0
*SYSTEM_START
file path="tool.sh", start_wait=1
after = 1
)") + idle);
  game.write_file("tool.sh", {'#', '!'});
  ASSERT_EQ(game.start(), 0);
  chmod((game.folder().path() + "/tool.sh").c_str(), 0755);
  HeadlessProcess& process = game.backend().process;
  process.set_child_polls(1000000);  // a child that never ends by itself
  ui_event close;
  close.message = msg_close;
  game.backend().ui.post_event(close);
  game.backend().ui.queue_reply(id_yes);  // "終了します。よろしいですか？"
  game.run_ticks(1);
  EXPECT_EQ(process.released_children(), 1);
  EXPECT_EQ(message_loop.running, 0);
}

TEST(FileOperation, PreloadsAndPictureWriting) {
  headless_game game(std::string(R"(
global int result = 0
*SYSTEM_START
file path="pic.png", preload_picture=2
file path="snd", preload_sound=4
file path="shot", layer="nolayer"
)") + idle);
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G'};
  game.add_resource("pic.png", png, 2);
  game.add_resource("snd.wav", {'R', 'I', 'F', 'F'}, 5);
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(resource_memory_caches.groups[1].slots.size(), 1u);
  EXPECT_EQ(resource_memory_caches.groups[3].slots.size(), 1u);
  ASSERT_FALSE(game.errors().empty());
  EXPECT_EQ(game.errors()[0].code, 101250);
}

TEST(FileExists, FoldersFilesPicturesSoundsSizesAndPrograms) {
  headless_game game(std::string(R"(
global int folder_yes = -1
global int folder_file = -1
global int folder_wild = -1
global int file_yes = -1
global int file_no = -1
global int pic = -1
global int snd = -1
global int big = -1
global int folder_size = -1
global string program = "?"
global string document = "?"
global string folder_program = "?"
global int program_number = -1
*SYSTEM_START
file_exists folder="Data", exists=1, output=folder_yes
file_exists folder="data/a.txt", exists=1, output=folder_file
file_exists folder="d*", exists=1, output=folder_wild
file_exists file="DATA/A.TXT", exists=1, output=file_yes
file_exists file="data/none.txt", exists=1, output=file_no
file_exists picture="pic", exists=1, output=pic
file_exists sound="snd", exists=1, output=snd
file_exists file="big.bin", size=1, output=big
file_exists folder="data", size=1, output=folder_size
file_exists file="tool.sh", program=1, output=program
file_exists file="data/a.txt", program=1, output=document
file_exists folder="data", program=1, output=folder_program
file_exists file="tool.sh", program=1, output=program_number
)") + idle);
  game.write_file("data/a.txt", {'a'});
  game.write_file("tool.sh", {'#', '!'});
  game.add_resource("pic.png", {0x89, 'P', 'N', 'G'}, 2);
  game.add_resource("snd.ogg", {'O', 'g', 'g', 'S'}, 6);
  ASSERT_EQ(game.start(), 0);
  const std::string dir = game.folder().path();
  chmod((dir + "/tool.sh").c_str(), 0755);
  int fd = open((dir + "/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 5000000000LL), 0);  // sparse: 5 GB without the disk
  close(fd);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  EXPECT_EQ(game.int_value("folder_yes"), 1);
  EXPECT_EQ(game.int_value("folder_file"), 0);
  EXPECT_EQ(game.int_value("folder_wild"), 0);
  EXPECT_EQ(game.int_value("file_yes"), 1);
  EXPECT_EQ(game.int_value("file_no"), 0);
  EXPECT_EQ(game.int_value("pic"), 1);
  EXPECT_EQ(game.int_value("snd"), 1);
  EXPECT_EQ(game.int_value("big"), 5000000000LL);
  EXPECT_EQ(game.int_value("folder_size"), 0);
  EXPECT_EQ(game.text_value("program"), "tool.sh");
  EXPECT_EQ(game.text_value("document"), "");
  EXPECT_EQ(game.text_value("folder_program"), "");
  EXPECT_EQ(game.int_value("program_number"), 0);
}

// Command 19 writes a layer's picture through the picture writers, with the
// format's extension added: a 3 x 2 BMP is 78 bytes; PNG and JPEG start with
// their signatures.
TEST(FileOperation, WritesALayersPictureInEachFormat) {
  headless_game game(std::string(R"(
*SYSTEM_START
layer path="pic", file="", width=3, height=2, priority=1
file path="shot", layer="pic", bmp=1
file path="shot", layer="pic", png=1
file path="shot", layer="pic", jpeg=1, level=80
)") + "*idle\nwait 1\ngoto idle\n");
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(2);
  EXPECT_EQ(errors_of(game), "");
  const std::string dir = game.folder().path();
  EXPECT_EQ(read_all(dir + "shot.bmp").size(), 78u);
  EXPECT_EQ(read_all(dir + "shot.png").substr(0, 4), "\x89PNG");
  EXPECT_EQ(read_all(dir + "shot.jpg").substr(0, 2), "\xFF\xD8");
}
