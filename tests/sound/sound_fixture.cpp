#include "sound_fixture.h"

#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

std::vector<uint8_t> make_wave(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t block_align,
                               const std::vector<uint8_t>& data, const std::vector<uint8_t>& extra,
                               bool with_extra_size) {
  std::vector<uint8_t> w;
  auto tag4 = [&](const char* t) {
    for (int i = 0; i < 4; ++i) w.push_back(static_cast<uint8_t>(t[i]));
  };
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) w.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto u16 = [&](uint16_t v) {
    w.push_back(static_cast<uint8_t>(v));
    w.push_back(static_cast<uint8_t>(v >> 8));
  };
  bool ext = with_extra_size || !extra.empty();
  uint32_t fmt_size = ext ? 18 + static_cast<uint32_t>(extra.size()) : 16;
  tag4("RIFF");
  u32(4 + 8 + fmt_size + (fmt_size & 1) + 8 + static_cast<uint32_t>(data.size()) + (data.size() & 1));
  tag4("WAVE");
  tag4("fmt ");
  u32(fmt_size);
  u16(tag), u16(channels), u32(rate), u32(rate * block_align), u16(block_align), u16(bits);
  if (ext) {
    u16(static_cast<uint16_t>(extra.size()));
    w.insert(w.end(), extra.begin(), extra.end());
    if (fmt_size & 1) w.push_back(0);
  }
  tag4("data");
  u32(static_cast<uint32_t>(data.size()));
  w.insert(w.end(), data.begin(), data.end());
  if (data.size() & 1) w.push_back(0);
  return w;
}

std::vector<uint8_t> pcm16_bytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> out(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    out[i * 2] = static_cast<uint8_t>(samples[i] & 0xFF);
    out[i * 2 + 1] = static_cast<uint8_t>((samples[i] >> 8) & 0xFF);
  }
  return out;
}

std::vector<int16_t> pcm16_samples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int16_t>(bytes[i * 2] | (bytes[i * 2 + 1] << 8));
  return out;
}

std::vector<int16_t> ramp_samples(size_t frames, int channels) {
  std::vector<int16_t> s(frames * channels);
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) s[i * channels + c] = static_cast<int16_t>(1 + (i % 30000) + c * 1000);
  return s;
}

std::vector<int16_t> tone_samples(size_t frames, int channels, int rate) {
  std::vector<int16_t> s(frames * channels);
  uint32_t noise = 12345;
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      noise = noise * 1103515245u + 12345u;
      double v = 12000.0 * std::sin(2 * M_PI * (440.0 + 110.0 * c) * static_cast<double>(i) / rate) +
                 static_cast<double>((noise >> 16) % 2001) - 1000.0;
      s[i * channels + c] = static_cast<int16_t>(v);
    }
  }
  return s;
}

std::vector<uint8_t> encode_ogg(const std::vector<int16_t>& interleaved, int channels, int rate, int serial,
                                float quality) {
  std::vector<uint8_t> out;
  vorbis_info vi;
  vorbis_info_init(&vi);
  if (vorbis_encode_init_vbr(&vi, channels, rate, quality) != 0) {
    vorbis_info_clear(&vi);  // a refused mode still holds its partial setup
    return out;
  }
  vorbis_comment vc;
  vorbis_comment_init(&vc);
  vorbis_dsp_state vd;
  vorbis_analysis_init(&vd, &vi);
  vorbis_block vb;
  vorbis_block_init(&vd, &vb);
  ogg_stream_state os;
  ogg_stream_init(&os, serial);
  ogg_packet h0, h1, h2;
  vorbis_analysis_headerout(&vd, &vc, &h0, &h1, &h2);
  ogg_stream_packetin(&os, &h0);
  ogg_stream_packetin(&os, &h1);
  ogg_stream_packetin(&os, &h2);
  ogg_page og;
  auto put = [&](const ogg_page& p) {
    out.insert(out.end(), p.header, p.header + p.header_len);
    out.insert(out.end(), p.body, p.body + p.body_len);
  };
  while (ogg_stream_flush(&os, &og)) put(og);
  size_t frames = interleaved.size() / channels;
  size_t at = 0;
  bool eos = false;
  while (!eos) {
    size_t n = std::min<size_t>(1024, frames - at);
    if (n == 0) {
      vorbis_analysis_wrote(&vd, 0);
    } else {
      float** buf = vorbis_analysis_buffer(&vd, static_cast<int>(n));
      for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < channels; ++c) buf[c][i] = interleaved[(at + i) * channels + c] / 32768.0f;
      vorbis_analysis_wrote(&vd, static_cast<int>(n));
      at += n;
    }
    while (vorbis_analysis_blockout(&vd, &vb) == 1) {
      vorbis_analysis(&vb, nullptr);
      vorbis_bitrate_addblock(&vb);
      ogg_packet op;
      while (vorbis_bitrate_flushpacket(&vd, &op)) {
        ogg_stream_packetin(&os, &op);
        while (ogg_stream_pageout(&os, &og)) {
          put(og);
          if (ogg_page_eos(&og)) eos = true;
        }
      }
    }
    if (n == 0) {
      while (ogg_stream_flush(&os, &og)) put(og);
      eos = true;
    }
  }
  ogg_stream_clear(&os);
  vorbis_block_clear(&vb);
  vorbis_dsp_clear(&vd);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  return out;
}

std::vector<int16_t> decode_ogg_reference(const std::string& host_path, int* channels, long* rate) {
  std::vector<int16_t> out;
  OggVorbis_File vf;
  if (ov_fopen(host_path.c_str(), &vf) != 0) return out;
  vorbis_info* vi = ov_info(&vf, -1);
  if (channels) *channels = vi->channels;
  if (rate) *rate = vi->rate;
  char buf[4096];
  int bs = 0;
  for (;;) {
    long n = ov_read(&vf, buf, sizeof buf, 0, 2, 1, &bs);
    if (n <= 0) break;
    for (long i = 0; i + 1 < n; i += 2)
      out.push_back(static_cast<int16_t>(static_cast<uint8_t>(buf[i]) | (static_cast<uint8_t>(buf[i + 1]) << 8)));
  }
  ov_clear(&vf);
  return out;
}

bool sox_available() { return std::system("command -v sox >/dev/null 2>&1") == 0; }

int run_command(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::vector<uint8_t> read_host_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string testdata_sound_folder() {
  const char* env = std::getenv("ZARVIK_TESTDATA");
  std::string folder = (env && *env ? std::string(env) : std::string(ZARVIK_SOURCE_DIR) + "/tests/data/conformance") +
                       "/sound/";
  std::ifstream probe(folder + "bell.oga");
  return probe ? folder : std::string();
}

void SoundTest::SetUp() {
  quit_flag = 0;
  hp = std::make_unique<HeadlessPlatform>(folder.path());
  device = &hp->audio;
  ASSERT_EQ(create_direct_sound(), 1);
  init_sound_queue();
  install_sound_tree_hooks();
  ASSERT_EQ(create_tree_roots(), 0);
  ASSERT_NE(sound_tree_root(), nullptr);
}

void SoundTest::TearDown() {
  destroy_sound_tree();
  release_direct_sound();
  sound_focus = sound_focus_links{};
  sound_thread.paused_by_focus = 0;
  hp.reset();
  own_device.reset();
  quit_flag = 0;
}

void SoundTest::use_output_rate(int rate) {
  release_direct_sound();
  own_device = std::make_unique<HeadlessAudioDevice>(&hp->clock, rate);
  device = own_device.get();
  hp->services.audio = device;
  ASSERT_EQ(create_direct_sound(), 1);
}

object_node* SoundTest::s0() { return find_child_by_name(sound_tree_root(), "S0"); }

namespace {
std::string path_of(object_node* n) {
  if (!n || !n->parent) return "";
  std::string p = path_of(n->parent);
  return p.empty() ? n->name : p + "/" + n->name;
}
object_node* make_child(object_node* parent, const std::string& name, int group) {
  std::lock_guard<engine_mutex> g(engine_lock);
  std::string p = path_of(parent);
  object_node* n = create_object_by_path(sound_tree_root(), p.empty() ? name : p + "/" + name, group, 1, 0);
  if (n) alloc_sound_record(n);
  return n;
}
}  // namespace

object_node* SoundTest::new_sound(object_node* parent, const std::string& name) {
  return make_child(parent, name, 0);
}

object_node* SoundTest::new_group(object_node* parent, const std::string& name) {
  return make_child(parent, name, 1);
}

void SoundTest::load(object_node* n, const std::string& file, const std::vector<uint8_t>& bytes, uint8_t codec) {
  folder.write(file, bytes);
  rec(n)->codec = codec;
  int e = request(n, sound_request_kind_load, 0, file.c_str());
  ASSERT_GE(e, 0);
  ASSERT_EQ(cycle(), 0);
  ASSERT_EQ(sound_command_queue.done[e].load(), 1);
  ASSERT_EQ(rec(n)->state.load(), sound_loaded);
}

int SoundTest::request(object_node* n, int kind, int32_t argument, const char* name) {
  return enqueue_sound_request(n, kind, argument, name);
}

void SoundTest::step(uint32_t ms, uint32_t granularity) {
  while (ms) {
    uint32_t d = std::min(ms, granularity);
    hp->clock.advance(d);
    ms -= d;
    int rc = cycle();
    ASSERT_EQ(rc, 0) << "sound cycle failed at " << now() << " ms";
  }
}

std::vector<int16_t> SoundTest::heard(size_t first) {
  device->pull();
  return device->output(first);
}
