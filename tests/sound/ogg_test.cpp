// Ogg Vorbis: the memory callbacks, the corpus files against libvorbisfile and
// sox, loops over encoded files, and the refusal of chained files.
#include <cstdio>

#include "core/sjis.h"
#include "sound/ogg_memory.h"
#include "sound_fixture.h"

namespace {

std::vector<int16_t> frames_of(const std::vector<int16_t>& s, size_t from, size_t count, int channels) {
  return std::vector<int16_t>(s.begin() + static_cast<std::ptrdiff_t>(from * channels),
                              s.begin() + static_cast<std::ptrdiff_t>((from + count) * channels));
}

}  // namespace

TEST(OggMemory, SeekStaysInsideTheImageAndReadsNeverGoNegative) {
  std::vector<uint8_t> image(100);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i);
  ogg_memory_source src{image.data(), 100, 0};
  uint8_t buf[64];
  EXPECT_EQ(ogg_memory_read(buf, 1, 64, &src), 64u);
  EXPECT_EQ(ogg_memory_tell(&src), 64);
  EXPECT_EQ(ogg_memory_read(buf, 1, 64, &src), 36u);
  EXPECT_EQ(buf[0], 64);
  EXPECT_EQ(ogg_memory_read(buf, 1, 64, &src), 0u);
  EXPECT_EQ(ogg_memory_seek(&src, 10, SEEK_SET), 0);
  EXPECT_EQ(ogg_memory_seek(&src, -5, SEEK_CUR), 0);
  EXPECT_EQ(ogg_memory_tell(&src), 5);
  EXPECT_EQ(ogg_memory_seek(&src, 0, SEEK_END), 0);
  EXPECT_EQ(ogg_memory_tell(&src), 100);
  // Outside the image: refused, position unchanged.
  EXPECT_EQ(ogg_memory_seek(&src, 1, SEEK_END), -1);
  EXPECT_EQ(ogg_memory_seek(&src, -1, SEEK_SET), -1);
  EXPECT_EQ(ogg_memory_seek(&src, -101, SEEK_CUR), -1);
  EXPECT_EQ(ogg_memory_seek(&src, INT64_MAX, SEEK_CUR), -1);
  EXPECT_EQ(ogg_memory_seek(&src, INT64_MIN, SEEK_END), -1);
  EXPECT_EQ(ogg_memory_seek(&src, 0, 7), -1);
  EXPECT_EQ(ogg_memory_tell(&src), 100);
  // Whole items only, and a position past the end (set from outside) reads nothing.
  ASSERT_EQ(ogg_memory_seek(&src, 95, SEEK_SET), 0);
  EXPECT_EQ(ogg_memory_read(buf, 4, 8, &src), 1u);
  EXPECT_EQ(ogg_memory_tell(&src), 99);
  src.position = 500;
  EXPECT_EQ(ogg_memory_read(buf, 1, 64, &src), 0u);
  EXPECT_EQ(ogg_memory_close(&src), 1);
}

TEST_F(SoundTest, CorpusFilesDecodeLikeVorbisfileAndSox) {
  std::string corpus = testdata_sound_folder();
  if (corpus.empty()) GTEST_SKIP() << "tests/data/conformance/sound is absent; corpus check skipped";
  int index = 0;
  for (const char* file : {"bell.oga", "complete.oga"}) {
    SCOPED_TRACE(file);
    int channels = 0;
    long file_rate = 0;
    std::vector<int16_t> ref = decode_ogg_reference(corpus + file, &channels, &file_rate);
    ASSERT_FALSE(ref.empty());
    ASSERT_EQ(channels, 2);
    ASSERT_EQ(file_rate, 44100);
    if (sox_available()) {
      ASSERT_EQ(run_command("sox " + corpus + file + " -t raw -e signed -b 16 -L " + folder.path() + "sox.raw"), 0);
      EXPECT_EQ(pcm16_samples(folder.read("sox.raw")), ref);
    }
    object_node* n = new_sound(s0(), "o" + std::to_string(index++));
    size_t first = audio().frames_rendered();
    load(n, "f.ogg", read_host_file(corpus + file), sound_codec_ogg);
    size_t frames = ref.size() / 2;
    EXPECT_EQ(rec(n)->length, static_cast<int64_t>(frames * 1000 / 44100));
    request(n, sound_request_kind_play, 0);
    ASSERT_EQ(cycle(), 0);
    // The pass ends at the loop end (the length, whole ms); then it loops.
    size_t pass = static_cast<size_t>(rec(n)->loop_end) * 44100 / 1000;
    step(static_cast<uint32_t>(rec(n)->length * 2 + 100));
    std::vector<int16_t> out = heard(first);
    ASSERT_GE(out.size(), pass * 4);
    EXPECT_EQ(frames_of(out, 0, pass, 2), frames_of(ref, 0, pass, 2));
    EXPECT_EQ(frames_of(out, pass, pass, 2), frames_of(ref, 0, pass, 2));
    request(n, sound_request_kind_unload, 0);
    ASSERT_EQ(cycle(), 0);
  }
}

TEST_F(SoundTest, CorpusWaveDecodesLikeSox) {
  std::string corpus = testdata_sound_folder();
  if (corpus.empty()) GTEST_SKIP() << "tests/data/conformance/sound is absent; corpus check skipped";
  if (!sox_available()) GTEST_SKIP() << "sox is not installed";
  use_output_rate(48000);
  ASSERT_EQ(run_command("sox " + corpus + "Front_Center.wav -t raw -e signed -b 16 -L " + folder.path() + "ref.raw"), 0);
  std::vector<int16_t> ref = pcm16_samples(folder.read("ref.raw"));
  object_node* n = new_sound(s0(), "w");
  load(n, "f.wav", read_host_file(corpus + "Front_Center.wav"), sound_codec_wav);
  EXPECT_EQ(rec(n)->format.rate, 48000u);
  EXPECT_EQ(rec(n)->data_form, sound_form_pcm);
  request(n, sound_request_kind_loop_count, 1);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(1600);
  std::vector<int16_t> out = heard();
  size_t pass = static_cast<size_t>(rec(n)->length) * 48;
  ASSERT_GE(out.size() / 2, pass);
  for (size_t i = 0; i < pass; ++i) ASSERT_EQ(out[i * 2], ref[i]) << i;
}

TEST_F(SoundTest, EncodedOggLoopsBetweenItsLoopPoints) {
  std::vector<int16_t> tone = tone_samples(44100 * 2, 2, 44100);
  std::vector<uint8_t> ogg = encode_ogg(tone, 2, 44100, 1);
  ASSERT_FALSE(ogg.empty());
  folder.write("ref.ogg", ogg);
  std::vector<int16_t> ref = decode_ogg_reference(folder.path() + "ref.ogg");
  ASSERT_EQ(ref.size(), tone.size());
  object_node* n = new_sound(s0(), "o");
  load(n, "t.ogg", ogg, sound_codec_ogg);
  EXPECT_EQ(rec(n)->length, 2000);
  request(n, sound_request_kind_loop_start, 200);
  request(n, sound_request_kind_loop_end, 700);
  request(n, sound_request_kind_loop_count, 3);
  request(n, sound_request_kind_start, 100);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(2500);
  std::vector<int16_t> out = heard();
  const size_t start = 4410, loop = 8820, end = 30870;
  EXPECT_EQ(frames_of(out, 0, end - start, 2), frames_of(ref, start, end - start, 2));
  size_t at = end - start;
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(frames_of(out, at, end - loop, 2), frames_of(ref, loop, end - loop, 2)) << pass;
    at += end - loop;
  }
  std::vector<int16_t> rest = frames_of(out, at, out.size() / 2 - at, 2);
  EXPECT_EQ(rest, std::vector<int16_t>(rest.size(), 0));
  EXPECT_GE(rec(n)->passes, 3);  // the tracker counts the passes of silence on
}

TEST_F(SoundTest, OggPauseResumeAndNegativeStart) {
  std::vector<int16_t> tone = tone_samples(44100, 1, 44100);
  std::vector<uint8_t> ogg = encode_ogg(tone, 1, 44100, 7);
  folder.write("ref.ogg", ogg);
  std::vector<int16_t> ref = decode_ogg_reference(folder.path() + "ref.ogg");
  object_node* n = new_sound(s0(), "o");
  load(n, "t.ogg", ogg, sound_codec_ogg);
  request(n, sound_request_kind_start, -250);
  request(n, sound_request_kind_play, 0);
  ASSERT_EQ(cycle(), 0);
  step(400);
  request(n, sound_request_kind_pause, 1);  // runs at 410: 160 ms into the sound
  step(100);
  request(n, sound_request_kind_pause, 0);  // resumes at 510
  step(300);
  std::vector<int16_t> out = heard();
  for (size_t i = 0; i < 11025; ++i) ASSERT_EQ(out[i * 2], 0) << i;
  for (size_t i = 0; i < 7056; ++i) ASSERT_EQ(out[(11025 + i) * 2], ref[i]) << i;
  size_t resumed = audio().frame_at(510);
  for (size_t i = 0; i < 4000; ++i) ASSERT_EQ(out[(resumed + i) * 2], ref[7056 + i]) << i;
}

TEST_F(SoundTest, ChainedOggIsRefused) {
  std::vector<int16_t> tone = tone_samples(4410, 1, 44100);
  std::vector<uint8_t> chained = encode_ogg(tone, 1, 44100, 11);
  std::vector<uint8_t> second = encode_ogg(tone, 1, 44100, 12);
  chained.insert(chained.end(), second.begin(), second.end());
  folder.write("c.ogg", chained);
  object_node* n = new_sound(s0(), "o");
  rec(n)->codec = sound_codec_ogg;
  request(n, sound_request_kind_load, 0, "c.ogg");
  int rc = cycle();
  EXPECT_EQ(rc, -1045);
  EXPECT_EQ(sjis_to_utf8(sound_error_text(rc)), "複数曲連結OGGには対応していません。");
  EXPECT_EQ(rec(n)->buffer, nullptr);
}

TEST_F(SoundTest, BrokenOggFailsToOpen) {
  std::vector<uint8_t> ogg = encode_ogg(tone_samples(4410, 1, 44100), 1, 44100, 3);
  object_node* n = new_sound(s0(), "o");
  rec(n)->codec = sound_codec_ogg;
  for (size_t cut : {size_t{0}, size_t{20}, size_t{200}}) {
    folder.write("b.ogg", std::vector<uint8_t>(ogg.begin(), ogg.begin() + static_cast<std::ptrdiff_t>(cut)));
    init_sound_queue();
    request(n, sound_request_kind_load, 0, "b.ogg");
    EXPECT_EQ(cycle(), -1030) << cut;
    free_sound_buffers(rec(n));
  }
}
