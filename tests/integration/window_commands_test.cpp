// The window commands (12 quit, 92 window set, 93 hide, 94 query) run by
// listings on the headless platform, which records every window call in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>

#include "app/screen_modes.h"
#include "core/engine_state.h"
#include "core/window_state.h"
#include "graphics/layer_record.h"
#include "support/headless_game.h"

namespace {

std::string listing(const std::string& globals, const std::string& body) {
  return globals + "\nscript main.txt\n*SYSTEM_START\n" + body + "\n*idle\nwait 1\ngoto idle\n";
}

// A 24-bit bottom-up BMP; colour(x, y) gives 0xRRGGBB.
std::vector<uint8_t> bmp24(int w, int h, const std::function<uint32_t(int, int)>& colour) {
  const int stride = (w * 3 + 3) & ~3;
  const uint32_t size = static_cast<uint32_t>(stride * h);
  std::vector<uint8_t> f(54 + size, 0);
  auto u32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
  };
  f[0] = 'B', f[1] = 'M';
  u32(2, 54 + size), u32(10, 54), u32(14, 40), u32(18, uint32_t(w)), u32(22, uint32_t(h));
  f[26] = 1, f[28] = 24;
  u32(34, size);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colour(x, y);
      uint8_t* p = f.data() + 54 + size_t(h - 1 - y) * stride + size_t(x) * 3;
      p[0] = uint8_t(c), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c >> 16);
    }
  return f;
}

// The calls the headless Ui saw from the last one that is `from` on.
std::vector<std::string> calls_from(const HeadlessUi& ui, const std::string& from) {
  std::vector<std::string> all = ui.calls();
  auto it = std::find(all.rbegin(), all.rend(), from);
  return it == all.rend() ? std::vector<std::string>{} : std::vector<std::string>(std::prev(it.base()), all.end());
}

bool has_call(const HeadlessUi& ui, const std::string& call) {
  std::vector<std::string> all = ui.calls();
  return std::find(all.begin(), all.end(), call) != all.end();
}

}  // namespace

TEST(WindowSet, NewSubWindowIs128SquareShownAndQueryable) {
  headless_game g(listing("global int w = -1\nglobal int h = -1\nglobal int there = -1\nglobal string t = \"x\"",
                          "window window=2, title=\"Sub\"\n"
                          "window_query window=2, output=w, logical_width=1\n"
                          "window_query window=2, output=h, logical_height=1\n"
                          "window_query window=2, output=there, exists=1\n"
                          "window_query window=2, output=t, title=1"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.error_codes().empty());
  EXPECT_EQ(g.int_value("w"), 128);
  EXPECT_EQ(g.int_value("h"), 128);
  EXPECT_EQ(g.int_value("there"), 1);
  EXPECT_EQ(g.text_value("t"), "Sub");
  HeadlessUi& ui = g.backend().ui;
  EXPECT_TRUE(ui.window_visible(2));
  EXPECT_EQ(ui.window(2).width, 128);
  EXPECT_EQ(window_states.created[2].load(), 1);
}

TEST(WindowSet, EveryStepInItsOrder) {
  headless_game g(listing("",
                          "window window=1, title=\"A\", width=200, height=100\n"
                          "window window=1, title=\"B\", alpha=300, visible=0, x=40, y=30, stacking=1, "
                          "maximise_allowed=1, minimise_allowed=0, close_mode=3, flash_count=3, flash_interval=250, "
                          "sizing_border=1, foreground=1, minimise=2"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.error_codes().empty());
  HeadlessUi& ui = g.backend().ui;
  std::vector<std::string> calls = calls_from(ui, "set_window_title 1");
  const std::vector<std::string> want = {"set_window_title 1", "opacity 1 255",   "hide_window 1",
                                         "move_window 1 40 30", "stacking 1 topmost", "flash 1 3 250",
                                         "resizable 1 1",      "raise_window 1",  "minimise_window 1",
                                         "hide_window 1"};
  ASSERT_GE(calls.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + long(want.size())), want);
  window_state* w = game_window_record(1);
  EXPECT_EQ(w->title, "B");
  EXPECT_EQ(w->alpha, 256);  // stored as given (clamped), the platform gets at most 255
  EXPECT_EQ(w->close_mode.load(), 3);
  EXPECT_EQ(w->minimise_allowed, 0);
  EXPECT_EQ(w->logical_width, 200);
}

TEST(WindowSet, ErrorCodes) {
  struct row {
    const char* body;
    int code;
  };
  const row rows[] = {
      {"window window=3, x=4", 101320},                // a new window needs a title
      {"window window=0, stacking=3", 101310},         // the main window cannot go behind itself
      {"window window=0, close_mode=3", 101310},       // the main window's close modes are 0..2
      {"window_hide window=0", 101330},                // window 0 cannot be hidden
      {"window_hide window=7", 101000},                // past the four windows
      {"window window=1, title=\"s\", layer=\"nothing/\"", 101250},
      {"window window=0, shape=\"nothing\"", 101250},
      {"window window=0, menu=\"nothing\"", 101250},
  };
  for (const row& r : rows) {
    headless_game g(listing("", r.body));
    ASSERT_EQ(g.start(), 0) << r.body;
    g.run_ticks(2);
    EXPECT_EQ(g.error_codes(), std::vector<int>{r.code}) << r.body;
  }
}

TEST(WindowSet, AMissingLayerLeavesTheWindowShowingItsOwn) {
  headless_game g(listing("", "window window=0, layer=\":/W0/\"\nwindow window=0, layer=\"missing/\""));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_EQ(g.error_codes(), std::vector<int>{101250});
  object_node* w0 = find_object_by_path(object_trees[tree_layers].root, "W0", find_group);
  ASSERT_NE(w0, nullptr);
  EXPECT_EQ(layer_links.windows[0].attached_layer, w0);
  EXPECT_EQ(layer_record(w0)->shown_in_window, 1);
}

TEST(WindowSet, ShapesFromALayerAndCarriesOnWhenAShapeCannotBeMade) {
  // Stripes of 2 pixels: 1000 runs per row fit; 2000 black-separated runs do not.
  headless_game g(listing("global int after = 0",
                          "layer path=\"ok\", file=\"cg/ok.bmp\", visible=0, priority=1\n"
                          "layer path=\"many\", file=\"cg/many.bmp\", visible=0, priority=2\n"
                          "window window=0, shape=\"ok\"\n"
                          "window window=0, shape=\"many\", title=\"still\"\n"
                          "after = 1"));
  g.add_resource("cg\\ok.bmp", bmp24(8, 3, [](int x, int y) { return (x < 2 || y == 2) ? 0u : 0xFFFFFFu; }), 1);
  g.add_resource("cg\\many.bmp", bmp24(4000, 1, [](int x, int) { return x % 2 ? 0u : 0x102030u; }), 1);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.error_codes().empty()) << (g.errors().empty() ? 0 : g.errors()[0].code);
  EXPECT_EQ(g.int_value("after"), 1);
  HeadlessUi& ui = g.backend().ui;
  // Rows 0 and 1 are one run each from x = 2; the black bottom row adds none.
  std::vector<ui_rect> shape = ui.window_shape(0);
  ASSERT_EQ(shape.size(), 2u);
  EXPECT_EQ(shape[0].x, 2);
  EXPECT_EQ(shape[0].width, 6);
  EXPECT_EQ(shape[1].y, 1);
  // The second shape failed: logged, the title step still ran, the shape stayed.
  EXPECT_EQ(ui.window_shape(0).size(), 2u);
  EXPECT_EQ(game_window_record(0)->title, "still");
  bool logged = false;
  for (const std::string& line : g.log_lines()) logged |= line.find("Window shape Error. [many]") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST(WindowSet, DisplayWidthFollowsTheAspectAndTheDesktop) {
  headless_game g(listing("", "window window=0, display_width=320\n"
                              "window window=1, title=\"s\", width=100, height=50\n"
                              "window window=1, display_height=5000"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  HeadlessUi& ui = g.backend().ui;
  EXPECT_TRUE(has_call(ui, "resize 0 320x240"));
  // 5000 rows become the desktop's 1080; the width follows 2:1.
  EXPECT_TRUE(has_call(ui, "resize 1 2160x1080"));
}

TEST(WindowSet, ResizableAndFullScreenOfTheMainWindow) {
  headless_game g(listing("global int full = -1\nglobal int back = -1",
                          "window window=0, resizable=1\n"
                          "window window=0, fullscreen=1\n"
                          "window_query window=0, output=full, fullscreen=1\n"
                          "window window=0, fullscreen=0\n"
                          "window_query window=0, output=back, fullscreen=1"));
  std::vector<uint8_t> cfg(4 * 8, 0xFF);
  cfg[7 * 4] = 2, cfg[7 * 4 + 1] = cfg[7 * 4 + 2] = cfg[7 * 4 + 3] = 0;  // stretch: the desktop's own size
  g.write_file("kxcfg.dat", cfg);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(3);
  EXPECT_TRUE(g.error_codes().empty());
  EXPECT_EQ(g.int_value("full"), 1);
  EXPECT_EQ(g.int_value("back"), 0);
  HeadlessUi& ui = g.backend().ui;
  EXPECT_TRUE(has_call(ui, "resizable 0 1"));
  // The best-mode search is on unless kxcfg.dat turns it off: the smallest
  // 16:9 mode holding 640 x 480, the game stretched over it.
  EXPECT_TRUE(has_call(ui, "enter_fullscreen 0 display 0 mode 1280x720x32"));
  EXPECT_TRUE(has_call(ui, "leave_fullscreen 0"));
  EXPECT_EQ(ui.window(0).width, 640);
  EXPECT_EQ(cpu_frame_buffer.output_width, 640);
  EXPECT_FALSE(ui.window_fullscreen(0));
  EXPECT_EQ(screen_state.resizable, 1);
}

TEST(WindowQuery, AMissingWindowGivesZeroOfEveryType) {
  headless_game g(listing("global int i = 7\nglobal real r = 7.5\nglobal string s = \"x\"",
                          "window_query window=3, output=i, logical_width=1\n"
                          "window_query window=3, output=r, alpha=1\n"
                          "window_query window=3, output=s, title=1"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.error_codes().empty());
  EXPECT_EQ(g.int_value("i"), 0);
  EXPECT_EQ(g.real_value("r"), 0.0);
  EXPECT_EQ(g.text_value("s"), "");
}

TEST(WindowQuery, ValuesOfTheMainWindow) {
  struct row {
    const char* query;
    int64_t want;
  };
  const row rows[] = {{"exists", 1},       {"visible", 1},       {"logical_width", 640}, {"logical_height", 480},
                      {"client_width", 640}, {"client_height", 480}, {"monitor", 1},       {"fullscreen", 0},
                      {"maximised", 0},    {"minimised", 0},     {"left", 1940}};
  for (const row& r : rows) {
    headless_game g(listing("config window_kind 1\nglobal int v = -1",
                            std::string("window window=0, x=1940, y=10\nwindow_query window=0, output=v, ") + r.query +
                                "=1"));
    // Two displays side by side: the window moved onto the second.
    g.prepare([](HeadlessPlatform& p) {
      headless_display a, b;
      parse_headless_display("1920x1080", a);
      parse_headless_display("1280x1024+1920+0", b);
      p.ui.set_displays({a, b});
    });
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(2);
    EXPECT_TRUE(g.error_codes().empty()) << r.query;
    EXPECT_EQ(g.int_value("v"), r.want) << r.query;
  }
}

TEST(WindowQuery, NumbersIntoATextVariableAreRefused) {
  headless_game g(listing("global string s = \"x\"", "window_query window=0, output=s, exists=1"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_EQ(g.error_codes(), std::vector<int>{101140});
}

TEST(WindowHide, HidesASubWindowThatASetShowsAgain) {
  headless_game g(listing("global int v = -1",
                          "window window=1, title=\"s\"\nwindow_hide window=1\n"
                          "window_query window=1, output=v, visible=1\n"
                          "window window=1, visible=1"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(2);
  EXPECT_TRUE(g.error_codes().empty());
  EXPECT_EQ(g.int_value("v"), 0);
  EXPECT_TRUE(g.backend().ui.window_visible(1));
}

TEST(Quit, SetsTheRestartByteAndEndsTheRun) {
  struct row {
    const char* body;
    uint8_t restart;
  };
  for (const row& r : {row{"quit", 0}, row{"quit restart=1", 1}, row{"quit restart=258", 2}}) {
    headless_game g(listing("", r.body));
    ASSERT_EQ(g.start(), 0);
    g.run_ticks(3);
    EXPECT_TRUE(g.quitting()) << r.body;
    EXPECT_EQ(restart_flag.load(), r.restart) << r.body;
  }
}

TEST(WindowSet, ASubWindowShowsTheGroupItIsGiven) {
  headless_game g(listing("", "layer path=\":/sub/\", width=32, height=16, priority=1\n"
                              "layer path=\":/sub/pic\", file=\"cg/pic.bmp\", priority=1\n"
                              "wait 2\n"  // the group's own changes are long composited
                              "window window=1, title=\"s\", width=32, height=16, layer=\":/sub/\""));
  g.add_resource("cg\\pic.bmp", bmp24(32, 16, [](int, int) { return 0x40C040u; }), 1);
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(4);
  EXPECT_TRUE(g.error_codes().empty());
  headless_frame f = g.backend().ui.frame(1);
  ASSERT_EQ(f.width, 32);
  ASSERT_EQ(f.height, 16);
  const uint8_t* p = f.bgra.data() + (8 * 32 + 16) * 4;
  EXPECT_EQ(p[0], 0x40);
  EXPECT_EQ(p[1], 0xC0);
  EXPECT_EQ(p[2], 0x40);
}

// Command 92's maximise toggle goes through the window procedure as the title
// button does: a fixed-size main window gets its sizing border before it
// maximises, the border goes again 20 ticks after the restore, and a window
// that may not maximise stays as it is.
TEST(WindowSet, MaximiseToggleAddsTheBorderFirstAndTakesItOffAfterTheRestore) {
  headless_game g(listing("global int m1 = -1",
                          "window window=0, maximise=1\nwait 3\n"
                          "window_query window=0, output=m1, maximised=1\n"
                          "window window=0, maximise=1\nwait 60\n"
                          "window window=0, maximise_allowed=0\nwindow window=0, maximise=1"));
  ASSERT_EQ(g.start(), 0);
  g.run_ticks(6);
  EXPECT_TRUE(g.error_codes().empty());
  EXPECT_EQ(g.int_value("m1"), 1);
  HeadlessUi& ui = g.backend().ui;
  const std::vector<std::string> maximise = calls_from(ui, "resizable 0 1");
  EXPECT_TRUE(std::find(maximise.begin(), maximise.end(), "maximise_window 0") != maximise.end());
  EXPECT_TRUE(has_call(ui, "restore_window 0"));

  // The window manager reports the window back at its old size.
  ui_event restored;
  restored.message = msg_size;
  restored.x = 640, restored.y = 480;
  ui.post_event(restored);
  g.run_ticks(10);
  EXPECT_EQ(screen_state.maximised, 0);
  EXPECT_FALSE(has_call(ui, "resizable 0 0"));  // not before the countdown ends
  g.run_ticks(15);
  EXPECT_TRUE(has_call(ui, "resizable 0 0"));

  // Maximise not allowed: the toggle changes nothing.
  g.run_ticks(60);
  const std::vector<std::string> after = calls_from(ui, "resizable 0 0");
  EXPECT_TRUE(std::find(after.begin(), after.end(), "maximise_window 0") == after.end());
  EXPECT_TRUE(std::find(after.begin(), after.end(), "resizable 0 1") == after.end());
  EXPECT_FALSE(ui.window_maximised(0));
}
