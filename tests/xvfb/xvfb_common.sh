# Shared by the Xvfb test scripts (sourced): the tools check, a private work
# folder, the processes to end on exit, and the check log in "$out".
#   xvfb_setup OUT_DIR TOOL...   exits 77 (skipped) when a tool is missing
xvfb_setup() {
  out=$1
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
  mkdir -p "$out"
  rm -f "$out"/*.png "$out"/*.txt
  work=$(mktemp -d)
  pids=()
  trap xvfb_cleanup EXIT
  fail=0
}
xvfb_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
check() {  # check DESCRIPTION ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then echo "ok: $1 ($2)" >>"$out/checks.txt"
  else echo "FAIL: $1: got '$2', want '$3'" >>"$out/checks.txt"; fail=1; fi
}
# xvfb_start WIDTHxHEIGHT: a private display (a number without a lock file)
# with openbox as the window manager; DISPLAY points at it.
xvfb_start() {
  local n
  for _ in $(seq 1 50); do
    n=$((90 + RANDOM % 900))
    [ -e "/tmp/.X$n-lock" ] || break
  done
  Xvfb ":$n" -screen 0 "$1x24" -nolisten tcp >"$out/xvfb.log" 2>&1 &
  pids+=($!)
  export DISPLAY=:$n
  for _ in $(seq 1 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
  openbox >"$out/openbox.log" 2>&1 &
  pids+=($!)
  sleep 1
}
