// The real process service: own path, single instance with a raise request,
// spawning by argv, per-user folders.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class PosixProcess final : public Process {
 public:
  PosixProcess(int argc, char** argv);
  ~PosixProcess() override;
  PosixProcess(const PosixProcess&) = delete;
  PosixProcess& operator=(const PosixProcess&) = delete;

  std::string program_path_host() const override { return program_path_; }
  std::vector<std::string> arguments() const override { return arguments_; }
  int claim_single_instance(const std::string& instance_name) override;
  void release_single_instance() override;
  bool take_raise_request() override;
  bool spawn(const std::vector<std::string>& argv_host) override;
  std::unique_ptr<ChildProcess> start_child(const std::vector<std::string>& argv_host,
                                            const std::string& working_folder_host) override;
  std::string user_data_folder_host() const override;
  std::string documents_folder_host() const override;
  std::string temp_folder_host() const override;
  bool memory_status(uint64_t* total, uint64_t* available, uint32_t* load_percent) const override;
  int64_t start_child(const std::vector<std::string>& argv_host) override;
  int poll_child(int64_t handle, int* exit_code) override;
  void release_child(int64_t handle) override;
  bool run_and_capture(const std::vector<std::string>& argv_host, std::string* output, int* exit_code) override;
  bool is_administrator() const override;
  std::string user_config_folder_host() const override;

  // Called on the listener thread after each raise request is counted (the
  // real Ui turns it into a msg_raise_request event). Pass {} to remove.
  void set_raise_listener(std::function<void()> listener);

 private:
  void listen_loop();

  std::string program_path_;
  std::vector<std::string> arguments_;

  int lock_fd_ = -1;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::string socket_path_;
  std::thread listener_;
  std::atomic<int> raise_requests_{0};
  std::mutex listener_mutex_;
  std::function<void()> raise_listener_;
  std::mutex children_mutex_;
  std::vector<pid_t> children_;  // started to be waited on, not yet reaped
};

// Starts a program by argv in a working folder (empty: ours), with default
// signal handling; the headless process service starts real programs too.
std::unique_ptr<ChildProcess> start_posix_child(const std::vector<std::string>& argv_host,
                                                const std::string& working_folder_host);
// Starts argv by posix_spawnp (PATH searched for a bare name, no shell), with
// default signals and an empty signal mask; `stdout_fd` >= 0 becomes the
// child's standard output. The pid, or -1.
pid_t spawn_child_process(const std::vector<std::string>& argv_host, int stdout_fd = -1);
// waitpid without blocking: 1 ended (reaped, *exit_code set), 0 running, -1 error.
int poll_child_process(pid_t pid, int* exit_code);
// Runs argv to its end, collecting its standard output.
bool run_child_and_capture(const std::vector<std::string>& argv_host, std::string* output, int* exit_code);

// The program path as started, made absolute against `cwd` without resolving
// symbolic links: a name without '/' is searched in `path_env` (PATH). Empty
// when nothing matches.
std::string resolve_program_path(const std::string& argv0, const std::string& cwd, const char* path_env);

// Folder (ending in '/') of the lock file and request socket: $XDG_RUNTIME_DIR
// when usable, else /tmp.
std::string instance_folder_host();
// File-name stem shared by the lock and the socket of one instance name.
std::string instance_file_stem(const std::string& instance_name);

// The documents folder from the text of user-dirs.dirs (XDG_DOCUMENTS_DIR);
// "$HOME/Documents" when the entry is missing, disabled or malformed.
std::string documents_folder_from_user_dirs(const std::string& home, const std::string& user_dirs_text);

// $HOME, or the password database's home, ending without '/'.
std::string home_folder_host();
