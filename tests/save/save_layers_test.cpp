// Layer pictures saved and loaded through the real picture records: the saved
// record image, a fresh record on loading with only size and pixels from the
// save, shared records, and failures that leave the layer alone.
#include "graphics/compositor.h"
#include "save_test_support.h"

using namespace save_test;

namespace {

class SaveLayers : public SaveFixture {
 protected:
  SaveLayers() { real_layers = true; }
  void TearDown() override {
    object_node* root = object_trees[tree_layers].root;
    if (root && root->first_child) delete_layer_subtree(root->first_child);
    if (root) {
      delete layer_record(root);
      root->kind_record = nullptr;
    }
    layer_links = {};
    SaveFixture::TearDown();
  }
  object_node* layer(const std::string& name, int w, int h, uint32_t seed) {
    object_node* node = create_object_by_path(object_trees[tree_layers].root, "W0/" + name, 0, 0, 0);
    EXPECT_NE(node, nullptr);
    cg_record* r = attach_new_cg_record(node);
    EXPECT_EQ(alloc_layer_picture(r, w, h), 0);
    for (int i = 0; i < w * h; ++i) put_u32le(r->pixels + 4 * i, seed * 2654435761u + static_cast<uint32_t>(i));
    return node;
  }
  static std::vector<uint8_t> pixels(object_node* n) {
    cg_record* r = layer_record(n);
    return std::vector<uint8_t>(r->pixels, r->pixels + size_t(r->width) * 4 * r->height);
  }
};

TEST_F(SaveLayers, PictureRoundTripGivesAFreshRecord) {
  object_node* a = layer("a", 5, 3, 1);
  layer_record(a)->x = 12;
  layer_record(a)->tag1 = 99;
  layer_record(a)->alpha = 128;
  object_node* b = layer("b", 2, 2, 2);
  layer_record(b)->x = 40;
  layer_record(b)->blend_mode = 3;
  const std::vector<uint8_t> saved = pixels(a);
  ASSERT_EQ(run_codes(save_cmd().file("l").val(1).layer("a"), cmd_save_value, 0), codes({}));

  // The stored record image is the layer code's own.
  const std::vector<uint8_t> file = save_file("l.sd");
  const uint8_t* payload = file.data() + get_u32le(file.data() + 16) + 16 + 8;
  uint8_t image[cg_record_image_size];
  write_cg_record_image(*layer_record(a), image);
  EXPECT_EQ(std::vector<uint8_t>(payload + 8, payload + 1648), std::vector<uint8_t>(image, image + 1640));

  ASSERT_EQ(run_codes(save_cmd().file("l").val(1).layer("b"), cmd_load_value, 0), codes({}));
  cg_record* nb = layer_record(b);
  EXPECT_EQ(nb->width, 5);
  EXPECT_EQ(nb->height, 3);
  EXPECT_EQ(nb->loaded_width, 5);
  EXPECT_EQ(nb->loaded_height, 3);
  EXPECT_EQ(pixels(b), saved);
  // Everything else as a new record has it: not the save's, not the old record's.
  EXPECT_EQ(nb->x, 0);
  EXPECT_EQ(nb->tag1, 0);
  EXPECT_EQ(nb->alpha, 256);
  EXPECT_EQ(nb->blend_mode, 0);
  EXPECT_EQ(nb->use_count, 1);
  // The parent is marked to re-composite the layer.
  EXPECT_FALSE(layer_rect_empty(layer_record(object_trees[tree_layers].root->first_child)->dirty_rect));
}

TEST_F(SaveLayers, ASharedRecordStaysWithItsOtherUser) {
  object_node* a = layer("a", 3, 3, 5);
  object_node* c = create_object_by_path(object_trees[tree_layers].root, "W0/c", 0, 0, 0);
  share_cg_record(c, layer_record(a));
  ASSERT_EQ(layer_record(a)->use_count, 2);
  const std::vector<uint8_t> before = pixels(a);
  layer("src", 4, 1, 9);
  ASSERT_EQ(run_codes(save_cmd().file("s").val(2).layer("src"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("s").val(2).layer("a"), cmd_load_value, 0), codes({}));
  EXPECT_NE(layer_record(a), layer_record(c));
  EXPECT_EQ(layer_record(c)->use_count, 1);
  EXPECT_EQ(pixels(c), before);
  EXPECT_EQ(layer_record(a)->width, 4);
}

TEST_F(SaveLayers, FailedLoadsLeaveTheLayer) {
  object_node* a = layer("a", 3, 2, 3);
  cg_record* record = layer_record(a);
  const std::vector<uint8_t> before = pixels(a);
  set_numeric_element(var_n, 0, 1);
  ASSERT_EQ(run_codes(save_cmd().file("f").val(1).var("n"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("f").val(2).layer("a"), cmd_save_value, 0), codes({}));
  std::vector<uint8_t> file = save_file("f.sd");
  file.back() ^= 0x10;  // the last pixel byte of value 2
  game.write("save/f.sd", file);
  EXPECT_EQ(run_codes(save_cmd().file("f").val(1).layer("a"), cmd_load_value, -1), codes({108100}));
  EXPECT_EQ(run_codes(save_cmd().file("f").val(2).layer("a"), cmd_load_value, -1), codes({}));
  EXPECT_EQ(layer_record(a), record);
  EXPECT_EQ(pixels(a), before);
}

}  // namespace
