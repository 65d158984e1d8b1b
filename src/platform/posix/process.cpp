#include "platform/posix/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/posix/name_hash.h"
#include "platform/text_encoding.h"
#include "platform/posix/host_files.h"

extern char** environ;

namespace {

const char raise_word[] = "raise\n";

std::string with_slash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

bool is_absolute_folder(const char* p) {
  if (!p || p[0] != '/') return false;
  struct stat st {};
  return ::stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string current_folder() {
  std::vector<char> buf(4096);
  while (!::getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string self_exe() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool fill_socket_address(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Asks the running copy to come to the front. It may still be between taking
// the lock and listening, so a refused connection is retried for a while.
void send_raise_request(const std::string& socket_path) {
  sockaddr_un addr{};
  if (!fill_socket_address(socket_path, addr)) return;
  for (int attempt = 0; attempt < 40; ++attempt) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      ssize_t ignored = ::send(fd, raise_word, sizeof raise_word - 1, MSG_NOSIGNAL);
      (void)ignored;
      ::close(fd);
      return;
    }
    int err = errno;
    ::close(fd);
    if (err != ENOENT && err != ECONNREFUSED && err != EAGAIN) return;
    timespec ts{0, 50 * 1000000L};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace

std::string resolve_program_path(const std::string& argv0, const std::string& cwd, const char* path_env) {
  if (argv0.empty()) return {};
  if (argv0.find('/') != std::string::npos) {
    return normalise_host_path(argv0[0] == '/' ? argv0 : with_slash(cwd) + argv0);
  }
  // Started by name: the first executable of that name on PATH, as execvp
  // would have found it. An empty PATH entry means the working directory.
  std::string path = path_env ? path_env : "/usr/local/bin:/usr/bin:/bin";
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find(':', i);
    if (j == std::string::npos) j = path.size();
    std::string dir = path.substr(i, j - i);
    if (dir.empty()) dir = cwd;
    if (dir[0] != '/') dir = with_slash(cwd) + dir;
    std::string candidate = with_slash(dir) + argv0;
    if (is_executable_file(candidate)) return normalise_host_path(candidate);
    i = j + 1;
  }
  return {};
}

std::string home_folder_host() {
  const char* home = std::getenv("HOME");
  std::string out;
  if (home && home[0] == '/') {
    out = home;
  } else {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
      out = found->pw_dir;
    else
      out = "/tmp";
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string instance_folder_host() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (is_absolute_folder(runtime) && ::access(runtime, W_OK | X_OK) == 0) return with_slash(runtime);
  return "/tmp/";
}

std::string instance_file_stem(const std::string& instance_name) {
  // 64 bits, so distinct game paths do not share a lock by accident; the uid
  // keeps users apart when the folder is /tmp.
  const uint64_t h = host_name_hash(instance_name);
  char buf[64];
  std::snprintf(buf, sizeof buf, "zarvik-%u-%016llx", static_cast<unsigned>(::getuid()),
                static_cast<unsigned long long>(h));
  return buf;
}

std::string documents_folder_from_user_dirs(const std::string& home, const std::string& user_dirs_text) {
  std::istringstream in(user_dirs_text);
  std::string line;
  std::string found;
  while (std::getline(in, line)) {
    size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos || line[p] == '#') continue;
    const std::string key = "XDG_DOCUMENTS_DIR";
    if (line.compare(p, key.size(), key) != 0) continue;
    p = line.find_first_not_of(" \t", p + key.size());
    if (p == std::string::npos || line[p] != '=') continue;
    p = line.find('"', p);
    if (p == std::string::npos) continue;
    std::string value;
    bool closed = false;
    for (size_t i = p + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        value += line[++i];
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        value += line[i];
      }
    }
    if (!closed) continue;
    if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/'))
      value = home + value.substr(5);
    else if (value.empty() || value[0] != '/')
      continue;  // only "$HOME/..." and absolute paths are valid entries
    found = value;
  }
  // An entry equal to the home folder means the user disabled it.
  if (found.empty() || normalise_host_path(found) == normalise_host_path(home)) return home + "/Documents/";
  return with_slash(normalise_host_path(found));
}

PosixProcess::PosixProcess(int argc, char** argv) {
  std::string argv0 = (argc > 0 && argv && argv[0]) ? argv[0] : "";
  program_path_ = resolve_program_path(argv0, current_folder(), std::getenv("PATH"));
  if (program_path_.empty()) program_path_ = self_exe();
  for (int i = 1; i < argc; ++i) arguments_.push_back(utf8_to_sjis(argv[i] ? argv[i] : ""));
}

PosixProcess::~PosixProcess() { release_single_instance(); }

int PosixProcess::claim_single_instance(const std::string& instance_name) {
  if (lock_fd_ >= 0) return 0;
  std::string stem = instance_folder_host() + instance_file_stem(instance_name);
  std::string lock_path = stem + ".lock";
  std::string socket_path = stem + ".sock";

  // Close-on-exec: a program started later (an editor, the restarted player)
  // must not inherit the lock.
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    ::close(fd);
    if (err != EWOULDBLOCK) return -1;
    send_raise_request(socket_path);
    return 1;
  }
  lock_fd_ = fd;

  // We hold the lock, so a socket file left there is stale.
  sockaddr_un addr{};
  if (!fill_socket_address(socket_path, addr)) return 0;  // the lock alone still works
  ::unlink(socket_path.c_str());
  int lfd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) return 0;
  if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(lfd, 8) != 0 ||
      ::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    ::close(lfd);
    ::unlink(socket_path.c_str());
    return 0;
  }
  listen_fd_ = lfd;
  socket_path_ = socket_path;
  listener_ = std::thread([this] { listen_loop(); });
  return 0;
}

void PosixProcess::listen_loop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    // A client that connects and says nothing must not stall the listener.
    pollfd cfd{c, POLLIN, 0};
    char buf[16] = {};
    ssize_t n = 0;
    if (::poll(&cfd, 1, 1000) > 0) n = ::recv(c, buf, sizeof buf - 1, 0);
    ::close(c);
    if (n >= 5 && std::memcmp(buf, raise_word, 5) == 0) {
      raise_requests_.fetch_add(1);
      std::lock_guard<std::mutex> g(listener_mutex_);
      if (raise_listener_) raise_listener_();
    }
  }
}

void PosixProcess::release_single_instance() {
  if (listener_.joinable()) {
    char b = 1;
    ssize_t ignored = ::write(stop_pipe_[1], &b, 1);
    (void)ignored;
    listener_.join();
  }
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    ::unlink(socket_path_.c_str());  // still ours: the lock is held until below
  }
  for (int& p : stop_pipe_) {
    if (p >= 0) ::close(p);
    p = -1;
  }
  if (lock_fd_ >= 0) {
    // The lock file stays: removing it would let a late opener lock a
    // different inode than the next claimant.
    ::flock(lock_fd_, LOCK_UN);
    ::close(lock_fd_);
    lock_fd_ = -1;
  }
}

bool PosixProcess::take_raise_request() {
  int n = raise_requests_.load();
  while (n > 0) {
    if (raise_requests_.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

void PosixProcess::set_raise_listener(std::function<void()> listener) {
  std::lock_guard<std::mutex> g(listener_mutex_);
  raise_listener_ = std::move(listener);
}

namespace {

void reap_in_background(pid_t pid) {
  // Reap the child when it ends so programs started during a run leave no zombies.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// posix_spawnp with default signal handling and an empty mask, whatever SDL
// or the engine's threads changed in this process; in `working_folder_host`
// (empty: ours), with `stdout_fd` (>= 0) as the child's standard output.
// -1 on failure.
pid_t spawn_by_argv(const std::vector<std::string>& argv_host, const std::string& working_folder_host,
                    int stdout_fd = -1) {
  if (argv_host.empty() || argv_host[0].empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv_host) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!working_folder_host.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_folder_host.c_str());
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  pid_t pid = 0;
  // posix_spawnp searches PATH for a bare name like execvp; no shell ever
  // sees the arguments.
  int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

class PosixChildProcess final : public ChildProcess {
 public:
  explicit PosixChildProcess(pid_t pid) : pid_(pid) {}
  ~PosixChildProcess() override {
    if (!ended_) reap_in_background(pid_);
  }
  PosixChildProcess(const PosixChildProcess&) = delete;
  PosixChildProcess& operator=(const PosixChildProcess&) = delete;

  bool running() override {
    if (ended_) return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) ended_ = true;
    return !ended_;
  }

  void terminate() override {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    // A second to end on its own, then by force.
    for (int i = 0; i < 100 && running(); ++i) {
      timespec ts{0, 10 * 1000000L};
      nanosleep(&ts, nullptr);
    }
    if (running()) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      ended_ = true;
    }
  }

 private:
  pid_t pid_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<ChildProcess> start_posix_child(const std::vector<std::string>& argv_host,
                                                const std::string& working_folder_host) {
  pid_t pid = spawn_by_argv(argv_host, working_folder_host);
  if (pid < 0) return nullptr;
  return std::make_unique<PosixChildProcess>(pid);
}

bool PosixProcess::spawn(const std::vector<std::string>& argv_host) {
  pid_t pid = spawn_by_argv(argv_host, "");
  if (pid < 0) return false;
  // Reap the child when it ends so editors opened during a run leave no zombies.
  reap_in_background(pid);
  return true;
}

std::unique_ptr<ChildProcess> PosixProcess::start_child(const std::vector<std::string>& argv_host,
                                                        const std::string& working_folder_host) {
  return start_posix_child(argv_host, working_folder_host);
}

pid_t spawn_child_process(const std::vector<std::string>& argv_host, int stdout_fd) {
  return spawn_by_argv(argv_host, std::string(), stdout_fd);
}

int poll_child_process(pid_t pid, int* exit_code) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return 0;
  if (r < 0) return -1;
  if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return 1;
}

bool run_child_and_capture(const std::vector<std::string>& argv_host, std::string* output, int* exit_code) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t pid = spawn_child_process(argv_host, fds[1]);
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return false;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output) output->append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  return true;
}

int64_t PosixProcess::start_child(const std::vector<std::string>& argv_host) {
  pid_t pid = spawn_child_process(argv_host);
  if (pid < 0) return 0;
  std::lock_guard<std::mutex> g(children_mutex_);
  children_.push_back(pid);
  return pid;
}

int PosixProcess::poll_child(int64_t handle, int* exit_code) {
  std::lock_guard<std::mutex> g(children_mutex_);
  auto it = std::find(children_.begin(), children_.end(), static_cast<pid_t>(handle));
  if (it == children_.end()) return -1;
  int r = poll_child_process(*it, exit_code);
  if (r != 0) children_.erase(it);  // reaped (or gone): the handle is spent
  return r < 0 ? 1 : r;
}

void PosixProcess::release_child(int64_t handle) {
  std::lock_guard<std::mutex> g(children_mutex_);
  auto it = std::find(children_.begin(), children_.end(), static_cast<pid_t>(handle));
  if (it == children_.end()) return;
  reap_in_background(*it);
  children_.erase(it);
}

bool PosixProcess::run_and_capture(const std::vector<std::string>& argv_host, std::string* output, int* exit_code) {
  return run_child_and_capture(argv_host, output, exit_code);
}

bool PosixProcess::is_administrator() const { return ::geteuid() == 0; }

std::string PosixProcess::user_data_folder_host() const {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return with_slash(data);
  return home_folder_host() + "/.local/share/";
}

std::string PosixProcess::user_config_folder_host() const {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return with_slash(config);
  return home_folder_host() + "/.config/";
}

std::string PosixProcess::documents_folder_host() const {
  std::string home = home_folder_host();
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string file = (config && config[0] == '/') ? with_slash(config) : home + "/.config/";
  file += "user-dirs.dirs";
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return documents_folder_from_user_dirs(home, text.str());
}

std::string PosixProcess::temp_folder_host() const {
  const char* tmp = std::getenv("TMPDIR");
  if (is_absolute_folder(tmp)) return with_slash(tmp);
  return "/tmp/";
}

bool PosixProcess::memory_status(uint64_t* total, uint64_t* available, uint32_t* load_percent) const {
  // MemAvailable counts reclaimable caches as free, as the original's
  // "available physical memory" does; sysinfo only knows the truly free pages.
  uint64_t total_kb = 0, available_kb = 0;
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t value = 0;
  std::string unit;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemTotal:") total_kb = value;
    else if (key == "MemAvailable:") available_kb = value;
  }
  if (total_kb == 0) {
    struct sysinfo si {};
    if (sysinfo(&si) != 0 || si.totalram == 0) return false;
    total_kb = uint64_t(si.totalram) * si.mem_unit / 1024;
    available_kb = uint64_t(si.freeram) * si.mem_unit / 1024;
  }
  if (available_kb > total_kb) available_kb = total_kb;
  *total = total_kb * 1024;
  *available = available_kb * 1024;
  *load_percent = static_cast<uint32_t>((total_kb - available_kb) * 100 / total_kb);
  return true;
}

