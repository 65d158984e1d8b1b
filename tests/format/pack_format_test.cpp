#include "format/pack_format.h"

#include <gtest/gtest.h>

#include <set>

#include "format/canonical_commands.h"
#include "format/compiled_files.h"
#include "format/hashes.h"

TEST(PackFormat, NameScramblingIsInvertibleAndNotTheIdentity) {
  const auto& table = pack_name_length_table();
  const auto& inverse = pack_name_length_inverse();
  std::set<uint8_t> seen(table.begin(), table.end());
  EXPECT_EQ(seen.size(), 256u);
  int moved = 0;
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(table[inverse[i]], i);
    EXPECT_EQ(unscramble_name_byte(scramble_name_byte(static_cast<uint8_t>(i))), i);
    moved += table[i] != i;
    moved += scramble_name_byte(static_cast<uint8_t>(i)) != i;
  }
  EXPECT_GT(moved, 400);
  std::string name = "kxbin\\kxcfg.kbn";
  EXPECT_NE(scramble_name(name), name);
  EXPECT_EQ(unscramble_name(scramble_name(name)), name);
}

TEST(PackFormat, CodeFileKeyIsTheCrcOfTheKeyTextHighByteFirst) {
  auto key = derive_code_file_key();
  uint32_t crc = compute_crc32("zarvik compiled section key 1.0", 31);
  EXPECT_EQ(key[0], crc >> 24);
  EXPECT_EQ(key[3], crc & 0xFF);
  std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7};
  scramble_code_section(data.data(), data.size(), key);
  EXPECT_EQ(data[4], 5 ^ key[0]);
  scramble_code_section(data.data(), data.size(), key);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST(PackFormat, WriterLayoutIsExact) {
  std::vector<uint8_t> pack;
  pack_writer_entry e;
  e.name = "CG\\A.png";
  e.data = {9, 8, 7};
  e.type = 0xFF;
  ASSERT_TRUE(build_pack({e}, pack));
  ASSERT_EQ(pack.size(), 32u + 27 + 8 + 3 + 8 + 2 + 1024);
  EXPECT_EQ(std::string(pack.begin(), pack.begin() + 4), std::string("KPF\0", 4));
  EXPECT_EQ(get_u32(&pack[4]), 553u);
  EXPECT_EQ(get_u32(&pack[8]), 1u);
  EXPECT_EQ(get_u32(&pack[12]), 35u);
  EXPECT_EQ(get_u32(&pack[32]), name_hash("cg\\a.png"));  // hashed in lower case
  EXPECT_EQ(pack_name_length_table()[pack[36]], 8);
  EXPECT_EQ(unscramble_name(std::string(pack.begin() + 37, pack.begin() + 45)), "CG\\A.png");
  EXPECT_EQ(pack[45], resource_type_png);
  EXPECT_EQ(pack[46], pack_stored);
  EXPECT_EQ(get_u32(&pack[47]), 3u);
  EXPECT_EQ(get_u32(&pack[51]), 3u);
  EXPECT_EQ(get_u64(&pack[55]), 67u);
  EXPECT_EQ(get_u32(&pack[63]), murmur_hash2(e.data.data(), 3, 0));
  EXPECT_EQ(pack[67], 9);
  EXPECT_EQ(get_u32(&pack[70]), 1024u);  // parity size
  EXPECT_EQ(get_u32(&pack[74]), 1u);     // one block
  EXPECT_EQ(get_u16(&pack[78]), static_cast<uint16_t>(compute_crc32(e.data.data(), 3)));
  EXPECT_EQ(pack[80], 9);  // parity = the only block, zero padded
  EXPECT_EQ(pack[83], 0);
}

TEST(PackFormat, RepairRebuildsOneBlockAndNotTwo) {
  std::vector<uint8_t> data(3500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint16_t> crcs;
  std::vector<uint8_t> parity;
  compute_pack_repair_data(data.data(), data.size(), crcs, parity);
  pack_repair_trailer t{1024, 4, crcs, parity};
  for (size_t block = 0; block < 4; ++block) {
    std::vector<uint8_t> bad = data;
    for (size_t k = 0; k < 300; k += 7) bad[std::min(block * 1024 + k, bad.size() - 1)] ^= 0x42;
    repair_pack_blocks(bad.data(), bad.size(), t);
    EXPECT_EQ(bad, data) << block;
  }
  std::vector<uint8_t> two = data;
  two[10] ^= 1;
  two[2000] ^= 1;
  repair_pack_blocks(two.data(), two.size(), t);
  EXPECT_NE(two, data);
}

TEST(PackFormat, TrailerMustDescribeTheEntry) {
  std::vector<uint8_t> bytes;
  put_u32(bytes, 1024);
  put_u32(bytes, 3);  // 3 blocks for 2000 bytes: wrong
  bytes.resize(bytes.size() + 6 + 1024);
  memory_read_file f(bytes);
  pack_repair_trailer t;
  EXPECT_EQ(read_pack_repair_trailer(f, 0, 2000, t), repair_trailer_status::bad);
  EXPECT_EQ(read_pack_repair_trailer(f, 0, 3000, t), repair_trailer_status::ok);
  EXPECT_EQ(read_pack_repair_trailer(f, 1, 3000, t), repair_trailer_status::bad);  // runs past the end
  memory_read_file none(std::vector<uint8_t>(4, 0));
  EXPECT_EQ(read_pack_repair_trailer(none, 0, 5, t), repair_trailer_status::none);
}

TEST(CompiledFormat, FilesReadBackExactlyAsWritten) {
  compiled_engine_config c;
  c.main_width = 1280;
  c.image_order = {4, 3, 2, 1, 5, 6, 7, 8};
  c.release_loose_first = 1;
  c.unread_72 = 77;
  c.title = "Title";
  compiled_engine_config c2;
  auto bytes = write_engine_config_file(c);
  EXPECT_EQ(bytes.size(), 78u + 5);
  EXPECT_EQ(get_u32(&bytes[16]), 1280u);
  EXPECT_EQ(bytes[28], 4);
  EXPECT_EQ(get_u32(&bytes[68]), 1u);
  EXPECT_EQ(get_u16(&bytes[76]), 5u);
  ASSERT_EQ(parse_engine_config_file(bytes.data(), bytes.size(), c2), compiled_ok);
  EXPECT_EQ(write_engine_config_file(c2), bytes);

  std::vector<compiled_script_record> scripts = {{0, "main.txt", 5}, {1, "\x93\xfa\x96\x7b.txt", 6}};
  bytes = write_script_list_file(scripts);
  EXPECT_EQ(bytes.size(), 16u + 28 + 8 + 28 + 8);
  uint32_t count = 0;
  std::vector<compiled_script_record> back;
  ASSERT_EQ(parse_script_list_file(bytes.data(), bytes.size(), count, back), compiled_ok);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(back[1].source_name, scripts[1].source_name);
  EXPECT_EQ(back[1].entry_value, 6u);

  std::vector<compiled_label_record> labels = {{"B", 0, 1, 2, 3, 4}, {"A", 0, 5, 6, 7, 8}};
  bytes = write_label_file(labels);
  compiled_label_file lf;
  ASSERT_EQ(parse_label_file(bytes.data(), bytes.size(), lf), compiled_ok);
  EXPECT_EQ(bytes.size(), 1036u + 2 * 14);
  EXPECT_EQ(write_label_file(lf.labels), bytes);

  compiled_command_file cf = canonical_command_file();
  bytes = write_command_file(cf);
  compiled_command_file cf2;
  ASSERT_EQ(parse_command_file(bytes.data(), bytes.size(), cf2), compiled_ok);
  EXPECT_EQ(write_command_file(cf2), bytes);
  EXPECT_EQ(cf2.commands.size(), 108u);

  std::vector<compiled_error_text> texts = {{-1, ""}, {104010, "[%s]"}};
  bytes = write_error_text_file(texts);
  std::vector<compiled_error_text> texts2;
  ASSERT_EQ(parse_error_text_file(bytes.data(), bytes.size(), texts2), compiled_ok);
  EXPECT_EQ(write_error_text_file(texts2), bytes);
  EXPECT_EQ(texts2[0].code, -1);
}

TEST(CompiledFormat, CodeFileSectionsAreScrambled) {
  compiled_code_file f;
  f.expression_pool = {'1', '+', '2'};
  f.instructions.push_back({43, 0, {{0, 1, 0, 3, 0}, {1, 1, 1, 3, 0}}, 12});
  auto key = derive_code_file_key();
  auto bytes = write_code_file(f, key);
  ASSERT_EQ(bytes.size(), 32u + 4 + 24 + 3 + 4);
  EXPECT_EQ(get_u32(&bytes[8]), 1u);
  EXPECT_EQ(get_u32(&bytes[12]), 4u);
  EXPECT_EQ(get_u32(&bytes[16]), 24u);
  EXPECT_EQ(bytes[32] ^ key[0], 43);
  EXPECT_EQ(bytes[33] ^ key[1], 2);
  EXPECT_EQ(bytes[36 + 12] ^ key[0], 1);  // second record's parameter_id
  EXPECT_EQ(code_file_name(7), "kxbin\\kxt00007.kbn");
}

TEST(CompiledFormat, CanonicalTableNamesEveryCommandOnce) {
  const auto& t = canonical_commands();
  ASSERT_EQ(t.size(), 108u);
  std::set<std::string> names;
  for (const auto& c : t) {
    EXPECT_FALSE(c.name.empty());
    names.insert(c.name);
    EXPECT_LE(c.parameters.size(), 100u);  // ids beyond the presence table cannot be given
    for (const auto& p : c.parameters) {
      EXPECT_LE(p.kind, 2);
      EXPECT_LE(p.range_check, 28);
      if (p.kind != 0) {
        EXPECT_EQ(p.range_check, 0) << c.name << "." << p.name;
      }
    }
  }
  EXPECT_EQ(names.size(), 108u);
}
