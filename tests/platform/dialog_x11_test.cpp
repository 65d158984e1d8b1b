// The real `zarvik` under Xvfb with a window manager: its dialogs are windows
// of its own whose text is drawn anti-aliased with the player's font layer (a
// box in X core fonts shows mojibake and fails the pixel comparison), they
// answer the mouse and the keyboard, and SIGTERM ends the player in order,
// also with a dialog open. Screens are kept as PNGs beside the build.
#include <gtest/gtest.h>
#include <SDL2/SDL.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_helper.h"
#include "core/error_report.h"
#include "platform/sdl/sdl_dialog.h"
#include "platform/text_encoding.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"
#include "x_server.h"

#include <X11/Xlib.h>  // last: its macros clash with other headers

namespace fs = std::filesystem;

namespace {

const std::string binary_dir = ZARVIK_BINARY_DIR;

void run(const std::string& command) { std::system((command + " >/dev/null 2>&1").c_str()); }

// The exit status of the child once it ended within `seconds`; -2 while it runs.
int wait_exit(pid_t pid, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -2;
}

// A display with openbox, the player's game folder and the player running in it.
struct dialog_session {
  x_server x;
  pid_t wm = -1, player = -1;
  temp_folder game, source;
  std::string env;  // "DISPLAY=:N " for shell commands

  bool start() {
    if (!x.start("800x600x24")) return false;
    x.use_for_sdl();
    env = "DISPLAY=" + x.display + " ";
    wm = start_child("/usr/bin/openbox", {}, {"DISPLAY=" + x.display});
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    return true;
  }
  // Builds the game (a window titled `title` that runs `start`, then idles)
  // and starts the player.
  bool start_player(const std::string& title, const std::vector<std::string>& args = {},
                    const std::string& start = "", const std::string& config = "") {
    source.write("main.txt", "config title \"" + title + "\"\nconfig size 320 240\nconfig window_kind 1\n" + config +
                             "global int r = 0\nglobal string lines[4]\n*SYSTEM_START\n" + start +
                             "*idle\nwait 1\ngoto idle\n");
    if (std::system(("'" + binary_dir + "/kxtool' asm '" + source.path() + "main.txt' '" + game.path() +
                     "game.kpf' >/dev/null 2>&1").c_str()) != 0)
      return false;
    fs::create_symlink(binary_dir + "/RIRud.so", game.path() + "RIRud.so");
    fs::create_symlink(binary_dir + "/zarvik", game.path() + "zarvik");
    game.write("kxcfg.dat", cpu_drawing_settings());
    // Under the sanitizers the leak check is off for this X client: SDL's X11
    // modules are unloaded before it runs, leaving allocations it cannot
    // name or suppress. Memory errors are still caught.
    player = start_child(game.path() + "zarvik", args,
                         {"DISPLAY=" + x.display, "SDL_AUDIODRIVER=dummy", "ASAN_OPTIONS=detect_leaks=0"});
    return player > 0;
  }
  // The visible window named `name` that is not `other`, waiting up to 10 s.
  std::string find_visible(const std::string& name, const std::string& other = "") {
    for (int i = 0; i < 200; ++i) {
      std::istringstream ids(output_of(env + "xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null"));
      for (std::string id; ids >> id;)
        if (id != other) return id;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }
  bool window_gone(const std::string& id) {
    for (int i = 0; i < 100; ++i) {
      if (output_of(env + "xwininfo -id " + id + " 2>/dev/null | grep -c IsViewable") != "1") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // Asks the window manager to close the window, as its close button does
  // (_NET_CLOSE_WINDOW): no keyboard focus needed.
  void close_window(const std::string& id) {
    Display* d = XOpenDisplay(x.display.c_str());
    if (!d) return;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = std::stoul(id);
    ev.xclient.message_type = XInternAtom(d, "_NET_CLOSE_WINDOW", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = CurrentTime;
    ev.xclient.data.l[1] = 2;  // from a pager: the user's own request
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XCloseDisplay(d);
  }
  // The player's exit status once it ended within `seconds`; -2 while it runs.
  int wait_player(double seconds) {
    const int status = wait_exit(player, seconds);
    if (status != -2) player = -1;
    return status;
  }
  ~dialog_session() {
    if (player > 0) {
      ::kill(player, SIGKILL);
      wait_child(player);
    }
    if (wm > 0) {
      ::kill(wm, SIGTERM);
      wait_child(wm);
    }
  }
};

struct screenshot {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  uint32_t at(int x, int y) const {
    const uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
    return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
  }
};

// The client area of window `id`, kept as NAME.png beside the build.
screenshot shoot(const dialog_session& s, const std::string& id, const std::string& name) {
  const std::string png = binary_dir + "/" + name + ".png", raw = s.game.path() + name + ".rgb";
  run(s.env + "import -window " + id + " '" + png + "'");
  run("convert '" + png + "' -depth 8 rgb:'" + raw + "'");
  screenshot out;
  std::istringstream size(output_of("identify -format '%w %h' '" + png + "'"));
  size >> out.width >> out.height;
  std::ifstream in(raw, std::ios::binary);
  out.rgb.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (out.rgb.size() != size_t(out.width) * out.height * 3) out.width = out.height = 0;
  return out;
}

// Compares the text lines the dialog shows with the same lines drawn by the
// font layer: the shot must hold the dialog's exact size and, in the text
// region, the same anti-aliased pixels.
void expect_text_matches(const screenshot& shot, const dialog_request& request) {
  SmoothTextFont* font = dialog_font();
  ASSERT_NE(font, nullptr);
  const dialog_layout l = layout_dialog(*font, request);
  ASSERT_EQ(shot.width, l.width);
  ASSERT_EQ(shot.height, l.height);
  int ink = 0, partial = 0, compared = 0, differing = 0;
  for (int i = 0; i < l.visible_lines; ++i) {
    const smooth_text_image t = font->render(l.lines[size_t(i)]);
    for (int r = 0; r < t.height; ++r)
      for (int c = 0; c < t.width && l.text_x + c < l.width; ++c) {
        const uint8_t a = t.alpha[size_t(r) * t.width + c];
        const uint32_t want = dialog_blend(dialog_background, dialog_ink, a);
        const uint32_t got = shot.at(l.text_x + c, l.text_y + i * l.line_height + r);
        ++compared;
        if (a) ++ink;
        if (a > 40 && a < 200) ++partial;
        int worst = 0;
        for (int k = 0; k < 24; k += 8) worst = std::max(worst, std::abs(int((want >> k) & 0xFF) - int((got >> k) & 0xFF)));
        if (worst > 4) ++differing;
      }
  }
  EXPECT_GT(ink, 200) << "no text drawn";
  EXPECT_GT(partial, 50) << "the text is not anti-aliased";
  EXPECT_EQ(differing, 0) << "of " << compared << " pixels of the text region";
}

dialog_request close_question_request() {
  dialog_request r;
  r.text_utf8 = "終了します。よろしいですか？";
  r.buttons = {{id_yes, "はい(Y)"}, {id_no, "いいえ(N)"}};
  return r;
}

// The centre of button `index` in the dialog's client coordinates.
std::string button_centre(const dialog_request& request, size_t index) {
  const dialog_layout l = layout_dialog(*dialog_font(), request);
  const dialog_rect& b = l.buttons.at(index);
  return std::to_string(b.x + b.width / 2) + " " + std::to_string(b.y + b.height / 2);
}

bool have_tools() {
  return fs::exists("/usr/bin/Xvfb") && on_path("xdotool") && on_path("import") && on_path("openbox") &&
         on_path("xwininfo");
}

// The layout asks SDL for the screen's usable height, as the player does.
struct sdl_video {
  bool ok = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
  ~sdl_video() {
    if (ok) SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }
};

}  // namespace

TEST(DialogX11, CloseQuestionIsDrawnByThePlayerAndYesEndsIt) {
  if (!have_tools()) GTEST_SKIP() << "needs Xvfb, openbox, xdotool, xwininfo and ImageMagick";
  dialog_session s;
  ASSERT_TRUE(s.start());
  sdl_video video;
  ASSERT_TRUE(s.start_player("DLGYES"));
  const std::string game = s.find_visible("DLGYES");
  ASSERT_FALSE(game.empty());
  s.close_window(game);
  const std::string dialog = s.find_visible("DLGYES", game);
  ASSERT_FALSE(dialog.empty()) << "no close question";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const screenshot shot = shoot(s, dialog, "dialog_x11_close_question");
  expect_text_matches(shot, close_question_request());
  run(s.env + "xdotool mousemove --window " + dialog + " " + button_centre(close_question_request(), 0) + " click 1");
  EXPECT_EQ(s.wait_player(5), 0);
}

TEST(DialogX11, CloseQuestionNoKeepsThePlayerThenSigtermEndsIt) {
  if (!have_tools()) GTEST_SKIP() << "needs Xvfb, openbox, xdotool, xwininfo and ImageMagick";
  dialog_session s;
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.start_player("DLGNO"));
  const std::string game = s.find_visible("DLGNO");
  ASSERT_FALSE(game.empty());
  // Answered by keyboard (Escape; the button's letter; the focus moved from
  // the default Yes by an arrow or Tab, then Enter or Space) and the mouse.
  for (const char* answer : {"key Escape", "key n", "key Right Return", "key Tab space", "mouse"}) {
    s.close_window(game);
    const std::string dialog = s.find_visible("DLGNO", game);
    ASSERT_FALSE(dialog.empty()) << answer;
    if (std::string(answer) == "mouse") {
      sdl_video video;
      run(s.env + "xdotool mousemove --window " + dialog + " " + button_centre(close_question_request(), 1) +
          " click 1");
    } else {
      run(s.env + "xdotool windowactivate --sync " + dialog + " " + answer);
    }
    EXPECT_TRUE(s.window_gone(dialog)) << answer;
    EXPECT_EQ(s.wait_player(0.5), -2) << "the player ended on No (" << answer << ")";
  }
  // A termination signal to the running player: no question, an orderly end.
  ::kill(s.player, SIGTERM);
  EXPECT_EQ(s.wait_player(2), 0);
}

TEST(DialogX11, SigtermWithTheCloseQuestionOpenEndsThePlayer) {
  if (!have_tools()) GTEST_SKIP() << "needs Xvfb, openbox, xdotool, xwininfo and ImageMagick";
  for (int sig : {SIGTERM, SIGINT}) {
    dialog_session s;
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.start_player("DLGSIG"));
    const std::string game = s.find_visible("DLGSIG");
    ASSERT_FALSE(game.empty());
    s.close_window(game);
    ASSERT_FALSE(s.find_visible("DLGSIG", game).empty());
    ::kill(s.player, sig);
    EXPECT_EQ(s.wait_player(2), 0) << "signal " << sig;
  }
}

TEST(DialogX11, StartUpErrorDialogBeforeAnyWindowIsReadableAndCloseEndsIt) {
  if (!have_tools()) GTEST_SKIP() << "needs Xvfb, openbox, xdotool, xwininfo and ImageMagick";
  dialog_session s;
  ASSERT_TRUE(s.start());
  sdl_video video;
  // "/info" shows the licence notice through the error dialog during
  // start-up, before the game window is made.
  ASSERT_TRUE(s.start_player("DLGINFO", {"/info"}));
  const std::string dialog = s.find_visible("License Information");
  ASSERT_FALSE(dialog.empty());
  EXPECT_EQ(output_of(s.env + "xdotool search --name '^DLGINFO$' 2>/dev/null"), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  dialog_request request;
  std::string text = sjis_to_utf8(error_text_for_code(100000));
  std::erase(text, '\r');
  request.text_utf8 = text;
  request.buttons = {{0, "Close"}};
  expect_text_matches(shoot(s, dialog, "dialog_x11_error_dialog"), request);
  run(s.env + "xdotool windowactivate --sync " + dialog + " key Return");
  EXPECT_NE(s.wait_player(5), -2) << "the player runs on after Close";
}

TEST(DialogX11, ErrorDialogIsModalOverTheGameWindowAndEndsTheRun) {
  if (!have_tools()) GTEST_SKIP() << "needs Xvfb, openbox, xdotool, xwininfo and ImageMagick";
  // Closed with Escape, and left open when SIGTERM comes: both end the run,
  // which failed (status 1).
  for (const std::string how : {"escape", "sigterm"}) {
    dialog_session s;
    ASSERT_TRUE(s.start());
    sdl_video video;
    ASSERT_TRUE(s.start_player("DLGERR", {}, "wait 5\ntext_lines file=\"nofile.txt\", output=lines\n"));
    const std::string game = s.find_visible("DLGERR");
    ASSERT_FALSE(game.empty());
    const std::string dialog = s.find_visible("ZARVIK Debug Info.");
    ASSERT_FALSE(dialog.empty()) << how;
    char owner[32];
    std::snprintf(owner, sizeof owner, "0x%lx", std::stoul(game));
    EXPECT_NE(output_of(s.env + "xprop -id " + dialog + " WM_TRANSIENT_FOR").find(owner), std::string::npos);
    EXPECT_NE(output_of(s.env + "xprop -id " + dialog + " _NET_WM_WINDOW_TYPE").find("DIALOG"), std::string::npos);
    if (how == "escape") {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      dialog_request request;
      request.text_utf8 = "[nofile.txt]ファイルが\n存在しません。";
      request.buttons = {{0, "Close"}};
      expect_text_matches(shoot(s, dialog, "dialog_x11_script_error"), request);
      run(s.env + "xdotool windowactivate --sync " + dialog + " key Escape");
      EXPECT_EQ(s.wait_player(5), 1);
    } else {
      ::kill(s.player, SIGTERM);
      EXPECT_EQ(s.wait_player(2), 1);
    }
  }
}

// With the debug switch and a script place the error dialog offers Edit
// (the default) beside Close; the letter C closes it and ends the run.
TEST(DialogX11, ErrorDialogWithAPlaceOffersEdit) {
  if (!have_tools()) GTEST_SKIP() << "needs Xvfb, openbox, xdotool, xwininfo and ImageMagick";
  dialog_session s;
  ASSERT_TRUE(s.start());
  sdl_video video;
  ASSERT_TRUE(s.start_player("DLGEDIT", {}, "wait 5\nwindow window=9, title=\"x\"\n", "config debug 1\n"));
  const std::string dialog = s.find_visible("ZARVIK Debug Info.");
  ASSERT_FALSE(dialog.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  dialog_request request;  // line 9: the window command after the five header lines
  request.text_utf8 = "[対象ファイル]\nmain.txt\n\n[場所]\n9 行目\n\n[内容]\n\n[window] window = 9 is outside 0..3.";
  request.buttons = {{1, "Edit"}, {0, "Close"}};
  expect_text_matches(shoot(s, dialog, "dialog_x11_error_edit"), request);
  run(s.env + "xdotool windowactivate --sync " + dialog + " key c");
  EXPECT_EQ(s.wait_player(5), 1);
}

// The box of a script, also from the frame thread (the main thread shows it).
class DialogX11Box : public testing::TestWithParam<bool> {};

TEST_P(DialogX11Box, ScriptMessageBoxAnswersByTheButtonsLetter) {
  if (!have_tools()) GTEST_SKIP() << "needs Xvfb, openbox, xdotool, xwininfo and ImageMagick";
  dialog_session s;
  ASSERT_TRUE(s.start());
  sdl_video video;
  ASSERT_TRUE(s.start_player("DLGBOX", {},
                             "wait 5\nmessage_box caption=\"QBOX\", text=\"セーブしますか？\", yes_no_cancel=1, "
                             "result=r\nif r == 3\nwindow window=0, title=\"ANSWER3\"\nend\n",
                             GetParam() ? "config frame_thread 1\n" : ""));
  const std::string dialog = s.find_visible("QBOX");
  ASSERT_FALSE(dialog.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  dialog_request request;
  request.text_utf8 = "セーブしますか？";
  request.buttons = {{id_yes, "はい(Y)"}, {id_no, "いいえ(N)"}, {id_cancel, "キャンセル(C)"}};
  // One picture per run: the two threading modes run side by side.
  expect_text_matches(shoot(s, dialog, GetParam() ? "dialog_x11_message_box_frame_thread" : "dialog_x11_message_box"),
                      request);
  run(s.env + "xdotool windowactivate --sync " + dialog + " key c");
  EXPECT_FALSE(s.find_visible("ANSWER3").empty()) << "Cancel did not store 3";
  ::kill(s.player, SIGINT);
  EXPECT_EQ(s.wait_player(2), 0);
}
INSTANTIATE_TEST_SUITE_P(Threads, DialogX11Box, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "FrameThread" : "MainThread"; });
