// A stand-in compiler for the compiler-link tests. The player starts it (as
// system/ZIVer/ZIVer, a link to this program) in the game folder; the mode
// comes from $ZARVIK_FAKE_COMPILER:
//   files      result 1, two compiled files
//   empty      result 1, no files (count 0, size 0)
//   size0      result 1, count 2 but block size 0 (a 16-byte block, no table)
//   damaged    result 1, count 3 but records for one
//   fail       result 0
//   path       result 1, no files, the game path replaced by $ZARVIK_FAKE_PATH
//   exit       ends before it is ready
//   hang       never gets ready
//   hang-after gets ready, then never ends
// It writes what it saw to $ZARVIK_FAKE_REPORT (pid, arguments, working
// folder, version, game path, block modes) before it does anything else.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "format/byte_io.h"
#include "format/compiler_link_format.h"
#include "platform/posix/shared_memory.h"

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string cwd() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) + "/" : std::string();
}

unsigned shm_mode(const std::string& name, const std::string& scope) {
  struct stat st {};
  std::string path = "/dev/shm" + shared_memory_host_name(name, scope);
  return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 0777) : 0u;
}

void forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = env("ZARVIK_FAKE_COMPILER");
  const std::string folder = cwd();
  PosixSharedMemory shared;
  auto block_a = shared.open(compiler_link_block_a_name, folder);
  {
    std::ofstream report(env("ZARVIK_FAKE_REPORT"), std::ios::trunc);
    report << "pid=" << ::getpid() << "\n";
    for (int i = 1; i < argc; ++i) report << "arg=" << argv[i] << "\n";
    report << "cwd=" << folder << "\n";
    if (block_a) {
      report << "size=" << block_a->size() << "\n";
      report << "version=" << get_u32(block_a->data() + link_version_offset) << "\n";
      report << "path=" << read_link_game_path(block_a->data()) << "\n";
      report << "mode_a=" << std::oct << shm_mode(compiler_link_block_a_name, folder) << std::dec << "\n";
    }
  }
  if (!block_a) return 3;
  uint8_t* a = block_a->data();
  if (mode == "exit") return 2;
  if (mode == "hang") forever();

  std::vector<compiler_link_file> files;
  uint32_t count = 0;
  std::vector<uint8_t> records;
  uint8_t result = 1;
  if (mode == "files" || mode == "hang-after") {
    files = {{"kxbin\\a.kbn", {'a', 'l', 'p', 'h', 'a'}}, {"KXBIN\\B.KBN", {'b', 'e', 't', 'a'}}};
  } else if (mode == "size0") {
    count = 2;
  } else if (mode == "damaged") {
    files = {{"kxbin\\a.kbn", {'a'}}};
    count = 3;
  } else if (mode == "fail") {
    result = 0;
  } else if (mode == "path") {
    write_link_game_path(a, env("ZARVIK_FAKE_PATH"));
  }
  records = write_compiler_link_block(files);
  if (!files.empty() && count == 0) count = static_cast<uint32_t>(files.size());
  a[link_result_offset] = result;
  put_u32(a + link_file_count_offset, count);
  put_u32(a + link_block_b_size_offset, static_cast<uint32_t>(records.size()));
  store_link_flag(a, link_ready_offset, 1);
  while (load_link_flag(a, link_ack_offset) != 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!records.empty()) {
    auto block_b = shared.open(compiler_link_block_b_name, folder);
    if (!block_b || block_b->size() < records.size()) return 4;
    std::memcpy(block_b->data(), records.data(), records.size());
    std::ofstream report(env("ZARVIK_FAKE_REPORT"), std::ios::app);
    report << "mode_b=" << std::oct << shm_mode(compiler_link_block_b_name, folder) << std::dec << "\n";
  }
  if (mode == "hang-after") forever();
  return 0;
}
