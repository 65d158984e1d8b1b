// libFuzzer target: arbitrary bytes as a save container. Every value is read
// into variables, a layer and (for 1024) the memory slots; the writer's
// append/rewrite over the same bytes must give a container that reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/engine_state.h"
#include "core/object_tree.h"
#include "format/save_container.h"
#include "core/compression_library.h"
#include "save/save_data.h"
#include "script/expression.h"
#include "script/variable_store.h"

#include "quiet_reports.h"

namespace {

// A stand-in library: "packed" bytes are the payload itself.
uint32_t copy_bound(uint32_t n) { return n; }
int copy_compress(const void* source, uint32_t n, void* destination, uint32_t* dst_len) {
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  if (*dst_len < n) return 1;
  if (n) std::memcpy(dst, src, n);
  *dst_len = n;
  return 0;
}
int copy_uncompress(const void* source, uint32_t n, void* destination, uint32_t* dst_len) {
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  const uint32_t count = n < *dst_len ? n : *dst_len;
  if (count) std::memcpy(dst, src, count);
  *dst_len = count;
  return 0;
}

uint8_t* layer_block = nullptr;
int install(object_node*, const std::string&, int32_t, int32_t, uint8_t* block) {
  std::free(layer_block);
  layer_block = block;
  return 0;
}

// Loads stay below the fuzzer's allocation limit.
constexpr uint32_t size_cap = 16u << 20;

bool small_enough(const uint8_t* data, size_t size, uint32_t val_id) {
  save_entry_view e;
  if (find_save_entry(data, size, val_id, e) != save_found) return true;
  if (e.unpacked_size > size_cap) return false;
  if (val_id != memory_slot_image_id) return true;
  std::vector<memory_slot_record_view> records;
  if (parse_memory_slot_image(e.packed, e.packed_size, e.unpacked_size, records) != save_found) return true;
  for (const auto& r : records)
    if (r.length > size_cap) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quiet_reports();
  static object_node layer;
  static const bool ready = [] {
    install_expression_tables();
    compression_library.compressed_length = copy_bound;
    compression_library.compress = copy_compress;
    compression_library.uncompress = copy_uncompress;
    save_layer_hooks.install_picture = install;
    create_variable_table(1010, 0);
    const uint32_t ten[1] = {10}, four[2] = {2, 2}, three[1] = {3};
    declare_int_variable(1000, 1, ten, 0);
    declare_real_variable(1001, 2, four, 0.0);
    declare_string_variable(1002, 1, three, "", 0);
    return true;
  }();
  (void)ready;
  quit_flag = 0;

  // A few value numbers, taken from the input's table when it has one.
  std::vector<uint32_t> ids = {1, 2, 3, 1024};
  for (size_t i = 0; i < 4 && 16 + 4 * i < size; ++i) ids.push_back(1 + data[size - 1 - i] % 1024);
  for (uint32_t id : ids) {
    if (!small_enough(data, size, id)) continue;
    save_load_request r;
    r.val_id = id;
    r.from_file = (id & 1) != 0;
    switch (id % 4) {
      case 0: r.variable_id = 1000; r.whole = true; break;
      case 1: r.variable_id = 1000 + id % 3; r.element = id % 5; break;
      case 2: r.variable_id = 1001 + id % 2; r.whole = true; break;
      default: r.layer = &layer; r.layer_path = "W0/x"; break;
    }
    load_saved_value(data, size, r);
    quit_flag = 0;
  }

  // Writing over the input: a result must read back whole.
  static const uint8_t staged_bytes[] = {0, 1, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4};
  staged_span staged[save_value_count];
  staged[(size ? data[0] : 0) % 1024] = {staged_bytes, sizeof staged_bytes};
  staged[6] = {staged_bytes, sizeof staged_bytes};
  std::vector<uint8_t> out;
  int mode = 0;
  uint32_t bad = 0;
  if (update_save_container(data, size, staged, out, &mode, &bad) == save_found) {
    std::vector<save_entry_view> entries;
    if (list_save_entries(out.data(), out.size(), entries, &bad) != save_found) __builtin_trap();
    save_entry_view e;
    if (find_save_entry(out.data(), out.size(), 7, e) != save_found || e.packed_size != 4) __builtin_trap();
  }
  for (uint8_t*& b : memory_save_slots.buffer) {
    std::free(b);
    b = nullptr;
  }
  memory_save_slots = {};
  return 0;
}
