#include "platform/posix/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/name_hash.h"

namespace {

class PosixSharedBlock final : public SharedMemoryBlock {
 public:
  PosixSharedBlock(void* base, size_t size, std::string remove_name)
      : base_(base), size_(size), remove_name_(std::move(remove_name)) {}
  ~PosixSharedBlock() override {
    ::munmap(base_, size_);
    if (!remove_name_.empty()) ::shm_unlink(remove_name_.c_str());
  }
  PosixSharedBlock(const PosixSharedBlock&) = delete;
  PosixSharedBlock& operator=(const PosixSharedBlock&) = delete;
  uint8_t* data() override { return static_cast<uint8_t*>(base_); }
  size_t size() const override { return size_; }

 private:
  void* base_;
  size_t size_;
  std::string remove_name_;  // set for the creator
};

std::unique_ptr<SharedMemoryBlock> map_whole(int fd, size_t size, const std::string& remove_name) {
  // mmap refuses a length of 0; such a block is never asked for, but a
  // hostile size of 0 must not map anything.
  if (size == 0) return nullptr;
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return nullptr;
  return std::make_unique<PosixSharedBlock>(base, size, remove_name);
}

}  // namespace

std::string shared_memory_host_name(const std::string& name, const std::string& scope_folder_host) {
  std::string scope = scope_folder_host.empty() ? std::string(".") : scope_folder_host;
  if (char* real = ::realpath(scope.c_str(), nullptr)) {
    scope = real;
    std::free(real);
  }
  while (scope.size() > 1 && scope.back() == '/') scope.pop_back();
  char tail[64];
  std::snprintf(tail, sizeof tail, ".%u.%016llx", static_cast<unsigned>(::getuid()),
                static_cast<unsigned long long>(host_name_hash(scope)));
  return "/" + name + tail;
}

std::unique_ptr<SharedMemoryBlock> PosixSharedMemory::create(const std::string& name,
                                                             const std::string& scope_folder_host, size_t size) {
  if (size == 0) return nullptr;
  const std::string host = shared_memory_host_name(name, scope_folder_host);
  int fd = ::shm_open(host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Left by a run of ours that ended abruptly; a block of another user
    // cannot be removed (the folder is sticky) and creation then fails.
    ::shm_unlink(host.c_str());
    fd = ::shm_open(host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }
  if (fd < 0) return nullptr;
  // The umask may have taken bits away, never added any; make sure anyway.
  ::fchmod(fd, 0600);
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    ::close(fd);
    ::shm_unlink(host.c_str());
    return nullptr;
  }
  std::unique_ptr<SharedMemoryBlock> block = map_whole(fd, size, host);
  ::close(fd);
  if (!block) ::shm_unlink(host.c_str());
  return block;
}

std::unique_ptr<SharedMemoryBlock> PosixSharedMemory::open(const std::string& name,
                                                           const std::string& scope_folder_host) {
  const std::string host = shared_memory_host_name(name, scope_folder_host);
  int fd = ::shm_open(host.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct stat st {};
  // Only a block of our own that nobody else may open: anything else could
  // be another user's bait.
  if (::fstat(fd, &st) != 0 || st.st_uid != ::getuid() || (st.st_mode & 077) != 0 || st.st_size <= 0) {
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<SharedMemoryBlock> block = map_whole(fd, static_cast<size_t>(st.st_size), "");
  ::close(fd);
  return block;
}
