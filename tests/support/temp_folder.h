// A fresh temporary folder per test, removed with everything in it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class temp_folder {
 public:
  temp_folder();
  ~temp_folder();
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;

  // Host path, ending in '/'.
  const std::string& path() const { return path_; }
  // Writes a file (creating parent folders) relative to the folder.
  void write(const std::string& relative, const std::vector<uint8_t>& bytes) const;
  void write(const std::string& relative, const std::string& text) const;
  std::vector<uint8_t> read(const std::string& relative) const;
  bool exists(const std::string& relative) const;

 private:
  std::string path_;
};
