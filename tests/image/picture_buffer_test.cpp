// Picture buffers: block layout, size refusals and transparent pixels.
#include <gtest/gtest.h>

#include <cstring>

#include "core/engine_state.h"
#include "graphics/picture_buffer.h"
#include "image/picture_loader.h"
#include "image_test_util.h"

TEST(PictureBuffer, BlockHoldsASpareRowAndFourBytes) {
  EXPECT_EQ(picture_block_bytes(1, 1), 4u + 4 + 4);
  EXPECT_EQ(picture_block_bytes(3, 5), 3u * 4 * 5 + 3 * 4 + 4);
  EXPECT_EQ(picture_block_bytes(8192, 8192), 8192ull * 4 * 8192 + 8192 * 4 + 4);
  // Computed in 64 bits: no wrap for tall pictures.
  EXPECT_EQ(picture_block_bytes(8192, 1 << 20), 8192ull * 4 * (1 << 20) + 8192 * 4 + 4);
  for (auto [w, h] : {std::pair<int64_t, int64_t>{0, 1}, {1, 0}, {-1, 5}, {5, -1}, {8193, 1}, {INT32_MIN, 2}})
    EXPECT_EQ(picture_block_bytes(w, h), 0u) << w << "x" << h;
}

TEST(PictureBuffer, AllocRefusesBadSizesAndKeepsTheOldPicture) {
  owned_picture pic;
  ASSERT_EQ(alloc_picture_buffer(pic.picture, 8192, 2, "wide"), 0);
  EXPECT_EQ(pic.picture.width, 8192);
  // The spare row and bytes are zero.
  const uint8_t* spare = pic.picture.pixels + 8192 * 4 * 2;
  for (int i = 0; i < 8192 * 4 + 4; ++i) ASSERT_EQ(spare[i], 0);
  for (auto [w, h] : {std::pair<int64_t, int64_t>{8193, 1}, {0, 4}, {4, 0}, {-3, 4}, {4, -3}}) {
    picture_buffer fresh;
    quit_flag = 0;
    EXPECT_EQ(alloc_picture_buffer(fresh, w, h, "x"), -1);
    EXPECT_EQ(quit_flag.load(), 1);
    EXPECT_EQ(fresh.pixels, nullptr);
    EXPECT_EQ(fresh.width, 0);
  }
  // A block the machine cannot give: reported, nothing changes.
  picture_buffer huge;
  quit_flag = 0;
  EXPECT_EQ(alloc_picture_buffer(huge, 8192, int64_t{1} << 40, "huge"), -1);
  EXPECT_EQ(huge.pixels, nullptr);
  EXPECT_EQ(quit_flag.load(), 1);
  uint8_t* old = pic.picture.pixels;
  std::memset(old, 7, 16);
  EXPECT_EQ(alloc_picture_block(old, 8193, 1, "x"), nullptr);
  EXPECT_EQ(old[15], 7);  // still ours, untouched
}

TEST(PictureBuffer, CommitReplacesTheOldBlock) {
  owned_picture target;
  ASSERT_EQ(alloc_picture_buffer(target.picture, 2, 2, "a"), 0);
  picture_buffer fresh;
  ASSERT_EQ(alloc_picture_buffer(fresh, 5, 1, "b"), 0);
  fresh.alpha_in_use = 1;
  uint8_t* block = fresh.pixels;
  commit_picture_buffer(target.picture, fresh);
  EXPECT_EQ(target.picture.pixels, block);
  EXPECT_EQ(target.picture.width, 5);
  EXPECT_EQ(target.picture.alpha_in_use, 1);
  EXPECT_EQ(fresh.pixels, nullptr);
}

TEST(PictureBuffer, OnlyFullyTransparentPixelsAreNormalised) {
  uint8_t px[] = {0, 0, 255, 0, 1, 2, 3, 1, 9, 9, 9, 0, 0, 0, 0, 255};
  normalise_transparent_pixels(px, 4);
  const uint8_t want[] = {0x80, 0x80, 0x80, 0, 1, 2, 3, 1, 0x80, 0x80, 0x80, 0, 0, 0, 0, 255};
  EXPECT_EQ(0, std::memcmp(px, want, sizeof px));
}

TEST(PictureLoader, DispatchByTypeAndRefusals) {
  EXPECT_EQ(picture_type_of_name("cg\\A.PNG"), picture_type_png);
  EXPECT_EQ(picture_type_of_name("x.Jpg"), picture_type_jpeg);
  EXPECT_EQ(picture_type_of_name("x.kcg"), picture_type_kcg);
  EXPECT_EQ(picture_type_of_name("x.psd"), picture_type_psd);
  EXPECT_EQ(picture_type_of_name("x.jpeg"), 0);
  const std::vector<uint8_t> bytes = {'8', 'B', 'P', 'S', 0, 1};
  owned_picture pic;
  for (int type : {int{picture_type_psd}, 0, 5, 6, 9, -1}) {
    quit_flag = 0;
    EXPECT_EQ(decode_picture_bytes(type, bytes.data(), bytes.size(), "x.psd", pic.picture), -1) << type;
    EXPECT_EQ(quit_flag.load(), 1);
  }
  // A kcg stored under a PNG name decodes by its type.
  EXPECT_EQ(pic.picture.pixels, nullptr);
}
