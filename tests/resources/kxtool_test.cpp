// kxtool through its command line, read back by the player's own reader.
#include <cstdlib>
#include <filesystem>

#include "core/sjis.h"
#include "format/canonical_commands.h"
#include "resources_fixture.h"

namespace {

int run(const std::string& args) {
  std::string cmd = std::string("\"") + ZARVIK_BINARY_DIR "/kxtool\" " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str());
}

std::string q(const std::string& s) { return "'" + s + "'"; }

struct source_file {
  std::string relative;  // UTF-8, '/' separated
  std::vector<uint8_t> bytes;
};

std::vector<source_file> sample_files() {
  return {
      {"kxbin/kxt.kbn", write_variable_count_file(compiled_variable_counts{})},
      {"cg/\xE7\x94\xBB\xE5\x83\x8F.png", pattern_bytes(5000, 1)},  // 画像.png
      {"cg/Face.JPG", pattern_bytes(1024, 2)},
      {"text/story.txt", std::vector<uint8_t>(40000, 'a')},
      {"se/empty.wav", {}},
      {"big.bin", pattern_bytes(300000, 3)},
  };
}

}  // namespace

class kxtool : public resource_test {};

TEST_F(kxtool, PackedFoldersReadBackByteForByte) {
  temp_folder source;
  for (const source_file& f : sample_files()) source.write(f.relative, f.bytes);
  for (const char* mode : {"--auto", "--store", "--zlib", "--no-repair"}) {
    SetUp();
    ASSERT_EQ(run(std::string("pack ") + mode + " " + q(source.path()) + " " + q(game.path() + "data.kpf")), 0)
        << mode;
    ASSERT_EQ(open_pack_archives(), 0) << mode;
    EXPECT_EQ(pack_entry_tables.entry_total, sample_files().size());
    for (const source_file& f : sample_files()) {
      std::string name = utf8_to_sjis(f.relative);
      resource_locator l;
      ASSERT_EQ(locate_resource(l, normalise_resource_name(name), true), resource_in_pack) << f.relative;
      ASSERT_EQ(read_located_resource(l, name), 0) << f.relative;
      EXPECT_EQ(l.data, f.bytes) << mode << " " << f.relative;
      EXPECT_EQ(l.type, resource_type_of_name(name));
    }
    // Back out again, names converted to UTF-8.
    temp_folder out;
    ASSERT_EQ(run("extract " + q(game.path() + "data.kpf") + " " + q(out.path())), 0);
    for (const source_file& f : sample_files()) EXPECT_EQ(out.read(f.relative), f.bytes) << f.relative;
    EXPECT_EQ(run("list " + q(game.path() + "data.kpf")), 0);
  }
}

TEST_F(kxtool, WritesTheCanonicalCommandFile) {
  ASSERT_EQ(run("commands " + q(game.path() + "kxc.kbn")), 0);
  EXPECT_EQ(game.read("kxc.kbn"), write_command_file(canonical_command_file()));
}

TEST_F(kxtool, RefusesBadArguments) {
  EXPECT_NE(run(""), 0);
  EXPECT_NE(run("pack " + q(game.path() + "missing") + " " + q(game.path() + "x.kpf")), 0);
  game.write("not.kpf", std::string("hello"));
  EXPECT_NE(run("list " + q(game.path() + "not.kpf")), 0);
}
