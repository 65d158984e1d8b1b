// The field scanner of command 7 and the counter of command 8, with their
// differing quirks, on the texts scripts feed them (and some they should not).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/csv_text.h"
#include "system/text_commands.h"

namespace {

std::vector<std::string> fields(const std::string& s) {
  return scan_text_fields(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
int64_t count(const std::string& s) { return count_csv_fields(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

using list = std::vector<std::string>;

}  // namespace

// The scanner reads the text with "\r\n" appended: a text that ends in a line
// end gets one more, empty, line and so an empty last field.
TEST(CsvText, FieldsAndCountsOfTypicalAndOddTexts) {
  struct row {
    const char* name;
    std::string text;
    list expected_fields;
    int64_t expected_count;
  };
  const std::string sjis_5c = "\x95\x5c";  // a character whose trail byte is '\'
  const std::vector<row> rows = {
      {"two words", "a,b\r\n", {"a", "b", ""}, 2},
      {"blank after comma skipped", "x, y\r\n", {"x", "y", ""}, 2},
      {"quoted comma kept with quotes", "\"a,b\",c\r\n", {"\"a,b\"", "c", ""}, 2},
      {"three lines", "a,b\r\n\r\nc", {"a", "b", ""}, 2},
      {"text without comma stores nothing", "hello\r\n", {""}, 1},
      {"empty text", "", {""}, 0},
      {"blank lines", "\r\n\n\r", {"", "", "", ""}, 0},
      {"lone LF and CR end lines", "a,b\nc,d\re,f", {"a", "b", "c", "d", "e", "f"}, 5},
      {"unclosed double quote ends at the line", "\"a,b\nc,d\r\n", {"c", "d", ""}, 3},
      {"single quote carries over lines", "'a\nb,c\r\nd',e\r\n", {"d'", "e", ""}, 4},
      {"trail byte 0x5C is no separator", sjis_5c + "," + sjis_5c + "\r\n", {sjis_5c, sjis_5c, ""}, 2},
      {"trailing comma gives an empty last field", "a,\r\n", {"a", "", ""}, 2},
      {"tabs before text skipped", "\t\ta,\tb\r\n", {"a", "b", ""}, 2},
      {"blank inside a quote drops the quote", "\" q\",z\r\n", {"q\"", "z", ""}, 2},
      {"lead byte at the end takes the appended CR", "a,b\x81", {"a", "b\x81\r"}, 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(fields(r.text), r.expected_fields);
    EXPECT_EQ(count(r.text), r.expected_count);
  }
}

TEST(CsvText, LongFieldsAreKeptWhole) {
  const std::string big(5000, 'x');
  EXPECT_EQ(fields(big + "," + big + "\r\n"), (list{big, big, ""}));
  EXPECT_EQ(count(big + "," + big + "\r\n"), 2);
  // A million commas: no recursion, no quadratic copying.
  std::string many(1000000, ',');
  EXPECT_EQ(fields(many).size(), 1000001u);
}

TEST(CsvText, ClipboardTextForScripts) {
  struct row {
    const char* name;
    std::string in, out;
  };
  std::string long_text(2000, 'a');
  long_text[10] = '\r';
  long_text[11] = '\n';
  std::string lead_at_end(1023, 'b');
  lead_at_end += "\x82\xa0";  // a character across the 1024-byte window
  const std::vector<row> rows = {
      {"first 1024 bytes less control bytes", long_text, std::string(1022, 'a')},
      {"tab and line ends dropped", "a\tb\r\nc", "abc"},
      {"double-byte characters whole", "\x82\xa0\x82\xa2", "\x82\xa0\x82\xa2"},
      {"a lead byte at byte 1024 is dropped with its trail", lead_at_end, std::string(1023, 'b')},
      {"empty", "", ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(clipboard_text_for_script(r.in), r.out);
  }
}
