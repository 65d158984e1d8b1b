// The real backend: SDL2 audio output on SDL's "disk" driver, which writes
// what would be heard into a file.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "platform/sdl/sdl_audio.h"
#include "sound_fixture.h"

TEST(SdlAudio, DiskDriverRecordsWhatIsPlayed) {
  temp_folder t;
  std::string raw = t.path() + "out.raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
  setenv("SDL_DISKAUDIODELAY", "1", 1);  // don't pace to real time
  SdlAudioDevice device(44100);
  if (!device.open()) GTEST_SKIP() << "SDL's disk audio driver is not available";
  ASSERT_GT(device.output_rate(), 0);
  audio_buffer_format f{1, 22050, 16, 2};
  std::unique_ptr<AudioBuffer> buffer = device.create_buffer(f, 22050 * 2);
  ASSERT_NE(buffer, nullptr);
  std::vector<int16_t> tone(22050);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(10000 * std::sin(i * 2 * M_PI * 441 / 22050));
  ASSERT_TRUE(buffer->write(0, tone.data(), static_cast<uint32_t>(tone.size() * 2)));
  ASSERT_TRUE(buffer->set_volume(-600));
  ASSERT_TRUE(buffer->play(true));
  uint32_t play = 0, write = 0;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(buffer->get_cursors(&play, &write));
    if (play > 4410 * 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_GT(play, 4410u * 2);  // the mixer consumed it
  buffer->stop();
  buffer.reset();
  device.close();
  std::vector<int16_t> heard = pcm16_samples(read_host_file(raw));
  ASSERT_GT(heard.size(), 4410u);
  int peak = 0;
  for (int16_t s : heard) peak = std::max(peak, std::abs(static_cast<int>(s)));
  // -6 dB of 10000.
  EXPECT_GT(peak, 4500);
  EXPECT_LT(peak, 5500);
}

TEST_F(SoundTest, PlayerThroughSdlDiskDriver) {
  std::string raw = folder.path() + "engine.raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
  setenv("SDL_DISKAUDIODELAY", "5", 1);
  release_direct_sound();
  SdlAudioDevice sdl(44100);
  hp->services.audio = &sdl;
  if (create_direct_sound() != 1) GTEST_SKIP() << "SDL's disk audio driver is not available";
  start_sound_thread();
  object_node* n = new_sound(s0(), "a");
  std::vector<int16_t> tone = tone_samples(44100 / 2, 1, 44100);
  folder.write("a.wav", make_wave(1, 1, 44100, 16, 2, pcm16_bytes(tone)));
  rec(n)->codec = sound_codec_wav;
  ASSERT_TRUE(wait_sound_request(request(n, sound_request_kind_load, 0, "a.wav")));
  ASSERT_TRUE(wait_sound_request(request(n, sound_request_kind_play, 0)));
  for (int i = 0; i < 3000; ++i) {
    {
      std::lock_guard<engine_mutex> g(engine_lock);
      if (rec(n)->passes >= 1) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  quit_flag = 1;
  wait_sound_thread_end();
  release_direct_sound();
  hp->services.audio = device;
  std::vector<int16_t> heard = pcm16_samples(read_host_file(raw));
  int peak = 0;
  for (int16_t s : heard) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_GT(peak, 8000) << heard.size() << " samples recorded";
}

// A device that did not open (no such SDL driver; the headless device told to
// fail, as on a machine without a sound card) makes neither buffers nor
// streams: nothing would ever pull them, so a sound or a movie timed by them
// would never end.
TEST(SdlAudio, ADeviceThatDidNotOpenMakesNoBuffersOrStreams) {
  setenv("SDL_AUDIODRIVER", "zarvik-no-such-driver", 1);
  SdlAudioDevice sdl(44100);
  HeadlessClock clock;
  HeadlessAudioDevice headless(&clock);
  headless.set_open_result(false);
  const audio_buffer_format f{1, 22050, 16, 2};
  for (AudioDevice* device : std::initializer_list<AudioDevice*>{&sdl, &headless}) {
    EXPECT_FALSE(device->open());
    EXPECT_EQ(device->create_buffer(f, 22050 * 2), nullptr);
    EXPECT_EQ(device->create_stream([](int16_t*, size_t) { return size_t{0}; }), nullptr);
  }
  // The headless device that opens again serves as before.
  headless.set_open_result(true);
  EXPECT_TRUE(headless.open());
  EXPECT_NE(headless.create_buffer(f, 22050 * 2), nullptr);
  unsetenv("SDL_AUDIODRIVER");
}
