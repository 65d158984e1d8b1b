#!/bin/bash
# Runs the player's window demo (coloured layers, real input) under Xvfb,
# drives it with xdotool and takes screenshots with ImageMagick's import:
#   xvfb-run -s '-screen 0 1280x1024x24' scripts/window-demo.sh BUILD_DIR OUT_DIR
# OUT_DIR receives layers.png, input.png, scaled.png, confirm.png, after-no.png,
# demo.log (what the engine saw) and driver.log.
set -u
build=${1:-build/release}
out=${2:-/tmp/zarvik-window-demo}
mkdir -p "$out"
export ZARVIK_WINDOW_DEMO=1 ZARVIK_DEMO_SECONDS=40 ZARVIK_DEMO_SCALE=1
"$build/tests/test_platform" --gtest_filter='PlayerWindowDemo.*' >"$out/demo.log" 2>&1 &
pid=$!
win=""
for _ in $(seq 1 100); do
  win=$(xdotool search --name zarvik 2>/dev/null | head -1)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "no window"; kill "$pid"; exit 1; }
sleep 0.3
eval "$(xdotool getwindowgeometry --shell "$win")"  # X, Y, WIDTH, HEIGHT
echo "window $win at $X,$Y size ${WIDTH}x$HEIGHT" >>"$out/driver.log"
import -window root "$out/layers.png"
# Focus, then keys and mouse.
xdotool windowfocus --sync "$win" 2>/dev/null || xdotool windowfocus "$win"
xdotool mousemove $((X + 200)) $((Y + 150))
sleep 0.2
xdotool keydown a
sleep 0.2
xdotool mousedown 1
sleep 0.2
import -window root "$out/input.png"
xdotool mouseup 1
xdotool keyup a
xdotool click 4
sleep 0.1
xdotool click 5
xdotool keydown space; sleep 0.1; xdotool keyup space
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")"
echo "window now ${WIDTH}x$HEIGHT" >>"$out/driver.log"
import -window root "$out/scaled.png"
# A signal asks like the close button (SIGTERM: a background job ignores
# SIGINT): the confirmation appears. First "いいえ" (Escape): the game goes on.
kill -TERM "$pid"
sleep 1.5
import -window root "$out/confirm.png"
box_of() { xwininfo -root -children | awk -v main="$(printf '0x%x' "$win")" '$1 ~ /^0x/ && $1 != main && /zarvik/ {print $1; exit}'; }
box=$(box_of)
echo "confirmation window: ${box:-none}" >>"$out/driver.log"
[ -n "$box" ] && xdotool windowfocus "$box" 2>/dev/null
xdotool key Escape
sleep 1
kill -0 "$pid" 2>/dev/null && echo "after No: still running" >>"$out/driver.log"
# Without a window manager nobody gives the focus back after the box.
xdotool windowfocus "$win" 2>/dev/null
xdotool mousemove $((X + 500)) $((Y + 400))
sleep 0.3
import -window root "$out/after-no.png"
# Again, and "はい" (Return, the default button) ends the player.
kill -TERM "$pid"
sleep 1.5
box=$(box_of)
[ -n "$box" ] && xdotool windowfocus "$box" 2>/dev/null
xdotool key Return
for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { echo "still running" >>"$out/driver.log"; kill "$pid"; }
wait "$pid"
echo "exit $?" >>"$out/driver.log"
