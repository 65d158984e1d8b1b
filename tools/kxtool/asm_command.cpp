// kxtool asm: assembles a script listing into the compiled files of a game,
// either as loose files under FOLDER\kxbin\ or inside one pack (a pack that
// holds kxbin\kxcfg.kbn makes the player's run a release run).
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "core/sjis.h"
#include "format/pack_format.h"
#include "format/script_assembler.h"
#include "pack_commands.h"

int kxtool_asm(const std::vector<std::string>& args) {
  bool sjis_input = false;
  std::vector<std::string> rest;
  for (const std::string& a : args) {
    if (a == "--sjis")
      sjis_input = true;
    else
      rest.push_back(a);
  }
  if (rest.size() != 2) {
    std::cerr << "usage: kxtool asm [--sjis] LISTING OUT.kpf|OUT_FOLDER\n";
    return 2;
  }
  std::ifstream in(rest[0], std::ios::binary);
  if (!in) {
    std::cerr << "kxtool: cannot read " << rest[0] << "\n";
    return 1;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Listings are written in UTF-8 unless --sjis says they already are Shift-JIS.
  if (!sjis_input) text = utf8_to_sjis(text);

  assembler_options options;
  options.code_key = derive_code_file_key();
  assemble_result r = assemble_listing(text, options);
  if (!r.ok) {
    for (const assembler_diagnostic& d : r.errors)
      std::cerr << rest[0] << ":" << d.line << ": " << sjis_to_utf8(d.message) << "\n";
    return 1;
  }
  const std::string& out = rest[1];
  if (out.size() > 4 && out.substr(out.size() - 4) == ".kpf") {
    std::vector<pack_writer_entry> entries;
    for (const assembled_file& f : r.files) {
      pack_writer_entry e;
      e.name = f.name;
      e.data = f.bytes;
      e.compression = pack_zlib;
      entries.push_back(std::move(e));
    }
    return write_pack_file(out, entries);
  }
  for (const assembled_file& f : r.files) {
    std::string relative = f.name;
    for (char& c : relative)
      if (c == '\\') c = '/';
    if (!write_host_file(std::filesystem::path(out) / relative, f.bytes)) {
      std::cerr << "kxtool: cannot write " << relative << "\n";
      return 1;
    }
  }
  return 0;
}
