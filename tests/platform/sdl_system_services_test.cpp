// The system services on the real SDL Ui under a private Xvfb display, driven
// the way a user would: a message box answered with xdotool, the clipboard
// shared with another X client (xclip), and the player's edit box typed into
// with xdotool. Skipped when Xvfb, xdotool or xclip are missing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "core/sjis.h"
#include "platform/freetype/freetype_fonts.h"
#include "platform/headless/headless_process.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_files.h"
#include "platform/posix/process.h"
#include "platform/sdl/sdl_ui.h"
#include "support/png_output.h"
#include "support/temp_folder.h"
#include "system/system_dialogs.h"
#include "x_server.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// With a real X display SDL starts D-Bus and an input method, whose libraries
// keep what they allocate until exit: not ours to free. Leaks are not
// counted while these tests run (the engine's own code is checked for leaks
// by the headless tests); every other ASan check stays on.
#define LEAK_COUNT_OFF __lsan_disable()
#define LEAK_COUNT_ON __lsan_enable()
#else
#define LEAK_COUNT_OFF
#define LEAK_COUNT_ON
#endif

namespace {

bool have(const char* tool) {
  std::string out;
  int code = 1;
  return run_child_and_capture({"sh", "-c", std::string("command -v ") + tool}, &out, &code) && code == 0;
}

struct sdl_services : ::testing::Test {
  x_server display;
  temp_folder dir;
  std::unique_ptr<SdlUi> ui;
  PosixClock clock;
  std::unique_ptr<PosixHostFiles> files;
  std::unique_ptr<FreeTypeFontRasterizer> fonts;
  HeadlessProcess process;
  Platform services;

  void SetUp() override {
    LEAK_COUNT_OFF;
    for (const char* tool : {"Xvfb", "xdotool", "xclip"})
      if (!have(tool)) GTEST_SKIP() << tool << " is not installed";
    ASSERT_TRUE(display.start("800x600x24"));
    display.use_for_sdl();
    ui = std::make_unique<SdlUi>();
    ASSERT_TRUE(ui->ready());
    ASSERT_TRUE(ui->has_display());
    files = std::make_unique<PosixHostFiles>(dir.path());
    fonts = std::make_unique<FreeTypeFontRasterizer>(FreeTypeFontRasterizer::config_source::text,
                                                     FreeTypeFontRasterizer::ipa_fonts_config_text());
    services.clock = &clock;
    services.files = files.get();
    services.process = &process;
    services.ui = ui.get();
    services.fonts = fonts.get();
    install_platform(&services);
    window_desc d;
    d.title = "zarvik services";
    d.width = 320;
    d.height = 120;
    ASSERT_TRUE(ui->create_window(0, d));
    std::vector<uint8_t> grey(320 * 120 * 4, 0x60);
    ui->present(0, grey.data(), 320, 120, 320 * 4);
  }
  void TearDown() override {
    reset_system_dialogs();
    ui.reset();
    if (platform_installed() && &platform() == &services) install_platform(nullptr);
    LEAK_COUNT_ON;
  }
  // Polls the Ui (SDL answers other X clients only while it pumps) and hands
  // events to the player's boxes until `done` or the time is up.
  template <class F>
  bool pump_until(F done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      ui_event e;
      while (ui->poll_event(e)) system_dialog_event_filter(e);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Runs a program in the background (xdotool, xclip) while the Ui is pumped.
  bool run_pumping(const std::vector<std::string>& argv, std::string* out = nullptr) {
    std::string captured;
    int code = -1;
    std::thread t([&] { run_child_and_capture(argv, &captured, &code); });
    bool finished = false;
    pump_until([&] { return finished; }, 100);
    // The thread ends when the program does; keep pumping meanwhile.
    std::atomic<bool> joined{false};
    std::thread waiter([&] {
      t.join();
      joined = true;
    });
    pump_until([&] { return joined.load(); }, 10000);
    waiter.join();
    if (out) *out = captured;
    return code == 0;
  }
};

}  // namespace

TEST_F(sdl_services, ClipboardRoundTripWithAnotherClient) {
  ASSERT_TRUE(ui->set_clipboard_text(utf8_to_sjis("ゲームから")));
  std::string out;
  ASSERT_TRUE(run_pumping({"xclip", "-o", "-selection", "clipboard"}, &out));
  EXPECT_EQ(out, "ゲームから");
  // Another program owns it now: the Ui reads its text (xclip serves it in
  // the background until the display ends).
  pid_t writer = spawn_child_process({"sh", "-c", "printf 'from xclip' | xclip -i -selection clipboard"});
  ASSERT_GT(writer, 0);
  std::string text;
  bool got = pump_until([&] { return ui->clipboard_text(text) && text == "from xclip"; }, 5000);
  EXPECT_TRUE(got) << text;
  ::kill(writer, SIGTERM);
  int status;
  ::waitpid(writer, &status, 0);
}

TEST_F(sdl_services, MessageBoxAnsweredWithXdotool) {
  // Return answers the default button, here the second one. The driver runs
  // as its own process: the box blocks this thread until it is answered.
  // (The box is found by its title in the window tree: it is not mapped
  // where xdotool's own search looks.)
  pid_t driver = spawn_child_process(
      {"sh", "-c",
       "for i in $(seq 100); do id=$(xwininfo -root -tree | awk '/\"Question\"/ {print $1; exit}');"
       " [ -n \"$id\" ] && break; sleep 0.1; done; sleep 0.3; xdotool windowfocus \"$id\" key Return"});
  ASSERT_GT(driver, 0);
  int answer = ui->message_box("Question", "Go on?", mb_yes_no | mb_default_button2);
  int status = 0;
  ::waitpid(driver, &status, 0);
  EXPECT_EQ(answer, id_no);
}

TEST_F(sdl_services, EditBoxTypedIntoWithXdotool) {
  create_edit_box("ab", 20, 40, 200, 22);
  set_edit_box_focus(true);
  ASSERT_TRUE(run_pumping({"xdotool", "search", "--sync", "--name", "^zarvik services$", "windowfocus", "--sync",
                           "type", "--delay", "30", "xyz"}));
  EXPECT_TRUE(pump_until([] { return edit_box_text() == "abxyz"; }, 3000)) << edit_box_text();
  std::vector<uint8_t> bgra;
  int w = 0, h = 0;
  ASSERT_TRUE(ui->read_window_pixels(0, bgra, w, h));
  // The box is white with dark text where the player drew it; grey elsewhere.
  auto at = [&](int x, int y) { return bgra[(static_cast<size_t>(y) * w + x) * 4]; };
  EXPECT_EQ(at(5, 5), 0x60);
  EXPECT_EQ(at(210, 45), 0xFF);
  int ink = 0;
  for (int y = 42; y < 60; ++y)
    for (int x = 22; x < 80; ++x) ink += at(x, y) < 0x40;
  EXPECT_GT(ink, 20);
  if (const char* shot = std::getenv("ZARVIK_SCREENSHOT")) write_bgra_png(shot, bgra.data(), w, h, false);
}
