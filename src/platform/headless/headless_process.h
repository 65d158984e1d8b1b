// Headless process and library services: the test sets the program path and
// arguments, spawns are recorded, the single-instance lock is modelled in
// process so two headless platforms in one test act as two starts.
#pragma once
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/dynamic_library.h"
#include "platform/posix/shared_memory.h"

class HeadlessProcess final : public Process {
 public:
  explicit HeadlessProcess(std::string program_path_host = "/zarvik/zarvik");
  ~HeadlessProcess() override;
  HeadlessProcess(const HeadlessProcess&) = delete;
  HeadlessProcess& operator=(const HeadlessProcess&) = delete;

  std::string program_path_host() const override;
  std::vector<std::string> arguments() const override;
  // Instances are held in one registry shared by every HeadlessProcess of the
  // test program: a second claim of a held name returns 1 and counts a raise
  // request at the holder.
  int claim_single_instance(const std::string& instance_name) override;
  void release_single_instance() override;
  bool take_raise_request() override;
  // Records the argv; returns the result set by set_spawn_result (true).
  bool spawn(const std::vector<std::string>& argv_host) override;
  // Records the argv and the folder, then starts the program for real (a
  // test's stand-in program, or kxtool as the compiler); null when
  // set_spawn_result(false) refuses it.
  std::unique_ptr<ChildProcess> start_child(const std::vector<std::string>& argv_host,
                                            const std::string& working_folder_host) override;
  std::string user_data_folder_host() const override;
  std::string documents_folder_host() const override;
  bool is_administrator() const override { return administrator_; }
  void set_administrator(bool administrator) { administrator_ = administrator; }
  std::string temp_folder_host() const override;
  bool memory_status(uint64_t* total, uint64_t* available, uint32_t* load_percent) const override;
  // The fake machine's memory (8 GiB, 3 GiB free until set).
  void set_memory(uint64_t total, uint64_t available);
  // Started children are recorded (also in spawns()); each ends after the
  // number of polls set by set_child_polls, unless real children are on.
  int64_t start_child(const std::vector<std::string>& argv_host) override;
  int poll_child(int64_t handle, int* exit_code) override;
  void release_child(int64_t handle) override;
  // Answers from set_capture_reply (recorded in spawns()); false without one.
  bool run_and_capture(const std::vector<std::string>& argv_host, std::string* output, int* exit_code) override;

  // Test side.
  void set_program_path(const std::string& host);
  void set_arguments(const std::vector<std::string>& sjis_arguments);
  void set_folders(const std::string& user_data, const std::string& documents, const std::string& temp);
  void set_spawn_result(bool ok);
  // Children started later really run (posix_spawn), for waits on real time.
  void use_real_children(bool on);
  void set_child_polls(int polls, int exit_code = 0);
  void set_capture_reply(bool started, const std::string& output, int exit_code);
  // Children started and not yet ended or released.
  int live_children() const;
  int released_children() const;
  std::vector<std::vector<std::string>> spawns() const;
  std::vector<std::string> child_folders() const;  // working folders of start_child, in order
  int raise_requests_received() const;  // all that arrived, taken or not
  bool holds_instance() const;
  // Called (without this object's lock) for each raise request that arrives;
  // HeadlessPlatform turns it into a msg_raise_request event like the real Ui.
  void set_raise_listener(std::function<void()> listener);

 private:
  bool administrator_ = false;

  void receive_raise_request();

  mutable std::mutex mutex_;
  std::string program_path_;
  std::vector<std::string> arguments_;
  std::string user_data_, documents_, temp_;
  bool spawn_result_ = true;
  struct child {
    int64_t handle;
    int64_t pid;  // real children
    int polls_left;
  };
  std::vector<child> children_;
  int64_t next_child_ = 1;
  bool real_children_ = false;
  int child_polls_ = 0, child_exit_ = 0;
  int released_ = 0;
  bool capture_started_ = false;
  std::string capture_output_;
  int capture_exit_ = 0;
  std::vector<std::vector<std::string>> spawns_;
  std::vector<std::string> child_folders_;
  std::string held_name_;
  bool holding_ = false;
  int raises_pending_ = 0;
  int raises_received_ = 0;
  std::function<void()> raise_listener_;
  uint64_t memory_total_ = uint64_t{8} << 30, memory_available_ = uint64_t{3} << 30;
};

// Real named memory (so a real compiler process can take part), which the
// test can refuse to create, with a record of every name asked for.
class HeadlessSharedMemory final : public SharedMemory {
 public:
  std::unique_ptr<SharedMemoryBlock> create(const std::string& name, const std::string& scope_folder_host,
                                            size_t size) override;
  std::unique_ptr<SharedMemoryBlock> open(const std::string& name, const std::string& scope_folder_host) override;

  // Test side: creation of the named block fails (empty name: none).
  void refuse_create(const std::string& name);
  std::vector<std::string> created() const;  // "NAME SIZE" per successful creation

 private:
  mutable std::mutex mutex_;
  PosixSharedMemory real_;
  std::string refused_;
  std::vector<std::string> created_;
};

// Loads real libraries through dlopen (searched in a folder the test sets),
// but can be told to refuse a library or hide an entry point, for the
// missing-library and missing-entry-point paths.
class HeadlessLibraries final : public DynamicLibrary {
 public:
  explicit HeadlessLibraries(std::string search_folder_host);

  void* load(const std::string& name, int* error_number, std::string* error_text) override;
  void* symbol(void* library, const char* name) override;
  void unload(void* library) override;

  // Test side. Names compare case-insensitively with what the engine asks for.
  void set_search_folder(const std::string& host);
  void refuse(const std::string& name, int error_number = 2, const std::string& error_text = "");
  void hide_symbol(const std::string& name);
  std::vector<std::string> loads() const;  // every name asked for, in order
  int open_count() const;                  // loaded and not yet unloaded

 private:
  struct refusal {
    int error_number;
    std::string text;
  };
  mutable std::mutex mutex_;
  PosixDynamicLibrary real_;
  std::vector<std::pair<std::string, refusal>> refused_;
  std::set<std::string> hidden_;
  std::vector<std::string> loads_;
  int open_ = 0;
};
