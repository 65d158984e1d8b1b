#include "app/environment_report.h"

#include <algorithm>
#include <cstdio>

#include "app/screen_modes.h"
#include "core/sjis.h"
#include "graphics/pixel_kernels.h"
#include "platform/platform.h"

environment_report_hook_table environment_report_hooks;

environment_facts collect_environment_facts() {
  environment_facts e;
  e.os_code = system_info.os_code;
  e.cpu_name = system_info.cpu_brand;
  e.mmx = static_cast<int>(pixel_kernels.mmx);
  e.sse = static_cast<int>(pixel_kernels.sse);
  e.sse2 = static_cast<int>(pixel_kernels.sse2);
  e.cores = system_info.core_count;
  e.workers = system_info.worker_count;
  e.directx_version = system_info.directx_version;
  e.desktop_width = system_info.desktop_width;
  e.desktop_height = system_info.desktop_height;
  e.desktop_depth = system_info.desktop_depth;
  e.desktop_refresh = system_info.desktop_refresh;
  if (Process* process = platform().process) {
    uint32_t load_percent = 0;
    process->memory_status(&e.memory_total, &e.memory_available, &load_percent);
    e.admin = process->is_administrator() ? 1 : 0;
  }
  Ui* ui = platform().ui;
  const int displays = ui ? ui->display_count() : 0;
  e.displays_known = displays > 0;
  for (int i = 0; i < displays; ++i) {
    ui_display d;
    if (!ui->display_info(i, d)) continue;
    environment_display out;
    char name[32];
    std::snprintf(name, sizeof name, "DISPLAY%d", i + 1);
    out.device_name = name;
    out.device_string = utf8_to_sjis(d.name);
    out.primary = i == 0;
    e.displays.push_back(out);
  }
  if (environment_report_hooks.gpu_lines) environment_report_hooks.gpu_lines(e.gpu_lines);
  if (AudioDevice* audio = platform().audio) {
    for (int recording = 0; recording < 2; ++recording) {
      for (const audio_device_info& d : audio->list_devices(recording != 0)) {
        environment_sound_device s;
        s.name = utf8_to_sjis(d.name);
        s.formats = sound_formats_of(d.rate, d.bits);
        s.channels = d.channels;
        (recording ? e.inputs : e.outputs).push_back(s);
      }
    }
  }
  // The primary display's modes, by their index in its list.
  for (int i = 0, n = ui ? std::min(ui->display_mode_count(0), 10000) : 0; i < n; ++i) {
    ui_display_mode m;
    if (ui->display_mode(0, i, m)) e.modes.push_back({i, m.width, m.height, m.depth, m.refresh});
  }
  return e;
}

void write_environment_report() {
  read_cpu_name();
  write_environment_report(collect_environment_facts());
}
