// A private X server (Xvfb) for tests that drive a real SDL window, and the
// small shell helpers they use to find and steer windows with xdotool.
#pragma once
#include <sys/types.h>

#include <string>

bool on_path(const char* program);
// What a shell command prints, trailing blanks and newlines removed.
std::string output_of(const std::string& command);
// The first window whose name is exactly `name`, waiting up to 10 s for it.
std::string find_window(const std::string& name);

struct x_server {
  pid_t pid = -1;
  std::string display;  // ":N" once started
  // Starts Xvfb on a display it finds free, with one screen of `screen`
  // ("WxHxD"); true once the server accepts connections.
  bool start(const std::string& screen);
  // Points SDL in this process at the server: its X11 video driver and the
  // dummy audio driver, so tests never reach a user's display or speakers.
  void use_for_sdl() const;
  ~x_server();
};
