#include "d3d/directx_version.h"

#include "platform/platform.h"

int compare_file_versions(uint64_t a, uint64_t b) {
  for (int shift = 48; shift >= 0; shift -= 16) {
    const uint64_t x = (a >> shift) & 0xFFFF, y = (b >> shift) & 0xFFFF;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

int get_file_version(const std::string& path, uint64_t* version) {
  if (path.empty() || !version) return file_version_invalid_argument;
  *version = 0;
  if (!platform_installed() || !platform().files) return file_version_missing;
  if (platform().files->kind(path) != host_entry_kind::file) return file_version_missing;
  return file_version_no_resource;
}

namespace {

struct probe {
  const char* library;
  const char* second_library;  // also required (null: none)
  uint64_t at_least;
  uint16_t major, minor;
  char letter;
};

// In release order; thresholds are the first file version of each release.
const probe probes[] = {
    {"\\ddraw.dll", nullptr, make_file_version(4, 2, 0, 95), 1, 0, 0},
    {"\\ddraw.dll", nullptr, make_file_version(4, 3, 0, 1096), 2, 0, 0},
    {"\\ddraw.dll", nullptr, make_file_version(4, 4, 0, 68), 3, 0, 0},
    {"\\d3drg8x.dll", nullptr, make_file_version(4, 4, 0, 70), 3, 0, 'a'},
    {"\\ddraw.dll", nullptr, make_file_version(4, 5, 0, 155), 5, 0, 0},
    {"\\ddraw.dll", nullptr, make_file_version(4, 6, 0, 318), 6, 0, 0},
    {"\\ddraw.dll", nullptr, make_file_version(4, 6, 2, 436), 6, 1, 0},
    {"\\dplayx.dll", nullptr, make_file_version(4, 6, 3, 518), 6, 1, 'a'},
    {"\\ddraw.dll", nullptr, make_file_version(4, 7, 0, 700), 7, 0, 0},
    {"\\dinput.dll", nullptr, make_file_version(4, 7, 0, 716), 7, 0, 'a'},
    {"\\ddraw.dll", "\\d3d8.dll", make_file_version(4, 8, 0, 400), 8, 0, 0},
    {"\\mpg2splt.ax", nullptr, make_file_version(6, 3, 1, 881), 8, 1, 0},
    {"\\dpnet.dll", nullptr, make_file_version(4, 9, 0, 134), 8, 2, 0},
    {"\\d3d9.dll", nullptr, make_file_version(4, 9, 0, 900), 9, 0, 0},
};

bool present(const std::string& folder, const char* library, uint64_t at_least, const file_version_reader& read) {
  uint64_t v = 0;
  // A library that is missing or has no version resource changes nothing.
  if (read(folder + library, &v) != file_version_ok) return false;
  return compare_file_versions(v, at_least) >= 0;
}

}  // namespace

int detect_directx_version_in(const std::string& folder, const file_version_reader& read, uint32_t* version,
                              char* letter) {
  *version = 0;
  *letter = 0;
  for (const probe& p : probes) {
    if (!present(folder, p.library, p.at_least, read)) continue;
    if (p.second_library && !present(folder, p.second_library, p.at_least, read)) continue;
    *version = (uint32_t{p.major} << 16) | p.minor;
    *letter = p.letter;
  }
  return 0;
}

int detect_directx_version(uint32_t* version, char* letter) {
  // There is no system folder of those libraries here.
  return detect_directx_version_in("", get_file_version, version, letter);
}

uint32_t encode_directx_version(uint32_t version, char letter) {
  const uint32_t major = version >> 16, minor = version & 0xFFFF;
  const uint32_t letter_code = (letter >= 'a' && letter <= 'z') ? static_cast<uint32_t>(letter - 'a' + 1) : 0;
  return (major * 65536u + minor * 256u + letter_code) >> 16;
}
