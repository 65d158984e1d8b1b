#include "resources_fixture.h"
#include "resources/compiler_link.h"

class locator : public resource_test {};

TEST(resource_names, NormalisationFollowsTheObjectPathRules) {
  EXPECT_EQ(normalise_resource_name("Data/Sub/../Pic"), "data\\pic");
  EXPECT_EQ(normalise_resource_name("DATA\\SUB\\..\\PIC.PNG"), "data\\pic.png");
  EXPECT_EQ(normalise_resource_name("./a/./b.txt"), "a\\b.txt");
  EXPECT_EQ(normalise_resource_name(":/x/y"), "x\\y");
  EXPECT_EQ(normalise_resource_name(":x"), "x");
  EXPECT_EQ(normalise_resource_name("/x"), "x");
  EXPECT_EQ(normalise_resource_name("../x"), "x");  // nothing to take back at the start
  EXPECT_EQ(normalise_resource_name("a/b/"), "a\\b");
  EXPECT_EQ(normalise_resource_name("a/.."), "a\\..");  // ".." at the very end is copied
  EXPECT_EQ(normalise_resource_name("With Space/X"), "with space\\x");
  // 0x95 0x5C is one character whose second byte is '\': never a separator,
  // never lower-cased (0x83 0x41 keeps its 'A').
  std::string sjis = std::string("a/\x95\x5C/\x83\x41.png");
  EXPECT_EQ(normalise_resource_name(sjis), std::string("a\\\x95\x5C\\\x83\x41.png"));
  std::string up = std::string("\x95\x5C/../X");
  EXPECT_EQ(normalise_resource_name(up), "x");
}

TEST_F(locator, ImageAndSoundExtensionsFollowTheConfiguredOrder) {
  game.write("cg/pic.png", std::string("png"));
  game.write("cg/pic.jpg", std::string("jpg"));
  game.write("se/beep.ogg", std::string("ogg"));
  game.write("se/beep.wav", std::string("wav"));
  const uint8_t images[4] = {3, 1, 2, 4};
  std::copy(images, images + 4, engine_config.image_extension_order);
  engine_config.sound_extension_order[0] = 2;
  engine_config.sound_extension_order[1] = 1;
  read_result img = fetch("cg/pic", resource_kind_image);
  EXPECT_EQ(img.name, "cg\\pic.jpg");
  EXPECT_EQ(std::string(img.locator.data.begin(), img.locator.data.end()), "jpg");
  EXPECT_EQ(img.locator.type, resource_type_jpeg);
  read_result snd = fetch("se/beep", resource_kind_sound);
  EXPECT_EQ(snd.name, "se\\beep.wav");

  engine_config.image_extension_order[0] = 1;
  EXPECT_EQ(fetch("cg/pic", resource_kind_image).name, "cg\\pic.png");
  // A name with its kind's extension is taken as it is.
  EXPECT_EQ(fetch("cg/pic.png", resource_kind_image).name, "cg\\pic.png");
  // Codes outside the table make their try do nothing; the last real try names
  // the result.
  const uint8_t odd[4] = {9, 2, 0, 4};
  std::copy(odd, odd + 4, engine_config.image_extension_order);
  read_result miss = fetch("cg/pic", resource_kind_image);
  EXPECT_EQ(miss.resolve, 1);
  EXPECT_EQ(miss.name, "cg\\pic.gif");
}

TEST_F(locator, DotDotNamesProbeTheFolderAndFileAlone) {
  game.write("Data/Face.BMP", std::string("bmp"));
  const uint8_t images[4] = {1, 2, 3, 4};
  std::copy(images, images + 4, engine_config.image_extension_order);
  std::string in = "DATA/SUB/../FACE";
  resource_locator l;
  std::string out;
  EXPECT_EQ(resolve_resource_name(l, out, in, resource_kind_image), 0);
  EXPECT_EQ(out, "data\\face.bmp");
  EXPECT_EQ(l.state, resource_loose_file);
  EXPECT_EQ(read_located_resource(l, out), 0);  // the case-insensitive host match finds Face.BMP
  EXPECT_EQ(l.size, 3u);
  std::string caller = "a\\b";
  resolve_resource_name(l, out, caller, resource_kind_any);
  EXPECT_EQ(caller, "a/b");  // the caller's buffer gets '/' separators
}

TEST_F(locator, KcgAndPsdNamesStillGetImageExtensions) {
  game.write("a.kcg.png", std::string("x"));
  game.write("a.kcg", std::string("y"));
  read_result r = fetch("a.kcg", resource_kind_image);
  EXPECT_EQ(r.name, "a.kcg.png");
}

TEST_F(locator, PackOrLooseFirstByRunKindFlag) {
  game.write("both.txt", std::string("loose"));
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({pack_file("both.txt", bytes_of("pack"))}, pack));
  game.write("data.kpf", pack);
  ASSERT_EQ(open_pack_archives(), 0);
  auto text = [&] {
    read_result r = fetch("both.txt");
    return std::string(r.locator.data.begin(), r.locator.data.end());
  };
  EXPECT_EQ(text(), "pack");
  engine_config.release_loose_first = 1;  // not this run's kind
  EXPECT_EQ(text(), "pack");
  engine_config.dev_loose_first = 1;
  EXPECT_EQ(text(), "loose");

  // The same pack with the configuration in it: a release run.
  ASSERT_TRUE(build_pack({pack_file("both.txt", bytes_of("pack")), pack_file("kxbin\\kxcfg.kbn", {})}, pack));
  game.write("data.kpf", pack);
  ASSERT_EQ(open_pack_archives(), 0);
  ASSERT_EQ(pack_entry_tables.release_mode, 1);
  engine_config.release_loose_first = 0;
  EXPECT_EQ(text(), "pack");
  engine_config.release_loose_first = 1;
  EXPECT_EQ(text(), "loose");
}

TEST_F(locator, AFolderIsNeverReadAsAFile) {
  game.write("thing.png/inside.txt", std::string("x"));
  EXPECT_FALSE(loose_file_exists("thing.png"));
  EXPECT_EQ(fetch("thing.png", resource_kind_image).resolve, 1);
  EXPECT_EQ(fetch("thing", resource_kind_image).resolve, 1);
}

TEST_F(locator, MissingLooseFileReportsWhenRead) {
  resource_locator l;
  l.state = resource_loose_file;
  report_probe probe;
  EXPECT_EQ(read_located_resource(l, "gone.txt"), -3);
  EXPECT_EQ(probe.codes(), std::vector<int>{104010});
  l.state = 7;
  EXPECT_EQ(read_located_resource(l, "x"), -3);
}

TEST_F(locator, CompilerLinkTableComesBeforePacksAndLooseFiles) {
  game.write("k.txt", std::string("loose"));
  ASSERT_EQ(install_compiler_link_table(write_compiler_link_block({{"K.TXT", bytes_of("linked")}}), 1), 0);
  read_result r = fetch("k.txt");
  EXPECT_EQ(r.locator.state, resource_in_link_table);
  EXPECT_EQ(std::string(r.locator.data.begin(), r.locator.data.end()), "linked");
  r.locator.data[0] = 'X';  // the table keeps its own copy
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(compiler_link_table.entries[0].data), 6), "linked");
}

TEST_F(locator, MemoryCacheEvictsTheOldestAndRepreloadsWithoutReading) {
  for (int i = 0; i < 513; ++i) game.write("c/" + std::to_string(i) + ".txt", std::to_string(i));
  for (int i = 0; i < 512; ++i) {
    std::string n = "c/" + std::to_string(i) + ".txt";
    ASSERT_EQ(preload_resource(1, n, resource_kind_any), 0);
  }
  memory_cache_group& g = resource_memory_caches.groups[1];
  ASSERT_EQ(g.slots.size(), 512u);
  uint64_t total = g.byte_total;

  // Preloading a held entry moves it to the newest place without a read: its
  // file is gone and it still moves.
  std::remove((game.path() + "c/5.txt").c_str());
  std::string five = "C\\5.TXT";
  ASSERT_EQ(preload_resource(1, five, resource_kind_any), 0);
  EXPECT_EQ(g.slots.back().name, "c\\5.txt");
  EXPECT_EQ(g.slots.size(), 512u);
  EXPECT_EQ(g.byte_total, total);
  EXPECT_EQ(g.slots[5].name, "c\\6.txt");

  std::string n512 = "c/512.txt";
  ASSERT_EQ(preload_resource(1, n512, resource_kind_any), 0);
  EXPECT_EQ(g.slots.size(), 512u);
  EXPECT_EQ(g.slots.front().name, "c\\1.txt");  // 0 was the oldest
  EXPECT_EQ(g.slots.back().name, "c\\512.txt");
  EXPECT_EQ(g.byte_total, total - 1 + 3);

  // The removed file is still served from the cache, as a fresh copy each time.
  read_result a = fetch("c/5.txt");
  ASSERT_EQ(a.read, 0);
  EXPECT_EQ(a.locator.state, resource_in_memory_cache);
  a.locator.data.clear();
  read_result b = fetch("c/5.txt");
  EXPECT_EQ(std::string(b.locator.data.begin(), b.locator.data.end()), "5");

  // A missing name is no failure and changes nothing.
  std::string none = "nothing.txt";
  EXPECT_EQ(preload_resource(1, none, resource_kind_any), 0);
  EXPECT_EQ(g.slots.back().name, "c\\512.txt");
}

TEST_F(locator, CacheKeepsTheResolvedNameAndTheSourceType) {
  game.write("bg/sky.png", std::string("png!"));
  std::string n = "BG/SKY";
  ASSERT_EQ(preload_resource(0, n, resource_kind_image), 0);
  ASSERT_EQ(resource_memory_caches.groups[0].slots.size(), 1u);
  EXPECT_EQ(resource_memory_caches.groups[0].slots[0].name, "bg\\sky.png");
  EXPECT_EQ(resource_memory_caches.groups[0].slots[0].type, resource_type_png);
  std::remove((game.path() + "bg/sky.png").c_str());
  read_result r = fetch("bg/sky", resource_kind_image);
  EXPECT_EQ(r.read, 0);
  EXPECT_EQ(r.locator.type, resource_type_png);
  // Another group takes its own copy through the cache reader.
  std::string again = "bg/sky.png";
  ASSERT_EQ(preload_resource(2, again, resource_kind_image), 0);
  EXPECT_EQ(resource_memory_caches.groups[2].slots.size(), 1u);
  EXPECT_EQ(resource_memory_caches.groups[0].slots.size(), 1u);
}
