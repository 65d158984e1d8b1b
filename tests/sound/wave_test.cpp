// WAV images: the bounded chunk walk on hostile images, the converters against
// sox's decoding, and converted sounds through pause and resume.
#include "sound/wave_file.h"

#include <cstring>

#include "sound_fixture.h"

namespace {

void put32(std::vector<uint8_t>& w, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) w[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

int walk(const std::vector<uint8_t>& w, wave_chunks* out = nullptr) {
  wave_chunks c;
  int rc = find_wave_chunks(w.data(), w.size(), c);
  if (out) *out = c;
  return rc;
}

std::vector<uint8_t> pcm_wave() { return make_wave(1, 1, 8000, 16, 2, pcm16_bytes(ramp_samples(100))); }

}  // namespace

TEST(WaveFile, WalksChunksInsideTheImageOnly) {
  std::vector<uint8_t> w = pcm_wave();
  wave_chunks c;
  ASSERT_EQ(walk(w, &c), 0);
  EXPECT_EQ(c.format_offset, 20u);
  EXPECT_EQ(c.format_size, 16u);
  EXPECT_EQ(c.data_offset, 44u);
  EXPECT_EQ(c.data_size, 200u);

  EXPECT_EQ(walk({}), wave_error_not_riff);
  EXPECT_EQ(walk(std::vector<uint8_t>(w.begin(), w.begin() + 10)), wave_error_not_wave);
  std::vector<uint8_t> bad = w;
  bad[0] = 'X';
  EXPECT_EQ(walk(bad), wave_error_not_riff);
  bad = w;
  bad[8] = 'X';
  EXPECT_EQ(walk(bad), wave_error_not_wave);

  // Every truncation stays inside the image and fails cleanly or keeps what is there.
  for (size_t n = 0; n < w.size(); ++n) {
    std::vector<uint8_t> t(w.begin(), w.begin() + n);
    wave_chunks tc;
    int rc = walk(t, &tc);
    if (rc == 0) {
      EXPECT_LE(tc.data_offset + tc.data_size, n);
    }
  }

  // A data size far beyond the image is cut at the image end.
  bad = w;
  put32(bad, 40, 0xFFFFFFF0u);
  ASSERT_EQ(walk(bad, &c), 0);
  EXPECT_EQ(c.data_size, 200u);
  // A RIFF size beyond the image, and a chunk size that would wrap.
  bad = w;
  put32(bad, 4, 0xFFFFFFFFu);
  EXPECT_EQ(walk(bad), 0);
  bad = w;
  put32(bad, 16, 0xFFFFFFFFu);  // "fmt " size
  EXPECT_EQ(walk(bad), wave_error_no_format);
  // A RIFF size that ends before "data" hides it.
  bad = w;
  put32(bad, 4, 28);
  EXPECT_EQ(walk(bad), wave_error_no_data);
  // "fmt " shorter than 14 bytes.
  bad = w;
  put32(bad, 16, 12);
  bad.erase(bad.begin() + 32, bad.begin() + 36);
  put32(bad, 4, static_cast<uint32_t>(bad.size() - 8));
  EXPECT_EQ(walk(bad), wave_error_chunks);
}

TEST(WaveFile, SkipsOddChunksWithPadding) {
  std::vector<uint8_t> w = pcm_wave();
  // Insert an odd-sized "LIST" chunk (3 bytes + 1 pad) before "data".
  std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
  w.insert(w.begin() + 36, list.begin(), list.end());
  put32(w, 4, static_cast<uint32_t>(w.size() - 8));
  wave_chunks c;
  ASSERT_EQ(walk(w, &c), 0);
  EXPECT_EQ(c.data_offset, 56u);
  EXPECT_EQ(c.data_size, 200u);
}

TEST(WaveFile, FormatExtraMustFitItsChunk) {
  std::vector<uint8_t> extra = {0xF9, 0x01};  // IMA samples per block
  std::vector<uint8_t> w = make_wave(0x11, 1, 8000, 4, 256, std::vector<uint8_t>(512, 0x11), extra);
  wave_chunks c;
  ASSERT_EQ(walk(w, &c), 0);
  wave_format_block f;
  ASSERT_EQ(read_wave_format(w.data(), c, f), 0);
  EXPECT_EQ(f.extra_size, 2);
  ASSERT_EQ(f.extra.size(), 2u);
  w[36] = 40;  // extra size beyond the 20-byte chunk
  EXPECT_EQ(read_wave_format(w.data(), c, f), wave_error_no_converter);
  // PCM ignores the field.
  std::vector<uint8_t> p = make_wave(1, 1, 8000, 16, 2, pcm16_bytes(ramp_samples(10)), {}, true);
  ASSERT_EQ(walk(p, &c), 0);
  p[36] = 200;
  EXPECT_EQ(read_wave_format(p.data(), c, f), 0);
}

TEST(WaveFile, G711AndExtensibleConvertToPcm) {
  wave_format_block in, out;
  in.channels = 1, in.rate = 8000, in.bits = 8, in.block_align = 1;
  std::vector<uint8_t> data = {0xFF, 0x7F, 0x00, 0x80, 0xD5, 0x55};
  std::vector<uint8_t> pcm;
  in.format_tag = wave_tag_mulaw;
  ASSERT_EQ(convert_wave_to_pcm(in, data.data(), data.size(), out, pcm), 0);
  std::vector<int16_t> s = pcm16_samples(pcm);
  EXPECT_EQ(s, (std::vector<int16_t>{0, 0, -32124, 32124, 716, -716}));
  EXPECT_EQ(out.bits, 16);
  EXPECT_EQ(out.block_align, 2);
  in.format_tag = wave_tag_alaw;
  ASSERT_EQ(convert_wave_to_pcm(in, data.data(), data.size(), out, pcm), 0);
  s = pcm16_samples(pcm);
  EXPECT_EQ(s, (std::vector<int16_t>{848, -848, -5504, 5504, 8, -8}));

  in.format_tag = 0x0055;  // MPEG layer 3: no converter
  EXPECT_EQ(convert_wave_to_pcm(in, data.data(), data.size(), out, pcm), wave_error_no_converter);
  in.format_tag = wave_tag_mulaw;
  in.channels = 0;
  EXPECT_EQ(convert_wave_to_pcm(in, data.data(), data.size(), out, pcm), wave_error_no_converter);

  wave_format_block ext;
  ext.format_tag = wave_tag_extensible, ext.channels = 2, ext.rate = 8000, ext.bits = 16, ext.block_align = 4;
  ext.extra = {16, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  ext.extra_size = 22;
  std::vector<uint8_t> frames = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(convert_wave_to_pcm(ext, frames.data(), frames.size(), out, pcm), 0);
  EXPECT_EQ(pcm, std::vector<uint8_t>(frames.begin(), frames.begin() + 8));
  ext.extra[6] = 3;  // IEEE float sub-format
  EXPECT_EQ(convert_wave_to_pcm(ext, frames.data(), frames.size(), out, pcm), wave_error_no_converter);
}

TEST(WaveFile, AdpcmAndG711MatchSox) {
  if (!sox_available()) GTEST_SKIP() << "sox is not installed";
  temp_folder t;
  for (int channels : {1, 2}) {
    std::vector<int16_t> tone = tone_samples(22050, channels, 22050);
    t.write("in.wav", make_wave(1, static_cast<uint16_t>(channels), 22050, 16, static_cast<uint16_t>(2 * channels),
                                pcm16_bytes(tone)));
    for (const char* encoding : {"ima-adpcm", "ms-adpcm", "a-law", "u-law"}) {
      SCOPED_TRACE(std::string(encoding) + " channels " + std::to_string(channels));
      ASSERT_EQ(run_command("sox " + t.path() + "in.wav -e " + encoding + " " + t.path() + "enc.wav"), 0);
      ASSERT_EQ(run_command("sox " + t.path() + "enc.wav -t raw -e signed -b 16 -L " + t.path() + "ref.raw"), 0);
      std::vector<uint8_t> image = t.read("enc.wav");
      std::vector<int16_t> ref = pcm16_samples(t.read("ref.raw"));
      wave_chunks c;
      ASSERT_EQ(find_wave_chunks(image.data(), image.size(), c), 0);
      wave_format_block f, out;
      ASSERT_EQ(read_wave_format(image.data(), c, f), 0);
      std::vector<uint8_t> pcm;
      ASSERT_EQ(convert_wave_to_pcm(f, image.data() + c.data_offset, c.data_size, out, pcm), 0);
      std::vector<int16_t> got = pcm16_samples(pcm);
      EXPECT_EQ(out.channels, channels);
      EXPECT_EQ(out.rate, 22050u);
      // Whole blocks are converted; sox trims the last one to the sample count.
      ASSERT_GE(got.size(), ref.size());
      EXPECT_LT(got.size() - ref.size(), static_cast<size_t>(f.block_align) * 2);
      got.resize(ref.size());
      EXPECT_EQ(got, ref);
    }
  }
}

TEST_F(SoundTest, BrokenFormatsFailWithTheirCodes) {
  object_node* n = new_sound(s0(), "a");
  rec(n)->codec = sound_codec_wav;
  struct bad_case {
    std::vector<uint8_t> image;
    int code;
  };
  std::vector<uint8_t> data = pcm16_bytes(ramp_samples(100));
  std::vector<bad_case> cases = {
      {make_wave(1, 0, 8000, 16, 2, data), -1120},            // no channels
      {make_wave(1, 1, 0, 16, 2, data), -1120},               // no rate
      {make_wave(1, 1, 8000, 16, 0, data), -1120},            // no block align
      {make_wave(1, 1, 8000, 0, 2, data), -1120},             // no bits
      {make_wave(0x11, 1, 8000, 4, 0, data), wave_error_no_converter},
      {make_wave(0x2, 1, 8000, 4, 3, data), wave_error_no_converter},
      {std::vector<uint8_t>{'R', 'I', 'F', 'F'}, wave_error_not_riff},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    folder.write("bad.wav", cases[i].image);
    init_sound_queue();
    request(n, sound_request_kind_load, 0, "bad.wav");
    EXPECT_EQ(cycle(), cases[i].code) << i;
    EXPECT_EQ(rec(n)->buffer, nullptr) << i;
    free_sound_buffers(rec(n));
  }
}

TEST_F(SoundTest, DataShorterThanDeclaredPlaysWhatIsThere) {
  std::vector<int16_t> src = ramp_samples(4410);
  std::vector<uint8_t> w = make_wave(1, 1, 44100, 16, 2, pcm16_bytes(src));
  put32(w, 4, 0xFFFFFFF0u);  // RIFF and data sizes far beyond the image
  put32(w, 40, 1000000);
  w.push_back(0x55);      // and an odd byte at the end
  object_node* n = new_sound(s0(), "a");
  load(n, "a.wav", w, sound_codec_wav);
  EXPECT_EQ(rec(n)->pcm_bytes, 8821u);
  request(n, sound_request_kind_loop_count, 1);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(300);
  std::vector<int16_t> out = heard();
  for (size_t i = 0; i < src.size(); ++i) ASSERT_EQ(out[i * 2], src[i]) << i;
  for (size_t i = src.size(); i < 8000; ++i) ASSERT_EQ(out[i * 2], 0) << i;
}

TEST_F(SoundTest, ConvertedWaveSurvivesPauseAndResume) {
  if (!sox_available()) GTEST_SKIP() << "sox is not installed";
  std::vector<int16_t> tone = tone_samples(44100, 1, 44100);
  folder.write("in.wav", make_wave(1, 1, 44100, 16, 2, pcm16_bytes(tone)));
  ASSERT_EQ(run_command("sox " + folder.path() + "in.wav -e ima-adpcm " + folder.path() + "ima.wav"), 0);
  ASSERT_EQ(run_command("sox " + folder.path() + "ima.wav -t raw -e signed -b 16 -L " + folder.path() + "ref.raw"), 0);
  std::vector<int16_t> ref = pcm16_samples(folder.read("ref.raw"));
  object_node* n = new_sound(s0(), "a");
  rec(n)->codec = sound_codec_wav;
  int e = request(n, sound_request_kind_load, 0, "ima.wav");
  ASSERT_EQ(cycle(), 0);
  ASSERT_EQ(sound_command_queue.done[e].load(), 1);
  EXPECT_EQ(rec(n)->data_form, sound_form_converted);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(200);
  for (int i = 0; i < 3; ++i) {  // as every focus change did
    request(n, sound_request_kind_pause, 1);
    step(50);
    request(n, sound_request_kind_pause, 0);
    step(50);
  }
  EXPECT_EQ(rec(n)->data_form, sound_form_converted);
  EXPECT_EQ(rec(n)->held, 0);
  std::vector<int16_t> out = heard();
  // Paused at 210 ms (run in the cycle after the request), resumed at 260 ms
  // from the same place.
  size_t resumed = audio().frame_at(260);
  for (size_t i = 0; i < 9261; ++i) ASSERT_EQ(out[i * 2], ref[i]) << i;
  for (size_t i = 9261; i < resumed; ++i) ASSERT_EQ(out[i * 2], 0) << i;
  for (size_t i = 0; i < 2000; ++i) ASSERT_EQ(out[(resumed + i) * 2], ref[9261 + i]) << i;
}

TEST(WaveFile, HostileAdpcmBlocksStayBounded) {
  // Extreme coefficients and step sizes that grow every nibble: no overflow,
  // samples clamped, whole blocks only.
  wave_format_block ms;
  ms.format_tag = wave_tag_ms_adpcm, ms.channels = 1, ms.rate = 8000, ms.bits = 4, ms.block_align = 64;
  ms.extra = {116, 0, 1, 0, 0xFF, 0x7F, 0xFF, 0x7F};  // 116 frames per block, one coefficient pair
  ms.extra_size = 8;
  std::vector<uint8_t> block(64 * 3 + 10, 0x77);
  for (size_t b = 0; b < 3; ++b) {
    block[b * 64] = 0;                      // predictor 0
    block[b * 64 + 1] = 0xFF, block[b * 64 + 2] = 0x7F;  // delta 32767
  }
  block[192] = 0;  // the partial last block: header and 3 bytes of nibbles
  wave_format_block out;
  std::vector<uint8_t> pcm;
  ASSERT_EQ(convert_wave_to_pcm(ms, block.data(), block.size(), out, pcm), 0);
  EXPECT_EQ(pcm.size(), (3u * 116 + 2 + 6) * 2);
  std::vector<int16_t> s = pcm16_samples(pcm);
  EXPECT_EQ(s[200], 32767);
  block[64] = 5;  // a predictor index beyond the table
  EXPECT_EQ(convert_wave_to_pcm(ms, block.data(), block.size(), out, pcm), wave_error_not_possible);

  wave_format_block ima;
  ima.format_tag = wave_tag_ima_adpcm, ima.channels = 2, ima.rate = 8000, ima.bits = 4, ima.block_align = 72;
  std::vector<uint8_t> iblock(72 * 2, 0xFF);
  iblock[2] = 88, iblock[6] = 88, iblock[74] = 88, iblock[78] = 88;
  ASSERT_EQ(convert_wave_to_pcm(ima, iblock.data(), iblock.size(), out, pcm), 0);
  EXPECT_EQ(pcm.size(), 2u * 65 * 2 * 2);  // (72 - 8) * 2 / 2 + 1 frames per block
  iblock[2] = 89;
  EXPECT_EQ(convert_wave_to_pcm(ima, iblock.data(), iblock.size(), out, pcm), wave_error_not_possible);
  ima.block_align = 70;  // not whole 4-byte groups per channel
  EXPECT_EQ(convert_wave_to_pcm(ima, iblock.data(), iblock.size(), out, pcm), wave_error_no_converter);
}
