#include "image/picture_loader.h"

#include "core/error_report.h"
#include "image/decode_bmp.h"
#include "image/decode_gif.h"
#include "image/decode_jpeg.h"
#include "image/decode_kcg.h"
#include "image/decode_png.h"
#include "resources/command_table.h"

// Constant-initialised, so the built-in readers are there before any start-up code runs.
picture_decoder_table picture_decoders = {{nullptr, decode_bmp, decode_png, decode_jpeg, decode_gif, nullptr, nullptr,
                                           nullptr, decode_kcg}};

int picture_type_of_name(const std::string& name) {
  static const struct {
    const char* suffix;
    int type;
  } suffixes[] = {{".bmp", 1}, {".png", 2}, {".jpg", 3}, {".gif", 4}, {".psd", 7}, {".kcg", 8}};
  for (const auto& s : suffixes) {
    const size_t n = 4;
    if (name.size() < n) continue;
    bool same = true;
    for (size_t i = 0; i < n && same; ++i) {
      char c = name[name.size() - n + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      same = c == s.suffix[i];
    }
    if (same) return s.type;
  }
  return 0;
}

int decode_picture_bytes(int type, const uint8_t* data, size_t size, const std::string& name, picture_buffer& out,
                         gif_frame_table* gif_frames) {
  if (type == picture_type_psd) {
    report_error_at_line_fmt(100220, 1, name);
    return -1;
  }
  const picture_decoder_fn decoder = type > 0 && type < 9 ? picture_decoders.by_type[type] : nullptr;
  if (!decoder) {
    const std::string command_name = command_table.commands.size() > 1 ? command_table.commands[1].name : std::string();
    report_error_fmt(100030, 1, command_name, name);
    return -1;
  }
  picture_buffer fresh;
  const int status = type == picture_type_gif && gif_frames && decoder == decode_gif
                         ? decode_gif_frames(data, size, name, fresh, gif_frames)
                         : decoder(data, size, name, fresh);
  if (status != 0) {
    free_picture_buffer(fresh);
    if (type == picture_type_jpeg) report_error(100210, 1);
    if (type == picture_type_gif) report_error(100215, 1);
    return -1;
  }
  if (!fresh.opaque) normalise_transparent_pixels(fresh);
  commit_picture_buffer(out, fresh);
  return 0;
}
