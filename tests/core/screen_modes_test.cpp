// Screen modes on the headless platform with fake displays: the output-size
// policies, the best-mode search, the monitor list, the two full-screen
// switches (and a failed one) with their log lines, the drag limits, and the
// environment report against a golden info.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "app/screen_modes.h"
#include "app/window_commands.h"
#include "core/engine_fixture.h"
#include "d3d/directx_version.h"
#include "support/reported_errors.h"

namespace {

headless_display display(const char* text) {
  headless_display d;
  EXPECT_TRUE(parse_headless_display(text, d)) << text;
  return d;
}

bool has_call(const HeadlessUi& ui, const std::string& call) {
  std::vector<std::string> all = ui.calls();
  return std::find(all.begin(), all.end(), call) != all.end();
}

struct screen_test : ::testing::Test {
  engine_fixture engine;
  // kxcfg.dat with slot 6 (best-mode search, 0 = on) and slot 7 (policy slot).
  void settings(int search, int policy_slot) {
    std::vector<uint8_t> cfg(4 * 9, 0xFF);
    auto put = [&](int slot, uint32_t v) {
      for (int i = 0; i < 4; ++i) cfg[size_t(slot) * 4 + i] = uint8_t(v >> (8 * i));
    };
    put(6, uint32_t(search));
    put(7, uint32_t(policy_slot));
    engine.game.write("kxcfg.dat", cfg);
  }
  bool started = false;
  void start() {
    init_module_paths();
    started = true;
    ASSERT_EQ(app_initialise(), 0);
  }
  std::vector<std::string> log() {
    std::vector<uint8_t> bytes = engine.game.read("info.txt");
    std::string text = sjis_to_utf8(std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return lines;
  }
  bool logged(const std::string& line) {
    std::vector<std::string> l = log();
    return std::find(l.begin(), l.end(), line) != l.end();
  }
  ~screen_test() override {
    if (started) shutdown_engine();
  }
};

}  // namespace

TEST(OutputSize, PoliciesOnWideAndSquareDesktops) {
  struct row {
    int policy, gw, gh, dw, dh;
    int ow, oh, mode;
  };
  const row rows[] = {
      {1, 640, 480, 1920, 1080, 1440, 1080, 2},  // fit: full height, 4:3 width
      {2, 640, 480, 1920, 1080, 1920, 1440, 1},  // fill: full width
      {3, 640, 480, 1920, 1080, 1920, 1080, 3},  // stretch
      {0, 640, 480, 1920, 1080, 640, 480, 0},    // the game's own size
      {1, 640, 480, 1024, 768, 1024, 768, 2},
      {2, 640, 480, 1024, 768, 1024, 768, 1},
      {0, 2000, 1500, 1920, 1080, 960, 540, 0},  // larger than the desktop: half of it
      {1, 640, 480, 800, 1200, 800, 600, 1},     // a tall desktop: fit by width
  };
  for (const row& r : rows) {
    reset_engine_records();
    engine_settings.scaling_policy = uint8_t(r.policy);
    system_info.desktop_width = r.dw;
    system_info.desktop_height = r.dh;
    choose_output_size(r.gw, r.gh, r.dw, r.dh);
    EXPECT_EQ(cpu_frame_buffer.output_width, r.ow) << r.policy << " " << r.dw << "x" << r.dh;
    EXPECT_EQ(cpu_frame_buffer.output_height, r.oh) << r.policy << " " << r.dw << "x" << r.dh;
    EXPECT_EQ(screen_state.scaling_mode, r.mode) << r.policy;
  }
  // A zero size anywhere changes nothing (and divides by nothing).
  reset_engine_records();
  engine_settings.scaling_policy = 1;
  for (auto [gw, gh, aw, ah] : {std::array{0, 480, 1920, 1080}, std::array{640, 0, 1920, 1080},
                                std::array{640, 480, 0, 1080}, std::array{640, 480, 1920, 0}}) {
    choose_output_size(gw, gh, aw, ah);
    EXPECT_EQ(cpu_frame_buffer.output_width, 0);
  }
  reset_engine_records();
}

TEST_F(screen_test, BestModeIsTheSmallestOfTheDesktopsAspectAtLeastTheGame) {
  headless_display d = display("1920x1080@1600x900,1280x720,1024x768,854x480,640x360,1366x768");
  d.modes.push_back({1280, 720, 16, 60});  // another depth does not count
  engine.host.ui.set_displays({d});
  int w = 0, h = 0;
  EXPECT_TRUE(find_best_display_mode(0, 640, 480, 1920, 1080, 32, &w, &h));
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 720);
  // Nothing of that aspect is large enough: no mode.
  EXPECT_FALSE(find_best_display_mode(0, 2000, 1200, 1920, 1080, 32, &w, &h));
  EXPECT_FALSE(find_best_display_mode(0, 640, 480, 1920, 0, 32, &w, &h));
}

TEST_F(screen_test, SixteenMonitorsAreListedAndASeventeenthIsNot) {
  for (int count : {16, 17}) {
    std::vector<headless_display> list;
    for (int i = 0; i < count; ++i) {
      std::string text = "800x600+" + std::to_string(i * 800) + "+0";
      list.push_back(display(text.c_str()));
    }
    engine.host.ui.set_displays(list);
    enumerate_monitors();
    EXPECT_EQ(monitor_list.count, 16);
    EXPECT_EQ(monitor_list.monitors[15].x, 15 * 800);
  }
  // A window on the seventeenth display: the index is past the list, so the
  // first valid monitor stands in.
  window_desc desc;
  desc.x = 16 * 800 + 10, desc.y = 10, desc.width = 100, desc.height = 100;
  engine.host.ui.create_window(0, desc);
  EXPECT_EQ(engine.host.ui.window_display(0), 16);
  EXPECT_EQ(find_window_monitor(0, nullptr), 0);
}

TEST_F(screen_test, DesktopFullScreenAndBack) {
  settings(1, 2);  // search off, stretch
  start();
  HeadlessUi& ui = engine.host.ui;
  EXPECT_EQ(set_fullscreen(1), 1);
  EXPECT_EQ(set_fullscreen(1), 0);  // already so
  EXPECT_TRUE(has_call(ui, "enter_fullscreen 0 display 0 desktop"));
  EXPECT_TRUE(in_fullscreen());
  EXPECT_EQ(cpu_frame_buffer.output_width, 1920);
  EXPECT_EQ(cpu_frame_buffer.output_height, 1080);
  EXPECT_EQ(screen_state.device_reset_requested.load(), 1);
  EXPECT_TRUE(has_call(ui, "warp_cursor 960 540"));
  EXPECT_TRUE(logged("フルスクリーン処理開始します."));
  EXPECT_TRUE(logged("DirectX を使用せずにフルスクリーン切替処理開始します."));
  EXPECT_EQ(set_fullscreen(0), 1);
  EXPECT_FALSE(in_fullscreen());
  EXPECT_FALSE(ui.window_fullscreen(0));
  EXPECT_EQ(cpu_frame_buffer.output_width, 640);
  EXPECT_EQ(cpu_frame_buffer.frame_height, 480);
  EXPECT_TRUE(logged("通常スクリーン切替処理開始します."));
  EXPECT_EQ(pacing_state.style_countdown, 20);
}

TEST_F(screen_test, ExclusiveModeOfTheGameSizeAndOfTheBestMode) {
  settings(1, 3);  // search off, game size: the display switches to 640 x 480
  start();
  EXPECT_EQ(set_fullscreen(1), 1);
  EXPECT_TRUE(has_call(engine.host.ui, "enter_fullscreen 0 display 0 mode 640x480x32"));
  EXPECT_EQ(engine.host.ui.current_mode(0).width, 640);
  EXPECT_EQ(set_fullscreen(0), 1);
}

TEST_F(screen_test, BestModeSearchPicksTheSmallestFittingMode) {
  settings(0, 2);  // search on, stretch to the mode
  engine.host.ui.set_displays({display("1920x1080@1600x900,1280x720,1024x768,640x480")});
  start();
  EXPECT_EQ(set_fullscreen(1), 1);
  EXPECT_TRUE(has_call(engine.host.ui, "enter_fullscreen 0 display 0 mode 1280x720x32"));
  EXPECT_EQ(cpu_frame_buffer.output_width, 1280);
}

TEST_F(screen_test, AModeTheDisplayLacksEndsWindowedWithItsMessage) {
  settings(1, 0);  // search off, fit: 1440 x 1080, which no mode has
  start();
  reported_errors errors;
  EXPECT_EQ(set_fullscreen(1), 0);
  EXPECT_FALSE(in_fullscreen());
  EXPECT_FALSE(engine.host.ui.window_fullscreen(0));
  EXPECT_EQ(screen_state.device_reset_requested.load(), 0);
  EXPECT_TRUE(logged("PC環境が 1440 x 1080 解像度でのフルスクリーンに対応していません。"));
  EXPECT_TRUE(logged("DirectX を使用せずに通常スクリーン切替処理開始します."));
  bool boxed = false;
  for (const auto& b : engine.host.ui.boxes())
    boxed |= sjis_to_utf8(b.text) == "PC環境が 1440 x 1080 解像度でのフルスクリーンに対応していません。";
  EXPECT_TRUE(boxed);
  EXPECT_TRUE(errors.codes().empty());
}

TEST_F(screen_test, ARefusedSwitchReportsAndEndsWindowed) {
  settings(1, 2);
  start();
  reported_errors errors;
  engine.host.ui.set_fullscreen_fails(true);
  EXPECT_EQ(set_fullscreen(1), 0);
  EXPECT_FALSE(in_fullscreen());
  EXPECT_EQ(errors.codes(), std::vector<int>{105210});
  EXPECT_EQ(quit_flag.load(), 0);  // reported without quitting
}

TEST_F(screen_test, DragLimitsKeepTheGamesAspect) {
  start();
  // 640 x 480 on 1920 x 1080: a quarter of 480 high at least, the desktop's height at most.
  EXPECT_TRUE(has_call(engine.host.ui, "size_limits 0 160x120 1440x1080"));
  reset_engine_records();
}

TEST_F(screen_test, MovingToAnotherMonitorFollowsIt) {
  engine.host.ui.set_displays({display("1920x1080"), display("1280x1024+1920+0")});
  start();
  engine.host.ui.move_window(0, 2000, 100);
  on_move_monitor();
  EXPECT_EQ(monitor_list.chosen, 1);
  EXPECT_EQ(system_info.desktop_width, 1280);
  EXPECT_EQ(screen_state.device_reset_requested.load(), 1);
  EXPECT_TRUE(has_call(engine.host.ui, "size_limits 0 160x120 1280x960"));
}

TEST(WindowShape, RunsOfEveryRowUpToTheLimit) {
  // 3 x 3: row 0 "X.X", row 1 "...", row 2 "XXX" (X not black).
  const uint32_t X = 0xFF102030u, o = 0xFF000000u;
  const uint32_t px[9] = {X, o, X, o, o, o, X, X, X};
  std::vector<ui_rect> rects;
  ASSERT_EQ(region_from_bitmap(reinterpret_cast<const uint8_t*>(px), 3, 3, 12, rects), 0);
  ASSERT_EQ(rects.size(), 3u);
  EXPECT_EQ(rects[0].x, 0);
  EXPECT_EQ(rects[1].x, 2);
  EXPECT_EQ(rects[2].y, 2);  // the bottom row counts
  EXPECT_EQ(rects[2].width, 3);
  // Alpha plays no part: a transparent black pixel is black.
  const uint32_t clear[2] = {0x00000000u, 0x00808080u};
  ASSERT_EQ(region_from_bitmap(reinterpret_cast<const uint8_t*>(clear), 2, 1, 8, rects), 0);
  ASSERT_EQ(rects.size(), 1u);
  EXPECT_EQ(rects[0].x, 1);
  // 1999 runs fit; the 2000th fails and leaves nothing.
  for (int runs : {1999, 2000}) {
    std::vector<uint32_t> row(size_t(runs) * 2, o);
    for (int i = 0; i < runs; ++i) row[size_t(i) * 2] = X;
    const int rc = region_from_bitmap(reinterpret_cast<const uint8_t*>(row.data()), runs * 2, 1, row.size() * 4, rects);
    EXPECT_EQ(rc, runs < 2000 ? 0 : -1);
    EXPECT_EQ(rects.size(), runs < 2000 ? 1999u : 0u);
  }
}

TEST(DirectX, VersionsCompareHighPartFirstAndTheNewestMarkerWins) {
  EXPECT_EQ(compare_file_versions(make_file_version(4, 9, 0, 900), make_file_version(4, 8, 9999, 9999)), 1);
  EXPECT_EQ(compare_file_versions(make_file_version(1, 2, 3, 4), make_file_version(1, 2, 3, 4)), 0);
  EXPECT_EQ(compare_file_versions(make_file_version(0, 0, 0, 1), make_file_version(0, 0, 1, 0)), -1);
  // A folder whose ddraw.dll and dinput.dll mark 7.0a; d3d8.dll is missing.
  auto reader = [](const std::string& path, uint64_t* v) {
    if (path == "sys\\ddraw.dll") return *v = make_file_version(4, 8, 0, 400), file_version_ok;
    if (path == "sys\\dinput.dll") return *v = make_file_version(4, 7, 0, 716), file_version_ok;
    if (path == "sys\\dplayx.dll") return file_version_no_resource;
    return file_version_missing;
  };
  uint32_t version = 1;
  char letter = 1;
  EXPECT_EQ(detect_directx_version_in("sys", reader, &version, &letter), 0);
  EXPECT_EQ(version, (7u << 16) | 0u);
  EXPECT_EQ(letter, 'a');
  EXPECT_EQ(encode_directx_version(version, letter), 7u);
  // This platform has none of them.
  EXPECT_EQ(detect_directx_version(&version, &letter), 0);
  EXPECT_EQ(version, 0u);
  EXPECT_EQ(letter, 0);
}

TEST(SystemInfo, OsCodesAndSoundFormats) {
  EXPECT_EQ(os_code_for_build(7601), 255);  // unlisted: accepted
  EXPECT_EQ(os_code_for_build(7600), 80);
  EXPECT_EQ(os_code_for_build(0x10000 + 2600), 50);  // the low 16 bits count
  EXPECT_EQ(os_code_for_build(950), 1);
  EXPECT_EQ(get_os_code(), 255);
  EXPECT_STREQ(sound_format_name(sound_formats_of(48000, 16)), "44.1kHz(16-bit)");
  EXPECT_STREQ(sound_format_name(sound_formats_of(44100, 8)), "44.1kHz(8-bit)");
  EXPECT_STREQ(sound_format_name(sound_formats_of(22050, 8)), "22.05kHz,(8-bit)");
  EXPECT_STREQ(sound_format_name(sound_formats_of(11025, 16)), "11.025kHz(16-bit)");
  EXPECT_STREQ(sound_format_name(sound_formats_of(8000, 16)), "Disable");
  EXPECT_STREQ(sound_format_name(wave_2s16), "22.05kHz(16-bit)");
}

TEST_F(screen_test, EnvironmentReportMatchesTheGoldenFile) {
  environment_facts e;
  e.os_code = 255;
  e.cpu_name = "Test CPU @ 3.00GHz";
  e.mmx = e.sse = e.sse2 = 1;
  e.cores = 8, e.workers = 4;
  e.memory_total = uint64_t{6} << 30;  // above 4 GB
  e.memory_available = uint64_t{3} << 30;
  e.desktop_width = 1920, e.desktop_height = 1080, e.desktop_depth = 32, e.desktop_refresh = 60;
  e.displays = {{"DISPLAY1", "Main", true, true}, {"DISPLAY2", "Side", true, false}};
  e.outputs = {{"Speakers", sound_formats_of(48000, 16), 2}};
  e.inputs = {{"Microphone", sound_formats_of(22050, 16), 1}};
  e.modes = {{0, 640, 480, 8, 60}, {1, 640, 480, 32, 60}, {2, 1920, 1080, 32, 144}};
  std::string long_name(5000, 'n');
  e.gpu_lines = {"GPU: " + long_name};
  engine.game.write("info.txt", std::vector<uint8_t>{'o', 'l', 'd', '\n'});
  write_environment_report(e);
  std::vector<std::string> got = log();
  const std::vector<std::string> want = {
      "//" + std::string(76, '-'), "//■26/01/02 time=03:04:05", "//" + std::string(76, '-'),
      "OS_VER = 255", "CPU_NAME = Test CPU @ 3.00GHz", "CPU_MMX = 1", "CPU_SSE = 1", "CPU_SSE2 = 1",
      "CPU_CORENUM = 8", "CPU_COREUSE = 4", "DirectX_VER = 0", "MEM_TOTAL = 6144 MB", "MEM_AVAIL = 3072 MB",
      "SCREEN = 1920 x 1080 x 32 bit (60Hz)", "ADMIN = 0", "VIDEO", "▼ Name: DISPLAY1 [Main] DP",
      "▼ Name: DISPLAY2 [Side] D", ("GPU: " + long_name).substr(0, 4096), "SOUND[OUTPUT]",
      "▼ Name: Speakers, 0, 44.1kHz(16-bit), Stereo", "SOUND[INPUT]", "▼ Name: Microphone, 0, 22.05kHz(16-bit), Mono",
      "DISPLAYMODE", "[  1] 640x 480 32 bit (60 Hz)", "[  2]1920x1080 32 bit (144 Hz)"};
  EXPECT_EQ(got, want);
}

TEST_F(screen_test, GpuStartWritesTheReportFromThePlatformsDevices) {
  engine.host.ui.set_displays({display("1920x1080@1024x768"), display("1280x1024+1920+0")});
  start();
  EXPECT_TRUE(logged("VIDEO"));
  EXPECT_TRUE(logged("▼ Name: DISPLAY2 [] D"));
  EXPECT_TRUE(logged("▼ Name: Headless Output, 0, 44.1kHz(16-bit), Stereo"));
  EXPECT_TRUE(logged("▼ Name: Headless Input, 0, 22.05kHz(16-bit), Mono"));
  EXPECT_TRUE(logged("MEM_TOTAL = 8192 MB"));
  EXPECT_TRUE(logged("[  1]1024x 768 32 bit (60 Hz)"));
}
