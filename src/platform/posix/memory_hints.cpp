#include "platform/posix/memory_hints.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

void PosixMemoryHints::prefer_large_pages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  // madvise takes whole pages: only those lying inside the block are advised,
  // so memory beside it is never touched.
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
  // Refused advice (a kernel without them) leaves ordinary pages.
  if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}
