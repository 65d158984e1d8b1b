// What start-up learns about the machine: OS code, processor, worker count,
// desktop mode.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct system_info_record {
  // This player never runs on the systems the OS-code table lists, so it always
  // reports 255, "unlisted, accepted": refused are only codes 1..19, and 255
  // also allows the desktop-composition switch (codes 65 and up).
  uint8_t os_code = 255;
  uint8_t core_count = 1;
  uint8_t worker_count = 1;  // min(worker maximum, max(1, cores))
  int desktop_width = 0, desktop_height = 0, desktop_depth = 0;
  int desktop_refresh = 0;  // below 60 stored as -1
  char cpu_brand[49] = {};  // 48 bytes from CPUID and a terminator
  int cpu_family = 0, cpu_model = 0, cpu_stepping = 0;
  // The DirectX release as the one-time tables keep it (the high 16 bits of
  // major*65536 + minor*256 + letter): 0 on this platform.
  uint32_t directx_version = 0;
};
extern system_info_record system_info;

constexpr int os_code_unlisted = 255;

int get_os_code();
// The OS code of a system build number (its low 16 bits); 255 for any build
// the table does not list.
int os_code_for_build(uint32_t build);
void query_system_info();
void read_cpu_name();
// There is no desktop compositor switch on this platform: -1, "interface missing".
int disable_desktop_composition();
// ---------------------------------------------------------------- environment report

// Wave format bits of a sound device, numbered as the original ones:
// rate 11.025 (1), 22.05 (2), 44.1 kHz (4); mono/stereo; 8/16 bits.
enum : uint32_t {
  wave_1m08 = 0x1, wave_1s08 = 0x2, wave_1m16 = 0x4, wave_1s16 = 0x8,
  wave_2m08 = 0x10, wave_2s08 = 0x20, wave_2m16 = 0x40, wave_2s16 = 0x80,
  wave_4m08 = 0x100, wave_4s08 = 0x200, wave_4m16 = 0x400, wave_4s16 = 0x800,
};
// "44.1kHz(16-bit)" ... "Disable": the best format the bits name.
const char* sound_format_name(uint32_t formats);
// The format bits a device of this preferred rate and sample size can play
// (every rate and size up to its own).
uint32_t sound_formats_of(int rate, int bits);

struct environment_display {
  std::string device_name;    // "DISPLAY1" ...
  std::string device_string;  // what the system calls it
  bool attached = true, primary = false;
};
struct environment_sound_device {
  std::string name;
  uint32_t formats = 0;
  int channels = 0;
};
struct environment_mode {
  int index = 0, width = 0, height = 0, depth = 0, refresh = 0;
};

// Everything the report says, gathered by start-up from the platform and the
// subsystems (strings are Shift-JIS).
struct environment_facts {
  int os_code = 0;
  std::string cpu_name;
  int mmx = 0, sse = 0, sse2 = 0;
  int cores = 0, workers = 0;
  uint32_t directx_version = 0;
  uint64_t memory_total = 0, memory_available = 0;  // bytes
  int desktop_width = 0, desktop_height = 0, desktop_depth = 0, desktop_refresh = 0;
  int admin = 0;
  bool displays_known = true;  // false: "EnumDisplayDevicesA Not Found."
  std::vector<environment_display> displays;
  std::vector<environment_sound_device> outputs, inputs;
  std::vector<environment_mode> modes;
  std::vector<std::string> gpu_lines;  // what the GPU device adds, after VIDEO
};

// Deletes info.txt, then writes the report's entries in order.
void write_environment_report(const environment_facts& facts);
