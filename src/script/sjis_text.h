// Shift-JIS text helpers of the text commands: character counting and
// stepping, single-byte <-> double-byte width conversion, and the case tables
// (ASCII only, or ASCII plus the double-byte Latin, Greek and Cyrillic letters).
// Every routine steps over double-byte characters, so a trail byte such as
// 0x5C ('\') or 0x41..0x7A is never taken for a character of its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Number of characters (a lead byte at the very end counts as one).
size_t sjis_char_count(std::string_view text);
// Byte offset of character `index` (0-based); the text's size when the text
// has no more characters than that.
size_t sjis_char_offset(std::string_view text, size_t index);

// The double-byte form of a single byte (ASCII 0x20..0x7E by JIS X 0201, and
// the half-width katakana and punctuation 0xA1..0xDF), or 0 when it has none.
uint16_t sjis_fullwidth_of(uint8_t byte);
// The single byte of a double-byte character (lead << 8 | trail), or 0.
uint8_t sjis_halfwidth_of(uint16_t code);
// Whole-text conversions: characters without another form stay as they are.
std::string sjis_to_fullwidth(std::string_view text);
std::string sjis_to_halfwidth(std::string_view text);

// 'a'..'z' -> 'A'..'Z' (and the reverse), double-byte characters unchanged.
void upper_ascii_sjis(std::string& text);
void lower_ascii_sjis(std::string& text);
// The same plus the double-byte Latin, Greek and Cyrillic letters.
void upper_sjis(std::string& text);
void lower_sjis(std::string& text);
// Case of one double-byte character (lead << 8 | trail); others unchanged.
uint16_t sjis_wide_upper(uint16_t code);
uint16_t sjis_wide_lower(uint16_t code);
