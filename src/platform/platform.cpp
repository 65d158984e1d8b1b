#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace {
Platform* installed_platform = nullptr;
}

Platform& platform() {
  if (!installed_platform) {
    std::fputs("zarvik: no platform installed\n", stderr);
    std::abort();
  }
  return *installed_platform;
}

void install_platform(Platform* p) { installed_platform = p; }

bool platform_installed() { return installed_platform != nullptr; }

void prefer_large_pages(void* data, size_t size) {
  if (installed_platform && installed_platform->memory) installed_platform->memory->prefer_large_pages(data, size);
}

namespace {
struct gpu_choice_name_entry {
  gpu_choice choice;
  const char* name;
};
constexpr gpu_choice_name_entry gpu_choice_names[] = {{gpu_choice::automatic, "auto"},
                                                      {gpu_choice::cpu_only, "cpu"},
                                                      {gpu_choice::hardware, "hardware"},
                                                      {gpu_choice::llvmpipe, "llvmpipe"},
                                                      {gpu_choice::software, "software"}};
}  // namespace

bool parse_gpu_choice(const std::string& name, gpu_choice& out) {
  for (const auto& e : gpu_choice_names)
    if (name == e.name) {
      out = e.choice;
      return true;
    }
  return false;
}

const char* gpu_choice_name(gpu_choice choice) {
  for (const auto& e : gpu_choice_names)
    if (e.choice == choice) return e.name;
  return "auto";
}

std::string game_folder_tag(const std::string& game_folder_host) {
  std::string base = game_folder_host;
  while (!base.empty() && base.back() == '/') base.pop_back();
  base = base.substr(base.find_last_of('/') + 1);
  if (base.empty()) base = "game";
  uint32_t hash = 2166136261u;  // FNV-1a of the whole folder, as written
  for (unsigned char c : game_folder_host) hash = (hash ^ c) * 16777619u;
  char text[16];
  std::snprintf(text, sizeof text, "-%08x", hash);
  return base + text;
}

std::string game_registry_file_host(const std::string& config_folder_host, const std::string& game_folder_host) {
  return config_folder_host + "zarvik/registry/" + game_folder_tag(game_folder_host) + ".txt";
}
