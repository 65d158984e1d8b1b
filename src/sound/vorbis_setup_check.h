// A consistency check of Vorbis setup headers, run on an Ogg image before it
// reaches libvorbis: the decoder divides by codebook dimensions and indexes
// its tables with header values it does not always check, so a hostile setup
// header could crash the player mid-decode.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum class vorbis_setup_fault {
  none = 0,
  truncated,            // a field runs past the end of the packet
  not_setup,            // packet type or "vorbis" signature wrong
  codebook_sync,        // codebook does not start with 0x564342
  codebook_lengths,     // lengths overrun the entries, pass 32 bits, or over- or underfill the code tree
  lookup_type,          // lookup type above 2
  lookup_count,         // value count or expanded table past 32 bits (or unbounded)
  time_domain,          // a time-domain placeholder is not 0
  floor_type,           // floor type other than 0 and 1
  floor_values,         // floor 1 X list too long or with repeated values
  residue_type,         // residue type above 2
  mapping_type,         // mapping type other than 0
  mapping_coupling,     // coupling step with equal or out-of-range channels
  reserved_bits,        // mapping reserved field not 0
  mode_transform,       // window or transform type not 0
  index_past_table,     // a codebook, floor, residue, mapping or submap index past its table
  zero_dimension,       // a codebook of dimension 0 used by a floor or residue
  framing,              // final framing bit clear
  bad_identification,   // the stream's identification header is unusable
};

// What the check saw of one setup header (for callers that need to locate
// fields, e.g. tests that corrupt one on purpose).
struct vorbis_setup_summary {
  struct codebook {
    uint32_t dimensions = 0, entries = 0, lookup_type = 0;
    uint64_t bit_offset = 0;  // of the sync pattern, from the packet start
  };
  struct residue {
    uint32_t type = 0, classbook = 0;
    std::vector<uint32_t> books;  // cascade books in use
  };
  std::vector<codebook> codebooks;
  std::vector<uint32_t> floor_types;
  std::vector<residue> residues;
  uint32_t mappings = 0, modes = 0;
};

// Checks one setup header packet (type 5) of a stream of `channels` channels.
vorbis_setup_fault check_vorbis_setup_packet(const uint8_t* packet, size_t size, int channels,
                                             vorbis_setup_summary* summary = nullptr);

// Walks the Ogg pages of an image as libogg does and checks the setup header
// of every Vorbis logical stream in it. Streams that are not Vorbis, and
// images that are not Ogg at all, pass: libvorbisfile judges those.
vorbis_setup_fault check_vorbis_setups(const uint8_t* data, size_t size);
