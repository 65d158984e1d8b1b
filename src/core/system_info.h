// What start-up learns about the machine: OS code, processor, worker count,
// desktop mode.
#pragma once
#include <cstdint>

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
};
extern system_info_record system_info;

constexpr int os_code_unlisted = 255;

int get_os_code();
void query_system_info();
void read_cpu_name();
// There is no desktop compositor switch on this platform: -1, "interface missing".
int disable_desktop_composition();
