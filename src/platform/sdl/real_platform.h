// The real platform: every service with its real backend, for main().
#pragma once
#include <memory>

#include "platform/ffmpeg/ffmpeg_movie.h"
#include "platform/freetype/freetype_fonts.h"
#include "platform/gpu/gpu_system.h"
#include "platform/platform.h"
#include "platform/posix/clock.h"
#include "platform/posix/dynamic_library.h"
#include "platform/posix/host_files.h"
#include "platform/posix/memory_hints.h"
#include "platform/posix/process.h"
#include "platform/posix/no_flash.h"
#include "platform/posix/shared_memory.h"
#include "platform/sdl/sdl_audio.h"
#include "platform/sdl/sdl_ui.h"

// Owns the backends; installs them on creation and uninstalls them (and shuts
// SDL down) when destroyed. Create and destroy it on the main thread.
struct RealPlatform {
  RealPlatform(int argc, char** argv, const sdl_ui_options& ui_options);
  ~RealPlatform();
  RealPlatform(const RealPlatform&) = delete;
  RealPlatform& operator=(const RealPlatform&) = delete;

  Platform services;
  // The folder of the program path (ending in '/'), links not resolved:
  // the folder a linked player was started from is the game folder.
  std::string game_folder_host;
  PosixClock clock;
  // Hardware OpenGL ES, then llvmpipe, then our rasteriser, unless the user
  // chose one (--gpu=NAME as the first argument, or ZARVIK_GPU).
  StandardGpuSystem gpu;
  std::unique_ptr<PosixProcess> process;
  std::unique_ptr<PosixDynamicLibrary> libraries;
  std::unique_ptr<PosixHostFiles> files;
  std::unique_ptr<SdlUi> ui;
  std::unique_ptr<SdlAudioDevice> audio;
  std::unique_ptr<FreeTypeFontRasterizer> fonts;
  std::unique_ptr<AudioDecoder> audio_decoder;
  PosixSharedMemory shared_memory;
  std::unique_ptr<FfmpegMoviePlayer> movies;
  NoFlashBackend flash;
  PosixMemoryHints memory;
};

// Null when SDL's video cannot start even with the offscreen driver (the
// reason is printed to stderr).
std::unique_ptr<RealPlatform> make_real_platform(int argc, char** argv, const sdl_ui_options& ui_options = {});
