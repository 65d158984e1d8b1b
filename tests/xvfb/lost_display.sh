#!/bin/bash
# The player loses its X display: once its connection is killed (xkill's way,
# xdotool windowkill), once the X server itself ends. Either way it ends with
# status 1 and a line in info.txt, never an abort:
#   tests/xvfb/lost_display.sh BUILD_DIR [OUT_DIR]
# Exits 77 (skipped) when Xvfb, openbox, xdotool or python3 is missing.
set -u
build=$(cd "${1:?build dir}" && pwd)
out=${2:-$build/xvfb-lost-display}
. "$(dirname "$0")/xvfb_common.sh"
xvfb_setup "$out" Xvfb openbox xwininfo xdotool python3

mkdir -p "$work/files"
printf 'config title "LOSTDISPLAY"\nconfig size 320 240\nconfig window_kind 1\nscript main.txt\n*SYSTEM_START\n*idle\nwait 1\ngoto idle\n' \
  >"$work/main.txt"
"$build/kxtool" asm "$work/main.txt" "$work/files" >/dev/null || exit 1

# One run: how the display goes ("client" or "server").
run_case() {
  local how=$1 game="$work/$1"
  mkdir -p "$game"
  "$build/kxtool" pack "$work/files" "$game/game.kpf" >/dev/null || exit 1
  # CPU drawing (kxcfg.dat slot 8 = 2): no GPU fall-back box waits for an answer.
  python3 -c "
import struct,sys
slots=[0xFFFFFFFF]*9; slots[8]=2
open(sys.argv[1],'wb').write(struct.pack('<9I',*slots))" "$game/kxcfg.dat"
  ln -s "$build/zarvik" "$game/zarvik"
  ln -s "$build/RIRud.so" "$game/RIRud.so"
  xvfb_start 800x600
  local display=$DISPLAY server=$xvfb_pid
  (cd "$game" && DISPLAY=$display SDL_AUDIODRIVER=dummy ./zarvik >"$out/$how.log" 2>&1)&
  local player=$!
  local id=""
  for _ in $(seq 1 150); do
    id=$(DISPLAY=$display xdotool search --name '^LOSTDISPLAY$' 2>/dev/null | head -1)
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { check "$how: the window appears" missing present; return; }
  sleep 1
  if [ "$how" == client ]; then DISPLAY=$display xdotool windowkill "$id"; else kill "$server"; fi
  local status=running
  for _ in $(seq 1 100); do kill -0 "$player" 2>/dev/null || break; sleep 0.1; done
  if ! kill -0 "$player" 2>/dev/null; then wait "$player"; status=$?; fi
  check "$how: the player ends with status 1" "$status" 1
  grep -q 'terminate called' "$out/$how.log" && check "$how: no abort" abort none || check "$how: no abort" none none
  local line
  line=$(grep -a -c "X connection to $display lost. The player ends." "$game/info.txt" 2>/dev/null)
  check "$how: info.txt says the connection was lost" "${line:-0}" 1
  kill "$server" 2>/dev/null
}

run_case client
run_case server
cat "$out/checks.txt"
exit $fail
