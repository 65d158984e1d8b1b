// The compression library: exact round trips from 0 bytes to 32 MiB, a true
// size bound, and refusal of damaged input; plus the exported C entry points of
// the built RIRud.so.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format/hashes.h"
#include "format/rirud_codec.h"

namespace {

std::vector<uint8_t> pack(const std::vector<uint8_t>& in) {
  uint32_t bound = rirud_compressed_length(static_cast<uint32_t>(in.size()));
  std::vector<uint8_t> out(bound);
  uint32_t size = bound;
  EXPECT_EQ(rirud_compress(in.data(), static_cast<uint32_t>(in.size()), out.data(), &size), rirud_ok);
  EXPECT_LE(size, bound);
  out.resize(size);
  return out;
}

int unpack(const std::vector<uint8_t>& packed, std::vector<uint8_t>& out, uint32_t expected) {
  out.assign(expected, 0xCD);
  uint32_t size = expected;
  int r = rirud_uncompress(packed.data(), static_cast<uint32_t>(packed.size()), out.data(), &size);
  if (r == rirud_ok) {
    EXPECT_EQ(size, expected);
  }
  return r;
}

// Mixed content: random stretches, runs, repeated phrases and far copies, so
// literals, short and long matches and extended counts all occur.
std::vector<uint8_t> mixed(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  v.reserve(n);
  const std::string phrase = "the frame ticks at sixty frames a second; ";
  while (v.size() < n) {
    switch (rng() % 5) {
      case 0: for (uint32_t k = rng() % 300; k--;) v.push_back(static_cast<uint8_t>(rng())); break;
      case 1: v.insert(v.end(), rng() % 2000, static_cast<uint8_t>(rng())); break;
      case 2: for (uint32_t k = rng() % 20; k--;) v.insert(v.end(), phrase.begin(), phrase.end()); break;
      case 3:
        if (v.size() > 70000) {
          size_t from = v.size() - 1 - rng() % 70000;
          for (uint32_t k = rng() % 500; k--;) v.push_back(v[from + k % (v.size() - from)]);
        }
        break;
      default: for (uint32_t k = rng() % 64; k--;) v.push_back(static_cast<uint8_t>('a' + rng() % 4));
    }
  }
  v.resize(n);
  return v;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

}  // namespace

TEST(RirudCodec, RoundTripsEverySizeAndKindWithinTheBound) {
  const size_t sizes[] = {0, 1, 2, 3, 4, 5, 15, 16, 17, 19, 20, 254, 255, 256, 270, 271, 4095, 65535, 65536, 65537,
                          200003, size_t{1} << 20};
  for (size_t n : sizes) {
    std::vector<std::vector<uint8_t>> inputs = {std::vector<uint8_t>(n, 0), random_bytes(n, 7 + n), mixed(n, 11 + n)};
    for (const auto& in : inputs) {
      std::vector<uint8_t> packed = pack(in), out;
      ASSERT_EQ(unpack(packed, out, static_cast<uint32_t>(n)), rirud_ok) << n;
      ASSERT_EQ(out, in) << n;
      EXPECT_EQ(rirud_uncompressed_length(packed.data(), static_cast<uint32_t>(packed.size())), n);
    }
  }
}

TEST(RirudCodec, ThirtyTwoMebibytesRoundTripAndRepetitionShrinks) {
  std::vector<uint8_t> in = mixed(size_t{32} << 20, 5);
  std::vector<uint8_t> packed = pack(in), out;
  EXPECT_LT(packed.size(), in.size() / 2);
  ASSERT_EQ(unpack(packed, out, static_cast<uint32_t>(in.size())), rirud_ok);
  EXPECT_TRUE(out == in);

  std::vector<uint8_t> zeros(size_t{1} << 20, 0);
  EXPECT_LT(pack(zeros).size(), zeros.size() / 100);
}

TEST(RirudCodec, BoundIsExactForIncompressibleInputAndCapacityIsHonoured) {
  std::vector<uint8_t> in = random_bytes(5000, 3);
  uint32_t bound = rirud_compressed_length(5000);
  EXPECT_EQ(rirud_compressed_length(0), rirud_header_size);
  std::vector<uint8_t> out(bound + 16, 0xEE);
  uint32_t size = bound;
  ASSERT_EQ(rirud_compress(in.data(), 5000, out.data(), &size), rirud_ok);
  EXPECT_EQ(size, bound);  // random data is stored
  for (size_t i = bound; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE);  // nothing past the capacity
  size = bound - 1;
  EXPECT_EQ(rirud_compress(in.data(), 5000, out.data(), &size), rirud_no_room);
  EXPECT_EQ(rirud_compressed_length(rirud_max_input), 0xFFFFFFFFu);
  EXPECT_EQ(rirud_compressed_length(rirud_max_input + 1), 0xFFFFFFFFu);
}

TEST(RirudCodec, RefusesTruncatedFlippedAndWrongLengthInput) {
  for (const auto& in : {mixed(700, 9), random_bytes(90, 4)}) {
    std::vector<uint8_t> packed = pack(in), out;
    uint32_t n = static_cast<uint32_t>(in.size());
    for (size_t cut = 0; cut < packed.size(); ++cut) {
      std::vector<uint8_t> shorter(packed.begin(), packed.begin() + static_cast<long>(cut));
      EXPECT_NE(unpack(shorter, out, n), rirud_ok) << "cut " << cut;
    }
    std::vector<uint8_t> longer = packed;
    longer.push_back(0);
    EXPECT_EQ(unpack(longer, out, n), rirud_wrong_length);
    EXPECT_EQ(unpack(packed, out, n + 1), rirud_wrong_length);
    EXPECT_EQ(unpack(packed, out, n - 1), rirud_wrong_length);
    for (size_t bit = 0; bit < packed.size() * 8; ++bit) {
      std::vector<uint8_t> flipped = packed;
      flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      EXPECT_NE(unpack(flipped, out, n), rirud_ok) << "bit " << bit;
    }
  }
}

TEST(RirudCodec, RefusesHandMadeStreamsThatReachOutOfBounds) {
  auto stream = [](uint32_t unpacked, std::vector<uint8_t> payload) {
    std::vector<uint8_t> v = {'R', 'Z', '7', '7', 1, 0, 0, 0};
    auto u32 = [&v](uint32_t x) {
      for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    };
    u32(unpacked);
    u32(static_cast<uint32_t>(payload.size()));
    u32(0);
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
  };
  std::vector<uint8_t> out;
  // One literal, then a match reaching before the start.
  EXPECT_EQ(unpack(stream(10, {0x10, 'a', 0x02, 0x00, 0x00}), out, 10), rirud_corrupt);
  // Offset 0.
  EXPECT_EQ(unpack(stream(10, {0x10, 'a', 0x00, 0x00, 0x00}), out, 10), rirud_corrupt);
  // A match longer than the room left.
  EXPECT_EQ(unpack(stream(6, {0x16, 'a', 0x01, 0x00, 0x00}), out, 6), rirud_corrupt);
  // Literal count past the payload; a count that never ends.
  EXPECT_EQ(unpack(stream(3, {0x50, 'a', 'b', 'c'}), out, 3), rirud_corrupt);
  EXPECT_EQ(unpack(stream(300, {0xF0, 255, 255}), out, 300), rirud_corrupt);
  // Output left short of the stored length.
  EXPECT_EQ(unpack(stream(4, {0x30, 'a', 'b', 'c'}), out, 4), rirud_corrupt);
  // An empty payload never is a stream.
  EXPECT_EQ(unpack(stream(0, {}), out, 0), rirud_corrupt);
  // Overlapping copy (a run) is fine, checked by the CRC.
  std::vector<uint8_t> run = stream(9, {0x14, 'z', 0x01, 0x00, 0x00});
  uint32_t crc_of_run = compute_crc32(std::string(9, 'z').data(), 9);
  for (int i = 0; i < 4; ++i) run[16 + i] = static_cast<uint8_t>(crc_of_run >> (8 * i));
  ASSERT_EQ(unpack(run, out, 9), rirud_ok);
  EXPECT_EQ(out, std::vector<uint8_t>(9, 'z'));
}

TEST(RirudLibrary, ExportsTheFourEntryPointsThatRoundTrip) {
  std::string path = std::string(ZARVIK_BINARY_DIR) + "/RIRud.so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto bound = reinterpret_cast<uint32_t (*)(uint32_t)>(dlsym(lib, "RIRud_CompressedLength"));
  auto compress = reinterpret_cast<int (*)(const void*, uint32_t, void*, uint32_t*)>(dlsym(lib, "RIRud_Compress"));
  auto length = reinterpret_cast<uint32_t (*)(const void*, uint32_t)>(dlsym(lib, "RIRud_UncompressedLength"));
  auto uncompress = reinterpret_cast<int (*)(const void*, uint32_t, void*, uint32_t*)>(dlsym(lib, "RIRud_Uncompress"));
  ASSERT_TRUE(bound && compress && length && uncompress);
  EXPECT_EQ(dlsym(lib, "compute_crc32"), nullptr);  // only the four are exported

  std::vector<uint8_t> in = mixed(100000, 1);
  std::vector<uint8_t> packed(bound(100000));
  uint32_t size = static_cast<uint32_t>(packed.size());
  ASSERT_EQ(compress(in.data(), 100000, packed.data(), &size), 0);
  EXPECT_EQ(length(packed.data(), size), 100000u);
  std::vector<uint8_t> out(100000);
  uint32_t out_size = 100000;
  ASSERT_EQ(uncompress(packed.data(), size, out.data(), &out_size), 0);
  EXPECT_EQ(out, in);
  packed[size / 2] ^= 0x40;
  EXPECT_NE(uncompress(packed.data(), size, out.data(), &out_size), 0);
  // The empty memory slot: length 0 packs and unpacks.
  uint32_t empty_size = bound(0);
  std::vector<uint8_t> empty(empty_size);
  ASSERT_EQ(compress(nullptr, 0, empty.data(), &empty_size), 0);
  uint32_t zero = 0;
  uint8_t sink = 0;
  EXPECT_EQ(uncompress(empty.data(), empty_size, &sink, &zero), 0);
  dlclose(lib);
}
