#include "platform/posix/dynamic_library.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/text_encoding.h"

namespace {

bool ends_with_dll(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
  return tail == ".dll";
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> library_name_candidates(const std::string& name) {
  std::vector<std::string> out{name};
  if (ends_with_dll(name)) out.push_back(name.substr(0, name.size() - 4) + ".so");
  return out;
}

PosixDynamicLibrary::PosixDynamicLibrary(std::string program_folder_host) : folder_(std::move(program_folder_host)) {
  if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

void* PosixDynamicLibrary::load(const std::string& name, int* error_number, std::string* error_text) {
  std::string host_name = sjis_to_utf8(name);
  std::string first_error, beside_error;
  bool found_beside = false;
  for (const std::string& candidate : library_name_candidates(host_name)) {
    std::vector<std::string> tries;
    if (candidate.find('/') != std::string::npos) {
      tries.push_back(candidate);
    } else {
      if (!folder_.empty() && file_exists(folder_ + candidate)) {
        found_beside = true;
        tries.push_back(folder_ + candidate);
      }
      tries.push_back(candidate);  // the system's search (LD_LIBRARY_PATH, cache)
    }
    for (const std::string& path : tries) {
      dlerror();
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle) return handle;
      const char* msg = dlerror();
      // The telling message: a file beside the program that failed to load,
      // else the first name that was not found.
      if (msg && path.find('/') != std::string::npos && beside_error.empty()) beside_error = msg;
      if (msg && first_error.empty()) first_error = msg;
    }
  }
  if (!beside_error.empty()) first_error = beside_error;
  if (error_number) *error_number = found_beside ? ENOEXEC : ENOENT;
  if (error_text) *error_text = utf8_to_sjis(first_error.empty() ? host_name + ": cannot be loaded" : first_error);
  return nullptr;
}

void* PosixDynamicLibrary::symbol(void* library, const char* name) {
  if (!library || !name) return nullptr;
  return ::dlsym(library, name);
}

void PosixDynamicLibrary::unload(void* library) {
  if (library) ::dlclose(library);
}
