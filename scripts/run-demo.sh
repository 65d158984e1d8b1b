#!/usr/bin/env bash
# Runs the player on the demo game. Until the demo game is built this makes an
# empty game folder under the build directory, links the player and its
# compression library into it and starts the player there: a window titled
# ZARVIK that ticks until it is closed.
set -euo pipefail
build=${1:-build/release}
build=$(cd "$build" && pwd)
game="$build/game"
mkdir -p "$game"
ln -sfn "$build/zarvik" "$game/zarvik"
ln -sfn "$build/RIRud.so" "$game/RIRud.so"
exec "$game/zarvik" "${@:2}"
