// The player in a real SDL window with coloured layers made by stand-in
// scripts, reading real input. Runs only when ZARVIK_WINDOW_DEMO=1 (it needs
// a display, e.g. under xvfb-run, and someone or xdotool to drive it; see
// scripts/window-demo.sh). It prints what the engine sees of the input, one
// line per change, so a driver can check that keys and the mouse arrive.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/engine_state.h"
#include "app/frame_loop.h"
#include "app/game_window.h"
#include "app/input.h"
#include "core/sjis.h"
#include "app/startup.h"
#include "format/compiled_files.h"
#include "format/pack_format.h"
#include "graphics/compositor.h"
#include "graphics/layer_record.h"
#include "platform/headless/headless_process.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_files.h"
#include "platform/sdl/sdl_ui.h"
#include "core/engine_config.h"
#include "support/solid_layer.h"
#include "support/temp_folder.h"

namespace {

int ticks = 0;
int seconds_limit = 60;
object_node* cursor_box = nullptr;
object_node* key_box = nullptr;

void fill(object_node* node, uint32_t colour) {
  cg_record* r = layer_record(node);
  for (int i = 0; i < r->width * r->height; ++i) std::memcpy(r->pixels + size_t(i) * 4, &colour, 4);
  mark_layer_dirty(node);
}

void report(const char* what, int code) {
  const key_state& k = key_states[code];
  if (k.value == 1) std::printf("input %s down (code %d, presses %lld)\n", what, code, (long long)k.press_count);
  if (k.value == -1) std::printf("input %s up (code %d)\n", what, code);
}

int demo_scripts() {
  ++ticks;
  if (ticks == 1) {
    // A backdrop, bars of colour, a half-transparent band over them.
    make_solid_layer("W0/back", 640, 480, 0, 0, 0xFF203040u);
    make_solid_layer("W0/red", 160, 300, 40, 90, 0xFFE03030u);
    make_solid_layer("W0/green", 160, 300, 240, 90, 0xFF30C040u);
    make_solid_layer("W0/blue", 160, 300, 440, 90, 0xFF3050E0u);
    object_node* band = make_solid_layer("W0/band", 600, 60, 20, 210, 0x80FFFF00u);
    layer_record(band)->alpha_in_use = 1;
    key_box = make_solid_layer("W0/key", 60, 40, 20, 20, 0xFF808080u);
    cursor_box = make_solid_layer("W0/cursor", 24, 24, 0, 0, 0xFFFFFFFFu);
  }
  window_state* w = game_window_record(0);
  static int was_active = -1;
  if (w && int(w->active) != was_active) {
    was_active = w->active;
    std::printf("input window active %d (tick %d)\n", was_active, ticks);
  }
  cg_record* c = layer_record(cursor_box);
  if (w && (c->x != w->mouse_x - 12 || c->y != w->mouse_y - 12)) {
    mark_layer_dirty(cursor_box);
    c->x = w->mouse_x - 12;
    c->y = w->mouse_y - 12;
    mark_layer_dirty(cursor_box);
    std::printf("input mouse %d %d outside %d\n", w->mouse_x, w->mouse_y, w->mouse_outside_client);
  }
  report("A", 'A');
  report("space", 0x20);
  report("left button", 1);
  report("right button", 2);
  report("wheel up", 5);
  report("wheel down", 6);
  if (key_states[int{'A'}].value == 1) fill(key_box, 0xFFFF8000u);
  if (key_states[int{'A'}].value == -1) fill(key_box, 0xFF808080u);
  if (key_states[1].value == 1) fill(cursor_box, 0xFFFF00FFu);
  if (key_states[1].value == -1) fill(cursor_box, 0xFFFFFFFFu);
  std::fflush(stdout);
  // The window can be shown larger: the frame is then scaled on presentation.
  if (ticks == 30 && std::getenv("ZARVIK_DEMO_SCALE")) platform().ui->set_client_size(0, 960, 720);
  if (ticks > seconds_limit * 60) return 1;
  return 0;
}

}  // namespace

TEST(PlayerWindowDemo, CompositedLayersInARealWindow) {
  const char* on = std::getenv("ZARVIK_WINDOW_DEMO");
  if (!on || std::strcmp(on, "1") != 0) GTEST_SKIP() << "set ZARVIK_WINDOW_DEMO=1 (with a display) to run";
  if (const char* s = std::getenv("ZARVIK_DEMO_SECONDS")) seconds_limit = std::atoi(s);
  temp_folder game;
  compiled_engine_config config;
  config.title = utf8_to_sjis("zarvik ウィンドウ");
  // In a pack, so the run is a release run (no compiler link).
  pack_writer_entry config_entry;
  config_entry.name = "kxbin\\kxcfg.kbn";
  config_entry.data = write_engine_config_file(config);
  std::vector<uint8_t> pack;
  ASSERT_TRUE(build_pack({config_entry}, pack));
  game.write("game.kpf", pack);

  auto ui = std::make_unique<SdlUi>();
  ASSERT_TRUE(ui->ready());
  PosixClock clock;
  PosixHostFiles files(game.path());
  HeadlessProcess process(game.path() + "zarvik");
  HeadlessLibraries libraries(std::string(ZARVIK_BINARY_DIR) + "/");
  Platform services;
  services.clock = &clock;
  services.files = &files;
  services.process = &process;
  services.libraries = &libraries;
  services.ui = ui.get();
  install_platform(&services);
  frame_steps.run_scripts = demo_scripts;
  std::printf("demo: video driver %s\n", ui->video_driver().c_str());
  std::fflush(stdout);
  int code = win_main();
  std::printf("demo: ended with %d after %d ticks\n", code, ticks);
  install_platform(nullptr);
  ui.reset();
  EXPECT_EQ(code, 0);
}
