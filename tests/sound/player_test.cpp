// The sound player on the headless device: what comes out of the mixer on
// virtual time for starts, loops, limits, fades, groups and the mappings.
#include <cmath>

#include "sound/wave_file.h"
#include "sound_fixture.h"

namespace {

constexpr int rate = 44100;

// Mono 16-bit WAV of `ms` milliseconds of the ramp.
std::vector<uint8_t> ramp_wave(int ms, std::vector<int16_t>* samples = nullptr) {
  std::vector<int16_t> s = ramp_samples(static_cast<size_t>(rate) * ms / 1000);
  if (samples) *samples = s;
  return make_wave(1, 1, rate, 16, 2, pcm16_bytes(s));
}

// Left channel of stereo output frames [from, from + count).
std::vector<int16_t> left(const std::vector<int16_t>& out, size_t from, size_t count) {
  std::vector<int16_t> l;
  for (size_t i = from; i < from + count && i * 2 < out.size(); ++i) l.push_back(out[i * 2]);
  return l;
}

std::vector<int16_t> slice(const std::vector<int16_t>& s, size_t from, size_t count) {
  return std::vector<int16_t>(s.begin() + static_cast<std::ptrdiff_t>(from),
                              s.begin() + static_cast<std::ptrdiff_t>(from + count));
}

bool all_zero(const std::vector<int16_t>& v) {
  for (int16_t x : v)
    if (x) return false;
  return true;
}

}  // namespace

TEST_F(SoundTest, PlaysPcmSampleExactAndLoopsForEver) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(300, &src), sound_codec_wav);
  EXPECT_EQ(rec(n)->length, 300);
  EXPECT_EQ(rec(n)->loop_end, 300);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->state.load(), sound_playing);
  step(1000);
  std::vector<int16_t> out = heard();
  ASSERT_GE(out.size(), 44100u * 2);
  // Loop count 0: the whole file again and again, right and left alike.
  for (size_t pass = 0; pass < 3; ++pass) EXPECT_EQ(left(out, pass * src.size(), src.size()), src) << pass;
  for (size_t i = 0; i < 44100; ++i) ASSERT_EQ(out[i * 2], out[i * 2 + 1]);
  EXPECT_EQ(rec(n)->passes, 3);
}

TEST_F(SoundTest, NegativeStartPlaysSilenceFirst) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(1000, &src), sound_codec_wav);
  request(n, sound_request_kind_start, -500);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(2600);
  std::vector<int16_t> out = heard();
  EXPECT_TRUE(all_zero(slice(out, 0, 22050 * 2)));
  EXPECT_EQ(left(out, 22050, src.size()), src);
  // The next pass starts at the loop start (0), without the silence.
  EXPECT_EQ(left(out, 22050 + src.size(), src.size()), src);
  EXPECT_EQ(rec(n)->passes, 2);
}

TEST_F(SoundTest, LoopCountThreePlaysThreePassesThenSilence) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(400, &src), sound_codec_wav);
  request(n, sound_request_kind_loop_count, 3);
  request(n, sound_request_kind_loop_start, 100);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(2000);
  std::vector<int16_t> out = heard();
  size_t loop = 4410;  // 100 ms
  size_t tail = src.size() - loop;
  EXPECT_EQ(left(out, 0, src.size()), src);
  EXPECT_EQ(left(out, src.size(), tail), slice(src, loop, tail));
  EXPECT_EQ(left(out, src.size() + tail, tail), slice(src, loop, tail));
  size_t end = src.size() + 2 * tail;
  EXPECT_TRUE(all_zero(slice(out, end * 2, out.size() - end * 2)));
  // Without a loop limit the sound stays started (playing silence).
  EXPECT_EQ(rec(n)->state.load(), sound_playing);
}

TEST_F(SoundTest, LoopLimitStopsAtTheEndOfTheLastPass) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(200, &src), sound_codec_wav);
  rec(n)->loop_limit = 3;  // written by the sound command itself
  request(n, sound_request_kind_loop_count, 3);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(590);
  EXPECT_EQ(rec(n)->state.load(), sound_playing);
  EXPECT_EQ(rec(n)->passes, 2);
  step(20);
  EXPECT_EQ(rec(n)->state.load(), sound_idle);
  EXPECT_EQ(rec(n)->loop_limit, 0);
  EXPECT_EQ(rec(n)->passes, 0);
  EXPECT_EQ(rec(n)->buffer, nullptr);
  EXPECT_TRUE(rec(n)->file_image.empty());
  step(200);
  std::vector<int16_t> out = heard();
  for (int pass = 0; pass < 3; ++pass) EXPECT_EQ(left(out, pass * src.size(), src.size()), src);
  EXPECT_TRUE(all_zero(slice(out, 3 * src.size() * 2, out.size() - 3 * src.size() * 2)));
}

TEST_F(SoundTest, EmptyLoopRegionEndsInSilence) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(300, &src), sound_codec_wav);
  request(n, sound_request_kind_loop_start, 200);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  // Loop end at the loop start: the region yields nothing; the refill must end.
  request(n, sound_request_kind_loop_end, 0);
  step(2000);
  EXPECT_EQ(rec(n)->state.load(), sound_playing);
}

TEST_F(SoundTest, VolumePanAndFrequencyMappings) {
  EXPECT_EQ(sound_volume_to_hundredths_db(256), 0);
  EXPECT_EQ(sound_volume_to_hundredths_db(128), -1204);
  EXPECT_EQ(sound_volume_to_hundredths_db(1), -9632);
  EXPECT_EQ(sound_volume_to_hundredths_db(2), -8428);
  EXPECT_EQ(sound_volume_to_hundredths_db(0), -10000);
  EXPECT_EQ(sound_volume_to_hundredths_db(-5), -10000);
  EXPECT_EQ(sound_volume_to_hundredths_db(1000), 0);
  EXPECT_EQ(sound_pan_to_hundredths_db(512), 10000);
  EXPECT_EQ(sound_pan_to_hundredths_db(0), -10000);
  EXPECT_EQ(sound_pan_to_hundredths_db(256), 0);
  EXPECT_EQ(sound_pan_to_hundredths_db(600), 0);
  EXPECT_EQ(sound_pan_to_hundredths_db(128), -1204);
  EXPECT_EQ(sound_pan_to_hundredths_db(384), 1204);
  EXPECT_EQ(sound_frequency_to_rate(44100, 0), 22050u);
  EXPECT_EQ(sound_frequency_to_rate(44100, 512), 66150u);
  EXPECT_EQ(sound_frequency_to_rate(44100, 256), 44100u);
  EXPECT_EQ(sound_frequency_to_rate(44100, 9999), 44100u);
  EXPECT_EQ(sound_frequency_to_rate(11025, 0), 11025u - 5512u);
}

TEST_F(SoundTest, VolumeAndPanReachTheOutput) {
  std::vector<int16_t> src(44100, 16000);
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", make_wave(1, 1, rate, 16, 2, pcm16_bytes(src)), sound_codec_wav);
  request(n, sound_request_kind_volume, 128);
  request(n, sound_request_kind_pan, 512);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->buffer->volume(), -1204);
  EXPECT_EQ(rec(n)->buffer->pan(), 10000);
  step(100);
  std::vector<int16_t> out = heard();
  int expected = static_cast<int>(std::lround(16000 * std::pow(10.0, -1204 / 2000.0)));
  EXPECT_EQ(out[200], 0);  // left silent
  EXPECT_NEAR(out[201], expected, 1);
  request(n, sound_request_kind_pan, 0);
  ASSERT_EQ(cycle(), 0);
  size_t mark = audio().frames_rendered();
  step(100);
  out = heard(mark);
  EXPECT_NEAR(out[0], expected, 1);
  EXPECT_EQ(out[1], 0);  // right silent
}

TEST_F(SoundTest, FrequencyChangesThePlaybackRate) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(1000, &src), sound_codec_wav);
  request(n, sound_request_kind_frequency, 0);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->buffer->frequency(), 22050u);
  step(200);
  std::vector<int16_t> out = heard();
  // Half rate: every second output frame is a source frame, the others lie halfway.
  for (size_t i = 0; i < 1000; ++i) {
    EXPECT_EQ(out[i * 4], src[i]);
    EXPECT_NEAR(out[i * 4 + 2], (src[i] + src[i + 1]) / 2.0, 1.0);
  }
  request(n, sound_request_kind_frequency, 512);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->buffer->frequency(), 66150u);
  // Played position follows the faster cursor: 100 ms at 1.5x is 150 ms of sound.
  int64_t before = rec(n)->played_bytes;
  step(100);
  EXPECT_NEAR(static_cast<double>(rec(n)->played_bytes - before), 0.15 * 88200, 8);
}

TEST_F(SoundTest, GroupVolumeHalvesAndDisabledGroupMutes) {
  object_node* g = new_group(s0(), "g");
  object_node* n = new_sound(g, "a");
  load(n, "a.wav", ramp_wave(500), sound_codec_wav);
  request(g, sound_request_kind_volume, 128);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(effective_sound_volume(g), 128);
  EXPECT_EQ(rec(n)->buffer->volume(), -1204);
  request(n, sound_request_kind_volume, 128);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->buffer->volume(), sound_volume_to_hundredths_db(64));
  // S0 at 128 too: 256 * 1/2 * 1/2 * 1/2.
  request(s0(), sound_request_kind_volume, 128);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->buffer->volume(), sound_volume_to_hundredths_db(32));

  // Disabling the group mutes; pausing and resuming keeps it paused.
  rec(g)->enabled = 0;
  request(g, sound_request_kind_volume, 128);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->buffer->volume(), -10000);
  request(n, sound_request_kind_pause, 1);
  request(n, sound_request_kind_pause, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->held, 1);
  EXPECT_EQ(rec(n)->buffer, nullptr);
  rec(g)->enabled = 1;
  request(g, sound_request_kind_pause, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->held, 0);
  ASSERT_NE(rec(n)->buffer, nullptr);
  EXPECT_EQ(rec(n)->buffer->volume(), sound_volume_to_hundredths_db(32));
}

TEST_F(SoundTest, PauseAndResumeKeepThePosition) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(2000, &src), sound_codec_wav);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(300);
  request(n, sound_request_kind_pause, 1);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->paused, 1);
  EXPECT_EQ(rec(n)->played_bytes, 300 * 88200 / 1000);
  step(500);
  size_t resumed_at = audio().frames_rendered();
  request(n, sound_request_kind_pause, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->paused, 0);
  EXPECT_EQ(rec(n)->held, 0);
  ASSERT_NE(rec(n)->buffer, nullptr);
  EXPECT_TRUE(rec(n)->buffer->playing());
  EXPECT_EQ(rec(n)->buffer->volume(), 0);
  step(400);
  std::vector<int16_t> out = heard();
  EXPECT_EQ(left(out, 0, 13230), slice(src, 0, 13230));
  EXPECT_TRUE(all_zero(slice(out, 13230 * 2, (resumed_at - 13230) * 2)));
  EXPECT_EQ(left(out, resumed_at, 17640), slice(src, 13230, 17640));
}

TEST_F(SoundTest, FadeInAndOutFollowVirtualTime) {
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(3000), sound_codec_wav);
  request(n, sound_request_kind_volume, 0);
  request(n, sound_request_kind_fade_target, 256);
  request(n, sound_request_kind_play, 1000);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->state.load(), sound_fading_in);
  EXPECT_EQ(rec(n)->fade_rate, 256 * 1024 / 1000);
  step(500, 500);
  EXPECT_EQ(rec(n)->volume, 500 * 262 / 1024);
  EXPECT_EQ(rec(n)->buffer->volume(), sound_volume_to_hundredths_db(127));
  step(490);
  EXPECT_EQ(rec(n)->state.load(), sound_fading_in);
  step(20);
  EXPECT_EQ(rec(n)->state.load(), sound_playing);
  EXPECT_EQ(rec(n)->volume, 256);
  EXPECT_EQ(rec(n)->buffer->volume(), 0);

  request(n, sound_request_kind_fade_out, 500);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->state.load(), sound_fading_out);
  step(250, 250);
  EXPECT_EQ(rec(n)->volume, 256 + 250 * (-(256 * 1024) / 500) / 1024);
  step(240);
  EXPECT_EQ(rec(n)->state.load(), sound_fading_out);
  step(20);
  EXPECT_EQ(rec(n)->state.load(), sound_idle);
  EXPECT_EQ(rec(n)->volume, 256);
  EXPECT_EQ(rec(n)->fade_target, 256);
  EXPECT_EQ(rec(n)->buffer, nullptr);
}

TEST_F(SoundTest, PauseHoldsTheFade) {
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(3000), sound_codec_wav);
  request(n, sound_request_kind_volume, 0);
  request(n, sound_request_kind_fade_target, 256);
  request(n, sound_request_kind_play, 1000);
  ASSERT_EQ(cycle(), 0);
  step(400);
  int32_t v = rec(n)->volume;
  request(n, sound_request_kind_pause, 1);
  step(1000);
  EXPECT_EQ(rec(n)->state.load(), sound_fading_in);
  request(n, sound_request_kind_pause, 0);
  step(10);
  EXPECT_NEAR(rec(n)->volume, v + 10 * 262 / 1024, 3);
  step(600);
  EXPECT_EQ(rec(n)->state.load(), sound_playing);
}

TEST_F(SoundTest, PlayWhileFadingOutStartsOver) {
  std::vector<int16_t> src;
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(2000, &src), sound_codec_wav);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(300);
  request(n, sound_request_kind_fade_out, 1000);
  step(100);
  int e = request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(sound_command_queue.done[e].load(), 0);  // stopped, runs again
  EXPECT_EQ(rec(n)->state.load(), sound_idle);
  size_t restart = audio().frames_rendered();
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(sound_command_queue.done[e].load(), 1);
  EXPECT_EQ(rec(n)->state.load(), sound_playing);
  step(200);
  EXPECT_EQ(left(heard(), restart, 8820), slice(src, 0, 8820));
}

TEST_F(SoundTest, EightBitSilenceIsTheMidpoint) {
  // 8-bit data and a negative start: the leading silence must be 128, not 0.
  std::vector<uint8_t> data(8000, 200);
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", make_wave(1, 1, 8000, 8, 1, data), sound_codec_wav);
  request(n, sound_request_kind_start, -100);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(150);
  std::vector<int16_t> out = heard();
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[4410 / 2 * 2], 0);
  EXPECT_EQ(out[(4410 + 100) * 2], (200 - 128) * 256);
}

TEST_F(SoundTest, PeakLevelsAtThePlayCursor) {
  std::vector<int16_t> st(2 * 44100);
  for (size_t i = 0; i < 44100; ++i) st[i * 2] = -1234, st[i * 2 + 1] = 4321;
  object_node* n = new_sound(s0(), "a");
  EXPECT_EQ(sound_peak_level(rec(n)), -1);
  load(n, "a.wav", make_wave(1, 2, rate, 16, 4, pcm16_bytes(st)), sound_codec_wav);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(50);
  EXPECT_EQ(sound_peak_level(rec(n)), 1234);
  EXPECT_EQ(sound_peak_level_2(rec(n)), 4321);
}

TEST_F(SoundTest, ReplayAfterStopKeepsFrequencyAndPan) {
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(500), sound_codec_wav);
  request(n, sound_request_kind_frequency, 0);
  request(n, sound_request_kind_pan, 100);
  request(n, sound_request_kind_play, 0);
  request(n, sound_request_kind_fade_out, 0);
  ASSERT_EQ(cycle(), 0);
  EXPECT_EQ(rec(n)->state.load(), sound_idle);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  ASSERT_NE(rec(n)->buffer, nullptr);
  EXPECT_EQ(rec(n)->buffer->frequency(), 22050u);
  EXPECT_EQ(rec(n)->buffer->pan(), sound_pan_to_hundredths_db(100));
}

TEST_F(SoundTest, QuitDropsStartedSoundsToIdle) {
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", ramp_wave(500), sound_codec_wav);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  quit_flag = 1;
  EXPECT_EQ(cycle(), 1);
  EXPECT_EQ(rec(n)->state.load(), sound_idle);
  EXPECT_EQ(rec(n)->buffer->volume(), sound_volume_to_hundredths_db(2));
  quit_flag = 0;
}
