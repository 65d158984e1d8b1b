// kxcfg.dat and kxsfs.dat: defaults, every listed slot, values outside the
// listed ones, short and long files; the save folder modes; the argument
// slots; the write test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

std::vector<uint8_t> slots_file(std::vector<std::pair<int, uint32_t>> values, size_t slot_count = 32) {
  std::vector<uint8_t> bytes(slot_count * 4, 0);
  for (auto [slot, value] : values)
    if (static_cast<size_t>(slot) < slot_count)
      for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(slot) * 4 + i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

struct settings_test : ::testing::Test {
  engine_fixture engine;
  void SetUp() override { init_module_paths(); }
  void read_cfg(const std::vector<uint8_t>& bytes) {
    engine.game.write("kxcfg.dat", bytes);
    engine_settings = {};
    read_engine_settings();
  }
};

}  // namespace

TEST_F(settings_test, NoFileKeepsEveryDefault) {
  read_engine_settings();
  const engine_settings_record& e = engine_settings;
  EXPECT_EQ(e.movie_engine, 1);  // DirectShow
  EXPECT_EQ(e.sse_allowed, 1);
  EXPECT_EQ(e.sse2_allowed, 1);
  EXPECT_EQ(e.worker_maximum, 4);
  EXPECT_EQ(e.best_mode_search, 1);
  EXPECT_EQ(e.scaling_policy, 1);  // fit keeping aspect
  EXPECT_EQ(e.gpu_drawing, 1);
  EXPECT_EQ(e.quality_level, 0);
  EXPECT_EQ(e.smoothing, 1);
  EXPECT_EQ(e.drawing_method, -1);
  EXPECT_EQ(e.texture_option, 1);
  EXPECT_EQ(e.disable_composition, 0);
  EXPECT_EQ(e.texture_size_large, 512);
  EXPECT_EQ(e.texture_size_small, 256);
  read_save_settings();
  EXPECT_EQ(save_settings.save_folder_mode, 0);
  EXPECT_EQ(save_settings.save_path, "save\\");
}

TEST_F(settings_test, EveryListedSlotHasItsEffect) {
  read_cfg(slots_file({{0, 0}, {2, 0}, {3, 0}, {4, 0}, {6, 1}, {7, 3}, {8, 2}, {9, 1}, {10, 1}, {12, 1}, {13, 1},
                       {14, 0}, {22, 1}}));
  const engine_settings_record& e = engine_settings;
  EXPECT_EQ(e.movie_engine, 0);
  EXPECT_EQ(e.sse_allowed, 0);
  EXPECT_EQ(e.sse2_allowed, 0);
  EXPECT_EQ(e.worker_maximum, 1);
  EXPECT_EQ(e.best_mode_search, 0);
  EXPECT_EQ(e.scaling_policy, 0);  // game size
  EXPECT_EQ(e.gpu_drawing, 0);
  EXPECT_EQ(e.quality_level, 1);
  EXPECT_EQ(e.smoothing, 1);
  EXPECT_EQ(e.drawing_method, 2);
  EXPECT_EQ(e.title_double_click_to_script, 1);
  EXPECT_EQ(e.script_switch, 1);
  EXPECT_EQ(e.device_option, 1);
  EXPECT_EQ(e.texture_bits, 16);
  EXPECT_EQ(e.texture_format_code, 26);
  EXPECT_EQ(e.texture_option, 0);
  EXPECT_EQ(e.disable_composition, 1);
}

TEST_F(settings_test, ScalingAndDrawingSlotsMapEveryValue) {
  const uint8_t policies[4] = {1, 2, 3, 0};
  for (uint32_t v = 0; v < 4; ++v) {
    read_cfg(slots_file({{7, v}, {8, v}, {2, 1}, {3, 1}, {4, 1}}));
    EXPECT_EQ(engine_settings.scaling_policy, policies[v]);
    EXPECT_EQ(engine_settings.gpu_drawing, v <= 1 ? 1 : 0);
    EXPECT_EQ(engine_settings.quality_level, 3 - v);
    EXPECT_EQ(engine_settings.smoothing, v == 3 ? 0 : 1);
  }
  read_cfg(slots_file({{13, 0}, {4, 7}}));
  EXPECT_EQ(engine_settings.texture_bits, 32);
  EXPECT_EQ(engine_settings.texture_format_code, 21);
  EXPECT_EQ(engine_settings.worker_maximum, 4);  // any value but 0 keeps four
}

TEST_F(settings_test, UnlistedValuesAndSlotsChangeNothing) {
  read_cfg(slots_file({{0, 2}, {1, 9}, {2, 5}, {6, 2}, {7, 4}, {8, 9}, {9, 3}, {14, 0xFFFFFFFF}, {22, 2}, {31, 1}}));
  engine_settings_record defaults;
  EXPECT_EQ(engine_settings.movie_engine, defaults.movie_engine);
  EXPECT_EQ(engine_settings.sse_allowed, 1);
  EXPECT_EQ(engine_settings.best_mode_search, 1);
  EXPECT_EQ(engine_settings.scaling_policy, 1);
  EXPECT_EQ(engine_settings.gpu_drawing, 1);
  EXPECT_EQ(engine_settings.drawing_method, -1);
  EXPECT_EQ(engine_settings.title_double_click_to_script, 0);
  EXPECT_EQ(engine_settings.texture_option, 1);
  EXPECT_EQ(engine_settings.disable_composition, 0);
}

TEST_F(settings_test, ShortFileReadsZerosForTheMissingSlots) {
  // Two whole slots and half of slot 2: slots 2 on read as 0 (SSE and SSE2
  // off, one worker, GPU drawing at level 3, texture option 0).
  std::vector<uint8_t> bytes = slots_file({{0, 1}}, 2);
  bytes.push_back(0);
  bytes.push_back(0);
  read_cfg(bytes);
  EXPECT_EQ(engine_settings.movie_engine, 1);  // slot 0 was there
  EXPECT_EQ(engine_settings.sse_allowed, 0);
  EXPECT_EQ(engine_settings.sse2_allowed, 0);
  EXPECT_EQ(engine_settings.worker_maximum, 1);
  EXPECT_EQ(engine_settings.gpu_drawing, 1);
  EXPECT_EQ(engine_settings.quality_level, 3);
  EXPECT_EQ(engine_settings.texture_option, 0);

  // An empty file is short too (only a missing one keeps the defaults).
  read_cfg({});
  EXPECT_EQ(engine_settings.movie_engine, 0);
  EXPECT_EQ(engine_settings.sse_allowed, 0);

  // A longer file: the 32 slots count, the rest is ignored.
  std::vector<uint8_t> longer = slots_file({{3, 0}});
  longer.insert(longer.end(), 64, 0xFF);
  read_cfg(longer);
  EXPECT_EQ(engine_settings.sse2_allowed, 0);
}

TEST_F(settings_test, SaveFolderModesMapToThePerUserFolders) {
  const std::string data = utf8_to_sjis(engine.host.process.user_data_folder_host());
  const std::string docs = utf8_to_sjis(engine.host.process.documents_folder_host());
  const std::string suffix = "Quillmere_SaveData\\KEP\\save\\";
  const std::string expected[4] = {"save\\", data + suffix, docs + suffix, docs + "My Games\\" + suffix};
  for (uint32_t mode = 0; mode < 4; ++mode) {
    engine.game.write("kxsfs.dat", slots_file({{21, mode}}));
    save_settings = {};
    read_save_settings();
    EXPECT_EQ(save_settings.save_folder_mode, static_cast<int>(mode));
    EXPECT_EQ(save_settings.save_path, expected[mode]);
    // Saves may be written there.
    EXPECT_TRUE(engine.host.files->write_allowed(save_settings.save_path + "save001.dat")) << mode;
  }
  engine.game.write("kxsfs.dat", slots_file({{21, 4}}));
  save_settings = {};
  read_save_settings();
  EXPECT_EQ(save_settings.save_folder_mode, 0);
  engine.game.write("kxsfs.dat", slots_file({{21, 3}}, 21));  // slot 21 missing
  save_settings = {};
  read_save_settings();
  EXPECT_EQ(save_settings.save_folder_mode, 0);
}

TEST_F(settings_test, ArgumentSlotsHoldTheProgramAndTheFirstEightArguments) {
  engine.host.process.set_arguments({"a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9", "a10"});
  copy_command_line();
  EXPECT_EQ(command_line_slots.slots[0], utf8_to_sjis(engine.host.process.program_path_host()));
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(command_line_slots.slots[i], "a" + std::to_string(i));

  engine.host.process.set_arguments({"/kxcfg"});
  copy_command_line();
  EXPECT_EQ(command_line_slots.slots[1], "/kxcfg");
  for (int i = 2; i <= 8; ++i) EXPECT_EQ(command_line_slots.slots[i], "");
}

TEST_F(settings_test, WriteTestLeavesNothingBehindAndFlagsAClosedFolder) {
  test_folder_writable();
  EXPECT_EQ(game_folder_not_writable, 0);
  auto entries = engine.host.files->list_folder("");
  for (const auto& entry : entries) EXPECT_NE(entry.name.rfind("ini", 0), 0u) << entry.name;

  temp_folder elsewhere;  // not a write root of this game
  module_paths.game_path = utf8_to_sjis(elsewhere.path());
  test_folder_writable();
  EXPECT_EQ(game_folder_not_writable, 1);
}
