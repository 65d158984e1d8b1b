#include "core/system_info.h"

#include <cstring>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "core/engine_state.h"
#include "core/info_log.h"
#include "core/settings.h"
#include "core/sjis.h"
#include "platform/platform.h"

system_info_record system_info;

int os_code_for_build(uint32_t build) {
  struct row {
    uint16_t build;
    uint8_t code;
  };
  static const row table[] = {
      {950, 1},   {1111, 2},  {1212, 3},  {1214, 4},  {1057, 12}, {1381, 13}, {1998, 20}, {2222, 21},
      {3000, 30}, {2195, 40}, {2211, 45}, {2223, 45}, {2239, 45}, {2247, 45}, {2250, 45}, {2257, 45},
      {2600, 50}, {3790, 60}, {5219, 65}, {5260, 65}, {5270, 65}, {5381, 65}, {5384, 65}, {5536, 65},
      {5568, 65}, {5600, 65}, {5743, 65}, {6000, 70}, {6001, 70}, {6002, 70}, {6801, 80}, {7000, 80},
      {7100, 80}, {7600, 80}, {8158, 90}, {8250, 90}, {8375, 90}, {9200, 90}, {9374, 91}, {9600, 91},
  };
  const uint32_t low = build & 0xFFFFu;
  for (const row& r : table)
    if (r.build == low) return r.code;
  return os_code_unlisted;
}

// This platform has no build number of the systems the table lists.
int get_os_code() { return os_code_unlisted; }

void query_system_info() {
  system_info.os_code = static_cast<uint8_t>(get_os_code());
  unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) cores = 1;
  system_info.core_count = static_cast<uint8_t>(cores > 255 ? 255 : cores);
  unsigned workers = engine_settings.worker_maximum;
  if (workers > system_info.core_count) workers = system_info.core_count;
  system_info.worker_count = static_cast<uint8_t>(workers < 1 ? 1 : workers);
  int width = 0, height = 0, depth = 0, refresh = 0;
  Ui* ui = platform_installed() ? platform().ui : nullptr;
  if (!ui || !ui->desktop_mode(&width, &height, &depth, &refresh) || width <= 0 || height <= 0) {
    // No display to ask (a tool run): a common desktop.
    width = 1920, height = 1080, depth = 32, refresh = 60;
  }
  system_info.desktop_width = width;
  system_info.desktop_height = height;
  system_info.desktop_depth = depth;
  system_info.desktop_refresh = refresh < 60 ? -1 : refresh;
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

// ---------------------------------------------------------------- environment report

const char* sound_format_name(uint32_t f) {
  if (f & (wave_4m16 | wave_4s16)) return "44.1kHz(16-bit)";
  if (f & (wave_4m08 | wave_4s08)) return "44.1kHz(8-bit)";
  if (f & (wave_2m16 | wave_2s16)) return "22.05kHz(16-bit)";
  if (f & (wave_2m08 | wave_2s08)) return "22.05kHz,(8-bit)";
  if (f & (wave_1m16 | wave_1s16)) return "11.025kHz(16-bit)";
  if (f & (wave_1m08 | wave_1s08)) return "11.025kHz(8-bit)";
  return "Disable";
}

uint32_t sound_formats_of(int rate, int bits) {
  uint32_t f = 0;
  const bool b16 = bits >= 16, b8 = bits >= 8;
  // Each rate step holds its mono and stereo bits, 8-bit first.
  const int rates[3] = {11025, 22050, 44100};
  for (int i = 0; i < 3; ++i) {
    if (rate < rates[i]) continue;
    const uint32_t base = 1u << (i * 4);
    if (b8) f |= base * 0x3;
    if (b16) f |= base * 0xC;
  }
  return f;
}

void write_environment_report(const environment_facts& e) {
  platform().files->remove_file("info.txt");
  static const std::string mark = utf8_to_sjis("▼");
  write_info_log("", "OS_VER = %d", e.os_code);
  write_info_log("", "CPU_NAME = %s", e.cpu_name);
  write_info_log("", "CPU_MMX = %d", e.mmx);
  write_info_log("", "CPU_SSE = %d", e.sse);
  write_info_log("", "CPU_SSE2 = %d", e.sse2);
  write_info_log("", "CPU_CORENUM = %d", e.cores);
  write_info_log("", "CPU_COREUSE = %d", e.workers);
  write_info_log("", "DirectX_VER = %d", static_cast<int64_t>(e.directx_version));
  // Megabytes of a 64-bit count: machines with more than 4 GB report it whole.
  write_info_log("", "MEM_TOTAL = %llu MB", static_cast<int64_t>(e.memory_total >> 20));
  write_info_log("", "MEM_AVAIL = %llu MB", static_cast<int64_t>(e.memory_available >> 20));
  write_info_log("", "SCREEN = %d x %d x %d bit (%dHz)", e.desktop_width, e.desktop_height, e.desktop_depth,
                 e.desktop_refresh);
  write_info_log("", "ADMIN = %d", e.admin);
  write_info_log("", "VIDEO");
  if (!e.displays_known) {
    write_info_log("", "EnumDisplayDevicesA Not Found.");
  } else {
    for (const environment_display& d : e.displays)
      write_info_log("", mark + " Name: %s [%s] %s%s", d.device_name, d.device_string, d.attached ? "D" : "",
                     d.primary ? "P" : "");
  }
  for (const std::string& line : e.gpu_lines) write_info_log("", "%s", line);
  write_info_log("", "SOUND[OUTPUT]");
  for (size_t i = 0; i < e.outputs.size(); ++i)
    write_info_log("", mark + " Name: %s, %d, %s, %s", e.outputs[i].name, static_cast<int64_t>(i),
                   sound_format_name(e.outputs[i].formats), e.outputs[i].channels >= 2 ? "Stereo" : "Mono");
  write_info_log("", "SOUND[INPUT]");
  for (size_t i = 0; i < e.inputs.size(); ++i)
    write_info_log("", mark + " Name: %s, %d, %s, %s", e.inputs[i].name, static_cast<int64_t>(i),
                   sound_format_name(e.inputs[i].formats), e.inputs[i].channels >= 2 ? "Stereo" : "Mono");
  write_info_log("", "DISPLAYMODE");
  for (const environment_mode& m : e.modes)
    if (m.depth > 8)
      write_info_log("", "[%3d]%4dx%4d %2d bit (%d Hz)", m.index, m.width, m.height, m.depth, m.refresh);
}
