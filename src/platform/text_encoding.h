// Shift-JIS (code page 932) bytes at the platform boundary: the lead-byte
// table and character stepping, and conversion to and from UTF-8. Kept here
// so that the backends, which convert names and texts, need no engine header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// 1 for bytes that start a double-byte character (0x81-0x9F, 0xE0-0xFC).
extern const uint8_t sjis_lead_table[256];

inline bool is_sjis_lead(uint8_t b) { return sjis_lead_table[b] != 0; }

// Length of the character at pos: 2 for a lead byte followed by a trail byte,
// else 1 (a lead byte at the very end counts as a single byte).
inline size_t sjis_char_length(std::string_view s, size_t pos) {
  return (pos + 1 < s.size() && is_sjis_lead(static_cast<uint8_t>(s[pos]))) ? 2 : 1;
}

// Position of the character after the one at pos.
inline size_t sjis_next(std::string_view s, size_t pos) { return pos + sjis_char_length(s, pos); }

// Lower-cases A to Z in place, stepping over double-byte characters (whose
// trail bytes may look like ASCII letters).
inline void lowercase_sjis(std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = sjis_char_length(s, i);
    if (n == 1 && s[i] >= 'A' && s[i] <= 'Z') s[i] = static_cast<char>(s[i] + ('a' - 'A'));
    i += n;
  }
}

// Conversions through iconv "CP932". Bytes that do not convert become '?' so
// that a bad name never aborts the caller.
std::string sjis_to_utf8(std::string_view sjis);
std::string utf8_to_sjis(std::string_view utf8);
