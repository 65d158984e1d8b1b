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

namespace {

bool write_bytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

}  // namespace

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
    std::vector<uint8_t> bytes;
    std::string error;
    if (!build_pack(entries, bytes, &error)) {
      std::cerr << "kxtool: " << error << "\n";
      return 1;
    }
    if (!write_bytes(out, bytes)) {
      std::cerr << "kxtool: cannot write " << out << "\n";
      return 1;
    }
    return 0;
  }
  for (const assembled_file& f : r.files) {
    std::string relative = f.name;
    for (char& c : relative)
      if (c == '\\') c = '/';
    if (!write_bytes(std::filesystem::path(out) / relative, f.bytes)) {
      std::cerr << "kxtool: cannot write " << relative << "\n";
      return 1;
    }
  }
  return 0;
}
