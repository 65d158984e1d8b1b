#include "kxtool_files.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "save/compression_library.h"

bool kxtool_read_file(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kxtool: cannot open %s\n", path.c_str());
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::fprintf(stderr, "kxtool: cannot read %s\n", path.c_str());
    return false;
  }
  return true;
}

bool kxtool_write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "kxtool: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

int kxtool_load_compression_library() {
  if (compression_library.uncompress && compression_library.compress) return 0;
  std::string beside;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = 0;
    beside = self;
    beside = beside.substr(0, beside.rfind('/') + 1) + "RIRud.so";
  }
  void* library = beside.empty() ? nullptr : dlopen(beside.c_str(), RTLD_NOW);
  if (!library) library = dlopen("RIRud.so", RTLD_NOW);
  if (!library) {
    std::fprintf(stderr, "kxtool: cannot load RIRud.so\n");
    return -1;
  }
  compression_library_entries entries;
  entries.compressed_length = reinterpret_cast<decltype(entries.compressed_length)>(dlsym(library, "RIRud_CompressedLength"));
  entries.compress = reinterpret_cast<decltype(entries.compress)>(dlsym(library, "RIRud_Compress"));
  entries.uncompressed_length = dlsym(library, "RIRud_UncompressedLength");
  entries.uncompress = reinterpret_cast<decltype(entries.uncompress)>(dlsym(library, "RIRud_Uncompress"));
  if (!entries.compressed_length || !entries.compress || !entries.uncompressed_length || !entries.uncompress) {
    std::fprintf(stderr, "kxtool: RIRud.so lacks an entry point\n");
    return -1;
  }
  compression_library = entries;
  return 0;
}
