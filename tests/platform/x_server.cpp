#include "x_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "child_helper.h"

bool on_path(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string output_of(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string find_window(const std::string& name) {
  for (int i = 0; i < 200; ++i) {
    std::string id = output_of("xdotool search --name '^" + name + "$' 2>/dev/null | head -n 1");
    if (!id.empty()) return id;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return "";
}

bool x_server::start(const std::string& screen) {
  // Xvfb itself picks a free display (its lock file decides, atomically) and
  // writes the number to the pipe: tests side by side never share a server,
  // which guessing a number and checking for a socket could not promise.
  int fds[2];
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  pid = start_child("/usr/bin/Xvfb", {"-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten",
                                      "tcp", "-noreset"},
                    {});
  ::close(fds[1]);
  std::string number;
  char buf[32];
  ssize_t n;
  // The number is written once the server accepts connections; a server that
  // fails closes the pipe without it.
  while (pid > 0 && (n = ::read(fds[0], buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    number.append(buf, static_cast<size_t>(n));
    if (number.find('\n') != std::string::npos) break;
  }
  ::close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      wait_child(pid);
    }
    pid = -1;
    return false;
  }
  display = ":" + number;
  return true;
}

void x_server::use_for_sdl() const {
  ::setenv("DISPLAY", display.c_str(), 1);
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("SDL_VIDEODRIVER", "x11", 1);
  ::setenv("SDL_AUDIODRIVER", "dummy", 1);
}

x_server::~x_server() {
  if (pid > 0) {
    ::kill(pid, SIGTERM);
    wait_child(pid);
  }
}
