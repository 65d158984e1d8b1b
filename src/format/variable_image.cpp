#include "format/variable_image.h"

#include <cstring>

#include "format/byte_io.h"

namespace {

void put_u8(std::vector<uint8_t>& out, uint32_t v) { out.push_back(static_cast<uint8_t>(v)); }

std::vector<system_variable_layout> make_layouts() {
  std::vector<system_variable_layout> v;
  auto add = [&](uint16_t id, uint8_t type, uint32_t size) { v.push_back({id, type, size}); };
  add(0, 1, 16);  // local time, then engine values kept for the script
  add(1, 1, 5);   // tick, play-time counters 1..4
  for (uint16_t id = 2; id <= 9; ++id) add(id, 1, 1);
  add(10, 2, 1);   // pi
  add(11, 1, 1);
  add(12, 3, 9);   // command-line argument slots 0..8
  add(13, 1, 1);
  add(14, 3, 8192);  // file_list entries
  add(15, 1, 1);
  add(48, 1, 1);
  for (uint16_t id = 49; id <= 60; ++id) {
    static const uint8_t kinds[12] = {1, 1, 2, 3, 1, 1, 2, 3, 1, 1, 2, 3};
    add(id, kinds[id - 49], 17);  // values numbered 1..16
  }
  for (uint16_t id = 93; id <= 97; ++id) add(id, 3, 1);
  for (uint16_t id = 98; id <= 111; ++id) add(id, 1, 1);
  add(112, 3, 1);
  add(113, 3, 1);
  add(114, 1, 1);
  add(115, 3, 1);
  add(116, 1, 1);
  add(117, 3, 65536);  // one character by code
  for (uint16_t id = 118; id <= 121; ++id) add(id, 3, 1);
  for (uint16_t id = 122; id <= 133; ++id) add(id, 1, 1);
  add(134, 1, 1024);  // every input code
  // Input values: one element each, but the joystick entries take the pad
  // (directions, 16 pads) or the button over all pads (32 each) as element.
  for (uint16_t id = 135; id <= 537; ++id) {
    const bool pad = (id >= 266 && id <= 269) || (id >= 400 && id <= 403) || (id >= 533 && id <= 536);
    const bool button = id == 270 || id == 404 || id == 537;
    add(id, 1, button ? 512 : pad ? 16 : 1);
  }
  return v;
}

}  // namespace

std::vector<uint8_t> write_variable_image(const std::vector<initial_variable_entry>& entries) {
  std::vector<uint8_t> out = {'K', 'X', 'V', 0};
  put_u32(out, 553);
  put_u16(out, static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) {
    put_u8(out, e.scope);
    put_u16(out, e.script_number);
    put_u16(out, e.variable_id);
    put_u8(out, e.type);
    put_u8(out, static_cast<uint32_t>(e.dimensions.size()));
    for (uint32_t d : e.dimensions) put_u32(out, d);
    if (e.type == 1) {
      put_u64(out, static_cast<uint64_t>(e.int_value));
    } else if (e.type == 2) {
      uint64_t bits;
      std::memcpy(&bits, &e.real_value, 8);
      put_u64(out, bits);
    } else {
      put_u16(out, static_cast<uint32_t>(e.text_expression.size()));
      out.insert(out.end(), e.text_expression.begin(), e.text_expression.end());
    }
  }
  return out;
}

const std::vector<system_variable_layout>& system_variable_layouts() {
  static const std::vector<system_variable_layout> layouts = make_layouts();
  return layouts;
}

std::vector<initial_variable_entry> system_variable_entries() {
  // An empty text literal: 'M', payload length 2, delimiter, delimiter.
  static const std::vector<uint8_t> empty_text = {'M', 2, 0, '"', '"'};
  std::vector<initial_variable_entry> out;
  for (const auto& l : system_variable_layouts()) {
    initial_variable_entry e;
    e.scope = image_scope_global;
    e.variable_id = l.id;
    e.type = l.type;
    e.dimensions = {l.size};
    if (l.type == 3) e.text_expression = empty_text;
    out.push_back(std::move(e));
  }
  return out;
}

uint8_t system_variable_type(uint32_t id) {
  static const std::vector<uint8_t> types = [] {
    std::vector<uint8_t> t(1000, 1);
    for (const auto& l : system_variable_layouts()) t[l.id] = l.type;
    return t;
  }();
  return id < types.size() ? types[id] : 1;
}
