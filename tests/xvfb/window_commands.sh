#!/bin/bash
# Runs the player on tests/xvfb/window_commands.txt under Xvfb with openbox as
# the window manager, follows the phases the game names in its title, checks
# the windows' geometry with xwininfo and keeps a screenshot of each phase:
#   tests/xvfb/window_commands.sh BUILD_DIR SOURCE_DIR [OUT_DIR]
# Exits 77 (skipped) when Xvfb, openbox, xwininfo, xdotool or ImageMagick is missing.
set -u
build=$(cd "${1:?build dir}" && pwd)
source=$(cd "${2:?source dir}" && pwd)
out=${3:-$build/xvfb-window-commands}
. "$(dirname "$0")/xvfb_common.sh"
xvfb_setup "$out" Xvfb openbox xwininfo xdotool xprop import convert python3

# The game: the listing, three pictures and the settings (kxcfg.dat slot 7 =
# 2, the game stretched over the screen, so full screen keeps the desktop mode;
# slot 8 = 2, CPU drawing, so no GPU fall-back box waits for an answer).
mkdir -p "$work/files/cg" "$work/game"
convert -size 640x480 gradient:'#203060'-'#c0a040' -fill '#e04040' -draw 'rectangle 40,40 200,200' \
  BMP3:"$work/files/cg/bg.bmp"
convert -size 640x480 xc:black -fill white -draw 'circle 320,240 320,20' BMP3:"$work/files/cg/shape.bmp"
convert -size 320x240 gradient:'#40c040'-'#4040c0' BMP3:"$work/files/cg/sub.bmp"
"$build/kxtool" asm "$source/tests/xvfb/window_commands.txt" "$work/files" >/dev/null || exit 1
"$build/kxtool" pack "$work/files" "$work/game/game.kpf" >/dev/null || exit 1
python3 -c "
import struct,sys
slots=[0xFFFFFFFF]*9; slots[7]=2; slots[8]=2
open(sys.argv[1],'wb').write(struct.pack('<9I',*slots))" "$work/game/kxcfg.dat"
ln -s "$build/zarvik" "$work/game/zarvik"
ln -s "$build/RIRud.so" "$work/game/RIRud.so"

xvfb_start 1280x1024
SDL_AUDIODRIVER=dummy "$work/game/zarvik" >"$out/player.log" 2>&1 &
player=$!
pids+=($player)

wait_title() {  # the window named $1, within 15 s
  local id=""
  for _ in $(seq 1 150); do
    id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
geometry() {  # x y width height of a window's client, as xwininfo reports it
  xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}'
}
frame_corner() {  # the outer corner of the window manager's frame
  xwininfo -frame -id "$1" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} END{print x, y}'
}
shot() { sleep 0.3; import -window root "$out/$1.png"; }

main=$(wait_title "WMTEST 1") || { echo "FAIL: no main window" >>"$out/checks.txt"; cat "$out/checks.txt"; exit 1; }
shot 1-windowed
read -r x y w h <<<"$(geometry "$main")"
check "windowed main window size" "$w x $h" "640 x 480"

wait_title "WMTEST 2" >/dev/null || check "phase 2" missing present
shot 2-fullscreen
read -r x y w h <<<"$(geometry "$main")"
check "full screen covers the screen" "$x $y $w $h" "0 0 1280 1024"

wait_title "WMTEST 3" >/dev/null || check "phase 3" missing present
shot 3-windowed-again
read -r x y w h <<<"$(geometry "$main")"
check "back to the window size" "$w x $h" "640 x 480"
fixed_hints() {  # the window manager's size hints: smallest and largest size
  xprop -id "$1" WM_NORMAL_HINTS | awk '/minimum size/{min=$5" x "$7} /maximum size/{max=$5" x "$7} END{print min" / "max}'
}
read -r _ _ w0 h0 <<<"$(geometry "$main")"
echo "client before maximise: $w0 x $h0" >>"$out/checks.txt"
check "fixed-size main window (min / max)" "$(fixed_hints "$main")" "640 x 480 / 640 x 480"

wait_title "WMTEST 3 maximised" >/dev/null || check "phase 3 maximised" missing present
shot 3m-maximised
read -r x y w h <<<"$(geometry "$main")"
echo "client maximised: $w x $h at $x $y" >>"$out/checks.txt"
# The largest client of 4:3 on the 1280 x 1024 screen is 1280 x 960; the
# title bar leaves less than that, so the height is what the screen leaves.
grew=no
[ "$w" -gt 640 ] && [ "$h" -gt 480 ] && grew=yes
check "maximise by command 92 grows the client ($w x $h)" "$grew" yes
state=$(xprop -id "$main" _NET_WM_STATE)
case "$state" in *_NET_WM_STATE_MAXIMIZED_VERT*) m=yes ;; *) m=no ;; esac
check "the window manager holds it maximised" "$m" yes

wait_title "WMTEST 3 restored" >/dev/null || check "phase 3 restored" missing present
shot 3r-restored
read -r x y w h <<<"$(geometry "$main")"
check "restored to the window size" "$w x $h" "640 x 480"
# The sizing border added for the maximise goes again after the restore.
check "fixed size again after the restore (min / max)" "$(fixed_hints "$main")" "640 x 480 / 640 x 480"

wait_title "WMTEST 4" >/dev/null || check "phase 4" missing present
sub=$(wait_title "WMTEST sub") || check "sub window" missing present
shot 4-sub-window
read -r x y w h <<<"$(geometry "$sub")"
check "sub window size" "$w x $h" "320 x 240"
# A new window is placed by the window manager's rules for a first mapping:
# its frame lands within a frame's width of the corner asked for.
read -r fx fy <<<"$(frame_corner "$sub")"
near=no
[ $((fx - 700)) -ge 0 ] && [ $((fx - 700)) -le 32 ] && [ $((fy - 100)) -ge 0 ] && [ $((fy - 100)) -le 32 ] && near=yes
check "sub window outer corner near 700 100 ($fx $fy)" "$near" yes

wait_title "WMTEST 5" >/dev/null || check "phase 5" missing present
moved=$(wait_title "WMTEST moved") || check "retitled sub window" missing present
shot 5-moved
check "moved sub window outer corner" "$(frame_corner "$moved")" "120 560"

wait_title "WMTEST 6" >/dev/null || check "phase 6" missing present
shot 6-faded-and-shaped
# The fade is the window's opacity property (a compositor would show it).
opacity=$(xprop -id "$moved" _NET_WM_WINDOW_OPACITY 2>/dev/null | awk '{printf "%d", $3 * 255 / 4294967295 + 0.5}')
check "sub window opacity (of 255)" "$opacity" "96"
# The main window's shape: the white disc of the shape layer (radius 220 round
# the picture's centre); a corner of the client is cut away, the centre stays.
xwininfo -shape -id "$main" >"$out/shape.txt"
extents=$(awk '/Window shape extents:/{print $4}' "$out/shape.txt")
read -r x y w h <<<"$(geometry "$main")"
check "shape extents round the disc" "$extents" "441x441+100+20"
screen_corner=$(convert "$out/6-faded-and-shaped.png" -crop "1x1+$((x + 5))+$((y + 5))" -format '%[hex:p{0,0}]' info:)
screen_centre=$(convert "$out/6-faded-and-shaped.png" -crop "1x1+$((x + 320))+$((y + 240))" -format '%[hex:p{0,0}]' info:)
check "the cut corner shows the (black) desktop" "$screen_corner" "000000"
[ "$screen_centre" != "000000" ] && check "the disc shows the game" yes yes || check "the disc shows the game" black "a colour"

for _ in $(seq 1 150); do kill -0 "$player" 2>/dev/null || break; sleep 0.1; done
kill -0 "$player" 2>/dev/null && check "quit ends the player" running ended || check "quit ends the player" ended ended
cat "$out/checks.txt"
exit $fail
