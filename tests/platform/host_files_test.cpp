#include "platform/posix/host_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/sjis.h"
#include "support/temp_folder.h"

TEST(HostFiles, CaseInsensitiveComponentsAndSjisNames) {
  temp_folder dir;
  dir.write("Data/BG/Title.PNG", std::string("png"));
  dir.write("ゲーム/表.txt", std::string("jp"));
  PosixHostFiles files(dir.path());
  std::vector<uint8_t> out;
  ASSERT_TRUE(files.read_file("data\\bg\\title.png", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "png");
  ASSERT_TRUE(files.read_file(utf8_to_sjis("ゲーム\\表.TXT"), out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "jp");
  EXPECT_EQ(files.kind("DATA"), host_entry_kind::folder);
  EXPECT_EQ(files.kind("data/none"), host_entry_kind::missing);
  EXPECT_FALSE(files.read_file("data", out));  // a folder is never read as a file
}

TEST(HostFiles, WritesStayInsideTheRoots) {
  temp_folder dir;
  temp_folder outside;
  dir.write("sub/keep.txt", std::string("x"));
  PosixHostFiles files(dir.path() + "game/");
  ::mkdir((dir.path() + "game").c_str(), 0755);
  EXPECT_TRUE(files.write_file("a.txt", "1", 1));
  EXPECT_FALSE(files.write_file("..\\sub\\keep.txt", "2", 1));
  EXPECT_FALSE(files.remove_file("../sub/keep.txt"));
  EXPECT_FALSE(files.write_file(outside.path() + "x.txt", "3", 1));
  // A link inside the game folder that points out of it is no way out.
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir.path() + "game/link").c_str()), 0);
  EXPECT_FALSE(files.write_file("link/evil.txt", "4", 1));
  files.add_write_root(outside.path());
  EXPECT_TRUE(files.write_file(outside.path() + "x.txt", "3", 1));
}

TEST(HostFiles, ReplaceKeepsOldFileOnFailureAndReplacesAtomically) {
  temp_folder dir;
  PosixHostFiles files(dir.path());
  ASSERT_TRUE(files.replace_file("save.sd", "old", 3));
  ASSERT_TRUE(files.replace_file("save.sd", "newer", 5));
  std::vector<uint8_t> out;
  ASSERT_TRUE(files.read_file("save.sd", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "newer");
  EXPECT_FALSE(files.replace_file("missing-folder/save.sd", "x", 1));
  EXPECT_EQ(files.list_folder("").size(), 1u);  // no temporary left behind
}

TEST(HostFiles, ASaveKilledMidWriteLeavesOneFileAfterTheNextSave) {
  temp_folder dir;
  PosixHostFiles files(dir.path());
  ASSERT_TRUE(files.replace_file("save01.sd", "old", 3));
  // A child writes a large save and is killed between its temporary file and
  // the rename; the big write keeps that window wide open.
  const size_t big = size_t{256} << 20;
  void* block = ::mmap(nullptr, big, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    files.replace_file("save01.sd", block, big);
    ::_exit(0);
  }
  auto temporaries = [&] {
    std::vector<std::string> names;
    for (const host_folder_entry& e : files.list_folder(""))
      if (e.name.rfind("save01.sd.tmp", 0) == 0) names.push_back(e.name);
    return names;
  };
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (temporaries().empty() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::munmap(block, big);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the write ended before it could be killed";
  ASSERT_EQ(temporaries().size(), 1u);
  std::vector<uint8_t> out;
  ASSERT_TRUE(files.read_file("save01.sd", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "old");  // the save itself is intact

  // Look-alikes that are not this file's leftovers stay.
  for (const char* other : {"save01.sd.tmp", "save01.sd.tmpABCDEFG", "save02.sd.tmpABCDEF", "xsave01.sd.tmpABCDEF"})
    dir.write(other, std::string("keep"));
  ASSERT_TRUE(files.replace_file("save01.sd", "new", 3));
  ASSERT_TRUE(files.read_file("save01.sd", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "new");
  std::vector<std::string> names;
  for (const host_folder_entry& e : files.list_folder("")) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"save01.sd", "save01.sd.tmp", "save01.sd.tmpABCDEFG",
                                             "save02.sd.tmpABCDEF", "xsave01.sd.tmpABCDEF"}));
}

TEST(HostFiles, ReadAtIsBounded) {
  temp_folder dir;
  dir.write("p.kpf", std::string("0123456789"));
  PosixHostFiles files(dir.path());
  auto f = files.open_read("P.KPF");
  ASSERT_TRUE(f);
  char buf[4];
  EXPECT_TRUE(f->read_at(6, buf, 4));
  EXPECT_FALSE(f->read_at(7, buf, 4));
  EXPECT_FALSE(f->read_at(~0ull, buf, 1));
}

TEST(HostFiles, ScriptPathsRefuseOtherSystemsAndFollowTheScriptFolder) {
  temp_folder dir;
  dir.write("Work/Deep/a.txt", std::string("a"));
  PosixHostFiles files(dir.path());
  struct row {
    const char* in;
    bool ok;
    const char* out;
  };
  const row rows[] = {
      {"data\\x.txt", true, "data/x.txt"},      {"c:\\windows\\x", false, ""}, {"Z:x", false, ""},
      {"\\\\server\\share\\x", false, ""},     {"//server/share", false, ""}, {"\\tmp\\x", true, "/tmp/x"},
      {"..\\..\\x", true, "../../x"},           {"", true, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.in);
    std::string out = "?";
    EXPECT_EQ(files.script_path(r.in, out), r.ok);
    if (r.ok) {
      EXPECT_EQ(out, r.out);
    }
  }
  // The script folder moves relative paths (and only them); a missing
  // folder leaves it where it was.
  std::string game = utf8_to_sjis(files.game_folder_host());
  EXPECT_EQ(files.script_folder(), game);
  EXPECT_FALSE(files.set_script_folder("nowhere"));
  ASSERT_TRUE(files.set_script_folder("work\\DEEP"));
  std::string out;
  ASSERT_TRUE(files.script_path("a.txt", out));
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(files.read_file(out, bytes));
  EXPECT_EQ(files.kind("a.txt"), host_entry_kind::missing);  // the engine's own paths did not move
  ASSERT_TRUE(files.set_script_folder(".."));
  ASSERT_TRUE(files.script_path("deep/a.txt", out));
  EXPECT_TRUE(files.read_file(out, bytes));
  // Round trip: the folder handed to scripts names the same folder again.
  std::string again = files.script_folder();
  ASSERT_TRUE(files.set_script_folder(again));
  EXPECT_EQ(files.script_folder(), again);
}

TEST(HostFiles, CopyFreeSpaceAndExecutables) {
  temp_folder dir;
  temp_folder outside;
  dir.write("from.txt", std::string("new"));
  dir.write("to.txt", std::string("old"));
  dir.write("run.sh", std::string("#!/bin/sh\n"));
  ::chmod((dir.path() + "run.sh").c_str(), 0755);
  PosixHostFiles files(dir.path());
  EXPECT_TRUE(files.copy_file("from.txt", "to.txt"));
  std::vector<uint8_t> out;
  ASSERT_TRUE(files.read_file("to.txt", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "new");
  EXPECT_FALSE(files.copy_file("missing.txt", "to.txt"));
  EXPECT_FALSE(files.copy_file("from.txt", outside.path() + "x.txt"));  // destination outside
  EXPECT_TRUE(files.copy_file(outside.path() + "../" + "none", "y.txt") == false);
  // No temporary file is left behind by either.
  int entries = 0;
  for (const auto& e : files.list_folder("")) entries += e.name.find(".tmp") != std::string::npos;
  EXPECT_EQ(entries, 0);
  uint64_t space = 0;
  EXPECT_TRUE(files.free_space("", &space));
  EXPECT_GT(space, 0u);
  uint64_t for_missing = 0;
  EXPECT_TRUE(files.free_space("not/yet/made", &for_missing));  // the file system that would hold it
  EXPECT_GT(for_missing, 0u);
  EXPECT_TRUE(files.is_executable("run.sh"));
  EXPECT_FALSE(files.is_executable("from.txt"));
  EXPECT_FALSE(files.is_executable(""));  // a folder
}

// The player's own folders of a game: made on the first write, matched in any
// case before they exist; a file root admits that one file only; a dangling
// link is no place to write; a temporary folder name planted by someone else
// gives no root; appending drops an execute bit.
TEST(HostFiles, OwnFoldersFileRootsAndWhatWritingLeaves) {
  temp_folder dir, outside;
  ::mkdir((dir.path() + "game").c_str(), 0755);
  PosixHostFiles files(dir.path() + "game/");
  files.add_own_folder(own_folder::data, dir.path() + "data/zarvik/Game-1/");
  files.add_write_file(dir.path() + "config/zarvik/registry/Game-1.txt");
  EXPECT_EQ(files.own_folder_host(own_folder::data), dir.path() + "data/zarvik/Game-1/");
  EXPECT_FALSE(dir.exists("data"));  // nothing made before a write
  EXPECT_TRUE(files.make_folder(dir.path() + "data/zarvik/game-1/maker/game"));  // as command 19 lower-cases
  EXPECT_TRUE(dir.exists("data/zarvik/Game-1/maker/game"));
  EXPECT_TRUE(files.write_file(dir.path() + "data/zarvik/game-1/maker/game/s.dat", "s", 1));
  EXPECT_TRUE(dir.exists("data/zarvik/Game-1/maker/game/s.dat"));
  struct stat st {};
  ASSERT_EQ(::stat((dir.path() + "data/zarvik/Game-1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(files.write_file(dir.path() + "data/zarvik/other.txt", "x", 1));
  EXPECT_FALSE(files.write_file(dir.path() + "data/x.txt", "x", 1));
  EXPECT_TRUE(files.replace_file(dir.path() + "config/zarvik/registry/Game-1.txt", "[k]", 3));
  EXPECT_FALSE(files.replace_file(dir.path() + "config/zarvik/registry/Game-2.txt", "[k]", 3));
  EXPECT_FALSE(files.make_folder(dir.path() + "config/zarvik/registry/Game-1.txt"));

  ASSERT_EQ(::symlink((outside.path() + "made.txt").c_str(), (dir.path() + "game/dangling").c_str()), 0);
  EXPECT_FALSE(files.write_file("dangling", "x", 1));
  EXPECT_FALSE(files.append_file("dangling", "x", 1));
  EXPECT_FALSE(files.make_folder("dangling"));
  EXPECT_FALSE(outside.exists("made.txt"));

  // Someone else's link at the temporary folder's name: no root, nothing made.
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir.path() + "planted").c_str()), 0);
  files.add_own_folder(own_folder::temp, dir.path() + "planted/");
  EXPECT_EQ(files.own_folder_host(own_folder::temp), "");
  EXPECT_FALSE(files.write_file(dir.path() + "planted/x.txt", "x", 1));
  ::mkdir((dir.path() + "mine").c_str(), 0777);
  files.add_own_folder(own_folder::temp, dir.path() + "mine");
  EXPECT_EQ(files.own_folder_host(own_folder::temp), dir.path() + "mine/");
  ASSERT_EQ(::stat((dir.path() + "mine").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Appending to a program leaves data (writes and copies: the real player's test).
  dir.write("game/a.sh", std::string("#!/bin/sh\n"));
  ::chmod((dir.path() + "game/a.sh").c_str(), 0755);
  EXPECT_TRUE(files.append_file("a.sh", "x", 1));
  EXPECT_FALSE(files.is_executable("a.sh"));
  EXPECT_TRUE(files.in_game_folder("a.sh"));
  EXPECT_FALSE(files.in_game_folder(dir.path() + "mine/x"));
}
