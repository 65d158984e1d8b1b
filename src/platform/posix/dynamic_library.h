// Libraries loaded at run time (the compression library and later ones).
#pragma once
#include <string>
#include <vector>

#include "platform/platform.h"

class PosixDynamicLibrary final : public DynamicLibrary {
 public:
  // `program_folder_host`: the folder searched first (ending in '/').
  explicit PosixDynamicLibrary(std::string program_folder_host);

  // Tries the name beside the program, then by name through the system's
  // search. A name ending in ".dll" also tries the same stem with ".so", so
  // the engine can keep the library names it was designed with. On failure
  // the error number is ENOENT when no candidate file exists beside the
  // program, else ENOEXEC, and the text is the loader's message (Shift-JIS).
  void* load(const std::string& name, int* error_number, std::string* error_text) override;
  void* symbol(void* library, const char* name) override;
  void unload(void* library) override;

  const std::string& program_folder_host() const { return folder_; }

 private:
  std::string folder_;
};

// The file names tried for `name`, in order ("X.dll" -> "X.dll", "X.so").
std::vector<std::string> library_name_candidates(const std::string& name);
