// Fonts and glyph drawing: the installed-face list (in pixel_kernels.fonts),
// eight font slots with their text attributes, a glyph cache per slot, and
// the drawing of one character into a picture with a four-corner colour
// gradient, rotation, outline passes and overlay.
//
// Glyphs come from the platform's FontRasterizer as one-bit bitmaps (black
// ink on white); the two glyph kernels turn them into pixels.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class RasterFont;
struct object_node;

constexpr int font_slot_count = 8;
constexpr int max_glyph_cell = 256;  // char_width and char_height stay within 0..256

// Text attributes of one font slot.
struct font_slot_record {
  int32_t char_width = 20;
  int32_t char_height = 20;
  uint8_t bold = 0;
  int32_t colour = 0xFFFFFF;
  int32_t second_colour = 0xFFFFFF;
  uint8_t gradient = 1;        // 0..8
  uint8_t rotation = 0;        // 0..8 (4..8 draw as 0)
  uint8_t glyph_mode = 1;      // 1 anti-aliased, else one-bit
  uint8_t overlay_glyphs = 0;  // 0: a glyph cell replaces the pixels, 1: drawn over them
};
extern font_slot_record font_slots[font_slot_count];

// A glyph made ready for one cell: the alpha of every pixel of the w x h
// cell in the glyph's own frame (anti-aliased: the coverage-to-alpha entry of
// its 4 x 4 bits; one-bit: 255 for ink, 0 for paper), and which rows and
// columns the bitmap reaches (the others are not drawn). Drawing a glyph
// again then costs only the blend.
struct prepared_glyph {
  int32_t w = 0, h = 0;
  int32_t columns = 0;  // columns 0..columns-1 of each drawn row are drawn
  bool one_bit = false;
  std::vector<uint8_t> alpha;      // h rows of w, then glyph_plane_padding spare bytes
  std::vector<uint8_t> row_drawn;  // h flags
};
// Spare entries after the last row of an alpha or colour plane, so a row's
// last group of eight can be read whole.
constexpr int glyph_plane_padding = 8;

// The glyph cache of one slot: the opened font and the key it was made for,
// a square one-bit bitmap (stride x stride pixels, rows of stride / 8 bytes,
// top-down) the rasteriser draws into, and the characters already rendered
// under the key (bitmap and metrics, and the glyph prepared for the cell once
// it was first drawn).
struct glyph_cache_record {
  std::vector<uint8_t> bits;  // the last character rasterised
  int32_t stride = 0;  // bits per row (and rows)
  std::unique_ptr<RasterFont> font;
  bool valid = false;
  int32_t cell_width = 0, cell_height = 0, font_height = 0;
  uint8_t bold = 0;
  int32_t face_index = -1;
  int32_t last_advance = 0, last_height = 0;
  // Characters rendered under this key, so a character drawn again skips
  // the rasteriser and the coverage count. Emptied with the key.
  struct rendered_glyph {
    std::vector<uint8_t> bits;
    prepared_glyph prepared;  // w == 0 until first drawn
    int32_t advance = 0, height = 0;
  };
  std::vector<rendered_glyph> rendered;
  // Index + 1 into `rendered` by character: page 0 holds the one-byte
  // characters, page n the double-byte characters of lead byte n.
  std::unique_ptr<std::unique_ptr<uint32_t[]>[]> rendered_pages;
  size_t rendered_bytes = 0;
  // A character that did not fit the rendered set is drawn from `bits`,
  // prepared here.
  prepared_glyph uncached;
};
extern glyph_cache_record glyph_caches[font_slot_count];

// Look-ups of every glyph cache (rebuilds are misses).
struct glyph_cache_counters_record {
  uint64_t hits = 0;
  uint64_t misses = 0;
};
extern glyph_cache_counters_record glyph_cache_counters;

// Tables built by init_lookup_tables.
struct glyph_tables_record {
  int32_t stride_bits[max_glyph_cell + 1];  // bitmap side for a cell width
  uint16_t ink_count[256];  // high byte: clear bits of the upper nibble; low byte: of the lower
  uint8_t coverage_alpha[32];  // min(18 n, 255)
};
extern glyph_tables_record glyph_tables;

// Mirrors slot 0 into the message window after command 25 changed it; set by
// the message window. Null: nothing is mirrored.
extern void (*mirror_font_slot0)(const font_slot_record& slot);
// The message window's text attributes for command 26 (glyph mode, colours,
// gradient, rotation, overlay, cell and bold); set by the message window.
// Null: slot 0 answers.
extern font_slot_record (*message_window_font)();

// ---------------------------------------------------------------- start-up

void init_lookup_tables();
// Lists the installed faces, gives every slot the first installed face of the
// default names, returns the current slot to 0 and builds the tables. Slots'
// attributes are reset to their defaults and the glyph caches emptied.
void build_font_list();
// Frees the glyph caches (their fonts and bitmaps); slots and list stay.
void release_glyph_caches();

// ---------------------------------------------------------------- the face list

void select_font_slot(int slot);  // 0..7; others are ignored
int select_face(int index);       // 0-based; 1 stored, 0 when past the count
int select_font_by_name(const std::string& name);  // exact; 1 stored, else 0
std::string current_face_name();  // "" with no faces
std::string face_name(int index);  // "" past the list
int face_count();
int current_face_index();
int current_face_pitch();       // 255 with no faces
int face_non_japanese(int index);  // 1 past the list

// ---------------------------------------------------------------- glyphs

struct glyph_metrics {
  int32_t advance = 0;
  int32_t height = 0;
};

// Renders one 1- or 2-byte character into the current slot's glyph cache at
// the cell `width` (the font height is 4 x width in glyph mode 1, else width)
// and measures it; the character's bitmap is then in the slot's `bits`. A
// cell width outside 1..256 or an empty text gives 0, 0 and draws nothing;
// failures of the cache report 100010 or 102040 (quit).
glyph_metrics render_glyph(std::string_view text, int width, int height, int bold, int glyph_mode);

// A picture to draw into: width x height pixels B, G, R, A, rows without gap.
// Drawing sets alpha_in_use and widens the dirty rectangle (inclusive picture
// coordinates; empty while x0 > x1), so the layer can take both over.
struct glyph_surface {
  uint8_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  uint8_t alpha_in_use = 0;
  int64_t dirty_x0 = 1, dirty_y0 = 1, dirty_x1 = 0, dirty_y1 = 0;
  bool dirty() const { return dirty_x0 <= dirty_x1; }
};

// Draws one character (the current slot's face) and returns its advance.
// `extra`: 0 one pass; 1..10 five passes around (x, y) at distance extra;
// above 10 three passes shifted by extra - 10.
int draw_text_glyph(std::string_view text, int32_t colour, int32_t second_colour, int gradient, int rotation,
                    int width, int height, int bold, int glyph_mode, int extra, int x, int y, int overlay_glyphs,
                    glyph_surface& surface);

// The same into a layer's picture: sets the layer's alpha_in_use and marks it
// dirty when anything was drawn. A null layer, or one without a picture,
// draws nothing; the character is still measured.
int draw_text_glyph(std::string_view text, int32_t colour, int32_t second_colour, int gradient, int rotation,
                    int width, int height, int bold, int glyph_mode, int extra, int x, int y, int overlay_glyphs,
                    object_node* layer);

// ---------------------------------------------------------------- kernels (exposed for tests)

// Corner colours (0xRRGGBB) of a gradient kind, in the glyph's own frame.
struct gradient_corners {
  uint32_t top_left, bottom_left, top_right, bottom_right;
};
// second_colour -1 means colour. Kinds above 8 are flat.
gradient_corners gradient_corners_for(int gradient, int rotation, int32_t colour, int32_t second_colour);
// The kind used for a rotation (1..3 remap it; others keep it).
int gradient_kind_for_rotation(int gradient, int rotation);
// Colour of glyph row i, column j in a w x h cell (interpolated per channel;
// a side of 1 takes the top or left corner).
uint32_t gradient_colour(const gradient_corners& c, int i, int j, int w, int h);
// n / d as C divides (toward zero) for |n| <= 65280 and d in 1..256: the
// kernels' division without a divider.
int glyph_divide(int n, int d);
// Where glyph pixel (i, j) lands for a rotation (4..8 as 0).
void glyph_pixel_position(int rotation, int x, int y, int w, int h, int i, int j, int& px, int& py);

// Prepares a glyph bitmap (`stride` bits per row, `rows` rows) for a w x h
// cell: glyph row i reads bitmap row i * 100 / (h * 100 / w) (one-bit) or the
// four rows from i * 400 / (h * 100 / w) (anti-aliased). `out`'s storage is
// reused.
void prepare_glyph(const uint8_t* bits, int stride, int rows, int w, int h, bool one_bit, prepared_glyph& out);
// Whether a w x h cell placed at (x, y) with the rotation (h wide and w high
// for rotations 1 and 3; 4..8 as 0) lies wholly inside the picture.
bool glyph_cell_inside(int rotation, int w, int h, int x, int y, const glyph_surface& surface);
// One pass of a prepared glyph at (x, y), by the one-bit or the anti-aliased
// rules. Returns false when the cell does not lie wholly inside the picture.
bool draw_prepared_glyph(const prepared_glyph& glyph, const gradient_corners& corners, int rotation, int x, int y,
                         int overlay_glyphs, glyph_surface& surface);
// Passes of one prepared glyph with its cell at each place in turn (an edge
// or a shadow), every cell wholly inside the picture: draw_prepared_glyph
// place by place, with what the passes share worked out once.
struct glyph_place {
  int x, y;
};
void draw_prepared_glyph_passes(const prepared_glyph& glyph, const gradient_corners& corners, int rotation,
                                const glyph_place* places, int count, int overlay_glyphs, glyph_surface& surface);
// The colour of every pixel of a w x h cell (row by row, gradient_colour,
// then glyph_plane_padding spare entries), or null when all four corners are
// one colour. Kept for the last few gradients; valid until the next call.
const uint32_t* gradient_plane(const gradient_corners& corners, int w, int h);

// One pass of a glyph kernel straight from a bitmap (prepare, then draw):
// the bitmap is `stride` bits per row and `rows` rows. Returns false when the
// cell does not lie wholly inside the picture.
bool glyph_kernel_one_bit(const uint8_t* bits, int stride, int rows, const gradient_corners& corners, int rotation,
                          int w, int h, int x, int y, int overlay_glyphs, glyph_surface& surface);
bool glyph_kernel_antialiased(const uint8_t* bits, int stride, int rows, const gradient_corners& corners,
                              int rotation, int w, int h, int x, int y, int overlay_glyphs, glyph_surface& surface);

// ---------------------------------------------------------------- commands

int cmd_font_settings();  // command 25
int cmd_font_info();      // command 26
