// The comma-separated text scanner of the text-lines command (7) and the field
// counter of command 8, with their quirks: they differ on purpose (see each).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Fields of `bytes` followed by "\r\n": a comma outside both kinds of quotes
// ends a field; a line end ends the last field of a line that had a comma,
// and an empty line gives one empty field; a line of text without a comma
// gives nothing. Quotes stay in the fields; blanks before a field's text are
// skipped; the single-quote state carries over line ends. Fields are kept
// whole, however long.
std::vector<std::string> scan_text_fields(const uint8_t* bytes, size_t size);

// Counts fields of `bytes` alone: each comma outside quotes and each line end
// of a line that is not empty; the last field of a final line without a line
// end is not counted. An empty text counts 0.
int64_t count_csv_fields(const uint8_t* bytes, size_t size);
