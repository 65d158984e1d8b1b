#include "platform/posix/host_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
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
