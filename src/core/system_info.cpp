#include "core/system_info.h"

#include <cstring>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "core/engine_state.h"
#include "core/pending_hooks.h"
#include "core/settings.h"
#include "platform/platform.h"

system_info_record system_info;

int get_os_code() { return os_code_unlisted; }

void query_system_info() {
  system_info.os_code = static_cast<uint8_t>(get_os_code());
  unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) cores = 1;
  system_info.core_count = static_cast<uint8_t>(cores > 255 ? 255 : cores);
  unsigned workers = engine_settings.worker_maximum;
  if (workers > system_info.core_count) workers = system_info.core_count;
  system_info.worker_count = static_cast<uint8_t>(workers < 1 ? 1 : workers);
  int refresh = 0;
  query_desktop_mode(&system_info.desktop_width, &system_info.desktop_height, &system_info.desktop_depth, &refresh);
  system_info.desktop_refresh = refresh < 60 ? -1 : refresh;
  enumerate_monitors();
}

void read_cpu_name() {
  std::memset(system_info.cpu_brand, 0, sizeof system_info.cpu_brand);
#if defined(__x86_64__) || defined(__i386__)
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    int family = (a >> 8) & 15, model = (a >> 4) & 15;
    if (family == 15) family += (a >> 20) & 0xFF;
    if (family == 6 || family >= 15) model += ((a >> 16) & 15) << 4;
    system_info.cpu_family = family;
    system_info.cpu_model = model;
    system_info.cpu_stepping = a & 15;
  }
  if (static_cast<unsigned>(__get_cpuid_max(0x80000000u, nullptr)) >= 0x80000004u) {
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
      unsigned regs[4];
      __get_cpuid(0x80000002u + leaf, &regs[0], &regs[1], &regs[2], &regs[3]);
      std::memcpy(system_info.cpu_brand + leaf * 16, regs, 16);
    }
  }
#endif
}

int disable_desktop_composition() { return -1; }
