#include "platform/text_encoding.h"

#include <iconv.h>

#include <cerrno>

namespace {
struct lead_table_builder {
  uint8_t t[256]{};
  constexpr lead_table_builder() {
    for (int b = 0x81; b <= 0x9F; ++b) t[b] = 1;
    for (int b = 0xE0; b <= 0xFC; ++b) t[b] = 1;
  }
};
constexpr lead_table_builder lead_builder;

std::string convert(std::string_view in, const char* to, const char* from, size_t bad_step_hint) {
  std::string out;
  if (in.empty()) return out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // No converter: pass ASCII through, mark the rest.
    for (char c : in) out.push_back(static_cast<unsigned char>(c) < 0x80 ? c : '?');
    return out;
  }
  out.resize(in.size() * 4 + 16);
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  while (src_left > 0) {
    size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dst_left = out.size() - used;
      continue;
    }
    // Invalid or incomplete input: emit '?' and skip one character.
    if (dst_left == 0) {
      size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dst_left = out.size() - used;
    }
    *dst++ = '?';
    --dst_left;
    size_t step = 1;
    if (bad_step_hint == 2 && src_left >= 2 && is_sjis_lead(static_cast<uint8_t>(*src))) step = 2;
    src += step;
    src_left -= step;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(static_cast<size_t>(dst - out.data()));
  iconv_close(cd);
  return out;
}
}  // namespace

const uint8_t sjis_lead_table[256] = {
#define ROW(base) \
  lead_builder.t[base + 0], lead_builder.t[base + 1], lead_builder.t[base + 2], lead_builder.t[base + 3], \
  lead_builder.t[base + 4], lead_builder.t[base + 5], lead_builder.t[base + 6], lead_builder.t[base + 7], \
  lead_builder.t[base + 8], lead_builder.t[base + 9], lead_builder.t[base + 10], lead_builder.t[base + 11], \
  lead_builder.t[base + 12], lead_builder.t[base + 13], lead_builder.t[base + 14], lead_builder.t[base + 15]
    ROW(0x00), ROW(0x10), ROW(0x20), ROW(0x30), ROW(0x40), ROW(0x50), ROW(0x60), ROW(0x70),
    ROW(0x80), ROW(0x90), ROW(0xA0), ROW(0xB0), ROW(0xC0), ROW(0xD0), ROW(0xE0), ROW(0xF0),
#undef ROW
};

std::string sjis_to_utf8(std::string_view sjis) {
  // Plain ASCII is the common case for paths: skip iconv.
  bool ascii = true;
  for (char c : sjis) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(sjis);
  return convert(sjis, "UTF-8", "CP932", 2);
}

std::string utf8_to_sjis(std::string_view utf8) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(utf8);
  return convert(utf8, "CP932", "UTF-8", 1);
}
