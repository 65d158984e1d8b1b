// kxtool run: runs a game headless on virtual time for a number of frames and
// writes the main window's composited frames as PNG files.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/engine_state.h"
#include "core/error_report.h"
#include "core/info_log.h"
#include "app/frame_loop.h"
#include "core/sjis.h"
#include "app/startup.h"
#include "kxtool_files.h"
#include "app/headless_run.h"
#include "sound/sound_thread.h"

namespace fs = std::filesystem;

namespace {

int run_usage() {
  std::fprintf(stderr,
               "usage: kxtool run GAME_FOLDER|PACK.kpf --frames N --out DIR [--every K] [--audio OUT.wav]\n"
               "                  [--gpu auto|cpu|hardware|llvmpipe|software]\n"
               "                  [--display WxH[+X+Y][@WxH,WxH...]]... [--fullscreen-fails] [--calls FILE]\n"
               "  --gpu picks the drawing (default: the player's order of GPU backends).\n"
               "  --display adds a fake monitor (the first is the primary one; default one\n"
               "  1920x1080 with a few modes): size, place, then the modes it offers besides\n"
               "  its desktop's (32 bits, 60 Hz). --fullscreen-fails makes every mode switch\n"
               "  fail. --calls writes every window call the player made, one a line.\n");
  return 2;
}

bool parse_count(const char* text, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return end && !*end && out > 0;
}

void print_report(int code, const std::string& text) {
  std::fprintf(stderr, "kxtool run: error %d: %s\n", code, sjis_to_utf8(text).c_str());
}

void print_message_box(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "kxtool run: message box [%s]: %s\n", sjis_to_utf8(caption).c_str(), sjis_to_utf8(text).c_str());
}

void print_sound_error(int code, const std::string& text) {
  std::fprintf(stderr, "kxtool run: sound error %d: %s\n", -code, sjis_to_utf8(text).c_str());
}

// What goes to info.txt with the error tag (a movie that cannot play, a
// failing drawing call...) is said on stderr as well.
void print_info_log_error(const char* tag, const std::string& entry) {
  if (tag && std::strcmp(tag, "ERR") == 0) std::fprintf(stderr, "kxtool run: info.txt: %s\n", sjis_to_utf8(entry).c_str());
}

std::string program_folder() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.parent_path().string() + "/";
}

// The window's menu bar, when it has one, goes above the frame as the window
// shows it (a narrower bar widened with its last column).
void put_menu_bar_above(const headless_frame& bar, int width, int& height, std::vector<uint8_t>& bgra) {
  if (bar.width <= 0 || bar.height <= 0 || width <= 0) return;
  std::vector<uint8_t> out(static_cast<size_t>(width) * 4 * (static_cast<size_t>(height) + bar.height));
  for (int y = 0; y < bar.height; ++y)
    for (int x = 0; x < width; ++x)
      std::memcpy(&out[(static_cast<size_t>(y) * width + x) * 4],
                  &bar.bgra[(static_cast<size_t>(y) * bar.width + std::min(x, bar.width - 1)) * 4], 4);
  std::memcpy(&out[static_cast<size_t>(bar.height) * width * 4], bgra.data(),
              std::min(bgra.size(), static_cast<size_t>(width) * 4 * height));
  height += bar.height;
  bgra.swap(out);
}

int write_frame(const fs::path& out_dir, long frame, const HeadlessUi& ui) {
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;
  if (!composited_main_frame(width, height, bgra)) {
    std::fprintf(stderr, "kxtool run: no composited frame at frame %ld\n", frame);
    return -1;
  }
  put_menu_bar_above(ui.menu_bar(0), width, height, bgra);
  // The window shows the frame without its alpha.
  for (size_t i = 3; i < bgra.size(); i += 4) bgra[i] = 0xFF;
  picture_buffer picture;
  picture.pixels = bgra.data();
  picture.width = width;
  picture.height = height;
  std::vector<uint8_t> png;
  if (encode_png(picture, png) != 0) return -1;
  char name[32];
  std::snprintf(name, sizeof name, "frame_%05ld.png", frame);
  return kxtool_write_file((out_dir / name).string(), png) ? 0 : -1;
}

}  // namespace

int kxtool_run(const std::vector<std::string>& args) {
  std::string game;
  std::string out;
  std::string audio_out;
  long frames = 0, every = 1;
  std::vector<headless_display> displays;
  bool fullscreen_fails = false;
  std::string calls_out;
  // The player's order (hardware OpenGL ES, llvmpipe, our rasteriser) unless
  // a backend or CPU drawing is chosen, so frames can be compared across them.
  gpu_choice gpu = gpu_choice::automatic;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--frames" && i + 1 < args.size()) {
      if (!parse_count(args[++i].c_str(), frames)) return run_usage();
    } else if (a == "--every" && i + 1 < args.size()) {
      if (!parse_count(args[++i].c_str(), every)) return run_usage();
    } else if (a == "--out" && i + 1 < args.size()) {
      out = args[++i];
    } else if (a == "--gpu" && i + 1 < args.size()) {
      if (!parse_gpu_choice(args[++i], gpu)) return run_usage();
    } else if (a == "--audio" && i + 1 < args.size()) {
      audio_out = args[++i];
    } else if (a == "--display" && i + 1 < args.size()) {
      headless_display d;
      if (!parse_headless_display(args[++i], d)) return run_usage();
      d.info.name = "Display " + std::to_string(displays.size() + 1);
      displays.push_back(d);
    } else if (a == "--fullscreen-fails") {
      fullscreen_fails = true;
    } else if (a == "--calls" && i + 1 < args.size()) {
      calls_out = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      return run_usage();
    } else if (game.empty()) {
      game = a;
    } else {
      return run_usage();
    }
  }
  if (game.empty() || out.empty() || frames <= 0) return run_usage();

  std::error_code ec;
  fs::create_directories(out, ec);
  // A pack runs in its own folder, as the player beside it would: loose files
  // (movies, kxcfg.dat) and the other packs there take part.
  fs::path folder = game;
  if (fs::is_regular_file(folder)) {
    folder = fs::absolute(folder).parent_path();
  } else if (!fs::is_directory(folder)) {
    std::fprintf(stderr, "kxtool run: no game at %s\n", game.c_str());
    return 1;
  }
  std::string folder_text = fs::absolute(folder).string();
  if (folder_text.back() != '/') folder_text += '/';

  // Every report, message box and sound-thread failure is printed, and a run
  // that ends on an error exits non-zero.
  error_report_listener = print_report;
  message_box_listener = print_message_box;
  sound_error_listener = print_sound_error;
  info_log_listener = print_info_log_error;
  std::unique_ptr<HeadlessPlatform> platform;
  int status = 0;
  auto prepare = [&](HeadlessPlatform& p) {
    if (!displays.empty()) p.ui.set_displays(displays);
    p.ui.set_fullscreen_fails(fullscreen_fails);
  };
  if (start_headless_game(platform, folder_text, 0, program_folder(), gpu, prepare) != 0) {
    std::fprintf(stderr, "kxtool run: the game did not start\n");
    status = 1;
    // Threads started before the failure end before the platform goes.
    shutdown_engine();
  } else {
    long written = 0;
    for (long f = 1; f <= frames; ++f) {
      const int closing = main_loop_pass();
      if (f % every == 0) {
        if (write_frame(out, f, platform->ui) != 0) {
          status = 1;
          break;
        }
        ++written;
      }
      if (closing) {
        std::fprintf(stderr, "kxtool run: the game closed at frame %ld\n", f);
        break;
      }
    }
    std::printf("kxtool run: %ld frames written to %s\n", written, out.c_str());
    shutdown_engine();
    if (quit_by_error.load()) {
      std::fprintf(stderr, "kxtool run: the game ended on an error\n");
      status = 1;
    }
    if (!calls_out.empty()) {
      std::string text;
      for (const std::string& c : platform->ui.calls()) text += c + "\n";
      if (!kxtool_write_file(calls_out, std::vector<uint8_t>(text.begin(), text.end()))) status = 1;
    }
    // What the headless device mixed over the run, as a stereo WAV.
    if (!audio_out.empty() &&
        !kxtool_write_file(audio_out, encode_wav(platform->audio.output(0), 2, platform->audio.output_rate())))
      status = 1;
  }
  platform.reset();
  error_report_listener = nullptr;
  message_box_listener = nullptr;
  sound_error_listener = nullptr;
  info_log_listener = nullptr;
  return status;
}
