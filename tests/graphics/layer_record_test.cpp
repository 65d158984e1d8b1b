// Layer records: defaults, sharing and freeing, the node operations and the
// 1640-byte image.
#include "graphics/layer_record.h"

#include <gtest/gtest.h>

#include <cstring>

#include "graphics/layer_changes.h"
#include "graphics/compositor.h"
#include "layer_scene.h"

namespace {

using layer_records = layer_scene;

int64_t get64(const uint8_t* p, size_t at) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t(p[at + i]) << (8 * i);
  return int64_t(v);
}
uint32_t get32(const uint8_t* p, size_t at) {
  return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
}
uint16_t get16(const uint8_t* p, size_t at) { return uint16_t(p[at] | p[at + 1] << 8); }

std::vector<std::string> child_names(const object_node* parent) {
  std::vector<std::string> out;
  for (const object_node* c = parent->first_child; c; c = c->next_sibling) out.push_back(c->name);
  return out;
}

TEST_F(layer_records, NewRecordHasTheDefaultsAndItsImageTheDocumentedBytes) {
  object_node* node = new object_node();
  cg_record* r = attach_new_cg_record(node);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(node->kind_record, r);
  EXPECT_EQ(attach_new_cg_record(nullptr), nullptr);
  EXPECT_EQ(r->use_count, 1);
  EXPECT_EQ(r->monochrome, 128);
  EXPECT_EQ(r->colour_tone, 0x808080);
  EXPECT_EQ(r->width, 1);
  EXPECT_EQ(r->alpha, 256);
  EXPECT_EQ(r->rule_progress, 256);
  EXPECT_EQ(r->visible, 1);
  EXPECT_EQ(r->scale_x, 10000);
  EXPECT_TRUE(layer_rect_empty(r->dirty_rect));
  EXPECT_TRUE(layer_rect_empty(r->present_rect));
  EXPECT_TRUE(r->mask_path.empty());

  uint8_t image[cg_record_image_size];
  write_cg_record_image(*r, image);
  // The one empty rectangle value.
  EXPECT_EQ(get64(image, 48), 999999999);
  EXPECT_EQ(get64(image, 56), 999999999);
  EXPECT_EQ(get64(image, 64), -999999999);
  EXPECT_EQ(get64(image, 72), -999999999);
  EXPECT_EQ(get64(image, 88), 1);
  EXPECT_EQ(get32(image, 128), 128u);
  EXPECT_EQ(get32(image, 132), 0x808080u);
  EXPECT_EQ(get32(image, 136), 1u);
  EXPECT_EQ(get32(image, 140), 1u);
  EXPECT_EQ(image[160], 1);
  EXPECT_EQ(get16(image, 162), 256);
  EXPECT_EQ(get16(image, 164), 256);
  EXPECT_EQ(image[171], 1);
  EXPECT_EQ(get32(image, 240), 1u);
  EXPECT_EQ(get64(image, 552), 10000);
  EXPECT_EQ(get32(image, 596), 128u);
  EXPECT_EQ(get32(image, 600), 0x808080u);
  EXPECT_EQ(get32(image, 192), 0u);  // no pixels yet
  free_layer_node(node);
}

TEST_F(layer_records, ImageFieldsRoundTripAtTheirOffsets) {
  cg_record a;
  a.shown_in_window = 1;
  a.is_message_layer = 1;
  a.present_rect = {1, 2, 3, 4};
  a.dirty_rect = {-5, -6, 700, 800};
  a.redraw_flags[0] = 1;
  a.redraw_flags[1] = 1;
  a.use_count = 3;
  a.tag1 = -77;
  a.tag2 = int64_t(1) << 40;
  a.x = -(int64_t(1) << 35);
  a.y = 123456789012;
  a.monochrome = 7;
  a.colour_tone = 0x1000000;
  a.width = 8192;
  a.height = 3;
  a.alpha = 200;
  a.rule_progress = 17;
  a.vagueness = 256;
  a.alpha_in_use = 1;
  a.blend_mode = 18;
  a.visible = 0;
  a.loaded_width = 9;
  a.loaded_height = 10;
  a.redraw_pending = 1;
  a.gpu_flag = 1;
  a.texture_requested = 1;
  a.gpu_value1 = -1;
  a.gpu_value2 = 2;
  a.scale_x = 5000;
  a.scale_y = 15000;
  a.gpu_value3 = 3;
  a.gpu_value4 = -4;
  a.angle[0] = 100, a.angle[1] = -250, a.angle[2] = 36000;
  a.gpu_monochrome = 99;
  a.gpu_colour_tone = 0x102030;
  a.gpu_byte = 0xAB;
  a.gpu_level = 256;
  uint8_t image[cg_record_image_size];
  write_cg_record_image(a, image);
  EXPECT_EQ(image[0], 1);
  EXPECT_EQ(image[1], 1);
  EXPECT_EQ(get64(image, 16), 1);
  EXPECT_EQ(get64(image, 40), 4);
  EXPECT_EQ(get64(image, 48), -5);
  EXPECT_EQ(get64(image, 72), 800);
  EXPECT_EQ(image[80], 1);
  EXPECT_EQ(image[81], 1);
  EXPECT_EQ(get64(image, 96), -77);
  EXPECT_EQ(get64(image, 112), -(int64_t(1) << 35));
  EXPECT_EQ(get32(image, 132), 0x1000000u);
  EXPECT_EQ(get32(image, 136), 8192u);
  EXPECT_EQ(get16(image, 162), 200);
  EXPECT_EQ(image[169], 18);
  EXPECT_EQ(image[171], 0);
  EXPECT_EQ(image[257], 1);
  EXPECT_EQ(image[258], 1);
  EXPECT_EQ(image[264], 1);
  EXPECT_EQ(get64(image, 560), 15000);
  EXPECT_EQ(image[604], 0xAB);
  EXPECT_EQ(get16(image, 612), 256);
  // Bytes no field owns stay zero.
  for (size_t i : {2u, 15u, 82u, 83u, 144u, 159u, 161u, 170u, 172u, 191u, 256u, 265u, 535u, 605u, 614u})
    EXPECT_EQ(image[i], 0) << i;

  cg_record b;
  ASSERT_EQ(read_cg_record_image(image, sizeof image, b), 0);
  uint8_t again[cg_record_image_size];
  write_cg_record_image(b, again);
  EXPECT_EQ(b.use_count, 1);  // a live record keeps its own count
  again[88] = image[88];
  EXPECT_EQ(std::memcmp(image, again, sizeof image), 0);
  EXPECT_EQ(b.angle[1], -250.0f);
  EXPECT_EQ(b.colour_tone, 0x1000000);
  EXPECT_EQ(b.dirty_flag, 1);

  EXPECT_EQ(read_cg_record_image(image, cg_record_image_size - 1, b), -1);
}

TEST_F(layer_records, OldEmptyRectangleReadsAsTheEmptyValue) {
  cg_record a;
  uint8_t image[cg_record_image_size];
  write_cg_record_image(a, image);
  for (size_t at : {16u, 48u})
    for (int k = 0; k < 4; ++k) {
      uint64_t v = uint64_t(int64_t(-999999999));
      for (int i = 0; i < 8; ++i) image[at + 8 * k + i] = uint8_t(v >> (8 * i));
    }
  cg_record b;
  b.dirty_rect = {0, 0, 5, 5};
  ASSERT_EQ(read_cg_record_image(image, sizeof image, b), 0);
  EXPECT_TRUE(layer_rect_equal(b.dirty_rect, empty_layer_rect));
  EXPECT_TRUE(layer_rect_equal(b.present_rect, empty_layer_rect));
  EXPECT_EQ(b.dirty_flag, 0);
}

TEST_F(layer_records, SiblingsSortBySixtyFourBitPriority) {
  object_node* g = add_layer(w0, "g", 10, 8, 8, 0, 0, true);
  add_layer(g, "a", 5, 1, 1, 0, 0);
  add_layer(g, "b", 5, 1, 1, 0, 0);
  add_layer(g, "c", 3, 1, 1, 0, 0);
  EXPECT_EQ(child_names(g), (std::vector<std::string>{"c", "a", "b"}));
  add_layer(g, "big", (int64_t(1) << 32) + 1, 1, 1, 0, 0);
  add_layer(g, "below_big", int64_t(0xFFFFFFFF), 1, 1, 0, 0);
  add_layer(g, "neg", -1, 1, 1, 0, 0);
  EXPECT_EQ(child_names(g), (std::vector<std::string>{"neg", "c", "a", "b", "below_big", "big"}));
  EXPECT_EQ(nth_child(g, 0)->name, "neg");
  EXPECT_EQ(nth_child(g, 1)->name, "neg");
  EXPECT_EQ(nth_child(g, 3)->name, "a");
  EXPECT_EQ(nth_child(g, 6)->name, "big");
  EXPECT_EQ(nth_child(g, 7), nullptr);

  object_node* a = find_object_by_path(object_trees[tree_layers].root, "W0/g/a", find_leaf);
  object_node* big = find_object_by_path(object_trees[tree_layers].root, "W0/g/big", find_leaf);
  EXPECT_EQ(swap_layer_order_keys(a, big), 1);
  EXPECT_EQ(child_names(g), (std::vector<std::string>{"neg", "c", "b", "big", "below_big", "a"}));
  EXPECT_EQ(swap_layer_order_keys(a, nullptr), 0);
}

TEST_F(layer_records, SwapLayersKeepsPicturesWithTheirNodes) {
  object_node* a = add_layer(w0, "a", 1, 4, 4, 10, 20);
  object_node* b = add_layer(w0, "b", 2, 4, 4, 30, 40);
  cg_record* ra = layer_record(a);
  cg_record* rb = layer_record(b);
  rb->alpha = 100;

  // Mode 0: positions travel with the pictures.
  ASSERT_EQ(swap_layers(a, b, 0), 0);
  EXPECT_EQ(a->name, "b");
  EXPECT_EQ(b->name, "a");
  EXPECT_EQ(find_object_by_path(object_trees[tree_layers].root, "W0/a", find_leaf), b);
  EXPECT_EQ(find_object_by_path(object_trees[tree_layers].root, "W0/b", find_leaf), a);
  EXPECT_EQ(child_names(w0), (std::vector<std::string>{"a", "b"}));  // b's old place now holds "b"
  EXPECT_EQ(w0->first_child, b);
  EXPECT_EQ(ra->x, 10);
  EXPECT_EQ(rb->x, 30);

  // Mode 1: the position stays with the name.
  ASSERT_EQ(swap_layers(a, b, 1), 0);
  EXPECT_EQ(a->name, "a");
  EXPECT_EQ(ra->x, 30);
  EXPECT_EQ(rb->x, 10);
  EXPECT_EQ(ra->alpha, 256);

  // Mode 2: the drawing attributes as well.
  ASSERT_EQ(swap_layers(a, b, 2), 0);
  EXPECT_EQ(ra->alpha, 100);
  EXPECT_EQ(rb->alpha, 256);
  EXPECT_EQ(swap_layers(a, nullptr, 0), -1);
}

TEST_F(layer_records, SharedRecordLivesUntilItsLastNode) {
  object_node* a = add_layer(w0, "a", 1, 8, 8, 0, 0);
  cg_record* r = layer_record(a);
  r->mask_path = "W0/m";
  r->second_source_path = "W0/s";
  object_node* b = create_object_by_path(object_trees[tree_layers].root, "W0/b", 0, 2, 0);
  ASSERT_EQ(share_cg_record(b, r), r);
  EXPECT_EQ(r->use_count, 2);
  EXPECT_EQ(share_cg_record(nullptr, r), nullptr);
  EXPECT_EQ(r->use_count, 2);
  paint(a, [](int x, int y) { return 0xFF000000u | uint32_t(x * 16 + y); });

  free_layer_node(a);
  EXPECT_EQ(r->use_count, 1);
  ASSERT_NE(r->pixels, nullptr);
  EXPECT_EQ(pixel_at(r, 3, 2), 0xFF000032u);
  EXPECT_EQ(r->mask_path, "W0/m");
  EXPECT_EQ(r->second_source_path, "W0/s");
  EXPECT_EQ(child_names(w0), (std::vector<std::string>{"b"}));
  free_layer_node(b);  // frees the record: ASan sees any later use
  EXPECT_EQ(w0->first_child, nullptr);
}

TEST_F(layer_records, FreeingOneSharerKeepsTheOthersWindowAndMessageWindow) {
  object_node* a = add_layer(w0, "a", 1, 8, 8, 0, 0);
  object_node* b = create_object_by_path(object_trees[tree_layers].root, "W0/b", 0, 2, 0);
  cg_record* r = share_cg_record(b, layer_record(a));
  attach_window_layer(1, b);
  set_message_layer(b);
  EXPECT_EQ(r->shown_in_window, 1);
  EXPECT_EQ(r->is_message_layer, 1);

  // Freeing the node that nothing shows leaves the other's references and flags.
  free_layer_node(a);
  EXPECT_EQ(layer_links.windows[1].attached_layer, b);
  EXPECT_EQ(layer_links.message_layer, b);
  EXPECT_EQ(r->shown_in_window, 1);
  EXPECT_EQ(r->is_message_layer, 1);

  // Freeing the shown node drops both references: no freed pointer stays.
  object_node* c = create_object_by_path(object_trees[tree_layers].root, "W0/c", 0, 3, 0);
  share_cg_record(c, r);
  free_layer_node(b);
  EXPECT_EQ(layer_links.windows[1].attached_layer, nullptr);
  EXPECT_EQ(layer_links.message_layer, nullptr);
  EXPECT_EQ(r->shown_in_window, 0);
  EXPECT_EQ(r->is_message_layer, 0);
  EXPECT_EQ(r->use_count, 1);
  free_layer_node(c);
}

TEST_F(layer_records, MessageLayerFreedLeavesTheMessageWindowWithoutLayer) {
  object_node* t = add_layer(w0, "text", 1, 8, 8, 0, 0);
  set_message_layer(t);
  delete_layer_subtree(t);
  EXPECT_EQ(layer_links.message_layer, nullptr);
}

TEST_F(layer_records, SubtreeDeletionFreesEveryDescendant) {
  object_node* g = add_layer(w0, "g", 1, 16, 16, 0, 0, true);
  object_node* h = add_layer(g, "h", 1, 8, 8, 0, 0, true);
  add_layer(h, "x", 1, 2, 2, 0, 0);
  add_layer(h, "y", 2, 2, 2, 0, 0);
  add_layer(g, "z", 2, 2, 2, 0, 0);
  attach_window_layer(2, h);
  delete_layer_subtree(g);
  EXPECT_EQ(w0->first_child, nullptr);
  EXPECT_EQ(w0->child_count, 0);
  EXPECT_EQ(layer_links.windows[2].attached_layer, nullptr);

  // A group freed directly takes its children with it instead of leaving them
  // with a freed parent.
  object_node* k = add_layer(w0, "k", 1, 4, 4, 0, 0, true);
  add_layer(k, "leaf", 1, 2, 2, 0, 0);
  free_layer_node(k);
  EXPECT_EQ(w0->first_child, nullptr);
  free_layer_node(nullptr);
  delete_layer_subtree(nullptr);
}

TEST_F(layer_records, PathFieldsAreCutWithoutSplittingACharacter) {
  std::string text(259, 'a');
  text += "\x82\xa0";  // a double-byte character across the 260-byte limit
  std::string field;
  set_cg_path(field, text);
  EXPECT_EQ(field.size(), 259u);
  set_cg_path(field, "W0/mask");
  EXPECT_EQ(field, "W0/mask");
}

TEST_F(layer_records, PictureAllocationRefusesWidthsAbove8192) {
  object_node* a = add_layer(w0, "a", 1, 4, 4, 0, 0);
  cg_record* r = layer_record(a);
  uint8_t* before = r->pixels;
  EXPECT_EQ(alloc_layer_picture(r, 8193, 1), -1);
  EXPECT_EQ(r->pixels, before);
  EXPECT_EQ(r->width, 4);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), 100010);
}

}  // namespace
