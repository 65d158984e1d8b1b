#include "platform/freetype/freetype_fonts.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_SIZES_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>

#include "platform/text_encoding.h"

namespace freetype_detail {

// One face file opened once per rasterizer; opened fonts are sizes on it.
struct face_file {
  FT_Face face = nullptr;
  bool japanese = false;  // fontconfig lists "ja" among its languages
  bool bold = false;      // the file itself is bold (no synthesis)
};

// A listed face name and the family that serves it.
struct listed_face {
  font_face_info info;
  std::string family_utf8;
};

// FreeType is not thread-safe per library: every call into it holds `mutex`.
// Opened fonts keep this alive, so they may outlive the rasterizer.
struct shared_state {
  std::mutex mutex;
  FT_Library library = nullptr;
  FcConfig* config = nullptr;
  bool ready = false;
  std::vector<listed_face> faces;
  std::map<std::pair<std::string, int>, face_file> files;
  // fontconfig's answer per (family, known name, bold): matching costs more
  // than opening a size, and a changing cell reopens the font.
  struct match_result {
    bool ok = false;
    std::string file;
    int index = 0;
    bool japanese = false, bold = false;
  };
  std::map<std::tuple<std::string, bool, bool>, match_result> matches;
  std::atomic<uint64_t> hits{0}, misses{0};

  ~shared_state() {
    for (auto& f : files)
      if (f.second.face) FT_Done_Face(f.second.face);
    if (library) FT_Done_FreeType(library);
    if (config) FcConfigDestroy(config);
  }
};

}  // namespace freetype_detail

using namespace freetype_detail;

namespace {

// The face names games ask for, served by installed Japanese families in
// this order of preference. Fixed-pitch names go to fixed-pitch families.
struct face_alias {
  const char* name;  // UTF-8
  std::vector<const char*> families;
};

const std::vector<face_alias>& face_aliases() {
  static const std::vector<const char*> gothic = {"IPAGothic", "IPAゴシック", "Noto Sans Mono CJK JP",
                                                  "VL Gothic", "TakaoGothic", "IPAexGothic"};
  static const std::vector<const char*> pgothic = {"IPAPGothic", "IPA Pゴシック", "Noto Sans CJK JP",
                                                   "VL PGothic", "TakaoPGothic", "IPAexGothic", "IPAGothic"};
  static const std::vector<const char*> mincho = {"IPAMincho", "IPA明朝", "Noto Serif CJK JP", "TakaoMincho",
                                                  "IPAexMincho"};
  static const std::vector<const char*> pmincho = {"IPAPMincho", "IPA P明朝", "Noto Serif CJK JP",
                                                   "TakaoPMincho", "IPAexMincho", "IPAMincho"};
  static const std::vector<face_alias> table = {
      {"ＭＳ ゴシック", gothic},   {"ＭＳ Ｐゴシック", pgothic}, {"ＭＳ 明朝", mincho},
      {"ＭＳ Ｐ明朝", pmincho},    {"ＭＳ ＵＩ Gothic", pgothic}, {"標準ゴシック", gothic},
      {"標準明朝", mincho},        {"メイリオ", pgothic},        {"Meiryo", pgothic},
      {"Meiryo UI", pgothic},      {"游ゴシック", pgothic},      {"Yu Gothic", pgothic},
      {"游明朝", pmincho},         {"Yu Mincho", pmincho},       {"MS Gothic", gothic},
      {"MS PGothic", pgothic},     {"MS UI Gothic", pgothic},    {"MS Mincho", mincho},
      {"MS PMincho", pmincho},
  };
  return table;
}

// The name in Shift-JIS, or "" when Shift-JIS cannot hold it.
std::string sjis_name(const std::string& utf8) {
  std::string s = utf8_to_sjis(utf8);
  return sjis_to_utf8(s) == utf8 ? s : std::string();
}

uint8_t pitch_of_spacing(int spacing) {
  // Dual-width faces (full-width kanji, half-width Latin) count as fixed,
  // like their originals.
  switch (spacing) {
    case FC_PROPORTIONAL: return 1;
    case FC_MONO:
    case FC_DUAL:
    case FC_CHARCELL: return 0;
    default: return 255;
  }
}

bool covers_japanese(FcPattern* p) {
  FcLangSet* langs = nullptr;
  return FcPatternGetLangSet(p, FC_LANG, 0, &langs) == FcResultMatch && FcLangSetHasLang(langs, (const FcChar8*)"ja") == FcLangEqual;
}

// Families of the configuration, by name: Japanese when any of the family's
// files covers Japanese; pitch from the first file seen.
void build_face_list(shared_state& st) {
  FcPattern* all = FcPatternCreate();
  FcObjectSet* os = FcObjectSetBuild(FC_FAMILY, FC_SPACING, FC_LANG, FC_OUTLINE, nullptr);
  FcFontSet* set = FcFontList(st.config, all, os);
  FcObjectSetDestroy(os);
  FcPatternDestroy(all);
  struct family_facts {
    bool japanese = false;
    uint8_t pitch = 1;
  };
  std::map<std::string, family_facts> families;
  if (set) {
    for (int i = 0; i < set->nfont; ++i) {
      FcPattern* p = set->fonts[i];
      FcBool outline = FcTrue;
      if (FcPatternGetBool(p, FC_OUTLINE, 0, &outline) == FcResultMatch && !outline) continue;  // bitmap faces
      int spacing = FC_PROPORTIONAL;
      FcPatternGetInteger(p, FC_SPACING, 0, &spacing);
      bool ja = covers_japanese(p);
      FcChar8* fam = nullptr;
      for (int k = 0; FcPatternGetString(p, FC_FAMILY, k, &fam) == FcResultMatch; ++k) {
        std::string name(reinterpret_cast<const char*>(fam));
        auto it = families.find(name);
        if (it == families.end()) {
          families[name] = family_facts{ja, pitch_of_spacing(spacing)};
        } else {
          it->second.japanese = it->second.japanese || ja;
        }
      }
    }
    FcFontSetDestroy(set);
  }
  // std::map gives the byte order of the UTF-8 names: stable on every machine.
  for (const auto& [name, facts] : families) {
    std::string s = sjis_name(name);
    if (s.empty()) continue;
    st.faces.push_back({font_face_info{s, static_cast<uint8_t>(facts.japanese ? 0 : 1), facts.pitch}, name});
  }
  for (const face_alias& a : face_aliases()) {
    if (families.count(a.name)) continue;  // the real face is installed
    for (const char* target : a.families) {
      auto it = families.find(target);
      if (it == families.end() || !it->second.japanese) continue;
      st.faces.push_back({font_face_info{utf8_to_sjis(a.name), 0, it->second.pitch}, target});
      break;
    }
  }
}

// The file fontconfig picks for a family (or, for an unknown name, for
// Japanese text), with its index. False when nothing matches.
bool match_file_uncached(shared_state& st, const std::string& family_utf8, bool known, bool bold,
                         std::string& file, int& index, bool& japanese, bool& file_bold) {
  FcPattern* pat = FcPatternCreate();
  if (!family_utf8.empty()) FcPatternAddString(pat, FC_FAMILY, (const FcChar8*)family_utf8.c_str());
  // The glyph code asks for the Shift-JIS character set: an unknown name
  // falls back to a face that covers Japanese.
  if (!known) FcPatternAddString(pat, FC_LANG, (const FcChar8*)"ja");
  FcPatternAddInteger(pat, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pat, FC_SLANT, FC_SLANT_ROMAN);
  FcPatternAddBool(pat, FC_OUTLINE, FcTrue);
  FcConfigSubstitute(st.config, pat, FcMatchPattern);
  FcDefaultSubstitute(pat);
  FcResult result = FcResultNoMatch;
  FcPattern* m = FcFontMatch(st.config, pat, &result);
  FcPatternDestroy(pat);
  if (!m) return false;
  FcChar8* f = nullptr;
  bool ok = FcPatternGetString(m, FC_FILE, 0, &f) == FcResultMatch;
  if (ok) {
    file = reinterpret_cast<const char*>(f);
    index = 0;
    FcPatternGetInteger(m, FC_INDEX, 0, &index);
    japanese = covers_japanese(m);
    int weight = FC_WEIGHT_REGULAR;
    FcPatternGetInteger(m, FC_WEIGHT, 0, &weight);
    file_bold = weight >= FC_WEIGHT_DEMIBOLD;
  }
  FcPatternDestroy(m);
  return ok;
}

bool match_file(shared_state& st, const std::string& family_utf8, bool known, bool bold, std::string& file,
                int& index, bool& japanese, bool& file_bold) {
  auto key = std::make_tuple(family_utf8, known, bold);
  auto it = st.matches.find(key);
  if (it == st.matches.end()) {
    shared_state::match_result m;
    m.ok = match_file_uncached(st, family_utf8, known, bold, m.file, m.index, m.japanese, m.bold);
    it = st.matches.emplace(key, m).first;
  }
  const shared_state::match_result& m = it->second;
  file = m.file;
  index = m.index;
  japanese = m.japanese;
  file_bold = m.bold;
  return m.ok;
}

face_file* open_face_file(shared_state& st, const std::string& file, int index, bool japanese, bool bold) {
  auto key = std::make_pair(file, index);
  auto it = st.files.find(key);
  if (it != st.files.end()) return &it->second;
  FT_Face face = nullptr;
  if (FT_New_Face(st.library, file.c_str(), index, &face) != 0) return nullptr;
  FT_Select_Charmap(face, FT_ENCODING_UNICODE);
  face_file& ff = st.files[key];
  ff.face = face;
  ff.japanese = japanese;
  ff.bold = bold;
  return &ff;
}

struct cached_glyph {
  int left = 0, top = 0;    // bitmap offset from the pen on the baseline
  int width = 0, rows = 0;  // bitmap size
  int pitch = 0;            // bytes per bitmap row
  int advance = 0;
  std::vector<uint8_t> bits;
};

// One face at one cell height. The size object belongs to the face file.
class FreeTypeFont final : public RasterFont {
 public:
  FreeTypeFont(std::shared_ptr<shared_state> st, face_file* ff, FT_Size size, int cell_height, int ascent,
               bool synth_bold)
      : st_(std::move(st)), ff_(ff), size_(size), cell_height_(cell_height), ascent_(ascent),
        synth_bold_(synth_bold) {}
  ~FreeTypeFont() override {
    std::lock_guard<std::mutex> g(st_->mutex);
    FT_Done_Size(size_);
  }

  int cell_height() const override { return cell_height_; }

  int draw_text(std::string_view sjis, int x, int y, uint8_t* bits, int stride_bytes, int width,
                int height) override {
    std::lock_guard<std::mutex> g(st_->mutex);
    int pen = x;
    for (size_t pos = 0; pos < sjis.size();) {
      size_t n = sjis_char_length(sjis, pos);
      uint32_t code = sjis_char_to_unicode(reinterpret_cast<const uint8_t*>(sjis.data()) + pos, n, ff_->japanese);
      pos += n;
      if (!code) continue;
      const cached_glyph& gl = glyph(code);
      blit(gl, pen + gl.left, y + ascent_ - gl.top, bits, stride_bytes, width, height);
      pen += gl.advance;
    }
    return pen - x;
  }

 private:
  const cached_glyph& glyph(uint32_t code) {
    auto it = cache_.find(code);
    if (it != cache_.end()) {
      st_->hits.fetch_add(1, std::memory_order_relaxed);
      return it->second;
    }
    st_->misses.fetch_add(1, std::memory_order_relaxed);
    if (cache_.size() >= 4096) cache_.clear();  // a page of text needs far fewer
    cached_glyph& out = cache_[code];
    FT_Face face = ff_->face;
    FT_Activate_Size(size_);
    FT_UInt index = FT_Get_Char_Index(face, code);
    if (FT_Load_Glyph(face, index, FT_LOAD_TARGET_MONO) != 0) return out;
    FT_GlyphSlot slot = face->glyph;
    FT_Pos extra = 0;
    if (synth_bold_ && slot->format == FT_GLYPH_FORMAT_OUTLINE) {
      // Simulated bold widens strokes sideways and the advance with them.
      extra = std::max<FT_Pos>(64, (size_->metrics.y_ppem * 64 / 24) & ~63);
      FT_Outline_EmboldenXY(&slot->outline, extra, 0);
      slot->advance.x += extra;
    }
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0) return out;
    const FT_Bitmap& bm = slot->bitmap;
    out.left = slot->bitmap_left;
    out.top = slot->bitmap_top;
    out.width = static_cast<int>(bm.width);
    out.rows = static_cast<int>(bm.rows);
    out.advance = static_cast<int>((slot->advance.x + 32) >> 6);
    if (bm.pixel_mode == FT_PIXEL_MODE_MONO && bm.buffer && out.width > 0 && out.rows > 0) {
      int pitch = bm.pitch < 0 ? -bm.pitch : bm.pitch;
      out.pitch = pitch;
      out.bits.resize(static_cast<size_t>(pitch) * out.rows);
      for (int r = 0; r < out.rows; ++r) {
        const uint8_t* src = bm.pitch < 0 ? bm.buffer + static_cast<size_t>(out.rows - 1 - r) * pitch
                                          : bm.buffer + static_cast<size_t>(r) * pitch;
        std::memcpy(out.bits.data() + static_cast<size_t>(r) * pitch, src, static_cast<size_t>(pitch));
      }
    } else {
      out.width = out.rows = 0;
    }
    return out;
  }

  // Clears the destination bit of every glyph ink bit. Rows whose span lies
  // wholly inside the bitmap go a byte at a time; edge rows bit by bit.
  static void blit(const cached_glyph& gl, int gx, int gy, uint8_t* bits, int stride_bytes, int width, int height) {
    const bool inside_x = gx >= 0 && gx + gl.width <= width && (gx + gl.width + 7) / 8 <= stride_bytes;
    const int shift = gx & 7;
    for (int r = 0; r < gl.rows; ++r) {
      int ty = gy + r;
      if (ty < 0 || ty >= height) continue;
      uint8_t* row = bits + static_cast<size_t>(ty) * stride_bytes;
      const uint8_t* src = gl.bits.data() + static_cast<size_t>(r) * gl.pitch;
      if (inside_x) {
        uint8_t* dst = row + (gx >> 3);
        const int n = (gl.width + 7) / 8;
        for (int k = 0; k < n; ++k) {
          uint8_t b = src[k];
          if (k == n - 1 && (gl.width & 7)) b &= static_cast<uint8_t>(0xFF00 >> (gl.width & 7));
          if (!b) continue;
          dst[k] &= static_cast<uint8_t>(~(b >> shift));
          if (shift) {
            uint8_t spill = static_cast<uint8_t>(b << (8 - shift));
            if (spill) dst[k + 1] &= static_cast<uint8_t>(~spill);
          }
        }
        continue;
      }
      for (int c = 0; c < gl.width; ++c) {
        if (!(src[c >> 3] & (0x80 >> (c & 7)))) continue;
        int tx = gx + c;
        if (tx < 0 || tx >= width) continue;
        row[tx >> 3] &= static_cast<uint8_t>(~(0x80 >> (tx & 7)));
      }
    }
  }

  std::shared_ptr<shared_state> st_;
  face_file* ff_;
  FT_Size size_;
  int cell_height_;
  int ascent_;
  bool synth_bold_;
  std::unordered_map<uint32_t, cached_glyph> cache_;
};

// Double-byte characters through the system's CP932 table, once each.
uint32_t double_byte_to_unicode(uint8_t lead, uint8_t trail) {
  static std::vector<uint32_t> table(65536, 0xFFFFFFFFu);
  static std::mutex table_mutex;
  uint16_t key = static_cast<uint16_t>(lead << 8 | trail);
  std::lock_guard<std::mutex> g(table_mutex);
  uint32_t& slot = table[key];
  if (slot != 0xFFFFFFFFu) return slot;
  char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  std::string u = sjis_to_utf8(std::string_view(in, 2));
  uint32_t cp = 0;
  const auto* b = reinterpret_cast<const uint8_t*>(u.data());
  if (u.size() == 2 && (b[0] & 0xE0) == 0xC0)
    cp = static_cast<uint32_t>((b[0] & 0x1F) << 6 | (b[1] & 0x3F));
  else if (u.size() == 3 && (b[0] & 0xF0) == 0xE0)
    cp = static_cast<uint32_t>((b[0] & 0x0F) << 12 | (b[1] & 0x3F) << 6 | (b[2] & 0x3F));
  else if (u.size() == 4 && (b[0] & 0xF8) == 0xF0)
    cp = static_cast<uint32_t>((b[0] & 0x07) << 18 | (b[1] & 0x3F) << 12 | (b[2] & 0x3F) << 6 | (b[3] & 0x3F));
  slot = cp;  // a character the table lacks ("?" or more) draws nothing
  return cp;
}

}  // namespace

uint32_t sjis_char_to_unicode(const uint8_t* bytes, size_t length, bool japanese_face) {
  if (length == 0) return 0;
  uint8_t b = bytes[0];
  if (length >= 2 && is_sjis_lead(b)) return double_byte_to_unicode(b, bytes[1]);
  if (b == 0x5C && japanese_face) return 0x00A5;  // yen sign, as Japanese faces show it
  if (b < 0x80) return b;
  if (b >= 0xA1 && b <= 0xDF) return 0xFF61u + (b - 0xA1u);  // half-width katakana
  return 0;
}

FreeTypeFontRasterizer::FreeTypeFontRasterizer(config_source source, std::string config)
    : source_(source), config_(std::move(config)), state_(std::make_shared<shared_state>()) {}

FreeTypeFontRasterizer::~FreeTypeFontRasterizer() = default;

void FreeTypeFontRasterizer::ensure_loaded() {
  std::call_once(loaded_, [this] {
    shared_state& st = *state_;
    std::lock_guard<std::mutex> g(st.mutex);
    if (FT_Init_FreeType(&st.library) != 0) {
      st.library = nullptr;
      return;
    }
    if (source_ == config_source::system) {
      st.config = FcInitLoadConfigAndFonts();
    } else {
      st.config = FcConfigCreate();
      bool ok = st.config != nullptr;
      if (ok && source_ == config_source::file)
        ok = FcConfigParseAndLoad(st.config, (const FcChar8*)config_.c_str(), FcTrue);
      if (ok && source_ == config_source::text)
        ok = FcConfigParseAndLoadFromMemory(st.config, (const FcChar8*)config_.c_str(), FcTrue);
      if (ok) ok = FcConfigBuildFonts(st.config);
      if (!ok && st.config) {
        FcConfigDestroy(st.config);
        st.config = nullptr;
      }
    }
    if (!st.config) return;
    build_face_list(st);
    st.ready = true;
  });
}

bool FreeTypeFontRasterizer::ready() {
  ensure_loaded();
  return state_->ready;
}

std::vector<font_face_info> FreeTypeFontRasterizer::list_faces() {
  ensure_loaded();
  std::vector<font_face_info> out;
  std::lock_guard<std::mutex> g(state_->mutex);
  for (const listed_face& f : state_->faces) out.push_back(f.info);
  return out;
}

namespace {
// The family behind a listed name; unknown names pass through converted.
std::string family_for(const shared_state& st, const std::string& face_sjis, bool& known) {
  for (const listed_face& f : st.faces)
    if (f.info.name == face_sjis) {
      known = true;
      return f.family_utf8;
    }
  known = false;
  return sjis_to_utf8(face_sjis);
}
}  // namespace

std::string FreeTypeFontRasterizer::resolve_file(const std::string& face_sjis, bool bold) {
  ensure_loaded();
  shared_state& st = *state_;
  std::lock_guard<std::mutex> g(st.mutex);
  if (!st.ready) return {};
  bool known = false, ja = false, file_bold = false;
  std::string family = family_for(st, face_sjis, known), file;
  int index = 0;
  if (!match_file(st, family, known, bold, file, index, ja, file_bold)) return {};
  return file + ":" + std::to_string(index);
}

std::unique_ptr<RasterFont> FreeTypeFontRasterizer::open_font(const std::string& face_sjis, int cell_height,
                                                              bool bold) {
  ensure_loaded();
  shared_state& st = *state_;
  if (cell_height < 1 || cell_height > 4096) return nullptr;
  std::lock_guard<std::mutex> g(st.mutex);
  if (!st.ready) return nullptr;
  bool known = false, ja = false, file_bold = false;
  std::string family = family_for(st, face_sjis, known), file;
  int index = 0;
  if (!match_file(st, family, known, bold, file, index, ja, file_bold)) return nullptr;
  face_file* ff = open_face_file(st, file, index, ja, file_bold);
  if (!ff || !FT_IS_SCALABLE(ff->face)) return nullptr;
  FT_Face face = ff->face;
  // The cell height is the face's Windows ascent + descent, as a positive
  // height asks of the original font mapper; the em follows from it.
  long ascent_units = face->ascender, cell_units = face->ascender - face->descender;
  if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
      os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
    ascent_units = os2->usWinAscent;
    cell_units = os2->usWinAscent + os2->usWinDescent;
  }
  if (cell_units <= 0) cell_units = face->units_per_EM;
  FT_Size size = nullptr;
  if (FT_New_Size(face, &size) != 0) return nullptr;
  FT_Activate_Size(size);
  FT_Size_RequestRec req{};
  req.type = FT_SIZE_REQUEST_TYPE_NOMINAL;
  req.width = 0;
  req.height = static_cast<FT_Long>((static_cast<int64_t>(cell_height) * face->units_per_EM * 64 + cell_units / 2) /
                                    cell_units);
  if (req.height < 64) req.height = 64;
  if (FT_Request_Size(face, &req) != 0) {
    FT_Done_Size(size);
    return nullptr;
  }
  int ascent = static_cast<int>((static_cast<int64_t>(ascent_units) * cell_height + cell_units / 2) / cell_units);
  return std::make_unique<FreeTypeFont>(state_, ff, size, cell_height, ascent, bold && !file_bold);
}

FreeTypeFontRasterizer::glyph_cache_counters FreeTypeFontRasterizer::counters() const {
  return {state_->hits.load(), state_->misses.load()};
}

void FreeTypeFontRasterizer::reset_counters() {
  state_->hits = 0;
  state_->misses = 0;
}

std::string FreeTypeFontRasterizer::ipa_fonts_config_text() {
  return "<?xml version=\"1.0\"?>\n"
         "<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
         "<fontconfig>\n"
         "  <dir>/usr/share/fonts/opentype/ipafont-gothic</dir>\n"
         "  <dir>/usr/share/fonts/opentype/ipafont-mincho</dir>\n"
         "  <cachedir>/var/cache/fontconfig</cachedir>\n"
         "  <cachedir prefix=\"xdg\">fontconfig</cachedir>\n"
         "</fontconfig>\n";
}
