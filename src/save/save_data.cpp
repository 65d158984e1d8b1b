#include "save/save_data.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/error_report.h"
#include "core/object_tree.h"
#include "core/sjis.h"
#include "graphics/picture_buffer.h"
#include "platform/platform.h"
#include "resources/command_table.h"
#include "core/compression_library.h"
#include "script/expression.h"
#include "script/variable_store.h"

staged_values_record staged_values;
memory_save_slots_record memory_save_slots = {};
save_scratch_record save_scratch;


namespace {

struct save_texts {
  std::string out_of_memory = utf8_to_sjis("メモリ不足です.");
  std::string load_out_of_memory = utf8_to_sjis("[Load]メモリ不足エラーです。");
  std::string load_out_of_memory_slot = utf8_to_sjis("[Load]メモリ不足エラーです。VAL_ID=%d :%u, %u");
  std::string bad_dno = utf8_to_sjis("( DNO = %d ) 不正なDNO番号を検出しました。");
  std::string slot_saving = utf8_to_sjis("メモリ %d 番にデータをセーブします。mTotalSize = %d");
  std::string slot_allocating = utf8_to_sjis("メモリ %d 番を新たにメモリ確保します。");
  std::string slot_allocated = utf8_to_sjis("メモリ %d 番を新たにメモリ確保しました。");
  std::string slot_growing = utf8_to_sjis("メモリ %d 番をメモリ再確保します。");
  std::string slot_grown = utf8_to_sjis("メモリ %d 番をメモリ再確保しました。");
  std::string too_large = utf8_to_sjis("ＣＧサイズが大きすぎます。X=%d, Y=%d");
};
const save_texts& texts() {
  static const save_texts t;
  return t;
}

void uncompress_failed(int which) {
  show_message_box("", "Uncompress Status Error %d.", which);
}

int32_t get_i32(const uint8_t* p) { return static_cast<int32_t>(get_u32le(p)); }
int64_t get_i64(const uint8_t* p) { return static_cast<int64_t>(get_u64(p)); }
void append_i64(std::vector<uint8_t>& out, uint64_t v) { put_u64(out, v); }

// The scratch buffer sized for `needed` bytes: variables grow it to twice the
// need, pictures to exactly their size. False when memory runs out.
bool reserve_scratch(uint64_t needed, bool exact) {
  std::vector<uint8_t>& b = save_scratch.bytes;
  b.clear();
  if (needed > SIZE_MAX / 2) return false;
  try {
    size_t want = static_cast<size_t>(needed);
    if (b.capacity() < save_scratch_initial) b.reserve(std::max<size_t>(save_scratch_initial, want));
    if (b.capacity() < want) b.reserve(exact ? want : want * 2);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Packs `payload` into a staged entry of `kind`. False (nothing changed) when
// the library is missing, the sizes pass 4 GiB or memory runs out.
bool pack_staged_entry(uint8_t kind, const uint8_t* payload, uint64_t payload_size, std::vector<uint8_t>& out) {
  const compression_library_record& lib = compression_library;
  if (!lib.compressed_length || !lib.compress || payload_size >= save_container_limit) return false;
  const uint32_t unpacked = static_cast<uint32_t>(payload_size);
  const uint32_t capacity = lib.compressed_length(unpacked);
  if (staged_head_size + static_cast<uint64_t>(capacity) + 4 >= save_container_limit) return false;
  std::vector<uint8_t> entry;
  try {
    entry.resize(staged_head_size + static_cast<size_t>(capacity));
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint32_t packed = capacity;
  lib.compress(payload, unpacked, entry.data() + staged_head_size, &packed);
  if (packed > capacity) return false;  // a library that overran its own bound
  entry[0] = kind;
  entry[1] = 1;
  put_u32le(entry.data() + 4, packed);
  put_u32le(entry.data() + 8, unpacked);
  entry.resize(staged_head_size + packed);
  out.swap(entry);
  return true;
}

// An unpacked payload. Not zero-filled: a hostile unpacked size then costs
// address space only, and unpacking must fill every byte to succeed.
struct unpacked_bytes {
  std::unique_ptr<uint8_t[]> bytes;
  size_t length = 0;
  const uint8_t* data() const { return bytes.get(); }
  size_t size() const { return length; }
};

// Unpacks into `out`, which must come to exactly `unpacked_size` bytes.
// 0, 1 when memory runs out, 2 when unpacking fails.
int unpack_into(const uint8_t* packed, uint32_t packed_size, uint8_t* out, uint32_t unpacked_size) {
  if (!compression_library.uncompress) return 2;
  uint32_t length = unpacked_size;
  if (compression_library.uncompress(packed, packed_size, out, &length) != 0) return 2;
  // A payload that unpacks to another size than the one stored is damaged.
  return length == unpacked_size ? 0 : 2;
}
int unpack_payload(const uint8_t* packed, uint32_t packed_size, uint32_t unpacked_size, unpacked_bytes& out) {
  out.bytes.reset(new (std::nothrow) uint8_t[unpacked_size ? unpacked_size : 1]);
  if (!out.bytes) return 1;
  out.length = unpacked_size;
  return unpack_into(packed, packed_size, out.bytes.get(), unpacked_size);
}

// ---------------------------------------------------------------- variables

const variable_record* declared(uint32_t id) {
  const variable_record* v = find_variable(id);
  return v && v->type != variable_type_none ? v : nullptr;
}

uint64_t element_data_size(const variable_record& v, uint32_t id, int64_t element) {
  if (v.type != variable_type_text) return 8;
  const char* text = get_string_element(id, element);
  return 4 + (text ? std::strlen(text) : 0);
}

void append_element(std::vector<uint8_t>& out, const variable_record& v, uint32_t id, int64_t element) {
  if (v.type == variable_type_int) {
    append_i64(out, static_cast<uint64_t>(get_int_element(id, element)));
  } else if (v.type == variable_type_real) {
    double d = get_real_element(id, element);
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    append_i64(out, bits);
  } else {
    const char* text = get_string_element(id, element);
    const size_t n = text ? std::strlen(text) : 0;
    append_u32le(out, static_cast<uint32_t>(n));
    out.insert(out.end(), text, text + n);
  }
}

// Builds a variable payload into the scratch buffer. 0, or the error to report.
int build_variable_payload(uint32_t id, int64_t element, bool whole) {
  const variable_record* v = declared(id);
  if (!v) return 108010;
  if (!whole && (element < 0 || static_cast<uint64_t>(element) >= v->element_count)) return 107010;
  const uint64_t first = whole ? 0 : static_cast<uint64_t>(element);
  const uint64_t count = whole ? v->element_count : 1;
  uint64_t data = 0;
  for (uint64_t i = 0; i < count; ++i) data += element_data_size(*v, id, static_cast<int64_t>(first + i));
  // Such data could never be loaded again.
  if (data > variable_data_size_limit) return 108070;
  const uint32_t dims = whole ? v->dimension_count : 0;
  if (!reserve_scratch(12 + 4ull * dims + data, false)) return -1;
  std::vector<uint8_t>& out = save_scratch.bytes;
  append_u32le(out, v->type);
  append_u32le(out, dims);
  for (uint32_t d = 0; d < dims; ++d) append_u32le(out, v->dimensions[d]);
  append_u32le(out, static_cast<uint32_t>(data));
  for (uint64_t i = 0; i < count; ++i) append_element(out, *v, id, static_cast<int64_t>(first + i));
  return 0;
}

// ---------------------------------------------------------------- loading into variables

const char* declaring_command_name(uint8_t type) {
  const int number = type == variable_type_int ? 40 : type == variable_type_real ? 24 : 79;
  return command_name(number).c_str();
}

// Checks a variable payload against the target and, only when every check
// passed, stores it. 0, or the error code to report.
int store_variable_payload(const unpacked_bytes& p, const save_load_request& r) {
  const uint64_t n = p.size();
  const variable_record* v = declared(r.variable_id);
  if (!v) return 108010;
  const int32_t type = get_i32(p.data());
  if (type < 1 || type > 3) return 900000;
  if (type != v->type) {
    report_error_at_line_fmt(102120, 1, r.command_name, declaring_command_name(v->type));
    return -1;
  }
  const int32_t dims = get_i32(p.data() + 4);
  if (dims < 0 || dims > 8) return 900000;
  const uint64_t data_at = 12 + 4ull * static_cast<uint32_t>(dims);
  if (data_at > n) return 108070;
  const int32_t data_size = get_i32(p.data() + data_at - 4);
  if (data_size < 0 || static_cast<uint32_t>(data_size) > variable_data_size_limit) return 108070;
  uint64_t first = 0, count = 1;
  if (r.whole) {
    if (static_cast<uint32_t>(dims) != v->dimension_count) return 108080;
    for (int32_t d = 0; d < dims; ++d)
      if (get_u32le(p.data() + 8 + 4 * d) != v->dimensions[d]) return 108090;
    count = v->element_count;
  } else {
    if (dims != 0) return 108080;
    if (r.element < 0 || static_cast<uint64_t>(r.element) >= v->element_count) return 107010;
    first = static_cast<uint64_t>(r.element);
  }
  // The data must be exactly the elements it claims to hold.
  if (data_at + static_cast<uint64_t>(data_size) != n) return 108070;
  const uint8_t* data = p.data() + data_at;
  if (type != variable_type_text) {
    if (static_cast<uint64_t>(data_size) != 8 * count) return 108070;
    for (uint64_t i = 0; i < count; ++i) {
      const int64_t value = get_i64(data + 8 * i);
      const int64_t at = static_cast<int64_t>(first + i);
      if (type == variable_type_int) {
        set_numeric_element(r.variable_id, at, value);
      } else {
        double d;
        std::memcpy(&d, &value, 8);
        set_real_element(r.variable_id, at, d);
      }
    }
    return 0;
  }
  // Texts: walk them all first, so nothing is stored from a bad payload.
  std::vector<std::pair<uint64_t, uint32_t>> texts;
  texts.reserve(static_cast<size_t>(count));
  uint64_t pos = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (static_cast<uint64_t>(data_size) - pos < 4) return 108070;
    const uint32_t length = get_u32le(data + pos);
    pos += 4;
    if (length >= string_slot_size || length > static_cast<uint64_t>(data_size) - pos) return 108070;
    texts.emplace_back(pos, length);
    pos += length;
  }
  if (pos != static_cast<uint64_t>(data_size)) return 108070;
  for (uint64_t i = 0; i < count; ++i)
    set_string_element_n(r.variable_id, static_cast<int64_t>(first + i),
                         reinterpret_cast<const char*>(data + texts[i].first), texts[i].second);
  return 0;
}

// ---------------------------------------------------------------- loading into layers

// 0 or -1 as the command returns; 1 when the payload is not a picture (108110).
int store_layer_payload(const unpacked_bytes& p, const save_load_request& r) {
  const uint8_t* b = p.data();
  if (p.size() < layer_payload_head_size || get_i32(b) != static_cast<int32_t>(layer_record_image_size)) return 1;
  const int32_t pixel_bytes = get_i32(b + 4);
  const int32_t width = get_i32(b + 8 + 136);
  const int32_t height = get_i32(b + 8 + 140);
  if (width > max_picture_width) {
    show_message_box("", texts().too_large, width, height);
    report_error(100010, 1);
    return 0;
  }
  if (width <= 0 || height <= 0) return 1;
  const uint64_t row_bytes = static_cast<uint64_t>(width) * 4;
  if (row_bytes * static_cast<uint64_t>(height) != static_cast<uint64_t>(static_cast<uint32_t>(pixel_bytes)) ||
      pixel_bytes < 0 || layer_payload_head_size + static_cast<uint64_t>(pixel_bytes) != p.size())
    return 1;
  if (!save_layer_hooks.install_picture) {
    report_error_at_line_fmt(101250, 1, r.command_name, r.layer_path);
    return -1;
  }
  uint8_t* block = alloc_picture_block(nullptr, width, height, std::string());
  if (!block) return -1;
  std::memcpy(block, b + layer_payload_head_size, static_cast<size_t>(pixel_bytes));
  std::memset(block + pixel_bytes, 0, static_cast<size_t>(row_bytes + 4));
  if (save_layer_hooks.install_picture(r.layer, r.layer_path, width, height, block) != 0) {
    std::free(block);
    return -1;
  }
  if (save_layer_hooks.stamp_load_time) save_layer_hooks.stamp_load_time();
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- staging

void free_staged_values(int index) {
  if (index == -1) {
    for (std::vector<uint8_t>& e : staged_values.entry) std::vector<uint8_t>().swap(e);
    return;
  }
  if (index >= 0 && index < static_cast<int>(save_value_count)) std::vector<uint8_t>().swap(staged_values.entry[index]);
}

uint64_t variable_save_size(uint32_t variable_id, bool is_layer, int64_t element, bool whole, int32_t width,
                            int32_t height) {
  if (is_layer) {
    if (width <= 0 || height <= 0) return 0;
    return static_cast<uint64_t>(width) * 4 * static_cast<uint64_t>(height) + 1660;
  }
  const variable_record* v = declared(variable_id);
  if (!v) return 0;
  if (whole) {
    uint64_t data = 0;
    for (uint64_t i = 0; i < v->element_count; ++i)
      data += element_data_size(*v, variable_id, static_cast<int64_t>(i));
    return 4ull * v->dimension_count + 24 + data;
  }
  if (element < 0 || static_cast<uint64_t>(element) >= v->element_count) return 0;
  return element_data_size(*v, variable_id, element) + 24;
}

int stage_save_value(uint32_t val_id, const save_value_source& source, const std::string& command_name,
                     const std::string& val_id_name) {
  if (val_id < 1 || val_id >= memory_slot_image_id) return -1;
  if (!staged_values.entry[val_id - 1].empty()) {
    report_error_at_line_fmt(102170, 1, command_name, val_id_name, val_id);
    return -1;
  }
  uint8_t kind = save_kind_variable;
  if (source.layer) {
    kind = save_kind_layer;
    uint8_t image[layer_record_image_size] = {};
    int32_t width = 0, height = 0;
    const uint8_t* pixels = nullptr;
    if (!save_layer_hooks.picture_of ||
        save_layer_hooks.picture_of(source.layer, image, &width, &height, &pixels) != 0 || width <= 0 ||
        height <= 0 || !pixels) {
      report_error_at_line_fmt(101250, 1, command_name, source.layer->name);
      return -1;
    }
    const uint64_t pixel_bytes = static_cast<uint64_t>(width) * 4 * static_cast<uint64_t>(height);
    if (pixel_bytes > INT32_MAX || !reserve_scratch(layer_payload_head_size + pixel_bytes, true)) {
      show_message_box("", texts().out_of_memory);
      return -1;
    }
    std::vector<uint8_t>& out = save_scratch.bytes;
    append_u32le(out, layer_record_image_size);
    append_u32le(out, static_cast<uint32_t>(pixel_bytes));
    out.insert(out.end(), image, image + layer_record_image_size);
    out.insert(out.end(), pixels, pixels + pixel_bytes);
  } else {
    int code = build_variable_payload(source.variable_id, source.element, source.whole);
    if (code > 0) {
      report_error_at_line(code, 1);
      return -1;
    }
    if (code < 0) {
      show_message_box("", texts().out_of_memory);
      return -1;
    }
  }
  if (!pack_staged_entry(kind, save_scratch.bytes.data(), save_scratch.bytes.size(),
                         staged_values.entry[val_id - 1])) {
    show_message_box("", texts().out_of_memory);
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------- memory-slot image

int build_memory_save_image() {
  const compression_library_record& lib = compression_library;
  if (!lib.compressed_length || !lib.compress) {
    show_message_box("", texts().out_of_memory);
    return -1;
  }
  uint64_t reserve = staged_head_size, slot_total = 0;
  for (uint32_t s = 0; s < memory_slot_count; ++s) {
    reserve += 8 + static_cast<uint64_t>(lib.compressed_length(memory_save_slots.length[s]));
    slot_total += 8 + static_cast<uint64_t>(memory_save_slots.length[s]);
  }
  if (reserve + 4 >= save_container_limit || slot_total >= save_container_limit) {
    show_message_box("", texts().out_of_memory);
    return -1;
  }
  std::vector<uint8_t> image;
  try {
    image.resize(static_cast<size_t>(reserve));
  } catch (const std::bad_alloc&) {
    show_message_box("", texts().out_of_memory);
    return -1;
  }
  uint64_t pos = staged_head_size;
  for (uint32_t s = 0; s < memory_slot_count; ++s) {
    const uint32_t length = memory_save_slots.length[s];
    uint32_t packed = lib.compressed_length(length);
    put_u32le(image.data() + pos, length);
    if (length) {
      const uint32_t capacity = packed;
      lib.compress(memory_save_slots.buffer[s], length, image.data() + pos + 8, &packed);
      if (packed > capacity) {
        show_message_box("", texts().out_of_memory);
        return -1;
      }
    }
    put_u32le(image.data() + pos + 4, packed);
    pos += 8 + (length ? packed : 0);
  }
  image[0] = save_kind_variable;
  image[1] = 1;
  put_u32le(image.data() + 4, static_cast<uint32_t>(pos - staged_head_size));
  put_u32le(image.data() + 8, static_cast<uint32_t>(slot_total));
  image.resize(static_cast<size_t>(pos));
  staged_values.entry[memory_slot_image_id - 1].swap(image);
  return 0;
}

int load_memory_slot_bundle(const save_entry_view& entry) {
  std::vector<memory_slot_record_view> records;
  if (!unpacked_size_fits(save_payload_form::slot_image, entry.unpacked_size) ||
      parse_memory_slot_image(entry.packed, entry.packed_size, entry.unpacked_size, records) != save_found) {
    uncompress_failed(4);
    return -1;
  }
  // Every slot is unpacked into a new buffer before any slot changes.
  std::vector<uint8_t*> fresh(memory_slot_count, nullptr);
  auto drop = [&fresh] {
    for (uint8_t* f : fresh) std::free(f);
  };
  for (uint32_t s = 0; s < memory_slot_count; ++s) {
    const memory_slot_record_view& r = records[s];
    if (!r.length) continue;
    fresh[s] = static_cast<uint8_t*>(std::malloc(r.length));
    if (!fresh[s]) {
      drop();
      show_message_box("", texts().load_out_of_memory);
      return -1;
    }
    if (unpack_into(r.packed, r.packed_length, fresh[s], r.length) != 0) {
      drop();
      uncompress_failed(4);
      return -1;
    }
  }
  for (uint32_t s = 0; s < memory_slot_count; ++s) {
    const uint32_t length = records[s].length;
    memory_save_slots.cursor[s] = 0;
    memory_save_slots.length[s] = length;
    if (!length) continue;  // an empty slot keeps its buffer
    std::free(memory_save_slots.buffer[s]);
    memory_save_slots.buffer[s] = fresh[s];
    memory_save_slots.capacity[s] = length;
  }
  return 0;
}

// ---------------------------------------------------------------- writing

namespace {

void staged_spans(staged_span* spans) {
  for (uint32_t i = 0; i < save_value_count; ++i) {
    spans[i].data = staged_values.entry[i].data();
    spans[i].length = static_cast<uint32_t>(staged_values.entry[i].size());
  }
}

// The C runtime's text of an error number; numbers past 36 repeat the last
// text shown.
std::string errno_text(int number) {
  static std::string previous;
  if (number >= 0 && number <= 36 && static_cast<size_t>(number) < command_table.errno_texts.size())
    previous = command_table.errno_texts[static_cast<size_t>(number)];
  return previous;
}

}  // namespace

int write_staged_values_to_file(const std::string& game_path, const std::string& command_name) {
  HostFiles* files = platform_installed() ? platform().files : nullptr;
  staged_span spans[save_value_count];
  staged_spans(spans);
  std::vector<uint8_t> bytes;
  auto fail_write = [&](int number) {
    report_error_at_line_fmt(102140, 1, command_name, game_path, number, errno_text(number));
    return -1;
  };
  if (!files) return fail_write(EIO);
  uint64_t existing_size = 0;
  if (files->kind(game_path, &existing_size) == host_entry_kind::file) {
    std::vector<uint8_t> old;
    if (!files->read_file(game_path, old)) return fail_write(errno ? errno : EIO);
    uint32_t bad = 0;
    int mode = 0;
    int status = update_save_container(old.data(), old.size(), spans, bytes, &mode, &bad);
    if (status == save_bad_magic) {
      report_error_at_line(108030, 1);
      return -1;
    }
    if (status == save_bad_version) {
      report_error_at_line(108040, 1);
      return -1;
    }
    if (status == save_damaged) {
      show_message_box("", texts().bad_dno, bad);
      return -1;
    }
    if (status != save_found) {
      show_message_box("", texts().out_of_memory);
      return -1;
    }
  } else {
    if (write_new_save_container(spans, save_value_count, bytes) != save_found) {
      show_message_box("", texts().out_of_memory);
      return -1;
    }
    // Makes the save folder when it is missing; a failure shows at the write.
    const size_t cut = game_path.find_last_of("\\/");
    const std::string folder = cut == std::string::npos ? std::string() : game_path.substr(0, cut + 1);
    if (!folder.empty()) files->make_folder(folder);
  }
  errno = 0;
  if (!files->replace_file(game_path, bytes.data(), bytes.size())) return fail_write(errno ? errno : EIO);
  free_staged_values(-1);
  return 0;
}

int write_staged_values_to_slot(int slot) {
  if (slot < 0 || slot >= static_cast<int>(memory_slot_count)) return -1;
  staged_span spans[save_value_count];
  staged_spans(spans);
  std::vector<uint8_t> bytes;
  if (write_new_save_container(spans, save_value_count - 1, bytes) != save_found) {
    show_message_box("", texts().out_of_memory);
    return -1;
  }
  const uint32_t total = static_cast<uint32_t>(std::max<size_t>(bytes.size(), memory_slot_min_capacity));
  const bool announce = slot >= 495;
  if (announce) show_message_box("", texts().slot_saving, slot, total);
  uint8_t*& buffer = memory_save_slots.buffer[slot];
  if (!buffer || memory_save_slots.capacity[slot] < total) {
    const bool fresh = !buffer;
    if (announce) show_message_box("", fresh ? texts().slot_allocating : texts().slot_growing, slot);
    void* grown = std::realloc(buffer, total);
    if (!grown) {
      show_message_box("", texts().out_of_memory);
      return -1;
    }
    buffer = static_cast<uint8_t*>(grown);
    memory_save_slots.capacity[slot] = total;
    if (announce) show_message_box("", fresh ? texts().slot_allocated : texts().slot_grown, slot);
  }
  if (announce) show_message_box("", "MEMNO = %d\r\nmTotalSize = %d", slot, total);
  std::memcpy(buffer, bytes.data(), bytes.size());
  memory_save_slots.length[slot] = static_cast<uint32_t>(bytes.size());
  memory_save_slots.cursor[slot] = 0;
  free_staged_values(-1);
  return 0;
}

// ---------------------------------------------------------------- loading

int load_saved_value(const uint8_t* container, uint64_t size, const save_load_request& r) {
  const int damaged_error = r.from_file ? 1 : 2;
  save_entry_view e;
  int status = find_save_entry(container, size, r.val_id, e);
  if (status == save_bad_magic) {
    report_error_at_line(108030, 1);
    return -1;
  }
  if (status == save_bad_version) {
    report_error_at_line(108040, 1);
    return -1;
  }
  if (status == save_absent) {
    report_error_at_line_fmt(102110, 1, r.command_name, r.val_id_name);
    return 0;
  }
  if (status != save_found) {
    uncompress_failed(damaged_error);
    return -1;
  }
  if (r.from_file && r.val_id == memory_slot_image_id) return load_memory_slot_bundle(e);

  // The kind decides before anything is unpacked.
  if (r.layer) {
    if (e.kind != save_kind_layer) {
      report_error_at_line(108100, 1);
      return -1;
    }
  } else if (e.kind == save_kind_layer) {
    report_error_at_line(108050, 1);
    return -1;
  }
  const save_payload_form form = r.layer ? save_payload_form::layer : save_payload_form::variable;
  if (!unpacked_size_fits(form, e.unpacked_size)) {
    uncompress_failed(damaged_error);
    return -1;
  }
  unpacked_bytes payload;
  int unpacked = unpack_payload(e.packed, e.packed_size, e.unpacked_size, payload);
  if (unpacked == 1) {
    if (r.from_file) show_message_box("", texts().load_out_of_memory);
    else show_message_box("", texts().load_out_of_memory_slot, r.val_id, e.packed_size, e.unpacked_size);
    return -1;
  }
  if (unpacked != 0) {
    uncompress_failed(damaged_error);
    return -1;
  }
  if (r.layer) {
    int result = store_layer_payload(payload, r);
    if (result == 1) {
      report_error_at_line(108110, 1);
      return -1;
    }
    return result;
  }
  int code = store_variable_payload(payload, r);
  if (code > 0) {
    report_error_at_line(code, 1);
    return -1;
  }
  return code;
}
