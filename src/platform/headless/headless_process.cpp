#include "platform/headless/headless_process.h"

#include "platform/posix/process.h"

#include <sys/wait.h>

#include <cerrno>
#include <map>
#include <thread>
#include <utility>

#include "platform/posix/process.h"

namespace {

// One registry per test program: name -> holder.
std::mutex& registry_mutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, HeadlessProcess*>& registry() {
  static std::map<std::string, HeadlessProcess*> r;
  return r;
}

std::string lower_ascii(std::string s) {
  for (char& c : s) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
  return s;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

}  // namespace

HeadlessProcess::HeadlessProcess(std::string program_path_host) : program_path_(std::move(program_path_host)) {
  std::string folder = folder_of(program_path_);
  user_data_ = folder + "user_data/";
  documents_ = folder + "documents/";
  temp_ = folder + "temp/";
}

HeadlessProcess::~HeadlessProcess() { release_single_instance(); }

std::string HeadlessProcess::program_path_host() const {
  std::lock_guard<std::mutex> g(mutex_);
  return program_path_;
}

std::vector<std::string> HeadlessProcess::arguments() const {
  std::lock_guard<std::mutex> g(mutex_);
  return arguments_;
}

int HeadlessProcess::claim_single_instance(const std::string& instance_name) {
  HeadlessProcess* holder = nullptr;
  {
    std::lock_guard<std::mutex> r(registry_mutex());
    auto it = registry().find(instance_name);
    if (it == registry().end()) {
      registry()[instance_name] = this;
      std::lock_guard<std::mutex> g(mutex_);
      held_name_ = instance_name;
      holding_ = true;
      return 0;
    }
    if (it->second == this) return 0;
    holder = it->second;
    // Delivered under the registry lock so the holder cannot go away meanwhile.
    holder->receive_raise_request();
  }
  return 1;
}

void HeadlessProcess::receive_raise_request() {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> g(mutex_);
    ++raises_pending_;
    ++raises_received_;
    listener = raise_listener_;
  }
  if (listener) listener();
}

void HeadlessProcess::release_single_instance() {
  std::lock_guard<std::mutex> r(registry_mutex());
  std::lock_guard<std::mutex> g(mutex_);
  if (!holding_) return;
  auto it = registry().find(held_name_);
  if (it != registry().end() && it->second == this) registry().erase(it);
  holding_ = false;
  held_name_.clear();
}

bool HeadlessProcess::take_raise_request() {
  std::lock_guard<std::mutex> g(mutex_);
  if (raises_pending_ == 0) return false;
  --raises_pending_;
  return true;
}

bool HeadlessProcess::spawn(const std::vector<std::string>& argv_host) {
  std::lock_guard<std::mutex> g(mutex_);
  spawns_.push_back(argv_host);
  return spawn_result_ && !argv_host.empty();
}

std::unique_ptr<ChildProcess> HeadlessProcess::start_child(const std::vector<std::string>& argv_host,
                                                           const std::string& working_folder_host) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    spawns_.push_back(argv_host);
    child_folders_.push_back(working_folder_host);
    if (!spawn_result_) return nullptr;
  }
  return start_posix_child(argv_host, working_folder_host);
}

std::vector<std::string> HeadlessProcess::child_folders() const {
  std::lock_guard<std::mutex> g(mutex_);
  return child_folders_;
}

int64_t HeadlessProcess::start_child(const std::vector<std::string>& argv_host) {
  std::lock_guard<std::mutex> g(mutex_);
  spawns_.push_back(argv_host);
  if (argv_host.empty()) return 0;
  child c{next_child_++, -1, child_polls_};
  if (real_children_) {
    pid_t pid = spawn_child_process(argv_host);
    if (pid < 0) return 0;
    c.pid = pid;
  } else if (!spawn_result_) {
    return 0;
  }
  children_.push_back(c);
  return c.handle;
}

int HeadlessProcess::poll_child(int64_t handle, int* exit_code) {
  std::lock_guard<std::mutex> g(mutex_);
  for (size_t i = 0; i < children_.size(); ++i) {
    child& c = children_[i];
    if (c.handle != handle) continue;
    int r;
    if (c.pid >= 0) {
      r = poll_child_process(static_cast<pid_t>(c.pid), exit_code);
      if (r < 0) r = 1;
    } else if (c.polls_left > 0) {
      --c.polls_left;
      r = 0;
    } else {
      if (exit_code) *exit_code = child_exit_;
      r = 1;
    }
    if (r == 1) children_.erase(children_.begin() + static_cast<ptrdiff_t>(i));
    return r;
  }
  return -1;
}

void HeadlessProcess::release_child(int64_t handle) {
  std::lock_guard<std::mutex> g(mutex_);
  for (size_t i = 0; i < children_.size(); ++i) {
    if (children_[i].handle != handle) continue;
    if (children_[i].pid >= 0) {
      pid_t pid = static_cast<pid_t>(children_[i].pid);
      std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
      }).detach();
    }
    children_.erase(children_.begin() + static_cast<ptrdiff_t>(i));
    ++released_;
    return;
  }
}

bool HeadlessProcess::run_and_capture(const std::vector<std::string>& argv_host, std::string* output,
                                      int* exit_code) {
  std::lock_guard<std::mutex> g(mutex_);
  spawns_.push_back(argv_host);
  if (!capture_started_) return false;
  if (output) *output = capture_output_;
  if (exit_code) *exit_code = capture_exit_;
  return true;
}


void HeadlessProcess::use_real_children(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  real_children_ = on;
}

void HeadlessProcess::set_child_polls(int polls, int exit_code) {
  std::lock_guard<std::mutex> g(mutex_);
  child_polls_ = polls;
  child_exit_ = exit_code;
}

void HeadlessProcess::set_capture_reply(bool started, const std::string& output, int exit_code) {
  std::lock_guard<std::mutex> g(mutex_);
  capture_started_ = started;
  capture_output_ = output;
  capture_exit_ = exit_code;
}


int HeadlessProcess::live_children() const {
  std::lock_guard<std::mutex> g(mutex_);
  return static_cast<int>(children_.size());
}

int HeadlessProcess::released_children() const {
  std::lock_guard<std::mutex> g(mutex_);
  return released_;
}

std::string HeadlessProcess::user_data_folder_host() const {
  std::lock_guard<std::mutex> g(mutex_);
  return user_data_;
}

std::string HeadlessProcess::documents_folder_host() const {
  std::lock_guard<std::mutex> g(mutex_);
  return documents_;
}

std::string HeadlessProcess::temp_folder_host() const {
  std::lock_guard<std::mutex> g(mutex_);
  return temp_;
}

void HeadlessProcess::set_program_path(const std::string& host) {
  std::lock_guard<std::mutex> g(mutex_);
  program_path_ = host;
}

void HeadlessProcess::set_arguments(const std::vector<std::string>& sjis_arguments) {
  std::lock_guard<std::mutex> g(mutex_);
  arguments_ = sjis_arguments;
}

void HeadlessProcess::set_folders(const std::string& user_data, const std::string& documents,
                                  const std::string& temp) {
  std::lock_guard<std::mutex> g(mutex_);
  user_data_ = user_data;
  documents_ = documents;
  temp_ = temp;
}

void HeadlessProcess::set_spawn_result(bool ok) {
  std::lock_guard<std::mutex> g(mutex_);
  spawn_result_ = ok;
}

std::vector<std::vector<std::string>> HeadlessProcess::spawns() const {
  std::lock_guard<std::mutex> g(mutex_);
  return spawns_;
}

int HeadlessProcess::raise_requests_received() const {
  std::lock_guard<std::mutex> g(mutex_);
  return raises_received_;
}

bool HeadlessProcess::holds_instance() const {
  std::lock_guard<std::mutex> g(mutex_);
  return holding_;
}

void HeadlessProcess::set_raise_listener(std::function<void()> listener) {
  std::lock_guard<std::mutex> g(mutex_);
  raise_listener_ = std::move(listener);
}

// ---------------------------------------------------------------- HeadlessSharedMemory

std::unique_ptr<SharedMemoryBlock> HeadlessSharedMemory::create(const std::string& name,
                                                                const std::string& scope_folder_host, size_t size) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!refused_.empty() && refused_ == name) return nullptr;
  std::unique_ptr<SharedMemoryBlock> block = real_.create(name, scope_folder_host, size);
  if (block) created_.push_back(name + " " + std::to_string(size));
  return block;
}

std::unique_ptr<SharedMemoryBlock> HeadlessSharedMemory::open(const std::string& name,
                                                              const std::string& scope_folder_host) {
  return real_.open(name, scope_folder_host);
}

void HeadlessSharedMemory::refuse_create(const std::string& name) {
  std::lock_guard<std::mutex> g(mutex_);
  refused_ = name;
}

std::vector<std::string> HeadlessSharedMemory::created() const {
  std::lock_guard<std::mutex> g(mutex_);
  return created_;
}

// ---------------------------------------------------------------- HeadlessLibraries

HeadlessLibraries::HeadlessLibraries(std::string search_folder_host) : real_(std::move(search_folder_host)) {}

void* HeadlessLibraries::load(const std::string& name, int* error_number, std::string* error_text) {
  std::string key = lower_ascii(name);
  {
    std::lock_guard<std::mutex> g(mutex_);
    loads_.push_back(name);
    for (const auto& [refused_name, why] : refused_) {
      if (refused_name != key) continue;
      if (error_number) *error_number = why.error_number;
      if (error_text) *error_text = why.text.empty() ? name + ": cannot open shared object file: No such file or directory" : why.text;
      return nullptr;
    }
  }
  void* handle;
  {
    std::lock_guard<std::mutex> g(mutex_);
    handle = real_.load(name, error_number, error_text);
    if (handle) ++open_;
  }
  return handle;
}

void* HeadlessLibraries::symbol(void* library, const char* name) {
  if (!name) return nullptr;
  std::lock_guard<std::mutex> g(mutex_);
  if (hidden_.count(name)) return nullptr;
  return real_.symbol(library, name);
}

void HeadlessLibraries::unload(void* library) {
  if (!library) return;
  std::lock_guard<std::mutex> g(mutex_);
  real_.unload(library);
  --open_;
}

void HeadlessLibraries::set_search_folder(const std::string& host) {
  std::lock_guard<std::mutex> g(mutex_);
  real_ = PosixDynamicLibrary(host);
}

void HeadlessLibraries::refuse(const std::string& name, int error_number, const std::string& error_text) {
  std::lock_guard<std::mutex> g(mutex_);
  refused_.push_back({lower_ascii(name), {error_number, error_text}});
}

void HeadlessLibraries::hide_symbol(const std::string& name) {
  std::lock_guard<std::mutex> g(mutex_);
  hidden_.insert(name);
}

std::vector<std::string> HeadlessLibraries::loads() const {
  std::lock_guard<std::mutex> g(mutex_);
  return loads_;
}

int HeadlessLibraries::open_count() const {
  std::lock_guard<std::mutex> g(mutex_);
  return open_;
}

bool HeadlessProcess::memory_status(uint64_t* total, uint64_t* available, uint32_t* load_percent) const {
  std::lock_guard<std::mutex> g(mutex_);
  if (memory_total_ == 0) return false;
  *total = memory_total_;
  *available = memory_available_;
  *load_percent = static_cast<uint32_t>((memory_total_ - memory_available_) * 100 / memory_total_);
  return true;
}

void HeadlessProcess::set_memory(uint64_t total, uint64_t available) {
  std::lock_guard<std::mutex> g(mutex_);
  memory_total_ = total;
  memory_available_ = available < total ? available : total;
}
