// The setup-header check in front of libvorbis: hand-built setups with one
// fault each, encoder output and the corpus passing, and a residue codebook
// of dimension 0 (a divide by zero inside libvorbis) refused as a failed open.
#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <cstring>
#include <functional>

#include "core/sjis.h"
#include "sound/ogg_memory.h"
#include "sound/vorbis_setup_check.h"
#include "sound_fixture.h"

namespace {

using fault = vorbis_setup_fault;

struct bit_writer {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;
  void put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i, ++bits) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((v >> i) & 1) bytes.back() |= static_cast<uint8_t>(1u << (bits % 8));
    }
  }
};

// A small setup a stereo stream can decode with; each table row changes one
// thing. Codebooks have 2^k entries of length k (a full tree), or one ordered
// run when `ordered` is set.
struct setup_desc {
  struct book {
    uint32_t sync = 0x564342, dims = 1, entries = 8, lookup = 0;
    bool ordered = false;
    uint32_t ordered_run = 0;  // entries of the ordered run (default: all)
    uint32_t length = 0;       // of every codeword (default: the full tree)
  };
  std::vector<book> books{{0x564342, 1, 8, 0}, {0x564342, 2, 16, 1}};
  uint32_t time_value = 0;
  uint32_t floor_type = 1, floor_master = 1, floor_subclasses = 0, floor_sub_book = 0;  // book + 1
  uint32_t floor_x1 = 10, floor_x2 = 20;
  uint32_t floor0_book = 0;
  uint32_t residue_type = 2, classbook = 0, cascade_book = 1;
  uint32_t mapping_type = 0, reserved = 0, submaps = 1, mux = 0;
  uint32_t magnitude = 0, angle = 1, map_floor = 0, map_residue = 0;
  uint32_t window = 0, mode_mapping = 0, framing = 1;
  int channels = 2;
};

std::vector<uint8_t> build_setup(const setup_desc& d) {
  bit_writer w;
  for (char c : std::string("\x05vorbis")) w.put(static_cast<uint8_t>(c), 8);
  w.put(d.books.size() - 1, 8);
  for (const auto& b : d.books) {
    w.put(b.sync, 24);
    w.put(b.dims, 16);
    w.put(b.entries, 24);
    int k = 0;
    while ((1u << k) < b.entries) ++k;
    if (b.length) k = static_cast<int>(b.length);
    w.put(b.ordered, 1);
    if (b.ordered) {
      w.put(k == 0 ? 0 : k - 1, 5);
      uint32_t run = b.ordered_run ? b.ordered_run : b.entries;
      int width = 0;
      for (uint32_t v = b.entries; v; v >>= 1) ++width;
      w.put(run, width);
    } else {
      w.put(0, 1);  // not sparse
      for (uint32_t i = 0; i < b.entries; ++i) w.put(k - 1, 5);
    }
    w.put(b.lookup, 4);
    if (b.lookup == 1 || b.lookup == 2) {
      w.put(0, 32);      // minimum
      w.put(0x60100000, 32);  // delta
      w.put(3, 4);       // 4-bit values
      w.put(0, 1);
      uint64_t values = b.lookup == 2 ? uint64_t{b.entries} * b.dims : 0;
      if (b.lookup == 1) {
        while (values + 1 <= b.entries) {
          uint64_t p = 1;
          for (uint32_t i = 0; i < b.dims && p <= b.entries; ++i) p *= values + 1;
          if (p > b.entries) break;
          ++values;
        }
      }
      if (values > (1u << 20)) values = 0;  // refused before the values are read
      for (uint64_t i = 0; i < values; ++i) w.put(i & 15, 4);
    }
  }
  w.put(0, 6);
  w.put(d.time_value, 16);
  w.put(0, 6);  // one floor
  w.put(d.floor_type, 16);
  if (d.floor_type == 0) {
    w.put(8, 8), w.put(44100, 16), w.put(64, 16), w.put(6, 6), w.put(100, 8);
    w.put(0, 4);
    w.put(d.floor0_book, 8);
  } else if (d.floor_type == 1) {
    w.put(1, 5);   // one partition
    w.put(0, 4);   // of class 0
    w.put(1, 3);   // class 0: two values
    w.put(d.floor_subclasses, 2);
    if (d.floor_subclasses) w.put(d.floor_master, 8);
    for (uint32_t j = 0; j < (1u << d.floor_subclasses); ++j) w.put(d.floor_sub_book, 8);
    w.put(1, 2);   // multiplier 2
    w.put(7, 4);   // range bits
    w.put(d.floor_x1, 7);
    w.put(d.floor_x2, 7);
  }
  w.put(0, 6);  // one residue
  w.put(d.residue_type, 16);
  w.put(0, 24), w.put(128, 24), w.put(31, 24);
  w.put(1, 6);  // two classifications
  w.put(d.classbook, 8);
  w.put(0, 3), w.put(0, 1);  // class 0: no books
  w.put(1, 3), w.put(0, 1);  // class 1: pass 0
  w.put(d.cascade_book, 8);
  w.put(0, 6);  // one mapping
  w.put(d.mapping_type, 16);
  w.put(d.submaps > 1, 1);
  if (d.submaps > 1) w.put(d.submaps - 1, 4);
  int width = 0;
  for (uint32_t v = static_cast<uint32_t>(d.channels - 1); v; v >>= 1) ++width;
  w.put(1, 1);
  w.put(0, 8);  // one coupling step
  w.put(d.magnitude, width);
  w.put(d.angle, width);
  w.put(d.reserved, 2);
  if (d.submaps > 1)
    for (int c = 0; c < d.channels; ++c) w.put(c == 0 ? d.mux : 0, 4);
  for (uint32_t i = 0; i < d.submaps; ++i) w.put(0, 8), w.put(d.map_floor, 8), w.put(d.map_residue, 8);
  w.put(0, 6);  // one mode
  w.put(0, 1), w.put(d.window, 16), w.put(0, 16), w.put(d.mode_mapping, 8);
  w.put(d.framing, 1);
  return w.bytes;
}

std::vector<uint8_t> identification(int channels) {
  std::vector<uint8_t> p = {1, 'v', 'o', 'r', 'b', 'i', 's', 0, 0, 0, 0, static_cast<uint8_t>(channels),
                            0x44, 0xAC, 0, 0};
  p.resize(28, 0);
  p.push_back(0xB8);  // short blocks 256, long 2048
  p.push_back(1);
  return p;
}

std::vector<uint8_t> comment_header() { return {3, 'v', 'o', 'r', 'b', 'i', 's', 0, 0, 0, 0, 0, 0, 0, 0, 1}; }

ogg_packet packet_of(std::vector<uint8_t>& bytes, int number) {
  ogg_packet op{};
  op.packet = bytes.data();
  op.bytes = static_cast<long>(bytes.size());
  op.b_o_s = number == 0;
  op.packetno = number;
  return op;
}

// libvorbis's own reading of the three headers (0 when it takes them all).
int libvorbis_headers(std::vector<uint8_t> id, std::vector<uint8_t> setup) {
  vorbis_info vi;
  vorbis_comment vc;
  vorbis_info_init(&vi);
  vorbis_comment_init(&vc);
  std::vector<uint8_t> comment = comment_header();
  ogg_packet a = packet_of(id, 0), b = packet_of(comment, 1), c = packet_of(setup, 2);
  int rc = vorbis_synthesis_headerin(&vi, &vc, &a);
  if (!rc) rc = vorbis_synthesis_headerin(&vi, &vc, &b);
  if (!rc) rc = vorbis_synthesis_headerin(&vi, &vc, &c);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  return rc;
}

// All packets of the first logical stream of an image, and back.
struct packet_copy {
  std::vector<uint8_t> bytes;
  ogg_int64_t granule;
  bool eos;
};

std::vector<packet_copy> packets_of(const std::vector<uint8_t>& image) {
  std::vector<packet_copy> out;
  ogg_sync_state oy;
  ogg_sync_init(&oy);
  char* buf = ogg_sync_buffer(&oy, static_cast<long>(image.size()));
  std::memcpy(buf, image.data(), image.size());
  ogg_sync_wrote(&oy, static_cast<long>(image.size()));
  ogg_stream_state os;
  bool started = false;
  ogg_page og;
  while (ogg_sync_pageout(&oy, &og) == 1) {
    if (!started) ogg_stream_init(&os, ogg_page_serialno(&og)), started = true;
    if (ogg_page_serialno(&og) != os.serialno) break;
    ogg_stream_pagein(&os, &og);
    ogg_packet op;
    while (ogg_stream_packetout(&os, &op) == 1)
      out.push_back({std::vector<uint8_t>(op.packet, op.packet + op.bytes), op.granulepos, op.e_o_s != 0});
  }
  if (started) ogg_stream_clear(&os);
  ogg_sync_clear(&oy);
  return out;
}

// Headers on pages of their own, as encoders write them; libogg computes
// every page checksum.
std::vector<uint8_t> image_of(std::vector<packet_copy> packets, int serial = 7) {
  std::vector<uint8_t> out;
  ogg_stream_state os;
  ogg_stream_init(&os, serial);
  ogg_page og;
  auto put = [&](const ogg_page& p) {
    out.insert(out.end(), p.header, p.header + p.header_len);
    out.insert(out.end(), p.body, p.body + p.body_len);
  };
  for (size_t i = 0; i < packets.size(); ++i) {
    ogg_packet op = packet_of(packets[i].bytes, static_cast<int>(i));
    op.granulepos = packets[i].granule;
    op.e_o_s = packets[i].eos;
    ogg_stream_packetin(&os, &op);
    if (i == 2)
      while (ogg_stream_flush(&os, &og)) put(og);
    else
      while (ogg_stream_pageout(&os, &og)) put(og);
  }
  while (ogg_stream_flush(&os, &og)) put(og);
  ogg_stream_clear(&os);
  return out;
}

void put_bits(std::vector<uint8_t>& p, uint64_t at, uint32_t v, int n) {
  for (int i = 0; i < n; ++i, ++at) {
    uint8_t mask = static_cast<uint8_t>(1u << (at % 8));
    p[at / 8] = static_cast<uint8_t>(((v >> i) & 1) ? p[at / 8] | mask : p[at / 8] & ~mask);
  }
}

// An encoded stereo stream with one codebook's dimension set to 0: the
// classbook of its first residue, or one of its cascade books.
std::vector<uint8_t> zero_residue_book(const std::vector<uint8_t>& image, bool cascade) {
  std::vector<packet_copy> packets = packets_of(image);
  vorbis_setup_summary s;
  EXPECT_EQ(check_vorbis_setup_packet(packets[2].bytes.data(), packets[2].bytes.size(), 2, &s), fault::none);
  EXPECT_FALSE(s.residues.empty());
  if (s.residues.empty()) return image;
  uint32_t book = cascade ? s.residues[0].books.at(0) : s.residues[0].classbook;
  put_bits(packets[2].bytes, s.codebooks[book].bit_offset + 24, 0, 16);
  return image_of(packets);
}

// The same with the first two codewords of a residue's cascade book (stored
// as plain lengths) shortened to one bit, which overfills its tree: the
// fault the fuzzer found in the corpus, a divide by zero in libvorbis.
std::vector<uint8_t> overfill_residue_book(const std::vector<uint8_t>& image) {
  std::vector<packet_copy> packets = packets_of(image);
  std::vector<uint8_t>& setup = packets[2].bytes;
  vorbis_setup_summary s;
  EXPECT_EQ(check_vorbis_setup_packet(setup.data(), setup.size(), 2, &s), fault::none);
  auto bit = [&](uint64_t at) { return (setup[at / 8] >> (at % 8)) & 1; };
  for (uint32_t book : s.residues.at(0).books) {
    const uint64_t at = s.codebooks[book].bit_offset;
    if (bit(at + 64) || bit(at + 65) || s.codebooks[book].entries < 3) continue;  // ordered or sparse
    put_bits(setup, at + 66, 0, 5);
    put_bits(setup, at + 71, 0, 5);
    return image_of(packets);
  }
  ADD_FAILURE() << "no plain-length cascade book";
  return image;
}

}  // namespace

TEST(VorbisSetupCheck, EachInconsistencyIsRefusedAndTheBaseSetupIsTakenByLibvorbis) {
  using mutate = std::function<void(setup_desc&)>;
  struct row {
    const char* what;
    mutate change;
    fault expected;
  };
  const row rows[] = {
      {"base", [](setup_desc&) {}, fault::none},
      {"unused book of dimension 0", [](setup_desc& d) { d.books.push_back({0x564342, 0, 4, 0}); }, fault::none},
      {"unused type-2 book of dimension 0", [](setup_desc& d) { d.books.push_back({0x564342, 0, 4, 2}); },
       fault::none},
      {"ordered lengths", [](setup_desc& d) { d.books[0].ordered = true; }, fault::none},
      {"residue classbook of dimension 0", [](setup_desc& d) { d.books[0].dims = 0; }, fault::zero_dimension},
      {"cascade book of dimension 0", [](setup_desc& d) { d.books[1].dims = 0, d.books[1].lookup = 2; },
       fault::zero_dimension},
      {"floor book of dimension 0",
       [](setup_desc& d) { d.books.push_back({0x564342, 0, 4, 0}), d.floor_sub_book = 3; }, fault::zero_dimension},
      {"floor master book of dimension 0",
       [](setup_desc& d) { d.books.push_back({0x564342, 0, 4, 0}), d.floor_subclasses = 1, d.floor_master = 2; },
       fault::zero_dimension},
      {"floor 0 book of dimension 0",
       [](setup_desc& d) { d.books.push_back({0x564342, 0, 4, 2}), d.floor_type = 0, d.floor0_book = 2; },
       fault::zero_dimension},
      {"type-1 lookup of dimension 0", [](setup_desc& d) { d.books.push_back({0x564342, 0, 4, 1}); },
       fault::lookup_count},
      {"type-2 lookup past 32 bits",
       [](setup_desc& d) {
         d.books.push_back({0x564342, 65535, 1u << 23, 2, true});
       },
       fault::lookup_count},
      {"type-1 table past 32 bits",
       [](setup_desc& d) { d.books.push_back({0x564342, 65535, 1u << 23, 1, true}); }, fault::lookup_count},
      {"ordered run past the entries", [](setup_desc& d) { d.books[0].ordered = true, d.books[0].ordered_run = 9; },
       fault::codebook_lengths},
      {"codeword lengths overfill the tree", [](setup_desc& d) { d.books[0].length = 2; }, fault::codebook_lengths},
      {"codeword lengths leave a gap", [](setup_desc& d) { d.books[0].length = 4; }, fault::codebook_lengths},
      {"one codeword in a tree of one entry", [](setup_desc& d) { d.books.push_back({0x564342, 1, 1, 0}); },
       fault::none},
      {"ordered lengths overfill the tree", [](setup_desc& d) { d.books[0].ordered = true, d.books[0].length = 2; },
       fault::codebook_lengths},
      {"codebook sync", [](setup_desc& d) { d.books[1].sync = 0x564343; }, fault::codebook_sync},
      {"lookup type 3", [](setup_desc& d) { d.books[0].lookup = 3; }, fault::lookup_type},
      {"time placeholder", [](setup_desc& d) { d.time_value = 1; }, fault::time_domain},
      {"floor type 2", [](setup_desc& d) { d.floor_type = 2; }, fault::floor_type},
      {"floor book past the table", [](setup_desc& d) { d.floor_sub_book = 3; }, fault::index_past_table},
      {"floor master past the table", [](setup_desc& d) { d.floor_subclasses = 2, d.floor_master = 2; },
       fault::index_past_table},
      {"floor 0 book past the table", [](setup_desc& d) { d.floor_type = 0, d.floor0_book = 2; },
       fault::index_past_table},
      {"floor X repeated", [](setup_desc& d) { d.floor_x2 = 10; }, fault::floor_values},
      {"floor X equal to an end", [](setup_desc& d) { d.floor_x1 = 0; }, fault::floor_values},
      {"residue type 3", [](setup_desc& d) { d.residue_type = 3; }, fault::residue_type},
      {"classbook past the table", [](setup_desc& d) { d.classbook = 2; }, fault::index_past_table},
      {"cascade book past the table", [](setup_desc& d) { d.cascade_book = 255; }, fault::index_past_table},
      {"mapping type 1", [](setup_desc& d) { d.mapping_type = 1; }, fault::mapping_type},
      {"coupling of a channel with itself", [](setup_desc& d) { d.angle = 0; }, fault::mapping_coupling},
      {"coupling past the channels", [](setup_desc& d) { d.channels = 3, d.angle = 3; }, fault::mapping_coupling},
      {"reserved mapping bits", [](setup_desc& d) { d.reserved = 2; }, fault::reserved_bits},
      {"mux past the submaps", [](setup_desc& d) { d.submaps = 2, d.mux = 2; }, fault::index_past_table},
      {"mapping floor past the table", [](setup_desc& d) { d.map_floor = 1; }, fault::index_past_table},
      {"mapping residue past the table", [](setup_desc& d) { d.map_residue = 1; }, fault::index_past_table},
      {"mode mapping past the table", [](setup_desc& d) { d.mode_mapping = 1; }, fault::index_past_table},
      {"window type", [](setup_desc& d) { d.window = 1; }, fault::mode_transform},
      {"framing bit", [](setup_desc& d) { d.framing = 0; }, fault::framing},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    setup_desc d;
    r.change(d);
    std::vector<uint8_t> setup = build_setup(d);
    EXPECT_EQ(check_vorbis_setup_packet(setup.data(), setup.size(), d.channels), r.expected);
    // Whatever the check takes, libvorbis takes too (no false alarms on the
    // rows meant to pass).
    if (r.expected == fault::none) {
      EXPECT_EQ(libvorbis_headers(identification(d.channels), setup), 0);
    }
  }
}

TEST(VorbisSetupCheck, EveryCutOfAValidSetupIsTruncated) {
  std::vector<uint8_t> setup = build_setup(setup_desc{});
  ASSERT_EQ(check_vorbis_setup_packet(setup.data(), setup.size(), 2), fault::none);
  for (size_t n = 0; n < setup.size(); ++n)
    EXPECT_EQ(check_vorbis_setup_packet(setup.data(), n, 2), n < 7 ? fault::not_setup : fault::truncated) << n;
  EXPECT_EQ(check_vorbis_setup_packet(setup.data(), setup.size(), 0), fault::bad_identification);
}

TEST(VorbisSetupCheck, EncoderOutputAndTheCorpusPass) {
  int serial = 1;
  for (int channels : {1, 2, 6})
    for (int rate : {8000, 22050, 44100, 96000})
      for (float quality : {-0.1f, 0.4f, 1.0f}) {
        if (channels == 6 && rate == 44100) continue;  // libvorbisenc leaks its 5.1 setup at this rate
        SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(rate) + " Hz, q " +
                     std::to_string(quality));
        std::vector<uint8_t> ogg = encode_ogg(tone_samples(static_cast<size_t>(rate) / 10, channels, rate), channels,
                                              rate, serial++, quality);
        ASSERT_FALSE(ogg.empty());
        EXPECT_EQ(check_vorbis_setups(ogg.data(), ogg.size()), fault::none);
        ogg_memory_source src{ogg.data(), static_cast<int64_t>(ogg.size()), 0};
        OggVorbis_File vf;
        ASSERT_EQ(ogg_memory_open(&src, &vf), 0);
        ov_clear(&vf);
      }
  std::string corpus = testdata_sound_folder();
  if (corpus.empty()) GTEST_SKIP() << "tests/data/conformance/sound is absent; corpus check skipped";
  for (const char* file : {"bell.oga", "complete.oga"}) {
    std::vector<uint8_t> ogg = read_host_file(corpus + file);
    EXPECT_EQ(check_vorbis_setups(ogg.data(), ogg.size()), fault::none) << file;
  }
}

TEST(VorbisSetupCheck, HostileSetupsInsideOggImages) {
  std::vector<uint8_t> good = encode_ogg(tone_samples(4410, 2, 44100), 2, 44100, 5);
  ASSERT_EQ(check_vorbis_setups(good.data(), good.size()), fault::none);
  struct row {
    const char* what;
    std::vector<uint8_t> image;
    fault expected;
  };
  std::vector<uint8_t> chained = good;
  std::vector<uint8_t> bad_link = zero_residue_book(encode_ogg(tone_samples(4410, 2, 44100), 2, 44100, 6), false);
  chained.insert(chained.end(), bad_link.begin(), bad_link.end());
  std::vector<uint8_t> bad_crc = zero_residue_book(good, false);
  bad_crc.back() ^= 1;  // the last audio page: libogg drops it, the setup is still read
  const row rows[] = {
      {"classbook of dimension 0", zero_residue_book(good, false), fault::zero_dimension},
      {"cascade book of dimension 0 (a type-1 lookup)", zero_residue_book(good, true), fault::lookup_count},
      {"overfilled code tree", overfill_residue_book(good), fault::codebook_lengths},
      {"second chained link", chained, fault::zero_dimension},
      {"damaged audio page", bad_crc, fault::zero_dimension},
      {"not Ogg", std::vector<uint8_t>(300, 'x'), fault::none},
      {"empty", {}, fault::none},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(check_vorbis_setups(r.image.data(), r.image.size()), r.expected);
    if (r.expected == fault::none) continue;
    std::vector<uint8_t> image = r.image;
    ogg_memory_source src{image.data(), static_cast<int64_t>(image.size()), 0};
    OggVorbis_File vf;
    EXPECT_EQ(ogg_memory_open(&src, &vf), OV_EBADHEADER);
  }
}

// A residue classbook of dimension 0 through the whole load path: the check
// refuses it before libvorbis sees it, and the player reports a file it
// cannot open.
TEST_F(SoundTest, ResidueBookOfDimensionZeroFailsToOpen) {
  std::vector<uint8_t> ogg = zero_residue_book(encode_ogg(tone_samples(44100, 2, 44100), 2, 44100, 9), false);
  object_node* n = new_sound(s0(), "o");
  rec(n)->codec = sound_codec_ogg;
  folder.write("z.ogg", ogg);
  request(n, sound_request_kind_load, 0, "z.ogg");
  int rc = cycle();
  EXPECT_EQ(rc, -1030);
  EXPECT_EQ(sjis_to_utf8(sound_error_text(rc)), "エラー番号：1030\n\noggファイルとして正しく認識できませんでした。");
  EXPECT_EQ(rec(n)->buffer, nullptr);
}

