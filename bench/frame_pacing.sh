#!/bin/bash
# Frame pacing of the real player, main-loop mode against frame-thread mode:
# the demo with a timer around its ticks 1..121 (120 frame periods at 60 fps,
# 2000 ms when paced exactly), run under a private Xvfb in CPU drawing.
#   bench/frame_pacing.sh BUILD_DIR SOURCE_DIR [RUNS] [CPUS]
# CPUS (a taskset list) pins the player, e.g. to CPUs that also carry load.
# Prints per run: the ticks' span as the game measured it, then wall, user and
# system time of the whole process (start-up included).
set -u
build=$(cd "${1:?build dir}" && pwd)
source=$(cd "${2:?source dir}" && pwd)
runs=${3:-3}
cpus=${4:-}
for tool in Xvfb python3; do command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }; done
work=$(mktemp -d)
xvfb=""
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
display=:$((500 + RANDOM % 400))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for mode in 0 1; do
  python3 - "$source/demo/main.txt" "$work/m$mode.txt" "$mode" <<'PY'
import sys
s = open(sys.argv[1], encoding="utf-8").read()
s = s.replace("config size 640 480\n", "config size 640 480\nconfig frame_thread %s\n" % sys.argv[3], 1)
s = s.replace("global int frames = 0\n", "global int frames = 0\nglobal int t0 = 0\n", 1)
s = s.replace("*tick\nframes += 1\n", "*tick\nframes += 1\nif frames == 1\n  t0 = clock\nend\n"
              "if frames == 121\n  system_call function=15, text1=\"timing.txt\", text2=str(clock - t0)\n  quit\nend\n", 1)
open(sys.argv[2], "w", encoding="utf-8").write(s)
PY
  mkdir -p "$work/g$mode"
  "$build/kxtool" pictures "$work/f$mode" >/dev/null && "$build/kxtool" sounds "$work/f$mode" >/dev/null &&
    "$build/kxtool" asm "$work/m$mode.txt" "$work/f$mode" >/dev/null &&
    "$build/kxtool" pack "$work/f$mode" "$work/g$mode/game.kpf" >/dev/null || exit 1
  # kxcfg.dat: slot 8 = 2, CPU drawing; every other slot keeps its default.
  python3 -c "import struct,sys; s=[0xFFFFFFFF]*9; s[8]=2; open(sys.argv[1],'wb').write(struct.pack('<9I',*s))" \
    "$work/g$mode/kxcfg.dat"
  ln -s "$build/zarvik" "$work/g$mode/zarvik"
  ln -s "$build/RIRud.so" "$work/g$mode/RIRud.so"
done
sleep 1
pin=()
[ -n "$cpus" ] && pin=(taskset -c "$cpus")
for run in $(seq 1 "$runs"); do
  for mode in 0 1; do
    rm -f "$work/g$mode/timing.txt"
    (cd "$work/g$mode" && DISPLAY=$display SDL_AUDIODRIVER=dummy /usr/bin/time -o "$work/time.txt" \
      -f "wall %e s, user %U s, sys %S s" timeout -s KILL 20 "${pin[@]}" ./zarvik >/dev/null 2>&1)
    label=$([ $mode = 1 ] && echo "frame thread" || echo "main loop   ")
    echo "run $run $label: ticks 1..121 $(cat "$work/g$mode/timing.txt" 2>/dev/null || echo '?') ms; $(cat "$work/time.txt")"
  done
done
