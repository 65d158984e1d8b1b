// Named shared memory over shm_open and mmap. Names carry the user id and a
// hash of the scope folder's canonical path, so the player and the compiler it
// starts (in the game folder) meet, while other games and other users do not.
#pragma once
#include <string>

#include "platform/platform.h"

class PosixSharedMemory final : public SharedMemory {
 public:
  std::unique_ptr<SharedMemoryBlock> create(const std::string& name, const std::string& scope_folder_host,
                                            size_t size) override;
  std::unique_ptr<SharedMemoryBlock> open(const std::string& name, const std::string& scope_folder_host) override;
};

// The host name of a block: "/NAME.UID.HASH", the hash taken over the
// canonical path of the scope folder (links resolved, so a folder reached
// through a link names the same blocks).
std::string shared_memory_host_name(const std::string& name, const std::string& scope_folder_host);
