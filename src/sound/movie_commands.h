// Movie playback: commands 60 (play), 61 (close), 62 (status and MPEG kind)
// over the platform's MoviePlayer, the movie state they share, and the steps
// the frame tick, the window procedure and shutdown call.
//
// kxcfg.dat slot 0 picks one of two behaviours for the whole run, as the two
// back ends of the original did: 1 (DirectShow) and any other value (MCI).
// They share one player and differ in the volume curve, in how the rectangle
// is placed, and in what the end does (DirectShow closes the movie, MCI only
// stops it and leaves its last picture up until command 61).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

constexpr int movie_play_command = 60;
constexpr int movie_stop_command = 61;
constexpr int movie_status_command = 62;

struct movie_player_record {
  std::string path;  // Shift-JIS game path, lower case, '\' separated; empty when none
  std::atomic<uint8_t> playing{0};  // from a successful play until stop, close or the end
  int32_t x = 0, y = 0, width = 0, height = 0;  // main window, logical coordinates
  int32_t volume = 256;  // 0..256
  uint8_t mci_result = 0;  // MCI mode: the last play opened the movie
  uint8_t open = 0;        // the player holds a movie (its picture is up)
};
extern movie_player_record movie_player;

// Where the rectangle lands: the main window's logical size, the size and
// origin of the drawn picture inside the client, the display (client) size
// and the scaling policy (engine_settings numbering).
struct movie_view {
  int logical_width = 0, logical_height = 0;
  int drawing_width = 0, drawing_height = 0;
  int origin_x = 0, origin_y = 0;
  int display_width = 0, display_height = 0;
  uint8_t scaling_policy = 0;
};
movie_view current_movie_view();
// DirectShow: the rectangle scaled from the logical size to the drawing size
// (per axis, skipped when that logical size is 0) and moved by the origin.
movie_rect dshow_movie_rect(const movie_view& view, int x, int y, int width, int height);
// MCI: scaled to the drawing size, or with scaling policy 2 to the letterbox
// of the logical size inside the display.
movie_rect mci_movie_rect(const movie_view& view, int x, int y, int width, int height);

// Volume 0..256 as DirectShow's attenuation in hundredths of a decibel.
int32_t dshow_movie_volume(int32_t volume);
// Volume 0..256 as MCI's level 0..1000, and that level as an attenuation.
int32_t mci_movie_level(int32_t volume);
int32_t mci_level_attenuation(int32_t level);

// The MPEG kind of a file's first bytes: 1 MPEG-1, 2 MPEG-2, 255 anything
// else (a file shorter than five bytes included).
int mpeg_kind_of_bytes(const uint8_t* bytes, size_t size);

int cmd_movie_play();
int cmd_movie_stop();
int cmd_movie_status();

// The tick skips rendering and presenting while this holds.
bool movie_playing();
// The tick's step: the frame the open movie's clock has reached.
void present_movie_frame();
// msg_movie_event: the movie may have ended.
void movie_window_event();
// The main window changed size: the picture follows its rectangle.
void movie_follow_window();
// Shutdown and command 61.
void dshow_movie_close();
void mci_movie_close();
