#include "platform/sdl/sdl_audio.h"

#include <SDL.h>

#include <cstring>

SdlAudioDevice::SdlAudioDevice(int wanted_rate) : mixer_(wanted_rate), wanted_rate_(wanted_rate) {}

SdlAudioDevice::~SdlAudioDevice() { close(); }

bool SdlAudioDevice::open() {
  if (device_) return true;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
  subsystem_ = true;
  SDL_AudioSpec want{}, have{};
  want.freq = wanted_rate_;
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = 1024;
  want.callback = &SdlAudioDevice::callback;
  want.userdata = this;
  device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
  if (!device_) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    subsystem_ = false;
    return false;
  }
  mixer_.set_output_rate(have.freq);
  SDL_PauseAudioDevice(device_, 0);
  return true;
}

void SdlAudioDevice::close() {
  if (device_) {
    SDL_CloseAudioDevice(device_);
    device_ = 0;
  }
  if (subsystem_) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    subsystem_ = false;
  }
}

int SdlAudioDevice::output_rate() const { return mixer_.output_rate(); }

std::unique_ptr<AudioBuffer> SdlAudioDevice::create_buffer(const audio_buffer_format& format, uint32_t bytes) {
  // Without an open device nothing pulls the buffer: its cursors would stand
  // and a sound waited for would never end.
  if (!device_) return nullptr;
  return mixer_.create_buffer(format, bytes);
}

void SdlAudioDevice::callback(void* self, uint8_t* stream, int length) {
  auto* device = static_cast<SdlAudioDevice*>(self);
  size_t frames = static_cast<size_t>(length) / 4;
  device->mixer_.render(reinterpret_cast<int16_t*>(stream), frames);
  size_t rest = static_cast<size_t>(length) - frames * 4;
  if (rest) std::memset(stream + frames * 4, 0, rest);
}

std::vector<audio_device_info> SdlAudioDevice::list_devices(bool recording) {
  std::vector<audio_device_info> out;
  const bool started = SDL_WasInit(SDL_INIT_AUDIO) != 0;
  if (!started && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return out;
  const int capture = recording ? 1 : 0;
  for (int i = 0, n = SDL_GetNumAudioDevices(capture); i < n; ++i) {
    audio_device_info d;
    const char* name = SDL_GetAudioDeviceName(i, capture);
    d.name = name ? name : "";
    SDL_AudioSpec spec{};
    if (SDL_GetAudioDeviceSpec(i, capture, &spec) == 0) {
      d.channels = spec.channels;
      d.rate = spec.freq;
      d.bits = SDL_AUDIO_BITSIZE(spec.format);
    }
    out.push_back(std::move(d));
  }
  if (!started) SDL_QuitSubSystem(SDL_INIT_AUDIO);
  return out;
}

std::unique_ptr<AudioStream> SdlAudioDevice::create_stream(audio_stream_source source) {
  // Without an open device nobody pulls the stream and its clock would stand.
  if (!device_) return nullptr;
  return mixer_.create_stream(std::move(source));
}
