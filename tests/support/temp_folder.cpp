#include "support/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

temp_folder::temp_folder() {
  std::string templ = (fs::temp_directory_path() / "zarvik-test-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ + "/";
}

temp_folder::~temp_folder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void temp_folder::write(const std::string& relative, const std::vector<uint8_t>& bytes) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void temp_folder::write(const std::string& relative, const std::string& text) const {
  write(relative, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> temp_folder::read(const std::string& relative) const {
  std::ifstream f(fs::path(path_) / relative, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

bool temp_folder::exists(const std::string& relative) const { return fs::exists(fs::path(path_) / relative); }
