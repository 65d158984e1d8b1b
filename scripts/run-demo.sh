#!/usr/bin/env bash
# Runs the player on the demo game: makes a game folder under the build
# directory, assembles demo/main.txt into its pack, links the player and its
# compression library into it and starts the player there: a window titled
# ZARVIK that runs the demo's scripts until it is closed.
set -euo pipefail
build=${1:-build/release}
build=$(cd "$build" && pwd)
game="$build/game"
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$game"
"$build/kxtool" asm "$root/demo/main.txt" "$game/demo.kpf"
ln -sfn "$build/zarvik" "$game/zarvik"
ln -sfn "$build/RIRud.so" "$game/RIRud.so"
exec "$game/zarvik" "${@:2}"
