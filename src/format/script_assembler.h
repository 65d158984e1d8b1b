// The script assembler: a readable listing (one command per line, labels,
// if/elseif/else/end, loops, calls and returns, expressions in the expression
// language) assembled into every compiled file of a game under kxbin\.
// The language is described in docs/listing-language.md.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "format/compiled_files.h"
#include "format/expression_compiler.h"

struct assembled_file {
  std::string name;  // "kxbin\kxcfg.kbn", ...
  std::vector<uint8_t> bytes;
};

struct assembler_diagnostic {
  uint32_t line = 0;  // 1-based listing line
  std::string message;
};

struct assembler_options {
  // The key the code-file sections are scrambled with (the player's own).
  std::array<uint8_t, 4> code_key{};
  // Starting configuration; `config` lines of the listing change it.
  compiled_engine_config config;
};

struct assembled_script {
  uint32_t number = 0;
  std::string source_name;
  compiled_code_file code;
};

struct assemble_result {
  bool ok = false;
  std::vector<assembler_diagnostic> errors;
  std::vector<assembled_file> files;     // every compiled file of the game
  std::vector<assembled_script> scripts; // the code before scrambling, by number
  expression_names variables;            // every name the listing could use
  std::vector<compiled_label_record> labels;  // in listing order
};

// `listing` is Shift-JIS text. On failure `errors` names each bad line and
// `files` is empty.
assemble_result assemble_listing(std::string_view listing, const assembler_options& options);

// The names of the system variables the listing language knows.
const expression_names& listing_system_names();

// The error texts every assembled game carries (ASCII): one for each code the
// player can report, besides the player's built-in texts; `error` lines of a
// listing add or replace texts.
const std::vector<compiled_error_text>& default_listing_error_texts();
