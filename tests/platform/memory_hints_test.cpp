#include "platform/posix/memory_hints.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The VmFlags of the mapping that starts at `start`, or "" when none does.
std::string flags_of_mapping_at(uintptr_t start) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool in_mapping = false;
  while (std::getline(smaps, line)) {
    uintptr_t from = 0, to = 0;
    char dash = 0;
    std::istringstream range(line);
    if (range >> std::hex >> from >> dash >> to && dash == '-') in_mapping = from == start;
    else if (in_mapping && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

}  // namespace

TEST(PosixMemoryHints, OnlyWholePagesInsideTheBlockAreAdvised) {
  // Room for a block starting on a large-page boundary, with pages either side.
  const size_t room = large_page_size * 4;
  void* map = ::mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  const uintptr_t base = (reinterpret_cast<uintptr_t>(map) + large_page_size - 1) & ~(large_page_size - 1);
  PosixMemoryHints hints;
  // A block inside one page asks nothing; a block from mid-page on is advised
  // from its first whole page to its last.
  hints.prefer_large_pages(reinterpret_cast<void*>(base + 8), 100);
  EXPECT_EQ(flags_of_mapping_at(base + 4096), "");
  hints.prefer_large_pages(reinterpret_cast<void*>(base + 8), large_page_size + 4096);
  const std::string flags = flags_of_mapping_at(base + 4096);
  if (flags.find(" hg") == std::string::npos) {
    // A kernel without large pages refuses the advice and leaves the mapping whole.
    EXPECT_EQ(flags, "");
  } else {
    EXPECT_NE(flags_of_mapping_at(base + 4096 + large_page_size), "");  // the pages behind the block are apart
  }
  ::munmap(map, room);
}
