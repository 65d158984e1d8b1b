#!/usr/bin/env bash
# Runs the player on the built demo game.
set -euo pipefail
build=${1:-build/release}
exec "$build/zarvik"
