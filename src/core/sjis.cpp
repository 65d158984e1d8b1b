#include "core/sjis.h"

void lower_path_sjis(std::string& s) { lowercase_sjis(s); }

void lower_path_sjis(char* s) {
  for (size_t i = 0; s[i] != 0;) {
    if (is_sjis_lead(static_cast<uint8_t>(s[i])) && s[i + 1] != 0) {
      i += 2;
      continue;
    }
    if (s[i] >= 'A' && s[i] <= 'Z') s[i] = static_cast<char>(s[i] + ('a' - 'A'));
    ++i;
  }
}

void replace_sjis_char(std::string& s, char from, char to) {
  for (size_t i = 0; i < s.size();) {
    size_t n = sjis_char_length(s, i);
    if (n == 1 && s[i] == from) s[i] = to;
    i += n;
  }
}
