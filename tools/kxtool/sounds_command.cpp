// kxtool sounds: the demo game's sounds, synthesised so the demo needs no
// recorded assets: a looping arpeggio for music and a short chime.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "kxtool_files.h"

namespace {

constexpr int sample_rate = 22050;
constexpr double pi = 3.14159265358979323846;

// Adds a plucked note: a sine with a quick attack and an exponential decay.
void add_note(std::vector<double>& mix, double start_s, double length_s, double frequency, double level) {
  const size_t first = static_cast<size_t>(start_s * sample_rate);
  const size_t count = static_cast<size_t>(length_s * sample_rate);
  for (size_t i = 0; i < count && first + i < mix.size(); ++i) {
    const double t = static_cast<double>(i) / sample_rate;
    const double envelope = std::min(1.0, t * 200.0) * std::exp(-t * 5.0);
    mix[first + i] += level * envelope * std::sin(2 * pi * frequency * t);
  }
}

std::vector<int16_t> to_pcm(const std::vector<double>& mix) {
  std::vector<int16_t> out(mix.size());
  for (size_t i = 0; i < mix.size(); ++i) {
    const double v = std::max(-1.0, std::min(1.0, mix[i]));
    out[i] = static_cast<int16_t>(std::lround(v * 32000.0));
  }
  return out;
}

}  // namespace

int kxtool_sounds(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: kxtool sounds FOLDER\n");
    return 2;
  }
  const std::filesystem::path folder = std::filesystem::path(args[0]) / "sound";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  // Music: four bars of a C major arpeggio, two seconds, made to loop.
  std::vector<double> music(static_cast<size_t>(2.0 * sample_rate), 0.0);
  const double notes[] = {261.63, 329.63, 392.00, 523.25, 392.00, 329.63, 293.66, 349.23};
  for (int i = 0; i < 8; ++i) add_note(music, i * 0.25, 0.5, notes[i], 0.35);
  // The effect: a two-tone chime.
  std::vector<double> chime(static_cast<size_t>(0.6 * sample_rate), 0.0);
  add_note(chime, 0.0, 0.6, 880.0, 0.5);
  add_note(chime, 0.08, 0.5, 1318.5, 0.4);
  bool ok = kxtool_write_file((folder / "music.wav").string(), encode_wav(to_pcm(music), 1, sample_rate));
  ok = kxtool_write_file((folder / "chime.wav").string(), encode_wav(to_pcm(chime), 1, sample_rate)) && ok;
  return ok ? 0 : 1;
}
