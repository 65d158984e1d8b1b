// The real audio device: SDL2 audio output pulling the software mixer from
// SDL's audio callback. On a machine without sound SDL's "dummy" or "disk"
// drivers serve (SDL_AUDIODRIVER).
#pragma once
#include <cstdint>

#include "platform/mixer/audio_mixer.h"
#include "platform/platform.h"

class SdlAudioDevice final : public AudioDevice {
 public:
  explicit SdlAudioDevice(int wanted_rate = 44100);
  ~SdlAudioDevice() override;

  bool open() override;
  void close() override;
  int output_rate() const override;
  std::unique_ptr<AudioBuffer> create_buffer(const audio_buffer_format& format, uint32_t bytes) override;
  std::vector<audio_device_info> list_devices(bool recording) override;
  std::unique_ptr<AudioStream> create_stream(audio_stream_source source) override;

 private:
  static void callback(void* self, uint8_t* stream, int length);

  audio_mixer mixer_;
  int wanted_rate_;
  uint32_t device_ = 0;
  bool subsystem_ = false;
};
