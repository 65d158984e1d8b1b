// The software mixer under every device: resampling across the loop seam,
// one-shot ends, gains, sums and clamping.
#include "platform/mixer/audio_mixer.h"

#include "platform/headless/headless_audio.h"
#include "platform/headless/headless_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

std::vector<int16_t> render(audio_mixer& m, size_t frames) {
  std::vector<int16_t> out(frames * 2);
  m.render(out.data(), frames);
  return out;
}

}  // namespace

TEST(AudioMixer, LoopSeamIsSmoothAtAnyRate) {
  audio_mixer m(44100);
  // Exactly 10 periods in the ring, so the waveform continues across the seam.
  const uint32_t frames = 1000;
  std::vector<int16_t> sine(frames);
  for (uint32_t i = 0; i < frames; ++i) sine[i] = static_cast<int16_t>(20000 * std::sin(2 * M_PI * 10 * i / frames));
  auto b = m.create_buffer({1, 30000, 16, 2}, frames * 2);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(b->write(0, sine.data(), frames * 2));
  for (uint32_t rate : {30000u, 44100u, 12345u, 96000u}) {
    ASSERT_TRUE(b->set_frequency(rate));
    ASSERT_TRUE(b->play(true));
    std::vector<int16_t> out = render(m, 20000);
    // The largest step a 300 Hz-per-period sine can take between output frames.
    double period_frames = frames / 10.0 * 44100.0 / rate;
    double limit = 20000 * 2 * M_PI / period_frames * 1.05 + 2;
    for (size_t i = 1; i < 20000; ++i) ASSERT_LE(std::abs(out[i * 2] - out[i * 2 - 2]), limit) << rate << " at " << i;
  }
}

TEST(AudioMixer, CursorsWrapAndOneShotBuffersStop) {
  audio_mixer m(8000);
  auto b = m.create_buffer({1, 8000, 8, 1}, 100);
  ASSERT_NE(b, nullptr);
  std::vector<uint8_t> ramp(100);
  for (int i = 0; i < 100; ++i) ramp[i] = static_cast<uint8_t>(128 + i);
  ASSERT_TRUE(b->write(0, ramp.data(), 100));
  uint32_t play = 1, write = 1;
  ASSERT_TRUE(b->play(true));
  render(m, 250);
  ASSERT_TRUE(b->get_cursors(&play, &write));
  EXPECT_EQ(play, 50u);
  EXPECT_GE(write, play);
  ASSERT_TRUE(b->stop());
  render(m, 10);
  ASSERT_TRUE(b->get_cursors(&play, nullptr));
  EXPECT_EQ(play, 50u);  // stop keeps the cursor
  ASSERT_TRUE(b->play(false));
  std::vector<int16_t> out = render(m, 60);
  EXPECT_EQ(out[0], 50 * 256);
  EXPECT_EQ(out[49 * 2], 99 * 256);
  EXPECT_EQ(out[50 * 2], 0);  // stopped at the end
  EXPECT_FALSE(b->playing());
  // Writes and reads wrap; lengths beyond the ring are refused.
  uint8_t two[2] = {1, 2};
  ASSERT_TRUE(b->write(99, two, 2));
  uint8_t back[2] = {};
  ASSERT_TRUE(b->read(99, back, 2));
  EXPECT_EQ(back[0], 1);
  EXPECT_EQ(back[1], 2);
  EXPECT_FALSE(b->write(100, two, 1));
  EXPECT_FALSE(b->read(0, back, 101));
}

TEST(AudioMixer, GainsSumAndClamp) {
  audio_mixer m(8000);
  std::vector<int16_t> loud(16, 30000);
  auto a = m.create_buffer({1, 8000, 16, 2}, 32);
  auto b = m.create_buffer({2, 8000, 16, 4}, 32);
  ASSERT_TRUE(a->write(0, loud.data(), 32));
  ASSERT_TRUE(b->write(0, loud.data(), 32));
  a->play(true);
  b->play(true);
  std::vector<int16_t> out = render(m, 4);
  EXPECT_EQ(out[0], 32767);
  ASSERT_TRUE(a->set_volume(-10000));
  ASSERT_TRUE(b->set_pan(-600));  // right side down 6 dB
  out = render(m, 4);
  EXPECT_EQ(out[0], 30000);
  EXPECT_NEAR(out[1], 30000 * std::pow(10.0, -600 / 2000.0), 1);
  EXPECT_FALSE(a->set_volume(1));
  EXPECT_FALSE(a->set_pan(10001));
  EXPECT_FALSE(a->set_frequency(50));
  EXPECT_EQ(m.create_buffer({3, 8000, 16, 6}, 60), nullptr);
  EXPECT_EQ(m.create_buffer({1, 8000, 16, 4}, 60), nullptr);
  EXPECT_EQ(m.create_buffer({1, 8000, 12, 2}, 60), nullptr);
  EXPECT_EQ(m.voice_count(), 2u);
  a.reset();
  EXPECT_EQ(m.voice_count(), 1u);
}

TEST(AudioMixer, BuffersOutliveTheirMixer) {
  std::unique_ptr<AudioBuffer> b;
  {
    audio_mixer m(8000);
    b = m.create_buffer({1, 8000, 16, 2}, 32);
  }
  uint32_t play = 7;
  EXPECT_TRUE(b->get_cursors(&play, nullptr));
  EXPECT_EQ(play, 0u);
}

TEST(HeadlessAudio, FollowsTheVirtualClockAndBoundsItsCapture) {
  HeadlessClock clock;
  clock.set(1000);
  HeadlessAudioDevice device(&clock, 8000);
  device.set_capture_limit(8000);
  auto b = device.create_buffer({1, 8000, 16, 2}, 16000);
  std::vector<int16_t> ones(8000, 1);
  ASSERT_TRUE(b->write(0, ones.data(), 16000));
  ASSERT_TRUE(b->play(true));
  clock.advance(250);
  uint32_t play = 0;
  ASSERT_TRUE(b->get_cursors(&play, nullptr));
  EXPECT_EQ(play, 4000u);  // 250 ms at 8 kHz, 2 bytes a frame
  EXPECT_EQ(device.frames_rendered(), 2000u);
  EXPECT_EQ(device.frame_at(1250), 2000u);
  clock.advance(3 * 3600 * 1000);  // hours at once: mixed in pieces, not kept
  EXPECT_EQ(device.frames_rendered(), 2000u + 3u * 3600 * 8000);
  EXPECT_EQ(device.output().size(), 2000u * 2);
}

// A movie's sound: a stream pulled beside the buffers, whose count of frames
// taken is the movie's clock.
TEST(AudioMixer, StreamsArePulledBesideBuffersAndKeepTheirClock) {
  audio_mixer m(44100);
  size_t asked = 0;
  size_t supply = 300;  // frames the producer has; the rest is silence
  auto stream = m.create_stream([&](int16_t* out, size_t frames) {
    asked += frames;
    size_t n = std::min(frames, supply);
    for (size_t i = 0; i < n * 2; ++i) out[i] = 1000;
    supply -= n;
    return n;
  });
  ASSERT_NE(stream, nullptr);
  auto b = m.create_buffer({1, 44100, 16, 2}, 2000);
  std::vector<int16_t> dc(1000, 500);
  ASSERT_TRUE(b->write(0, dc.data(), 2000));
  ASSERT_TRUE(b->play(true));

  // Paused at first: not pulled, the clock stands.
  std::vector<int16_t> out = render(m, 100);
  EXPECT_EQ(asked, 0u);
  EXPECT_EQ(stream->frames_played(), 0u);
  EXPECT_EQ(out[0], 500);

  stream->set_paused(false);
  out = render(m, 200);
  EXPECT_EQ(out[0], 1500);
  EXPECT_EQ(out[399], 1500);
  EXPECT_EQ(stream->frames_played(), 200u);
  // An underrun: only what was given counts, the rest is silence.
  out = render(m, 200);
  EXPECT_EQ(out[2 * 99], 1500);
  EXPECT_EQ(out[2 * 100], 500);
  EXPECT_EQ(stream->frames_played(), 300u);

  supply = 1000;
  ASSERT_TRUE(stream->set_volume(-602));  // half
  out = render(m, 10);
  EXPECT_NEAR(out[0], 500 + 500, 2);
  EXPECT_FALSE(stream->set_volume(1));
  // Frames nobody hears are taken all the same.
  m.advance(400);
  EXPECT_EQ(stream->frames_played(), 710u);

  stream.reset();  // the source is never called again
  const size_t before = asked;
  render(m, 100);
  EXPECT_EQ(asked, before);
}
