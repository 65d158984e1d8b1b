#include "system/csv_text.h"

#include "core/sjis.h"

namespace {

// Length of the line end at i (CR LF, lone CR or lone LF), 0 when none.
size_t line_end_at(const uint8_t* b, size_t size, size_t i) {
  if (b[i] == '\r') return (i + 1 < size && b[i + 1] == '\n') ? 2 : 1;
  return b[i] == '\n' ? 1 : 0;
}

}  // namespace

std::vector<std::string> scan_text_fields(const uint8_t* bytes, size_t size) {
  std::vector<uint8_t> text(bytes, bytes + size);
  text.push_back('\r');
  text.push_back('\n');
  const uint8_t* b = text.data();
  const size_t n = text.size();
  std::vector<std::string> fields;
  size_t start = 0;
  bool in_double = false, in_single = false, text_seen = false, line_empty = true, comma_seen = false;
  auto field = [&](size_t end) { fields.emplace_back(reinterpret_cast<const char*>(b) + start, end - start); };
  for (size_t i = 0; i < n;) {
    const uint8_t c = b[i];
    if (c == ',' && !in_double && !in_single) {
      field(i);
      start = i + 1;
      comma_seen = true;
      text_seen = false;
      line_empty = false;
      i += 1;
    } else if (size_t le = line_end_at(b, n, i)) {
      if (comma_seen)
        field(i);
      else if (line_empty)
        fields.emplace_back();
      i += le;
      start = i;
      in_double = text_seen = comma_seen = false;
      line_empty = true;
    } else if (c == '"') {
      in_double = !in_double;
      i += 1;
    } else if (c == '\'') {
      in_single = !in_single;
      i += 1;
    } else if ((c == ' ' || c == '\t') && !text_seen) {
      i += 1;
      start = i;
    } else {
      text_seen = true;
      line_empty = false;
      // A lead byte takes its trail byte with it (a trail 0x5C is no
      // separator); a lead byte at the very end stands alone.
      i += (is_sjis_lead(c) && i + 1 < n) ? 2 : 1;
    }
  }
  return fields;
}

int64_t count_csv_fields(const uint8_t* b, size_t n) {
  int64_t count = 0;
  bool in_double = false, in_single = false, line_empty = true;
  for (size_t i = 0; i < n;) {
    const uint8_t c = b[i];
    if (c == ',' && !in_double && !in_single) {
      ++count;
      in_single = false;
      line_empty = false;
      i += 1;
    } else if (size_t le = line_end_at(b, n, i)) {
      if (!line_empty) ++count;
      in_double = false;
      line_empty = true;
      i += le;
    } else if (c == '"') {
      in_double = !in_double;
      i += 1;
    } else if (c == '\'') {
      in_single = !in_single;
      i += 1;
    } else if ((c == ' ' || c == '\t') && line_empty) {
      i += 1;
    } else {
      line_empty = false;
      i += (is_sjis_lead(c) && i + 1 < n) ? 2 : 1;
    }
  }
  return count;
}
