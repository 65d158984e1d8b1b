#include "settings/settings_tool.h"

#include <algorithm>
#include <memory>

#include "core/settings.h"
#include "platform/text_encoding.h"

namespace {

constexpr int window_width = 760, title_height = 40, row_top = 52, row_height = 36;
constexpr int choice_x = 380, choice_width = 364, arrow_width = 28;
constexpr int button_width = 112, button_height = 30, margin = 16;
constexpr int font_large = 14, font_small = 12;
constexpr uint32_t vk_tab = 0x09, vk_return = 0x0D, vk_escape = 0x1B, vk_space = 0x20, vk_left = 0x25,
                   vk_up = 0x26, vk_right = 0x27, vk_down = 0x28;
// Colours as 0xRRGGBB.
constexpr uint32_t colour_face = 0xF0F0F0, colour_title = 0x203060, colour_white = 0xFFFFFF,
                   colour_text = 0x000000, colour_grey = 0x606060, colour_frame = 0x808080,
                   colour_focus = 0xD8E8FF, colour_focus_frame = 0x0060C0, colour_rule = 0xD0D0D0;

int row_count() { return static_cast<int>(settings_tool_rows().size()); }
int buttons_top() { return row_top + row_count() * row_height + margin; }

// ------------------------------------------------------------ drawing

struct canvas {
  int width, height;
  std::vector<uint8_t> bgra;
  canvas(int w, int h) : width(w), height(h), bgra(static_cast<size_t>(w) * h * 4, 0xFF) {}
  void fill(const ui_rect& r, uint32_t rgb) {
    for (int y = std::max(0, r.y); y < std::min(height, r.y + r.height); ++y)
      for (int x = std::max(0, r.x); x < std::min(width, r.x + r.width); ++x) {
        uint8_t* d = bgra.data() + (static_cast<size_t>(y) * width + x) * 4;
        d[0] = rgb & 0xFF, d[1] = (rgb >> 8) & 0xFF, d[2] = (rgb >> 16) & 0xFF, d[3] = 0xFF;
      }
  }
  void frame(const ui_rect& r, uint32_t rgb, int thickness = 1) {
    fill({r.x, r.y, r.width, thickness}, rgb);
    fill({r.x, r.y + r.height - thickness, r.width, thickness}, rgb);
    fill({r.x, r.y, thickness, r.height}, rgb);
    fill({r.x + r.width - thickness, r.y, thickness, r.height}, rgb);
  }
};

struct fonts_record {
  std::unique_ptr<RasterFont> large, small;
};

std::unique_ptr<RasterFont> open_font(int cell) {
  FontRasterizer* r = platform().fonts;
  if (!r) return nullptr;
  std::unique_ptr<RasterFont> f = r->open_font(utf8_to_sjis("ＭＳ ゴシック"), cell, false);
  return f ? std::move(f) : r->open_font("", cell, false);
}

int text_width(RasterFont* font, const std::string& sjis) {
  if (!font || sjis.empty()) return 0;
  uint8_t scratch = 0xFF;
  return font->draw_text(sjis, 0, 0, &scratch, 1, 0, 0);
}

// Text through the font layer: a one-bit page where ink clears bits, laid
// into the canvas in `rgb`.
void draw_text(canvas& c, RasterFont* font, int x, int y, const std::string& utf8, uint32_t rgb) {
  const std::string sjis = utf8_to_sjis(utf8);
  const int w = text_width(font, sjis);
  if (w <= 0) return;
  const int h = font->cell_height(), stride = (w + 7) / 8;
  std::vector<uint8_t> bits(static_cast<size_t>(stride) * h, 0xFF);
  font->draw_text(sjis, 0, 0, bits.data(), stride, w, h);
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i)
      if (!(bits[static_cast<size_t>(j) * stride + i / 8] & (0x80 >> (i % 8)))) c.fill({x + i, y + j, 1, 1}, rgb);
}

void draw_centred(canvas& c, RasterFont* font, const ui_rect& r, const std::string& utf8, uint32_t rgb) {
  if (!font) return;
  const int w = text_width(font, utf8_to_sjis(utf8));
  draw_text(c, font, r.x + (r.width - w) / 2, r.y + (r.height - font->cell_height()) / 2, utf8, rgb);
}

// A small filled triangle in the middle of `r`, pointing left or right.
void draw_arrow(canvas& c, const ui_rect& r, bool pointing_left) {
  const int half = 5, cx = r.x + r.width / 2, cy = r.y + r.height / 2;
  for (int i = 0; i <= half; ++i) {
    const int x = pointing_left ? cx - half / 2 + i : cx + half / 2 - i;
    c.fill({x, cy - i, 1, 2 * i + 1}, colour_grey);
  }
}

// ------------------------------------------------------------ the window's state

struct tool_state {
  std::vector<uint32_t> slots[2];  // kxcfg.dat, kxsfs.dat: 32 each
  int focus = 0;                   // a row, or row_count() + a button
  std::string status;              // UTF-8, under the rows
  bool written = false;            // the last OK or Apply wrote both files
};

const char* file_name(bool save_file) { return save_file ? save_settings_file_name : engine_settings_file_name; }

std::vector<uint32_t> load_slots(bool save_file) {
  std::vector<uint8_t> bytes;
  if (!platform().files->read_file(file_name(save_file), bytes)) bytes.clear();
  return settings_slots_for_editing(bytes, save_file ? save_settings_rules : engine_settings_rules);
}

uint32_t& row_value(tool_state& s, const settings_row& row) {
  return s.slots[row.save_file ? 1 : 0][static_cast<size_t>(row.slot)];
}

// The choice shown for a row: the one of the stored value (the defaults put
// an offered value into every slot the window shows).
size_t chosen_index(tool_state& s, const settings_row& row) {
  const uint32_t v = row_value(s, row);
  for (size_t i = 0; i < row.choices.size(); ++i)
    if (row.choices[i].value == v || (row.any_non_zero && v != 0 && row.choices[i].value != 0)) return i;
  return 0;
}

void step_choice(tool_state& s, int row_index, int step) {
  const settings_row& row = settings_tool_rows()[static_cast<size_t>(row_index)];
  const size_t n = row.choices.size();
  const size_t at = chosen_index(s, row);
  const size_t next = step < 0 ? (at + n - 1) % n : (at + 1) % n;
  row_value(s, row) = row.choices[next].value;
  s.focus = row_index;
  s.written = false;
  s.status.clear();
}

bool write_files(tool_state& s) {
  // The engine settings first: a failed save-folder write then leaves the
  // drawing choices applied, which matter most when the game does not start.
  const bool ok = write_settings_file(engine_settings_file_name, s.slots[0]) &&
                  write_settings_file(save_settings_file_name, s.slots[1]);
  s.written = ok;
  if (ok) {
    s.status = "設定を保存しました。 / Settings saved.";
  } else {
    s.status = "保存できませんでした。 / Could not save.";
    platform().ui->message_box(utf8_to_sjis("エンジン設定"),
                               utf8_to_sjis("設定ファイル (kxcfg.dat, kxsfs.dat) を書き込めませんでした。\n"
                                            "The settings files could not be written."),
                               mb_ok | mb_icon_error);
  }
  return ok;
}

void draw_window(tool_state& s, const fonts_record& f) {
  canvas c(settings_window_width(), settings_window_height());
  c.fill({0, 0, c.width, c.height}, colour_face);
  c.fill({0, 0, c.width, title_height}, colour_title);
  if (f.large) {
    draw_text(c, f.large.get(), margin, (title_height - font_large) / 2, "エンジン設定", colour_white);
    draw_text(c, f.small.get(), margin + 110, (title_height - font_small) / 2 + 1, "ZARVIK engine settings",
              0xC0D0F0);
  }
  const std::vector<settings_row>& rows = settings_tool_rows();
  for (int i = 0; i < row_count(); ++i) {
    const settings_row& row = rows[static_cast<size_t>(i)];
    const int y = row_top + i * row_height;
    if (s.focus == i) c.fill({margin / 2, y, c.width - margin, row_height}, colour_focus);
    c.fill({margin / 2, y + row_height - 1, c.width - margin, 1}, colour_rule);
    draw_text(c, f.large.get(), margin, y + 3, row.label_ja, colour_text);
    draw_text(c, f.small.get(), margin, y + 4 + font_large + 1, row.label_en, colour_grey);
    const ui_rect box = settings_choice_box(i);
    c.fill(box, colour_white);
    c.frame(box, s.focus == i ? colour_focus_frame : colour_frame, s.focus == i ? 2 : 1);
    const ui_rect left = settings_left_arrow(i);
    const ui_rect right{box.x + box.width - arrow_width, box.y, arrow_width, box.height};
    c.fill({left.x + left.width, box.y + 4, 1, box.height - 8}, colour_rule);
    c.fill({right.x - 1, box.y + 4, 1, box.height - 8}, colour_rule);
    draw_arrow(c, left, true);
    draw_arrow(c, right, false);
    draw_centred(c, f.large.get(), {left.x + left.width, box.y, box.width - 2 * arrow_width, box.height},
                 row.choices[chosen_index(s, row)].label, colour_text);
  }
  static const char* const button_labels[3] = {"OK", "キャンセル / Cancel", "適用 / Apply"};
  for (int b = 0; b < 3; ++b) {
    const ui_rect r = settings_button_box(b);
    const bool focused = s.focus == row_count() + b;
    c.fill(r, focused ? colour_focus : 0xE4E4E4);
    c.frame(r, focused ? colour_focus_frame : colour_frame, focused ? 2 : 1);
    draw_centred(c, f.small.get(), r, button_labels[b], colour_text);
  }
  if (!s.status.empty())
    draw_text(c, f.small.get(), margin, buttons_top() + (button_height - font_small) / 2, s.status,
              s.written ? 0x006000 : 0xA00000);
  platform().ui->present(0, c.bgra.data(), c.width, c.height, c.width * 4, 0, 0);
}

bool inside(const ui_rect& r, int x, int y) { return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height; }

// What a press of a button does; true when the window ends.
bool press_button(tool_state& s, int button, settings_tool_end& end) {
  s.focus = row_count() + button;
  if (button == button_cancel) {
    end = settings_cancelled;
    return true;
  }
  if (!write_files(s)) return false;
  if (button == button_ok) {
    end = settings_saved;
    return true;
  }
  return false;
}

// One event; true when the window ends.
bool handle_event(tool_state& s, const ui_event& e, settings_tool_end& end) {
  const int focus_count = row_count() + 3;
  switch (e.message) {
    case msg_close:
    case msg_destroy: end = settings_cancelled; return true;
    case msg_left_button_down:
      for (int i = 0; i < row_count(); ++i)
        if (inside(settings_choice_box(i), e.x, e.y)) {
          step_choice(s, i, inside(settings_left_arrow(i), e.x, e.y) ? -1 : 1);
          return false;
        }
      for (int b = 0; b < 3; ++b)
        if (inside(settings_button_box(b), e.x, e.y)) return press_button(s, b, end);
      for (int i = 0; i < row_count(); ++i)
        if (e.y >= row_top + i * row_height && e.y < row_top + (i + 1) * row_height) s.focus = i;
      return false;
    case msg_key_down:
      switch (static_cast<uint32_t>(e.wparam)) {
        case vk_escape: end = settings_cancelled; return true;
        case vk_up: s.focus = (s.focus + focus_count - 1) % focus_count; return false;
        case vk_down:
        case vk_tab: s.focus = (s.focus + 1) % focus_count; return false;
        case vk_left:
        case vk_right:
          if (s.focus < row_count()) step_choice(s, s.focus, e.wparam == vk_left ? -1 : 1);
          else s.focus = row_count() + (s.focus - row_count() + (e.wparam == vk_left ? 2 : 1)) % 3;
          return false;
        case vk_space:
          if (s.focus < row_count()) step_choice(s, s.focus, 1);
          else return press_button(s, s.focus - row_count(), end);
          return false;
        case vk_return:
          // Enter takes the focused button, else OK.
          return press_button(s, s.focus >= row_count() ? s.focus - row_count() : button_ok, end);
        default: return false;
      }
    default: return false;
  }
}

}  // namespace

const std::vector<settings_row>& settings_tool_rows() {
  static const std::vector<settings_row> rows = {
      {false, 8, "ゲーム画面の描画方法", "Drawing of the game screen",
       {{0, "GPU(高画質) / GPU, high quality"},
        {1, "GPU(標準) / GPU, standard"},
        {2, "CPU(バイリニア) / CPU, bilinear"},
        {3, "CPU(補間なし) / CPU, no smoothing"}}},
      {false, 7, "フルスクリーン・最大化時の拡大方法", "Scaling in full screen or maximised",
       {{0, "縦横比を保って全体 / Fit, keep aspect"},
        {1, "縦横比を保って全面 / Fill, keep aspect"},
        {2, "引き伸ばし / Stretch"},
        {3, "等倍 / Game size"}}},
      {false, 6, "最適なフルスクリーン解像度を探す", "Search the best full-screen mode",
       {{0, "探す / Search"}, {1, "探さない / Desktop size"}}},
      {false, 4, "ワーカースレッド", "Worker threads", {{1, "最大4 / Up to four"}, {0, "1つだけ / One"}}, true},
      {false, 0, "動画の再生方式", "Movie playback", {{1, "DirectShow"}, {0, "MCI"}}},
      {false, 9, "タイトルバーのダブルクリック", "Double click on the title bar",
       {{0, "最大化 / Maximise"}, {1, "ゲームに知らせる / Tell the game"}}},
      {false, 2, "SSE を使う", "Use SSE", {{1, "使う / Yes"}, {0, "使わない / No"}}},
      {false, 3, "SSE2 を使う", "Use SSE2", {{1, "使う / Yes"}, {0, "使わない / No"}}},
      {false, 12, "GPU のハードウェア頂点処理", "GPU hardware vertex processing",
       {{0, "試す / Try"}, {1, "使わない / Skip"}}},
      {false, 13, "テクスチャの色数", "Texture colours", {{0, "32ビット / 32-bit"}, {1, "16ビット / 16-bit"}}},
      {false, 14, "16ビットテクスチャのディザ", "Dithering of 16-bit textures",
       {{1, "する / On"}, {0, "しない / Off"}}},
      {false, 22, "デスクトップ合成を止める", "Turn desktop composition off",
       {{0, "止めない / No"}, {1, "止める / Yes"}}},
      {false, 10, "ゲーム用スイッチ", "Switch the game reads", {{0, "オフ / Off"}, {1, "オン / On"}}},
      {true, 21, "セーブデータの保存先", "Save folder",
       {{0, "ゲームフォルダ / Game folder"},
        {1, "ユーザーデータ / User data"},
        {2, "ドキュメント / Documents"},
        {3, "ドキュメント/My Games / Documents/My Games"}}},
  };
  return rows;
}

ui_rect settings_choice_box(int row) { return {choice_x, row_top + row * row_height + 4, choice_width, row_height - 8}; }
ui_rect settings_left_arrow(int row) {
  ui_rect r = settings_choice_box(row);
  r.width = arrow_width;
  return r;
}
ui_rect settings_button_box(int button) {
  const int right = window_width - margin - (2 - button) * (button_width + 8);
  return {right - button_width, buttons_top(), button_width, button_height};
}
int settings_window_width() { return window_width; }
int settings_window_height() { return buttons_top() + button_height + margin; }

settings_tool_end run_settings_tool() {
  Ui* ui = platform().ui;
  tool_state s;
  s.slots[0] = load_slots(false);
  s.slots[1] = load_slots(true);
  window_desc desc;
  desc.title = utf8_to_sjis("エンジン設定 - ZARVIK");
  desc.width = settings_window_width();
  desc.height = settings_window_height();
  if (!ui || !ui->create_window(0, desc)) return settings_no_window;
  fonts_record f{open_font(font_large), open_font(font_small)};
  settings_tool_end end = settings_cancelled;
  bool dirty = true;
  for (;;) {
    if (dirty) draw_window(s, f);
    dirty = false;
    ui_event e;
    if (!ui->poll_event(e)) {
      if (!ui->has_user()) break;  // nobody answers: the queued input is all there is
      platform().clock->sleep_ms(10);
      continue;
    }
    if (e.window != 0) continue;
    dirty = true;
    if (handle_event(s, e, end)) break;
  }
  ui->destroy_window(0);
  return end;
}
