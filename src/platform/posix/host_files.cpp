#include "platform/posix/host_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

#include "platform/text_encoding.h"

namespace {

bool ascii_iequal(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Splits a Shift-JIS game path at '\' and '/' (never at a trail byte).
std::vector<std::string> split_game_path(std::string_view path) {
  std::vector<std::string> parts;
  std::string cur;
  for (size_t i = 0; i < path.size();) {
    size_t n = sjis_char_length(path, i);
    if (n == 1 && (path[i] == '\\' || path[i] == '/')) {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.append(path.substr(i, n));
    }
    i += n;
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

bool is_absolute_game_path(std::string_view p) { return !p.empty() && p[0] == '/'; }

bool lstat_kind(const std::string& host, struct stat* st) { return ::lstat(host.c_str(), st) == 0; }

// Canonical form of an existing prefix plus the lexical rest.
std::string canonical_for_policy(const std::string& host) {
  std::string path = normalise_host_path(host);
  std::string existing = path;
  std::string rest;
  while (true) {
    char buf[PATH_MAX];
    if (::realpath(existing.c_str(), buf)) {
      std::string out = buf;
      if (!rest.empty()) out += (out.back() == '/' ? "" : "/") + rest;
      return out;
    }
    // A link that leads nowhere yet: a write through it would create its
    // target wherever it points. No place at all (empty) is refused.
    struct stat st;
    if (::lstat(existing.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return {};
    size_t slash = existing.find_last_of('/');
    if (slash == std::string::npos || existing == "/") return path;
    std::string last = existing.substr(slash + 1);
    rest = rest.empty() ? last : last + "/" + rest;
    existing = slash == 0 ? "/" : existing.substr(0, slash);
  }
}

// `target` is the file root itself, or the folder root or lies inside it (a
// save folder not made yet may be made). Scripts' paths come lower-cased, so
// the part of a root not made yet matches in any case (once made, the names on
// disk are matched case-insensitively anyway).
bool under_root(const std::string& target, const std::string& root_path, bool file) {
  const std::string root = file ? root_path : root_path.substr(0, root_path.size() - 1);  // without its '/'
  if (file ? target.size() != root.size() : target.size() < root.size() ||
                                                (target.size() > root.size() && target[root.size()] != '/'))
    return false;
  if (target.compare(0, root.size(), root) == 0) return true;
  size_t made = 0;  // the root's folders that exist: they match exactly
  for (size_t i = 1; i < root.size(); ++i) {
    if (root[i] != '/') continue;
    struct stat st;
    if (::lstat(root.substr(0, i).c_str(), &st) != 0) break;
    made = i + 1;
  }
  return target.compare(0, made, root, 0, made) == 0 &&
         ascii_iequal(target.substr(made, root.size() - made), root.substr(made));
}

bool write_all_fd(int fd, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t w = ::write(fd, p, size);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

class PosixReadFile final : public HostReadFile {
 public:
  PosixReadFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixReadFile() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  bool read_at(uint64_t offset, void* buffer, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    uint8_t* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
      ssize_t r = ::pread(fd_, p, length, static_cast<off_t>(offset));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      p += r;
      offset += static_cast<uint64_t>(r);
      length -= static_cast<size_t>(r);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

}  // namespace

std::string normalise_host_path(const std::string& path) {
  bool absolute = !path.empty() && path[0] == '/';
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part.empty() || part == ".") {
    } else if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);
      }
    } else {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out = absolute ? "/" : "";
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  return out.empty() ? "." : out;
}

PosixHostFiles::PosixHostFiles(std::string game_folder_host) : game_folder_(std::move(game_folder_host)) {
  if (game_folder_.empty()) game_folder_ = "./";
  if (game_folder_.back() != '/') game_folder_ += '/';
  add_write_root(game_folder_);
}

bool PosixHostFiles::set_game_folder_host(const std::string& host_folder) {
  if (host_folder.empty() || host_folder[0] != '/') return false;
  struct stat st;
  if (::stat(host_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  game_folder_ = host_folder;
  if (game_folder_.back() != '/') game_folder_ += '/';
  add_write_root(game_folder_);
  return true;
}

std::string PosixHostFiles::host_path(std::string_view game_path) const {
  std::string out = is_absolute_game_path(game_path) ? "/" : game_folder_;
  bool resolving = true;  // stop matching once a component is missing
  for (const std::string& part_sjis : split_game_path(game_path)) {
    std::string part = sjis_to_utf8(part_sjis);
    if (part == ".") continue;
    if (part == "..") {
      out = normalise_host_path(out + "/..") + "/";
      continue;
    }
    if (out.back() != '/') out += '/';
    struct stat st;
    if (resolving && !lstat_kind(out + part, &st)) {
      std::string match;
      if (DIR* d = ::opendir(out.c_str())) {
        while (dirent* e = ::readdir(d)) {
          if (ascii_iequal(e->d_name, part)) {
            match = e->d_name;
            break;
          }
        }
        ::closedir(d);
      }
      if (match.empty()) {
        resolving = false;
      } else {
        part = match;
      }
    }
    out += part;
  }
  return out;
}

host_entry_kind PosixHostFiles::kind(std::string_view game_path, uint64_t* size) const {
  struct stat st;
  if (::stat(host_path(game_path).c_str(), &st) != 0) return host_entry_kind::missing;
  if (S_ISDIR(st.st_mode)) return host_entry_kind::folder;
  if (size) *size = static_cast<uint64_t>(st.st_size);
  return host_entry_kind::file;
}

bool PosixHostFiles::read_file(std::string_view game_path, std::vector<uint8_t>& out) const {
  auto f = open_read(game_path);
  if (!f) return false;
  out.resize(static_cast<size_t>(f->size()));
  return out.empty() || f->read_at(0, out.data(), out.size());
}

std::unique_ptr<HostReadFile> PosixHostFiles::open_read(std::string_view game_path) const {
  int fd = ::open(host_path(game_path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixReadFile>(fd, static_cast<uint64_t>(st.st_size));
}

std::vector<host_folder_entry> PosixHostFiles::list_folder(std::string_view game_path) const {
  std::vector<host_folder_entry> out;
  std::string dir = host_path(game_path);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (::stat((dir + "/" + e->d_name).c_str(), &st) != 0) continue;
    out.push_back({utf8_to_sjis(e->d_name), S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size)});
  }
  ::closedir(d);
  return out;
}

void PosixHostFiles::add_root(const std::string& host_path, bool file, bool made_on_demand) {
  std::string root = canonical_for_policy(host_path);
  if (root.empty()) return;
  if (!file && root.back() != '/') root += '/';
  for (const write_root& r : write_roots_)
    if (r.path == root && r.file == file) return;
  write_roots_.push_back({root, file, made_on_demand});
}

void PosixHostFiles::add_write_root(const std::string& host_folder) { add_root(host_folder, false, false); }

void PosixHostFiles::add_write_file(const std::string& host_file) { add_root(host_file, true, true); }

void PosixHostFiles::add_own_folder(own_folder which, const std::string& host_folder) {
  if (host_folder.empty() || host_folder[0] != '/') return;
  const std::string folder = normalise_host_path(host_folder) + "/";
  // The temporary folder may sit in a folder every user writes to: it is
  // made now, and taken only when it is a real folder of this user's own.
  if (which == own_folder::temp && !make_private_folder(folder)) return;
  add_root(folder, false, which != own_folder::temp);
  own_folders_[static_cast<int>(which)] = folder;
}

std::string PosixHostFiles::own_folder_host(own_folder which) const { return own_folders_[static_cast<int>(which)]; }

std::string PosixHostFiles::allowed_target(std::string_view game_path) const {
  std::string target = canonical_for_policy(host_path(game_path));
  if (target.empty()) return {};
  for (const write_root& root : write_roots_)
    if (under_root(target, root.path, root.file)) return target;
  return {};
}

bool PosixHostFiles::write_allowed(std::string_view game_path) const { return !allowed_target(game_path).empty(); }

bool PosixHostFiles::in_game_folder(std::string_view game_path) const {
  std::string target = canonical_for_policy(host_path(game_path));
  std::string root = canonical_for_policy(game_folder_);
  if (root.empty() || target.empty()) return false;
  if (root.back() != '/') root += '/';
  return target.size() > root.size() && target.compare(0, root.size(), root) == 0;
}

void PosixHostFiles::make_own_root_for(const std::string& target) const {
  for (const write_root& root : write_roots_) {
    if (!root.made_on_demand) continue;
    if (!under_root(target, root.path, root.file)) continue;
    const std::string folder = root.file ? root.path.substr(0, root.path.find_last_of('/') + 1) : root.path;
    for (size_t i = 1; i < folder.size(); ++i) {
      if (folder[i] != '/') continue;
      // Parents the user already has keep their modes; what is new is private.
      if (::mkdir(folder.substr(0, i).c_str(), 0700) != 0 && errno != EEXIST) return;
    }
  }
}

namespace {

// The file holds what a script wrote: no execute bit survives it.
void drop_execute_bits(int fd) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && (st.st_mode & 0111)) ::fchmod(fd, st.st_mode & 0666);
}

int open_for_writing(const std::string& host, int flags) {
  int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, new_file_mode());
  if (fd >= 0) drop_execute_bits(fd);
  return fd;
}

}  // namespace

bool PosixHostFiles::write_file(std::string_view game_path, const void* data, size_t size) {
  const std::string target = allowed_target(game_path);
  if (target.empty()) return false;
  make_own_root_for(target);
  int fd = open_for_writing(host_path(game_path), O_TRUNC);
  if (fd < 0) return false;
  bool ok = write_all_fd(fd, data, size);
  return ::close(fd) == 0 && ok;
}

bool PosixHostFiles::append_file(std::string_view game_path, const void* data, size_t size) {
  const std::string target = allowed_target(game_path);
  if (target.empty()) return false;
  make_own_root_for(target);
  int fd = open_for_writing(host_path(game_path), O_APPEND);
  if (fd < 0) return false;
  bool ok = write_all_fd(fd, data, size);
  return ::close(fd) == 0 && ok;
}

namespace {

// A write killed between its temporary file and the rename leaves
// "NAME.tmpXXXXXX" beside the intact file. The next write of NAME removes such
// leftovers of NAME, and only those: names mkstemp makes from this pattern.
void remove_stale_temporaries(const std::string& target) {
  const size_t slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const std::string stem = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp";
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() != stem.size() + 6 || name.compare(0, stem.size(), stem) != 0) continue;
    bool generated = true;
    for (size_t i = stem.size(); i < name.size(); ++i)
      generated = generated && std::isalnum(static_cast<unsigned char>(name[i]));
    if (!generated) continue;
    struct stat st;
    const std::string path = folder + (folder == "." ? "/" : "") + name;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
  }
  ::closedir(dir);
}

}  // namespace

bool PosixHostFiles::replace_file(std::string_view game_path, const void* data, size_t size) {
  const std::string allowed = allowed_target(game_path);
  if (allowed.empty()) return false;
  make_own_root_for(allowed);
  std::string target = host_path(game_path);
  remove_stale_temporaries(target);
  std::string temp = target + ".tmpXXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  ::fchmod(fd, new_file_mode());
  bool ok = write_all_fd(fd, data, size) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  std::string dir = target.substr(0, target.find_last_of('/') + 1);
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool PosixHostFiles::remove_file(std::string_view game_path) {
  if (!write_allowed(game_path)) return false;
  return ::unlink(host_path(game_path).c_str()) == 0;
}

bool PosixHostFiles::rename(std::string_view from_game_path, std::string_view to_game_path) {
  if (!write_allowed(from_game_path) || !write_allowed(to_game_path)) return false;
  return ::rename(host_path(from_game_path).c_str(), host_path(to_game_path).c_str()) == 0;
}

bool PosixHostFiles::make_folder(std::string_view game_path) {
  const std::string allowed = allowed_target(game_path);
  if (allowed.empty()) return false;
  make_own_root_for(allowed);
  std::string path = normalise_host_path(host_path(game_path));
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string prefix = path.substr(0, i);
      if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixHostFiles::remove_folder(std::string_view game_path) {
  if (!write_allowed(game_path)) return false;
  return ::rmdir(host_path(game_path).c_str()) == 0;
}

bool PosixHostFiles::script_path(std::string_view path, std::string& game_path) const {
  game_path.clear();
  // "C:" and "\\server": places of another system, never this disk.
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
    return false;
  auto separator = [&](size_t i) { return i < path.size() && (path[i] == '\\' || path[i] == '/'); };
  if (separator(0) && separator(1)) return false;
  std::string p(path);
  for (size_t i = 0; i < p.size(); i += sjis_char_length(p, i))
    if (p[i] == '\\') p[i] = '/';  // never a trail byte
  if (separator(0)) {
    game_path = p;
  } else if (script_folder_.empty()) {
    game_path = p;
  } else {
    game_path = utf8_to_sjis(script_folder_) + p;
  }
  return true;
}

bool PosixHostFiles::set_script_folder(std::string_view path) {
  std::string game_path;
  if (!script_path(path, game_path)) return false;
  std::string host = host_path(game_path);
  struct stat st;
  if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  std::string folder = normalise_host_path(host);
  if (folder[0] != '/') {
    // Kept absolute: a relative one would be read against the game folder again.
    char buf[PATH_MAX];
    if (!::realpath(folder.c_str(), buf)) return false;
    folder = buf;
  }
  if (folder.back() != '/') folder += '/';
  script_folder_ = folder;
  return true;
}

std::string PosixHostFiles::script_folder() const {
  return utf8_to_sjis(script_folder_.empty() ? game_folder_ : script_folder_);
}

bool PosixHostFiles::copy_file(std::string_view from_game_path, std::string_view to_game_path) {
  const std::string allowed = allowed_target(to_game_path);
  if (allowed.empty()) return false;
  int in = ::open(host_path(from_game_path).c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return false;
  }
  make_own_root_for(allowed);
  std::string target = host_path(to_game_path);
  std::string temp = target + ".tmpXXXXXX";
  int out = ::mkstemp(temp.data());
  if (out < 0) {
    ::close(in);
    return false;
  }
  // A copy is data, whatever its source was: a copied program cannot run.
  ::fchmod(out, new_file_mode());
  std::vector<uint8_t> buf(1 << 20);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!write_all_fd(out, buf.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  ::close(in);
  ok = ok && ::fsync(out) == 0;
  ok = (::close(out) == 0) && ok;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool PosixHostFiles::free_space(std::string_view game_path, uint64_t* bytes) const {
  // A path that does not exist yet asks about the file system that would hold it.
  std::string path = normalise_host_path(host_path(game_path));
  struct statvfs vfs;
  while (::statvfs(path.c_str(), &vfs) != 0) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
      path = ".";
    } else if (slash == 0) {
      if (path == "/") return false;
      path = "/";
    } else {
      path.resize(slash);
    }
    if (path == "." && ::statvfs(".", &vfs) != 0) return false;
    if (path == ".") break;
  }
  if (bytes) *bytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
  return true;
}

bool PosixHostFiles::is_executable(std::string_view game_path) const {
  std::string host = host_path(game_path);
  struct stat st;
  return ::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(host.c_str(), X_OK) == 0;
}

unsigned new_file_mode() {
  // The umask as the kernel reports it: reading it with umask() would change
  // it for a moment under the other threads.
  static const unsigned mode = [] {
    unsigned mask = 022;
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
      if (key == "Umask:") {
        in >> std::oct >> mask;
        break;
      }
      in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0644u & ~mask;
  }();
  return mode;
}

bool make_private_folder(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
  return (st.st_mode & 0777) == 0700 || ::chmod(path.c_str(), 0700) == 0;
}

void set_own_folders(HostFiles& files, const Process& process) {
  const std::string tag = game_folder_tag(files.game_folder_host());
  files.add_write_file(game_registry_file_host(process.user_config_folder_host(), files.game_folder_host()));
  files.add_own_folder(own_folder::data, process.user_data_folder_host() + "zarvik/" + tag + "/");
  files.add_own_folder(own_folder::documents, process.documents_folder_host() + "zarvik/" + tag + "/");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st;
  if (runtime && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::getuid() && ::access(runtime, W_OK | X_OK) == 0) {
    files.add_own_folder(own_folder::temp, std::string(runtime) + "/zarvik-" + tag + "/");
  } else {
    files.add_own_folder(own_folder::temp,
                         process.temp_folder_host() + "zarvik-" + std::to_string(::getuid()) + "-" + tag + "/");
  }
}
