// The test program doubles as the child process of the process tests: started
// as `test_platform --zarvik-child MODE OUTFILE ARGS...` it does one thing,
// writes the result to OUTFILE and exits before gtest starts.
#pragma once
#include <string>
#include <vector>

#include <sys/types.h>

// This test program's own path.
std::string self_program_path();
// Starts a program with posix_spawn and the given environment additions;
// returns the pid (or -1).
pid_t start_child(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& extra_env = {});
// Waits for the child and returns its exit status (or -1).
int wait_child(pid_t pid);
// Waits until a file exists (the child writes it atomically); false after a
// generous deadline so a broken child fails the test instead of hanging it.
bool wait_for_file(const std::string& path);
std::string read_text(const std::string& path);
