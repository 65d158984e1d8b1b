// kxtool in the compiler's role: placed as the game folder's
// system/ZIVer/ZIVer it assembles the folder's listing and hands every
// compiled file to the player through the shared blocks; a development run of
// the demo's listing then shows the same frames as the packed demo.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/sjis.h"
#include "format/pack_format.h"
#include "format/script_assembler.h"
#include "platform/headless/headless_platform.h"
#include "app/headless_run.h"
#include "resources/compiler_link.h"
#include "resources/resource_locator.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string binary_dir = ZARVIK_BINARY_DIR;

int run_kxtool(const std::string& arguments, const std::string& output = "/dev/null") {
  const std::string command = "'" + binary_dir + "/kxtool' " + arguments + " >'" + output + "' 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_text(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return std::string(bytes.begin(), bytes.end());
}

// kxtool where the player looks for its compiler (any case will do).
void place_compiler(const temp_folder& game) {
  fs::create_directories(game.path() + "SYSTEM/ZiVer");
  fs::create_symlink(binary_dir + "/kxtool", game.path() + "SYSTEM/ZiVer/ziver");
}

const char* const small_listing =
    "config title \"LINKED\"\n"
    "global int n = 0\n"
    "*SYSTEM_START\n"
    "n += 1\n"
    "wait 1\n"
    "goto SYSTEM_START\n";

}  // namespace

TEST(KxtoolCompiler, HandsOverEveryCompiledFileOfTheListing) {
  temp_folder game;
  place_compiler(game);
  game.write("Main.TXT", std::string(small_listing));
  HeadlessPlatform host(game.path());
  std::string game_path = utf8_to_sjis(game.path());
  ASSERT_EQ(run_compiler_link(&game_path), 0);

  assembler_options options;
  options.code_key = derive_code_file_key();
  assemble_result expected = assemble_listing(small_listing, options);
  ASSERT_TRUE(expected.ok);
  ASSERT_EQ(compiler_link_table.entries.size(), expected.files.size());
  for (size_t i = 0; i < expected.files.size(); ++i) {
    SCOPED_TRACE(expected.files[i].name);
    const compiler_link_record& e = compiler_link_table.entries[i];
    EXPECT_EQ(e.name, expected.files[i].name);
    EXPECT_EQ(std::vector<uint8_t>(e.data, e.data + e.size), expected.files[i].bytes);
  }
  // Nothing was written to the game folder: the files came through memory.
  EXPECT_FALSE(fs::exists(game.path() + "kxbin"));
  resource_locator l;
  EXPECT_EQ(locate_resource(l, "kxbin\\kxcfg.kbn", true), resource_in_link_table);
}

TEST(KxtoolCompiler, ListingEncodingsAndAFolderWithoutAListing) {
  // A Shift-JIS listing (not UTF-8) is taken as it is.
  {
    temp_folder game;
    place_compiler(game);
    const std::string title = utf8_to_sjis("開発");
    game.write("main.txt", "config title \"" + title + "\"\n*SYSTEM_START\nwait 1\ngoto SYSTEM_START\n");
    HeadlessPlatform host(game.path());
    std::string game_path = utf8_to_sjis(game.path());
    ASSERT_EQ(run_compiler_link(&game_path), 0);
    resource_locator l;
    ASSERT_EQ(locate_resource(l, "kxbin\\kxcfg.kbn", true), resource_in_link_table);
    ASSERT_EQ(read_located_resource(l, "kxbin\\kxcfg.kbn"), 0);
    const std::string bytes(l.data.begin(), l.data.end());
    EXPECT_NE(bytes.find(title), std::string::npos);
    reset_compiler_link_table();
  }
  // No listing: nothing is handed over and the folder's own compiled files serve.
  {
    temp_folder game;
    place_compiler(game);
    HeadlessPlatform host(game.path());
    std::string game_path = utf8_to_sjis(game.path());
    ASSERT_EQ(run_compiler_link(&game_path), 0);
    EXPECT_TRUE(compiler_link_table.entries.empty());
  }
}

TEST(KxtoolCompiler, AListingWithErrorsEndsTheStartWithoutADialog) {
  temp_folder game;
  place_compiler(game);
  game.write("main.txt", std::string("*SYSTEM_START\nno_such_command x=1\nif 1\n"));
  std::unique_ptr<HeadlessPlatform> host;
  testing::internal::CaptureStderr();
  const int r = start_headless_game(host, game.path(), 0, binary_dir + "/");
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(r, 0);
  EXPECT_TRUE(host->ui.boxes().empty());
  // The compiler's own message names the listing's lines.
  EXPECT_NE(said.find("main.txt:2:"), std::string::npos) << said;
  EXPECT_NE(said.find("does not start"), std::string::npos) << said;
}

TEST(KxtoolCompiler, CommandLineUse) {
  temp_folder out;
  EXPECT_EQ(run_kxtool("compile-link a b"), 2);
  EXPECT_EQ(run_kxtool("compile-link --x"), 2);
  // With no player waiting there is nothing to talk to.
  EXPECT_EQ(run_kxtool("compile-link '" + out.path() + "'", out.path() + "said.txt"), 1);
  EXPECT_NE(read_text(out.path() + "said.txt").find("no player is waiting"), std::string::npos);
}

TEST(KxtoolCompiler, DevelopmentRunOfTheDemoShowsThePackedDemosFrames) {
  const std::string pack = binary_dir + "/demo/demo.kpf";
  if (!fs::exists(pack)) GTEST_SKIP() << "the demo pack is not built";
  // The game folder as an author keeps it: the listing, pictures, sounds and
  // the compiler; no pack, no compiled file.
  temp_folder game, frames;
  fs::copy_file(std::string(ZARVIK_SOURCE_DIR) + "/demo/main.txt", game.path() + "main.txt");
  ASSERT_EQ(run_kxtool("pictures '" + game.path() + "'"), 0);
  ASSERT_EQ(run_kxtool("sounds '" + game.path() + "'"), 0);
  place_compiler(game);
  ASSERT_EQ(run_kxtool("run '" + game.path() + "' --frames 240 --every 30 --out '" + frames.path() + "dev'"), 0);
  // The pack alone in a folder of its own (the built one has the movie beside it).
  temp_folder packed;
  fs::copy_file(pack, packed.path() + "demo.kpf");
  ASSERT_EQ(run_kxtool("run '" + packed.path() + "demo.kpf' --frames 240 --every 30 --out '" + frames.path() + "pack'"), 0);
  for (int f = 30; f <= 240; f += 30) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%05d.png", f);
    SCOPED_TRACE(name);
    const std::string dev = read_text(frames.path() + "dev" + name);
    ASSERT_FALSE(dev.empty());
    EXPECT_EQ(dev, read_text(frames.path() + "pack" + name));
  }
  EXPECT_FALSE(fs::exists(game.path() + "kxbin"));
}
