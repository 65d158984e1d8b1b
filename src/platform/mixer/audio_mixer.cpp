#include "platform/mixer/audio_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

struct mixer_voice {
  audio_buffer_format format;
  std::vector<uint8_t> data;
  uint32_t frames = 0;
  uint64_t position = 0;  // frames, 32.32 fixed point
  bool playing = false;
  bool looping = false;
  int32_t volume = 0, pan = 0;
  uint32_t frequency = 0;
  float gain_left = 1.0f, gain_right = 1.0f;

  void update_gains() {
    float g = audio_gain_from_hundredths_db(volume);
    // Pan attenuates one side only, as the original device did.
    gain_left = g * (pan > 0 ? audio_gain_from_hundredths_db(-pan) : 1.0f);
    gain_right = g * (pan < 0 ? audio_gain_from_hundredths_db(pan) : 1.0f);
  }

  // Sample of channel c at frame f, on the 16-bit scale.
  float sample(uint32_t f, int c) const {
    const uint8_t* p = data.data() + static_cast<size_t>(f) * format.block_align;
    switch (format.bits) {
      case 8: return static_cast<float>((static_cast<int>(p[c]) - 128) * 256);
      case 16: return static_cast<float>(static_cast<int16_t>(p[c * 2] | (p[c * 2 + 1] << 8)));
      case 24: {
        const uint8_t* s = p + c * 3;
        int32_t v = static_cast<int32_t>((static_cast<uint32_t>(s[0]) << 8) | (static_cast<uint32_t>(s[1]) << 16) |
                                         (static_cast<uint32_t>(s[2]) << 24));
        return static_cast<float>(v) / 65536.0f;
      }
      default: {
        const uint8_t* s = p + c * 4;
        int32_t v = static_cast<int32_t>(static_cast<uint32_t>(s[0]) | (static_cast<uint32_t>(s[1]) << 8) |
                                         (static_cast<uint32_t>(s[2]) << 16) | (static_cast<uint32_t>(s[3]) << 24));
        return static_cast<float>(v) / 65536.0f;
      }
    }
  }
};

uint8_t silence_byte(const audio_buffer_format& f) { return f.bits == 8 ? 0x80 : 0x00; }

struct mixer_stream_voice {
  audio_stream_source source;
  bool paused = true;
  float gain = 1.0f;
  uint64_t played = 0;  // frames the source gave
};

}  // namespace

float audio_gain_from_hundredths_db(int32_t hundredths_db) {
  if (hundredths_db <= -10000) return 0.0f;
  if (hundredths_db >= 0) return 1.0f;
  return static_cast<float>(std::pow(10.0, hundredths_db / 2000.0));
}

struct audio_mixer::core {
  mutable std::mutex mutex;
  int rate = 44100;
  std::vector<mixer_voice*> voices;
  std::vector<mixer_stream_voice*> streams;
  std::function<void()> before_access;
  std::vector<float> accumulator;
  std::vector<int16_t> stream_scratch;

  // Pulls `frames` from every running stream; `acc` (stereo) gets them mixed
  // in when given, else they are only consumed.
  void pull_streams(float* acc, size_t frames) {
    for (mixer_stream_voice* s : streams) {
      if (s->paused || !s->source) continue;
      stream_scratch.assign(frames * 2, 0);
      size_t got = std::min(frames, s->source(stream_scratch.data(), frames));
      s->played += got;
      if (!acc) continue;
      for (size_t i = 0; i < got * 2; ++i) acc[i] += static_cast<float>(stream_scratch[i]) * s->gain;
    }
  }

  void touch() {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> g(mutex);
      hook = before_access;
    }
    if (hook) hook();
  }
};

namespace {

class mixer_buffer final : public AudioBuffer {
 public:
  mixer_buffer(std::shared_ptr<audio_mixer::core> core, const audio_buffer_format& format, uint32_t frames)
      : core_(std::move(core)) {
    voice_.format = format;
    voice_.frames = frames;
    voice_.data.assign(static_cast<size_t>(frames) * format.block_align, silence_byte(format));
    std::lock_guard<std::mutex> g(core_->mutex);
    core_->voices.push_back(&voice_);
  }
  ~mixer_buffer() override {
    std::lock_guard<std::mutex> g(core_->mutex);
    auto& v = core_->voices;
    v.erase(std::remove(v.begin(), v.end(), &voice_), v.end());
  }

  uint32_t size() const override { return static_cast<uint32_t>(voice_.data.size()); }

  bool get_cursors(uint32_t* play, uint32_t* write) override {
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    uint32_t cursor = static_cast<uint32_t>(voice_.position >> 32) * voice_.format.block_align;
    if (play) *play = cursor;
    if (write) *write = cursor;
    return true;
  }

  bool write(uint32_t offset, const void* data, uint32_t length) override {
    return copy(offset, length, [&](size_t at, size_t from, size_t n) {
      std::memcpy(voice_.data.data() + at, static_cast<const uint8_t*>(data) + from, n);
    });
  }

  bool read(uint32_t offset, void* out, uint32_t length) override {
    return copy(offset, length, [&](size_t at, size_t from, size_t n) {
      std::memcpy(static_cast<uint8_t*>(out) + from, voice_.data.data() + at, n);
    });
  }

  bool play(bool looping) override {
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    voice_.looping = looping;
    voice_.playing = true;
    return true;
  }

  bool stop() override {
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    voice_.playing = false;
    return true;
  }

  bool playing() const override {
    std::lock_guard<std::mutex> g(core_->mutex);
    return voice_.playing;
  }

  bool set_volume(int32_t hundredths_db) override {
    if (hundredths_db < -10000 || hundredths_db > 0) return false;
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    voice_.volume = hundredths_db;
    voice_.update_gains();
    return true;
  }

  bool set_pan(int32_t hundredths_db) override {
    if (hundredths_db < -10000 || hundredths_db > 10000) return false;
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    voice_.pan = hundredths_db;
    voice_.update_gains();
    return true;
  }

  bool set_frequency(uint32_t rate) override {
    if (rate != 0 && (rate < 100 || rate > 384000)) return false;
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    voice_.frequency = rate;
    return true;
  }

  int32_t volume() const override {
    std::lock_guard<std::mutex> g(core_->mutex);
    return voice_.volume;
  }
  int32_t pan() const override {
    std::lock_guard<std::mutex> g(core_->mutex);
    return voice_.pan;
  }
  uint32_t frequency() const override {
    std::lock_guard<std::mutex> g(core_->mutex);
    return voice_.frequency;
  }

 private:
  template <class F>
  bool copy(uint32_t offset, uint32_t length, F&& part) {
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    size_t total = voice_.data.size();
    if (offset >= total || length > total) return false;
    size_t first = std::min<size_t>(length, total - offset);
    part(offset, 0, first);
    if (first < length) part(0, first, length - first);
    return true;
  }

  std::shared_ptr<audio_mixer::core> core_;
  mixer_voice voice_;
};

class mixer_stream final : public AudioStream {
 public:
  mixer_stream(std::shared_ptr<audio_mixer::core> core, audio_stream_source source) : core_(std::move(core)) {
    voice_.source = std::move(source);
    std::lock_guard<std::mutex> g(core_->mutex);
    core_->streams.push_back(&voice_);
  }
  ~mixer_stream() override {
    // After this the mixer never calls the source again.
    std::lock_guard<std::mutex> g(core_->mutex);
    auto& v = core_->streams;
    v.erase(std::remove(v.begin(), v.end(), &voice_), v.end());
  }
  uint64_t frames_played() override {
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    return voice_.played;
  }
  bool set_volume(int32_t hundredths_db) override {
    if (hundredths_db < -10000 || hundredths_db > 0) return false;
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    voice_.gain = audio_gain_from_hundredths_db(hundredths_db);
    return true;
  }
  void set_paused(bool paused) override {
    core_->touch();
    std::lock_guard<std::mutex> g(core_->mutex);
    voice_.paused = paused;
  }

 private:
  std::shared_ptr<audio_mixer::core> core_;
  mixer_stream_voice voice_;
};

}  // namespace

std::unique_ptr<AudioStream> audio_mixer::create_stream(audio_stream_source source) {
  if (!source) return nullptr;
  core_->touch();
  return std::make_unique<mixer_stream>(core_, std::move(source));
}

audio_mixer::audio_mixer(int output_rate) : core_(std::make_shared<core>()) { core_->rate = output_rate; }
audio_mixer::~audio_mixer() = default;

int audio_mixer::output_rate() const {
  std::lock_guard<std::mutex> g(core_->mutex);
  return core_->rate;
}

void audio_mixer::set_output_rate(int rate) {
  std::lock_guard<std::mutex> g(core_->mutex);
  if (rate > 0) core_->rate = rate;
}

void audio_mixer::set_before_access(std::function<void()> hook) {
  std::lock_guard<std::mutex> g(core_->mutex);
  core_->before_access = std::move(hook);
}

std::unique_ptr<AudioBuffer> audio_mixer::create_buffer(const audio_buffer_format& format, uint32_t bytes) {
  if (format.channels < 1 || format.channels > 2) return nullptr;
  if (format.bits != 8 && format.bits != 16 && format.bits != 24 && format.bits != 32) return nullptr;
  if (format.block_align != format.channels * format.bits / 8) return nullptr;
  if (format.rate < 100 || format.rate > 384000) return nullptr;
  uint32_t frames = bytes / format.block_align;
  if (frames == 0 || frames > (1u << 26)) return nullptr;
  core_->touch();
  return std::make_unique<mixer_buffer>(core_, format, frames);
}

size_t audio_mixer::voice_count() const {
  std::lock_guard<std::mutex> g(core_->mutex);
  return core_->voices.size();
}

void audio_mixer::render(int16_t* out, size_t frames) {
  std::lock_guard<std::mutex> g(core_->mutex);
  std::vector<float>& acc = core_->accumulator;
  acc.assign(frames * 2, 0.0f);
  const uint64_t out_rate = static_cast<uint64_t>(core_->rate);
  for (mixer_voice* v : core_->voices) {
    if (!v->playing || v->frames == 0) continue;
    uint64_t rate = v->frequency ? v->frequency : v->format.rate;
    uint64_t step = (rate << 32) / out_rate;
    const uint64_t end = static_cast<uint64_t>(v->frames) << 32;
    const bool stereo = v->format.channels == 2;
    for (size_t i = 0; i < frames; ++i) {
      uint32_t f = static_cast<uint32_t>(v->position >> 32);
      float frac = static_cast<float>(static_cast<uint32_t>(v->position)) * (1.0f / 4294967296.0f);
      // The frame after the last is the first one again while looping, so a
      // loop point never steps; a one-shot buffer holds its last frame.
      uint32_t next = f + 1 < v->frames ? f + 1 : (v->looping ? 0 : f);
      float l0 = v->sample(f, 0), l1 = v->sample(next, 0);
      float l = frac == 0.0f ? l0 : l0 + (l1 - l0) * frac;
      float r = l;
      if (stereo) {
        float r0 = v->sample(f, 1), r1 = v->sample(next, 1);
        r = frac == 0.0f ? r0 : r0 + (r1 - r0) * frac;
      }
      acc[i * 2] += l * v->gain_left;
      acc[i * 2 + 1] += r * v->gain_right;
      v->position += step;
      if (v->position >= end) {
        if (v->looping) {
          v->position -= end;
          if (v->position >= end) v->position %= end;
        } else {
          v->position = end - (1ull << 32);
          v->playing = false;
          break;
        }
      }
    }
  }
  core_->pull_streams(acc.data(), frames);
  for (size_t i = 0; i < frames * 2; ++i) {
    float s = std::nearbyint(acc[i]);
    out[i] = static_cast<int16_t>(std::clamp(s, -32768.0f, 32767.0f));
  }
}

void audio_mixer::advance(size_t frames) {
  std::lock_guard<std::mutex> g(core_->mutex);
  // Streams are consumed all the same, so their clocks keep time.
  core_->pull_streams(nullptr, frames);
  const uint64_t out_rate = static_cast<uint64_t>(core_->rate);
  for (mixer_voice* v : core_->voices) {
    if (!v->playing || v->frames == 0) continue;
    uint64_t rate = v->frequency ? v->frequency : v->format.rate;
    uint64_t step = (rate << 32) / out_rate;
    const uint64_t end = static_cast<uint64_t>(v->frames) << 32;
    unsigned __int128 position = static_cast<unsigned __int128>(v->position) +
                                 static_cast<unsigned __int128>(step) * frames;
    if (position < end) {
      v->position = static_cast<uint64_t>(position);
    } else if (v->looping) {
      v->position = static_cast<uint64_t>(position % end);
    } else {
      v->position = end - (1ull << 32);
      v->playing = false;
    }
  }
}
