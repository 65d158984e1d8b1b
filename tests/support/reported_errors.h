// Records the numbered error reports made while it lives.
#pragma once
#include <string>
#include <vector>

class reported_errors {
 public:
  reported_errors();
  ~reported_errors();
  reported_errors(const reported_errors&) = delete;
  reported_errors& operator=(const reported_errors&) = delete;

  std::vector<int> codes() const;
  std::vector<std::string> texts() const;  // Shift-JIS, as the dialog would show them
  void clear();
};
