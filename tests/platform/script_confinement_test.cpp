// What a game script may change, through the real player: `zarvik` started
// from a development game folder with HOME, the XDG folders and TMPDIR in a
// test folder, a stand-in `xdg-open` on PATH that records what it was given.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_helper.h"
#include "platform/platform.h"
#include "platform/posix/host_files.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string binary_dir = ZARVIK_BINARY_DIR;

struct user_setup {
  temp_folder root;
  std::string home, data, config, tmp, documents, outside, game;
  user_setup()
      : home(root.path() + "home/"),
        data(root.path() + "data/"),
        config(root.path() + "config/"),
        tmp(root.path() + "tmp/"),
        documents(home + "Documents/"),
        outside(root.path() + "outside/"),
        game(root.path() + "game/") {
    for (const std::string& f : {home, data, config, tmp, documents, outside, game, root.path() + "bin/"})
      fs::create_directories(f);
    // The desktop's opener: records each call, opens nothing.
    root.write("bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + root.path() + "opened.txt'\n");
    fs::permissions(root.path() + "bin/xdg-open", fs::perms(0755));
  }
  // The tag the player gives this game folder.
  std::string tag() const {
    const std::string program = normalise_host_path(game + "zarvik");
    return game_folder_tag(program.substr(0, program.find_last_of('/') + 1));
  }
  std::string own_temp() const { return tmp + "zarvik-" + std::to_string(::getuid()) + "-" + tag() + "/"; }
  std::string own_data() const { return data + "zarvik/" + tag() + "/"; }
  std::string own_documents() const { return documents + "zarvik/" + tag() + "/"; }
  std::string own_registry() const { return game_registry_file_host(config, game); }

  // Runs the listing in the real player until it writes "done.txt"; true
  // when it got there and ended cleanly.
  bool run(const std::string& listing) {
    root.write("game/main.txt", listing + "system_call function=15, text1=\"done.txt\", text2=\"done\"\n"
                                          "*idle\nwait 1\ngoto idle\n");
    fs::create_directories(game + "system/ZIVer");
    fs::create_symlink(binary_dir + "/kxtool", game + "system/ZIVer/ZIVer");
    fs::create_symlink(binary_dir + "/zarvik", game + "zarvik");
    fs::create_symlink(binary_dir + "/RIRud.so", game + "RIRud.so");
    const pid_t pid = start_child(
        game + "zarvik", {},
        {"SDL_VIDEODRIVER=offscreen", "SDL_AUDIODRIVER=dummy", "HOME=" + home, "XDG_DATA_HOME=" + data,
         "XDG_CONFIG_HOME=" + config, "XDG_CACHE_HOME=" + root.path() + "cache", "XDG_RUNTIME_DIR=",
         "TMPDIR=" + tmp, "PATH=" + root.path() + "bin:/usr/bin:/bin"});
    if (pid <= 0) return false;
    const bool done = wait_for_file(game + "done.txt");
    ::kill(pid, SIGTERM);
    const int status = wait_child(pid);
    return done && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  int refusals_naming(const std::string& needle) const {
    int n = 0;
    std::istringstream log(read_text(game + "info.txt"));
    for (std::string line; std::getline(log, line);)
      n += line.find("refused") != std::string::npos && line.find(needle) != std::string::npos;
    return n;
  }
  // What the stand-in opener was given, sorted (it runs on its own), once
  // `count` calls have arrived.
  std::vector<std::string> opened(size_t count) const {
    std::vector<std::string> lines;
    for (int i = 0; i < 500 && lines.size() < count; ++i, usleep(10000)) {
      std::istringstream text(read_text(root.path() + "opened.txt"));
      lines.clear();
      for (std::string line; std::getline(text, line);) lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
};

std::string write_copy_delete(const std::string& target) {
  return "system_call function=15, text1=\"" + target + "\", text2=\"stolen\"\n" +
         "file path=\"src.txt\", destination=\"" + target + "\", copy=1\n" + "file path=\"" + target +
         "\", delete=1\n";
}

mode_t file_mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

mode_t expected_new_file_mode() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return 0644 & ~mask;
}

}  // namespace

TEST(ScriptConfinement, OutsideTheGamesFoldersEveryWriteCopyAndDeleteIsRefused) {
  user_setup u;
  // Files a script must not change, and where a link in the game leads.
  const std::vector<std::string> victims = {
      u.tmp + "victim.txt",                                  // TMPDIR itself
      u.data + "other/victim.txt",                           // another program's data
      u.data + "applications/victim.desktop",                // the desktop's launchers
      u.data + "zarvik/victim.txt",                          // the player's folder, not this game's
      u.data + "zarvik/other-00000000/save.dat",             // another game's data folder
      u.documents + "victim.txt",                            // the user's documents
      u.config + "zarvik/registry/other-00000000.txt",       // another game's registry file
      u.config + "autostart/victim.desktop",                 // started at the next log-in
      u.root.path() + "victim.txt",                          // beside the game: "..", absolute
      u.outside + "victim.txt",                              // through the folder link
      u.outside + "file.txt",                                // through the file link
  };
  for (const std::string& v : victims) {
    fs::create_directories(fs::path(v).parent_path());
    std::ofstream(v) << "keep";
  }
  fs::create_symlink(u.outside, u.game + "linkout");
  fs::create_symlink(u.outside + "file.txt", u.game + "filelink");
  fs::create_symlink(u.outside + "made.txt", u.game + "dangling");
  u.root.write("game/src.txt", "src");
  std::string listing = "*SYSTEM_START\n";
  for (size_t i = 0; i + 3 < victims.size(); ++i) listing += write_copy_delete(victims[i]);
  for (const char* relative : {"../victim.txt", "linkout/victim.txt", "filelink", "dangling"})
    listing += write_copy_delete(relative);
  ASSERT_TRUE(u.run(listing));
  for (const std::string& v : victims) EXPECT_EQ(read_text(v), "keep") << v;
  EXPECT_FALSE(fs::exists(u.outside + "made.txt"));
  EXPECT_TRUE(fs::is_symlink(u.game + "filelink") && fs::is_symlink(u.game + "dangling"));
  // One info-log line per refused operation, naming it; the script went on.
  for (const char* operation : {"write refused", "copy refused", "delete refused"})
    EXPECT_EQ(u.refusals_naming(operation), static_cast<int>(victims.size() - 3 + 4)) << operation;
  EXPECT_EQ(u.refusals_naming("applications/victim.desktop"), 3);
  EXPECT_EQ(u.refusals_naming("dangling"), 3);
}

TEST(ScriptConfinement, InsideTheGameSaveDataDocumentsAndTemporaryFoldersScriptsWriteCopyAndDelete) {
  user_setup u;
  u.root.write("game/src.txt", "src");
  // Save folder mode 1: under the user's data folder.
  std::vector<uint8_t> slots(128, 0);
  slots[21 * 4] = 1;
  u.root.write("game/kxsfs.dat", slots);
  struct place {
    std::string script_folder;  // as the script names it
    std::string host_folder;
  };
  const std::vector<place> places = {
      {"", u.game},
      // Folders a script makes come lower-cased, as every path of command 19;
      // the save folder was made by the save above.
      {"\" + @95 + \"", u.data + "Quillmere_SaveData/KEP/save/"},
      {"\" + @96 + \"Maker\\\\Game\\\\", u.own_data() + "maker/game/"},  // as a game keeps its own subfolder
      {"\" + @97 + \"", u.own_documents()},
      {u.own_temp(), u.own_temp()},
  };
  // The player's own save into a save folder not made yet comes first.
  std::string listing = "global int n = 7\n*SYSTEM_START\nsave_value file=\"first\", val_id=1, variable=n\n"
                        "file folder=@95, create=1\nfile folder=@96 + \"Maker\\\\Game\", create=1\n";
  for (const place& p : places) {
    const std::string f = "\"" + p.script_folder;
    listing += "system_call function=15, text1=" + f + "written.txt\", text2=\"written\"\n";
    listing += "file path=\"src.txt\", destination=" + f + "copied.txt\", copy=1\n";
    listing += "system_call function=15, text1=" + f + "gone.txt\", text2=\"x\"\n";
    listing += "file path=" + f + "gone.txt\", delete=1\n";
  }
  listing += "system_call function=15, text1=\"" + u.own_registry() + "\", text2=\"[k]\"\n";
  ASSERT_TRUE(u.run(listing));
  for (const place& p : places) {
    EXPECT_EQ(read_text(p.host_folder + "written.txt"), "written\r\n") << p.host_folder;
    EXPECT_EQ(read_text(p.host_folder + "copied.txt"), "src") << p.host_folder;
    EXPECT_EQ(file_mode(p.host_folder + "copied.txt"), expected_new_file_mode()) << p.host_folder;
    EXPECT_FALSE(fs::exists(p.host_folder + "gone.txt")) << p.host_folder;
  }
  EXPECT_TRUE(fs::exists(u.data + "Quillmere_SaveData/KEP/save/first.sd"));
  EXPECT_EQ(read_text(u.own_registry()), "[k]\r\n");
  EXPECT_EQ(file_mode(u.own_temp()) & 0777, 0700u);  // private to the user
  EXPECT_EQ(u.refusals_naming(""), 0) << read_text(u.game + "info.txt");
}

TEST(ScriptConfinement, NothingAScriptWritesOrCopiesStartsButTheGamesOwnProgramsAndDocumentsDo) {
  user_setup u;
  const std::string mark = u.root.path() + "ran-";
  // The game's own program (with its execute bit) and one a script will overwrite.
  u.root.write("game/shipped.sh", "#!/bin/sh\ntouch \"$1\"\n");
  u.root.write("game/overwrite.sh", "#!/bin/sh\ntouch " + mark + "original\n");
  fs::permissions(u.game + "shipped.sh", fs::perms(0755));
  fs::permissions(u.game + "overwrite.sh", fs::perms(0755));
  u.root.write("game/manual/index.html", "<html></html>");
  const std::string run_it = ", parameters=\"-c \\\"touch " + mark + "pwned\\\"\"";
  std::string listing = "*SYSTEM_START\nfile folder=\"tools/deeper\", create=1\nfile folder=@96 + \"bin\", create=1\n";
  // Copies of /bin/sh in the game, a subfolder, the data and temporary folders.
  const std::vector<std::string> copies = {"\"sh\"", "\"tools/deeper/sh\"", "@96 + \"bin/sh\"",
                                           "\"" + u.own_temp() + "sh\""};
  for (const std::string& c : copies) {
    listing += "file path=\"/bin/sh\", destination=" + c + ", copy=1\n";
    listing += "file path=" + c + ", start=1" + run_it + "\n";
    listing += "file path=" + c + ", start_wait=1" + run_it + "\n";
  }
  listing += "file path=\"shipped.sh\", destination=\"copy.sh\", copy=1\n"
             "file path=\"copy.sh\", start_wait=1, parameters=\"" + mark + "copy\"\n"
             "system_call function=15, text1=\"written.sh\", text2=\"#!/usr/bin/touch " + mark + "written\"\n"
             "file path=\"written.sh\", start_wait=1\n"
             "system_call function=15, text1=\"overwrite.sh\", text2=\"#!/usr/bin/touch " + mark + "overwritten\"\n"
             "file path=\"overwrite.sh\", start_wait=1\n"
             "system_call function=15, text1=\"launch.desktop\", text2=\"[Desktop Entry]\"\n"
             "file path=\"launch.desktop\", start=1\n"
             "system_call function=15, text1=\"prog.exe\", text2=\"MZ\"\n"
             "file path=\"prog.exe\", start=1\n"
             "system_call function=120, text1=\"tools/deeper/sh\"\n"
             "system_call function=120, text1=\"/bin/sh\"\n"
             // What still works: the game's program by argv, its manual
             // through the opener, web addresses as written.
             "file path=\"shipped.sh\", start_wait=1, parameters=\"" + mark + "shipped\"\n"
             "system_call function=120, text1=\"manual/index.html\"\n"
             "file path=\"manual/index.html\", start=1\n"
             "file path=\"HTTPS://Example.com/A/b?c=D\", start=1\n"
             "file path=\"mailto:Someone@Example.com\", start_wait=1\n";
  ASSERT_TRUE(u.run(listing));
  std::vector<std::string> ran;
  for (const auto& e : fs::directory_iterator(u.root.path()))
    if (e.path().filename().string().rfind("ran-", 0) == 0) ran.push_back(e.path().filename().string());
  EXPECT_EQ(ran, std::vector<std::string>{"ran-shipped"});
  for (const char* f : {"sh", "tools/deeper/sh", "copy.sh", "written.sh", "overwrite.sh", "launch.desktop", "prog.exe"})
    EXPECT_EQ(file_mode(u.game + f) & 0111, 0u) << f;
  EXPECT_EQ(file_mode(u.own_data() + "bin/sh") & 0111, 0u);
  const std::string manual = u.game + "manual/index.html";
  EXPECT_EQ(u.opened(4), (std::vector<std::string>{manual, manual, "HTTPS://Example.com/A/b?c=D",
                                                    "mailto:Someone@Example.com"}));
  // Eight copies of sh, copy.sh, written.sh, overwrite.sh, launch.desktop,
  // prog.exe; the opener asked for a copy of sh and for /bin/sh.
  EXPECT_EQ(u.refusals_naming("start refused"), 13) << read_text(u.game + "info.txt");
  EXPECT_EQ(u.refusals_naming("open refused"), 2);
}
