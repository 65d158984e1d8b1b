// The save container: the byte layout shared by save files (.sd) and the
// in-memory save slots. A 16-byte header, a table of 1024 entry offsets by
// value number (VAL_ID 1..1024) and the entries, each a 16-byte head and the
// payload packed by the compression library. No engine state here: the
// player and kxtool both use it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/byte_io.h"

constexpr uint32_t save_format_version = 312;
constexpr uint32_t save_value_count = 1024;      // VAL_ID 1..1024
constexpr uint32_t save_header_size = 4112;      // magic, version, count, 1024, table
constexpr uint32_t save_entry_head_size = 16;    // VAL_ID, kind, 1, 0, 0, P, U
constexpr uint32_t staged_head_size = 12;        // an entry head without its VAL_ID
constexpr uint64_t save_container_limit = 1ull << 32;  // containers of 4 GiB or more are refused
constexpr uint32_t memory_slot_image_id = 1024;  // where the memory-slot image lives
constexpr uint32_t memory_slot_count = 500;
constexpr uint32_t memory_slot_min_capacity = 51200;
constexpr uint32_t layer_record_image_size = 1640;
constexpr uint32_t layer_payload_head_size = 1648;  // 1640, pixel bytes, the record
constexpr uint32_t variable_data_size_limit = 40000000;
// The largest variable payload: type, count, eight sizes, data size, data.
constexpr uint64_t variable_payload_limit = 12 + 4 * 8 + variable_data_size_limit;

enum : uint8_t { save_kind_variable = 0, save_kind_layer = 1 };

// Results of the readers.
enum save_container_status : int {
  save_found = 0,
  save_absent = 1,        // the table slot is 0
  save_bad_magic = -1,    // not "KXSD" (or too short to tell)
  save_bad_version = -2,  // not 312 (or too short to tell)
  save_damaged = -3,      // an offset, size, id or kind that the bytes do not bear out
  save_too_large = -4,    // 4 GiB or more
};

inline uint32_t get_u32le(const uint8_t* p) { return get_u32(p); }
inline void put_u32le(uint8_t* p, uint32_t v) { put_u32(p, v); }
inline void append_u32le(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  put_u32le(b, v);
  out.insert(out.end(), b, b + 4);
}
// The table slot of a value number.
constexpr uint32_t save_table_offset(uint32_t val_id) { return 12 + 4 * val_id; }

// One entry as found in a container; `packed` points into the container.
struct save_entry_view {
  uint32_t val_id = 0;
  uint32_t offset = 0;
  uint8_t kind = 0;
  uint32_t packed_size = 0;
  uint32_t unpacked_size = 0;
  const uint8_t* packed = nullptr;
};

// Magic and version: save_found, save_bad_magic, save_bad_version or save_too_large.
int check_save_header(const uint8_t* data, uint64_t size);

// The entry of one value. The entry must lie after the table and inside the
// container, carry the same VAL_ID and a kind of 0 or 1, and its packed bytes
// must fit. Unpacked sizes are checked by the caller for the form it expects
// (`unpacked_size_fits`). save_found, save_absent or a failure status.
int find_save_entry(const uint8_t* data, uint64_t size, uint32_t val_id, save_entry_view& out);

// Every entry the table references, checked as above, in container order,
// with no two overlapping. On failure `bad_val_id` names the first value
// whose entry is damaged (0 for a header failure).
int list_save_entries(const uint8_t* data, uint64_t size, std::vector<save_entry_view>& out, uint32_t* bad_val_id);

// Forms of unpacked payloads, each with its own size bounds.
enum class save_payload_form { variable, layer, slot_image };
bool unpacked_size_fits(save_payload_form form, uint64_t unpacked_size);

// ---------------------------------------------------------------- writing

// A staged value: the staged entry (kind, 1, 0, 0, P, U, then P packed bytes),
// indexed by VAL_ID - 1. Length 0 = nothing staged.
struct staged_span {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

// Bytes of a container holding the staged values 1..last_val_id in order
// (a new file: last 1024; a memory slot: last 1023). save_found or save_too_large.
int write_new_save_container(const staged_span* staged, uint32_t last_val_id, std::vector<uint8_t>& out);

enum save_write_mode : int { save_write_new = 1, save_write_append = 2, save_write_rewrite = 3 };

// An existing container with the staged values written in: appended when
// none of them is in its table, else rewritten (entries kept in container
// order, staged ones replaced in place, the rest appended in VAL_ID order).
// Only entries the table references are carried over; the count is the
// number of entries the new table references. `mode` tells which was done;
// on failure `bad_val_id` names the damaged entry's value (0 for the header).
int update_save_container(const uint8_t* old_data, uint64_t old_size, const staged_span* staged,
                          std::vector<uint8_t>& out, int* mode, uint32_t* bad_val_id);

// ---------------------------------------------------------------- memory-slot image

// One slot record of the memory-slot image: slot length L (0 = empty) and
// packed length Q; `packed` holds Q bytes for a slot with L above 0.
struct memory_slot_record_view {
  uint32_t length = 0;
  uint32_t packed_length = 0;
  const uint8_t* packed = nullptr;
};

// Walks the 500 slot records of an image body of `body_length` bytes (B, the
// entry's packed size). The records must fill the body exactly and the sum of
// (8 + L) must equal `slot_total` (the entry's unpacked size).
int parse_memory_slot_image(const uint8_t* body, uint64_t body_length, uint64_t slot_total,
                            std::vector<memory_slot_record_view>& out);
