#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "child_helper.h"
#include "core/sjis.h"
#include "platform/posix/process.h"
#include "support/temp_folder.h"

namespace {

std::vector<std::string> split_nul(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find('\0', i);
    out.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

}  // namespace

TEST(ProgramPath, ReachedThroughALinkIsTheLinksPath) {
  temp_folder dir;
  ASSERT_EQ(mkdir((dir.path() + "my game").c_str(), 0755), 0);
  std::string link = dir.path() + "my game/zarvik";
  ASSERT_EQ(symlink(self_program_path().c_str(), link.c_str()), 0);

  // Started by its full path.
  pid_t c = start_child(link, {"--zarvik-child", "path", dir.path() + "a"});
  ASSERT_GT(c, 0);
  EXPECT_EQ(wait_child(c), 0);
  EXPECT_EQ(read_text(dir.path() + "a"), link);

  // Started by name through PATH, as a desktop launcher or shell would.
  c = start_child("zarvik", {"--zarvik-child", "path", dir.path() + "b"},
                  {"PATH=/nonexistent:" + dir.path() + "my game"});
  ASSERT_GT(c, 0);
  EXPECT_EQ(wait_child(c), 0);
  EXPECT_EQ(read_text(dir.path() + "b"), link);
}

TEST(ProgramPath, ResolvedAgainstTheWorkingFolderAndPath) {
  temp_folder dir;
  dir.write("bin/tool", std::string("#!/bin/sh\n"));
  dir.write("plain/tool", std::string("not executable"));
  chmod((dir.path() + "bin/tool").c_str(), 0755);
  std::string cwd = dir.path() + "work";

  EXPECT_EQ(resolve_program_path("./zarvik", "/home/u/game", nullptr), "/home/u/game/zarvik");
  EXPECT_EQ(resolve_program_path("../g2/zarvik", "/home/u/game", nullptr), "/home/u/g2/zarvik");
  EXPECT_EQ(resolve_program_path("/opt/x/zarvik", "/home", nullptr), "/opt/x/zarvik");
  // A name is searched on PATH; files without execute permission are skipped.
  std::string path_env = dir.path() + "plain:" + dir.path() + "bin";
  EXPECT_EQ(resolve_program_path("tool", cwd, path_env.c_str()), dir.path() + "bin/tool");
  // A relative PATH entry counts from the working folder; an empty one is it.
  EXPECT_EQ(resolve_program_path("tool", dir.path(), "plain:bin"), dir.path() + "bin/tool");
  EXPECT_EQ(resolve_program_path("tool", dir.path() + "bin", ":/nonexistent"), dir.path() + "bin/tool");
  EXPECT_EQ(resolve_program_path("missing", cwd, path_env.c_str()), "");
  EXPECT_EQ(resolve_program_path("", cwd, path_env.c_str()), "");
}

TEST(ProgramArguments, ConvertedToShiftJis) {
  std::string prog = "/g/zarvik";
  std::string a1 = "/KXCFG", a2 = "セーブ データ";
  char* argv[] = {prog.data(), a1.data(), a2.data(), nullptr};
  PosixProcess p(3, argv);
  EXPECT_EQ(p.program_path_host(), "/g/zarvik");
  ASSERT_EQ(p.arguments().size(), 2u);
  EXPECT_EQ(p.arguments()[0], "/KXCFG");
  EXPECT_EQ(p.arguments()[1], utf8_to_sjis("セーブ データ"));
}

TEST(Spawn, ArgumentsReachTheChildIntactWithoutAShell) {
  temp_folder dir;
  char* argv[] = {nullptr};
  PosixProcess p(0, argv);
  std::string out = dir.path() + "args";
  std::vector<std::string> tricky = {"two words",        "\"quoted\" text", "it's",   "$HOME",
                                     "a;touch " + dir.path() + "pwned", "`id`",  "back\\slash",
                                     "",                 "*",               "日本語 パス"};
  std::vector<std::string> argv_host = {self_program_path(), "--zarvik-child", "args", out};
  argv_host.insert(argv_host.end(), tricky.begin(), tricky.end());
  ASSERT_TRUE(p.spawn(argv_host));
  ASSERT_TRUE(wait_for_file(out));
  EXPECT_EQ(split_nul(read_text(out)), tricky);
  struct stat st {};
  EXPECT_NE(stat((dir.path() + "pwned").c_str(), &st), 0);

  // A program that cannot be started is a failure, not a silent success.
  EXPECT_FALSE(p.spawn({dir.path() + "no-such-program"}));
  EXPECT_FALSE(p.spawn({}));
}

TEST(UserFolders, DocumentsFromUserDirs) {
  const std::string home = "/home/u";
  EXPECT_EQ(documents_folder_from_user_dirs(home, ""), "/home/u/Documents/");
  EXPECT_EQ(documents_folder_from_user_dirs(home, "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/文書\"\n"),
            "/home/u/文書/");
  EXPECT_EQ(documents_folder_from_user_dirs(home, "XDG_DOCUMENTS_DIR=\"/data/docs\"\n"), "/data/docs/");
  // Disabled (set to home), relative or unterminated entries fall back.
  EXPECT_EQ(documents_folder_from_user_dirs(home, "XDG_DOCUMENTS_DIR=\"$HOME/\"\n"), "/home/u/Documents/");
  EXPECT_EQ(documents_folder_from_user_dirs(home, "XDG_DOCUMENTS_DIR=\"docs\"\n"), "/home/u/Documents/");
  EXPECT_EQ(documents_folder_from_user_dirs(home, "XDG_DOCUMENTS_DIR=\"$HOME/x\n"), "/home/u/Documents/");
  // Other keys are not mistaken for it.
  EXPECT_EQ(documents_folder_from_user_dirs(home, "XDG_DOCUMENTS_DIRX=\"/bad\"\nXDG_DESKTOP_DIR=\"/d\"\n"),
            "/home/u/Documents/");
}

namespace {
// Puts the variables back so a whole-program run is not disturbed.
struct saved_environment {
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  explicit saved_environment(std::initializer_list<const char*> names) {
    for (const char* n : names) {
      const char* v = getenv(n);
      saved.push_back({n, v ? std::optional<std::string>(v) : std::nullopt});
    }
  }
  ~saved_environment() {
    for (auto& [n, v] : saved) v ? setenv(n.c_str(), v->c_str(), 1) : unsetenv(n.c_str());
  }
};
}  // namespace

TEST(UserFolders, FromTheEnvironment) {
  temp_folder dir;
  saved_environment keep{"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR"};
  setenv("HOME", (dir.path() + "home").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir.path() + "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir.path() + "config").c_str(), 1);
  setenv("TMPDIR", dir.path().c_str(), 1);
  dir.write("config/user-dirs.dirs", std::string("XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n"));
  char* argv[] = {nullptr};
  PosixProcess p(0, argv);
  EXPECT_EQ(p.user_data_folder_host(), dir.path() + "data/");
  EXPECT_EQ(p.documents_folder_host(), dir.path() + "home/Docs/");
  EXPECT_EQ(p.temp_folder_host(), dir.path());
  unsetenv("XDG_DATA_HOME");
  setenv("TMPDIR", "relative", 1);
  EXPECT_EQ(p.user_data_folder_host(), dir.path() + "home/.local/share/");
  EXPECT_EQ(p.temp_folder_host(), "/tmp/");
}
