// Engine image format: every mode, every cut point, the part jobs run in the
// calling thread or on two threads, and every damaged layout.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core/engine_state.h"
#include "format/kcg_format.h"
#include "image/decode_kcg.h"
#include "image/picture_loader.h"
#include "image_test_util.h"
#include "core/compression_library.h"

namespace {

// A stand-in for the compression library: a 4-byte length and the bytes
// inverted. Enough to prove the decoder calls it per part with the right
// capacity and checks what comes back.
uint32_t stub_compressed_length(uint32_t n) { return n + 4; }
int32_t stub_compress(const uint8_t* src, uint32_t n, uint8_t* dst, uint32_t* dst_len) {
  if (*dst_len < n + 4) return 1;
  std::memcpy(dst, &n, 4);
  for (uint32_t i = 0; i < n; ++i) dst[4 + i] = static_cast<uint8_t>(~src[i]);
  *dst_len = n + 4;
  return 0;
}
int32_t stub_uncompress(const uint8_t* src, uint32_t n, uint8_t* dst, uint32_t* dst_len) {
  uint32_t stored = 0;
  if (n < 4) return 1;
  std::memcpy(&stored, src, 4);
  if (stored != n - 4 || stored > *dst_len) return 2;
  for (uint32_t i = 0; i < stored; ++i) dst[i] = static_cast<uint8_t>(~src[4 + i]);
  *dst_len = stored;
  return 0;
}

const kcg_library_packer stub_packer{stub_compressed_length, stub_compress};

// Runs the two parts on two threads, as workers 0 and 1 would, and counts
// what it ran.
std::atomic<int> jobs_posted{0};
void post_on_two_threads(kcg_part_job* jobs) {
  std::thread a([&] { run_kcg_part_job(jobs[0]); });
  std::thread b([&] { run_kcg_part_job(jobs[1]); });
  a.join();
  b.join();
  jobs_posted += 2;
}

class KcgDecoder : public testing::Test {
 protected:
  void SetUp() override {
    compression_library.compressed_length = stub_compressed_length;
    compression_library.compress = [](const void* s, uint32_t n, void* d, uint32_t* dl) {
      return stub_compress(static_cast<const uint8_t*>(s), n, static_cast<uint8_t*>(d), dl);
    };
    compression_library.uncompress = [](const void* s, uint32_t n, void* d, uint32_t* dl) {
      return stub_uncompress(static_cast<const uint8_t*>(s), n, static_cast<uint8_t*>(d), dl);
    };
    kcg_decoder.post_part_jobs = nullptr;
    quit_flag = 0;
  }
  void TearDown() override {
    compression_library = compression_library_record{};
    kcg_decoder.post_part_jobs = nullptr;
  }
};

std::vector<uint8_t> make_kcg(const std::vector<uint8_t>& pixels, uint32_t w, uint32_t h, uint32_t mode, uint64_t cut) {
  std::vector<uint8_t> out;
  EXPECT_EQ(build_kcg_file(pixels.data(), w, h, mode, cut, &stub_packer, out), 0);
  return out;
}

int decode(const std::vector<uint8_t>& file, owned_picture& pic) {
  return decode_kcg(file.data(), file.size(), "k.png", pic.picture);
}

}  // namespace

TEST_F(KcgDecoder, EveryModeEveryCutAnyWorkerCount) {
  const uint32_t w = 3, h = 4;
  const auto pixels = noise_bytes(w * h * 4, 9);
  for (uint32_t mode : {kcg_compression_raw, kcg_compression_zlib, kcg_compression_library}) {
    for (uint64_t cut = 0; cut <= w * h * 4; ++cut) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << " cut " << cut);
      const auto file = make_kcg(pixels, w, h, mode, cut);
      owned_picture one, two;
      kcg_decoder.post_part_jobs = nullptr;
      ASSERT_EQ(decode(file, one), 0);
      kcg_decoder.post_part_jobs = post_on_two_threads;
      ASSERT_EQ(decode(file, two), 0);
      EXPECT_EQ(one.bytes(), pixels);
      EXPECT_EQ(two.bytes(), pixels);
      EXPECT_EQ(one.picture.alpha_in_use, 1);
      EXPECT_EQ(two.picture.width, 3);
    }
  }
  EXPECT_EQ(jobs_posted.load(), 3 * 49 * 2);
}

TEST_F(KcgDecoder, JobsCarryTheirKindAndPart) {
  const auto pixels = noise_bytes(8 * 8 * 4, 4);
  static kcg_part_job seen[2];
  kcg_decoder.post_part_jobs = [](kcg_part_job* jobs) {
    run_kcg_part_job(jobs[0]);
    run_kcg_part_job(jobs[1]);
    seen[0] = jobs[0];
    seen[1] = jobs[1];
  };
  const int32_t kinds[] = {kcg_job_raw, kcg_job_zlib, kcg_job_library};
  for (uint32_t mode = 0; mode < 3; ++mode) {
    owned_picture pic;
    ASSERT_EQ(decode(make_kcg(pixels, 8, 8, mode, 100), pic), 0);
    EXPECT_EQ(seen[0].kind, kinds[mode]);
    EXPECT_EQ(seen[1].kind, kinds[mode]);
    EXPECT_EQ(seen[0].out, pic.picture.pixels);
    EXPECT_EQ(seen[1].out, pic.picture.pixels + 100);
    EXPECT_EQ(seen[0].unpacked_size, 100u);
    EXPECT_EQ(seen[1].unpacked_size, 8u * 8 * 4 - 100);
    EXPECT_EQ(seen[0].result, 0);
    EXPECT_EQ(seen[1].result, 0);
  }
}

TEST_F(KcgDecoder, LargestSizeIsAcceptedAndOneMoreRefused) {
  // 8192 x 8192 zeros, zlib-packed in two parts.
  std::vector<uint8_t> zeros(size_t(8192) * 8192 * 2, 0);
  uLongf packed_size = compressBound(zeros.size());
  std::vector<uint8_t> packed(packed_size);
  ASSERT_EQ(compress2(packed.data(), &packed_size, zeros.data(), zeros.size(), 1), Z_OK);
  packed.resize(packed_size);
  zeros = {};
  kcg_header header;
  header.magic_ok = true;
  header.width = header.height = 8192;
  header.compression = kcg_compression_zlib;
  header.part1_unpacked = header.part2_unpacked = 8192u * 8192 * 2;
  header.part1_packed = header.part2_packed = static_cast<uint32_t>(packed.size());
  std::vector<uint8_t> file(kcg_header_size);
  write_kcg_header(header, file.data());
  file.insert(file.end(), packed.begin(), packed.end());
  file.insert(file.end(), packed.begin(), packed.end());
  {
    owned_picture pic;
    ASSERT_EQ(decode(file, pic), 0);
    EXPECT_EQ(pic.picture.height, 8192);
    EXPECT_EQ(pic.pixel(8191, 8191), 0u);
  }
  for (int side = 0; side < 2; ++side) {
    kcg_header big = header;
    (side ? big.width : big.height) = 8193;
    write_kcg_header(big, file.data());
    owned_picture pic;
    quit_flag = 0;
    EXPECT_EQ(decode(file, pic), -1);
    EXPECT_EQ(quit_flag.load(), 1);
    EXPECT_EQ(pic.picture.pixels, nullptr);
  }
}

TEST_F(KcgDecoder, DamagedLayoutsFailTheSameWayOnAnyWorkerCount) {
  const uint32_t w = 4, h = 4;
  const auto pixels = noise_bytes(w * h * 4, 1);
  struct damage {
    const char* what;
    uint32_t mode;
    void (*apply)(std::vector<uint8_t>&);
  };
  const damage cases[] = {
      // A wrong magic is only shown, but a wrong magic with a bad layout fails.
      {"bad magic and sizes", 0, [](std::vector<uint8_t>& f) { f[0] = 'X'; f[36] -= 1; f[52] += 1; }},
      {"short header", 0, [](std::vector<uint8_t>& f) { f.resize(55); }},
      {"part 2 larger than the picture", 0, [](std::vector<uint8_t>& f) { f[48] += 4; f[52] += 4; }},
      {"raw sizes differ", 0, [](std::vector<uint8_t>& f) { f[36] -= 1; f[52] += 1; }},
      {"raw file cut short", 0, [](std::vector<uint8_t>& f) { f.pop_back(); }},
      {"packed part past the end", 1, [](std::vector<uint8_t>& f) { f[52] += 1; }},
      {"compression 3", 0, [](std::vector<uint8_t>& f) { f[16] = 3; }},
      {"zlib part 2 damaged", 1, [](std::vector<uint8_t>& f) { f[f.size() - 6] ^= 0xFF; }},
      {"zlib part 1 damaged", 1, [](std::vector<uint8_t>& f) { f[58] ^= 0xFF; }},
      // The stand-in library checks its length prefix: part 2's starts at 56 + 24.
      {"library part 2 damaged", 2, [](std::vector<uint8_t>& f) { f[56 + 24] ^= 1; }},
      {"library part 1 damaged", 2, [](std::vector<uint8_t>& f) { f[56] ^= 1; }},
      {"part sizes swapped", 1, [](std::vector<uint8_t>& f) {
         std::swap_ranges(f.begin() + 32, f.begin() + 36, f.begin() + 48);
       }},
  };
  for (const damage& d : cases) {
    SCOPED_TRACE(d.what);
    auto file = make_kcg(pixels, w, h, d.mode, 20);
    d.apply(file);
    for (auto hook : {static_cast<void (*)(kcg_part_job*)>(nullptr), &post_on_two_threads}) {
      kcg_decoder.post_part_jobs = hook;
      owned_picture pic;
      ASSERT_EQ(alloc_picture_buffer(pic.picture, 1, 1, "old"), 0);
      uint8_t* old = pic.picture.pixels;
      EXPECT_EQ(decode(file, pic), -1);
      EXPECT_EQ(pic.picture.pixels, old);
      EXPECT_EQ(pic.picture.width, 1);
    }
  }
}

TEST_F(KcgDecoder, ShortZlibStreamAndMissingLibraryFail) {
  const uint32_t w = 2, h = 2;
  const auto pixels = noise_bytes(16, 3);
  // Part 2 claims 4 bytes but its stream holds 2.
  auto file = make_kcg(pixels, w, h, kcg_compression_zlib, 12);
  std::vector<uint8_t> short_stream(64);
  uLongf n = short_stream.size();
  ASSERT_EQ(compress2(short_stream.data(), &n, pixels.data(), 2, 9), Z_OK);
  kcg_header header;
  ASSERT_TRUE(read_kcg_header(file.data(), file.size(), header));
  file.resize(kcg_header_size + header.part1_packed);
  file.insert(file.end(), short_stream.begin(), short_stream.begin() + static_cast<long>(n));
  header.part2_packed = static_cast<uint32_t>(n);
  write_kcg_header(header, file.data());
  owned_picture pic;
  EXPECT_EQ(decode(file, pic), -1);

  const auto packed = make_kcg(pixels, w, h, kcg_compression_library, 8);
  compression_library = compression_library_record{};
  EXPECT_EQ(decode(packed, pic), -1);
  EXPECT_EQ(pic.picture.pixels, nullptr);
}

TEST_F(KcgDecoder, StoredUnderAPngNameDecodesByType) {
  const auto pixels = noise_bytes(5 * 3 * 4, 8);
  auto with_clear = pixels;
  with_clear[3] = 0;  // pixel 0 fully transparent
  const auto file = make_kcg(with_clear, 5, 3, kcg_compression_zlib, 20);
  owned_picture pic;
  ASSERT_EQ(decode_picture_bytes(picture_type_kcg, file.data(), file.size(), "cg\\a.png", pic.picture), 0);
  EXPECT_EQ(pic.pixel(0, 0), transparent_pixel_value);
  EXPECT_EQ(std::memcmp(pic.picture.pixels + 4, with_clear.data() + 4, with_clear.size() - 4), 0);
}

TEST_F(KcgDecoder, TruncationsAndFlipsNeverCrash) {
  const auto pixels = noise_bytes(6 * 5 * 4, 6);
  for (uint32_t mode = 0; mode < 3; ++mode) {
    const auto file = make_kcg(pixels, 6, 5, mode, 44);
    for (auto hook : {static_cast<void (*)(kcg_part_job*)>(nullptr), &post_on_two_threads}) {
      kcg_decoder.post_part_jobs = hook;
      hammer_decoder(file, 1, [](const std::vector<uint8_t>& bytes) {
        owned_picture pic;
        const int status = decode_kcg(bytes.data(), bytes.size(), "h", pic.picture);
        if (status != 0) {
        EXPECT_EQ(pic.picture.pixels, nullptr);
      }
        return status;
      });
    }
  }
}
