// kxtool, the authoring tool: one subcommand per job.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "format/canonical_commands.h"
#include "pack_commands.h"

int kxtool_kcg(int argc, char** argv);
int kxtool_decode(int argc, char** argv);
int kxtool_imageset(int argc, char** argv);
int kxtool_run(const std::vector<std::string>& args);
int kxtool_pictures(const std::vector<std::string>& args);
int kxtool_sounds(const std::vector<std::string>& args);
int kxtool_compile_link(const std::vector<std::string>& args);
bool started_as_compiler(const char* argv0);
int kxtool_as_compiler();

// Writes the canonical command file kxbin\kxc.kbn.
int kxtool_commands(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: kxtool commands OUT.kbn\n");
    return 2;
  }
  std::vector<uint8_t> bytes = write_command_file(canonical_command_file());
  std::ofstream f(args[0], std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) {
    std::fprintf(stderr, "kxtool: cannot write %s\n", args[0].c_str());
    return 1;
  }
  return 0;
}

namespace {

struct kxtool_command {
  const char* name;
  int (*run_argv)(int argc, char** argv);                 // argv[0] is the command's name
  int (*run_args)(const std::vector<std::string>& args);  // arguments after the name
  const char* summary;
};

const kxtool_command commands[] = {
    {"pack", nullptr, kxtool_pack, "[--store|--zlib|--auto] [--no-repair] FOLDER OUT.kpf"},
    {"list", nullptr, kxtool_list, "PACK.kpf"},
    {"extract", nullptr, kxtool_extract, "PACK.kpf FOLDER"},
    {"commands", nullptr, kxtool_commands, "OUT.kbn   write the canonical command file (kxc.kbn)"},
    {"asm", nullptr, kxtool_asm, "[--sjis] LISTING OUT.kpf|FOLDER   assemble a script listing into a game"},
    {"kcg", kxtool_kcg, nullptr, "write a picture in the engine image format"},
    {"decode", kxtool_decode, nullptr, "decode any picture the player reads to PNG"},
    {"imageset", kxtool_imageset, nullptr, "[--mode N] [--quality Q] [--values A,B,C] OUT IN...   write an image set"},
    {"run", nullptr, kxtool_run, "GAME_FOLDER|PACK.kpf --frames N --out DIR [--every K] [--audio OUT.wav] [--gpu NAME]   run headless, write frames and sound"},
    {"compile-link", nullptr, kxtool_compile_link, "[GAME_FOLDER]   the compiler's side of a development run (also when started as system/ZIVer/ZIVer)"},
    {"pictures", nullptr, kxtool_pictures, "FOLDER   write the demo game's generated pictures (PNG)"},
    {"sounds", nullptr, kxtool_sounds, "FOLDER   write the demo game's generated sounds (WAV)"},
};

int usage() {
  std::fprintf(stderr, "usage: kxtool COMMAND [ARGS...]\n");
  for (const auto& c : commands) std::fprintf(stderr, "  %-8s %s\n", c.name, c.summary);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Placed where the player looks for its compiler, kxtool is that compiler.
  if (argc > 0 && started_as_compiler(argv[0])) return kxtool_as_compiler();
  if (argc < 2) return usage();
  for (const auto& c : commands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    if (c.run_argv) return c.run_argv(argc - 1, argv + 1);
    return c.run_args(std::vector<std::string>(argv + 2, argv + argc));
  }
  return usage();
}
