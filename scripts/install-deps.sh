#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the
# demo need. Idempotent: does nothing when all are present.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ clang pkg-config
  # engine dependencies
  zlib1g-dev libpng-dev libjpeg62-turbo-dev libogg-dev libvorbis-dev
  # platform backends
  libsdl2-dev libfreetype-dev libfontconfig-dev fonts-ipafont-gothic fonts-ipafont-mincho
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libegl-dev libgles-dev
  libegl-mesa0 libgles2 libgl1-mesa-dri  # OpenGL ES over EGL: llvmpipe without a GPU, headless too
  # making test movies and the demo's movie; the decode benchmark's baseline
  ffmpeg
  # tests, fuzzing and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev libpixman-1-dev libstb-dev
  libgif-dev libpng-tools libjpeg-turbo-progs sox libsox-fmt-all ffmpeg lua5.4 liblua5.4-dev
  # running the real window without a display, and driving it in tests
  xvfb xdotool x11-apps imagemagick
  # a small window manager and xwininfo for the window-command checks under Xvfb
  openbox x11-utils libx11-dev libxext-dev
  # the clipboard and the folder chooser of the desktop (system services)
  xclip zenity
  # the tray icon: a system tray to dock into under Xvfb
  trayer
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
