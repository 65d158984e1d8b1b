// kxtool: the authoring tool. Packs folders into .kpf archives, lists and
// extracts them, writes the canonical command file kxbin\kxc.kbn and assembles
// script listings into a game's compiled files.
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "format/canonical_commands.h"
#include "pack_commands.h"

int kxtool_commands(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::cerr << "usage: kxtool commands OUT.kbn\n";
    return 2;
  }
  std::vector<uint8_t> bytes = write_command_file(canonical_command_file());
  std::ofstream f(args[0], std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) {
    std::cerr << "kxtool: cannot write " << args[0] << "\n";
    return 1;
  }
  return 0;
}

namespace {

void usage() {
  std::cerr << "usage: kxtool COMMAND ...\n"
               "  pack [--store|--zlib|--auto] [--no-repair] FOLDER OUT.kpf\n"
               "  list PACK.kpf\n"
               "  extract PACK.kpf FOLDER\n"
               "  commands OUT.kbn        write the canonical command file (kxc.kbn)\n"
               "  asm [--sjis] LISTING OUT.kpf|FOLDER\n"
               "                          assemble a script listing into a game's compiled files\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage();
    return 2;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "pack") return kxtool_pack(args);
  if (command == "list") return kxtool_list(args);
  if (command == "extract") return kxtool_extract(args);
  if (command == "commands") return kxtool_commands(args);
  if (command == "asm") return kxtool_asm(args);
  usage();
  return 2;
}
