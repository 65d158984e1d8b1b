// kxtool, the authoring tool: one subcommand per job.
#include <cstdio>
#include <cstring>

int kxtool_kcg(int argc, char** argv);
int kxtool_decode(int argc, char** argv);

namespace {

struct kxtool_command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

const kxtool_command commands[] = {
    {"kcg", kxtool_kcg, "write a picture in the engine image format"},
    {"decode", kxtool_decode, "decode any picture the player reads to PNG"},
};

int usage() {
  std::fprintf(stderr, "usage: kxtool COMMAND [ARGS...]\n");
  for (const auto& c : commands) std::fprintf(stderr, "  %-8s %s\n", c.name, c.summary);
  return 2;
}

}  // namespace

// Each command gets its own argument vector, starting with its name.
int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const auto& c : commands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  return usage();
}
