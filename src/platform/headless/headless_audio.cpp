#include "platform/headless/headless_audio.h"

#include <algorithm>

HeadlessAudioDevice::HeadlessAudioDevice(Clock* clock, int output_rate)
    : clock_(clock), mixer_(output_rate), capture_limit_(static_cast<size_t>(output_rate) * 600) {
  start_tick_ = last_tick_ = clock_ ? clock_->tick_ms() : 0;
  mixer_.set_before_access([this] { pull(); });
}

HeadlessAudioDevice::~HeadlessAudioDevice() { mixer_.set_before_access(nullptr); }

bool HeadlessAudioDevice::open() {
  std::lock_guard<std::mutex> g(mutex_);
  no_output_ = !open_result_;
  return open_result_;
}

void HeadlessAudioDevice::close() {}

int HeadlessAudioDevice::output_rate() const { return mixer_.output_rate(); }

std::unique_ptr<AudioBuffer> HeadlessAudioDevice::create_buffer(const audio_buffer_format& format, uint32_t bytes) {
  if (refuses_output()) return nullptr;
  return mixer_.create_buffer(format, bytes);
}

bool HeadlessAudioDevice::refuses_output() const {
  std::lock_guard<std::mutex> g(mutex_);
  return no_output_;
}

void HeadlessAudioDevice::set_open_result(bool ok) {
  std::lock_guard<std::mutex> g(mutex_);
  open_result_ = ok;
}

void HeadlessAudioDevice::pull() {
  if (!clock_) return;
  std::lock_guard<std::mutex> g(mutex_);
  uint32_t now = clock_->tick_ms();
  elapsed_ms_ += static_cast<uint32_t>(now - last_tick_);
  last_tick_ = now;
  uint64_t due = elapsed_ms_ * static_cast<uint64_t>(mixer_.output_rate()) / 1000;
  if (due > rendered_) {
    render_locked(static_cast<size_t>(due - rendered_));
    rendered_ = due;
  }
}

void HeadlessAudioDevice::render_frames(size_t frames) {
  pull();
  std::lock_guard<std::mutex> g(mutex_);
  render_locked(frames);
  extra_ += frames;
}

void HeadlessAudioDevice::render_locked(size_t frames) {
  if (capture_ && output_.size() / 2 + frames <= capture_limit_) {
    size_t at = output_.size();
    output_.resize(at + frames * 2);
    mixer_.render(output_.data() + at, frames);
  } else {
    // Past the capture nobody listens: move the voices on without mixing, so a
    // virtual clock that races ahead costs no work under the engine lock.
    mixer_.advance(frames);
  }
}

std::vector<int16_t> HeadlessAudioDevice::output(size_t first) const {
  std::lock_guard<std::mutex> g(mutex_);
  if (first * 2 >= output_.size()) return {};
  return std::vector<int16_t>(output_.begin() + static_cast<std::ptrdiff_t>(first * 2), output_.end());
}

size_t HeadlessAudioDevice::frames_rendered() {
  pull();
  std::lock_guard<std::mutex> g(mutex_);
  return static_cast<size_t>(rendered_ + extra_);
}

size_t HeadlessAudioDevice::frame_at(uint32_t tick) const {
  std::lock_guard<std::mutex> g(mutex_);
  uint64_t ms = static_cast<uint32_t>(tick - start_tick_);
  return static_cast<size_t>(ms * static_cast<uint64_t>(mixer_.output_rate()) / 1000);
}

void HeadlessAudioDevice::set_capture_limit(size_t frames) {
  std::lock_guard<std::mutex> g(mutex_);
  capture_limit_ = frames;
}

void HeadlessAudioDevice::set_capture(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  capture_ = on;
}

std::vector<audio_device_info> HeadlessAudioDevice::list_devices(bool recording) {
  return recording ? inputs_ : outputs_;
}

void HeadlessAudioDevice::set_devices(bool recording, std::vector<audio_device_info> devices) {
  (recording ? inputs_ : outputs_) = std::move(devices);
}

std::unique_ptr<AudioStream> HeadlessAudioDevice::create_stream(audio_stream_source source) {
  // Like a real device that did not open: nothing would ever pull the stream.
  if (refuses_output()) return nullptr;
  return mixer_.create_stream(std::move(source));
}
