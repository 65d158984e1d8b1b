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
ln -sfn "$build/RIRud.so" "$game/RIRud.so"
exec "$game/zarvik" "${@:2}"
