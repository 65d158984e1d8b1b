// Shared set-up of the sound tests: a headless engine on virtual time with the
// sound tree, the queue and the device, and helpers that make sounds.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "platform/headless/headless_audio.h"
#include "platform/headless/headless_platform.h"
#include "sound/sound_player.h"
#include "sound/sound_queue.h"
#include "sound/sound_thread.h"
#include "core/object_tree.h"
#include "support/temp_folder.h"

// A RIFF/WAVE image: "fmt " of 16 bytes (18 + extra when given) and "data".
std::vector<uint8_t> make_wave(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t block_align,
                               const std::vector<uint8_t>& data, const std::vector<uint8_t>& extra = {},
                               bool with_extra_size = false);
// 16-bit PCM bytes of interleaved samples.
std::vector<uint8_t> pcm16_bytes(const std::vector<int16_t>& samples);
std::vector<int16_t> pcm16_samples(const std::vector<uint8_t>& bytes);
// A recognisable mono ramp: never 0, so silence is told apart.
std::vector<int16_t> ramp_samples(size_t frames, int channels = 1);
// Sine (plus a little deterministic noise) for the codecs.
std::vector<int16_t> tone_samples(size_t frames, int channels, int rate);
// Ogg Vorbis made with libvorbisenc.
std::vector<uint8_t> encode_ogg(const std::vector<int16_t>& interleaved, int channels, int rate, int serial,
                                float quality = 0.4f);
// Reference decode through libvorbisfile on a file.
std::vector<int16_t> decode_ogg_reference(const std::string& host_path, int* channels = nullptr, long* rate = nullptr);

bool sox_available();
int run_command(const std::string& command);
std::vector<uint8_t> read_host_file(const std::string& path);
std::string testdata_sound_folder();  // empty when the corpus is absent

class SoundTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Replaces the device by one at another output rate (before sounds exist).
  void use_output_rate(int rate);

  object_node* s0();
  object_node* new_sound(object_node* parent, const std::string& name);
  object_node* new_group(object_node* parent, const std::string& name);
  sound_record* rec(object_node* n) { return sound_node_record(n); }
  // Writes the file into the game folder, loads it and checks the state.
  void load(object_node* n, const std::string& file, const std::vector<uint8_t>& bytes, uint8_t codec);
  int request(object_node* n, int kind, int32_t argument = 0, const char* name = nullptr);
  // Advances virtual time in steps of `granularity` ms, running one sound
  // cycle after each; fails the test on a cycle error.
  void step(uint32_t ms, uint32_t granularity = 10);
  int cycle() { return sound_cycle(); }
  uint32_t now() { return hp->clock.tick_ms(); }
  // Output frames (stereo, interleaved) from frame `first`, pulled to now.
  std::vector<int16_t> heard(size_t first = 0);
  HeadlessAudioDevice& audio() { return *device; }

  temp_folder folder;
  std::unique_ptr<HeadlessPlatform> hp;
  std::unique_ptr<HeadlessAudioDevice> own_device;
  HeadlessAudioDevice* device = nullptr;
};
