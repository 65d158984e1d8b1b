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
  void add_own_folder(own_folder which, const std::string& host_folder) override;
  void add_write_file(const std::string& host_file) override;
  std::string own_folder_host(own_folder which) const override;
  bool in_game_folder(std::string_view game_path) const override;
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
  struct write_root {
    std::string path;          // canonical; a folder ends in '/'
    bool file = false;         // one file, not a folder
    bool made_on_demand = false;  // the player's own: made (0700) by the first write
  };
  // Canonical target, or empty when it is refused.
  std::string allowed_target(std::string_view game_path) const;
  // Makes the own folder that will hold `target` (an allowed one).
  void make_own_root_for(const std::string& target) const;
  void add_root(const std::string& host_path, bool file, bool made_on_demand);

  std::vector<write_root> write_roots_;
  std::string own_folders_[3];  // by own_folder, host form ending in '/'
};

// Gives `files` the player's own folders of its game, named by the game
// folder's tag: "zarvik/TAG/" under the user's data and documents folders, and
// a private temporary folder: "zarvik-TAG/" in the session's runtime folder
// when there is one, else "zarvik-UID-TAG/" in TMPDIR (or /tmp).
void set_own_folders(HostFiles& files, const Process& process);
// Makes `folder` a folder only this user can enter (0700): created, or an
// existing real folder of this user's own. False when something else (a link,
// a file, another user's folder) stands there.
bool make_private_folder(const std::string& folder);
// The mode of every file the player writes: 0644 under the umask, never an
// execute bit.
unsigned new_file_mode();

// Lexical clean-up of a host path: collapses "//", "." and "..".
std::string normalise_host_path(const std::string& path);
