#include "platform/sdl/real_platform.h"

#include <SDL2/SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
// "--gpu=NAME" as the first argument wins over ZARVIK_GPU; a name that is not
// a backend's is reported and ignored.
gpu_choice choose_gpu(int argc, char** argv) {
  gpu_choice choice = gpu_choice::automatic;
  std::string name;
  if (const char* env = std::getenv("ZARVIK_GPU")) name = env;
  if (argc > 1 && std::strncmp(argv[1], "--gpu=", 6) == 0) name = argv[1] + 6;
  if (!name.empty() && !parse_gpu_choice(name, choice))
    std::fprintf(stderr, "zarvik: unknown GPU backend '%s' (auto, cpu, hardware, llvmpipe, software)\n", name.c_str());
  return choice;
}

// The GPU choice is the player's own option, not one of the game's arguments.
int strip_gpu_argument(int argc, char** argv) {
  if (argc > 1 && std::strncmp(argv[1], "--gpu=", 6) == 0) {
    for (int i = 1; i + 1 < argc; ++i) argv[i] = argv[i + 1];
    return argc - 1;
  }
  return argc;
}
}  // namespace

#include "platform/ffmpeg/ffmpeg_audio_decoder.h"

RealPlatform::RealPlatform(int argc, char** argv, const sdl_ui_options& ui_options)
    : gpu(choose_gpu(argc, argv)) {
  process = std::make_unique<PosixProcess>(strip_gpu_argument(argc, argv), argv);
  std::string program = process->program_path_host();
  size_t slash = program.find_last_of('/');
  game_folder_host = slash == std::string::npos ? std::string("./") : program.substr(0, slash + 1);
  libraries = std::make_unique<PosixDynamicLibrary>(game_folder_host);
  files = std::make_unique<PosixHostFiles>(game_folder_host);
  // SIGINT and SIGTERM are the player's own (termination.h): SDL would turn
  // them into a quit event, which asks the close question.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  ui = std::make_unique<SdlUi>(ui_options);
  audio = std::make_unique<SdlAudioDevice>();
  fonts = std::make_unique<FreeTypeFontRasterizer>();
  audio_decoder = make_ffmpeg_audio_decoder();
  movies = std::make_unique<FfmpegMoviePlayer>(ui.get(), audio.get(), &clock);
  // Besides the game and save folders scripts change only the player's own
  // folders of this game.
  set_own_folders(*files, *process);
  services.clock = &clock;
  services.files = files.get();
  services.process = process.get();
  services.libraries = libraries.get();
  services.ui = ui.get();
  services.audio = audio.get();
  services.fonts = fonts.get();
  services.audio_decoder = audio_decoder.get();
  services.shared_memory = &shared_memory;
  services.gpu = &gpu;
  services.movies = movies.get();
  services.flash = &flash;
  services.memory = &memory;
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
  movies.reset();
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
