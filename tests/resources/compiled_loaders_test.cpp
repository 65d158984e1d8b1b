#include "format/canonical_commands.h"
#include "format/hashes.h"
#include "resources_fixture.h"

class compiled : public resource_test {
 protected:
  void put(const std::string& name, const std::vector<uint8_t>& bytes) { game.write("kxbin/" + name, bytes); }

  int config_result(const compiled_engine_config& c) {
    put("kxcfg.kbn", write_engine_config_file(c));
    report_probe probe;
    int r = load_engine_config();
    codes = probe.codes();
    return r;
  }
  std::vector<int> codes;
};

TEST_F(compiled, EngineConfigurationIsReadFieldByField) {
  compiled_engine_config c;
  c.main_width = 800;
  c.main_height = 600;
  c.main_window_kind = 1;
  c.image_order = {3, 1, 2, 4, 9, 9, 9, 9};
  c.sound_order = {2, 1, 7, 7};
  c.frame_thread_mode = 1;
  c.debug_switch = 0x101;  // kept as its low byte
  c.sound_on = 0;
  c.keep_thick_frame = 1;
  c.main_window_style = 2;
  c.dev_loose_first = 1;
  c.release_loose_first = 0;
  c.title = "\x83\x51\x81\x5B\x83\x80";  // Shift-JIS
  ASSERT_EQ(config_result(c), 0);
  EXPECT_EQ(engine_config.main_width, 800u);
  EXPECT_EQ(engine_config.main_height, 600u);
  EXPECT_EQ(engine_config.image_extension_order[0], 3);
  EXPECT_EQ(engine_config.image_extension_order[7], 9);
  EXPECT_EQ(engine_config.sound_extension_order[1], 1);
  EXPECT_EQ(engine_config.frame_thread_mode, 1);
  EXPECT_EQ(engine_config.debug_switch, 1);
  EXPECT_EQ(engine_config.sound_on, 0);
  EXPECT_EQ(engine_config.main_window_style, 2);
  EXPECT_EQ(engine_config.dev_loose_first, 1);
  EXPECT_EQ(engine_config.title, c.title);
  EXPECT_EQ(engine_config.texture_work_width, 1024u);
  EXPECT_EQ(engine_config.texture_work_height, 1024u);
}

TEST_F(compiled, WindowSizeTitleAndModeLimits) {
  compiled_engine_config c;
  c.main_width = 0;
  c.main_height = 0;
  engine_config.desktop_width = 1366;
  engine_config.desktop_height = 768;
  ASSERT_EQ(config_result(c), 0);
  EXPECT_EQ(engine_config.uses_desktop_size, 1);
  EXPECT_EQ(engine_config.main_width, 1366u);
  EXPECT_EQ(engine_config.title, " ");  // an empty title shows as one space

  struct {
    uint32_t w, h;
    bool ok;
  } sizes[] = {{0, 600, false}, {128, 16, true}, {8192, 8192, true}, {127, 600, false}, {8193, 600, false},
               {640, 15, false}, {640, 8193, false}};
  for (auto s : sizes) {
    SetUp();
    c.main_width = s.w;
    c.main_height = s.h;
    EXPECT_EQ(config_result(c) == 0, s.ok) << s.w << "x" << s.h;
    if (!s.ok) {
      EXPECT_EQ(codes, std::vector<int>{901020});
      EXPECT_EQ(engine_config.main_width, 640u);  // left as it was
    }
  }

  SetUp();
  c.main_width = 300;
  c.main_height = 2049;
  c.title = std::string(128, 'T');
  ASSERT_EQ(config_result(c), 0);
  EXPECT_EQ(engine_config.texture_work_width, 512u);
  EXPECT_EQ(engine_config.texture_work_height, 4096u);
  EXPECT_EQ(engine_config.title.size(), 128u);
  // Texture sizes already set are kept.
  c.main_width = 2000;
  ASSERT_EQ(config_result(c), 0);
  EXPECT_EQ(engine_config.texture_work_width, 512u);

  c.title = std::string(129, 'T');
  EXPECT_NE(config_result(c), 0);
  EXPECT_EQ(codes, std::vector<int>{901000});
  c.title = "t";
  c.frame_thread_mode = 2;
  EXPECT_NE(config_result(c), 0);
  EXPECT_EQ(codes, std::vector<int>{901020});
}

TEST_F(compiled, MissingAndTruncatedFilesAreReported) {
  {
    report_probe probe;
    EXPECT_NE(load_engine_config(), 0);
    EXPECT_EQ(probe.codes(), std::vector<int>{104060});
  }
  std::vector<uint8_t> full = write_engine_config_file(compiled_engine_config{});
  for (size_t cut = 0; cut < full.size(); ++cut) {
    put("kxcfg.kbn", std::vector<uint8_t>(full.begin(), full.begin() + cut));
    report_probe probe;
    EXPECT_NE(load_engine_config(), 0) << cut;
    EXPECT_EQ(probe.codes(), std::vector<int>{104010});
  }
}

TEST_F(compiled, VariableCountFileNeedsVersion553) {
  compiled_variable_counts c;
  c.variable_count = 1234;
  c.system_value_114 = 0xDEADBEEF;
  put("kxt.kbn", write_variable_count_file(c));
  ASSERT_EQ(load_variable_table(), 0);
  EXPECT_EQ(variable_counts.variable_count, 1234u);
  EXPECT_EQ(variable_counts.system_value_114, 0xDEADBEEFu);
  c.version = 552;
  put("kxt.kbn", write_variable_count_file(c));
  report_probe probe;
  EXPECT_NE(load_variable_table(), 0);
  EXPECT_EQ(probe.codes(), std::vector<int>{105000});
}

TEST_F(compiled, ScriptListByNumberWithEmptyNamesForGaps) {
  std::vector<compiled_script_record> s = {{2, "c.txt", 30}, {0, "a.txt", 10}, {0, "again.txt", 11}};
  put("kxt_list.kbn", write_script_list_file(s));
  ASSERT_EQ(load_script_name_list(), 0);
  ASSERT_EQ(script_name_list.script_count, 3u);
  EXPECT_EQ(script_name_list.names[0], "again.txt");
  EXPECT_EQ(script_name_list.names[1], "");  // no record named script 1
  EXPECT_EQ(script_name_list.names[2], "c.txt");
  EXPECT_EQ(script_name_list.entry_values, (std::vector<uint32_t>{30, 10, 11}));

  s[0].script_number = 3;  // equal to the count
  put("kxt_list.kbn", write_script_list_file(s));
  report_probe probe;
  EXPECT_NE(load_script_name_list(), 0);
  EXPECT_EQ(probe.codes(), std::vector<int>{901030});
  EXPECT_EQ(script_name_list.names[2], "c.txt");  // the old list stays
}

TEST_F(compiled, LabelsAreInHashOrderWithBuckets) {
  std::vector<compiled_label_record> labels;
  for (int i = 0; i < 40; ++i) {
    compiled_label_record l;
    l.name = "LABEL_" + std::to_string(i);
    l.position = static_cast<uint32_t>(i * 3);
    l.script_number = static_cast<uint16_t>(i % 5);
    l.block_depth = static_cast<uint8_t>(i % 3);
    l.loop_depth = static_cast<uint8_t>(i % 2);
    labels.push_back(l);
  }
  put("kxl.kbn", write_label_file(labels));
  ASSERT_EQ(load_label_table(), 0);
  ASSERT_EQ(label_table.labels.size(), 40u);
  for (size_t i = 1; i < label_table.labels.size(); ++i)
    EXPECT_LE(label_table.labels[i - 1].hash, label_table.labels[i].hash);
  for (const compiled_label_record& l : label_table.labels) {
    EXPECT_EQ(l.hash, name_hash(l.name));
    int i = std::stoi(l.name.substr(6));
    EXPECT_EQ(l.position, static_cast<uint32_t>(i * 3));
    EXPECT_EQ(l.script_number, i % 5);
    // The bucket of the hash's top byte starts at or before the label.
    uint32_t start = label_table.buckets[l.hash >> 24];
    EXPECT_LE(start, static_cast<uint32_t>(&l - label_table.labels.data()));
    if (start > 0) {
      EXPECT_LT(label_table.labels[start - 1].hash >> 24, l.hash >> 24);
    }
  }
}

TEST_F(compiled, ErrorTextsKeepTheFirst256) {
  std::vector<compiled_error_text> texts;
  for (int i = 0; i < 300; ++i) texts.push_back({100000 + i, "text " + std::to_string(i)});
  put("kxe.kbn", write_error_text_file(texts));
  ASSERT_EQ(load_error_texts(), 0);
  ASSERT_EQ(error_table.codes.size(), 256u);
  EXPECT_EQ(error_table.codes[255], 100255);
  EXPECT_EQ(error_table.texts[255], "text 255");
}

TEST_F(compiled, InitialVariableImageIsKeptWhole) {
  std::vector<uint8_t> image = pattern_bytes(777, 4);
  put("kxv.kbn", image);
  ASSERT_EQ(load_variable_image(), 0);
  EXPECT_EQ(initial_variable_image, image);
}

TEST_F(compiled, CompiledFilesComeFromPacksToo) {
  compiled_variable_counts c;
  c.variable_count = 9;
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({pack_file("kxbin\\kxt.kbn", write_variable_count_file(c), pack_zlib)}, pack));
  game.write("data.kpf", pack);
  ASSERT_EQ(open_pack_archives(), 0);
  ASSERT_EQ(load_variable_table(), 0);
  EXPECT_EQ(variable_counts.variable_count, 9u);
}

TEST_F(compiled, EveryTruncationAndByteFlipIsRefusedWithoutCrashing) {
  std::vector<compiled_label_record> labels = {{"A", 0, 1, 2, 3, 4}, {"SYSTEM_START", 0, 5, 6, 7, 8}};
  struct file_case {
    const char* name;
    std::vector<uint8_t> bytes;
    int (*install)(const uint8_t*, size_t);
  } cases[] = {
      {"kxcfg", write_engine_config_file(compiled_engine_config{}), install_engine_config},
      {"kxt", write_variable_count_file(compiled_variable_counts{}), install_variable_counts},
      {"kxt_list", write_script_list_file({{0, "a.txt", 1}, {1, "b.txt", 2}}), install_script_name_list},
      {"kxl", write_label_file(labels), install_label_table},
      {"kxe", write_error_text_file({{1, "one"}, {2, "two"}}), install_error_texts},
      {"kxc", write_command_file(canonical_command_file()), install_command_file},
  };
  for (const file_case& fc : cases) {
    ASSERT_EQ(fc.install(fc.bytes.data(), fc.bytes.size()), 0) << fc.name;
    for (size_t cut = 0; cut < fc.bytes.size(); ++cut) {
      // Copied to a buffer of exactly `cut` bytes so ASan sees any overread.
      std::vector<uint8_t> part(fc.bytes.begin(), fc.bytes.begin() + cut);
      report_probe probe;
      int r = fc.install(part.data(), part.size());
      EXPECT_EQ(r, compiled_truncated) << fc.name << " cut at " << cut;
    }
    for (size_t at = 0; at < fc.bytes.size(); ++at) {
      std::vector<uint8_t> bad = fc.bytes;
      bad[at] ^= 0xFF;
      report_probe probe;
      fc.install(bad.data(), bad.size());
    }
  }
}
