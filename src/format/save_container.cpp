#include "format/save_container.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t magic[4] = {'K', 'X', 'S', 'D'};

void write_header(uint8_t* out, uint32_t count, const uint32_t* table) {
  std::memcpy(out, magic, 4);
  put_u32le(out + 4, save_format_version);
  put_u32le(out + 8, count);
  put_u32le(out + 12, save_value_count);
  for (uint32_t v = 1; v <= save_value_count; ++v) put_u32le(out + save_table_offset(v), table[v]);
}

// Checks the entry the table slot of `val_id` points at.
int check_entry(const uint8_t* data, uint64_t size, uint32_t val_id, uint32_t offset, save_entry_view& out) {
  if (offset < save_header_size) return save_damaged;
  if (static_cast<uint64_t>(offset) + save_entry_head_size > size) return save_damaged;
  const uint8_t* head = data + offset;
  if (get_u32le(head) != val_id) return save_damaged;
  const uint8_t kind = head[4];
  if (kind != save_kind_variable && kind != save_kind_layer) return save_damaged;
  const uint32_t packed = get_u32le(head + 8);
  if (packed > size - offset - save_entry_head_size) return save_damaged;
  out.val_id = val_id;
  out.offset = offset;
  out.kind = kind;
  out.packed_size = packed;
  out.unpacked_size = get_u32le(head + 12);
  out.packed = head + save_entry_head_size;
  return save_found;
}

uint64_t staged_total(const staged_span* staged, uint32_t first, uint32_t last) {
  uint64_t total = 0;
  for (uint32_t v = first; v <= last; ++v)
    if (staged[v - 1].length) total += 4 + static_cast<uint64_t>(staged[v - 1].length);
  return total;
}

void append_staged(std::vector<uint8_t>& out, uint32_t val_id, const staged_span& s) {
  append_u32le(out, val_id);
  out.insert(out.end(), s.data, s.data + s.length);
}

}  // namespace

int check_save_header(const uint8_t* data, uint64_t size) {
  if (size >= save_container_limit) return save_too_large;
  if (size < 4 || std::memcmp(data, magic, 4) != 0) return save_bad_magic;
  if (size < 8 || get_u32le(data + 4) != save_format_version) return save_bad_version;
  return save_found;
}

int find_save_entry(const uint8_t* data, uint64_t size, uint32_t val_id, save_entry_view& out) {
  int status = check_save_header(data, size);
  if (status != save_found) return status;
  if (val_id < 1 || val_id > save_value_count) return save_damaged;
  // A table cut short cannot say where the entry is.
  if (static_cast<uint64_t>(save_table_offset(val_id)) + 4 > size) return save_damaged;
  const uint32_t offset = get_u32le(data + save_table_offset(val_id));
  if (offset == 0) return save_absent;
  return check_entry(data, size, val_id, offset, out);
}

int list_save_entries(const uint8_t* data, uint64_t size, std::vector<save_entry_view>& out, uint32_t* bad_val_id) {
  out.clear();
  if (bad_val_id) *bad_val_id = 0;
  int status = check_save_header(data, size);
  if (status != save_found) return status;
  if (size < save_header_size) return save_damaged;
  for (uint32_t v = 1; v <= save_value_count; ++v) {
    const uint32_t offset = get_u32le(data + save_table_offset(v));
    if (offset == 0) continue;
    save_entry_view e;
    if (check_entry(data, size, v, offset, e) != save_found) {
      if (bad_val_id) *bad_val_id = v;
      return save_damaged;
    }
    out.push_back(e);
  }
  std::sort(out.begin(), out.end(), [](const save_entry_view& a, const save_entry_view& b) { return a.offset < b.offset; });
  for (size_t i = 1; i < out.size(); ++i) {
    const uint64_t end = static_cast<uint64_t>(out[i - 1].offset) + save_entry_head_size + out[i - 1].packed_size;
    if (out[i].offset < end) {
      if (bad_val_id) *bad_val_id = out[i].val_id;
      out.clear();
      return save_damaged;
    }
  }
  return save_found;
}

bool unpacked_size_fits(save_payload_form form, uint64_t unpacked_size) {
  switch (form) {
    case save_payload_form::variable:
      return unpacked_size >= 12 && unpacked_size <= variable_payload_limit;
    case save_payload_form::layer:
      return unpacked_size >= layer_payload_head_size && (unpacked_size - layer_payload_head_size) % 4 == 0 &&
             unpacked_size < save_container_limit;
    case save_payload_form::slot_image:
      return unpacked_size >= 8ull * memory_slot_count && unpacked_size < save_container_limit;
  }
  return false;
}

int write_new_save_container(const staged_span* staged, uint32_t last_val_id, std::vector<uint8_t>& out) {
  if (last_val_id > save_value_count) last_val_id = save_value_count;
  const uint64_t total = save_header_size + staged_total(staged, 1, last_val_id);
  if (total >= save_container_limit) return save_too_large;
  out.clear();
  out.reserve(static_cast<size_t>(total));
  out.resize(save_header_size);
  uint32_t table[save_value_count + 1] = {};
  uint32_t count = 0;
  for (uint32_t v = 1; v <= last_val_id; ++v) {
    const staged_span& s = staged[v - 1];
    if (!s.length) continue;
    table[v] = static_cast<uint32_t>(out.size());
    append_staged(out, v, s);
    ++count;
  }
  write_header(out.data(), count, table);
  return save_found;
}

int update_save_container(const uint8_t* old_data, uint64_t old_size, const staged_span* staged,
                          std::vector<uint8_t>& out, int* mode, uint32_t* bad_val_id) {
  std::vector<save_entry_view> entries;
  int status = list_save_entries(old_data, old_size, entries, bad_val_id);
  if (status != save_found) return status;
  bool replaces = false;
  for (const save_entry_view& e : entries)
    if (staged[e.val_id - 1].length) replaces = true;

  uint32_t table[save_value_count + 1] = {};
  uint32_t count = 0;
  out.clear();
  if (!replaces) {
    // Append: the old bytes stay exactly as they were.
    const uint64_t total = old_size + staged_total(staged, 1, save_value_count);
    if (total >= save_container_limit) return save_too_large;
    out.reserve(static_cast<size_t>(total));
    out.assign(old_data, old_data + old_size);
    for (const save_entry_view& e : entries) {
      table[e.val_id] = e.offset;
      ++count;
    }
    for (uint32_t v = 1; v <= save_value_count; ++v) {
      if (!staged[v - 1].length) continue;
      table[v] = static_cast<uint32_t>(out.size());
      append_staged(out, v, staged[v - 1]);
      ++count;
    }
    if (mode) *mode = save_write_append;
  } else {
    uint64_t total = save_header_size;
    for (const save_entry_view& e : entries)
      total += staged[e.val_id - 1].length ? 0 : save_entry_head_size + static_cast<uint64_t>(e.packed_size);
    total += staged_total(staged, 1, save_value_count);
    if (total >= save_container_limit) return save_too_large;
    out.reserve(static_cast<size_t>(total));
    out.resize(save_header_size);
    bool written[save_value_count + 1] = {};
    for (const save_entry_view& e : entries) {
      table[e.val_id] = static_cast<uint32_t>(out.size());
      const staged_span& s = staged[e.val_id - 1];
      if (s.length) {
        append_staged(out, e.val_id, s);
        written[e.val_id] = true;
      } else {
        out.insert(out.end(), old_data + e.offset, e.packed + e.packed_size);
      }
      ++count;
    }
    for (uint32_t v = 1; v <= save_value_count; ++v) {
      if (!staged[v - 1].length || written[v]) continue;
      table[v] = static_cast<uint32_t>(out.size());
      append_staged(out, v, staged[v - 1]);
      ++count;
    }
    if (mode) *mode = save_write_rewrite;
  }
  write_header(out.data(), count, table);
  return save_found;
}

int parse_memory_slot_image(const uint8_t* body, uint64_t body_length, uint64_t slot_total,
                            std::vector<memory_slot_record_view>& out) {
  out.clear();
  out.reserve(memory_slot_count);
  uint64_t pos = 0, lengths = 0;
  for (uint32_t i = 0; i < memory_slot_count; ++i) {
    if (pos > body_length || body_length - pos < 8) return save_damaged;
    memory_slot_record_view r;
    r.length = get_u32le(body + pos);
    r.packed_length = get_u32le(body + pos + 4);
    pos += 8;
    if (r.length) {
      if (r.packed_length > body_length - pos) return save_damaged;
      r.packed = body + pos;
      pos += r.packed_length;
    }
    lengths += 8 + static_cast<uint64_t>(r.length);
    out.push_back(r);
  }
  if (pos != body_length || lengths != slot_total) {
    out.clear();
    return save_damaged;
  }
  return save_found;
}
