#include <algorithm>

#include "format/hashes.h"
#include "resources_fixture.h"

namespace {

// The multiplicative inverse of MurmurHash2's constant modulo 2^32.
uint32_t inverse_of(uint32_t a) {
  uint32_t x = a;  // Newton: each step doubles the correct low bits
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}

// An 8-byte name of lower-case letters and digits whose MurmurHash2 is 0:
// MurmurHash2 is invertible, so the second word is solved from the first.
std::string name_hashing_to_zero() {
  const uint32_t m = 0x5bd1e995, mi = inverse_of(m);
  auto mix = [&](uint32_t k) {
    k *= m;
    k ^= k >> 24;
    return k * m;
  };
  auto unmix = [&](uint32_t k) {
    k *= mi;
    k ^= k >> 24;
    return k * mi;
  };
  auto nice = [](uint8_t b) { return (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9'); };
  for (uint32_t n = 0;; ++n) {
    char prefix[4] = {static_cast<char>('a' + n % 26), static_cast<char>('a' + n / 26 % 26),
                      static_cast<char>('a' + n / 676 % 26), static_cast<char>('a' + n / 17576 % 26)};
    uint32_t k1 = get_u32(reinterpret_cast<const uint8_t*>(prefix));
    uint32_t h1 = (8u * m) ^ mix(k1);
    uint32_t k2 = unmix(h1 * m);
    uint8_t b[4] = {static_cast<uint8_t>(k2), static_cast<uint8_t>(k2 >> 8), static_cast<uint8_t>(k2 >> 16),
                    static_cast<uint8_t>(k2 >> 24)};
    if (nice(b[0]) && nice(b[1]) && nice(b[2]) && nice(b[3]))
      return std::string(prefix, 4) + std::string(reinterpret_cast<char*>(b), 4);
  }
}

std::string text_of(const resource_locator& l) { return std::string(l.data.begin(), l.data.end()); }

}  // namespace

class pack_archive : public resource_test {};

TEST_F(pack_archive, ScanCoversTheFolderAndPacOnlyAndSkipsOtherMagic) {
  write_pack("a.kpf", {pack_file("root.txt", bytes_of("root"))});
  write_pack("PAC/b.KPF", {pack_file("pac.txt", bytes_of("pac"))});
  write_pack("PAC/deeper/c.kpf", {pack_file("deep.txt", bytes_of("deep"))});
  write_pack("other/d.kpf", {pack_file("other.txt", bytes_of("other"))});
  game.write("e.kpf", std::string("NOTAPACK and some more bytes"));
  game.write("tiny.kpf", std::string("KP"));
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.pack_paths.size(), 2u);
  EXPECT_TRUE(std::count(pack_entry_tables.pack_paths.begin(), pack_entry_tables.pack_paths.end(), ".\\pac\\b.kpf"));
  EXPECT_EQ(fetch("root.txt").read, 0);
  EXPECT_EQ(text_of(fetch("pac.txt").locator), "pac");
  EXPECT_EQ(fetch("deep.txt").resolve, 1);
  EXPECT_EQ(fetch("other.txt").resolve, 1);
  EXPECT_EQ(pack_entry_tables.release_mode, 0);
}

TEST_F(pack_archive, VersionsFrom234AreAccepted) {
  for (uint32_t v : {234u, 553u, 600u}) {
    pack_writer_options o;
    o.version = v;
    write_pack("p" + std::to_string(v) + ".kpf", {pack_file("f" + std::to_string(v), bytes_of("x"))}, o);
  }
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.pack_paths.size(), 3u);

  pack_writer_options old;
  old.version = 233;
  write_pack("old.kpf", {pack_file("g", bytes_of("x"))}, old);
  report_probe probe;
  EXPECT_EQ(open_pack_archives(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104120});
  EXPECT_EQ(quit_flag.load(), 1);
}

TEST_F(pack_archive, AHundredPacksOpenAndTheNextFails) {
  for (int i = 0; i < 100; ++i) write_pack("p" + std::to_string(i) + ".kpf", {pack_file("f" + std::to_string(i), {})});
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.pack_paths.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(fetch("f" + std::to_string(i)).read, 0);

  write_pack("p100.kpf", {pack_file("f100", {})});
  report_probe probe;
  EXPECT_EQ(open_pack_archives(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104130});
}

TEST_F(pack_archive, AHundredThousandEntriesOpenAndOneMoreFails) {
  std::vector<pack_writer_entry> half;
  for (int i = 0; i < 50000; ++i) half.push_back(pack_file("a" + std::to_string(i), {}, pack_stored, false));
  write_pack("a.kpf", half);
  for (auto& e : half) e.name[0] = 'b';
  write_pack("b.kpf", half);
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.entry_total, 100000u);
  EXPECT_EQ(pack_entry_tables.hashes.size(), 100000u);
  EXPECT_TRUE(std::is_sorted(pack_entry_tables.hashes.begin(), pack_entry_tables.hashes.end()));
  EXPECT_EQ(fetch("b49999").read, 0);

  write_pack("c.kpf", {pack_file("c", {})});
  report_probe probe;
  EXPECT_EQ(open_pack_archives(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104140});
}

TEST_F(pack_archive, DuplicateInOrdinaryPacksIsAnError) {
  write_pack("a.kpf", {pack_file("same.txt", bytes_of("a"))});
  write_pack("b.kpf", {pack_file("SAME.TXT", bytes_of("b"))});
  report_probe probe;
  EXPECT_EQ(open_pack_archives(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104150});
  EXPECT_EQ(quit_flag.load(), 0);  // the duplicate report passes quit 0; start-up ends on the result
}

TEST_F(pack_archive, TheFirstFaultInPackOrderIsTheOneReported) {
  // Packs are met in registration order (the game folder, then pac): a
  // duplicate in the folder is reported before a damaged table in pac, and
  // a damaged table in the folder before a duplicate in pac. The duplicate
  // is named as the later pack stores it.
  std::vector<uint8_t> damaged;
  ASSERT_TRUE(build_pack({pack_file("n", bytes_of("x"))}, damaged));
  damaged[8] = 0xFF;  // more entries than the table holds
  write_pack("a.kpf", {pack_file("one.txt", bytes_of("a")), pack_file("same.txt", bytes_of("a"))});
  write_pack("b.kpf", {pack_file("Same.Txt", bytes_of("b"))});
  game.write("pac/c.kpf", damaged);
  {
    report_probe probe;
    EXPECT_EQ(open_pack_archives(), -1);
    EXPECT_EQ(probe.codes(), std::vector<int>{104150});
    ASSERT_EQ(probe.texts().size(), 1u);
    const bool a_first = pack_entry_tables.pack_paths[0] == ".\\a.kpf";
    EXPECT_NE(probe.texts()[0].find(a_first ? "Same.Txt" : "same.txt"), std::string::npos) << probe.texts()[0];
  }
  std::remove((game.path() + "a.kpf").c_str());
  std::remove((game.path() + "b.kpf").c_str());
  std::remove((game.path() + "pac/c.kpf").c_str());
  game.write("c.kpf", damaged);
  write_pack("pac/a.kpf", {pack_file("same.txt", bytes_of("a"))});
  write_pack("pac/b.kpf", {pack_file("same.txt", bytes_of("b"))});
  report_probe probe;
  EXPECT_EQ(open_pack_archives(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104120});
}

TEST_F(pack_archive, UpdatePacksHideEarlierEntries) {
  const std::string zero = name_hashing_to_zero();
  ASSERT_EQ(name_hash(zero), 0u);
  write_pack("base.kpf", {pack_file("x.txt", bytes_of("base")), pack_file("y.txt", bytes_of("base")),
                          pack_file(zero, bytes_of("base"))});
  write_pack("update2.kpf", {pack_file("x.txt", bytes_of("update2"))});
  write_pack("UPDATE1.kpf", {pack_file("y.txt", bytes_of("update1")), pack_file(zero, bytes_of("update1"))});
  write_pack("pac/update3.kpf", {pack_file("Y.TXT", bytes_of("update3")), pack_file(zero, bytes_of("update3"))});
  ASSERT_EQ(open_pack_archives(), 0);
  // Update packs come last, update1 .. update9, whatever the listing order.
  ASSERT_EQ(pack_entry_tables.pack_paths.size(), 4u);
  EXPECT_EQ(pack_entry_tables.pack_paths[1], ".\\update1.kpf");
  EXPECT_EQ(pack_entry_tables.pack_paths[3], ".\\pac\\update3.kpf");
  EXPECT_EQ(text_of(fetch("x.txt").locator), "update2");
  EXPECT_EQ(text_of(fetch("y.txt").locator), "update3");
  EXPECT_EQ(text_of(fetch(zero).locator), "update3");
  EXPECT_EQ(pack_entry_tables.entry_total, 8u);
  EXPECT_EQ(pack_entry_tables.hashes.size(), 3u);  // hidden copies never match again
}

TEST_F(pack_archive, UpdatePackInBothFoldersKeepsTheLaterFind) {
  write_pack("update4.kpf", {pack_file("u.txt", bytes_of("root"))});
  write_pack("pac/Update4.kpf", {pack_file("u.txt", bytes_of("pac"))});
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.update_slots[4], ".\\pac\\update4.kpf");
  EXPECT_EQ(pack_entry_tables.pack_paths.size(), 1u);
  EXPECT_EQ(text_of(fetch("u.txt").locator), "pac");
}

TEST_F(pack_archive, ConfigurationInAPackMakesAReleaseRun) {
  write_pack("data.kpf", {pack_file("KXBIN\\KxCfg.kbn", bytes_of("cfg"))});
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.release_mode, 1);
  EXPECT_EQ(fetch("kxbin/kxcfg.kbn").read, 0);
}

TEST_F(pack_archive, CapitalsFindLowerCaseEntriesAndTypeComesFromTheEntry) {
  write_pack("data.kpf", {pack_file("cg\\face.png", bytes_of("kcgdata"), pack_stored, true, resource_type_kcg)});
  ASSERT_EQ(open_pack_archives(), 0);
  read_result r = fetch("CG\\FACE", resource_kind_image);
  ASSERT_EQ(r.resolve, 0);
  EXPECT_EQ(r.name, "cg\\face.png");
  EXPECT_EQ(r.locator.state, resource_in_pack);
  EXPECT_EQ(r.locator.type, resource_type_kcg);
  EXPECT_EQ(text_of(r.locator), "kcgdata");
}

TEST_F(pack_archive, StoredAndZlibEntriesReadBackExactly) {
  std::vector<pack_writer_entry> entries;
  for (size_t size : {0u, 1u, 1023u, 1024u, 1025u, 5000u, 70000u}) {
    entries.push_back(pack_file("s" + std::to_string(size), pattern_bytes(size, size), pack_stored));
    entries.push_back(pack_file("z" + std::to_string(size), std::vector<uint8_t>(size, 'q'), pack_zlib));
  }
  write_pack("data.kpf", entries);
  ASSERT_EQ(open_pack_archives(), 0);
  for (const auto& e : entries) {
    read_result r = fetch(e.name);
    ASSERT_EQ(r.read, 0) << e.name;
    EXPECT_EQ(r.locator.data, e.data) << e.name;
    EXPECT_EQ(r.locator.size, e.data.size());
  }
}

namespace {

// Offset of an entry's stored bytes in a pack built from `entries`.
uint64_t data_offset_of(const std::vector<uint8_t>& pack, const std::string& name) {
  memory_read_file f(pack);
  pack_header_info h;
  std::vector<pack_entry_info> entries;
  read_pack_header(f, h);
  read_pack_entry_table(f, h, entries);
  for (const auto& e : entries)
    if (e.name == name) return e.data_offset;
  return 0;
}

}  // namespace

TEST_F(pack_archive, OneDamagedBlockIsRepairedTwoAreNot) {
  std::vector<uint8_t> data = pattern_bytes(4000, 7);
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({pack_file("one", data), pack_file("two", data), pack_file("bare", data, pack_stored, false),
                          pack_file("zip", pattern_bytes(3000, 9), pack_zlib)},
                         pack));
  uint64_t one = data_offset_of(pack, "one"), two = data_offset_of(pack, "two"), bare = data_offset_of(pack, "bare"),
           zip = data_offset_of(pack, "zip");
  pack[one + 1500] ^= 0x5A;
  pack[one + 1600] ^= 0x01;  // same block
  pack[two + 10] ^= 0xFF;
  pack[two + 3999] ^= 0xFF;  // the short last block
  pack[bare + 5] ^= 0x10;
  pack[zip + 40] ^= 0x33;
  game.write("data.kpf", pack);
  ASSERT_EQ(open_pack_archives(), 0);

  read_result r = fetch("one");
  EXPECT_EQ(r.read, 0);
  EXPECT_EQ(r.locator.data, data);
  read_result z = fetch("zip");
  EXPECT_EQ(z.read, 0);
  EXPECT_EQ(z.locator.data, pattern_bytes(3000, 9));

  for (const char* name : {"two", "bare"}) {
    report_probe probe;
    read_result bad = fetch(name);
    EXPECT_EQ(bad.read, -2) << name;
    EXPECT_TRUE(bad.locator.data.empty());
    EXPECT_EQ(probe.codes(), std::vector<int>{104100});
  }
}

TEST_F(pack_archive, IntactZlibEntryIsNotChecksummed) {
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({pack_file("z", pattern_bytes(100, 3), pack_zlib, false)}, pack));
  // The checksum is the entry's last field; the table holds one entry.
  size_t checksum_at = pack_header_size + pack_entry_fixed_size + 1 - 4;
  pack[checksum_at] ^= 0xFF;
  game.write("data.kpf", pack);
  ASSERT_EQ(open_pack_archives(), 0);
  read_result r = fetch("z");
  EXPECT_EQ(r.read, 0);
  EXPECT_EQ(r.locator.data, pattern_bytes(100, 3));
}

namespace {

// Rewrites one u32 of the single entry's fixed fields (offset 0 = compression).
void patch_field(std::vector<uint8_t>& pack, size_t field_offset, uint32_t value, size_t name_length) {
  size_t at = pack_header_size + 4 + 1 + name_length + 1 + field_offset;
  for (int i = 0; i < 4; ++i) pack[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

TEST_F(pack_archive, EntriesThatWouldComeBackShortAreDamaged) {
  std::vector<uint8_t> stored, zipped, odd;
  ASSERT_TRUE(build_pack({pack_file("s", pattern_bytes(100, 1), pack_stored)}, stored));
  ASSERT_TRUE(build_pack({pack_file("z", pattern_bytes(100, 1), pack_zlib)}, zipped));
  ASSERT_TRUE(build_pack({pack_file("o", pattern_bytes(100, 1), pack_stored)}, odd));
  patch_field(stored, 1, 200, 1);  // unpacked size larger than the stored bytes
  patch_field(zipped, 1, 150, 1);  // the stream inflates to 100 only
  odd[pack_header_size + 4 + 1 + 1 + 1] = 7;  // unknown compression
  game.write("s.kpf", stored);
  game.write("z.kpf", zipped);
  game.write("o.kpf", odd);
  ASSERT_EQ(open_pack_archives(), 0);
  {
    report_probe probe;
    EXPECT_EQ(fetch("s").read, -2);
    EXPECT_EQ(fetch("z").read, -2);
    EXPECT_EQ(probe.codes(), (std::vector<int>{104100, 104100}));
  }
  {
    report_probe probe;
    EXPECT_EQ(fetch("o").read, -3);
    EXPECT_EQ(probe.codes(), std::vector<int>{901040});
  }
}

TEST_F(pack_archive, ZlibStreamTooLargeForItsBufferIsABufferError) {
  std::vector<uint8_t> zipped;
  ASSERT_TRUE(build_pack({pack_file("z", std::vector<uint8_t>(5000, 'a'), pack_zlib)}, zipped));
  patch_field(zipped, 1, 100, 1);
  game.write("z.kpf", zipped);
  ASSERT_EQ(open_pack_archives(), 0);
  report_probe probe;
  EXPECT_EQ(fetch("z").read, -2);
  EXPECT_EQ(probe.codes(), std::vector<int>{900040});
}

TEST_F(pack_archive, DataOutsideTheFileIsDamagedNotRead) {
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({pack_file("far", pattern_bytes(50, 2))}, pack));
  size_t at = pack_header_size + 4 + 1 + 3 + 1 + 9;  // data offset
  for (int i = 0; i < 8; ++i) pack[at + i] = 0xF0;
  game.write("p.kpf", pack);
  ASSERT_EQ(open_pack_archives(), 0);
  report_probe probe;
  EXPECT_EQ(fetch("far").read, -2);
  EXPECT_EQ(probe.codes(), std::vector<int>{104100});
}

TEST_F(pack_archive, DamagedTablesAtEveryLengthNeverCrash) {
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({pack_file("first.txt", bytes_of("one")), pack_file("second.png", bytes_of("two"))}, pack));
  for (size_t cut = 0; cut < pack.size(); ++cut) {
    SetUp();
    game.write("p.kpf", std::vector<uint8_t>(pack.begin(), pack.begin() + cut));
    report_probe probe;
    int r = open_pack_archives();
    if (r == 0 && !pack_entry_tables.pack_paths.empty()) {
      // Only a table that survived whole may open; reads then fail cleanly.
      ASSERT_GE(cut, pack_header_size + 2 * pack_entry_fixed_size + 19);
      fetch("first.txt");
      fetch("second.png");
    }
  }
  for (size_t at = 0; at < pack_header_size + 100 && at < pack.size(); ++at) {
    SetUp();
    std::vector<uint8_t> bad = pack;
    bad[at] ^= 0xA5;
    game.write("p.kpf", bad);
    report_probe probe;
    if (open_pack_archives() == 0) {
      fetch("first.txt");
      fetch("second.png");
    }
  }
}

TEST_F(pack_archive, TableLengthsAreCheckedAgainstTheFile) {
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({pack_file("n", bytes_of("x"))}, pack));
  std::vector<uint8_t> huge_count = pack, long_name = pack;
  huge_count[8] = 0xFF;
  huge_count[9] = 0xFF;  // 65535 + entries in a 28-byte table
  long_name[pack_header_size + 4] = pack_name_length_inverse()[200];
  game.write("a.kpf", huge_count);
  {
    report_probe probe;
    EXPECT_EQ(open_pack_archives(), -1);
    EXPECT_EQ(probe.codes(), std::vector<int>{104120});
  }
  std::remove((game.path() + "a.kpf").c_str());
  game.write("b.kpf", long_name);
  report_probe probe;
  EXPECT_EQ(open_pack_archives(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104120});
}

namespace {

// A pack of `entries` whose every stored name hash is `hash`, whatever the
// names: a table made to collide.
std::vector<uint8_t> pack_with_one_hash(const std::vector<pack_writer_entry>& entries, uint32_t hash) {
  std::vector<uint8_t> pack;
  EXPECT_TRUE(build_pack(entries, pack));
  memory_read_file f(pack);
  pack_header_info h;
  std::vector<pack_entry_info> table;
  read_pack_header(f, h);
  read_pack_entry_table(f, h, table);
  for (const pack_entry_info& e : table) put_u32(&pack[e.entry_position - 4], hash);
  return pack;
}

}  // namespace

TEST_F(pack_archive, EntriesSharingOneHashAreSortedAndComparedByName) {
  // 100 names under one hash: only the name that really has it can be looked
  // up, the others are still distinct entries, and copies in update packs
  // hide them one by one.
  const uint32_t hash = name_hash("c7");
  std::vector<pack_writer_entry> many;
  for (int i = 0; i < 100; ++i) many.push_back(pack_file("c" + std::to_string(i), bytes_of("a" + std::to_string(i))));
  game.write("a.kpf", pack_with_one_hash(many, hash));
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.hashes.size(), 100u);
  EXPECT_TRUE(std::is_sorted(pack_entry_tables.hashes.begin(), pack_entry_tables.hashes.end()));
  for (size_t i = 0; i < pack_entry_tables.size(); ++i) EXPECT_EQ(std::string(pack_entry_tables.name(i)), "c" + std::to_string(i));
  EXPECT_EQ(text_of(fetch("C7").locator), "a7");
  EXPECT_EQ(fetch("c8").resolve, 1);

  game.write("update1.kpf", pack_with_one_hash({pack_file("c7", bytes_of("u7")), pack_file("C50", bytes_of("u50"))}, hash));
  game.write("pac/update2.kpf", pack_with_one_hash({pack_file("c7", bytes_of("v7"))}, hash));
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.hashes.size(), 100u);
  EXPECT_EQ(text_of(fetch("c7").locator), "v7");
  std::vector<std::string> names;
  for (size_t i = 0; i < pack_entry_tables.size(); ++i) names.emplace_back(pack_entry_tables.name(i));
  EXPECT_EQ(std::count(names.begin(), names.end(), "c7"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "c50"), 1);

  // The first copy in pack order that meets an earlier one in an ordinary
  // pack is the one named, as that pack stores it.
  game.write("b.kpf", pack_with_one_hash({pack_file("C60", bytes_of("b")), pack_file("c61", bytes_of("b"))}, hash));
  report_probe probe;
  EXPECT_EQ(open_pack_archives(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104150});
  ASSERT_EQ(probe.texts().size(), 1u);
  const bool a_first = pack_entry_tables.pack_paths[0] == ".\\a.kpf";
  EXPECT_NE(probe.texts()[0].find(a_first ? "[C60]" : "[c60]"), std::string::npos) << probe.texts()[0];
}

TEST_F(pack_archive, NameRulesOfLookupsDuplicatesAndTheReleaseTest) {
  // Shift-JIS: the trail byte of a double-byte character is not a letter, so
  // names differing only there are two entries; ASCII letters fold.
  const std::string upper_trail = "cg\\\x83\x41.png", lower_trail = "cg\\\x83\x61.png";
  write_pack("a.kpf", {pack_file(upper_trail, bytes_of("upper")), pack_file("Mixed\\Case.TXT", bytes_of("mixed")),
                       pack_file("kxbin\\kxcfg.kbx", bytes_of("not the configuration"))});
  write_pack("b.kpf", {pack_file(lower_trail, bytes_of("lower"))});
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.release_mode, 0);
  const struct {
    std::string request;
    std::string data;
  } cases[] = {
      {upper_trail, "upper"},        {lower_trail, "lower"},         {"CG\\\x83\x41.PNG", "upper"},
      {"mixed\\case.txt", "mixed"},  {"MIXED/CASE.txt", "mixed"},    {"kxbin\\KXCFG.KBX", "not the configuration"},
  };
  for (const auto& c : cases) {
    read_result r = fetch(c.request);
    EXPECT_EQ(r.read, 0) << c.request;
    EXPECT_EQ(text_of(r.locator), c.data) << c.request;
  }
  for (const char* missing : {"mixed\\case.tx", "mixed\\case.txt2", "cg\\\x83\x42.png", ""})
    EXPECT_EQ(fetch(missing).resolve, 1) << missing;
}

TEST_F(pack_archive, NamesThatEatTheRoomOfLaterEntriesAreATableFault) {
  // More entries declared than the table holds, after a first entry whose
  // name fills the table to its end: as many as pass the rough test (27
  // bytes an entry), so only the walk can refuse them.
  for (size_t length : {1u, 9u, 30u, 31u, 40u, 200u, 255u}) {
    SetUp();
    std::vector<uint8_t> pack;
    ASSERT_TRUE(build_pack({pack_file(std::string(length, 'n'), bytes_of("x"))}, pack));
    put_u32(&pack[8], std::max<uint32_t>(2, get_u32(&pack[12]) / pack_entry_fixed_size));
    game.write("p.kpf", pack);
    report_probe probe;
    EXPECT_EQ(open_pack_archives(), -1) << length;
    EXPECT_EQ(probe.codes(), std::vector<int>{104120}) << length;
  }
}

TEST_F(pack_archive, LookupsWrapPastTheLastSlotAndNameTheirSortedIndex) {
  // A hash at the top of the range puts its entries at the end of the lookup
  // slots and past it at the start; the entry wanted comes last of them.
  std::string top;
  for (int i = 0; name_hash(top) < 0xFF000000u; ++i) top = "w" + std::to_string(i);
  std::vector<pack_writer_entry> crowd;
  for (int i = 0; i < 60; ++i) crowd.push_back(pack_file("q" + std::to_string(i), bytes_of("q")));
  crowd.push_back(pack_file(top, bytes_of("top")));
  game.write("a.kpf", pack_with_one_hash(crowd, name_hash(top)));
  write_pack("b.kpf", {pack_file("plain", bytes_of("p")), pack_file(name_hashing_to_zero(), bytes_of("z"))});
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(text_of(fetch(top).locator), "top");
  EXPECT_EQ(fetch("q3").resolve, 1);  // its real hash is not the one stored
  for (const std::string& name : {top, std::string("plain"), name_hashing_to_zero()}) {
    resource_locator l;
    ASSERT_EQ(find_in_packs(l, name), 2) << name;
    const size_t i = static_cast<size_t>(l.entry_index);
    ASSERT_LT(i, pack_entry_tables.size());
    EXPECT_EQ(pack_entry_tables.name(i), name);
    EXPECT_EQ(pack_entry_tables.hashes[i], name_hash(name));
    EXPECT_EQ(l.position, pack_entry_tables.data_position(i));
    EXPECT_EQ(l.pack_index, pack_entry_tables.pack_index(i));
  }
}

TEST_F(pack_archive, EveryVisibleEntryIsFoundAtItsSortedIndex) {
  // Thousands of entries over many buckets, names long and short around the
  // fixed-size moves, hidden copies left out: each entry is found with its
  // own fields, and names that are not there are not.
  std::vector<pack_writer_entry> a, b;
  for (int i = 0; i < 3000; ++i) {
    std::string tail = std::string(static_cast<size_t>(i % 40), 'x') + std::to_string(i);
    a.push_back(pack_file("a\\" + tail, {}, pack_stored, false, static_cast<uint8_t>(i % 7)));
    b.push_back(pack_file("B\\" + tail, {}, pack_stored, false, static_cast<uint8_t>(i % 5)));
  }
  for (size_t length : {1u, 30u, 31u, 32u, 33u, 254u, 255u}) a.push_back(pack_file(std::string(length, 'L'), {}));
  write_pack("a.kpf", a);
  write_pack("pac/b.kpf", b);
  write_pack("update1.kpf", {pack_file("a\\0", bytes_of("new")), pack_file(std::string(255, 'l'), {})});
  ASSERT_EQ(open_pack_archives(), 0);
  const pack_entry_tables_record& t = pack_entry_tables;
  ASSERT_EQ(t.size(), 6007u);
  for (size_t i = 0; i < t.size(); ++i) {
    resource_locator l;
    ASSERT_EQ(find_in_packs(l, t.name(i)), 2) << t.name(i);
    EXPECT_EQ(l.entry_index, static_cast<int32_t>(i));
    EXPECT_EQ(l.pack_index, t.pack_index(i));
    EXPECT_EQ(l.type, t.type(i));
    EXPECT_EQ(l.position, t.data_position(i));
  }
  EXPECT_EQ(text_of(fetch("A\\0").locator), "new");
  for (int i = 0; i < 3000; ++i) {
    resource_locator l;
    EXPECT_EQ(find_in_packs(l, "c\\" + std::to_string(i)), 0) << i;
  }
}

TEST_F(pack_archive, AnEntryFarIntoACrowdedBucketIsFound) {
  // Long names under one hash fill many lines of one bucket; the name wanted
  // comes last, stored in capitals, behind one that differs only in its last
  // byte.
  const std::string wanted = std::string(254, 'n') + "w";
  std::vector<pack_writer_entry> crowd;
  for (int i = 0; i < 40; ++i) crowd.push_back(pack_file(std::string(253, 'n') + std::to_string(i + 10), {}));
  crowd.push_back(pack_file(std::string(254, 'n') + "v", {}));
  crowd.push_back(pack_file(std::string(254, 'N') + "W", bytes_of("far"), pack_stored, true, 3));
  game.write("a.kpf", pack_with_one_hash(crowd, name_hash(wanted)));
  ASSERT_EQ(open_pack_archives(), 0);
  resource_locator l;
  ASSERT_EQ(find_in_packs(l, wanted), 2);
  EXPECT_EQ(l.entry_index, 41);
  EXPECT_EQ(l.type, 3);
  EXPECT_EQ(text_of(fetch(wanted).locator), "far");
  EXPECT_EQ(find_in_packs(l, std::string(254, 'n') + "x"), 0);
}

TEST_F(pack_archive, NothingIsFoundWithoutACompletedOpening) {
  const struct {
    std::vector<std::pair<std::string, std::string>> packs;  // file, entry name
    int opened;
  } cases[] = {
      {{}, 0},                                            // no pack at all
      {{{"a.kpf", ""}}, 0},                               // a pack without entries
      {{{"a.kpf", "same"}, {"b.kpf", "same"}}, -1},       // an opening that fails
  };
  for (const auto& c : cases) {
    SetUp();
    for (const auto& [file, entry] : c.packs)
      write_pack(file, entry.empty() ? std::vector<pack_writer_entry>{} : std::vector{pack_file(entry, {})});
    report_probe probe;
    EXPECT_EQ(open_pack_archives(), c.opened);
    resource_locator l;
    EXPECT_EQ(find_in_packs(l, "same"), 0);
    EXPECT_EQ(find_in_packs(l, ""), 0);
  }
}

TEST(lookup_block, LargeBlocksTakeWholeLargePagesAndSmallOnesWholeLines) {
  for (size_t size : {size_t{1}, size_t{100}, lookup_block::large_page_threshold - 1, lookup_block::large_page_threshold,
                      large_page_size * 2 + 1}) {
    lookup_block block(size);
    ASSERT_TRUE(block) << size;
    const size_t alignment = size >= lookup_block::large_page_threshold ? large_page_size : 64;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block.data()) % alignment, 0u) << size;
    block.data()[size - 1] = 1;
    uint8_t* data = block.data();
    lookup_block moved(std::move(block));
    EXPECT_EQ(moved.data(), data);
    EXPECT_FALSE(block);
  }
}

TEST_F(pack_archive, AnOpeningReusesTheLastBlockAndNoneOfItsEntries) {
  std::vector<pack_writer_entry> many;
  for (int i = 0; i < 2000; ++i) many.push_back(pack_file("old" + std::to_string(i), {}, pack_stored, false));
  write_pack("a.kpf", many);
  ASSERT_EQ(open_pack_archives(), 0);
  const uint8_t* block = pack_entry_tables.lookup.data();
  write_pack("a.kpf", {pack_file("new", bytes_of("n"))});
  ASSERT_EQ(open_pack_archives(), 0);
  EXPECT_EQ(pack_entry_tables.lookup.data(), block);
  EXPECT_EQ(text_of(fetch("new").locator), "n");
  resource_locator l;
  for (const char* gone : {"old0", "old1", "old1999"}) EXPECT_EQ(find_in_packs(l, gone), 0) << gone;
}
