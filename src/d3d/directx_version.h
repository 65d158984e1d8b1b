// Which DirectX release is installed, from the file versions of the system
// libraries that mark each release. None of those libraries exist on this
// platform, so the detection finds nothing and the release reads as 0; the
// probe logic stays for any folder that holds them.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

enum : int {
  file_version_ok = 0,
  file_version_invalid_argument = -1,
  file_version_missing = -2,        // no such file
  file_version_no_resource = -3,    // the file carries no version resource
  file_version_no_memory = -4,
};

// a.b.c.d as one 64-bit value, most significant part first.
constexpr uint64_t make_file_version(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  return (uint64_t{a} << 48) | (uint64_t{b} << 32) | (uint64_t{c} << 16) | uint64_t{d};
}
// -1, 0 or 1, comparing the high part first.
int compare_file_versions(uint64_t a, uint64_t b);

// The fixed file version of a file (a game path). A file of this platform
// has no version resource of that kind: missing, or no resource.
int get_file_version(const std::string& path, uint64_t* version);

using file_version_reader = std::function<int(const std::string& path, uint64_t* version)>;

// version = major << 16 | minor, letter a lower-case release letter or 0;
// both 0 first. Probes `system_folder` + each marker library in release
// order; the newest release whose marker is present wins. 0.
int detect_directx_version(uint32_t* version, char* letter);
int detect_directx_version_in(const std::string& system_folder, const file_version_reader& read, uint32_t* version,
                              char* letter);
// The one-time tables' value: the high 16 bits of major*65536 + minor*256 + letter number.
uint32_t encode_directx_version(uint32_t version, char letter);
