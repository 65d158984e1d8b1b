// The face list, slot defaults, face selection, and render_glyph's metrics,
// cache key and failures, over a rasterizer whose glyphs are boxes.
#include "font_test_support.h"
#include "graphics/pixel_kernels.h"
#include "support/reported_errors.h"
#include "core/engine_state.h"

using namespace font_test;

namespace {

class FontList : public ::testing::Test {
 protected:
  void SetUp() override { quit_flag = 0; }
  void TearDown() override { release_glyph_caches(); }
  void start(std::vector<font_face_info> faces) {
    r.faces = std::move(faces);
    build_font_list();
  }
  box_rasterizer r;
  font_platform fp{&r};
};

}  // namespace

TEST_F(FontList, SlotsStartOnTheFirstInstalledDefaultFace) {
  start({{"Arial", 1, 1}, {sj("標準明朝"), 0, 0}, {sj("ＭＳ 明朝"), 0, 0}, {"Courier", 1, 0}});
  const installed_font_list& list = pixel_kernels.fonts;
  EXPECT_EQ(list.count, 4);
  // "ＭＳ 明朝" comes before "標準明朝" among the defaults.
  for (int s = 0; s < 8; ++s) EXPECT_EQ(list.slot_faces[s], 2) << s;
  EXPECT_EQ(current_face_name(), sj("ＭＳ 明朝"));
  EXPECT_EQ(list.current_slot, 0);
  EXPECT_EQ(face_non_japanese(0), 1);
  EXPECT_EQ(face_non_japanese(1), 0);
  EXPECT_EQ(face_non_japanese(99), 1);
  EXPECT_EQ(face_name(3), "Courier");
  EXPECT_EQ(face_name(4), "");
  EXPECT_EQ(face_name(-1), "");

  start({{"Arial", 1, 1}, {sj("ＭＳ Ｐゴシック"), 0, 1}, {sj("ＭＳ ゴシック"), 0, 0}});
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[7], 2);
  // None of the defaults: the first face.
  start({{"Arial", 1, 1}, {"Courier", 1, 0}});
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[5], 0);
  // Nothing installed: an empty list, and the slot attributes' defaults.
  start({});
  EXPECT_EQ(face_count(), 0);
  EXPECT_EQ(current_face_name(), "");
  EXPECT_EQ(current_face_pitch(), 255);
  EXPECT_EQ(font_slots[3].char_width, 20);
  EXPECT_EQ(font_slots[3].colour, 0xFFFFFF);
  EXPECT_EQ(font_slots[3].second_colour, 0xFFFFFF);
  EXPECT_EQ(font_slots[3].gradient, 1);
  EXPECT_EQ(font_slots[3].glyph_mode, 1);
}

TEST_F(FontList, SelectionByIndexAndName) {
  start({{"Arial", 1, 1}, {"Courier", 1, 0}, {"arial", 1, 1}});
  select_font_slot(3);
  EXPECT_EQ(select_face(1), 1);
  EXPECT_EQ(current_face_index(), 1);
  EXPECT_EQ(current_face_pitch(), 0);
  EXPECT_EQ(select_face(3), 0);
  EXPECT_EQ(select_face(-1), 0);
  EXPECT_EQ(current_face_index(), 1);
  // Names match exactly, case included.
  EXPECT_EQ(select_font_by_name("arial"), 1);
  EXPECT_EQ(current_face_index(), 2);
  EXPECT_EQ(select_font_by_name("ARIAL"), 0);
  EXPECT_EQ(current_face_index(), 2);
  // Other slots keep their faces; slot numbers outside 0..7 are ignored.
  select_font_slot(9);
  EXPECT_EQ(pixel_kernels.fonts.current_slot, 3);
  select_font_slot(0);
  EXPECT_EQ(current_face_index(), 0);
}

TEST_F(FontList, MetricsOfFixedAndProportionalFaces) {
  start({{"Fixed", 0, 0}, {"Prop", 0, 1}, {"Other", 0, 255}});
  r.ink_per_mille = {{"W", 750}, {"i", 100}};
  // Fixed pitch and other pitches: half the cell or the cell, the cell height.
  for (int face : {0, 2}) {
    select_face(face);
    glyph_metrics m = render_glyph("W", 20, 30, 0, 1);
    EXPECT_EQ(m.advance, 10);
    EXPECT_EQ(m.height, 30);
    EXPECT_EQ(render_glyph(sj("あ"), 21, 30, 0, 0).advance, 21);
  }
  select_face(1);
  // Glyph mode 1: the bitmap is four times the cell; ink columns 1..60 of a
  // font 80 high: advance min(20, 60 / 4 + 4).
  EXPECT_EQ(render_glyph("W", 20, 20, 0, 1).advance, 19);
  EXPECT_EQ(render_glyph("i", 20, 20, 0, 1).advance, 6);   // columns 1..8
  EXPECT_EQ(render_glyph("W", 12, 12, 0, 1).advance, 12);  // 36 / 4 + 4 = 13, cut to the cell
  // The height: min(cell height, (stride - first ink row) / 4 + 4).
  EXPECT_EQ(render_glyph("W", 20, 20, 0, 1).height, 20);
  EXPECT_EQ(render_glyph("W", 20, 256, 0, 1).height, (128 - 1) / 4 + 4);
  // Glyph mode 0 measures at the cell's own scale: columns 1..15 of a font
  // 20 high give 15 + 4.
  EXPECT_EQ(render_glyph("W", 20, 20, 0, 0).advance, 19);
  EXPECT_EQ(render_glyph("i", 20, 20, 0, 0).advance, 6);
  // No ink: the fixed-pitch advance and the cell height.
  glyph_metrics space = render_glyph(" ", 20, 24, 0, 1);
  EXPECT_EQ(space.advance, 10);
  EXPECT_EQ(space.height, 24);
  EXPECT_EQ(render_glyph(sj("　"), 20, 24, 0, 1).advance, 20);
  EXPECT_EQ(render_glyph(" ", 7, 24, 0, 0).advance, 3);
  // Only the first character of a longer text is rendered.
  EXPECT_EQ(render_glyph("iW", 20, 20, 0, 1).advance, 6);
  EXPECT_EQ(glyph_caches[0].last_advance, 6);
}

TEST_F(FontList, CacheKeyAndFontHeight) {
  start({{"Fixed", 0, 0}, {"Prop", 0, 1}});
  glyph_cache_counters = {};
  render_glyph("A", 20, 20, 0, 1);
  render_glyph("B", 20, 20, 0, 1);
  EXPECT_EQ(r.opened, std::vector<std::string>{"Fixed 80"});  // 4 x the cell width in glyph mode 1
  render_glyph("A", 20, 20, 0, 0);
  render_glyph("A", 20, 20, 1, 0);
  render_glyph("A", 20, 21, 1, 0);
  select_face(1);
  render_glyph("A", 20, 21, 1, 0);
  EXPECT_EQ(r.opened, (std::vector<std::string>{"Fixed 80", "Fixed 20", "Fixed 20 bold", "Fixed 20 bold",
                                                "Prop 20 bold"}));
  EXPECT_EQ(glyph_cache_counters.misses, 5u);
  EXPECT_EQ(glyph_cache_counters.hits, 1u);
  // The bitmap is stride x stride bits for the cell width.
  EXPECT_EQ(glyph_caches[0].stride, 128);
  EXPECT_EQ(glyph_caches[0].bits.size(), 128u * 128u / 8u);
}

TEST_F(FontList, CellsOutsideTheTablesDrawNothing) {
  start({{"Fixed", 0, 0}});
  for (auto [w, h] : {std::pair{0, 20}, {257, 20}, {-3, 20}, {20, 0}, {20, -1}}) {
    glyph_metrics m = render_glyph("A", w, h, 0, 1);
    EXPECT_EQ(m.advance, 0) << w << "x" << h;
    EXPECT_EQ(m.height, 0);
  }
  EXPECT_EQ(render_glyph("", 20, 20, 0, 1).advance, 0);
  EXPECT_TRUE(r.opened.empty());
  test_picture pic(300, 300);
  glyph_surface s = pic.surface();
  EXPECT_EQ(draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 1000, 20, 0, 1, 0, 0, 0, 0, s), 0);
  EXPECT_FALSE(s.dirty());
  // The widest cell works.
  EXPECT_EQ(render_glyph(sj("あ"), 256, 256, 0, 1).advance, 256);
  EXPECT_EQ(glyph_caches[0].stride, 1088);
}

TEST_F(FontList, FontFailuresAreReportedAndSkipTheCharacter) {
  start({{"Fixed", 0, 0}});
  r.refuse = true;
  reported_errors probe;
  test_picture pic(40, 40);
  glyph_surface s = pic.surface();
  EXPECT_EQ(draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 20, 20, 0, 1, 0, 0, 0, 0, s), 0);
  EXPECT_EQ(probe.codes(), std::vector<int>{102040});
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_FALSE(s.dirty());
  // The next character tries again and works once a font opens.
  r.refuse = false;
  quit_flag = 0;
  EXPECT_EQ(draw_text_glyph("A", 0xFFFFFF, -1, 0, 0, 20, 20, 0, 1, 0, 0, 0, 0, s), 10);
  EXPECT_TRUE(s.dirty());
  // Without a rasterizer every character fails the same way.
  fp.services.fonts = nullptr;
  release_glyph_caches();
  probe.clear();
  EXPECT_EQ(render_glyph("A", 20, 20, 0, 1).advance, 0);
  EXPECT_EQ(probe.codes(), std::vector<int>{102040});
}
