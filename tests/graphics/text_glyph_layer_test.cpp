// Glyphs drawn into a layer of the real tree: the picture changes, the layer
// takes alpha_in_use and is marked dirty up to the root; nothing happens for
// a character that does not fit or a layer without a picture.
#include <sys/stat.h>

#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/fonts.h"
#include "layer_scene.h"

namespace {

struct text_layers : layer_scene {
  void SetUp() override {
    layer_scene::SetUp();
    struct stat st {};
    if (stat("/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf", &st) != 0)
      GTEST_SKIP() << "the IPA fonts (fonts-ipafont-gothic) are not installed";
    build_font_list();
  }
  void TearDown() override {
    release_glyph_caches();
    layer_scene::TearDown();
  }
};

}  // namespace

TEST_F(text_layers, AGlyphMarksItsLayerDirtyAndSetsAlpha) {
  object_node* text = add_layer(w0, "text", 1, 40, 30, 10, 5);
  end_frame();
  cg_record* r = layer_record(text);
  r->alpha_in_use = 0;
  uint64_t version = r->picture_version;
  const std::string ch = utf8_to_sjis("字");
  EXPECT_EQ(draw_text_glyph(ch, 0xFF0000, -1, 0, 0, 24, 24, 0, 1, 0, 2, 3, 0, text), 24);
  EXPECT_EQ(r->alpha_in_use, 1);
  EXPECT_GT(r->picture_version, version);
  EXPECT_FALSE(layer_rect_empty(root()->dirty_rect));  // reaches the root, moved by the layer's place
  int ink = 0;
  for (int y = 3; y < 27; ++y)
    for (int x = 2; x < 26; ++x) ink += (pixel_at(r, x, y) >> 24) > 128;
  EXPECT_GT(ink, 40);
  EXPECT_EQ(pixel_at(r, 30, 3) >> 24, pixel_at(r, 39, 29) >> 24);  // outside the cell: untouched

  // A cell one pixel past the right edge is not drawn and marks nothing.
  end_frame();
  version = r->picture_version;
  EXPECT_EQ(draw_text_glyph(ch, 0xFF0000, -1, 0, 0, 24, 24, 0, 1, 0, 17, 0, 0, text), 24);
  EXPECT_EQ(r->picture_version, version);
  // No layer: measured, nothing drawn.
  EXPECT_EQ(draw_text_glyph(ch, 0xFF0000, -1, 0, 0, 24, 24, 0, 1, 0, 0, 0, 0, static_cast<object_node*>(nullptr)),
            24);
}
