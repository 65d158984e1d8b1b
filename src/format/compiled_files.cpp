#include "format/compiled_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/hashes.h"
#include "format/pack_format.h"

namespace {

// Sequential reader over a buffer that refuses to step past its end.
struct byte_cursor {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;

  bool has(size_t n) const { return n <= size - pos; }
  bool u8(uint8_t& v) {
    if (!has(1)) return false;
    v = data[pos++];
    return true;
  }
  bool u16(uint16_t& v) {
    if (!has(2)) return false;
    v = get_u16(data + pos);
    pos += 2;
    return true;
  }
  bool u32(uint32_t& v) {
    if (!has(4)) return false;
    v = get_u32(data + pos);
    pos += 4;
    return true;
  }
  bool bytes(size_t n, std::string& out) {
    if (!has(n)) return false;
    out.assign(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
    return true;
  }
  bool skip(size_t n) {
    if (!has(n)) return false;
    pos += n;
    return true;
  }
  // A string up to its zero byte; the zero must lie inside the buffer.
  bool cstring(std::string& out) {
    const void* z = std::memchr(data + pos, 0, size - pos);
    if (!z) return false;
    size_t n = static_cast<const uint8_t*>(z) - (data + pos);
    out.assign(reinterpret_cast<const char*>(data + pos), n);
    pos += n + 1;
    return true;
  }
};

void put_header(std::vector<uint8_t>& out, const char magic[4], uint32_t version, uint32_t count, uint32_t extra) {
  out.insert(out.end(), magic, magic + 4);
  put_u32(out, version);
  put_u32(out, count);
  put_u32(out, extra);
}

void put_cstring(std::vector<uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

}  // namespace

// ---------------------------------------------------------------- kxcfg.kbn

std::vector<uint8_t> write_engine_config_file(const compiled_engine_config& c) {
  std::vector<uint8_t> out;
  put_header(out, "KXCF", compiled_file_version, 1, 0);
  put_u32(out, c.main_width);
  put_u32(out, c.main_height);
  put_u32(out, c.main_window_kind);
  out.insert(out.end(), c.image_order.begin(), c.image_order.end());
  out.insert(out.end(), c.sound_order.begin(), c.sound_order.end());
  for (uint32_t v : {c.frame_thread_mode, c.debug_switch, c.sound_on, c.keep_thick_frame, c.main_window_style,
                     c.kept_flag, c.dev_loose_first, c.release_loose_first, c.unread_72})
    put_u32(out, v);
  put_u16(out, static_cast<uint16_t>(c.title.size()));
  out.insert(out.end(), c.title.begin(), c.title.begin() + std::min<size_t>(c.title.size(), 0xFFFF));
  return out;
}

int parse_engine_config_file(const uint8_t* data, size_t size, compiled_engine_config& out) {
  byte_cursor c{data, size};
  uint8_t order[12];
  uint16_t title_length = 0;
  if (!c.skip(compiled_header_size) || !c.u32(out.main_width) || !c.u32(out.main_height) ||
      !c.u32(out.main_window_kind))
    return compiled_truncated;
  for (uint8_t& b : order)
    if (!c.u8(b)) return compiled_truncated;
  std::copy(order, order + 8, out.image_order.begin());
  std::copy(order + 8, order + 12, out.sound_order.begin());
  for (uint32_t* v : {&out.frame_thread_mode, &out.debug_switch, &out.sound_on, &out.keep_thick_frame,
                      &out.main_window_style, &out.kept_flag, &out.dev_loose_first, &out.release_loose_first,
                      &out.unread_72})
    if (!c.u32(*v)) return compiled_truncated;
  if (!c.u16(title_length) || !c.bytes(title_length, out.title)) return compiled_truncated;
  return compiled_ok;
}

// ---------------------------------------------------------------- kxt.kbn

std::vector<uint8_t> write_variable_count_file(const compiled_variable_counts& c) {
  std::vector<uint8_t> out;
  put_header(out, "KXT ", c.version, c.variable_count, c.system_value_114);
  return out;
}

int parse_variable_count_file(const uint8_t* data, size_t size, compiled_variable_counts& out) {
  if (size < compiled_header_size) return compiled_truncated;
  out.version = get_u32(data + 4);
  out.variable_count = get_u32(data + 8);
  out.system_value_114 = get_u32(data + 12);
  return out.version == compiled_file_version ? compiled_ok : compiled_bad_version;
}

// ---------------------------------------------------------------- kxt_list.kbn

std::vector<uint8_t> write_script_list_file(const std::vector<compiled_script_record>& scripts) {
  std::vector<uint8_t> out;
  // One record per script: the record count is the script count.
  put_header(out, "KXTL", compiled_file_version, static_cast<uint32_t>(scripts.size()), 0);
  for (const compiled_script_record& s : scripts) {
    put_u32(out, s.script_number);
    put_u32(out, static_cast<uint32_t>(s.source_name.size()));
    out.insert(out.end(), s.source_name.begin(), s.source_name.end());
    out.insert(out.end(), 16, 0);
    put_u32(out, s.entry_value);
  }
  return out;
}

int parse_script_list_file(const uint8_t* data, size_t size, uint32_t& script_count,
                           std::vector<compiled_script_record>& out) {
  out.clear();
  byte_cursor c{data, size};
  if (!c.skip(8) || !c.u32(script_count) || !c.skip(4)) return compiled_truncated;
  // Every record takes at least 28 bytes: refuse an impossible count before
  // reserving anything for it.
  if (script_count > (size - compiled_header_size) / 28) return compiled_truncated;
  out.reserve(script_count);
  for (uint32_t i = 0; i < script_count; ++i) {
    compiled_script_record r;
    uint32_t n = 0;
    if (!c.u32(r.script_number) || !c.u32(n) || !c.bytes(n, r.source_name) || !c.skip(16) || !c.u32(r.entry_value))
      return compiled_truncated;
    out.push_back(std::move(r));
  }
  return compiled_ok;
}

// ---------------------------------------------------------------- kxl.kbn

std::vector<uint8_t> write_label_file(std::vector<compiled_label_record> labels) {
  for (compiled_label_record& l : labels) {
    if (l.name.size() > 255) l.name.resize(255);
    l.hash = name_hash(l.name);
  }
  std::stable_sort(labels.begin(), labels.end(),
                   [](const compiled_label_record& a, const compiled_label_record& b) { return a.hash < b.hash; });
  std::vector<uint8_t> out;
  // The bucket table takes the header's last field: it starts at 12.
  out.insert(out.end(), {'K', 'X', 'L', ' '});
  put_u32(out, compiled_file_version);
  put_u32(out, static_cast<uint32_t>(labels.size()));
  // Bucket b: the first label whose hash has a top byte of at least b.
  size_t at = 0;
  for (uint32_t b = 0; b < 256; ++b) {
    while (at < labels.size() && (labels[at].hash >> 24) < b) ++at;
    put_u32(out, b == 0 ? 0 : static_cast<uint32_t>(at));
  }
  for (const compiled_label_record& l : labels) {
    out.push_back(static_cast<uint8_t>(l.name.size()));
    out.insert(out.end(), l.name.begin(), l.name.end());
    put_u32(out, l.hash);
    put_u32(out, l.position);
    put_u16(out, l.script_number);
    out.push_back(l.block_depth);
    out.push_back(l.loop_depth);
  }
  return out;
}

int parse_label_file(const uint8_t* data, size_t size, compiled_label_file& out) {
  out.labels.clear();
  byte_cursor c{data, size};
  uint32_t count = 0;
  if (!c.skip(8) || !c.u32(count)) return compiled_truncated;
  for (uint32_t& b : out.buckets)
    if (!c.u32(b)) return compiled_truncated;
  out.buckets[0] = 0;
  if (count > (size - label_records_offset) / 13) return compiled_truncated;
  out.labels.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    compiled_label_record l;
    uint8_t n = 0;
    if (!c.u8(n) || !c.bytes(n, l.name) || !c.u32(l.hash) || !c.u32(l.position) || !c.u16(l.script_number) ||
        !c.u8(l.block_depth) || !c.u8(l.loop_depth))
      return compiled_truncated;
    out.labels.push_back(std::move(l));
  }
  return compiled_ok;
}

// ---------------------------------------------------------------- kxe.kbn

std::vector<uint8_t> write_error_text_file(const std::vector<compiled_error_text>& texts) {
  std::vector<uint8_t> out;
  put_header(out, "KXE ", compiled_file_version, static_cast<uint32_t>(texts.size()), 0);
  for (const compiled_error_text& t : texts) {
    put_u32(out, static_cast<uint32_t>(t.code));
    put_cstring(out, t.text);
  }
  return out;
}

int parse_error_text_file(const uint8_t* data, size_t size, std::vector<compiled_error_text>& out, size_t limit) {
  out.clear();
  byte_cursor c{data, size};
  uint32_t count = 0;
  if (!c.skip(8) || !c.u32(count) || !c.skip(4)) return compiled_truncated;
  size_t take = std::min<size_t>(count, limit);
  // Each record takes at least 5 bytes.
  if (take > (size - compiled_header_size) / 5) return compiled_truncated;
  out.reserve(take);
  for (size_t i = 0; i < take; ++i) {
    compiled_error_text t;
    uint32_t code = 0;
    if (!c.u32(code) || !c.cstring(t.text)) return compiled_truncated;
    t.code = static_cast<int32_t>(code);
    out.push_back(std::move(t));
  }
  return compiled_ok;
}

// ---------------------------------------------------------------- kxc.kbn

std::vector<uint8_t> write_command_file(const compiled_command_file& f) {
  std::vector<uint8_t> out;
  put_header(out, "KXC ", compiled_file_version, static_cast<uint32_t>(f.commands.size()), 0);
  for (const compiled_command& cmd : f.commands) {
    put_cstring(out, cmd.name);
    size_t p = std::min<size_t>(cmd.parameters.size(), 255);
    out.push_back(static_cast<uint8_t>(p));
    for (size_t i = 0; i < p; ++i) {
      put_cstring(out, cmd.parameters[i].name);
      out.push_back(cmd.parameters[i].kind);
      out.push_back(cmd.parameters[i].range_check);
    }
  }
  for (size_t i = 0; i < command_errno_text_count; ++i)
    put_cstring(out, i < f.errno_texts.size() ? f.errno_texts[i] : std::string());
  out.insert(out.end(), f.tail.begin(), f.tail.end());
  return out;
}

int parse_command_file(const uint8_t* data, size_t size, compiled_command_file& out) {
  out.commands.clear();
  out.errno_texts.clear();
  byte_cursor c{data, size};
  uint32_t count = 0;
  if (!c.skip(8) || !c.u32(count) || !c.skip(4)) return compiled_truncated;
  // A command record takes at least 2 bytes (empty name, parameter count).
  if (count > (size - compiled_header_size) / 2) return compiled_truncated;
  out.commands.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    compiled_command cmd;
    uint8_t p = 0;
    if (!c.cstring(cmd.name) || !c.u8(p)) return compiled_truncated;
    cmd.parameters.resize(p);
    for (compiled_parameter& param : cmd.parameters)
      if (!c.cstring(param.name) || !c.u8(param.kind) || !c.u8(param.range_check)) return compiled_truncated;
    out.commands.push_back(std::move(cmd));
  }
  out.errno_texts.resize(command_errno_text_count);
  for (std::string& t : out.errno_texts)
    if (!c.cstring(t)) return compiled_truncated;
  if (!c.has(command_tail_table_size)) return compiled_truncated;
  std::memcpy(out.tail.data(), data + c.pos, command_tail_table_size);
  return compiled_ok;
}

const std::vector<std::string>& default_errno_texts() {
  static const std::vector<std::string> texts = {
      "No error",
      "Operation not permitted",
      "No such file or directory",
      "No such process",
      "Interrupted function call",
      "Input/output error",
      "No such device or address",
      "Arg list too long",
      "Exec format error",
      "Bad file descriptor",
      "No child processes",
      "Resource temporarily unavailable",
      "Not enough space",
      "Permission denied",
      "Bad address",
      "Unknown error",
      "Resource device",
      "File exists",
      "Improper link",
      "No such device",
      "Not a directory",
      "Is a directory",
      "Invalid argument",
      "Too many open files in system",
      "Too many open files",
      "Inappropriate I/O control operation",
      "Unknown error",
      "File too large",
      "No space left on device",
      "Invalid seek",
      "Read-only file system",
      "Too many links",
      "Broken pipe",
      "Domain error",
      "Result too large",
      "Unknown error",
      "Resource deadlock avoided",
  };
  return texts;
}

// ---------------------------------------------------------------- kxt%05d.kbn

std::vector<uint8_t> write_code_file(const compiled_code_file& f, const std::array<uint8_t, 4>& key) {
  std::vector<uint8_t> s1, s2, s4;
  for (const compiled_instruction& ins : f.instructions) {
    size_t n = std::min<size_t>(ins.arguments.size(), 255);
    s1.push_back(ins.command);
    s1.push_back(static_cast<uint8_t>(n));
    s1.push_back(ins.flags);
    s1.push_back(0);
    for (size_t i = 0; i < n; ++i) {
      const compiled_argument& a = ins.arguments[i];
      s2.push_back(a.parameter_id);
      s2.push_back(0);
      s2.push_back(a.value_type);
      s2.push_back(a.assignment_operator);
      put_u32(s2, a.length);
      put_u32(s2, a.offset);
    }
    put_u32(s4, ins.source_line);
  }
  std::vector<uint8_t> s3 = f.expression_pool;
  for (std::vector<uint8_t>* s : {&s1, &s2, &s3, &s4}) scramble_code_section(s->data(), s->size(), key);
  std::vector<uint8_t> out;
  out.insert(out.end(), {'K', 'X', 'T', ' '});
  put_u32(out, compiled_file_version);
  put_u32(out, static_cast<uint32_t>(f.instructions.size()));
  for (std::vector<uint8_t>* s : {&s1, &s2, &s3, &s4}) put_u32(out, static_cast<uint32_t>(s->size()));
  put_u32(out, 0);
  for (std::vector<uint8_t>* s : {&s1, &s2, &s3, &s4}) out.insert(out.end(), s->begin(), s->end());
  return out;
}

std::string code_file_name(uint32_t script_number) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "kxbin\\kxt%05u.kbn", script_number);
  return buf;
}
