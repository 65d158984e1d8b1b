// Real movies through the FFmpeg player in whole headless games: the test
// makes each movie with the ffmpeg program (a flat colour and a 440 Hz tone),
// plays it in a rectangle of the main window, and checks the frame the
// player shows, the sound the mixer heard, the end, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/headless_run.h"
#include "sound/movie_commands.h"
#include "support/headless_game.h"
#include "support/temp_folder.h"

namespace {

bool have_ffmpeg() { return std::system("ffmpeg -hide_banner -loglevel quiet -version >/dev/null 2>&1") == 0; }

// A one-second movie: flat colour 0x2060C0 (R, G, B) at 160 x 120, 25 fps,
// and a 440 Hz tone.
bool make_movie(const std::string& path, const std::string& codecs) {
  const std::string command =
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i color=c=0x2060C0:size=160x120:rate=25:duration=1 "
      "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -shortest " +
      codecs + " '" + path + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string play_listing(const std::string& file) {
  std::string text = R"(config size 320 240
global int state = -1
global int kind = -1
global int ticks = 0
script main.txt
*SYSTEM_START
layer path="bg/", width=320, height=240, priority=1
movie_status file="@", output=kind
movie_play file="@", play=1, x=40, y=30, width=160, height=120, volume=256
*loop
ticks += 1
movie_status playing=1, output=state
wait 1
goto loop
)";
  for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, file);
  return text;
}

struct pixel {
  int b = 0, g = 0, r = 0;
};

// What the headless window shows: the presented frame with the movie over it.
pixel frame_pixel(headless_game& game, int x, int y) {
  headless_frame f = game.backend().ui.frame(0);
  if (x >= f.width || y >= f.height) return {-1, -1, -1};
  const uint8_t* p = f.bgra.data() + (static_cast<size_t>(y) * f.width + x) * 4;
  return {p[0], p[1], p[2]};
}

bool near_colour(const pixel& p, int r, int g, int b, int tolerance = 24) {
  return std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance && std::abs(p.b - b) <= tolerance;
}

// Zero crossings per second of the left channel and its peak, between two
// frame indexes of the mixer's output.
void tone_of(const std::vector<int16_t>& out, size_t from, size_t to, double& hz, int& peak) {
  int crossings = 0;
  peak = 0;
  to = std::min(to, out.size() / 2);
  for (size_t f = from + 1; f < to; ++f) {
    int a = out[(f - 1) * 2], b = out[f * 2];
    if ((a < 0) != (b < 0)) ++crossings;
    peak = std::max(peak, std::abs(b));
  }
  hz = to > from ? crossings / 2.0 * 44100.0 / static_cast<double>(to - from) : 0;
}

struct container_case {
  const char* name;
  const char* file;
  const char* codecs;
  int kind;  // MPEG kind of the file
};

class MovieDecode : public ::testing::TestWithParam<container_case> {};

TEST_P(MovieDecode, PlaysPictureAndToneInItsRectangleThenEnds) {
  if (!have_ffmpeg()) GTEST_SKIP() << "the ffmpeg program is not installed";
  const container_case& c = GetParam();
  temp_folder scratch;
  const std::string movie = scratch.path() + "/" + c.file;
  ASSERT_TRUE(make_movie(movie, c.codecs)) << c.codecs;

  headless_game game(play_listing(c.file));
  game.write_file(c.file, read_all(movie));
  ASSERT_EQ(game.start(), 0);
  game.run_ticks(30);  // half a second
  EXPECT_EQ(game.int_value("state"), 1);
  EXPECT_EQ(game.int_value("kind"), c.kind);
  // Inside the rectangle the movie's colour, outside the game's black.
  EXPECT_TRUE(near_colour(frame_pixel(game, 120, 90), 0x20, 0x60, 0xC0)) << frame_pixel(game, 120, 90).r;
  EXPECT_TRUE(near_colour(frame_pixel(game, 45, 35), 0x20, 0x60, 0xC0));
  EXPECT_TRUE(near_colour(frame_pixel(game, 20, 20), 0, 0, 0, 0));
  EXPECT_TRUE(near_colour(frame_pixel(game, 250, 200), 0, 0, 0, 0));

  int ticks = 30;
  while (game.int_value("state") == 1 && ticks < 240) ticks += game.run_ticks(1);
  EXPECT_EQ(game.int_value("state"), 0) << "the movie never ended";
  EXPECT_LT(ticks, 90);  // one second of movie at 60 frames a second, and a little
  game.run_ticks(2);
  EXPECT_TRUE(near_colour(frame_pixel(game, 120, 90), 0, 0, 0, 0));  // the picture has gone

  // The tone, heard through the mixer between 0.2 s and 0.8 s.
  std::vector<int16_t> out = game.backend().audio.output(0);
  double hz = 0;
  int peak = 0;
  tone_of(out, 44100 / 5, 44100 * 4 / 5, hz, peak);
  EXPECT_NEAR(hz, 440.0, 8.0);
  EXPECT_GT(peak, 1000);
  EXPECT_TRUE(game.error_codes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Containers, MovieDecode,
    ::testing::Values(container_case{"Mpeg1", "clip.mpg", "-c:v mpeg1video -b:v 800k -c:a mp2 -f mpeg", 1},
                      container_case{"Mpeg2", "clip.mpg", "-c:v mpeg2video -b:v 800k -c:a mp2 -f vob", 2},
                      container_case{"Avi", "clip.avi", "-c:v mpeg4 -q:v 3 -c:a pcm_s16le -f avi", 255},
                      container_case{"Wmv", "clip.wmv", "-c:v wmv2 -b:v 800k -c:a wmav2 -f asf", 255},
                      container_case{"Mp4", "clip.mp4", "-c:v mpeg4 -q:v 3 -c:a aac -f mp4", 255},
                      container_case{"WebM", "clip.webm", "-c:v libvpx -b:v 800k -c:a libvorbis -f webm", 255}),
    [](const ::testing::TestParamInfo<container_case>& i) { return std::string(i.param.name); });

// With no sound output (the device did not open) a movie plays to its end by
// the virtual clock, about as long as with one, its sound dropped: nothing is
// mixed. A movie that is only sound lasts its sound's length all the same.
TEST(MovieDecodeNoDevice, EndsOnTimeByTheClockWithItsSoundDropped) {
  if (!have_ffmpeg()) GTEST_SKIP() << "the ffmpeg program is not installed";
  struct movie_case {
    const char* what;
    const char* codecs;
    bool picture;
  };
  const movie_case cases[] = {{"picture and sound", "-c:v mpeg1video -b:v 800k -c:a mp2 -f mpeg", true},
                              {"sound only", "-map 1:a -c:a mp2 -f mpeg", false}};
  for (const movie_case& c : cases) {
    SCOPED_TRACE(c.what);
    temp_folder scratch;
    const std::string movie = scratch.path() + "/clip.mpg";
    ASSERT_TRUE(make_movie(movie, c.codecs));
    int end_tick[2] = {0, 0};
    for (int device = 0; device < 2; ++device) {
      SCOPED_TRACE(device ? "with a device" : "without a device");
      headless_game game(play_listing("clip.mpg"));
      game.write_file("clip.mpg", read_all(movie));
      if (!device) game.prepare([](HeadlessPlatform& p) { p.audio.set_open_result(false); });
      ASSERT_EQ(game.start(), 0);
      game.run_ticks(30);
      EXPECT_EQ(game.int_value("state"), 1);
      if (c.picture) {
        EXPECT_TRUE(near_colour(frame_pixel(game, 120, 90), 0x20, 0x60, 0xC0));
      }
      int ticks = 30;
      while (game.int_value("state") == 1 && ticks < 240) ticks += game.run_ticks(1);
      EXPECT_EQ(game.int_value("state"), 0) << "the movie never ended";
      end_tick[device] = ticks;
      game.run_ticks(2);
      EXPECT_TRUE(near_colour(frame_pixel(game, 120, 90), 0, 0, 0, 0));
      const std::vector<int16_t> out = game.backend().audio.output(0);
      const bool heard = std::any_of(out.begin(), out.end(), [](int16_t v) { return v != 0; });
      EXPECT_EQ(heard, device == 1);
      EXPECT_TRUE(game.error_codes().empty());
    }
    // One second of movie at 60 frames a second either way.
    EXPECT_GE(end_tick[0], 58);
    EXPECT_NEAR(end_tick[0], end_tick[1], 3) << end_tick[0] << " " << end_tick[1];
  }
}

// Damaged movies end the movie with a log line, never the process.
TEST(MovieDecodeDamaged, TruncatedAndByteFlippedFilesEndCleanly) {
  if (!have_ffmpeg()) GTEST_SKIP() << "the ffmpeg program is not installed";
  temp_folder scratch;
  const std::string movie = scratch.path() + "/clip.mpg";
  ASSERT_TRUE(make_movie(movie, "-c:v mpeg2video -b:v 800k -c:a mp2 -f vob"));
  const std::vector<uint8_t> whole = read_all(movie);
  ASSERT_GT(whole.size(), 4096u);
  std::vector<std::vector<uint8_t>> damaged;
  damaged.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * 11 / 20));
  damaged.emplace_back(whole.begin(), whole.begin() + 2100);  // the headers and barely a packet
  std::vector<uint8_t> flipped = whole;
  for (size_t i = 2048; i < flipped.size(); i += 97) flipped[i] ^= 0x5A;
  damaged.push_back(flipped);
  std::vector<uint8_t> noise(whole.begin(), whole.begin() + 64);
  for (size_t i = 0; i < 20000; ++i) noise.push_back(static_cast<uint8_t>(i * 2654435761u >> 13));
  damaged.push_back(noise);

  for (size_t k = 0; k < damaged.size(); ++k) {
    SCOPED_TRACE(k);
    headless_game game(play_listing("clip.mpg"));
    game.write_file("clip.mpg", damaged[k]);
    ASSERT_EQ(game.start(), 0);
    int ticks = 0;
    do {
      ticks += game.run_ticks(1);
    } while (game.int_value("state") != 0 && ticks < 300);
    EXPECT_EQ(game.int_value("state"), 0);
    game.run_ticks(2);
    EXPECT_FALSE(game.quitting());
  }
}

}  // namespace
