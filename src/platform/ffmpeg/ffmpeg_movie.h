// The movie player over FFmpeg (libavformat, libavcodec, libswscale,
// libswresample), shared by the real and the headless platform. Every
// container and codec the installed libraries decode plays.
//
// One decoding thread per movie demuxes and decodes both streams: pictures
// are converted to BGRA at the size of the movie's rectangle into a small
// queue, sound is resampled to the device's rate into a FIFO that the mixer
// pulls as a stream. The movie's clock is what the mixer has taken from that
// stream (the platform clock when there is no sound), and update() shows the
// frame that clock has reached through the Ui's overlay.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

struct ffmpeg_movie_options {
  // Headless runs: a consumer that finds nothing due waits (real time, at most
  // `wait_limit_ms`) for the decoder instead of going on, so every frame and
  // every sample comes out the same on every run, however fast virtual time is.
  bool wait_for_decoder = false;
  uint32_t wait_limit_ms = 5000;
  size_t video_queue_frames = 6;
  uint32_t audio_queue_ms = 1500;
};

// Calls come from one thread at a time: the engine makes them from the frame
// tick and from the window procedure, which never run together.
class FfmpegMoviePlayer final : public MoviePlayer {
 public:
  FfmpegMoviePlayer(Ui* ui, AudioDevice* audio, Clock* clock, const ffmpeg_movie_options& options = {});
  ~FfmpegMoviePlayer() override;
  FfmpegMoviePlayer(const FfmpegMoviePlayer&) = delete;
  FfmpegMoviePlayer& operator=(const FfmpegMoviePlayer&) = delete;

  bool play(const std::string& host_path, int window, const movie_rect& rect, int32_t volume,
            std::string* error) override;
  void stop() override;
  void close() override;
  void set_volume(int32_t hundredths_db) override;
  void set_rect(const movie_rect& rect) override;
  void update() override;
  bool take_end(std::string* reason) override;

  // Test side: frames shown so far by update(), and whether a movie is open.
  uint64_t frames_shown() const;
  bool is_open() const;

  // Decodes a whole file as fast as it can through the player's own path
  // (pictures converted to BGRA at `width` x `height`, 0 for the movie's own
  // size; sound resampled to 44100 Hz stereo). Returns the pictures decoded,
  // -1 with the reason in `error` when the file cannot be played or the
  // decoder gave up.
  static int64_t decode_all(const std::string& host_path, int width, int height, std::string* error);

  struct session;

 private:
  void end_locked();

  Ui* ui_;
  AudioDevice* audio_;
  Clock* clock_;
  ffmpeg_movie_options options_;
  std::unique_ptr<session> session_;
  int32_t volume_ = 0;
  uint64_t frames_shown_ = 0;
  bool ended_ = false, end_taken_ = false;
  std::string end_reason_;
};
