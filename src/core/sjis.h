// Shift-JIS (code page 932) helpers. Engine strings are Shift-JIS byte strings;
// conversion to UTF-8 happens only at the platform boundary (text_encoding).
#pragma once
#include <string>

#include "platform/text_encoding.h"

// In-place lower-casing of 'A'..'Z' that steps over double-byte characters, so a
// trail byte in 0x41..0x5A is never touched.
void lower_path_sjis(std::string& s);
void lower_path_sjis(char* s);

// Replaces every single-byte `from` (never a trail byte) by `to`.
void replace_sjis_char(std::string& s, char from, char to);
