// The headless audio device: the real mixer, pulled by the virtual clock into
// memory. Every buffer operation first renders the frames due up to the
// clock's now, so a test that advances time and then looks at the output hears
// exactly what a listener would have heard, sample for sample.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/mixer/audio_mixer.h"
#include "platform/platform.h"

class HeadlessAudioDevice final : public AudioDevice {
 public:
  explicit HeadlessAudioDevice(Clock* clock, int output_rate = 44100);
  ~HeadlessAudioDevice() override;

  bool open() override;
  void close() override;
  int output_rate() const override;
  std::unique_ptr<AudioBuffer> create_buffer(const audio_buffer_format& format, uint32_t bytes) override;
  std::vector<audio_device_info> list_devices(bool recording) override;
  std::unique_ptr<AudioStream> create_stream(audio_stream_source source) override;

  // Test side.
  // The devices list_devices reports (one stereo 44.1 kHz 16-bit output and
  // one mono input until set).
  void set_devices(bool recording, std::vector<audio_device_info> devices);
  // false makes open() fail, as on a machine without a sound card; after a
  // failed open the device makes no buffers and no streams.
  void set_open_result(bool ok);
  // Renders every frame due up to the clock's now.
  void pull();
  // Renders `frames` more frames regardless of the clock.
  void render_frames(size_t frames);
  // Everything rendered so far (interleaved stereo), from frame `first` on.
  std::vector<int16_t> output(size_t first = 0) const;
  // Frames rendered so far, after pulling up to now.
  size_t frames_rendered();
  // Frame index the clock time `tick` corresponds to.
  size_t frame_at(uint32_t tick) const;
  void set_capture(bool on);  // off: frames are mixed and dropped
  // Frames kept at most (default ten minutes at the output rate); later frames
  // are mixed and dropped, so long whole-engine runs stay small.
  void set_capture_limit(size_t frames);
  size_t voice_count() const { return mixer_.voice_count(); }

 private:
  std::vector<audio_device_info> outputs_{{"Headless Output", 2, 44100, 16}};
  std::vector<audio_device_info> inputs_{{"Headless Input", 1, 22050, 16}};
  void render_locked(size_t frames);
  bool refuses_output() const;

  Clock* clock_;
  audio_mixer mixer_;
  mutable std::mutex mutex_;
  bool open_result_ = true;
  bool no_output_ = false;  // the last open() failed
  bool capture_ = true;
  size_t capture_limit_ = 0;
  uint32_t start_tick_ = 0, last_tick_ = 0;
  uint64_t elapsed_ms_ = 0;
  uint64_t rendered_ = 0;    // frames, by the clock
  uint64_t extra_ = 0;       // frames rendered on request, beyond the clock
  std::vector<int16_t> output_;
};
