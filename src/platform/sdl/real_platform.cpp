#include "platform/sdl/real_platform.h"

#include <SDL2/SDL.h>

#include <cstdio>

RealPlatform::RealPlatform(int argc, char** argv, const sdl_ui_options& ui_options)
    : process(std::make_unique<PosixProcess>(argc, argv)) {
  std::string program = process->program_path_host();
  size_t slash = program.find_last_of('/');
  game_folder_host = slash == std::string::npos ? std::string("./") : program.substr(0, slash + 1);
  libraries = std::make_unique<PosixDynamicLibrary>(game_folder_host);
  files = std::make_unique<PosixHostFiles>(game_folder_host);
  ui = std::make_unique<SdlUi>(ui_options);
  audio = std::make_unique<SdlAudioDevice>();
  fonts = std::make_unique<FreeTypeFontRasterizer>();
  // Scripts may also write to the per-user data and temporary folders.
  files->add_write_root(process->user_data_folder_host());
  files->add_write_root(process->temp_folder_host());
  services.clock = &clock;
  services.files = files.get();
  services.process = process.get();
  services.libraries = libraries.get();
  services.ui = ui.get();
  services.audio = audio.get();
  services.fonts = fonts.get();
  services.shared_memory = &shared_memory;
  services.flash = &flash;
  // A second start's raise request reaches the frame loop as an event.
  SdlUi* u = ui.get();
  process->set_raise_listener([u] {
    ui_event e;
    e.message = msg_raise_request;
    u->post_event(e);
  });
  install_platform(&services);
}

RealPlatform::~RealPlatform() {
  process->set_raise_listener({});
  process->release_single_instance();
  if (platform_installed() && &platform() == &services) install_platform(nullptr);
  audio.reset();
  fonts.reset();
  ui.reset();
  SDL_Quit();
}

std::unique_ptr<RealPlatform> make_real_platform(int argc, char** argv, const sdl_ui_options& ui_options) {
  auto p = std::make_unique<RealPlatform>(argc, argv, ui_options);
  if (!p->ui->ready()) {
    std::fprintf(stderr, "zarvik: the video system could not be started: %s\n", SDL_GetError());
    return nullptr;
  }
  return p;
}
