#include "child_helper.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/posix/process.h"

extern char** environ;

namespace {

std::vector<std::string> own_command_line() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  size_t i = 0;
  while (i < all.size()) {
    size_t j = all.find('\0', i);
    if (j == std::string::npos) j = all.size();
    out.push_back(all.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

void write_atomically(const std::string& path, const std::string& text) {
  std::string tmp = path + ".part";
  {
    std::ofstream out(tmp, std::ios::binary);
    out << text;
  }
  std::rename(tmp.c_str(), path.c_str());
}

// Runs before main(): a child never reaches gtest.
struct child_mode {
  child_mode() {
    std::vector<std::string> args = own_command_line();
    if (args.size() < 4 || args[1] != "--zarvik-child") return;
    const std::string& mode = args[2];
    const std::string& out = args[3];
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (mode == "args") {
      // Every argument after OUTFILE, each ended by a NUL byte.
      std::string text;
      for (size_t i = 4; i < args.size(); ++i) text += args[i] + '\0';
      write_atomically(out, text);
      _exit(0);
    }
    if (mode == "path") {
      PosixProcess p(static_cast<int>(args.size()), argv.data());
      write_atomically(out, p.program_path_host());
      _exit(0);
    }
    if (mode == "claim" && args.size() >= 5) {
      // Claims the instance, reports the result, and holds it until killed
      // (or ends at once when it did not get it).
      PosixProcess p(static_cast<int>(args.size()), argv.data());
      int r = p.claim_single_instance(args[4]);
      write_atomically(out, std::to_string(r));
      if (r != 0) _exit(0);
      for (;;) pause();
    }
    _exit(99);
  }
} the_child_mode;

}  // namespace

std::string self_program_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

pid_t start_child(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& extra_env) {
  std::vector<std::string> a{program};
  a.insert(a.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.push_back(*e);
  for (const std::string& e : extra_env) {
    std::string key = e.substr(0, e.find('=') + 1);
    for (auto it = env_strings.begin(); it != env_strings.end();)
      it = it->compare(0, key.size(), key) == 0 ? env_strings.erase(it) : it + 1;
    env_strings.push_back(e);
  }
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc;
  if (program.find('/') == std::string::npos) {
    // posix_spawnp searches this process's PATH, so a PATH for the child is
    // put in place for the call.
    const char* old = getenv("PATH");
    std::string saved = old ? old : "";
    for (const std::string& e : extra_env)
      if (e.compare(0, 5, "PATH=") == 0) setenv("PATH", e.c_str() + 5, 1);
    rc = posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data());
    if (old) setenv("PATH", saved.c_str(), 1); else unsetenv("PATH");
  } else {
    rc = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data());
  }
  return rc == 0 ? pid : -1;
}

int wait_child(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

bool wait_for_file(const std::string& path) {
  for (int i = 0; i < 3000; ++i) {  // up to 30 s
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return true;
    usleep(10000);
  }
  return false;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
