// Movie playback: the arithmetic of volumes, rectangles and the MPEG kind;
// the commands' state machine over a fake player put into the headless
// platform; and real decoding of movies the test makes with the ffmpeg
// program, through whole headless games (frames, sound, end, damaged files).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/frame_loop.h"
#include "app/headless_run.h"
#include "sound/movie_commands.h"
#include "support/headless_game.h"

namespace {

// ---------------------------------------------------------------- arithmetic

TEST(MovieArithmetic, VolumeCurves) {
  struct row {
    int32_t volume, dshow, mci_level;
  };
  const row rows[] = {
      {256, 0, 1000}, {128, -1204, 500}, {64, -2408, 250}, {1, -9632, 3}, {0, -10000, 0}, {-5, -10000, -19},
      {300, 0, 1171},
  };
  for (const row& r : rows) {
    EXPECT_EQ(dshow_movie_volume(r.volume), r.dshow) << r.volume;
    EXPECT_EQ(mci_movie_level(r.volume), r.mci_level) << r.volume;
  }
  // MCI's level is linear: half the level is 6 dB down.
  EXPECT_EQ(mci_level_attenuation(1000), 0);
  EXPECT_EQ(mci_level_attenuation(500), -602);
  EXPECT_EQ(mci_level_attenuation(0), -10000);
  EXPECT_EQ(mci_level_attenuation(2000), 0);
}

movie_view view(int lw, int lh, int dw, int dh, int ox, int oy, int sw, int sh, uint8_t policy) {
  movie_view v;
  v.logical_width = lw, v.logical_height = lh;
  v.drawing_width = dw, v.drawing_height = dh;
  v.origin_x = ox, v.origin_y = oy;
  v.display_width = sw, v.display_height = sh;
  v.scaling_policy = policy;
  return v;
}

void expect_rect(const movie_rect& r, int x, int y, int w, int h, const char* what) {
  EXPECT_EQ(r.x, x) << what;
  EXPECT_EQ(r.y, y) << what;
  EXPECT_EQ(r.width, w) << what;
  EXPECT_EQ(r.height, h) << what;
}

TEST(MovieArithmetic, RectanglesAndLetterbox) {
  // DirectShow: scaled to the drawing size, moved by the origin.
  expect_rect(dshow_movie_rect(view(640, 480, 1280, 960, 10, 20, 1300, 1000, 1), 160, 120, 320, 240), 330, 260, 640,
              480, "dshow doubled");
  expect_rect(dshow_movie_rect(view(640, 480, 640, 480, 0, 0, 640, 480, 1), 0, 0, 640, 480), 0, 0, 640, 480,
              "dshow 1:1");
  // A zero logical size leaves that axis unscaled.
  expect_rect(dshow_movie_rect(view(0, 0, 800, 600, 5, 6, 800, 600, 1), 10, 20, 30, 40), 15, 26, 30, 40,
              "dshow no logical size");
  // MCI: the drawing size, or with policy 2 the letterbox inside the display.
  expect_rect(mci_movie_rect(view(640, 480, 1280, 960, 10, 20, 1300, 1000, 1), 160, 120, 320, 240), 330, 260, 640,
              480, "mci doubled");
  expect_rect(mci_movie_rect(view(640, 480, 640, 480, 0, 0, 1920, 1080, 2), 0, 0, 640, 480), 240, 0, 1440, 1080,
              "pillarbox on a wide display");
  expect_rect(mci_movie_rect(view(640, 480, 640, 480, 0, 0, 1000, 1000, 2), 0, 0, 640, 480), 0, 125, 1000, 750,
              "letterbox on a square display");
  // No logical size at all: both sides count as 1, nothing divides by 0.
  expect_rect(mci_movie_rect(view(0, 0, 640, 480, 0, 0, 640, 480, 2), 1, 1, 1, 1), 560, 480, 480, 480, "zero size");
  expect_rect(mci_movie_rect(view(640, 0, 640, 480, 0, 0, 640, 480, 2), 0, 0, 640, 1), 0, 239, 640, 1,
              "zero height");
}

TEST(MovieArithmetic, MpegKindFromFirstBytes) {
  struct row {
    std::vector<uint8_t> bytes;
    int kind;
  };
  const row rows[] = {
      {{0x00, 0x00, 0x01, 0xBA, 0x21}, 1},
      {{0x00, 0x00, 0x01, 0xBA, 0x2F}, 1},
      {{0x00, 0x00, 0x01, 0xBA, 0x44}, 2},
      {{0x00, 0x00, 0x01, 0xBA, 0xFF}, 2},
      {{0x00, 0x00, 0x01, 0xBA, 0x10}, 255},
      {{0x00, 0x00, 0x01, 0xBA, 0x30}, 255},
      {{0x00, 0x00, 0x01, 0xB3, 0x44}, 255},  // a video sequence, not a pack
      {{'R', 'I', 'F', 'F', 0x00}, 255},
      {{0x00, 0x00, 0x01, 0xBA}, 255},  // shorter than five bytes
      {{}, 255},
  };
  for (const row& r : rows) EXPECT_EQ(mpeg_kind_of_bytes(r.bytes.data(), r.bytes.size()), r.kind) << r.bytes.size();
}

// ---------------------------------------------------------------- fake player

struct fake_movie_player final : MoviePlayer {
  Ui* ui = nullptr;
  bool refuse = false;
  std::vector<std::string> calls;
  std::string path;
  movie_rect rect;
  int32_t volume = 1;
  int updates = 0;
  bool ended = false;

  bool play(const std::string& host_path, int, const movie_rect& r, int32_t v, std::string* error) override {
    calls.push_back("play");
    if (refuse) {
      *error = "refused";
      return false;
    }
    path = host_path, rect = r, volume = v, ended = false;
    return true;
  }
  void stop() override { calls.push_back("stop"); }
  void close() override { calls.push_back("close"); }
  void set_volume(int32_t v) override {
    calls.push_back("volume");
    volume = v;
  }
  void set_rect(const movie_rect& r) override {
    calls.push_back("rect");
    rect = r;
  }
  void update() override { ++updates; }
  bool take_end(std::string* reason) override {
    if (!ended) return false;
    ended = false;
    *reason = "";
    return true;
  }
  void finish() {
    ended = true;
    ui_event e;
    e.message = msg_movie_event;
    ui->post_event(e);
  }
};

int render_calls = 0;
int counting_render(int window) {
  ++render_calls;
  return default_frame_steps.render_window(window);
}

struct fake_game {
  fake_movie_player fake;  // outlives the game, whose shutdown closes it
  headless_game game;
  explicit fake_game(const std::string& listing, bool mci = false) : game(listing) {
    game.write_file("movie/Intro.MPG", {0x00, 0x00, 0x01, 0xBA, 0x44, 0, 0, 0});
    game.write_file("short.mpg", {0x00, 0x00, 0x01, 0xBA});
    // kxcfg.dat slot 0: the movie behaviour (1 DirectShow, 0 MCI).
    game.write_file("kxcfg.dat", {static_cast<uint8_t>(mci ? 0 : 1), 0, 0, 0});
    EXPECT_EQ(game.start(), 0);
    fake.ui = &game.backend().ui;
    game.backend().services.movies = &fake;
  }
};

const char* status_listing = R"(config size 320 240
global int state = 0
global int kind1 = -1
global int kind2 = -1
global int kind3 = -1
global int vol = 0
global int w = 0
global int after = -1
global int n = 0
script main.txt
*SYSTEM_START
movie_status file="MOVIE/intro.mpg", output=kind1
movie_status file="short.mpg", output=kind2
movie_status file="missing.mpg", output=kind3
movie_play file="nothing.mpg", play=1
movie_play file="movie/intro.mpg", play=1, x=10, y=20, width=100, height=50, volume=128
*playing
n += 1
movie_status playing=1, output=state
if n < 5
  wait 1
  goto playing
end
movie_play volume=64
movie_status volume=1, output=vol
movie_play width+=20
movie_status width=1, output=w
movie_play play=0
movie_status playing=1, output=after
movie_stop
movie_status volume=1, output=vol
*idle
wait 1
goto idle
)";

TEST(MovieCommands, PlayStatusVolumeStopAndClose) {
  fake_game g(status_listing);
  g.game.run_ticks(3);
  EXPECT_EQ(g.game.int_value("kind1"), 2);    // found whatever the case of its name
  EXPECT_EQ(g.game.int_value("kind2"), 255);  // four bytes only
  EXPECT_EQ(g.game.int_value("kind3"), 0);
  EXPECT_EQ(g.game.int_value("state"), 1);
  // The missing file was ignored: one play, of the file that exists.
  ASSERT_EQ(g.fake.calls, std::vector<std::string>{"play"});
  EXPECT_NE(g.fake.path.find("movie/Intro.MPG"), std::string::npos) << g.fake.path;
  expect_rect(g.fake.rect, 10, 20, 100, 50, "the rectangle at 1:1");
  EXPECT_EQ(g.fake.volume, -1204);
  EXPECT_GT(g.fake.updates, 0);
  g.game.run_ticks(10);
  EXPECT_EQ(g.fake.volume, -2408);  // command 60 with only the volume
  EXPECT_EQ(g.game.int_value("w"), 120);
  EXPECT_EQ(g.game.int_value("after"), 0);
  EXPECT_EQ(g.game.int_value("vol"), 256);  // command 61 puts it back
  const std::vector<std::string> expected = {"play", "volume", "stop", "close"};
  EXPECT_EQ(g.fake.calls, expected);
  EXPECT_TRUE(g.game.error_codes().empty());
}

const char* end_listing = R"(config size 320 240
global int state = -1
global int renders = 0
script main.txt
*SYSTEM_START
movie_play file="movie/intro.mpg", play=1
*loop
movie_status playing=1, output=state
wait 1
goto loop
)";

TEST(MovieCommands, EndEventEndsPlaybackAndRenderingComesBack) {
  for (bool mci : {false, true}) {
    SCOPED_TRACE(mci ? "MCI" : "DirectShow");
    fake_game g(end_listing, mci);
    frame_steps.render_window = counting_render;
    render_calls = 0;
    g.game.run_ticks(10);
    EXPECT_EQ(g.game.int_value("state"), 1);
    EXPECT_EQ(render_calls, 0);  // no rendering while the movie plays
    expect_rect(g.fake.rect, 0, 0, 320, 240, "the whole main window");
    g.fake.finish();
    g.game.run_ticks(3);
    EXPECT_EQ(g.game.int_value("state"), 0);
    EXPECT_GT(render_calls, 0);
    const int updates = g.fake.updates;
    g.game.run_ticks(3);
    if (!mci) {
      EXPECT_EQ(g.fake.updates, updates);  // closed
    }
    // DirectShow closes the movie at its end; MCI leaves the last picture up.
    const bool closed = !g.fake.calls.empty() && g.fake.calls.back() == "close";
    EXPECT_EQ(closed, !mci);
    frame_steps = default_frame_steps;
  }
}

const char* refused_listing = R"(config size 320 240
global int state = -1
script main.txt
*SYSTEM_START
movie_play file="movie/intro.mpg", play=1
movie_status playing=1, output=state
*idle
wait 1
goto idle
)";

TEST(MovieCommands, AFailedOpenCountsAsEnded) {
  {
    SCOPED_TRACE("DirectShow");
    fake_game g(refused_listing);
    g.fake.refuse = true;
    render_calls = 0;
    frame_steps.render_window = counting_render;
    g.game.run_ticks(5);
    EXPECT_EQ(g.game.int_value("state"), 0);
    EXPECT_EQ(g.game.error_codes(), std::vector<int>{101520});
    EXPECT_GT(render_calls, 0);  // rendering goes on
    bool logged = false;
    for (const std::string& line : g.game.log_lines()) logged |= line.find("refused") != std::string::npos;
    EXPECT_TRUE(logged);
    frame_steps = default_frame_steps;
  }
  {
    SCOPED_TRACE("MCI");
    fake_game g(refused_listing, true);
    g.fake.refuse = true;
    g.game.run_ticks(5);
    EXPECT_EQ(g.game.int_value("state"), 0);
    EXPECT_TRUE(g.game.error_codes().empty());
  }
}

}  // namespace
