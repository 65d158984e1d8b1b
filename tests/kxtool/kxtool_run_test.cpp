// kxtool run on the built demo game: frames come out as PNG files of the
// main window's composited picture, and they change as the layers move.
#include <gtest/gtest.h>

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

}  // namespace

TEST(KxtoolRun, TheDemoMovesFadesAndBlends) {
  const std::string pack = std::string(ZARVIK_BINARY_DIR) + "/demo/demo.kpf";
  if (!std::filesystem::exists(pack)) GTEST_SKIP() << "the demo pack is not built";
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

// A game folder with a loose movie beside its pack: the frames show the
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
  ASSERT_EQ(run_kxtool("run '" + game.path() + "' --frames 30 --every 30 --out '" + out.path() + "' --audio '" +
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
