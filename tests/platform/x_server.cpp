#include "x_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "child_helper.h"

namespace fs = std::filesystem;

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

bool x_server::start(const std::string& screen, int first_display) {
  // Displays are picked per process so tests running side by side differ.
  for (int n = first_display + ::getpid() % 300, tries = 0; tries < 20; ++n, ++tries) {
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
    display = ":" + std::to_string(n);
    pid = start_child("/usr/bin/Xvfb", {display, "-screen", "0", screen, "-nolisten", "tcp"}, {});
    for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    // The socket may be another test's server that took the same number a
    // moment earlier: ours must still be running.
    int status = 0;
    if (fs::exists(socket) && ::waitpid(pid, &status, WNOHANG) == 0) return true;
    ::kill(pid, SIGTERM);
    wait_child(pid);
    pid = -1;
  }
  return false;
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
