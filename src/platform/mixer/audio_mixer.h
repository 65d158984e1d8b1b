// The software mixer under every audio device: looping PCM ring buffers mixed
// into interleaved stereo 16-bit frames at the output rate. Backends differ only
// in who pulls the frames (SDL's audio callback, or virtual time headless).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

class audio_mixer {
 public:
  explicit audio_mixer(int output_rate = 44100);
  ~audio_mixer();
  audio_mixer(const audio_mixer&) = delete;
  audio_mixer& operator=(const audio_mixer&) = delete;

  int output_rate() const;
  void set_output_rate(int rate);
  // Called (outside the mixer's lock) before every buffer operation, so a
  // backend can bring the mix up to date first (the headless device renders up
  // to the virtual clock's now).
  void set_before_access(std::function<void()> hook);

  std::unique_ptr<AudioBuffer> create_buffer(const audio_buffer_format& format, uint32_t bytes);
  // A stream pulled from `source` at the output rate (paused at first).
  std::unique_ptr<AudioStream> create_stream(audio_stream_source source);
  // Mixes `frames` stereo frames (2 * frames samples) into `out`.
  void render(int16_t* out, size_t frames);
  // Moves every playing voice on by `frames` output frames without mixing
  // them: what nobody will hear costs no work.
  void advance(size_t frames);
  size_t voice_count() const;

  struct core;  // shared with the buffers, so either may go first

 private:
  std::shared_ptr<core> core_;
};

// Hundredths of a decibel to a linear gain; -10000 and below is silence.
float audio_gain_from_hundredths_db(int32_t hundredths_db);
