// Whole runs of win_main on the headless platform: the window, closing, the
// designed start-up and shutdown order, single instance, start-up arguments,
// the compression library's messages, the restart, the frame-buffer rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "core/sjis.h"
#include "engine_fixture.h"

namespace {

std::atomic<int> passes{0};
int close_after = 5;
std::atomic<int> clear_quit_passes{0};
std::function<void()> at_pass_three;

// Stand-in scripts: at pass `close_after` the player's window gets a close
// event, as if its close button had been pressed.
int closing_scripts() {
  int n = ++passes;
  if (n == 3 && at_pass_three) at_pass_three();
  if (n == close_after) {
    ui_event close;
    close.message = msg_close;
    platform().ui->post_event(close);
  }
  return 0;
}

// Stand-in scripts that keep clearing quit_flag, like a report with quit 0.
int quit_clearing_scripts() {
  int n = ++passes;
  if (quit_flag) ++clear_quit_passes;
  quit_flag = 0;
  if (n == close_after) {
    ui_event close;
    close.message = msg_close;
    platform().ui->post_event(close);
  }
  return 0;
}

struct startup_test : ::testing::Test {
  engine_fixture engine;
  void SetUp() override {
    passes = 0;
    close_after = 5;
    clear_quit_passes = 0;
    at_pass_three = nullptr;
    frame_steps.run_scripts = closing_scripts;
    lifecycle_trace.enabled = true;
  }
  void TearDown() override { at_pass_three = nullptr; }
  bool window_created() {
    auto calls = engine.host.ui.calls();
    return std::find(calls.begin(), calls.end(), "create_window 0") != calls.end();
  }
  std::vector<std::string>& steps() { return lifecycle_trace.steps; }
};

// Message boxes go through the error reporter: to the Ui's boxes once the
// dialogs exist, to stderr before. Both are searched, in Shift-JIS.
struct shown_messages {
  std::string all;
  bool has(const char* utf8) const { return all.find(utf8_to_sjis(utf8)) != std::string::npos; }
};
shown_messages collect(const HeadlessUi& ui, const std::string& captured) {
  shown_messages m{captured};
  for (const auto& box : ui.boxes()) m.all += box.caption + "\n" + box.text + "\n";
  return m;
}

}  // namespace

TEST_F(startup_test, OpensTheDefaultWindowTicksAndEndsWithCodeZeroWhenClosed) {
  window_desc seen;
  bool shown = false;  // made hidden, shown by the first frame
  at_pass_three = [&] {
    seen = engine.host.ui.window(0);
    shown = engine.host.ui.window_visible(0);
  };
  EXPECT_EQ(win_main(), 0);
  EXPECT_EQ(seen.width, 640);
  EXPECT_EQ(seen.height, 480);
  EXPECT_EQ(seen.title, "ZARVIK");
  EXPECT_TRUE(shown);
  EXPECT_EQ(passes, 5);
  EXPECT_FALSE(engine.host.ui.window_exists(0));
  // Five paced ticks at 60 per second, no more.
  EXPECT_EQ(engine.host.clock.tick_ms(), 16u + 17 + 16 + 17 + 17);
  EXPECT_EQ(cpu_frame_buffer.pixels.size(), 640u * 4 + 640u * 4 * 480 + 4);
  EXPECT_FALSE(engine.host.process.holds_instance());
  EXPECT_EQ(engine.host.libraries.open_count(), 0);
}

TEST_F(startup_test, StartUpAndShutdownRunInTheDesignedOrder) {
  // The fixture's game is a pack holding kxbin\kxcfg.kbn: a release run, so
  // no compiler link.
  EXPECT_EQ(win_main(), 0);
  const std::vector<std::string> expected = {
      "single_instance",    "copy_command_line",       "read_engine_settings",   "read_save_settings",
      "init_pixel_kernels", "query_system_info",       "build_name_length_table", "load_compression_library",
      "open_pack_archives", "init_startup_tables",     "test_folder_writable",
      "create_window_states", "load_engine_config",    "frame_buffer",           "create_game_window",
      "set_timer_resolution", "create_menu_popup_window", "create_tree_roots",   "create_direct_sound",
      "count_joysticks",    "write_environment_report", "system_start",          "start_worker_threads",
      "init_sound_player",  "play_time_clocks",        "init_direct3d",          "message_loop",
      "shutdown_engine",    "wait_sound_thread",       "wait_frame_thread",      "stop_worker_threads",
      "release_direct3d",   "dshow_movie_close",       "release_direct_sound",   "destroy_menu_handles",
      "release_resources",  "unload_compression_library"};
  EXPECT_EQ(steps(), expected);
  EXPECT_STREQ(startup_tables.version_tag, "revkivraz");
  EXPECT_STREQ(startup_tables.picture_extensions[3], ".gif");
  EXPECT_STREQ(startup_tables.sound_extensions[1], ".ogg");
}

TEST_F(startup_test, SecondStartOfTheSameProgramRaisesTheFirstAndEnds) {
  HeadlessProcess running_copy(engine.host.process.program_path_host());
  init_module_paths();
  ASSERT_EQ(running_copy.claim_single_instance(module_paths.instance_name), 0);
  EXPECT_EQ(win_main(), 0);
  EXPECT_FALSE(window_created());
  EXPECT_EQ(running_copy.raise_requests_received(), 1);
  EXPECT_TRUE(steps().empty());  // nothing started, nothing shut down
}

TEST_F(startup_test, AnotherProgramPathStartsNormally) {
  HeadlessProcess other_game("/games/other/zarvik");
  init_module_paths();
  std::string other_name = "/games/other/zarvik";
  replace_sjis_char(other_name, '/', ':');
  ASSERT_EQ(other_game.claim_single_instance(other_name), 0);
  EXPECT_EQ(win_main(), 0);
  EXPECT_TRUE(window_created());
  EXPECT_EQ(other_game.raise_requests_received(), 0);
}

TEST_F(startup_test, RunningCopyComesForwardWhenStartedAgain) {
  at_pass_three = [&] {
    HeadlessProcess second_start(engine.host.process.program_path_host());
    EXPECT_EQ(second_start.claim_single_instance(module_paths.instance_name), 1);
  };
  EXPECT_EQ(win_main(), 0);
  auto calls = engine.host.ui.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "raise_window 0"), calls.end());
}

TEST_F(startup_test, InstanceNameIgnoresCaseOfTheProgramPath) {
  engine.host.process.set_program_path("/Games/My Game/ZARVIK");
  init_module_paths();
  EXPECT_EQ(module_paths.instance_name, ":games:my game:zarvik");
  EXPECT_EQ(module_paths.program_path_host, "/Games/My Game/ZARVIK");
}

TEST_F(startup_test, SettingsToolArgumentStartsTheToolAndEndsWithoutAWindow) {
  engine.host.process.set_arguments({"/KXCFG"});
  EXPECT_EQ(win_main(), 0);
  EXPECT_FALSE(window_created());
  auto spawns = engine.host.process.spawns();
  ASSERT_EQ(spawns.size(), 1u);
  EXPECT_EQ(spawns[0], (std::vector<std::string>{engine.game.path() + "zarvik-settings", "/kxcfg"}));
  EXPECT_EQ(steps().back(), "unload_compression_library");  // a full shutdown still ran
}

TEST_F(startup_test, InfoArgumentShowsTheLicenceReportAndEnds) {
  engine.host.process.set_arguments({"/Info"});
  EXPECT_EQ(win_main(), 0);
  EXPECT_FALSE(window_created());
  EXPECT_NE(std::find(steps().begin(), steps().end(), "license_information"), steps().end());
  EXPECT_EQ(quit_flag, 1);
}

TEST_F(startup_test, MissingLibraryShowsItsErrorAndEnds) {
  engine.host.libraries.refuse("RIRud.so", 2, "no such file");
  testing::internal::CaptureStderr();
  EXPECT_EQ(win_main(), 0);
  shown_messages m = collect(engine.host.ui, testing::internal::GetCapturedStderr());
  EXPECT_TRUE(m.has("RIRud.dll エラーです。")) << m.all;
  EXPECT_FALSE(window_created());
  EXPECT_EQ(compression_library.handle, nullptr);
}

TEST_F(startup_test, EveryMissingEntryPointIsNamedAndStartUpGoesOn) {
  for (const char* name : {"RIRud_CompressedLength", "RIRud_Compress", "RIRud_UncompressedLength", "RIRud_Uncompress"})
    engine.host.libraries.hide_symbol(name);
  at_pass_three = [] {
    // Callers reach failure, never a null call.
    uint8_t buffer[64];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(rirud_bound(10), 0u);
    EXPECT_NE(rirud_pack(buffer, 10, buffer, &size), 0);
    EXPECT_NE(rirud_unpack(buffer, 10, buffer, &size), 0);
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(win_main(), 0);
  shown_messages m = collect(engine.host.ui, testing::internal::GetCapturedStderr());
  EXPECT_TRUE(m.has("RIRud_CompressedLength が見つかりません。")) << m.all;
  EXPECT_TRUE(m.has("RIRud_Compress が見つかりません。"));
  EXPECT_TRUE(m.has("RIRud_UncompressedLength が見つかりません。"));
  EXPECT_TRUE(m.has("RIRud_Uncompress が見つかりません。"));
  EXPECT_TRUE(window_created());
  EXPECT_EQ(passes, 5);
}

TEST_F(startup_test, LoadedLibraryPacksThroughItsEntryPoints) {
  at_pass_three = [] {
    std::vector<uint8_t> in(1000, 'x'), packed(rirud_bound(1000)), out(1000);
    uint32_t size = static_cast<uint32_t>(packed.size()), out_size = 1000;
    ASSERT_EQ(rirud_pack(in.data(), 1000, packed.data(), &size), 0);
    ASSERT_EQ(rirud_unpack(packed.data(), size, out.data(), &out_size), 0);
    EXPECT_EQ(out, in);
  };
  EXPECT_EQ(win_main(), 0);
  EXPECT_EQ(engine.host.libraries.loads(), std::vector<std::string>{"RIRud.so"});
}

TEST_F(startup_test, RestartStartsTheProgramByItsRealPath) {
  engine.host.process.set_program_path(engine.game.path() + "Spiel Ordner/ZARVIK");
  at_pass_three = [] { restart_flag = 1; };
  EXPECT_EQ(win_main(), 0);
  auto spawns = engine.host.process.spawns();
  ASSERT_EQ(spawns.size(), 1u);
  EXPECT_EQ(spawns[0], std::vector<std::string>{engine.game.path() + "Spiel Ordner/ZARVIK"});
  EXPECT_FALSE(engine.host.process.holds_instance());  // released before the new copy starts
}

TEST_F(startup_test, FrameThreadModeEndsInStateNineWhenTheWindowCloses) {
  compiled_engine_config config = fixture_game_config();
  config.frame_thread_mode = 1;
  engine.write_game(config);
  EXPECT_EQ(win_main(), 0);
  EXPECT_EQ(frame_thread.state, frame_thread_ended);
  EXPECT_GE(passes, 5);
  auto it = std::find(steps().begin(), steps().end(), "start_frame_thread");
  EXPECT_NE(it, steps().end());
}

TEST_F(startup_test, ShutdownEndsTheFrameThreadEvenWhenAReportClearsQuit) {
  // The window closes while the frame thread runs; then every script pass
  // clears quit_flag again. Only the separate stop signal can end the thread.
  compiled_engine_config config = fixture_game_config();
  config.frame_thread_mode = 1;
  engine.write_game(config);
  frame_steps.run_scripts = quit_clearing_scripts;
  EXPECT_EQ(win_main(), 0);
  EXPECT_EQ(frame_thread.state, frame_thread_ended);
  EXPECT_EQ(stop_threads_signal, 1);
}

TEST_F(startup_test, WindowLargerThanTheDesktopDrawsAtHalfTheDesktop) {
  compiled_engine_config config = fixture_game_config();
  config.main_width = 4000;
  config.main_height = 600;
  engine.write_game(config);
  EXPECT_EQ(win_main(), 0);
  EXPECT_EQ(cpu_frame_buffer.output_width, 4000);
  EXPECT_EQ(cpu_frame_buffer.output_height, 600);
  EXPECT_EQ(cpu_frame_buffer.frame_width, system_info.desktop_width / 2);
  EXPECT_EQ(cpu_frame_buffer.frame_height, system_info.desktop_height / 2);
}

TEST_F(startup_test, FrameBufferRuleKeepsTheOldBufferOnEveryFailure) {
  std::vector<uint8_t> buffer;
  ASSERT_EQ(apply_frame_buffer_rule(buffer, 100, 50), 0);
  EXPECT_EQ(buffer.size(), 100u * 4 + 100u * 4 * 50 + 4);
  buffer[7] = 0x5A;

  testing::internal::CaptureStderr();
  EXPECT_EQ(apply_frame_buffer_rule(buffer, 8193, 10), -1);
  shown_messages m = collect(engine.host.ui, testing::internal::GetCapturedStderr());
  EXPECT_TRUE(m.has("ＣＧサイズが大きすぎます。")) << m.all;
  EXPECT_EQ(quit_flag, 1);
  EXPECT_EQ(buffer.size(), 100u * 4 + 100u * 4 * 50 + 4);
  EXPECT_EQ(buffer[7], 0x5A);

  for (auto [w, h] : {std::pair{0, 10}, std::pair{10, 0}, std::pair{-4, 10}, std::pair{10, -1}}) {
    EXPECT_EQ(apply_frame_buffer_rule(buffer, w, h), -1);
    EXPECT_EQ(buffer.size(), 100u * 4 + 100u * 4 * 50 + 4);
    EXPECT_EQ(buffer[7], 0x5A);
  }
  std::vector<uint8_t> log;
  ASSERT_TRUE(engine.host.files->read_file("info.txt", log));
  EXPECT_NE(std::string(log.begin(), log.end()).find(utf8_to_sjis("メモリ確保エラーです。")), std::string::npos);

  ASSERT_EQ(apply_frame_buffer_rule(buffer, 8192, 2), 0);  // 8192 is allowed
  EXPECT_EQ(buffer.size(), 8192u * 4 * 3 + 4);
  EXPECT_EQ(buffer[7], 0x5A);  // reallocation keeps the contents
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(startup_test, FrameBufferRuleSurvivesAnImpossibleAllocation) {
  std::vector<uint8_t> buffer(16, 0x33);
  // 8192 x 2^30 pixels: 32 TiB, computed in 64 bits and refused by the allocator.
  EXPECT_EQ(apply_frame_buffer_rule(buffer, 8192, 1 << 30), -1);
  EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0x33));
}
#endif
