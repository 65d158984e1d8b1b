// The save and load commands: staging rules, slots and files, the memory-slot
// image round trip, file names, variables of every type and layers.
#include <algorithm>

#include "save_test_support.h"

using namespace save_test;

namespace {

class SaveCommands : public SaveFixture {};

TEST_F(SaveCommands, StagingTwiceIsRefusedUntilWrittenOrCleared) {
  ASSERT_EQ(run_codes(save_cmd().val(9).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_EQ(run_codes(save_cmd().val(9).var("m[2]"), cmd_save_value, -1), codes({102170}));
  ASSERT_EQ(run_codes(save_cmd().file("a"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().val(9).var("n"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd(), cmd_clear_staged_values, 0), codes({}));
  EXPECT_TRUE(staged_values.entry[8].empty());
  ASSERT_EQ(run_codes(save_cmd().val(9).var("n"), cmd_save_value, 0), codes({}));
}

TEST_F(SaveCommands, StagedAloneThenWrittenByAFileOnlySave) {
  set_numeric_element(var_m, 4, 77);
  ASSERT_EQ(run_codes(save_cmd().val(12).var("m[4]"), cmd_save_value, 0), codes({}));
  EXPECT_FALSE(save_exists("late.sd"));
  ASSERT_EQ(run_codes(save_cmd().file("late"), cmd_save_value, 0), codes({}));
  ASSERT_TRUE(save_exists("late.sd"));
  set_numeric_element(var_n, 0, 0);
  ASSERT_EQ(run_codes(save_cmd().file("late").val(12).var("n"), cmd_load_value, 0), codes({}));
  EXPECT_EQ(get_int_element(var_n, 0), 77);
}

TEST_F(SaveCommands, SlotImageThenFileThenValue1024RestoresEverySlot) {
  // Slots 0, 250 and 499 hold containers; the rest are empty (slot 7 has a
  // buffer that a later restore must keep).
  set_numeric_element(var_n, 0, 100);
  ASSERT_EQ(run_codes(save_cmd().slot(0).val(1).var("n"), cmd_save_value, 0), codes({}));
  for (int i = 0; i < 10; ++i) set_numeric_element(var_m, i, i * i);
  ASSERT_EQ(run_codes(save_cmd().slot(250).val(2).var("m[]"), cmd_save_value, 0), codes({}));
  set_string_element(var_t, 0, "slot text");
  ASSERT_EQ(run_codes(save_cmd().slot(499).val(3).var("t[0]"), cmd_save_value, 0), codes({}));
  std::vector<std::vector<uint8_t>> before(500);
  for (int s = 0; s < 500; ++s)
    before[s].assign(memory_save_slots.buffer[s], memory_save_slots.buffer[s] + memory_save_slots.length[s]);

  // 99999 stages the image (other arguments do nothing), twice replaces it.
  ASSERT_EQ(run_codes(save_cmd().slot(99999).val(5).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_TRUE(staged_values.entry[4].empty());
  ASSERT_EQ(run_codes(save_cmd().slot(99999), cmd_save_value, 0), codes({}));
  const std::vector<uint8_t> image = staged_values.entry[1023];
  // Empty slots are records of 8 bytes: B = 500 * 8 + the three packed lengths.
  uint64_t body = 500 * 8;
  for (int s : {0, 250, 499}) body += memory_save_slots.length[s] + 8;
  EXPECT_EQ(get_u32le(image.data() + 4), body);
  EXPECT_EQ(image.size(), 12 + body);
  ASSERT_EQ(run_codes(save_cmd().file("slots"), cmd_save_value, 0), codes({}));

  // Change slots: 0 written afresh, 7 given a buffer, 250 emptied by a restore later.
  set_numeric_element(var_n, 0, 5);
  ASSERT_EQ(run_codes(save_cmd().slot(0).val(4).var("n"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().slot(7).val(4).var("n"), cmd_save_value, 0), codes({}));
  uint8_t* kept = memory_save_slots.buffer[7];
  ASSERT_EQ(run_codes(save_cmd().file("slots").val(1024), cmd_load_value, 0), codes({}));
  for (int s = 0; s < 500; ++s) {
    ASSERT_EQ(memory_save_slots.length[s], before[s].size()) << s;
    EXPECT_EQ(std::vector<uint8_t>(memory_save_slots.buffer[s], memory_save_slots.buffer[s] + before[s].size()),
              before[s]) << s;
    EXPECT_EQ(memory_save_slots.cursor[s], 0u);
  }
  EXPECT_EQ(memory_save_slots.buffer[7], kept);
  EXPECT_EQ(memory_save_slots.capacity[250], before[250].size());
  // The restored slots load as before.
  set_numeric_element(var_n, 0, 0);
  ASSERT_EQ(run_codes(save_cmd().slot(0).val(1).var("n"), cmd_load_value, 0), codes({}));
  EXPECT_EQ(get_int_element(var_n, 0), 100);
  ASSERT_EQ(run_codes(save_cmd().slot(499).val(3).var("t[2]"), cmd_load_value, 0), codes({}));
  EXPECT_STREQ(get_string_element(var_t, 2), "slot text");
  // Slot 7 is empty again: nothing to read.
  EXPECT_EQ(run_codes(save_cmd().slot(7).val(4).var("n"), cmd_load_value, -1), codes({108030}));
}

TEST_F(SaveCommands, TextElementsAndWholeArraysOfEveryType) {
  set_string_element(var_words, 1, "first");
  ASSERT_EQ(run_codes(save_cmd().file("t").val(1).var("words[1]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("t").val(1).var("words[3]"), cmd_load_value, 0), codes({}));
  EXPECT_STREQ(get_string_element(var_words, 3), "first");
  EXPECT_STREQ(get_string_element(var_words, 2), "");

  for (int i = 0; i < 5; ++i) set_string_element(var_words, i, std::string(size_t(i) * 3, char('a' + i)).c_str());
  for (int i = 0; i < 12; ++i) set_numeric_element(var_grid, i, -i * 1000000007LL);
  for (int i = 0; i < 4; ++i) set_real_element(var_r, i, i / 3.0);
  ASSERT_EQ(run_codes(save_cmd().val(2).var("words[]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().val(3).var("grid[]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("t").val(4).var("r[]"), cmd_save_value, 0), codes({}));
  for (int i = 0; i < 5; ++i) set_string_element(var_words, i, "x");
  for (int i = 0; i < 12; ++i) set_numeric_element(var_grid, i, 0);
  for (int i = 0; i < 4; ++i) set_real_element(var_r, i, 0);
  for (int v : {2, 3, 4}) {
    const char* target = v == 2 ? "words[]" : v == 3 ? "grid[]" : "r[]";
    ASSERT_EQ(run_codes(save_cmd().file("t").val(v).var(target), cmd_load_value, 0), codes({})) << v;
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(get_string_element(var_words, i), std::string(size_t(i) * 3, char('a' + i)));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(get_int_element(var_grid, i), -i * 1000000007LL);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(get_real_element(var_r, i), i / 3.0);
}

TEST_F(SaveCommands, TypeAndShapeMismatchesChangeNothing) {
  for (int i = 0; i < 10; ++i) set_numeric_element(var_m, i, i + 1);
  set_numeric_element(var_n, 0, 42);
  set_real_element(var_r, 0, 2.5);
  ASSERT_EQ(run_codes(save_cmd().val(1).var("m[]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().val(2).var("n"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("s").val(3).var("r[0]"), cmd_save_value, 0), codes({}));
  for (int i = 0; i < 12; ++i) set_numeric_element(var_grid, i, 9);
  // An array into one element; an element into an array of the right type;
  // arrays of another shape; another type names the declaring command.
  EXPECT_EQ(run_codes(save_cmd().file("s").val(1).var("grid[1][1]"), cmd_load_value, -1), codes({108080}));
  EXPECT_EQ(run_codes(save_cmd().file("s").val(2).var("grid[]"), cmd_load_value, -1), codes({108080}));
  EXPECT_EQ(run_codes(save_cmd().file("s").val(1).var("grid[]"), cmd_load_value, -1), codes({108080}));
  EXPECT_EQ(run_codes(save_cmd().file("s").val(3).var("n"), cmd_load_value, -1), codes({102120}));
  EXPECT_EQ(run_codes(save_cmd().file("s").val(8).var("n"), cmd_load_value, 0), codes({102110}));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(get_int_element(var_grid, i), 9);
  EXPECT_EQ(get_int_element(var_n, 0), 42);
  // Ten elements into an array of ten of another layout: dimension sizes differ.
  ASSERT_EQ(run_codes(save_cmd().val(1).var("grid[]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("s2"), cmd_save_value, 0), codes({}));
  EXPECT_EQ(run_codes(save_cmd().file("s2").val(1).var("cube[]"), cmd_load_value, -1), codes({108080}));
  EXPECT_EQ(run_codes(save_cmd().file("s").val(1).var("cube[]"), cmd_load_value, -1), codes({108080}));
}

TEST_F(SaveCommands, FileNamesAndNumbers) {
  const std::string name32(32, 'a');
  ASSERT_EQ(run_codes(save_cmd().file(name32).val(1).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_TRUE(save_exists(name32 + ".sd"));
  EXPECT_EQ(run_codes(save_cmd().file(name32 + "b").val(1).var("n"), cmd_save_value, -1), codes({102160}));
  EXPECT_TRUE(staged_values.entry[0].empty());
  // Capitals are lowered; ".SD" gets no second extension.
  ASSERT_EQ(run_codes(save_cmd().file("Save01.SD").val(1).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_TRUE(save_exists("save01.sd"));
  ASSERT_EQ(run_codes(save_cmd().file(".SD").val(1).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_TRUE(save_exists(".sd"));
  EXPECT_EQ(run_codes(save_cmd().file("sub/x").val(1).var("n"), cmd_save_value, -1), codes({102150}));
  EXPECT_EQ(run_codes(save_cmd().file("sub\\\\x").val(1).var("n"), cmd_load_value, -1), codes({102150}));
  std::string name;
  name = "A/B";
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(complete_save_file_name(name), -1); }), codes({102150}));
  EXPECT_EQ(name, "a\\b");

  // Value numbers 0 and past 1024 are refused at binding; 1024 cannot be staged.
  EXPECT_EQ(run_codes(save_cmd().val(0).var("n"), cmd_save_value, -1), codes({101000}));
  EXPECT_EQ(run_codes(save_cmd().val(1025).var("n"), cmd_save_value, -1), codes({101000}));
  EXPECT_EQ(run_codes(save_cmd().val(1024).var("n"), cmd_save_value, -1), codes({101000}));
  EXPECT_TRUE(staged_values.entry[1023].empty());
  EXPECT_EQ(run_codes(save_cmd().file("save01").val(0).var("n"), cmd_load_value, -1), codes({101000}));
  // Slots: 0..499 (and 99999 when saving).
  EXPECT_EQ(run_codes(save_cmd().slot(500).val(1).var("n"), cmd_save_value, -1), codes({101000}));
  EXPECT_EQ(run_codes(save_cmd().slot(-1).val(1).var("n"), cmd_load_value, -1), codes({101000}));
  EXPECT_EQ(run_codes(save_cmd().slot(99999).val(1).var("n"), cmd_load_value, -1), codes({101000}));
  EXPECT_EQ(run_codes(save_cmd().slot(12).val(1).var("n"), cmd_load_value, -1), codes({108030}));
  // Missing pieces.
  // A value number with neither a variable nor a layer: nothing to move.
  EXPECT_EQ(run_codes(save_cmd().val(1), cmd_save_value, -1), codes({102180}));
  EXPECT_EQ(run_codes(save_cmd().file("save01").val(1), cmd_load_value, -1), codes({102180}));
  EXPECT_EQ(run_codes(save_cmd().file("save01").var("n"), cmd_load_value, -1), codes({102110}));
  EXPECT_EQ(run_codes(save_cmd().file("nothere").val(1).var("n"), cmd_load_value, -1), codes({102100}));
  EXPECT_EQ(run_codes(save_cmd().val(1).var("n"), cmd_load_value, -1), codes({102100}));
}

TEST_F(SaveCommands, UnwritableSaveFolderKeepsTheStagedValues) {
  game.write("save", std::string("a file where the folder should be"));
  EXPECT_EQ(run_codes(save_cmd().file("x").val(1).var("n"), cmd_save_value, -1), codes({102140}));
  EXPECT_FALSE(staged_values.entry[0].empty());
}

TEST_F(SaveCommands, LayerPicturesRoundTrip) {
  object_node* a = make_layer("a", 3, 2, 0x01020300);
  object_node* b = make_layer("b", 1, 1, 0xFFFFFFFF);
  const std::vector<uint8_t> pixels_a = pixels_of(a);
  ASSERT_EQ(run_codes(save_cmd().file("pic").val(6).layer("a"), cmd_save_value, 0), codes({}));
  // The payload: 1640, the pixel bytes, the record image, the pixels.
  const std::vector<uint8_t> file = save_file("pic.sd");
  const uint32_t at = get_u32le(file.data() + 12 + 4 * 6);
  EXPECT_EQ(file[at + 4], save_kind_layer);
  EXPECT_EQ(get_u32le(file.data() + at + 12), 1648u + 24);
  const uint8_t* payload = file.data() + at + 16 + 8;  // past the test packer's head
  EXPECT_EQ(get_u32le(payload), 1640u);
  EXPECT_EQ(get_u32le(payload + 4), 24u);
  EXPECT_EQ(std::vector<uint8_t>(payload + 8, payload + 1648),
            std::vector<uint8_t>(picture_of_node(a)->image.begin(), picture_of_node(a)->image.end()));
  EXPECT_EQ(std::vector<uint8_t>(payload + 1648, payload + 1672), pixels_a);

  int stamped = 0;
  static int* stamp_counter;
  stamp_counter = &stamped;
  save_layer_hooks.stamp_load_time = [] { ++*stamp_counter; };
  ASSERT_EQ(run_codes(save_cmd().file("pic").val(6).layer("b"), cmd_load_value, 0), codes({}));
  EXPECT_EQ(picture_of_node(b)->width, 3);
  EXPECT_EQ(picture_of_node(b)->height, 2);
  EXPECT_EQ(pixels_of(b), pixels_a);
  EXPECT_EQ(stamped, 1);

  // Kinds must match the target.
  ASSERT_EQ(run_codes(save_cmd().file("pic").val(7).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_EQ(run_codes(save_cmd().file("pic").val(6).var("n"), cmd_load_value, -1), codes({108050}));
  EXPECT_EQ(run_codes(save_cmd().file("pic").val(7).layer("b"), cmd_load_value, -1), codes({108100}));
  EXPECT_EQ(run_codes(save_cmd().file("pic").val(6).layer("missing"), cmd_load_value, -1), codes({101250}));
  EXPECT_EQ(run_codes(save_cmd().val(8).layer("missing"), cmd_save_value, -1), codes({101250}));
  EXPECT_EQ(pixels_of(b), pixels_a);
}

TEST_F(SaveCommands, OversizedOrMalformedPicturesLeaveTheLayer) {
  object_node* b = make_layer("b", 2, 2, 7);
  const std::vector<uint8_t> before = pixels_of(b);
  // A picture record claiming 8193 x 1, and one whose pixel count disagrees.
  auto stage_picture = [](uint32_t val_id, int32_t w, int32_t h, int32_t pixel_bytes, uint32_t first = 1640) {
    std::vector<uint8_t> payload(1648 + static_cast<size_t>(w) * 4 * h);
    put_u32le(payload.data(), first);
    put_u32le(payload.data() + 4, static_cast<uint32_t>(pixel_bytes));
    put_u32le(payload.data() + 8 + 136, static_cast<uint32_t>(w));
    put_u32le(payload.data() + 8 + 140, static_cast<uint32_t>(h));
    std::vector<uint8_t> packed = test_packed(payload);
    std::vector<uint8_t>& e = staged_values.entry[val_id - 1];
    e = {save_kind_layer, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put_u32le(e.data() + 4, static_cast<uint32_t>(packed.size()));
    put_u32le(e.data() + 8, static_cast<uint32_t>(payload.size()));
    e.insert(e.end(), packed.begin(), packed.end());
  };
  stage_picture(1, 8193, 1, 8193 * 4);
  stage_picture(2, 2, 2, 12);
  stage_picture(3, 2, 2, 16, 1641);
  stage_picture(4, 0, 5, 0);
  ASSERT_EQ(run_codes(save_cmd().file("bad"), cmd_save_value, 0), codes({}));
  EXPECT_EQ(run_codes(save_cmd().file("bad").val(1).layer("b"), cmd_load_value, 0), codes({100010}));
  const std::vector<std::string> boxes = box_texts();
  EXPECT_NE(std::find(boxes.begin(), boxes.end(), utf8_to_sjis("ＣＧサイズが大きすぎます。X=8193, Y=1")), boxes.end());
  EXPECT_EQ(run_codes(save_cmd().file("bad").val(2).layer("b"), cmd_load_value, -1), codes({108110}));
  EXPECT_EQ(run_codes(save_cmd().file("bad").val(3).layer("b"), cmd_load_value, -1), codes({108110}));
  EXPECT_EQ(run_codes(save_cmd().file("bad").val(4).layer("b"), cmd_load_value, -1), codes({108110}));
  EXPECT_EQ(picture_of_node(b)->width, 2);
  EXPECT_EQ(pixels_of(b), before);
}

TEST_F(SaveCommands, SizesAsDesigned) {
  set_string_element(var_t, 0, "abcd");
  EXPECT_EQ(variable_save_size(var_n, false, 0, false, 0, 0), 32u);
  EXPECT_EQ(variable_save_size(var_t, false, 0, false, 0, 0), 4u + 28);
  EXPECT_EQ(variable_save_size(var_grid, false, 0, true, 0, 0), 4u * 2 + 24 + 8 * 12);
  EXPECT_EQ(variable_save_size(var_t, false, 0, true, 0, 0), 4u + 24 + 4 + 4 + 4 + 4);
  EXPECT_EQ(variable_save_size(0, true, 0, false, 640, 480), 640u * 4 * 480 + 1660);
  EXPECT_EQ(variable_save_size(var_n, false, 1, false, 0, 0), 0u);
  set_numeric_element(var_n, 0, 1);
  ASSERT_EQ(run_codes(save_cmd().val(1).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_EQ(get_u32le(staged_values.entry[0].data() + 8), 32u - 12);
}

}  // namespace
