#!/usr/bin/env bash
# Runs the player on the demo game: the build makes build/demo/demo.kpf (the
# listing demo/main.txt and the pictures kxtool draws, see demo/CMakeLists.txt);
# this puts it in a game folder under the build directory with the player and
# its compression library and starts the player there: a window titled ZARVIK
# that plays its opening movie once, then shows layers that move, fade and
# blend until it is closed.
set -euo pipefail
build=${1:-build/release}
build=$(cd "$build" && pwd)
game="$build/game"
mkdir -p "$game"
cmake --build "$build" --target demo >/dev/null
cp "$build/demo/demo.kpf" "$game/demo.kpf"
# The opening movie is a loose file of the game folder.
if [ -f "$build/demo/movie/opening.mpg" ]; then
  mkdir -p "$game/movie"
  cp "$build/demo/movie/opening.mpg" "$game/movie/opening.mpg"
fi
ln -sfn "$build/zarvik" "$game/zarvik"
# The settings program beside the player: "zarvik /kxcfg" starts it.
ln -sfn "$build/zarvik-settings" "$game/zarvik-settings"
ln -sfn "$build/RIRud.so" "$game/RIRud.so"
# The demo's own engine settings (kxcfg.dat, 32 little-endian slots), unless
# the user made other ones: CPU drawing with smoothing (slot 8 = 2), so no
# GPU fall-back box greets the player; every other slot keeps its default.
if [ ! -e "$game/kxcfg.dat" ]; then
  slots=(1 0 1 1 4 0 0 0 2 0 0 0 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0)
  for v in "${slots[@]}"; do printf "\\x$(printf %02x "$v")\\x00\\x00\\x00"; done > "$game/kxcfg.dat"
fi
exec "$game/zarvik" "${@:2}"
