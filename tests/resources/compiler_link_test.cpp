// The compiler link against a stand-in compiler program (tests/programs/
// fake_compiler.cpp) placed where the player looks for it: the handshake's
// outcomes, the blocks' lifetime and permissions, the boxes, and the move to
// the folder the compiler hands back.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "core/sjis.h"
#include "platform/posix/shared_memory.h"
#include "resources/compiler_link.h"
#include "resources_fixture.h"

namespace {

std::map<std::string, std::string> read_report(const std::string& path) {
  std::map<std::string, std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] += line.substr(eq + 1);
  }
  return out;
}

bool shm_exists(const std::string& name, const std::string& scope) {
  struct stat st {};
  return ::stat(("/dev/shm" + shared_memory_host_name(name, scope)).c_str(), &st) == 0;
}

class compiler_link : public resource_test {
 protected:
  void SetUp() override {
    resource_test::SetUp();
    reset_compiler_link_table();
    quit_flag = 0;
    std::filesystem::create_directories(game.path() + "System/ziver");
    std::filesystem::create_symlink(std::string(ZARVIK_BINARY_DIR) + "/fake_compiler",
                                    game.path() + "System/ziver/ZIVer");
    report_path = game.path() + "report.txt";
    ::setenv("ZARVIK_FAKE_REPORT", report_path.c_str(), 1);
  }
  int run(const std::string& mode) {
    ::setenv("ZARVIK_FAKE_COMPILER", mode.c_str(), 1);
    game_path = utf8_to_sjis(game.path());
    return run_compiler_link(&game_path);
  }
  std::vector<std::string> box_texts() {
    std::vector<std::string> out;
    for (const auto& b : platform_->ui.boxes()) out.push_back(sjis_to_utf8(b.text));
    return out;
  }
  bool blocks_left() {
    return shm_exists(compiler_link_block_a_name, game.path()) || shm_exists(compiler_link_block_b_name, game.path());
  }
  std::string report_path;
  std::string game_path;
};

}  // namespace

TEST_F(compiler_link, OutcomesOfTheHandshake) {
  struct row {
    const char* mode;
    int result;
    size_t entries;
    const char* box;  // "" for none
  } rows[] = {
      {"files", 0, 2, ""},
      {"empty", 0, 0, ""},
      {"size0", 0, 0, ""},  // a 16-byte block and an empty table
      {"fail", 1, 0, ""},   // a failed compilation ends start-up without a word
      {"exit", 1, 0, ""},   // ended before it was ready: no word either
      {"damaged", -1, 0, "ZARVIKコンパイラとデータ通信が出来ませんでした。"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.mode);
    platform_ = std::make_unique<HeadlessPlatform>(game.path());
    reset_compiler_link_table();
    EXPECT_EQ(run(r.mode), r.result);
    EXPECT_EQ(compiler_link_table.entries.size(), r.entries);
    std::vector<std::string> boxes = box_texts();
    if (*r.box) {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0], r.box);
    } else {
      EXPECT_TRUE(boxes.empty());
    }
    EXPECT_FALSE(blocks_left()) << "the named blocks are removed after the run";
    // The player started the compiler by argv, in the game folder.
    auto spawns = platform_->process.spawns();
    ASSERT_EQ(spawns.size(), 1u);
    EXPECT_EQ(spawns[0], (std::vector<std::string>{game.path() + "System/ziver/ZIVer", "kx"}));
    EXPECT_EQ(platform_->process.child_folders()[0], game.path());
  }
}

TEST_F(compiler_link, TheCompilerSeesTheBlocksAndTheTableServesTheLocator) {
  ASSERT_EQ(run("files"), 0);
  auto seen = read_report(report_path);
  EXPECT_EQ(seen["arg"], "kx");
  EXPECT_EQ(seen["cwd"], game.path());
  EXPECT_EQ(seen["size"], "512");
  EXPECT_EQ(seen["version"], "553");
  EXPECT_EQ(seen["path"], game.path());
  EXPECT_EQ(seen["mode_a"], "600");  // owner only
  EXPECT_EQ(seen["mode_b"], "600");
  // Block B was sized as the compiler asked.
  auto created = platform_->shared_memory.created();
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[0], std::string(compiler_link_block_a_name) + " 512");
  EXPECT_EQ(created[1], std::string(compiler_link_block_b_name) + " " +
                            std::to_string(write_compiler_link_block({{"kxbin\\a.kbn", bytes_of("alpha")},
                                                                      {"KXBIN\\B.KBN", bytes_of("beta")}})
                                               .size()));

  // Names compare without regard to case; the loose file of the same name loses.
  game.write("kxbin/b.kbn", std::string("loose"));
  resource_locator l;
  EXPECT_EQ(locate_resource(l, "kxbin\\b.kbn", true), resource_in_link_table);
  EXPECT_EQ(l.link_index, 1);
  EXPECT_EQ(l.type, 0);
  ASSERT_EQ(read_located_resource(l, "kxbin\\b.kbn"), 0);
  EXPECT_EQ(std::string(l.data.begin(), l.data.end()), "beta");
  EXPECT_EQ(game_path, utf8_to_sjis(game.path()));  // handed back unchanged
}

TEST_F(compiler_link, ARewrittenGamePathBecomesTheFolderOfRelativePaths) {
  game.write("work/data.txt", std::string("moved"));
  game.write("pac/p.kpf", std::string("x"));
  const std::string work = game.path() + "work";
  ::setenv("ZARVIK_FAKE_PATH", work.c_str(), 1);
  const std::string cwd_before = std::filesystem::current_path().string();
  ASSERT_EQ(run("path"), 0);
  EXPECT_EQ(game_path, work);
  EXPECT_EQ(platform().files->game_folder_host(), work + "/");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(platform().files->read_file("data.txt", bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "moved");
  // Packs keep opening from the program's folder; the process never moved.
  EXPECT_EQ(pack_folder_prefix, utf8_to_sjis(game.path()));
  EXPECT_NE(pack_file_open(".\\pac\\p.kpf"), nullptr);
  EXPECT_EQ(std::filesystem::current_path().string(), cwd_before);

  // A path that names no folder leaves everything where it was.
  platform_ = std::make_unique<HeadlessPlatform>(game.path());
  pack_folder_prefix.clear();
  ::setenv("ZARVIK_FAKE_PATH", (game.path() + "nothing-here").c_str(), 1);
  ASSERT_EQ(run("path"), 0);
  EXPECT_EQ(game_path, utf8_to_sjis(game.path()));
  EXPECT_EQ(platform().files->game_folder_host(), game.path());
  EXPECT_TRUE(pack_folder_prefix.empty());
}

TEST_F(compiler_link, StartFailuresShowTheirBoxes) {
  // No compiler: the library notice, quit set.
  std::filesystem::remove(game.path() + "System/ziver/ZIVer");
  EXPECT_EQ(run("files"), 1);
  ASSERT_EQ(platform_->ui.boxes().size(), 1u);
  EXPECT_EQ(platform_->ui.boxes()[0].caption, "License Information");
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_TRUE(platform_->process.spawns().empty());
  quit_flag = 0;  // a set quit would end the later waits at once

  // The compiler cannot be started.
  platform_ = std::make_unique<HeadlessPlatform>(game.path());
  std::filesystem::create_symlink(std::string(ZARVIK_BINARY_DIR) + "/fake_compiler",
                                  game.path() + "System/ziver/ZIVer");
  platform_->process.set_spawn_result(false);
  EXPECT_EQ(run("files"), 1);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"ZARVIKコンパイラを起動できませんでした。"});
  EXPECT_FALSE(blocks_left());

  // Block A cannot be made.
  platform_ = std::make_unique<HeadlessPlatform>(game.path());
  platform_->shared_memory.refuse_create(compiler_link_block_a_name);
  EXPECT_EQ(run("files"), -1);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"ZARVIKコンパイラとデータ通信が出来ませんでした。"});
  EXPECT_TRUE(platform_->process.spawns().empty());

  // Block B cannot be made: the waiting compiler is ended too.
  platform_ = std::make_unique<HeadlessPlatform>(game.path());
  platform_->shared_memory.refuse_create(compiler_link_block_b_name);
  EXPECT_EQ(run("hang-after"), -1);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"ZARVIKコンパイラとデータ通信が出来ませんでした。"});
  const int pid = std::atoi(read_report(report_path)["pid"].c_str());
  ASSERT_GT(pid, 0);
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_FALSE(blocks_left());
}

TEST_F(compiler_link, AGamePathLongerThanTheFieldIsRefused) {
  // 379 bytes fit with their terminator; 380 would run past block A.
  for (size_t length : {size_t{379}, size_t{380}}) {
    SCOPED_TRACE(length);
    platform_ = std::make_unique<HeadlessPlatform>(game.path());
    ::setenv("ZARVIK_FAKE_COMPILER", "empty", 1);
    std::string long_path = "/" + std::string(length - 1, 'a');
    const int r = run_compiler_link(&long_path);
    if (length == 379) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(read_report(report_path)["path"].size(), 379u);
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(box_texts(), std::vector<std::string>{"ZARVIKコンパイラとデータ通信が出来ませんでした。"});
      EXPECT_EQ(platform_->process.spawns().size(), 0u);
    }
  }
}

TEST_F(compiler_link, AHungCompilerIsEndedByQuit) {
  struct row {
    const char* mode;
    bool by_close;  // a close request from the Ui, else a report's quit
  } rows[] = {{"hang", false}, {"hang", true}, {"hang-after", true}};
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.mode) + (r.by_close ? " close" : " quit"));
    platform_ = std::make_unique<HeadlessPlatform>(game.path());
    std::filesystem::remove(report_path);
    quit_flag = 0;
    HeadlessUi* ui = &platform_->ui;
    // A raise request that arrives meanwhile is kept for the message loop.
    ui_event raise;
    raise.message = msg_raise_request;
    ui->post_event(raise);
    std::thread quitter([&] {
      // Once the compiler has started (its report is there), ask to quit.
      for (int i = 0; i < 1000 && !std::filesystem::exists(report_path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (r.by_close) {
        ui_event close;
        close.message = msg_close;
        ui->post_event(close);
      } else {
        quit_flag = 1;
      }
    });
    EXPECT_EQ(run(r.mode), 1);
    quitter.join();
    EXPECT_EQ(quit_flag.load(), 1);
    const int pid = std::atoi(read_report(report_path)["pid"].c_str());
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0) << "the compiler was ended and reaped";
    EXPECT_FALSE(blocks_left());
    ui_event e;
    ASSERT_TRUE(ui->poll_event(e));
    EXPECT_EQ(e.message, msg_raise_request);
  }
}

TEST_F(compiler_link, BlocksArePerUserPerFolderAndOwnerOnly) {
  PosixSharedMemory shared;
  temp_folder other;
  const std::string link = other.path() + "link";
  std::filesystem::create_directory_symlink(game.path(), link);
  const std::string name = "ZarvikLinkProbe";
  EXPECT_NE(shared_memory_host_name(name, game.path()), shared_memory_host_name(name, other.path()));
  EXPECT_EQ(shared_memory_host_name(name, game.path()), shared_memory_host_name(name, link + "/"));
  EXPECT_NE(shared_memory_host_name(name, game.path()).find("." + std::to_string(::getuid()) + "."), std::string::npos);

  auto block = shared.create(name, game.path(), 64);
  ASSERT_NE(block, nullptr);
  block->data()[0] = 7;
  const std::string file = "/dev/shm" + shared_memory_host_name(name, game.path());
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  {
    auto seen = shared.open(name, link);  // the same folder through a link
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->size(), 64u);
    EXPECT_EQ(seen->data()[0], 7);
  }
  EXPECT_EQ(shared.open(name, other.path()), nullptr);
  // A block others may open is not trusted.
  ::chmod(file.c_str(), 0644);
  EXPECT_EQ(shared.open(name, game.path()), nullptr);
  block.reset();
  EXPECT_NE(::stat(file.c_str(), &st), 0) << "removed with its creator";

  // A block left by a run that ended abruptly is replaced by a fresh one.
  const std::string host = shared_memory_host_name(name, game.path());
  int fd = ::shm_open(host.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 64), 0);
  ASSERT_EQ(::write(fd, "\x07", 1), 1);
  ::close(fd);
  auto fresh = shared.create(name, game.path(), 32);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->size(), 32u);
  EXPECT_EQ(fresh->data()[0], 0);
  fresh.reset();
  EXPECT_NE(::stat(file.c_str(), &st), 0);
}
