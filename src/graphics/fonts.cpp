// The face list, the font slots, the glyph caches and draw_text_glyph.
#include "graphics/fonts.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "core/error_report.h"
#include "core/sjis.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "graphics/pixel_kernels.h"
#include "platform/platform.h"

font_slot_record font_slots[font_slot_count];
glyph_cache_record glyph_caches[font_slot_count];
glyph_cache_counters_record glyph_cache_counters;
void (*mirror_font_slot0)(const font_slot_record& slot) = nullptr;
font_slot_record (*message_window_font)() = nullptr;

namespace {

installed_font_list& font_list() { return pixel_kernels.fonts; }

// The faces every slot starts with: the first of these that is installed.
const std::vector<std::string>& default_face_names() {
  static const std::vector<std::string> names = {
      utf8_to_sjis("ＭＳ ゴシック"), utf8_to_sjis("標準ゴシック"), utf8_to_sjis("ＭＳ Ｐゴシック"),
      utf8_to_sjis("ＭＳ 明朝"), utf8_to_sjis("標準明朝")};
  return names;
}

int current_slot() {
  int s = font_list().current_slot;
  return s >= 0 && s < font_slot_count ? s : 0;
}

}  // namespace

// ---------------------------------------------------------------- the face list

void release_glyph_caches() {
  for (glyph_cache_record& c : glyph_caches) c = glyph_cache_record{};
}

void build_font_list() {
  installed_font_list& list = font_list();
  list = installed_font_list{};
  std::vector<font_face_info> faces;
  if (platform_installed() && platform().fonts) faces = platform().fonts->list_faces();
  for (const font_face_info& f : faces) {
    list.face_names.push_back(f.name);
    list.non_japanese.push_back(f.non_japanese);
    list.pitch.push_back(f.pitch);
  }
  list.count = static_cast<int32_t>(list.face_names.size());
  int start_face = 0;
  for (const std::string& name : default_face_names()) {
    auto it = std::find(list.face_names.begin(), list.face_names.end(), name);
    if (it != list.face_names.end()) {
      start_face = static_cast<int>(it - list.face_names.begin());
      break;
    }
  }
  for (int s = 0; s < font_slot_count; ++s) {
    list.slot_faces[s] = start_face;
    font_slots[s] = font_slot_record{};
  }
  list.current_slot = 0;
  release_glyph_caches();
  init_lookup_tables();
}

void select_font_slot(int slot) {
  if (slot >= 0 && slot < font_slot_count) font_list().current_slot = slot;
}

int select_face(int index) {
  if (index < 0 || index >= font_list().count) return 0;
  font_list().slot_faces[current_slot()] = index;
  return 1;
}

int select_font_by_name(const std::string& name) {
  const auto& names = font_list().face_names;
  auto it = std::find(names.begin(), names.end(), name);
  if (it == names.end()) return 0;
  font_list().slot_faces[current_slot()] = static_cast<int32_t>(it - names.begin());
  return 1;
}

int face_count() { return font_list().count; }
int current_face_index() { return font_list().slot_faces[current_slot()]; }

std::string face_name(int index) {
  const auto& names = font_list().face_names;
  return index >= 0 && static_cast<size_t>(index) < names.size() ? names[static_cast<size_t>(index)] : std::string();
}

std::string current_face_name() { return face_name(current_face_index()); }

int current_face_pitch() {
  int i = current_face_index();
  const auto& p = font_list().pitch;
  return i >= 0 && static_cast<size_t>(i) < p.size() ? p[static_cast<size_t>(i)] : 255;
}

int face_non_japanese(int index) {
  const auto& f = font_list().non_japanese;
  return index >= 0 && static_cast<size_t>(index) < f.size() ? f[static_cast<size_t>(index)] : 1;
}

// ---------------------------------------------------------------- glyph cache

namespace {

// Makes the slot's cache fit the key; false after a reported failure.
bool prepare_cache(glyph_cache_record& c, int width, int height, int font_height, int bold) {
  int face = current_face_index();
  if (c.valid && c.cell_width == width && c.cell_height == height && c.font_height == font_height &&
      c.bold == bold && c.face_index == face) {
    ++glyph_cache_counters.hits;
    return true;
  }
  ++glyph_cache_counters.misses;
  c.font.reset();
  c.valid = false;
  c.rendered.clear();
  c.rendered_pages.reset();
  c.rendered_bytes = 0;
  int stride = glyph_tables.stride_bits[width];
  try {
    c.bits.assign(static_cast<size_t>(stride) * stride / 8, 0xFF);
  } catch (const std::bad_alloc&) {
    c.bits = {};
    report_error(100010, 1);
    return false;
  }
  c.stride = stride;
  if (platform_installed() && platform().fonts)
    c.font = platform().fonts->open_font(current_face_name(), font_height, bold != 0);
  if (!c.font) {
    report_error(102040, 1);
    return false;
  }
  c.cell_width = width;
  c.cell_height = height;
  c.font_height = font_height;
  c.bold = static_cast<uint8_t>(bold);
  c.face_index = face;
  c.valid = true;
  return true;
}

// Where a character's index + 1 in `rendered` is kept (created on demand
// when `create`); null when it has none.
uint32_t* rendered_slot(glyph_cache_record& c, uint32_t page, uint32_t byte, bool create) {
  if (!c.rendered_pages) {
    if (!create) return nullptr;
    c.rendered_pages = std::make_unique<std::unique_ptr<uint32_t[]>[]>(256);
  }
  std::unique_ptr<uint32_t[]>& p = c.rendered_pages[page];
  if (!p) {
    if (!create) return nullptr;
    p = std::make_unique<uint32_t[]>(256);  // zeroed: no index yet
  }
  return &p[byte];
}

// A character in the slot's cache: its bitmap and its prepared form (empty
// until it is first drawn).
struct glyph_ref {
  const uint8_t* bits = nullptr;
  prepared_glyph* prepared = nullptr;
  size_t* prepared_bytes = nullptr;  // the budget a new preparation counts against; may be null
};

// The character (1 or 2 bytes) in the slot's cache, rendered when it is new;
// an empty ref after a reported failure or for an empty cell. `m` receives
// the metrics.
glyph_ref find_glyph(std::string_view text, int width, int height, int bold, int glyph_mode, glyph_metrics& m) {
  // The stride table covers cells 0..256; a cell of no width draws nothing.
  if (text.empty() || width < 1 || width > max_glyph_cell || height < 1) return {};
  if (glyph_tables.stride_bits[1] == 0) init_lookup_tables();
  const size_t length = sjis_char_length(text, 0);
  text = text.substr(0, length);
  const int scale = glyph_mode == 1 ? 4 : 1;
  glyph_cache_record& c = glyph_caches[current_slot()];
  if (!prepare_cache(c, width, height, width * scale, bold ? 1 : 0)) return {};
  const uint32_t page = length == 1 ? 0 : static_cast<uint8_t>(text[0]);
  const uint32_t byte = static_cast<uint8_t>(text[length - 1]);
  if (const uint32_t* known = rendered_slot(c, page, byte, false); known && *known) {
    glyph_cache_record::rendered_glyph& r = c.rendered[*known - 1];
    m.advance = c.last_advance = r.advance;
    m.height = c.last_height = r.height;
    return {r.bits.data(), &r.prepared, &c.rendered_bytes};
  }
  const int S = c.stride;
  std::fill(c.bits.begin(), c.bits.end(), 0xFF);
  c.font->draw_text(text, 0, 0, c.bits.data(), S / 8, S, S);

  m.advance = length == 1 ? width / 2 : width;
  m.height = height;
  if (current_face_pitch() == 1) {
    // Proportional: measure the ink. The bitmap is `scale` times the cell.
    int right = -1, top = -1;
    const size_t row_bytes = static_cast<size_t>(S) / 8;
    for (int r = 0; r < S; ++r) {
      const uint8_t* row = c.bits.data() + static_cast<size_t>(r) * row_bytes;
      for (size_t b = 0; b < row_bytes; ++b) {
        if (row[b] == 0xFF) continue;
        if (top < 0) top = r;
        for (int bit = 7; bit >= 0; --bit) {
          if (!(row[b] & (1 << bit))) right = std::max(right, static_cast<int>(b * 8) + 7 - bit);
        }
      }
    }
    // A glyph without ink (a space) keeps the fixed-pitch advance.
    if (right >= 0) {
      m.advance = std::min(width, right / scale + 4);
      m.height = std::min(height, (S - top) / scale + 4);
    }
  }
  c.last_advance = m.advance;
  c.last_height = m.height;
  // Kept up to about 4 MiB per slot, bitmaps and prepared glyphs together
  // (large cells make large bitmaps).
  constexpr size_t rendered_limit = size_t(4) << 20;
  if (c.rendered_bytes + c.bits.size() <= rendered_limit) {
    try {
      uint32_t* slot = rendered_slot(c, page, byte, true);
      glyph_cache_record::rendered_glyph r;
      r.bits = c.bits;
      r.advance = m.advance;
      r.height = m.height;
      c.rendered.push_back(std::move(r));
      *slot = static_cast<uint32_t>(c.rendered.size());
      c.rendered_bytes += c.bits.size();
      glyph_cache_record::rendered_glyph& kept = c.rendered.back();
      return {kept.bits.data(), &kept.prepared, &c.rendered_bytes};
    } catch (const std::bad_alloc&) {
      // Drawn from the slot's bitmap without being kept.
    }
  }
  c.uncached.w = 0;  // holds another character
  return {c.bits.data(), &c.uncached, nullptr};
}

}  // namespace

glyph_metrics render_glyph(std::string_view text, int width, int height, int bold, int glyph_mode) {
  glyph_metrics m;
  const glyph_ref glyph = find_glyph(text, width, height, bold, glyph_mode, m);
  // The character's bitmap is left in the slot's bitmap, as a rasteriser
  // call leaves it (drawing reads the kept copy instead).
  glyph_cache_record& c = glyph_caches[current_slot()];
  if (glyph.bits && glyph.bits != c.bits.data()) std::copy(glyph.bits, glyph.bits + c.bits.size(), c.bits.begin());
  return m;
}

int draw_text_glyph(std::string_view text, int32_t colour, int32_t second_colour, int gradient, int rotation,
                    int width, int height, int bold, int glyph_mode, int extra, int x, int y, int overlay_glyphs,
                    glyph_surface& surface) {
  glyph_metrics m;
  const glyph_ref glyph = find_glyph(text, width, height, bold, glyph_mode, m);
  if (!glyph.bits || (m.advance == 0 && m.height == 0)) return m.advance;
  gradient_corners corners = gradient_corners_for(gradient, rotation, colour, second_colour);
  struct pass {
    int dx, dy;
  };
  pass passes[5];
  int n = 0;
  int e = extra;
  if (e <= 0) {
    passes[n++] = {0, 0};
  } else if (e <= 10) {
    passes[n++] = {e, 0};
    passes[n++] = {0, -e};
    passes[n++] = {0, 0};
    passes[n++] = {0, e};
    passes[n++] = {-e, 0};
  } else {
    passes[n++] = {e - 10, 0};
    passes[n++] = {0, e - 10};
    passes[n++] = {e - 10, e - 10};
  }
  // The passes whose cell lies inside the picture.
  glyph_place places[5];
  int landed = 0;
  for (int k = 0; k < n; ++k) {
    int64_t px64 = static_cast<int64_t>(x) + passes[k].dx, py64 = static_cast<int64_t>(y) + passes[k].dy;
    if (px64 < INT32_MIN || px64 > INT32_MAX || py64 < INT32_MIN || py64 > INT32_MAX) continue;
    int px = static_cast<int>(px64), py = static_cast<int>(py64);
    if (glyph_cell_inside(rotation, width, height, px, py, surface)) places[landed++] = {px, py};
  }
  if (landed == 0) return m.advance;
  // Prepared once a pass lands, so a cell too large for the picture (a plain
  // assignment leaves its height unclamped) costs nothing.
  prepared_glyph& g = *glyph.prepared;
  if (g.w != width || g.h != height) {
    const size_t before = g.alpha.capacity() + g.row_drawn.capacity();
    const int stride = glyph_caches[current_slot()].stride;
    prepare_glyph(glyph.bits, stride, stride, width, height, glyph_mode != 1, g);
    if (glyph.prepared_bytes) *glyph.prepared_bytes += g.alpha.capacity() + g.row_drawn.capacity() - before;
  }
  draw_prepared_glyph_passes(g, corners, rotation, places, landed, overlay_glyphs, surface);
  return m.advance;
}

int draw_text_glyph(std::string_view text, int32_t colour, int32_t second_colour, int gradient, int rotation,
                    int width, int height, int bold, int glyph_mode, int extra, int x, int y, int overlay_glyphs,
                    object_node* layer) {
  cg_record* record = layer_record(layer);
  glyph_surface surface;
  if (record && record->pixels) {
    surface.pixels = record->pixels;
    surface.width = record->width;
    surface.height = record->height;
  }
  int advance = draw_text_glyph(text, colour, second_colour, gradient, rotation, width, height, bold, glyph_mode,
                                extra, x, y, overlay_glyphs, surface);
  if (surface.dirty()) {
    record->alpha_in_use = 1;
    mark_layer_dirty(layer);
  }
  return advance;
}
