// HostFiles over POSIX: the same code serves the real player (on the game
// folder) and the tests (on a temporary folder).
#pragma once
#include <string>
#include <vector>

#include "platform/platform.h"

class PosixHostFiles final : public HostFiles {
 public:
  explicit PosixHostFiles(std::string game_folder_host);

  std::string game_folder_host() const override { return game_folder_; }
  std::string host_path(std::string_view game_path) const override;
  host_entry_kind kind(std::string_view game_path, uint64_t* size = nullptr) const override;
  bool read_file(std::string_view game_path, std::vector<uint8_t>& out) const override;
  std::unique_ptr<HostReadFile> open_read(std::string_view game_path) const override;
  std::vector<host_folder_entry> list_folder(std::string_view game_path) const override;

  bool write_file(std::string_view game_path, const void* data, size_t size) override;
  bool append_file(std::string_view game_path, const void* data, size_t size) override;
  bool replace_file(std::string_view game_path, const void* data, size_t size) override;
  bool remove_file(std::string_view game_path) override;
  bool rename(std::string_view from_game_path, std::string_view to_game_path) override;
  bool make_folder(std::string_view game_path) override;
  bool remove_folder(std::string_view game_path) override;
  bool write_allowed(std::string_view game_path) const override;
  void add_write_root(const std::string& host_folder) override;
  bool set_game_folder_host(const std::string& host_folder) override;

  bool script_path(std::string_view script_path_sjis, std::string& game_path) const override;
  bool set_script_folder(std::string_view script_path_sjis) override;
  std::string script_folder() const override;
  bool copy_file(std::string_view from_game_path, std::string_view to_game_path) override;
  bool free_space(std::string_view game_path, uint64_t* bytes) const override;
  bool is_executable(std::string_view game_path) const override;

 private:
  std::string game_folder_;
  std::string script_folder_;  // host, ending in '/'; empty: the game folder
  std::vector<std::string> write_roots_;  // canonical, ending in '/'
};

// Lexical clean-up of a host path: collapses "//", "." and "..".
std::string normalise_host_path(const std::string& path);
