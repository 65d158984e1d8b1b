#!/bin/bash
# "zarvik /kxcfg" under Xvfb with openbox: the player starts zarvik-settings
# beside it and ends; the settings window opens on a damaged kxcfg.dat, takes
# keys and clicks, and OK writes both files byte for byte. Screenshots are kept:
#   tests/xvfb/settings_tool.sh BUILD_DIR [OUT_DIR]
# Exits 77 (skipped) when Xvfb, openbox, xwininfo, xdotool or ImageMagick is missing.
set -u
build=$(cd "${1:?build dir}" && pwd)
out=${2:-$build/xvfb-settings-tool}
. "$(dirname "$0")/xvfb_common.sh"
xvfb_setup "$out" Xvfb openbox xwininfo xdotool import python3
slots_hex() {  # slots_hex FILE: the file's bytes in hex
  python3 -c "import sys; print(open(sys.argv[1],'rb').read().hex())" "$1" 2>/dev/null
}

# A game folder with the player and the settings program, and a damaged
# kxcfg.dat: nine slots of 0xFFFFFFFF (slot 1 0xDEADBEEF). Slots 1 and 5
# change nothing and keep their bytes; slot 4 acts on any value (up to four
# workers) and keeps it; the others are out of range and take the defaults.
mkdir -p "$work/game"
ln -s "$build/zarvik" "$work/game/zarvik"
ln -s "$build/zarvik-settings" "$work/game/zarvik-settings"
ln -s "$build/RIRud.so" "$work/game/RIRud.so"
python3 -c "
import struct,sys
s=[0xFFFFFFFF]*9; s[1]=0xDEADBEEF
open(sys.argv[1],'wb').write(struct.pack('<9I',*s))" "$work/game/kxcfg.dat"

xvfb_start 1024x768

# The player only starts the settings program and ends.
# Under the sanitizers the leak check is off for these X clients: SDL's X11
# modules are unloaded before it runs, leaving allocations it cannot name.
ASAN_OPTIONS=detect_leaks=0 SDL_AUDIODRIVER=dummy timeout 20 "$work/game/zarvik" /kxcfg >"$out/player.log" 2>&1
check "zarvik /kxcfg ends" "$?" "0"

# xdotool's name patterns match ASCII only: the title's tail finds it.
title="エンジン設定 - ZARVIK"
pattern=" - ZARVIK\$"
win=""
for _ in $(seq 1 150); do
  win=$(xdotool search --name "$pattern" 2>/dev/null | head -1)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "FAIL: no settings window" >>"$out/checks.txt"; cat "$out/checks.txt"; exit 1; }
pid=$(xdotool getwindowpid "$win" 2>/dev/null)
[ -n "$pid" ] && pids+=("$pid")
sleep 0.5
import -window root "$out/1-opened.png"
check "settings window title" "$(xdotool getwindowname "$win")" "$title"
size=$(xwininfo -id "$win" | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w " x " h}')
check "settings window size" "$size" "760 x 618"

# Keys: the first row (drawing) is focused; two steps right give CPU
# (bilinear). A click on the save-folder row steps it to the user data folder.
xdotool windowactivate --sync "$win" >/dev/null 2>&1
xdotool key --window "$win" Right Right
xdotool mousemove --window "$win" 734 536 click 1
sleep 0.5
import -window root "$out/2-chosen.png"
# OK.
xdotool mousemove --window "$win" 448 587 click 1
for _ in $(seq 1 100); do xdotool search --name "$pattern" >/dev/null 2>&1 || break; sleep 0.1; done
xdotool search --name "$pattern" >/dev/null 2>&1 && check "OK closes the window" open closed || check "OK closes the window" closed closed

expected_cfg=$(python3 -c "
import struct
s=[0]*32
for k,v in {0:1,1:0xDEADBEEF,2:1,3:1,4:0xFFFFFFFF,5:0xFFFFFFFF,8:2,14:1}.items(): s[k]=v
print(struct.pack('<32I',*s).hex())")
expected_sfs=$(python3 -c "
import struct
s=[0]*32; s[21]=1
print(struct.pack('<32I',*s).hex())")
check "kxcfg.dat bytes" "$(slots_hex "$work/game/kxcfg.dat")" "$expected_cfg"
check "kxsfs.dat bytes" "$(slots_hex "$work/game/kxsfs.dat")" "$expected_sfs"
check "game folder entries" "$(ls "$work/game" | tr '\n' ' ')" "RIRud.so kxcfg.dat kxsfs.dat zarvik zarvik-settings "
cat "$out/checks.txt"
exit $fail
