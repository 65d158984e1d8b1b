// Memory hints over madvise: large pages where the kernel offers them on
// request (transparent huge pages in "madvise" or "always" mode).
#pragma once
#include "platform/platform.h"

class PosixMemoryHints final : public MemoryHints {
 public:
  void prefer_large_pages(void* data, size_t size) override;
};
