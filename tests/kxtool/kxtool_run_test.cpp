// kxtool run on the built demo game: frames come out as PNG files of the
// main window's composited picture, and they change as the layers move.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image/decode_png.h"
#include "support/temp_folder.h"

namespace {

int run_kxtool(const std::string& arguments) {
  const std::string command = "'" + std::string(ZARVIK_BINARY_DIR) + "/kxtool' " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct frame_picture {
  picture_buffer p;
  ~frame_picture() { free_picture_buffer(p); }
  uint32_t at(int x, int y) const {
    const uint8_t* q = p.pixels + (static_cast<size_t>(y) * p.width + x) * 4;
    return uint32_t(q[3]) << 24 | uint32_t(q[2]) << 16 | uint32_t(q[1]) << 8 | q[0];
  }
};

bool load_frame(const std::string& path, frame_picture& out) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return decode_png(bytes.data(), bytes.size(), path, out.p) == 0;
}

// The demo pack alone in a game folder of its own: beside the build's copy lie
// the GPU demo's pack and the opening movie, which the run would take in.
std::string demo_pack_in(const temp_folder& game) {
  const std::string built = std::string(ZARVIK_BINARY_DIR) + "/demo/demo.kpf";
  if (!std::filesystem::exists(built)) return "";
  std::filesystem::copy_file(built, game.path() + "demo.kpf");
  return game.path() + "demo.kpf";
}

}  // namespace

TEST(KxtoolRun, TheDemoMovesFadesAndBlends) {
  temp_folder game;
  const std::string pack = demo_pack_in(game);
  if (pack.empty()) GTEST_SKIP() << "the demo pack is not built";
  temp_folder out;
  ASSERT_EQ(run_kxtool("run '" + pack + "' --frames 120 --every 30 --out '" + out.path() + "' --audio '" + out.path() +
                       "/sound.wav'"),
            0);
  EXPECT_FALSE(std::filesystem::exists(out.path() + "/frame_00001.png"));
  frame_picture a, b;
  ASSERT_TRUE(load_frame(out.path() + "/frame_00060.png", a));
  ASSERT_TRUE(load_frame(out.path() + "/frame_00120.png", b));
  ASSERT_EQ(a.p.width, 640);
  ASSERT_EQ(a.p.height, 480);
  // At frame 120 the ball is at (500, 140): its orange is under (548, 188),
  // where at frame 60 there was only the sky.
  const uint32_t ball = b.at(548, 188), sky = a.at(548, 188);
  EXPECT_GT((ball >> 16) & 0xFF, 200u);
  EXPECT_LT(ball & 0xFF, 150u);
  EXPECT_GT(sky & 0xFF, (sky >> 16) & 0xFF);  // bluish
  // The panel fades: at frame 90 it is opaque, at frame 60 two thirds.
  frame_picture c;
  ASSERT_TRUE(load_frame(out.path() + "/frame_00090.png", c));
  EXPECT_NE(a.at(100, 100), c.at(100, 100));

  // The swirled copy of the panel (40..179, 200..339) turns with the swing:
  // its middle differs between frames 60 and 120, and it is not the sky.
  EXPECT_NE(a.at(110, 260), b.at(110, 260));
  EXPECT_NE(a.at(110, 260), a.at(548, 188));

  // The message box is drawn over the scene: its light border at (40, 300).
  EXPECT_GT((b.at(40, 300) >> 16) & 0xFF, 150u);

  // The music plays: the mixed sound is a stereo WAV of the run's two
  // seconds, and not silence.
  std::vector<uint8_t> wav;
  FILE* f = std::fopen((out.path() + "/sound.wav").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  for (int ch; (ch = std::fgetc(f)) != EOF;) wav.push_back(static_cast<uint8_t>(ch));
  std::fclose(f);
  ASSERT_GT(wav.size(), 44u);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(wav[22], 2);  // channels
  int peak = 0;
  for (size_t i = 44; i + 1 < wav.size(); i += 2) peak = std::max(peak, std::abs(int(int16_t(wav[i] | wav[i + 1] << 8))));
  EXPECT_GT(peak, 4000);
}

TEST(KxtoolRun, FakeDisplaysAndTheWindowCallsOfARun) {
  temp_folder game;
  const std::string pack = demo_pack_in(game);
  if (pack.empty()) GTEST_SKIP() << "the demo pack is not built";
  temp_folder out;
  const std::string calls = out.path() + "/calls.txt";
  ASSERT_EQ(run_kxtool("run '" + pack + "' --frames 2 --out '" + out.path() + "' --display 1024x768" +
                       " --display 800x600+1024+0@640x480 --calls '" + calls + "'"),
            0);
  std::string text;
  FILE* f = std::fopen(calls.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  // The drag limits come from the first display: 640 x 480 fits 1024 x 768 whole.
  EXPECT_NE(text.find("create_window 0\n"), std::string::npos);
  EXPECT_NE(text.find("size_limits 0 160x120 1024x768\n"), std::string::npos);
  EXPECT_EQ(run_kxtool("run '" + pack + "' --frames 2 --out '" + out.path() + "' --display 12xx"), 2);
}

// A loose movie beside the pack that is run: the frames show the
// movie's picture in its rectangle and the WAV holds its tone.
TEST(KxtoolRun, WritesMovieFramesAndSound) {
  if (std::system("ffmpeg -hide_banner -loglevel quiet -version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "the ffmpeg program is not installed";
  temp_folder game, out;
  std::filesystem::create_directories(game.path() + "/movie");
  ASSERT_EQ(std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i color=c=0xC04020:size=160x120:rate=25:"
                         "duration=1 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:v mpeg2video "
                         "-b:v 800k -c:a mp2 -f vob '" + game.path() + "/movie/Clip.MPG' >/dev/null 2>&1")
                            .c_str()),
            0);
  const std::string listing = out.path() + "/movie.txt";
  FILE* f = std::fopen(listing.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("config size 320 240\nscript main.txt\n*SYSTEM_START\nlayer path=\"bg/\", width=320, height=240\n"
             "movie_play file=\"movie/clip.mpg\", play=1, x=100, y=60, width=160, height=120\n*idle\nwait 1\n"
             "goto idle\n",
             f);
  std::fclose(f);
  ASSERT_EQ(run_kxtool("asm '" + listing + "' '" + game.path() + "/game.kpf'"), 0);
  // Given the pack, the run takes place in the pack's folder, movie and all.
  ASSERT_EQ(run_kxtool("run '" + game.path() + "/game.kpf' --frames 30 --every 30 --out '" + out.path() + "' --audio '" +
                       out.path() + "/sound.wav'"),
            0);
  frame_picture a;
  ASSERT_TRUE(load_frame(out.path() + "/frame_00030.png", a));
  ASSERT_EQ(a.p.width, 320);
  const uint32_t inside = a.at(180, 120), outside = a.at(50, 50);
  EXPECT_NEAR(int((inside >> 16) & 0xFF), 0xC0, 24);
  EXPECT_NEAR(int((inside >> 8) & 0xFF), 0x40, 24);
  EXPECT_NEAR(int(inside & 0xFF), 0x20, 24);
  EXPECT_EQ(outside & 0xFFFFFF, 0u);
  EXPECT_EQ(a.at(99, 59) & 0xFFFFFF, 0u);  // just outside the rectangle's corner

  std::vector<uint8_t> wav;
  FILE* w = std::fopen((out.path() + "/sound.wav").c_str(), "rb");
  ASSERT_NE(w, nullptr);
  for (int ch; (ch = std::fgetc(w)) != EOF;) wav.push_back(static_cast<uint8_t>(ch));
  std::fclose(w);
  ASSERT_GT(wav.size(), 44u + 4 * 17640);
  // Left channel zero crossings between 0.1 s and 0.4 s: a 440 Hz tone.
  int crossings = 0, previous = 0;
  for (size_t frame = 4410; frame < 17640; ++frame) {
    const size_t at = 44 + frame * 4;
    const int v = int16_t(wav[at] | wav[at + 1] << 8);
    if (frame > 4410 && (v < 0) != (previous < 0)) ++crossings;
    previous = v;
  }
  EXPECT_NEAR(crossings / 2.0 / 0.3, 440.0, 10.0);
}

TEST(KxtoolRun, RefusesBadArguments) {
  EXPECT_EQ(run_kxtool("run"), 2);
  EXPECT_EQ(run_kxtool("run x --frames 0 --out y"), 2);
  temp_folder out;
  EXPECT_EQ(run_kxtool("run /nonexistent/game --frames 2 --out '" + out.path() + "'"), 1);
}

namespace {

// Runs kxtool with standard error kept; the exit status.
int run_kxtool_capturing(const std::string& arguments, std::string& err, const temp_folder& scratch) {
  const std::string log = scratch.path() + "/stderr.txt";
  const std::string command =
      "'" + std::string(ZARVIK_BINARY_DIR) + "/kxtool' " + arguments + " >/dev/null 2>'" + log + "'";
  const int status = std::system(command.c_str());
  err.clear();
  if (FILE* f = std::fopen(log.c_str(), "rb")) {
    for (int c; (c = std::fgetc(f)) != EOF;) err += static_cast<char>(c);
    std::fclose(f);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// A game that ends on an error ends `kxtool run` with a failure status, and
// every report on the way is printed: script errors, sound-thread failures,
// message boxes and the error lines of info.txt. A game that quits by itself
// succeeds.
TEST(KxtoolRun, EveryReportIsPrintedAndAnErrorEndFails) {
  const struct {
    const char* name;
    const char* listing;
    int status;
    const char* printed;
  } cases[] = {
      {"script error", "script main.txt\n*SYSTEM_START\nwait 2\ngoto (\"nowhere\")\n", 1, "error 108180"},
      {"damaged sound", "script main.txt\n*SYSTEM_START\nsound name=\"s\", file=\"sound/bad.ogg\", play=1\n*i\nwait 1\ngoto i\n",
       1, "sound error 1030"},
      {"damaged picture", "script main.txt\n*SYSTEM_START\nlayer path=\"p\", file=\"cg/bad.png\"\n*i\nwait 1\ngoto i\n", 1,
       "error 100240"},
      {"damaged movie (a line of info.txt)",
       "script main.txt\n*SYSTEM_START\nmovie_play file=\"movie/bad.mpg\", play=1\n*i\nwait 1\ngoto i\n", 0,
       "info.txt: movie [movie"},
      {"no error", "script main.txt\n*SYSTEM_START\n*i\nwait 1\ngoto i\n", 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_folder dir;
    dir.write("main.txt", std::string(c.listing));
    dir.write("game/sound/bad.ogg", std::string());
    dir.write("game/cg/bad.png", std::string("\x89PNG\r\n\x1a\nbroken"));
    dir.write("game/movie/bad.mpg", std::string("not a movie at all"));
    std::string err;
    ASSERT_EQ(run_kxtool_capturing("asm '" + dir.path() + "/main.txt' '" + dir.path() + "/game/game.kpf'", err, dir), 0) << err;
    EXPECT_EQ(run_kxtool_capturing("run '" + dir.path() + "/game' --frames 30 --out '" + dir.path() + "/out'", err, dir),
              c.status)
        << err;
    if (c.printed) {
      EXPECT_NE(err.find(c.printed), std::string::npos) << err;
    }
  }
}

// The sound thread keeps step with the game's virtual clock: the demo mixes
// the same WAV bytes on every run, also while another process loads the CPU.
TEST(KxtoolRun, TheDemoMixesTheSameWavEveryRun) {
  temp_folder game;
  const std::string pack = demo_pack_in(game);
  if (pack.empty()) GTEST_SKIP() << "the demo pack is not built";
  temp_folder out;
  auto run = [&](int n) {
    const std::string dir = out.path() + "/run" + std::to_string(n);
    EXPECT_EQ(run_kxtool("run '" + pack + "' --frames 240 --every 240 --out '" + dir + "' --audio '" + dir + "/s.wav'"),
              0);
    std::vector<uint8_t> wav;
    if (FILE* f = std::fopen((dir + "/s.wav").c_str(), "rb")) {
      for (int c; (c = std::fgetc(f)) != EOF;) wav.push_back(static_cast<uint8_t>(c));
      std::fclose(f);
    }
    return wav;
  };
  const std::vector<uint8_t> first = run(1);
  ASSERT_GT(first.size(), 44u + 4 * 44100u);
  EXPECT_TRUE(run(2) == first);
  // Two busy processes compete for the cores during the third run.
  std::vector<pid_t> busy;
  for (int i = 0; i < 2; ++i) {
    pid_t p = fork();
    if (p == 0) {
      volatile unsigned long k = 0;
      for (;;) k = k + 1;
    }
    if (p > 0) busy.push_back(p);
  }
  const std::vector<uint8_t> third = run(3);
  for (pid_t p : busy) {
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
  }
  EXPECT_TRUE(third == first);
}
